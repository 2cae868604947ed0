// CreateProcessA, WaitForInputIdle, WaitForSingleObject, GetExitCodeProcess and
// CloseHandle over fork/exec.
//
// The program is looked up in our own directory, then along PATH, never in the
// current directory, where anyone may have left a program of that name
// (case-insensitive; ".exe" optional). The child gets
// /dev/null for its standard streams, so a long-lived child never holds the
// caller's pipes open, and inherits no descriptor but the readiness pipe: it
// writes one byte there when it is ready to serve (startup.h).
#include "platform/posix/process/startup.h"
#include "platform/posix/process/winargs.h"
#include "platform/posix/errors.h"
#include "platform/posix/filehandle.h"
#include "platform/win32.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr DWORD kStillActive = 259;
constexpr DWORD kErrorDirectory = 267;
constexpr DWORD kErrorBadExeFormat = 193;
constexpr int kReadyChildFd = 3;  // where the child finds the readiness pipe

struct ProcessObject {
    pid_t pid = -1;
    int pidfd = -1;     // readable once the process has ended
    int readyFd = -1;   // read end of the readiness pipe; -1 once settled
    bool ready = false;
    bool exited = false;
    DWORD exitCode = kStillActive;
    ~ProcessObject();
};

struct HandleEntry {
    bool thread = false;
    std::shared_ptr<ProcessObject> process;
};

std::mutex tableLock;
std::map<uintptr_t, HandleEntry> table;
uintptr_t nextHandle = 0x1000;
std::vector<pid_t> orphans;  // children whose handles were closed while they ran

// Collects exited orphans so closed handles leave no zombies behind for long.
void ReapOrphans() {
    std::lock_guard<std::mutex> hold(tableLock);
    orphans.erase(std::remove_if(orphans.begin(), orphans.end(),
                                 [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; }),
                  orphans.end());
}

// Records the exit status if the child has ended; true when it has.
bool Settle(ProcessObject &p) {
    if (p.exited) return true;
    int status = 0;
    pid_t r = waitpid(p.pid, &status, WNOHANG);
    if (r == 0) return false;
    p.exited = true;
    if (r < 0) {
        p.exitCode = 1;  // reaped elsewhere: ended, status unknown
    } else if (WIFEXITED(status)) {
        p.exitCode = static_cast<DWORD>(WEXITSTATUS(status));
    } else {
        p.exitCode = 128 + static_cast<DWORD>(WTERMSIG(status));
    }
    return true;
}

ProcessObject::~ProcessObject() {
    if (pidfd >= 0) close(pidfd);
    if (readyFd >= 0) close(readyFd);
    if (!Settle(*this)) {
        std::lock_guard<std::mutex> hold(tableLock);
        orphans.push_back(pid);
    }
}

HANDLE AddHandle(const std::shared_ptr<ProcessObject> &p, bool thread) {
    std::lock_guard<std::mutex> hold(tableLock);
    uintptr_t h = nextHandle;
    nextHandle += 4;
    table[h] = HandleEntry{thread, p};
    return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<ProcessObject> Lookup(HANDLE h) {
    std::lock_guard<std::mutex> hold(tableLock);
    auto it = table.find(reinterpret_cast<uintptr_t>(h));
    return it == table.end() ? nullptr : it->second.process;
}

bool SameNoCase(const std::string &a, const std::string &b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool IsProgram(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The file names that may stand for name: Windows adds ".exe" to a name without
// an extension; our programs have none, so a given ".exe" may also be dropped.
std::vector<std::string> NameVariants(const std::string &name) {
    std::vector<std::string> v{name};
    if (name.find('.') == std::string::npos) v.push_back(name + ".exe");
    if (name.size() > 4 && SameNoCase(name.substr(name.size() - 4), ".exe")) v.push_back(name.substr(0, name.size() - 4));
    return v;
}

// A program for name in dir: an exact match first, else the first
// case-insensitive match in name order.
std::string FindInDir(const std::string &dir, const std::string &name) {
    std::vector<std::string> variants = NameVariants(name);
    for (const std::string &v : variants)
        if (IsProgram(dir + "/" + v)) return dir + "/" + v;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return std::string();
    std::vector<std::string> matches;
    while (dirent *e = readdir(d)) {
        for (const std::string &v : variants)
            if (SameNoCase(e->d_name, v)) matches.push_back(e->d_name);
    }
    closedir(d);
    std::sort(matches.begin(), matches.end());
    for (const std::string &m : matches)
        if (IsProgram(dir + "/" + m)) return dir + "/" + m;
    return std::string();
}

std::string OwnDirectory() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    std::string path(buffer, static_cast<size_t>(n));
    return path.substr(0, path.find_last_of('/'));
}

// Finds the program a module name stands for, or empty. An absolute path is
// taken as it is; a relative one is refused, since it would be found through
// the current directory (so is the longer name tried up to a blank, as in
// "PROGMAN /NTSETUP"). A bare name is looked for beside us, then in the
// absolute directories of PATH (an empty, "." or relative one would be the
// current directory's, which is never searched).
std::string FindProgram(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.empty()) return std::string();
    size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) {
        if (name[0] != '/') return std::string();
        std::string dir = slash == 0 ? "/" : name.substr(0, slash);
        return FindInDir(dir, name.substr(slash + 1));
    }
    std::vector<std::string> dirs{OwnDirectory()};
    if (const char *path = std::getenv("PATH")) {
        std::string p(path);
        for (size_t start = 0; start <= p.size();) {
            size_t end = p.find(':', start);
            if (end == std::string::npos) end = p.size();
            if (end > start && p[start] == '/') dirs.push_back(p.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const std::string &dir : dirs) {
        if (dir.empty()) continue;
        std::string found = FindInDir(dir, name);
        if (!found.empty()) return found;
    }
    return std::string();
}

// The child's environment: the given block ("A=B\0C=D\0\0") or ours, without
// inherited startup variables, plus the ones for this child.
std::vector<std::string> ChildEnvironment(LPVOID block, const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    if (block != nullptr) {
        for (const char *p = static_cast<const char *>(block); *p != '\0'; p += std::strlen(p) + 1) env.push_back(p);
    } else {
        for (char **e = environ; *e != nullptr; e++) env.push_back(*e);
    }
    auto inherited = [](const std::string &s) {
        return s.rfind(PELLOR_READY_FD_VAR "=", 0) == 0 || s.rfind(PELLOR_SHOW_WINDOW_VAR "=", 0) == 0;
    };
    env.erase(std::remove_if(env.begin(), env.end(), inherited), env.end());
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> Pointers(std::vector<std::string> &strings) {
    std::vector<char *> v;
    for (std::string &s : strings) v.push_back(s.data());
    v.push_back(nullptr);
    return v;
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void ExecChild(const char *path, char **argv, char **envp, int devNull, int readyWrite,
                            int errorWrite, const char *directory) {
    int ready = fcntl(readyWrite, F_DUPFD, 10);
    int error = fcntl(errorWrite, F_DUPFD_CLOEXEC, 10);
    int null = fcntl(devNull, F_DUPFD, 10);
    if (ready < 0 || error < 0 || null < 0) _exit(127);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    dup2(ready, kReadyChildFd);
    // Signals the run log ignores are the child's to decide (an ignored one would stay ignored).
    struct sigaction restore {};
    restore.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &restore, nullptr);
    sigaction(SIGXFSZ, &restore, nullptr);
    // Nothing of ours but the readiness pipe reaches the child.
    if (error > kReadyChildFd + 1 && syscall(SYS_close_range, kReadyChildFd + 1, error - 1, 0) != 0)
        for (int fd = kReadyChildFd + 1; fd < error; fd++) close(fd);
    if (syscall(SYS_close_range, error + 1, ~0U, 0) != 0)
        for (int fd = error + 1; fd < 4096; fd++) close(fd);
    int e = 0;
    if (directory != nullptr && chdir(directory) != 0) e = errno;
    if (e == 0) {
        execve(path, argv, envp);
        e = errno;
    }
    ssize_t unused = write(error, &e, sizeof e);
    (void)unused;
    _exit(127);
}

DWORD SpawnError(int e) {
    switch (e) {
        case ENOEXEC: return kErrorBadExeFormat;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        default: return Win32ErrorFromErrno(e);
    }
}

}  // namespace

extern "C" {

BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                           BOOL, DWORD, LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                           LPPROCESS_INFORMATION info) {
    if ((application == nullptr && commandLine == nullptr) || startupInfo == nullptr || info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ReapOrphans();
    std::string line = commandLine != nullptr ? commandLine : application;
    std::string path;
    if (application != nullptr) {
        // Windows would complete a relative name from the current directory: here it has to be absolute.
        if (application[0] == '/') path = FindProgram(application);
    } else {
        for (const std::string &name : ModuleNameCandidates(line))
            if (!(path = FindProgram(name)).empty()) break;
    }
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    struct stat st {};
    if (currentDirectory != nullptr && (stat(currentDirectory, &st) != 0 || !S_ISDIR(st.st_mode))) {
        SetLastError(kErrorDirectory);
        return FALSE;
    }
    std::vector<std::string> args = SplitCommandLine(line);
    std::vector<std::string> extra{PELLOR_READY_FD_VAR "=" + std::to_string(kReadyChildFd)};
    if (startupInfo->dwFlags & STARTF_USESHOWWINDOW)
        extra.push_back(PELLOR_SHOW_WINDOW_VAR "=" + std::to_string(startupInfo->wShowWindow));
    std::vector<std::string> env = ChildEnvironment(environment, extra);
    std::vector<char *> argv = Pointers(args), envp = Pointers(env);

    int readyPipe[2], errorPipe[2];
    int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0 || pipe2(readyPipe, O_CLOEXEC) != 0) {
        if (devNull >= 0) close(devNull);
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        close(devNull);
        close(readyPipe[0]);
        close(readyPipe[1]);
        return FALSE;
    }
    pid_t pid = fork();
    if (pid == 0)
        ExecChild(path.c_str(), argv.data(), envp.data(), devNull, readyPipe[1], errorPipe[1], currentDirectory);
    int forkErrno = errno;
    close(devNull);
    close(readyPipe[1]);
    close(errorPipe[1]);
    int childErrno = 0;
    ssize_t got = pid < 0 ? 0 : read(errorPipe[0], &childErrno, sizeof childErrno);  // EOF: exec succeeded
    close(errorPipe[0]);
    if (pid < 0 || got > 0) {
        close(readyPipe[0]);
        if (pid > 0) waitpid(pid, nullptr, 0);
        SetLastError(SpawnError(pid < 0 ? forkErrno : childErrno));
        return FALSE;
    }
    auto p = std::make_shared<ProcessObject>();
    p->pid = pid;
    p->pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    p->readyFd = readyPipe[0];
    info->hProcess = AddHandle(p, false);
    info->hThread = AddHandle(p, true);
    info->dwProcessId = static_cast<DWORD>(pid);
    info->dwThreadId = static_cast<DWORD>(pid);  // the child's main thread has the process's id
    return TRUE;
}

DWORD WINAPI WaitForInputIdle(HANDLE process, DWORD milliseconds) {
    std::shared_ptr<ProcessObject> p = Lookup(process);
    if (p == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (p->ready) return 0;
    if (p->readyFd < 0) return WAIT_FAILED;
    uint64_t start = GetTickCount();
    for (;;) {
        int wait = -1;
        if (milliseconds != INFINITE) {
            uint64_t spent = static_cast<DWORD>(GetTickCount() - start);
            wait = spent >= milliseconds ? 0 : static_cast<int>(std::min<uint64_t>(milliseconds - spent, INT_MAX));
        }
        pollfd pf{p->readyFd, POLLIN, 0};
        int r = poll(&pf, 1, wait);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return WAIT_TIMEOUT;
        char byte;
        ssize_t n = r > 0 ? read(p->readyFd, &byte, 1) : -1;
        if (n < 0 && errno == EINTR) continue;
        close(p->readyFd);
        p->readyFd = -1;
        if (n == 1) {
            p->ready = true;
            return 0;
        }
        return WAIT_FAILED;  // the pipe closed unsignalled: the child ended before it was ready
    }
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<ProcessObject> p = Lookup(handle);
    if (p == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    uint64_t start = GetTickCount();
    for (;;) {
        if (Settle(*p)) return WAIT_OBJECT_0;
        uint64_t spent = static_cast<DWORD>(GetTickCount() - start);
        if (milliseconds != INFINITE && spent >= milliseconds) return WAIT_TIMEOUT;
        int slice = milliseconds == INFINITE ? -1 : static_cast<int>(std::min<uint64_t>(milliseconds - spent, INT_MAX));
        if (p->pidfd >= 0) {
            pollfd pf{p->pidfd, POLLIN, 0};
            poll(&pf, 1, slice);
        } else {
            Sleep(slice < 0 || slice > 10 ? 10 : static_cast<DWORD>(slice));  // no pidfd: poll the status
        }
    }
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    std::shared_ptr<ProcessObject> p = Lookup(process);
    if (p == nullptr || exitCode == nullptr) {
        SetLastError(p == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = Settle(*p) ? p->exitCode : kStillActive;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    std::shared_ptr<ProcessObject> last;
    {
        std::lock_guard<std::mutex> hold(tableLock);
        auto it = table.find(reinterpret_cast<uintptr_t>(handle));
        if (it == table.end()) {
            if (CloseFileHandle(handle)) return TRUE;
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        last = std::move(it->second.process);
        table.erase(it);
    }
    last.reset();  // outside the lock: the object's end may record an orphan
    return TRUE;
}

}  // extern "C"

void ProcessSignalReady() {
    static bool done = false;
    if (done) return;
    done = true;
    const char *v = std::getenv(PELLOR_READY_FD_VAR);
    if (v == nullptr) return;
    char *end = nullptr;
    long fd = std::strtol(v, &end, 10);
    unsetenv(PELLOR_READY_FD_VAR);
    struct stat st {};
    // Only a pipe is ours to write to; a stray variable must not touch another file.
    if (end == v || *end != '\0' || fd < 0 || fd > INT_MAX || fstat(static_cast<int>(fd), &st) != 0 ||
        !S_ISFIFO(st.st_mode))
        return;
    char byte = 'R';
    ssize_t unused = write(static_cast<int>(fd), &byte, 1);
    (void)unused;
    close(static_cast<int>(fd));
}

int ProcessStartupShow() {
    const char *v = std::getenv(PELLOR_SHOW_WINDOW_VAR);
    if (v == nullptr) return 10;  // SW_SHOWDEFAULT
    char *end = nullptr;
    long show = std::strtol(v, &end, 10);
    return end != v && *end == '\0' && show >= 0 && show <= 11 ? static_cast<int>(show) : 10;
}

bool ShowCommandMinimizes(int show) {
    return show == SW_SHOWMINIMIZED || show == SW_MINIMIZE || show == SW_SHOWMINNOACTIVE || show == 11;
}
