// Shared helpers of the DDE, process and Program Manager tests.
#pragma once

#include "platform/win32.h"
#include "store.h"  // RemoveTree

#include <string>
#include <sys/types.h>
#include <vector>

// The machine directory this test process runs on (set up by the test main).
const std::string &TestMachine();

// Stops a process by its id when the guard ends, also when a test fails:
// SIGTERM, then SIGKILL if it lingers, then reaps it if it is our child.
class ProcessGuard {
public:
    explicit ProcessGuard(pid_t pid = -1) : pid_(pid) {}
    ~ProcessGuard() { Stop(); }
    ProcessGuard(const ProcessGuard &) = delete;
    ProcessGuard &operator=(const ProcessGuard &) = delete;
    void Watch(pid_t pid) { pid_ = pid; }
    pid_t pid() const { return pid_; }
    // Waits for the process to end on its own; true when it did in time.
    bool WaitExit(int milliseconds);
    void Kill(int signal);
    void Stop();

private:
    pid_t pid_;
};

// Closes the handles of a PROCESS_INFORMATION when it goes out of scope.
struct ProcessHandles {
    PROCESS_INFORMATION info{};
    ~ProcessHandles();
};

// A temporary directory removed with its contents at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Removes the file when the scope ends.
struct FileGuard {
    std::string path;
    ~FileGuard();
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &text, unsigned mode = 0644);
std::vector<std::string> ReadLines(const std::string &path);
std::string BinDir();  // where the test binaries and progman are

// Starts a program the Windows way; false when CreateProcessA fails.
bool Start(const std::string &commandLine, ProcessHandles *handles, int show = -1);

// Starts progman with CreateProcessA("PROGMAN /NTSETUP") and waits until it
// serves; the guard stops it at the end of the scope.
bool StartProgman(ProcessGuard *guard, ProcessHandles *handles, int show = -1);

// Removes the Program Manager's state from the test machine.
void ResetProgmanState();

// A DDE client instance with a callback that records disconnects.
struct DdeClient {
    DWORD instance = 0;
    static std::vector<HCONV> disconnects;  // XTYP_DISCONNECT notifications received
    DdeClient();
    ~DdeClient();
    HCONV Connect(const char *service, const char *topic);
    // An execute as the utility sends it: the command with its NUL.
    HDDEDATA Execute(HCONV conv, const std::string &command, DWORD timeout, DWORD *status);
};
