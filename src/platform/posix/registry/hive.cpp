#include "platform/posix/registry/hive.h"

#include "platform/posix/machine.h"
#include "platform/posix/registry/hivefiles.h"
#include "platform/posix/registry/writelock.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writers take turns, so a wait this long means the holder is stuck (stopped
// under a debugger, say): only then is a call refused with ERROR_TIMEOUT.
constexpr unsigned kDefaultBusyTimeoutMs = 30000;

// In WAL mode a reader never meets a writer, only SQLite's own brief exclusive
// moments (a recovery, the last connection folding the WAL back at exit): it
// waits for those this long at most, never the writers' bound.
constexpr unsigned kReaderBusyMs = 2000;

// Once a holder of the writers' lock has let the whole bound pass, it is stuck:
// later writers of this process wait this long for that same holder, rather than
// paying the whole bound again at every call.
constexpr unsigned kStuckHolderWaitMs = 1000;

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
    std::string hive;       // the hive file's path
    int lockFd = -1;        // the writers' turnstile, opened by the first writer
    bool lockHeld = false;  // held around the set-up of a new hive
    pid_t stuckHolder = 0;  // who held the lock through the last whole wait
    pid_t owner = 0;        // a connection inherited over fork() belongs to the parent
};

#ifdef PELLOR_REGISTRY_TEST_TIMES
// Test builds only: the environment may shorten the writers' bound (ms), so that
// the tests of a stuck lock holder need not wait it out.
unsigned StartingBusyTimeoutMs() {
    const char *text = std::getenv("PELLOR_REGISTRY_WAIT_MS");
    if (text == nullptr || text[0] == '\0') return kDefaultBusyTimeoutMs;
    return static_cast<unsigned>(std::min<unsigned long>(std::strtoul(text, nullptr, 10), kDefaultBusyTimeoutMs));
}
#else
unsigned StartingBusyTimeoutMs() { return kDefaultBusyTimeoutMs; }
#endif

struct HiveState {
    Connection connections[HIVE_COUNT];
    std::string dirOverride;
    unsigned busyTimeoutMs = StartingBusyTimeoutMs();
} state;

// The registry directory, made private as every directory in the machine is:
// ours, a real directory (not a symlink), no group or other bits. Empty, with
// *problem, when it cannot be made so.
std::string RegistryDir(std::string *problem) {
    return state.dirOverride.empty() ? MachinePrivateDir("registry", problem)
                                     : PrivateDirUnder(state.dirOverride, "registry", problem);
}

// This process's connection whose handle is db, or null.
Connection *ConnectionOf(sqlite3 *db) {
    for (Connection &c : state.connections) {
        if (c.db == db && db != nullptr && c.owner == getpid()) return &c;
    }
    return nullptr;
}

unsigned ReaderBusyMs() { return std::min(state.busyTimeoutMs, kReaderBusyMs); }

// Tells why a call was refused, for the tools and the run log (see PlatformNote).
void Refuse(const std::string &why) {
    if (!why.empty()) PlatformNote(why);
}

// Why a SQLite call on the hive failed, worded for a person; empty for
// failures that refuse nothing (a constraint, say).
std::string WhySqliteFailed(const std::string &hive, sqlite3 *db, int rc) {
    switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return "registry: hive " + hive + " is kept locked by another program";
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return "registry: hive " + hive + " is damaged (" + sqlite3_errstr(rc) + "); it is left as it is";
        case SQLITE_FULL: return "registry: hive " + hive + " cannot grow: the disk is full";
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_AUTH:
        case SQLITE_IOERR: {
            std::string why = WhyHiveNotWritable(hive);
            if (!why.empty()) return why;
            int error = db != nullptr ? sqlite3_system_errno(db) : 0;
            return "registry: hive " + hive + " cannot be used: " + sqlite3_errstr(rc) +
                   (error != 0 ? std::string(" (") + std::strerror(error) + ")" : std::string());
        }
        default: return std::string();
    }
}

// Says why a statement on db failed, when the failure is a refusal.
void NoteFailure(sqlite3 *db, int rc) {
    if (Connection *c = ConnectionOf(db)) Refuse(WhySqliteFailed(c->hive, db, rc));
}

// Takes the hive's write lock (opening its file on first use), waiting up to
// the bound; a timeout names the lock file and, where it can be told, its holder.
LSTATUS LockForWriting(Connection &c) {
    std::string lock = c.hive + ".lock";
    if (c.lockFd < 0) {
        std::string problem;
        c.lockFd = OpenWriteLock(lock, &problem);
        if (c.lockFd < 0) {
            struct stat st {};
            bool missing = lstat(lock.c_str(), &st) != 0 && errno == ENOENT;
            std::string why = missing ? WhyHiveNotWritable(c.hive) : std::string();
            Refuse(why.empty() ? "registry: lock file " + problem : why);
            return ERROR_ACCESS_DENIED;
        }
    }
    unsigned wait = state.busyTimeoutMs;
    if (c.stuckHolder != 0 && WriteLockHolder(c.lockFd) == c.stuckHolder) wait = std::min(wait, kStuckHolderWaitMs);
    LSTATUS status = AcquireWriteLock(c.lockFd, wait);
    if (status == ERROR_SUCCESS) {
        c.stuckHolder = 0;
    } else if (status == ERROR_TIMEOUT) {
        pid_t holder = WriteLockHolder(c.lockFd);
        c.stuckHolder = holder;
        std::string who = holder > 0 ? "process " + std::to_string(holder) : std::string("another process");
        Refuse("registry: lock file " + lock + " is held by " + who + ", which has not let go for " +
               WaitText(state.busyTimeoutMs));
    } else {
        Refuse("registry: lock file " + lock + " cannot be locked");
    }
    return status;
}

LSTATUS Exec(sqlite3 *db, const char *sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) NoteFailure(db, rc);
    return StatusFromSqlite(rc);
}

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

// Opens the SQLite connection of c.hive with this connection's own settings;
// none of them touches the file, so none waits for anyone.
LSTATUS Connect(Connection &c) {
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(c.hive.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        Refuse(WhySqliteFailed(c.hive, db, rc));
        sqlite3_close(db);
        return StatusFromSqlite(rc);
    }
    c.db = db;
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, static_cast<int>(ReaderBusyMs()));
    // NORMAL syncs at checkpoints only, which keeps the hive consistent; a power
    // cut may lose the last commits, a killed process none.
    LSTATUS status = Exec(db, "PRAGMA foreign_keys = ON");
    if (status == ERROR_SUCCESS) status = Exec(db, "PRAGMA synchronous = NORMAL");
    if (status == ERROR_SUCCESS) status = Exec(db, "PRAGMA temp_store = MEMORY");
    return status;
}

// Reads, as any reader does, whether the hive is ours and set up (our layout,
// in WAL mode): *ready then. A layout of another version is ERROR_BADDB.
LSTATUS CheckReady(Connection &c, bool *ready) {
    *ready = false;
    int64_t version = 0;
    {
        Stmt read(c.db, "PRAGMA user_version");
        int rc = read.Step();
        if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
        version = read.Int(0);
    }
    if (version == 0) return ERROR_SUCCESS;
    if (version != kSchemaVersion) {
        Refuse("registry: hive " + c.hive + " has layout version " + std::to_string(version) +
               ", which this program does not know; it is left as it is");
        return ERROR_BADDB;
    }
    Stmt mode(c.db, "PRAGMA journal_mode");
    int rc = mode.Step();
    if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
    *ready = mode.Text(0) == "wal";
    return ERROR_SUCCESS;
}

// Switches a new or old hive to WAL and creates its schema, holding the write
// lock so that no other process does the same meanwhile. WAL: readers never
// wait for a writer, and a commit is all there or not at all after a crash.
LSTATUS SetUp(Connection &c) {
    LSTATUS status = LockForWriting(c);
    if (status != ERROR_SUCCESS) return status;
    c.lockHeld = true;
    sqlite3_busy_timeout(c.db, static_cast<int>(state.busyTimeoutMs));
    status = Exec(c.db, "PRAGMA journal_mode = WAL");
    if (status == ERROR_SUCCESS) status = PrepareSchema(c.db);
    c.lockHeld = false;
    ReleaseWriteLock(c.lockFd);
    return status;
}

// Opens the connection of the hive: a hive that is set up is only read, with
// no lock taken; a new or old one is set up under the write lock.
LSTATUS Open(Connection &c, HiveId hive) {
    std::string why;
    std::string dir = RegistryDir(&why);
    if (dir.empty()) {
        Refuse("registry: " + why);
        return ERROR_ACCESS_DENIED;
    }
    c.hive = dir + "/" + kHiveFiles[hive];
    mode_t mode = 0;
    LSTATUS status = PrepareHiveFile(c.hive, &mode, &why);
    if (status == ERROR_SUCCESS) status = PrepareHiveCompanions(c.hive, mode, &why);
    if (status != ERROR_SUCCESS) {
        Refuse(why);
        return status;
    }
    status = Connect(c);
    bool ready = false;
    if (status == ERROR_SUCCESS) status = CheckReady(c, &ready);
    if (status == ERROR_SUCCESS && !ready) status = SetUp(c);
    if (status != ERROR_SUCCESS && c.db != nullptr) {
        sqlite3_close(c.db);
        c.db = nullptr;
    }
    return status;
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
        if (c.lockFd >= 0) close(c.lockFd);
        c = Connection();
        c.owner = getpid();
    }
    if (c.db == nullptr) {
        *status = Open(c, hive);
        if (*status != ERROR_SUCCESS) return nullptr;
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

void HiveSetBusyTimeout(unsigned milliseconds) { state.busyTimeoutMs = milliseconds; }

int64_t FileTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    constexpr int64_t kEpochDifference = 11644473600LL;  // seconds from 1601 to 1970
    return (static_cast<int64_t>(ts.tv_sec) + kEpochDifference) * 10000000LL + ts.tv_nsec / 100;
}

Stmt::Stmt(sqlite3 *db, const char *sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    if (rc_ != SQLITE_OK) NoteFailure(db, rc_);  // a hive that cannot be read fails here
}

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
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        rc_ = rc;
        NoteFailure(sqlite3_db_handle(stmt_), rc);
    }
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
    Connection *c = ConnectionOf(db);
    if (write && c != nullptr && !c->lockHeld) {
        status_ = LockForWriting(*c);
        if (status_ != ERROR_SUCCESS) return;
        lockFd_ = c->lockFd;
    }
    sqlite3_busy_timeout(db, static_cast<int>(write ? state.busyTimeoutMs : ReaderBusyMs()));
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
