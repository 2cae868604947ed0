// The run log's destinations: the lines of runlog.cpp go to PELLOR_LOG and, on Linux,
// the machine's own log. A destination that cannot be opened or written is dropped:
// the log never changes a run's outcome.
#include "runlog/runlog.h"

#include "platform/escape.h"
#include "platform/localtime.h"
#include "platform/syshooks.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int MaxDestinations = 2;
HANDLE destinations[MaxDestinations];
bool owned[MaxDestinations];  // opened here, so closed here (standard error is not)
int destinationCount = 0;
int machineLog = -1;     // the destination that is the machine's own log, which has a cap
size_t machineRoom = 0;  // what it may still take before it moves aside
char linePrefix[64];
// Lines that wait to go out while the Program Manager works on the next command, so
// that writing them costs the run nothing; any other line takes them along first.
std::string pending;
bool deferring = false;  // the platform writes them while an answer is awaited

// Opens path for appending, creating it when it does not exist. Every write lands
// at the end of the file, so runs that log at the same time never overwrite each other.
HANDLE OpenForAppend(const char *path, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, flags, nullptr);
}

bool AddDestination(HANDLE file, bool own) {
    if (file == nullptr || file == INVALID_HANDLE_VALUE || destinationCount == MaxDestinations) return false;
    destinations[destinationCount] = file;
    owned[destinationCount] = own;
    destinationCount++;
    return true;
}

// Opens the machine's log with room for incoming bytes (moving a full one aside); a link
// there is not followed: the log belongs in the machine.
HANDLE OpenMachineLog(size_t incoming) {
    char path[MAX_PATH * 4];
    if (!MachineLogPath(path, sizeof path, incoming, &machineRoom)) return INVALID_HANDLE_VALUE;
    return OpenForAppend(path, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
}

// Writes one line to destination i; the machine's log moves aside first when the line
// would take it past its cap, so that a long run cannot grow it without bound.
void WriteTo(int i, const std::string &line) {
    if (i == machineLog && line.size() > machineRoom) {
        CloseHandle(destinations[i]);
        destinations[i] = OpenMachineLog(line.size());
        if (destinations[i] == INVALID_HANDLE_VALUE) return;
    }
    DWORD written = 0;
    if (!WriteFile(destinations[i], line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) return;
    if (i == machineLog) machineRoom -= written < machineRoom ? written : machineRoom;
}

// Writes the lines waiting, together: whole lines in one write, so that runs logging
// at once never split each other's lines.
void WritePending() {
    if (pending.empty()) return;
    for (int i = 0; i < destinationCount; i++) WriteTo(i, pending);
    pending.clear();
}

// What a line quotes (arguments, script text) may hold control characters: escaped,
// they can neither forge a line nor drive a terminal.
void AddText(const char *text) {
    AppendLocalTimeText(&pending, false);
    pending += linePrefix;
    AppendControlsEscaped(&pending, text);
    pending += '\n';
}

// Puts a line, after what the platform had to tell, with those waiting. A command's
// answer stops here where the platform writes them while the next command is awaited.
void AddLine(const char *text) {
    char note[512];
    while (TakePlatformNote(note, sizeof note)) AddText(note);
    AddText(text);
}

void WriteLine(const char *text) {
    AddLine(text);
    WritePending();
}

// The command line as given, with the arguments that hold blanks (or nothing) quoted.
std::string CommandLineText(int argc, char **argv) {
    std::string text;
    for (int i = 0; i < argc; i++) {
        std::string arg = argv[i];
        if (!text.empty()) text += ' ';
        text += arg.empty() || arg.find_first_of(" \t") != std::string::npos ? "\"" + arg + "\"" : arg;
    }
    return text;
}

}  // namespace

void RunLogOpen(int argc, char **argv, const char *mode) {
    const char *wanted = std::getenv("PELLOR_LOG");
    if (wanted != nullptr && std::strcmp(wanted, "-") == 0) {
        AddDestination(GetStdHandle(STD_ERROR_HANDLE), false);
    } else if (wanted != nullptr && wanted[0] != '\0') {
        AddDestination(OpenForAppend(wanted), true);
    }
    if (AddDestination(OpenMachineLog(0), true)) machineLog = destinationCount - 1;
    // Kept with or without a record: the report is drawn from the same events.
    deferring = destinationCount > 0 && CallWhileAnswerAwaited(WritePending);
    RunLogBegin(destinationCount > 0 ? WriteLine : nullptr, deferring ? AddLine : nullptr);
    RunLogRunStarted(argc - 1, argv + 1, mode);
    if (destinationCount == 0) return;

    std::snprintf(linePrefix, sizeof linePrefix, " upgrade[%lu] ", static_cast<unsigned long>(CurrentProcessId()));
    RunLogStartLine(CommandLineText(argc, argv).c_str(), mode);
}

int RunLogEnd(int status) {
    RunLogExitLine(status);  // takes the lines still waiting along
    if (deferring) CallWhileAnswerAwaited(nullptr);
    deferring = false;
    for (int i = 0; i < destinationCount; i++)
        if (owned[i] && destinations[i] != INVALID_HANDLE_VALUE) CloseHandle(destinations[i]);
    destinationCount = 0;
    machineLog = -1;
    return status;
}
