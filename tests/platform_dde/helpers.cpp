#include "helpers.h"
#include "platform/posix/dde/ddewire.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <unistd.h>

ProcessHandles::~ProcessHandles() {
    if (info.hThread != nullptr) CloseHandle(info.hThread);
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
}

FileGuard::~FileGuard() { unlink(path.c_str()); }

std::vector<std::string> ReadLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> JournalCommands(const std::string &path) {
    std::vector<std::string> out;
    for (const std::string &line : ReadLines(path)) {
        size_t outcome = line.rfind('\t');
        size_t command = outcome == std::string::npos || outcome == 0 ? std::string::npos : line.rfind('\t', outcome - 1);
        std::string last = outcome == std::string::npos ? line : line.substr(outcome + 1);
        if ((last == "ACK" || last == "NACK") && command != std::string::npos) out.push_back(line.substr(command + 1));
    }
    return out;
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

void SwapForLink(const std::string &path, const std::string &target) {
    RemoveTree(path);
    EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

void PlantEvilItem(const std::string &path, const std::string &owner) {
    WriteWholeFile(path, FormatDesktopEntry(ProgramItem{"Evil", "/tmp/evil", "x", 0}), 0600);
    EXPECT_EQ(chown(owner.c_str(), 65534, 65534), 0) << owner;
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

int Greeted(const std::string &service, const std::string &topic, uint32_t *answer) {
    int fd = DdeSocketConnect(DdeRendezvousDir(), service);
    if (fd < 0) return -1;
    std::string hello = service + '\0' + topic + '\0';
    DdeFrameReader reader;
    DdeFrame f;
    std::string problem;
    // A server that turns us away may close before the greeting is taken: its answer is still there to read.
    DdeSendAll(fd, DdeEncodeFrame(DDE_FRAME_HELLO, 0, hello.data(), hello.size()), DdeNowMs() + 5000);
    if (DdeReceiveFrame(fd, reader, &f, DdeNowMs() + 5000, &problem) == DDE_IO_OK && f.type == DDE_FRAME_WELCOME) {
        if (answer != nullptr) *answer = DdePayloadU32(f);
        if (DdePayloadU32(f) == DDE_WELCOME_ACCEPTED) return fd;
    }
    close(fd);
    return -1;
}

bool StillServed(int fd) {
    if (DdeSendAll(fd, DdeEncodeU32Pair(DDE_FRAME_WINDOW, 1, DDE_WINDOW_STYLE, 0), DdeNowMs() + 5000) != DDE_IO_OK)
        return false;
    DdeFrameReader reader;
    DdeFrame f;
    std::string problem;
    return DdeReceiveFrame(fd, reader, &f, DdeNowMs() + 5000, &problem) == DDE_IO_OK &&
           f.type == DDE_FRAME_WINDOW_STATE;
}
