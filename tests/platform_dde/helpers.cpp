#include "helpers.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

bool ProcessGuard::WaitExit(int milliseconds) {
    if (pid_ <= 0) return true;
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (fd < 0) return true;  // already gone and reaped
    pollfd p{fd, POLLIN, 0};
    bool ended = poll(&p, 1, milliseconds) == 1;
    close(fd);
    return ended;
}

void ProcessGuard::Kill(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

void ProcessGuard::Stop() {
    if (pid_ <= 0) return;
    if (!WaitExit(0)) {
        kill(pid_, SIGTERM);
        if (!WaitExit(5000)) {
            kill(pid_, SIGKILL);
            WaitExit(5000);
        }
    }
    waitpid(pid_, nullptr, WNOHANG);  // ours to reap when we started it
    pid_ = -1;
}

ProcessHandles::~ProcessHandles() {
    if (info.hThread != nullptr) CloseHandle(info.hThread);
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
}

TempDir::TempDir() {
    char pattern[] = "/tmp/pellor-dde-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    if (!path_.empty()) RemoveTree(path_);
}

FileGuard::~FileGuard() { unlink(path.c_str()); }

std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string &path, const std::string &text, unsigned mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

std::vector<std::string> ReadLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string BinDir() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string path(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.find_last_of('/'));
}

bool Start(const std::string &commandLine, ProcessHandles *handles, int show) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (show >= 0) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = static_cast<WORD>(show);
    }
    std::string line = commandLine;
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, 8, 0, nullptr, nullptr, &si, &handles->info) != 0;
}

bool StartProgman(ProcessGuard *guard, ProcessHandles *handles, int show) {
    if (!Start("PROGMAN /NTSETUP", handles, show)) return false;
    guard->Watch(static_cast<pid_t>(handles->info.dwProcessId));
    return WaitForInputIdle(handles->info.hProcess, 20000) == 0;
}

void ResetProgmanState() { RemoveTree(TestMachine() + "/progman"); }

std::vector<HCONV> DdeClient::disconnects;

namespace {
HDDEDATA CALLBACK RecordDisconnects(UINT type, UINT, HCONV conv, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    if (type == XTYP_DISCONNECT) DdeClient::disconnects.push_back(conv);
    return nullptr;
}
}  // namespace

DdeClient::DdeClient() {
    disconnects.clear();
    DdeInitializeA(&instance, RecordDisconnects, APPCMD_CLIENTONLY, 0);
}

DdeClient::~DdeClient() {
    if (instance != 0) DdeUninitialize(instance);
}

HCONV DdeClient::Connect(const char *service, const char *topic) {
    HSZ s = DdeCreateStringHandleA(instance, service, 0);
    HSZ t = DdeCreateStringHandleA(instance, topic, 0);
    HCONV conv = DdeConnect(instance, s, t, nullptr);
    DdeFreeStringHandle(instance, s);
    DdeFreeStringHandle(instance, t);
    return conv;
}

HDDEDATA DdeClient::Execute(HCONV conv, const std::string &command, DWORD timeout, DWORD *status) {
    std::string copy = command;
    return DdeClientTransaction(reinterpret_cast<LPBYTE>(copy.data()), static_cast<DWORD>(copy.size() + 1), conv,
                                nullptr, 0, XTYP_EXECUTE, timeout, status);
}
