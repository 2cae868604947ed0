// The Windows side of platform/syshooks.h.
#include "platform/syshooks.h"

#include <cstdio>

int ArgumentRole(const WCHAR *arg) { return arg[0] == '/' || arg[0] == '-' ? ARGUMENT_SWITCH : ARGUMENT_POSITIONAL; }

// The Windows program keeps no log of its own: only PELLOR_LOG asks for one.
bool MachineLogPath(char *, size_t, size_t, size_t *) { return false; }

// Backups on Windows go only where PELLOR_BACKUP says.
DWORD DefaultBackupDir(char *, size_t) { return ERROR_NOT_SUPPORTED; }

const char PathSeparator = '\\';

void SystemErrorText(DWORD code, char *text, size_t size) {
    if (size == 0) return;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             static_cast<DWORD>(size), nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) n--;
    if (n == 0) {
        std::snprintf(text, size, "Win32 error %lu.", static_cast<unsigned long>(code));
        return;
    }
    text[n] = '\0';
}

DWORD CurrentProcessId() { return GetCurrentProcessId(); }

void ComputerNameText(char *text, size_t size) {
    DWORD n = static_cast<DWORD>(size);
    if (size > 0 && !GetComputerNameA(text, &n)) text[0] = '\0';
}

void UserNameText(char *text, size_t size) {
    DWORD n = static_cast<DWORD>(size);
    if (size > 0 && !GetUserNameA(text, &n)) text[0] = '\0';
}

// Windows' own DDE waits for an answer where nothing can be done meanwhile.
bool CallWhileAnswerAwaited(void (*)()) { return false; }

// Windows' own DDE decides nothing that needs telling.
bool TakePlatformNote(char *, size_t) { return false; }
