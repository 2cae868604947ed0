// The two SQLite hive files of the emulated machine: one connection per hive
// and process, the schema, statements, transactions and the mapping of SQLite
// results to registry error codes.
#pragma once

#include "platform/win32.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>

enum HiveId { HIVE_MACHINE = 0, HIVE_USER = 1, HIVE_COUNT = 2 };

// Every hive's root key has this id; ids are never reused (AUTOINCREMENT), so
// a handle's id names its key for as long as the key exists.
constexpr int64_t kRootKeyId = 1;

// A SQLite result as a registry error code: busy past the time-out is
// ERROR_TIMEOUT, a damaged file ERROR_REGISTRY_CORRUPT, and so on.
LSTATUS StatusFromSqlite(int rc);

// The hive's connection, opened on first use in this process: a hive that is
// set up is only read, without the write lock; a new or old one is set up (the
// file created, switched to WAL, its schema made) under the lock. Null with
// *status set when the hive cannot be used, the reason told as a PlatformNote.
sqlite3 *HiveConnection(HiveId hive, LSTATUS *status);

// Forgets every connection (closing those this process opened) and, when dir is
// not empty, uses dir instead of MachineDir() from now on. For tests.
void HiveReset(const std::string &dir);
// The writers' bound on waiting for the lock; a reader waits at most 2 s, or this if shorter.
void HiveSetBusyTimeout(unsigned milliseconds);

// Now as a FILETIME count (100 ns units since 1601), the keys' last-write time.
int64_t FileTimeNow();

// One prepared statement; binding and reading by 1-based parameter and 0-based column.
class Stmt {
public:
    Stmt(sqlite3 *db, const char *sql);
    ~Stmt();
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    Stmt &Bind(int i, int64_t value);
    Stmt &Bind(int i, const std::string &text);
    Stmt &BindBlob(int i, const void *data, size_t size);
    // SQLITE_ROW, SQLITE_DONE or an error result (also a failed prepare or bind).
    int Step();
    // Steps once and maps the outcome: ERROR_SUCCESS for a row or the end.
    LSTATUS Run();
    int64_t Int(int column);
    std::string Text(int column);
    std::string Blob(int column);

private:
    sqlite3_stmt *stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

// BEGIN IMMEDIATE after the hive's write lock (a writer: the lock is taken up
// front, so no update is lost) or BEGIN (a reader with one consistent view,
// never waiting for a writer); rolled back unless committed. A refusal (a
// stuck lock, a read-only file) is told as a PlatformNote naming the file.
class Transaction {
public:
    Transaction(sqlite3 *db, bool write);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    LSTATUS status() const { return status_; }
    LSTATUS Commit();

private:
    sqlite3 *db_;
    LSTATUS status_ = ERROR_SUCCESS;
    bool open_ = false;
    int lockFd_ = -1;  // the hive's write lock, held by a writer until it is done
};
