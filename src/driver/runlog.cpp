// The run log's destinations and its start and end lines. A destination that
// cannot be opened or written is dropped: the log never changes a run's outcome.
#include "driver/runlog.h"

#include "platform/escape.h"
#include "platform/localtime.h"
#include "platform/syshooks.h"
#include "platform/wstr.h"

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

// Each line goes out in one write. What it quotes (arguments, script text) may hold
// control characters: escaped, they can neither forge a line nor drive a terminal.
void WriteLine(const char *text) {
    std::string line;
    char note[512];
    while (TakePlatformNote(note, sizeof note)) line += LocalTimeText(false) + linePrefix + EscapeControls(note) + "\n";
    line += LocalTimeText(false) + linePrefix + EscapeControls(text) + "\n";
    for (int i = 0; i < destinationCount; i++) WriteTo(i, line);
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

std::string Narrow(const WCHAR *text) {
    size_t n = WStrLen(text);
    std::string s(n * 3 + 1, '\0');
    s.resize(WideToMb(s.data(), text, s.size() - 1));
    return s;
}

// HKLM\parentPath\keyName[\name] as one wide string.
std::u16string KeyPath(const WCHAR *parentPath, const WCHAR *keyName, const WCHAR *name) {
    std::u16string path = reinterpret_cast<const char16_t *>(parentPath);
    path += u'\\';
    path += reinterpret_cast<const char16_t *>(keyName);
    if (name != nullptr) {
        path += u'\\';
        path += reinterpret_cast<const char16_t *>(name);
    }
    return path;
}

int ProbeEntry(const WCHAR *parentPath, const WCHAR *keyName, const WCHAR *name, int isKey) {
    std::u16string path = KeyPath(parentPath, keyName, isKey ? name : nullptr);
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return -1;
    if (!isKey) status = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 1 : status == ERROR_FILE_NOT_FOUND ? 0 : -1;
}

void ReportEntry(const WCHAR *parentPath, const WCHAR *keyName, const WCHAR *name, int isKey, int present,
                 int removed, ULONG error) {
    std::string what = std::string(isKey ? "key HKLM\\" : "value HKLM\\") +
                       Narrow(reinterpret_cast<const WCHAR *>(KeyPath(parentPath, keyName, nullptr).c_str())) +
                       (isKey ? "\\" : " ") + Narrow(name);
    if (!removed) {
        char text[256];
        SystemErrorText(error, text, sizeof text);
        RunLog("registry %s: could not remove (error %lu: %s)", what.c_str(), static_cast<unsigned long>(error),
               text);
    } else {
        RunLog("registry %s: %s", what.c_str(), present == 0 ? "already absent" : "removed");
    }
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
    if (destinationCount == 0) return;

    std::snprintf(linePrefix, sizeof linePrefix, " upgrade[%lu] ", static_cast<unsigned long>(CurrentProcessId()));
    RunLogWriter = WriteLine;
    RunLogEntryProbe = ProbeEntry;
    RunLogEntryResult = ReportEntry;
    RunLog("start: %s (mode %s), upgrade %s", CommandLineText(argc, argv).c_str(), mode, PELLOR_VERSION);
}

int RunLogEnd(int status) {
    RunLog("exit %d: %s", status, RunLogReasonText[0] != '\0' ? RunLogReasonText : "done");
    for (int i = 0; i < destinationCount; i++)
        if (owned[i] && destinations[i] != INVALID_HANDLE_VALUE) CloseHandle(destinations[i]);
    destinationCount = 0;
    machineLog = -1;
    RunLogWriter = nullptr;
    return status;
}
