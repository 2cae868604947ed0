#include "test_machine.h"

#include "platform/posix/registry/registry_hooks.h"

#include <sqlite3.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

TestMachine::TestMachine() {
    EXPECT_FALSE(dir().empty());
    setenv("PELLOR_MACHINE", dir().c_str(), 1);
    RegistryUseMachineDir(dir());
    RegistrySetBusyTimeout(5000);
}

// The registry lets go of the directory before the TempDir removes it.
TestMachine::~TestMachine() { RegistryUseMachineDir(""); }

std::string SzBytes(const std::u16string &s) {
    return std::string(reinterpret_cast<const char *>(s.c_str()), (s.size() + 1) * sizeof(char16_t));
}

HKEY CreateKey(HKEY root, const std::u16string &path) {
    HKEY key = nullptr;
    LSTATUS status =
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS);
    return key;
}

ValueRead ReadValue(HKEY key, const std::u16string &name) {
    ValueRead r;
    DWORD size = 0;
    r.status = RegQueryValueExW(key, name.c_str(), nullptr, &r.type, nullptr, &size);
    if (r.status != ERROR_SUCCESS) return r;
    r.data.assign(size, '\0');
    r.status = RegQueryValueExW(key, name.c_str(), nullptr, &r.type, reinterpret_cast<LPBYTE>(r.data.data()), &size);
    r.data.resize(size);
    return r;
}

void PlantKeyChain(const std::string &hive, const std::string &name, int depth) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(hive.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    // Fresh ids above every key's; each key's parent is the one before it, the first's the root.
    std::string sql = "WITH RECURSIVE base(id) AS (SELECT max(id) FROM keys), chain(n) AS (SELECT 1 UNION ALL "
                      "SELECT n + 1 FROM chain WHERE n < " + std::to_string(depth) + ") "
                      "INSERT INTO keys(id, parent, name, name_folded) SELECT base.id + n, "
                      "CASE n WHEN 1 THEN 1 ELSE base.id + n - 1 END, ?1, upper(?1) FROM chain, base";
    sqlite3_stmt *insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_finalize(insert);
    sqlite3_close(db);
}

void HoldWriteLock(const std::string &lockFile, int holdMs, ProcessGuard *guard) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(lockFile.c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        char ok = fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        usleep(static_cast<useconds_t>(holdMs) * 1000);
        _exit(0);
    }
    guard->Watch(pid);
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    ASSERT_EQ(ok, 'y');
}
