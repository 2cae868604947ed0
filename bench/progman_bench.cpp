// Commands per second of the Program Manager server alone, over one held
// conversation, on a machine directory on disk and on tmpfs side by side. Each
// case sends its commands three times: the first pass fills an empty machine
// (every delete is refused, every add makes a file), the second is an upgrade
// of what is there (every item deleted and added again unchanged), the third
// an upgrade that changes every item's command line. A second table gives the
// upgrade pass's latency per command: median, p99 and max, in microseconds.
//
//   progman_bench [disk-dir [tmpfs-dir]]   (defaults: /var/tmp and /dev/shm)
//
// Each case runs in a child process of its own, because the machine directory
// is fixed for the life of a process. The progman started is the one beside
// this program, as CreateProcessA finds it.
#include "platform/win32.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct Shape {
    const char *name;
    int groups, items;
};

const Shape kShapes[] = {{"10 groups x 20 items", 10, 20}, {"100 groups x 20 items", 100, 20}, {"1 group x 2000", 1, 2000}};

// The execute strings a script run sends for shape: per item a group
// activation, a delete of the old item, another activation and the add, whose
// command line names the version.
std::vector<std::string> Commands(const Shape &s, int version) {
    std::vector<std::string> out;
    for (int g = 0; g < s.groups; g++) {
        std::string group = "[CreateGroup(Group " + std::to_string(g) + ",0)]";
        for (int i = 0; i < s.items; i++) {
            std::string name = "Item " + std::to_string(i);
            out.push_back(group);
            out.push_back("[DeleteItem(" + name + ")]");
            out.push_back(group);
            out.push_back("[AddItem(app.exe /v" + std::to_string(version) + " /x " + std::to_string(i) + ", " + name +
                          ", app.exe, 666)]");
        }
    }
    return out;
}

HDDEDATA CALLBACK Ignore(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return nullptr; }

struct Result {
    double fill = -1, upgrade = -1, change = -1;  // microseconds per command, or -1
    double p50 = -1, p99 = -1, max = -1;          // the upgrade pass's latency per command
};

// The median, p99 and max of the samples into result.
void Percentiles(std::vector<double> samples, Result *result) {
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))]; };
    result->p50 = at(0.5);
    result->p99 = at(0.99);
    result->max = samples.back();
}

// Runs the shape's commands three times against a fresh progman.
Result RunCase(const Shape &shape) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    char line[] = "PROGMAN /NTSETUP";
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, 0, 0, nullptr, nullptr, &si, &pi)) return {};
    pid_t pid = static_cast<pid_t>(pi.dwProcessId);
    Result result;
    DWORD inst = 0;
    if (WaitForInputIdle(pi.hProcess, 20000) == 0 && DdeInitializeA(&inst, Ignore, APPCMD_CLIENTONLY, 0) == 0) {
        HSZ name = DdeCreateStringHandleA(inst, "PROGMAN", 0);
        HCONV conv = DdeConnect(inst, name, name, nullptr);
        bool ok = conv != nullptr;
        for (auto [perCommand, version] : {std::pair{&result.fill, 1}, {&result.upgrade, 1}, {&result.change, 2}}) {
            std::vector<std::string> commands = Commands(shape, version);
            std::vector<double> latencies;
            latencies.reserve(commands.size());
            auto start = std::chrono::steady_clock::now();
            for (size_t i = 0; ok && i < commands.size(); i++) {
                DWORD status = 0;
                auto sent = std::chrono::steady_clock::now();
                DdeClientTransaction(reinterpret_cast<LPBYTE>(commands[i].data()),
                                     static_cast<DWORD>(commands[i].size() + 1), conv, nullptr, 0, XTYP_EXECUTE,
                                     20000, &status);
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - sent).count());
                ok = DdeGetLastError(inst) != DMLERR_SERVER_DIED;
            }
            auto took = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
            if (ok) *perCommand = took / static_cast<double>(commands.size());
            if (ok && perCommand == &result.upgrade) Percentiles(latencies, &result);
        }
        DdeFreeStringHandle(inst, name);
        DdeUninitialize(inst);
    }
    kill(pid, SIGTERM);
    WaitForSingleObject(pi.hProcess, 10000);
    kill(pid, SIGKILL);  // it has gone by now unless it hung
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}

// One case in a child process with its own machine directory under base.
Result RunIsolated(const std::string &base, const Shape &shape) {
    std::string dir = base + "/progman-bench-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) return {};
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        setenv("PELLOR_MACHINE", dir.c_str(), 1);
        unsetenv("XDG_RUNTIME_DIR");
        Result r = RunCase(shape);
        ssize_t n = write(fds[1], &r, sizeof r);
        _exit(n == sizeof r ? 0 : 1);
    }
    close(fds[1]);
    Result result;
    if (child < 0 || read(fds[0], &result, sizeof result) != sizeof result) result = {};
    close(fds[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    std::string remove = "rm -rf '" + dir + "'";
    if (std::system(remove.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    return result;
}

}  // namespace

int main(int argc, char **argv) {
    std::string disk = argc > 1 ? argv[1] : "/var/tmp", tmpfs = argc > 2 ? argv[2] : "/dev/shm";
    std::printf("%-24s %12s %12s %15s %15s %14s %14s\n", "us per command", "fill disk", "fill tmpfs", "upgrade disk",
                "upgrade tmpfs", "change disk", "change tmpfs");
    std::vector<std::pair<Result, Result>> results;
    for (const Shape &s : kShapes) {
        Result onDisk = RunIsolated(disk, s), onTmpfs = RunIsolated(tmpfs, s);
        results.emplace_back(onDisk, onTmpfs);
        std::printf("%-24s %12.1f %12.1f %15.1f %15.1f %14.1f %14.1f\n", s.name, onDisk.fill, onTmpfs.fill,
                    onDisk.upgrade, onTmpfs.upgrade, onDisk.change, onTmpfs.change);
        std::fflush(stdout);
    }
    std::printf("\n%-24s %10s %10s %10s %7s %10s %10s %10s %7s\n", "upgrade latency, us", "disk p50", "p99", "max",
                "p99/p50", "tmpfs p50", "p99", "max", "p99/p50");
    for (size_t i = 0; i < results.size(); i++) {
        const Result &d = results[i].first, &t = results[i].second;
        std::printf("%-24s %10.1f %10.1f %10.1f %7.1f %10.1f %10.1f %10.1f %7.1f\n", kShapes[i].name, d.p50, d.p99,
                    d.max, d.p99 / d.p50, t.p50, t.p99, t.max, t.p99 / t.p50);
    }
    return 0;
}
