// The Linux side of platform/syshooks.h.
#include "platform/syshooks.h"
#include "platform/posix/machine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Past this size the machine's log is moved to upgrade.log.1, replacing an older one.
constexpr off_t MachineLogCap = 1024 * 1024;

struct ErrorText {
    DWORD code;
    const char *text;
};

// The Windows wording of the codes this layer sets, so that both builds log alike
// (and the reg tool speaks as reg.exe does).
const ErrorText ErrorTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_ARITHMETIC_OVERFLOW, "Arithmetic result exceeded 32 bits."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BADDB, "The configuration registry database is corrupt."},
    {ERROR_BADKEY, "The configuration registry key is invalid."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_REGISTRY_CORRUPT,
     "The structure of one of the files containing registry data is corrupt, or the system's memory image of the "
     "file is corrupt, or the file could not be recovered because the alternate copy or log was absent or corrupt."},
    {ERROR_REGISTRY_IO_FAILED,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write out, "
     "or flush, one of the files that contain the system's image of the registry."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
};

}  // namespace

int ArgumentRole(const WCHAR *arg) {
    if (arg[0] == '-' && arg[1] == '-' && arg[2] == 0) return ARGUMENT_END_OF_SWITCHES;
    if (arg[0] == '-') return ARGUMENT_SWITCH;
    if (arg[0] != '/') return ARGUMENT_POSITIONAL;
    // A POSIX absolute path begins with '/': a further '/' tells it from a switch, unless a ':'
    // comes first, which attaches a value (a path, say) to a switch: "/run_inf:/opt/x.inf".
    for (const WCHAR *p = arg + 1; *p != 0 && *p != ':'; p++)
        if (*p == '/') return ARGUMENT_POSITIONAL;
    return ARGUMENT_SWITCH;
}

bool MachineLogPath(char *path, size_t size, size_t incoming, size_t *room) {
    std::string log = MachinePath("upgrade.log");
    if (log.empty() || log.size() >= size) return false;
    struct stat st {};
    off_t used = lstat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
    if (used > 0 && used + static_cast<off_t>(incoming) > MachineLogCap &&
        std::rename(log.c_str(), (log + ".1").c_str()) == 0)
        used = 0;
    *room = used < MachineLogCap ? static_cast<size_t>(MachineLogCap - used) : 0;
    std::memcpy(path, log.c_str(), log.size() + 1);
    return true;
}

DWORD DefaultBackupDir(char *dir, size_t size) {
    const std::string &machine = MachineDir();
    if (machine.empty()) {
        std::snprintf(dir, size, "%s", "backup");
        PlatformNote(MachineProblem());
        return static_cast<DWORD>(MachineError());
    }
    std::string problem;
    std::string made = MachinePrivateDir("backup", &problem);
    std::snprintf(dir, size, "%s", (machine + "/backup").c_str());
    if (!made.empty()) return made.size() < size ? ERROR_SUCCESS : ERROR_FILENAME_EXCED_RANGE;
    PlatformNote("backup: " + problem);
    return ERROR_ACCESS_DENIED;
}

const char PathSeparator = '/';

void SystemErrorText(DWORD code, char *text, size_t size) {
    for (const ErrorText &e : ErrorTexts) {
        if (e.code == code) {
            std::snprintf(text, size, "%s", e.text);
            return;
        }
    }
    std::snprintf(text, size, "Win32 error %u.", code);
}

DWORD CurrentProcessId() { return static_cast<DWORD>(getpid()); }

void ComputerNameText(char *text, size_t size) {
    if (size == 0) return;
    if (gethostname(text, size) != 0) text[0] = '\0';
    text[size - 1] = '\0';
}

// The account's name, else its number: a uid without a name is still an answer.
void UserNameText(char *text, size_t size) {
    if (size == 0) return;
    passwd entry{}, *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        std::snprintf(text, size, "%s", found->pw_name);
    else
        std::snprintf(text, size, "%lu", static_cast<unsigned long>(geteuid()));
}

bool TakePlatformNote(char *text, size_t size) {
    static std::vector<std::string> pending;
    if (pending.empty()) {
        pending = TakePlatformNotes();
        std::reverse(pending.begin(), pending.end());
    }
    if (pending.empty() || size == 0) return false;
    std::snprintf(text, size, "%s", pending.back().c_str());
    pending.pop_back();
    return true;
}

namespace {
std::atomic<void (*)()> whileAnswerAwaited{nullptr};
}  // namespace

bool CallWhileAnswerAwaited(void (*work)()) {
    whileAnswerAwaited = work;
    return true;
}

void RunWhileAnswerAwaited() {
    if (void (*work)() = whileAnswerAwaited.load(); work != nullptr) work();
}
