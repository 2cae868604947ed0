// Shared helpers of the DDE, process and Program Manager tests.
#pragma once

#include "platform/win32.h"
#include "run.h"    // ProcessGuard, TempDir, ReadWholeFile, WriteWholeFile
#include "store.h"  // RemoveTree

#include <string>
#include <vector>

// The machine directory this test process runs on (set up by the test main).
const std::string &TestMachine();

// Closes the handles of a PROCESS_INFORMATION when it goes out of scope.
struct ProcessHandles {
    PROCESS_INFORMATION info{};
    ~ProcessHandles();
};

// Removes the file when the scope ends.
struct FileGuard {
    std::string path;
    ~FileGuard();
};

std::vector<std::string> ReadLines(const std::string &path);
// The commands of a journal with their outcome ("<command>\tACK"), in order:
// the last two fields of each line that ends in ACK or NACK.
std::vector<std::string> JournalCommands(const std::string &path);
std::string BinDir();  // where the test binaries and progman are

// Starts a program the Windows way; false when CreateProcessA fails.
bool Start(const std::string &commandLine, ProcessHandles *handles, int show = -1);

// How long a guard lets progman stop on SIGTERM: it then removes its pid file
// and socket itself, so that the next test starts on a clean machine.
constexpr int kProgmanGraceMs = 5000;

// Starts progman with CreateProcessA("PROGMAN /NTSETUP") and waits until it
// serves; the guard stops it at the end of the scope.
bool StartProgman(ProcessGuard *guard, ProcessHandles *handles, int show = -1);

// Puts a symlink to target in place of path (whatever is there).
void SwapForLink(const std::string &path, const std::string &target);
// Writes an item "Evil" running /tmp/evil at path as another user would: owner
// (the file or its folder) then belongs to uid 65534, which takes root.
void PlantEvilItem(const std::string &path, const std::string &owner);

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

// A conversation on the raw protocol that says nothing after its greeting:
// the socket, or -1 when the server did not welcome it; *answer is the
// welcome's value when one came.
int Greeted(const std::string &service, const std::string &topic, uint32_t *answer = nullptr);
// Whether the server still answers a raw conversation: a window request comes
// back as the window's state.
bool StillServed(int fd);
