#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

long long NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

}  // namespace

namespace {

// In the child: the standard streams, the environment, the directory, then exec.
[[noreturn]] void ExecChild(const std::string &program, const std::vector<std::string> &args,
                            const std::vector<std::string> &env, const std::string &cwd, int out, int err) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out >= 0 ? out : null, 1);
    dup2(err >= 0 ? err : null, 2);
    for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace

int StartProgram(const std::string &program, const std::vector<std::string> &args,
                 const std::vector<std::string> &env, const std::string &cwd) {
    pid_t pid = fork();
    if (pid == 0) ExecChild(program, args, env, cwd, -1, -1);
    return pid;
}

bool ProcessGuard::WaitExit(int timeoutMs) const {
    if (pid_ <= 0) return true;
    // A pidfd tells of the end, zombie or not, without reaping.
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (fd < 0) return errno == ESRCH || WaitFor([this] { return kill(pid_, 0) != 0; }, timeoutMs);
    pollfd p{fd, POLLIN, 0};
    bool ended = poll(&p, 1, timeoutMs) == 1;
    close(fd);
    return ended;
}

void ProcessGuard::Kill(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

void ProcessGuard::Stop() {
    if (pid_ <= 0) return;
    if (graceMs_ > 0 && !WaitExit(0)) {
        kill(pid_, SIGTERM);
        WaitExit(graceMs_);
    }
    if (!WaitExit(0)) {
        kill(pid_, SIGKILL);
        WaitExit(5000);
    }
    waitpid(pid_, nullptr, WNOHANG);  // ours to reap when we started it
    pid_ = -1;
}

bool WaitFor(const std::function<bool()> &done, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        if (done()) return true;
        if (NowMs() >= deadline) return done();
        usleep(5000);
    }
}

RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::vector<std::string> &env, int timeoutMs, const std::string &cwd) {
    RunResult r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) ExecChild(program, args, env, cwd, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open = 2;
    long long deadline = NowMs() + timeoutMs;
    bool killed = false;
    while (open > 0) {
        long long left = deadline - NowMs();
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (poll(fds, 2, left > 0 ? static_cast<int>(left) : 100) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    for (pollfd &f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string BinPath(const std::string &name) { return std::string(PELLOR_BIN_DIR) + "/" + name; }

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/pellor-test-XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    nftw(
        path_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string ReadWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteWholeFile(const std::string &path, const std::string &content, int mode) {
    std::ofstream(path, std::ios::binary) << content;
    if (mode >= 0) chmod(path.c_str(), static_cast<mode_t>(mode));
}
