#include "platform/posix/registry/hive.h"

#include "platform/posix/machine.h"

#include <ctime>
#include <unistd.h>

namespace {

// Windows' registry calls never wait long; a writer that holds a hive for more
// than this is a stuck process, reported as ERROR_TIMEOUT.
constexpr unsigned kDefaultBusyTimeoutMs = 5000;

constexpr int kSchemaVersion = 1;

const char *const kHiveFiles[HIVE_COUNT] = {"registry/system.db", "registry/user.db"};

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL,"
    " name_folded TEXT NOT NULL,"
    " written INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE(parent, name_folded));"
    "CREATE TABLE IF NOT EXISTS key_values("
    " id INTEGER PRIMARY KEY,"
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL,"
    " name_folded TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, name_folded));";

struct Connection {
    sqlite3 *db = nullptr;
    pid_t owner = 0;  // a connection inherited over fork() belongs to the parent
};

struct HiveState {
    Connection connections[HIVE_COUNT];
    std::string dirOverride;
    unsigned busyTimeoutMs = kDefaultBusyTimeoutMs;
} state;

std::string HivePath(HiveId hive) {
    if (state.dirOverride.empty()) return MachinePath(kHiveFiles[hive]);
    std::string registryDir = state.dirOverride + "/registry";
    if (!MakeDirs(registryDir, 0700)) return std::string();
    return state.dirOverride + "/" + kHiveFiles[hive];
}

LSTATUS Exec(sqlite3 *db, const char *sql) { return StatusFromSqlite(sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); }

// Creates the tables and the root key of a new hive; checks the version of an old one.
LSTATUS PrepareSchema(sqlite3 *db) {
    int64_t version = 0;
    {
        Stmt read(db, "PRAGMA user_version");
        int rc = read.Step();
        if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
        version = read.Int(0);
    }
    if (version == kSchemaVersion) return ERROR_SUCCESS;
    if (version != 0) return ERROR_BADDB;  // a newer or foreign layout: never touch it
    Transaction txn(db, true);
    if (txn.status() != ERROR_SUCCESS) return txn.status();
    LSTATUS status = Exec(db, kSchema);
    if (status != ERROR_SUCCESS) return status;
    Stmt root(db, "INSERT OR IGNORE INTO keys(id, parent, name, name_folded, written) VALUES(?1, NULL, '', '', ?2)");
    status = root.Bind(1, kRootKeyId).Bind(2, FileTimeNow()).Run();
    if (status != ERROR_SUCCESS) return status;
    status = Exec(db, "PRAGMA user_version = 1");
    if (status != ERROR_SUCCESS) return status;
    return txn.Commit();
}

LSTATUS Open(HiveId hive, sqlite3 **out) {
    std::string path = HivePath(hive);
    if (path.empty()) return ERROR_CANTOPEN;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        return StatusFromSqlite(rc);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, static_cast<int>(state.busyTimeoutMs));
    // Rollback journal with full syncs: a crash mid-write leaves a hot journal
    // that the next opener rolls back, so a change is all there or not at all.
    LSTATUS status = Exec(db, "PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL");
    if (status == ERROR_SUCCESS) status = PrepareSchema(db);
    if (status != ERROR_SUCCESS) {
        sqlite3_close(db);
        return status;
    }
    *out = db;
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS StatusFromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE: return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return ERROR_TIMEOUT;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return ERROR_REGISTRY_CORRUPT;
        case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
        case SQLITE_IOERR: return ERROR_REGISTRY_IO_FAILED;
        case SQLITE_FULL: return ERROR_CANTWRITE;
        case SQLITE_NOMEM: return ERROR_OUTOFMEMORY;
        case SQLITE_TOOBIG: return ERROR_INVALID_PARAMETER;
        default: return ERROR_BADDB;  // SQLITE_ERROR and the like: the file is not laid out as ours
    }
}

sqlite3 *HiveConnection(HiveId hive, LSTATUS *status) {
    Connection &c = state.connections[hive];
    if (c.db != nullptr && c.owner != getpid()) c.db = nullptr;  // never close the parent's connection in a child
    if (c.db == nullptr) {
        sqlite3 *db = nullptr;
        *status = Open(hive, &db);
        if (*status != ERROR_SUCCESS) return nullptr;
        c.db = db;
        c.owner = getpid();
    }
    *status = ERROR_SUCCESS;
    return c.db;
}

void HiveReset(const std::string &dir) {
    for (Connection &c : state.connections) {
        if (c.db != nullptr && c.owner == getpid()) sqlite3_close(c.db);
        c.db = nullptr;
    }
    state.dirOverride = dir;
}

void HiveSetBusyTimeout(unsigned milliseconds) {
    state.busyTimeoutMs = milliseconds;
    for (Connection &c : state.connections) {
        if (c.db != nullptr && c.owner == getpid()) sqlite3_busy_timeout(c.db, static_cast<int>(milliseconds));
    }
}

int64_t FileTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    constexpr int64_t kEpochDifference = 11644473600LL;  // seconds from 1601 to 1970
    return (static_cast<int64_t>(ts.tv_sec) + kEpochDifference) * 10000000LL + ts.tv_nsec / 100;
}

Stmt::Stmt(sqlite3 *db, const char *sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }

Stmt::~Stmt() { sqlite3_finalize(stmt_); }

Stmt &Stmt::Bind(int i, int64_t value) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, i, value);
    return *this;
}

Stmt &Stmt::Bind(int i, const std::string &text) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

Stmt &Stmt::BindBlob(int i, const void *data, size_t size) {
    // A zero-length blob must still be a blob, not NULL.
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_blob64(stmt_, i, size ? data : "", size, SQLITE_TRANSIENT);
    return *this;
}

int Stmt::Step() {
    if (rc_ != SQLITE_OK) return rc_;
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) rc_ = rc;
    return rc;
}

LSTATUS Stmt::Run() { return StatusFromSqlite(Step()); }

int64_t Stmt::Int(int column) { return sqlite3_column_int64(stmt_, column); }

std::string Stmt::Text(int column) {
    const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, column));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
}

std::string Stmt::Blob(int column) {
    const auto *p = static_cast<const char *>(sqlite3_column_blob(stmt_, column));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
}

Transaction::Transaction(sqlite3 *db, bool write) : db_(db) {
    status_ = Exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    open_ = status_ == ERROR_SUCCESS;
}

Transaction::~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

LSTATUS Transaction::Commit() {
    LSTATUS status = Exec(db_, "COMMIT");
    if (status == ERROR_SUCCESS) open_ = false;
    return status;
}
