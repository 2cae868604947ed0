// Load test of the registry hives, run by hand (bench/registry_load.sh):
//   registry_load DIR writers W N   W processes, N writes each: failures and lost updates
//   registry_load DIR kill K        K writers killed with SIGKILL mid-write: integrity and torn values
//   registry_load DIR latency N     N single RegSetValueExW calls in one process: median and p99
// DIR is a throw-away machine directory. Exit 0 when no check failed.
#include "platform/posix/registry/registry_hooks.h"
#include "platform/win32.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <map>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::u16string Wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }

HKEY OpenShared() {
    HKEY key = nullptr;
    LSTATUS s = RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Load", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr);
    return s == ERROR_SUCCESS ? key : nullptr;
}

// One writer process: n writes of its own values and of its counter, each a
// separate call. Reports failures by status code on stdout; exit 0 when none.
[[noreturn]] void Writer(int w, int n) {
    std::map<LSTATUS, int> failures;
    double worstMs = 0;
    for (int i = 0; i < n; i++) {
        auto start = Clock::now();
        HKEY key = nullptr;
        LSTATUS s = RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Load", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr);
        if (s == ERROR_SUCCESS) {
            DWORD data = static_cast<DWORD>(i + 1);
            std::u16string name = Wide("w" + std::to_string(w) + "_" + std::to_string(i));
            s = RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), 4);
            if (s == ERROR_SUCCESS) {
                std::u16string counter = Wide("count" + std::to_string(w));
                s = RegSetValueExW(key, counter.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), 4);
            }
            RegCloseKey(key);
        }
        if (s != ERROR_SUCCESS) failures[s]++;
        worstMs = std::max(worstMs, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    for (auto [code, count] : failures) std::printf("writer %d: %d operations failed with %ld\n", w, count, static_cast<long>(code));
    std::printf("writer %d: slowest operation %.1f ms\n", w, worstMs);
    std::fflush(stdout);
    _exit(failures.empty() ? 0 : 1);
}

int Writers(int writers, int n) {
    std::vector<pid_t> pids;
    auto start = Clock::now();
    for (int w = 0; w < writers; w++) {
        pid_t pid = fork();
        if (pid == 0) Writer(w, n);
        pids.push_back(pid);
    }
    int failed = 0;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failed++;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    HKEY key = OpenShared();
    int lost = 0;
    for (int w = 0; w < writers; w++) {
        for (int i = 0; i <= n; i++) {
            std::u16string name = Wide(i == n ? "count" + std::to_string(w) : "w" + std::to_string(w) + "_" +
                                                                                  std::to_string(i));
            DWORD data = 0, size = 4, expected = static_cast<DWORD>(i == n ? n : i + 1);
            if (RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(&data), &size) !=
                    ERROR_SUCCESS ||
                data != expected) {
                lost++;
            }
        }
    }
    std::printf("writers %d x %d operations in %.1f s: %d writer(s) with failures, %d value(s) missing or wrong\n",
                writers, n, seconds, failed, lost);
    return failed == 0 && lost == 0 ? 0 : 1;
}

// Writes 4 KiB values whose bytes all equal a running counter, forever.
[[noreturn]] void EndlessWriter(int id) {
    HKEY key = OpenShared();
    for (unsigned i = 0;; i++) {
        std::string data(4096, static_cast<char>(i & 0xFF));
        std::u16string name = Wide("v" + std::to_string((id + i) % 64));
        RegSetValueExW(key, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE *>(data.data()), 4096);
    }
}

int Kill(const std::string &dir, int kills) {
    std::mt19937 random(12345);
    for (int k = 0; k < kills; k++) {
        pid_t pids[2];
        for (int j = 0; j < 2; j++) {
            pids[j] = fork();
            if (pids[j] == 0) EndlessWriter(k * 2 + j);
        }
        usleep(5000 + random() % 40000);
        kill(pids[0], SIGKILL);
        usleep(random() % 5000);
        kill(pids[1], SIGKILL);
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    }
    // A fresh view, as a new process would have.
    RegistryUseMachineDir(dir);
    HKEY key = OpenShared();
    int torn = 0, unreadable = 0, present = 0;
    for (int v = 0; v < 64; v++) {
        std::string data(8192, '\0');
        DWORD size = 8192;
        std::u16string name = Wide("v" + std::to_string(v));
        LSTATUS s = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(data.data()), &size);
        if (s == ERROR_FILE_NOT_FOUND) continue;
        if (s != ERROR_SUCCESS) {
            unreadable++;
            continue;
        }
        data.resize(size);
        present++;
        if (size != 4096 || data.find_first_not_of(data[0]) != std::string::npos) torn++;
    }
    RegistryUseMachineDir(dir);
    sqlite3 *db = nullptr;
    std::string check = "(not run)";
    if (sqlite3_open((dir + "/registry/user.db").c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            check = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    std::printf("%d kill -9 pairs: integrity_check %s, %d value(s) written, %d torn, %d unreadable\n", kills,
                check.c_str(), present, torn, unreadable);
    return check == "ok" && present > 0 && torn == 0 && unreadable == 0 ? 0 : 1;
}

int Latency(int n) {
    HKEY key = OpenShared();
    std::vector<double> us;
    for (int i = 0; i < n; i++) {
        DWORD data = static_cast<DWORD>(i);
        std::u16string name = Wide("t" + std::to_string(i % 100));
        auto start = Clock::now();
        LSTATUS s = RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), 4);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (s != ERROR_SUCCESS) {
            std::printf("write %d failed with %ld\n", i, static_cast<long>(s));
            return 1;
        }
    }
    std::sort(us.begin(), us.end());
    std::printf("%d single writes: median %.0f us, p90 %.0f us, p99 %.0f us\n", n, us[us.size() / 2],
                us[us.size() * 9 / 10], us[us.size() * 99 / 100]);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: registry_load DIR writers W N | kill K | latency N\n");
        return 2;
    }
    std::string dir = argv[1], mode = argv[2];
    setenv("PELLOR_MACHINE", dir.c_str(), 1);
    RegistryUseMachineDir(dir);
    if (mode == "writers" && argc == 5) return Writers(std::atoi(argv[3]), std::atoi(argv[4]));
    if (mode == "kill") return Kill(dir, std::atoi(argv[3]));
    if (mode == "latency") return Latency(std::atoi(argv[3]));
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
