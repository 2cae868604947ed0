#include "platform/posix/registry/hive.h"

#include "platform/posix/machine.h"
#include "platform/posix/registry/writelock.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writers take turns, so a wait this long means the holder is stuck (stopped
// under a debugger, say): only then is a call refused with ERROR_TIMEOUT.
constexpr unsigned kDefaultBusyTimeoutMs = 30000;

constexpr int kSchemaVersion = 1;

const char *const kHiveFiles[HIVE_COUNT] = {"system.db", "user.db"};

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
    int lockFd = -1;  // the writers' turnstile of the hive
    pid_t owner = 0;  // a connection inherited over fork() belongs to the parent
};

struct HiveState {
    Connection connections[HIVE_COUNT];
    std::string dirOverride;
    unsigned busyTimeoutMs = kDefaultBusyTimeoutMs;
} state;

// The registry directory, made private as every directory in the machine is:
// ours, a real directory (not a symlink), no group or other bits. Empty when
// it cannot be made so.
std::string RegistryDir() {
    std::string problem;
    return state.dirOverride.empty() ? MachinePrivateDir("registry", &problem)
                                     : PrivateDirUnder(state.dirOverride, "registry", &problem);
}

// Creates the hive file 0600 before SQLite sees it (SQLite gives its -wal and
// -shm files the hive's mode), and tightens one an older version left loose.
// ERROR_ACCESS_DENIED for a symlink, a foreign file or anything not a plain file.
// An existing hive is never opened here: closing a descriptor of it would drop
// the POSIX locks of any other SQLite connection to it in this process.
LSTATUS PrepareHiveFile(const std::string &path) {
    for (int attempt = 0; attempt < 2; attempt++) {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) return ERROR_ACCESS_DENIED;
            // Tightening never adds a bit: a read-only hive stays read-only.
            if ((st.st_mode & 077) != 0 && chmod(path.c_str(), st.st_mode & 0700) != 0) return ERROR_ACCESS_DENIED;
            return ERROR_SUCCESS;
        }
        if (errno != ENOENT) return ERROR_CANTOPEN;
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            return ERROR_SUCCESS;
        }
        if (errno != EEXIST) return ERROR_CANTOPEN;  // else made meanwhile by another process: check it
    }
    return ERROR_CANTOPEN;
}

// Holds a hive's write lock for one scope (nothing when fd is -1).
class HeldLock {
public:
    explicit HeldLock(int fd) : fd_(fd) {
        if (fd_ >= 0) status_ = AcquireWriteLock(fd_, state.busyTimeoutMs);
    }
    ~HeldLock() {
        if (fd_ >= 0 && status_ == ERROR_SUCCESS) ReleaseWriteLock(fd_);
    }
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;
    LSTATUS status() const { return status_; }

private:
    int fd_;
    LSTATUS status_ = ERROR_SUCCESS;
};

// The lock descriptor of the connection db (this process's), or -1.
int LockFdOf(sqlite3 *db) {
    for (const Connection &c : state.connections) {
        if (c.db == db && c.owner == getpid()) return c.lockFd;
    }
    return -1;
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

// Opens the hive with the write lock held, so that switching a new or old
// hive to WAL and creating the schema never race another process doing it.
LSTATUS Open(HiveId hive, int lockFd, sqlite3 **out) {
    std::string dir = RegistryDir();
    if (dir.empty()) return ERROR_ACCESS_DENIED;
    std::string path = dir + "/" + kHiveFiles[hive];
    HeldLock lock(lockFd);
    if (lock.status() != ERROR_SUCCESS) return lock.status();
    if (LSTATUS status = PrepareHiveFile(path); status != ERROR_SUCCESS) return status;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        return StatusFromSqlite(rc);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, static_cast<int>(state.busyTimeoutMs));
    // WAL: readers never wait for a writer, and a commit is all there or not
    // at all after a crash. NORMAL syncs at checkpoints only, which keeps the
    // hive consistent; a power cut may lose the last commits, a killed process none.
    LSTATUS status = Exec(db, "PRAGMA foreign_keys = ON");
    if (status == ERROR_SUCCESS) status = Exec(db, "PRAGMA journal_mode = WAL");
    if (status == ERROR_SUCCESS) status = Exec(db, "PRAGMA synchronous = NORMAL");
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

namespace {

// Closing the last connection checkpoints the WAL into the hive and removes it,
// so a process leaves one self-contained file behind.
void CloseAtExit() {
    for (Connection &c : state.connections) {
        if (c.db != nullptr && c.owner == getpid()) sqlite3_close(c.db);
        c.db = nullptr;
    }
}

}  // namespace

sqlite3 *HiveConnection(HiveId hive, LSTATUS *status) {
    static const bool closing = std::atexit(CloseAtExit) == 0;
    (void)closing;
    Connection &c = state.connections[hive];
    if (c.owner != getpid()) {
        // Never close the parent's connection in a child; its lock descriptor is
        // shared with the parent and only closed here (which releases no lock of the parent's).
        c.db = nullptr;
        if (c.lockFd >= 0) close(c.lockFd);
        c.lockFd = -1;
        c.owner = getpid();
    }
    if (c.db == nullptr) {
        std::string dir = RegistryDir();
        if (dir.empty()) {
            *status = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        if (c.lockFd < 0) c.lockFd = OpenWriteLock(dir + "/" + kHiveFiles[hive] + ".lock");
        if (c.lockFd < 0) {
            *status = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        sqlite3 *db = nullptr;
        *status = Open(hive, c.lockFd, &db);
        if (*status != ERROR_SUCCESS) return nullptr;
        c.db = db;
    }
    *status = ERROR_SUCCESS;
    return c.db;
}

void HiveReset(const std::string &dir) {
    for (Connection &c : state.connections) {
        if (c.owner == getpid()) {
            if (c.db != nullptr) sqlite3_close(c.db);
            if (c.lockFd >= 0) close(c.lockFd);
        }
        c = Connection();
    }
    // The real path, as MachineDir() is: SQLite opens no hive through a link.
    char *real = dir.empty() ? nullptr : realpath(dir.c_str(), nullptr);
    state.dirOverride = real != nullptr ? real : dir;
    std::free(real);
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
    if (write) {
        lockFd_ = LockFdOf(db);
        if (lockFd_ >= 0) {
            status_ = AcquireWriteLock(lockFd_, state.busyTimeoutMs);
            if (status_ != ERROR_SUCCESS) {
                lockFd_ = -1;
                return;
            }
        }
    }
    status_ = Exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    open_ = status_ == ERROR_SUCCESS;
}

Transaction::~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (lockFd_ >= 0) ReleaseWriteLock(lockFd_);
}

LSTATUS Transaction::Commit() {
    LSTATUS status = Exec(db_, "COMMIT");
    if (status == ERROR_SUCCESS) open_ = false;
    return status;
}
