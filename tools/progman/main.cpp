// progman: the emulated Program Manager, a DDE server for service and topic
// "PROGMAN" on this machine (PELLOR_MACHINE).
//
//   progman [/NTSETUP]   serve until [ExitProgman] and the end of the last conversation
//   progman --list       print the groups and items
//   progman --exit       ask the running server to exit, and wait until it has
//   progman --help
//
// One copy per machine: progman/progman.pid is locked while the server runs.
#include "server.h"
#include "store.h"

#include "platform/posix/dde/ddeserver.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/process/startup.h"
#include "platform/posix/user/showstyle.h"
#include "platform/posix/machine.h"
#include "platform/escape.h"
#include "platform/win32.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void OnStopSignal(int signal) { ProgmanStopSignal = signal; }

// How long a second copy waits for a copy that is ending to let go: one stops
// listening only once its changes are on disk, so little is left to it then.
constexpr int kLockWaitMs = 3000;
// How long --exit waits for the server to end.
constexpr int kExitWaitMs = 60000;

// What an item has beyond its command line and icon, as ", dir D, at X,Y,
// hot key N, minimized" (only what is set).
std::string ItemExtras(const ProgramItem &i) {
    std::string extras;
    if (!i.workingDir.empty()) extras += ", dir " + i.workingDir;
    if (i.placed) extras += ", at " + std::to_string(i.x) + "," + std::to_string(i.y);
    if (i.hotKey != 0) extras += ", hot key " + std::to_string(i.hotKey);
    if (i.minimize) extras += ", minimized";
    return extras;
}

// Prints the groups and items; symlinks and someone else's entries are passed
// over and named on standard error. 1 when a scope directory is not ours.
int List(const std::string &root) {
    int status = 0;
    for (int scope : {SCOPE_COMMON, SCOPE_PERSONAL}) {
        std::printf("%s\n", ScopeName(scope));
        std::string problem;
        if (PrivateDirUnder(root, ScopeName(scope), &problem).empty()) {
            std::fprintf(stderr, "progman: %s\n", problem.c_str());
            status = 1;
            continue;
        }
        std::vector<std::string> passedOver;
        for (const StoredGroup &g : StoreList(root, scope, &passedOver)) {
            std::printf("  %s\n", EscapeControls(g.name).c_str());
            for (const ProgramItem &i : g.items)
                std::printf("    %s: %s (icon %s, %d%s)\n", EscapeControls(i.name).c_str(),
                            EscapeControls(i.commandLine).c_str(), EscapeControls(i.iconFile).c_str(), i.iconIndex,
                            EscapeControls(ItemExtras(i)).c_str());
        }
        for (const std::string &p : passedOver) std::fprintf(stderr, "progman: passed over %s\n", EscapeControls(p).c_str());
    }
    return status;
}

// The pid a pid file names, or empty.
std::string ReadPid(const std::string &path) {
    std::string problem;
    int fd = OpenPrivateFile(path, O_RDONLY, PRIVATE_READ, &problem);
    if (fd < 0) return std::string();
    char buffer[32] = {};
    ssize_t n = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    return n > 0 ? std::string(buffer, strcspn(buffer, "\n")) : std::string();
}

// Whether the copy that holds the lock serves: it writes its pid once it
// listens, and removes its socket first when it ends. Asking the socket
// itself would crowd its queue of connections just when runs meet.
bool ServiceServed(const std::string &pidPath) {
    if (ReadPid(pidPath).empty()) return false;
    struct stat st {};
    for (const std::string &dir : DdeServiceDirs("PROGMAN"))
        if (lstat((dir + "/" + DdeServiceFileName("PROGMAN")).c_str(), &st) == 0) return true;
    return false;
}

// Takes the one-copy lock on the pid file; -1 when another copy holds it and
// serves (or does not let go within kLockWaitMs). A copy that no longer serves
// is ending, its flush done: its lock is waited for, so that a run that
// started us as the last server ends never finds nobody. -1 with *problem when
// the pid file is not a regular file of ours.
int LockPidFile(const std::string &path, std::string *holder, std::string *problem) {
    uint64_t giveUp = DdeNowMs() + kLockWaitMs;
    for (;;) {
        int fd = OpenPrivateFile(path, O_RDWR | O_CREAT, PRIVATE_WRITE, problem);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            *holder = ReadPid(path);
            if (ServiceServed(path) || DdeRemainingMs(giveUp) == 0) return -1;
            usleep(10000);
            continue;
        }
        // A copy that was exiting may have removed the file we locked: lock the one in place.
        struct stat locked {}, current {};
        if (fstat(fd, &locked) == 0 && lstat(path.c_str(), &current) == 0 && locked.st_ino == current.st_ino &&
            locked.st_dev == current.st_dev)
            return fd;
        close(fd);
        if (DdeRemainingMs(giveUp) == 0) return -1;
    }
}

bool WritePid(int fd) {
    std::string text = std::to_string(getpid()) + "\n";
    return ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
           fsync(fd) == 0;
}

// Lets go of the caller's terminal or pipes: whoever started us may be waiting
// for them to close.
void DetachStreams() {
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    close(null);
}

// The lock comes first: a second copy must not touch the files of the one
// that serves (clearing its temporary files would lose an item).
int Serve(const std::string &root) {
    std::string pidPath = root + "/progman.pid", holder, error;
    int lock = LockPidFile(pidPath, &holder, &error);
    if (lock < 0) {
        if (!error.empty()) {
            std::fprintf(stderr, "progman: %s; refusing to serve\n", error.c_str());
            return 1;
        }
        // Whoever started us can go to the copy that serves, as if we did.
        if (ServiceServed(pidPath)) ProcessSignalReady();
        std::fprintf(stderr, "progman: already running on this machine (pid %s)\n",
                     holder.empty() ? "?" : holder.c_str());
        return 1;
    }
    GroupStore store(root);
    ProgmanServer handler(root, store, ShowCommandMinimizes(ProcessStartupShow()));
    std::vector<std::string> passedOver;
    if (!handler.OpenLogs(&error) || !store.Open(&error, &passedOver)) {
        std::fprintf(stderr, "progman: %s; refusing to serve\n", error.c_str());
        close(lock);
        return 1;
    }
    for (const std::string &p : passedOver) handler.Log("passed over " + EscapeControls(p));
    sigset_t stops, waitMask;
    sigemptyset(&stops);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, s);
    sigprocmask(SIG_BLOCK, &stops, &waitMask);  // let in only while waiting for clients
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    DdeServer *server = DdeServerOpen("PROGMAN", &error);
    if (server == nullptr || !WritePid(lock)) {
        std::fprintf(stderr, "progman: %s\n", server == nullptr ? error.c_str() : "cannot write progman.pid");
        DdeServerClose(server);
        unlink(pidPath.c_str());
        close(lock);
        return 1;
    }
    handler.Attach(server);
    for (const std::string &note : TakePlatformNotes()) handler.Log(note);
    DetachStreams();
    ProcessSignalReady();
    DdeServerRun(server, handler, &waitMask);
    DdeServerClose(server);
    handler.Finish();
    unlink(pidPath.c_str());
    return 0;  // the lock goes with the process: progman --exit waits for that
}

HDDEDATA CALLBACK IgnoreDde(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return nullptr; }

// Sends [ExitProgman(1)] on a conversation of its own; false when no server answers.
bool SendExit(std::string *why) {
    DWORD inst = 0;
    if (DdeInitializeA(&inst, IgnoreDde, APPCMD_CLIENTONLY, 0) != 0) return false;
    HSZ name = DdeCreateStringHandleA(inst, "PROGMAN", 0);
    HCONV conv = DdeConnect(inst, name, name, nullptr);
    bool ok = false;
    if (conv == nullptr) {
        *why = "no Program Manager is running on this machine";
    } else {
        char command[] = "[ExitProgman(1)]";
        DWORD status = 0;
        ok = DdeClientTransaction(reinterpret_cast<LPBYTE>(command), sizeof command, conv, nullptr, 0, XTYP_EXECUTE,
                                  20000, &status) != nullptr;
        if (!ok) *why = "the Program Manager did not accept the exit";
    }
    DdeFreeStringHandle(inst, name);
    DdeUninitialize(inst);  // ends the conversation: the server may now exit
    return ok;
}

// progman --exit: 0 once the server that served has ended, 1 otherwise. The
// server's lock on its pid file goes only with the server's process.
int AskToExit(const std::string &root) {
    std::string why;
    std::string problem;
    int pidFile = OpenPrivateFile(root + "/progman.pid", O_RDONLY, PRIVATE_READ, &problem);
    std::string pid = pidFile >= 0 ? ReadPid(root + "/progman.pid") : std::string();
    if (!SendExit(&why)) {
        std::fprintf(stderr, "progman: %s\n", why.c_str());
        if (pidFile >= 0) close(pidFile);
        return 1;
    }
    int status = 0;
    for (uint64_t giveUp = DdeNowMs() + kExitWaitMs; pidFile >= 0 && flock(pidFile, LOCK_SH | LOCK_NB) != 0;) {
        if (DdeRemainingMs(giveUp) == 0) {
            std::fprintf(stderr,
                         "progman: pid %s still runs: other conversations are open, or its changes are still being "
                         "written\n",
                         pid.c_str());
            status = 1;
            break;
        }
        usleep(10000);
    }
    if (pidFile >= 0) close(pidFile);
    return status;
}

const char kUsage[] =
    "usage: progman [/NTSETUP]   serve the Program Manager of this machine (PELLOR_MACHINE)\n"
    "       progman --list       print the groups and items\n"
    "       progman --exit       ask the running Program Manager to exit and wait until it has;\n"
    "                            status 1 when none is running\n"
    "       progman --version    print its version\n"
    "       progman --help       print this\n";

}  // namespace

int main(int argc, char **argv) {
    enum { SERVE, LIST, EXIT } mode = SERVE;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("progman %s\n", PELLOR_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--list") == 0 && mode == SERVE) {
            mode = LIST;
        } else if (std::strcmp(argv[i], "--exit") == 0 && mode == SERVE) {
            mode = EXIT;
        } else if (strcasecmp(argv[i], "/NTSETUP") != 0) {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (MachineDir().empty()) {
        std::fprintf(stderr, "progman: %s\n", MachineProblem().c_str());
        return 1;
    }
    std::string problem, root = MachinePrivateDir("progman", &problem);
    if (root.empty()) {
        std::fprintf(stderr, "progman: %s\n", problem.c_str());
        return 1;
    }
    if (mode == LIST) return List(root);
    return mode == EXIT ? AskToExit(root) : Serve(root);
}
