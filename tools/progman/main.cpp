// progman: the emulated Program Manager, a DDE server for service and topic
// "PROGMAN" on this machine (PELLOR_MACHINE).
//
//   progman [/NTSETUP]   serve until [ExitProgman] and the end of its conversation
//   progman --list       print the groups and items
//
// One copy per machine: progman/progman.pid is locked while the server runs.
#include "commands.h"
#include "store.h"

#include "platform/posix/dde/ddeserver.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/process/startup.h"
#include "platform/posix/user/showstyle.h"
#include "platform/posix/machine.h"
#include "platform/win32.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int32_t kWindowStyle = 0x10000000 | 0x00CF0000;  // WS_VISIBLE | WS_OVERLAPPEDWINDOW

volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) { stopSignal = signal; }

// Appends one line to a file of the progman directory, flushed to disk.
bool AppendLine(const std::string &path, const std::string &line) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::string text = line + "\n";
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fdatasync(fd) == 0;
    return close(fd) == 0 && ok;
}

// The journal shows each execute string on one line: control characters,
// which no accepted command contains, are written as \xHH.
std::string JournalText(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

class ProgmanServer : public DdeServerHandler {
public:
    ProgmanServer(std::string root, bool minimized)
        : root_(std::move(root)), style_(kWindowStyle | (minimized ? WS_MINIMIZE : 0)) {}

    bool OnConnect(DdeServerConv conv, const std::string &topic) override {
        if (strcasecmp(topic.c_str(), "PROGMAN") != 0) return false;
        sessions_[conv] = ProgmanSession();
        return true;
    }

    uint16_t OnExecute(DdeServerConv conv, const uint8_t *data, size_t length) override {
        // The command arrives with its terminating NUL; the text ends there.
        std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), length));
        std::string why;
        bool ok = ProgmanRunExecute(root_, sessions_[conv], text, &why);
        if (!AppendLine(root_ + "/journal.log", JournalText(text) + (ok ? "\tACK" : "\tNACK")))
            Log("cannot append to the journal: " + std::string(std::strerror(errno)));
        if (!ok) Log("refused " + JournalText(text) + ": " + why);
        return ok ? DDE_FACK : DDE_FNOTPROCESSED;
    }

    int32_t OnWindow(DdeServerConv, uint32_t op, int32_t argument) override {
        if (op == DDE_WINDOW_SHOW) style_ = StyleAfterShow(style_, argument);
        return style_;
    }

    void OnDisconnect(DdeServerConv conv) override {
        auto it = sessions_.find(conv);
        if (it == sessions_.end()) return;
        if (it->second.exitRequested) exit_ = true;
        sessions_.erase(it);
    }

    void OnProblem(DdeServerConv conv, const std::string &what) override {
        Log("conversation " + std::to_string(conv) + ": " + what);
    }

    bool KeepServing() override { return !exit_ && stopSignal == 0; }

    void Log(const std::string &line) { AppendLine(root_ + "/progman.log", line); }

private:
    std::string root_;
    int32_t style_;  // the window's, as ShowWindow leaves it
    bool exit_ = false;
    std::map<DdeServerConv, ProgmanSession> sessions_;
};

int List(const std::string &root) {
    for (int scope : {SCOPE_COMMON, SCOPE_PERSONAL}) {
        std::printf("%s\n", scope == SCOPE_COMMON ? "Common" : "Personal");
        for (const StoredGroup &g : StoreList(root, scope)) {
            std::printf("  %s\n", g.name.c_str());
            for (const ProgramItem &i : g.items)
                std::printf("    %s: %s (icon %s, %d)\n", i.name.c_str(), i.commandLine.c_str(), i.iconFile.c_str(),
                            i.iconIndex);
        }
    }
    return 0;
}

// Takes the one-copy lock on the pid file; -1 when another copy holds it.
int LockPidFile(const std::string &path, std::string *holder) {
    for (int attempt = 0; attempt < 5; attempt++) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            char buffer[32] = {};
            ssize_t n = read(fd, buffer, sizeof buffer - 1);
            *holder = n > 0 ? std::string(buffer, strcspn(buffer, "\n")) : "?";
            close(fd);
            return -1;
        }
        // A copy that was exiting may have removed the file we locked: lock the one in place.
        struct stat locked {}, current {};
        if (fstat(fd, &locked) == 0 && stat(path.c_str(), &current) == 0 && locked.st_ino == current.st_ino &&
            locked.st_dev == current.st_dev)
            return fd;
        close(fd);
    }
    return -1;
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

int Serve(const std::string &root) {
    std::string error;
    if (!StoreOpen(root, &error)) {
        std::fprintf(stderr, "progman: %s\n", error.c_str());
        return 1;
    }
    std::string pidPath = root + "/progman.pid", holder;
    int lock = LockPidFile(pidPath, &holder);
    if (lock < 0) {
        std::fprintf(stderr, "progman: already running on this machine (pid %s)\n", holder.c_str());
        return 1;
    }
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
    ProgmanServer handler(root, ShowCommandMinimizes(ProcessStartupShow()));
    DetachStreams();
    ProcessSignalReady();
    DdeServerRun(server, handler, &waitMask);
    DdeServerClose(server);
    unlink(pidPath.c_str());
    close(lock);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    bool list = false;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--list") == 0) {
            list = true;
        } else if (strcasecmp(argv[i], "/NTSETUP") != 0) {
            std::fprintf(stderr, "usage: progman [/NTSETUP] | progman --list\n");
            return 2;
        }
    }
    if (MachineDir().empty()) {
        std::fprintf(stderr, "progman: %s\n", MachineProblem().c_str());
        return 1;
    }
    std::string root = MachineDir() + "/progman";
    if (!MakeDirs(root, 0700)) {
        std::fprintf(stderr, "progman: cannot create %s\n", root.c_str());
        return 1;
    }
    return list ? List(root) : Serve(root);
}
