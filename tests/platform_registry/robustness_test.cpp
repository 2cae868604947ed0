// Concurrent processes, a locked hive, a damaged hive and a writer that dies
// mid-transaction: clear error codes, no crash, nothing stored is lost.
#include "platform/posix/registry/registry_hooks.h"
#include "test_machine.h"

#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWriters = 6;
constexpr int kValuesPerWriter = 40;

std::u16string WriterValueName(int writer, int n) {
    std::string s = "w" + std::to_string(writer) + "_" + std::to_string(n);
    return std::u16string(s.begin(), s.end());
}

// A child process: each value in its own call (its own transaction). Exit 0 when all succeeded.
[[noreturn]] void RunWriter(int writer) {
    int failures = 0;
    for (int n = 0; n < kValuesPerWriter; n++) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            failures++;
            continue;
        }
        DWORD data = static_cast<DWORD>(writer * 1000 + n);
        std::u16string name = WriterValueName(writer, n);
        if (RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), 4) != ERROR_SUCCESS)
            failures++;
        RegCloseKey(key);
    }
    _exit(failures == 0 ? 0 : 1);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    // The parent has the hive open before forking: children must not share its connection.
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Shared");
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; w++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) RunWriter(w);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer " << pid;
    }
    for (int w = 0; w < kWriters; w++) {
        for (int n = 0; n < kValuesPerWriter; n++) {
            ValueRead v = ReadValue(key, WriterValueName(w, n));
            ASSERT_EQ(v.status, ERROR_SUCCESS);
            DWORD expected = static_cast<DWORD>(w * 1000 + n);
            EXPECT_EQ(v.data, std::string(reinterpret_cast<const char *>(&expected), 4));
        }
    }
    WCHAR name[32];
    DWORD length = 32;
    EXPECT_EQ(RegEnumValueW(key, kWriters * kValuesPerWriter, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, LockedHiveTimesOutCleanly) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Locked");
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(key, u"Before", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), ERROR_SUCCESS);
    RegistrySetBusyTimeout(200);
    struct Case {
        const char *lock;  // what another process holds
        LSTATUS write;
        LSTATUS read;
    } cases[] = {
        {"BEGIN IMMEDIATE", ERROR_TIMEOUT, ERROR_SUCCESS},  // another writer: readers go on
        {"BEGIN EXCLUSIVE", ERROR_TIMEOUT, ERROR_SUCCESS},  // readers never wait for a writer
    };
    for (const Case &c : cases) {
        sqlite3 *other = nullptr;
        ASSERT_EQ(sqlite3_open(machine.UserHive().c_str(), &other), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, c.lock, nullptr, nullptr, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, "DELETE FROM key_values", nullptr, nullptr, nullptr), SQLITE_OK);

        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RegSetValueExW(key, u"During", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), c.write)
            << c.lock;
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(150)) << c.lock;
        EXPECT_LT(waited, std::chrono::seconds(3)) << c.lock;
        EXPECT_EQ(ReadValue(key, u"Before").status, c.read) << c.lock;

        // The other process gives up its change: everything stored is still there.
        ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(other);
        EXPECT_EQ(ReadValue(key, u"Before").status, ERROR_SUCCESS) << c.lock;
        EXPECT_EQ(ReadValue(key, u"During").status, ERROR_FILE_NOT_FOUND) << c.lock;
    }
    EXPECT_EQ(RegSetValueExW(key, u"After", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(key);
}

// Writers wait for the lock blocking, however long it is held, up to the bound;
// readers never wait, even on a hive they open while a stopped process holds it.
// A holder that let a whole bound pass is stuck: the next writer gives up sooner.
TEST_F(RegistryTest, WritersWaitTheirTurnUpToTheBound) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Turns");
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(key, u"Before", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(key);
    RegistrySetBusyTimeout(2000);
    struct Case {
        int holdMs;    // how long the other process keeps the lock
        bool stopped;  // it is stopped (SIGSTOP) while it holds it
        LSTATUS write;
        int minWaitMs, maxWaitMs;
        int againMaxMs;  // a second write's wait, when the first timed out
    } cases[] = {
        {300, false, ERROR_SUCCESS, 250, 1900, 0},      // taken as soon as the holder lets go
        {60000, true, ERROR_TIMEOUT, 1950, 4000, 1900},  // a stuck holder: refused at the bound, then sooner
    };
    for (const Case &c : cases) {
        ProcessGuard holder;
        HoldWriteLock(machine.UserHive() + ".lock", c.holdMs, &holder);
        if (c.stopped) holder.Kill(SIGSTOP);
        RegistryUseMachineDir(machine.dir());  // the hive is opened afresh, as by a process started now
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Turns", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        EXPECT_EQ(ReadValue(key, u"Before").status, ERROR_SUCCESS) << c.holdMs;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << c.holdMs;
        EXPECT_EQ(RegSetValueExW(key, u"During", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), c.write)
            << c.holdMs;
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(c.minWaitMs)) << c.holdMs;
        EXPECT_LT(waited, std::chrono::milliseconds(c.maxWaitMs)) << c.holdMs;
        if (c.write == ERROR_TIMEOUT) {
            start = std::chrono::steady_clock::now();
            EXPECT_EQ(RegSetValueExW(key, u"During", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), c.write);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.againMaxMs));
        }
        RegCloseKey(key);
    }
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Turns", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"After", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, CorruptHiveGivesAnErrorAndIsLeftAlone) {
    struct Case {
        const char *what;
        size_t offset;  // where the damage starts, in a hive holding a few keys
        std::string bytes;
    } cases[] = {
        {"not a database at all", 0, std::string(4096, 'x')},
        {"the schema page overwritten", 100, std::string(3996, '\xA5')},
        {"a truncated header", 0, std::string("SQLite format 3\0\x10", 18)},
    };
    for (const Case &c : cases) {
        RegistryUseMachineDir(machine.dir());
        HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Pellor\\UPGRADE");
        DWORD two = 2;
        ASSERT_EQ(RegSetValueExW(key, u"IconVersion", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&two), 4),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        RegistryUseMachineDir(machine.dir());  // drop the connection, as a new process would start

        std::string hive = ReadWholeFile(machine.UserHive());
        if (c.offset == 0) hive.clear();
        hive.resize(std::max(hive.size(), c.offset));
        hive.replace(c.offset, std::min(c.bytes.size(), hive.size() - c.offset), c.bytes);
        WriteWholeFile(machine.UserHive(), hive);

        HKEY opened = nullptr;
        LSTATUS open = RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Pellor\\UPGRADE", 0, KEY_READ, &opened);
        EXPECT_TRUE(open == ERROR_REGISTRY_CORRUPT || open == ERROR_BADDB) << c.what << ": " << open;
        LSTATUS create = RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                         &opened, nullptr);
        EXPECT_TRUE(create == ERROR_REGISTRY_CORRUPT || create == ERROR_BADDB) << c.what << ": " << create;
        EXPECT_EQ(ReadWholeFile(machine.UserHive()), hive) << c.what;  // never "repaired" by starting afresh

        // The other hive is untouched.
        key = CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pellor");
        EXPECT_EQ(RegSetValueExW(key, u"Version", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&two), 4),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        RegistryUseMachineDir(machine.dir());
        std::remove(machine.UserHive().c_str());
    }
}

// A child that writes through SQLite itself and dies before COMMIT, with its
// cache spilled into the write-ahead log: the next user ignores the uncommitted frames.
TEST_F(RegistryTest, WriterDyingMidTransactionLosesNothing) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Crash");
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(key, u"Kept", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), ERROR_SUCCESS);
    std::string before = ReadWholeFile(machine.UserHive() + "-wal");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        sqlite3 *db = nullptr;
        sqlite3_open(machine.UserHive().c_str(), &db);
        sqlite3_exec(db, "PRAGMA cache_size = 2; BEGIN IMMEDIATE; DELETE FROM key_values;", nullptr, nullptr, nullptr);
        for (int i = 0; i < 200; i++) {
            std::string sql = "INSERT INTO keys(parent, name, name_folded) VALUES(1, 'k" + std::to_string(i) +
                              "', 'K" + std::to_string(i) + "' || zeroblob(2000))";
            sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        }
        _exit(access((machine.UserHive() + "-wal").c_str(), F_OK) == 0 ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the dying writer left no log";
    EXPECT_NE(ReadWholeFile(machine.UserHive() + "-wal"), before) << "the dying writer never spilled its changes";

    EXPECT_EQ(ReadValue(key, u"Kept").status, ERROR_SUCCESS);
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"k1", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExW(key, u"After", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(key);

    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(machine.UserHive().c_str(), &db), SQLITE_OK);
    sqlite3_stmt *check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
}

}  // namespace
