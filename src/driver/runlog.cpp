// The run log's destinations and its start and end lines. A destination that
// cannot be opened or written is dropped: the log never changes a run's outcome.
#include "driver/runlog.h"

#include "platform/syshooks.h"
#include "platform/wstr.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr int MaxDestinations = 2;
HANDLE destinations[MaxDestinations];
bool owned[MaxDestinations];  // opened here, so closed here (standard error is not)
int destinationCount = 0;
char linePrefix[64];

// Days since 1970-01-01 of a civil date: the zone offset without platform calls.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

long long SecondsOf(const std::tm &t) {
    return DaysFromCivil(t.tm_year + 1900LL, static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_mday)) *
               86400 +
           t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

// The local time now in ISO 8601 with its offset, e.g. 2026-12-08T23:05:01+01:00.
std::string LocalTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm utc = *std::gmtime(&now);
    std::tm local = *std::localtime(&now);
    long long offset = (SecondsOf(local) - SecondsOf(utc)) / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60,
                  offset % 60);
    return text;
}

// Opens path for appending, creating it when it does not exist. Every write lands
// at the end of the file, so runs that log at the same time never overwrite each other.
HANDLE OpenForAppend(const char *path) {
    return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void AddDestination(HANDLE file, bool own) {
    if (file == nullptr || file == INVALID_HANDLE_VALUE || destinationCount == MaxDestinations) return;
    destinations[destinationCount] = file;
    owned[destinationCount] = own;
    destinationCount++;
}

// Each line goes out in one write.
void WriteLine(const char *text) {
    std::string line = LocalTimeNow() + linePrefix + text + "\n";
    for (int i = 0; i < destinationCount; i++) {
        DWORD written = 0;
        WriteFile(destinations[i], line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
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
    char machineLog[MAX_PATH * 4];
    if (MachineLogPath(machineLog, sizeof machineLog)) AddDestination(OpenForAppend(machineLog), true);
    if (destinationCount == 0) return;

    std::snprintf(linePrefix, sizeof linePrefix, " upgrade[%lu] ", static_cast<unsigned long>(CurrentProcessId()));
    RunLogWriter = WriteLine;
    RunLogEntryProbe = ProbeEntry;
    RunLogEntryResult = ReportEntry;
    RunLog("start: %s (mode %s)", CommandLineText(argc, argv).c_str(), mode);
}

int RunLogEnd(int status) {
    RunLog("exit %d: %s", status, RunLogReasonText[0] != '\0' ? RunLogReasonText : "done");
    for (int i = 0; i < destinationCount; i++)
        if (owned[i]) CloseHandle(destinations[i]);
    destinationCount = 0;
    RunLogWriter = nullptr;
    return status;
}
