// The scripted product library, a recording MessageBoxA, a recording process heap, the
// registry calls of the run log's probe and of the backup's reading, and a recording backup.
#include "fakes.h"

#include "backup/backup.h"

#include "platform/productreg/productreg.h"
#include "platform/syshooks.h"
#include "runlog/runlog.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>

namespace fake {
Script script;
Log record;

void ResetClassLib();

namespace {
int heapToken;
DWORD lastError;
std::vector<void *> blocks;
}  // namespace

void Reset() {
    for (void *block : blocks) std::free(block);
    blocks.clear();
    script = Script();
    record = Log();
    ResetClassLib();
    RunLogBegin(nullptr);
}
}  // namespace fake

using fake::record;
using fake::script;

BOOLEAN RegSetupIsPellorAppServer(HKEY machineRoot) {
    record.appServerCalls++;
    if (machineRoot != nullptr) record.appServerArgNull = false;
    return script.appServer;
}

BOOLEAN RegGetPellorVersion(HKEY machineRoot, ULONG *version) {
    record.versionCalls++;
    if (machineRoot != nullptr || version == nullptr) record.versionArgsSound = false;
    fake::lastError = script.versionError;
    if (!script.versionRead) return FALSE;
    *version = script.version;
    return TRUE;
}

void SystemErrorText(DWORD code, char *text, size_t size) { std::snprintf(text, size, "text of %lu", (unsigned long)code); }

extern "C" {

DWORD WINAPI GetLastError(void) { return fake::lastError; }

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    record.messageBoxes.push_back({owner != nullptr, text != nullptr ? text : "<null>",
                                caption != nullptr ? caption : "<null>", type});
    return IDOK;
}

HANDLE WINAPI GetProcessHeap(void) { return &fake::heapToken; }

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    int call = static_cast<int>(record.heapCalls.size());
    record.heapCalls.push_back({heap == &fake::heapToken, flags, bytes});
    if (script.heapFails.count(call)) return nullptr;
    void *block = std::calloc(1, bytes);
    fake::blocks.push_back(block);
    return block;
}

BOOL WINAPI HeapFree(HANDLE, DWORD, LPVOID) {
    record.heapFrees++;  // the blocks themselves go at Reset
    return TRUE;
}

// An entry is found unless it is scripted absent: a key by the last component of its path,
// a value by its name.
LSTATUS WINAPI RegOpenKeyExW(HKEY, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
    record.probes++;
    std::u16string path = subKey;
    std::u16string last = path.substr(path.rfind(u'\\') + 1);
    if (script.openFails.count(last)) return script.openFails[last];
    if (script.absent.count(last)) return ERROR_FILE_NOT_FOUND;
    *result = reinterpret_cast<HKEY>(&fake::heapToken);
    return ERROR_SUCCESS;
}

// Every value found is the DWORD 42; a key holds no subkeys or values of its own.
LSTATUS WINAPI RegQueryValueExW(HKEY, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (script.absent.count(name)) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = REG_DWORD;
    if (size == nullptr) return ERROR_SUCCESS;
    const BYTE answer[4] = {42, 0, 0, 0};
    if (data != nullptr && *size < 4) return ERROR_MORE_DATA;
    if (data != nullptr) std::copy(answer, answer + 4, data);
    *size = 4;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME) {
    return ERROR_NO_MORE_ITEMS;
}

LSTATUS WINAPI RegEnumValueW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_NO_MORE_ITEMS;
}

LSTATUS WINAPI RegCloseKey(HKEY) { return ERROR_SUCCESS; }

}  // extern "C"

bool BackupWanted() { return script.backupWanted; }

bool BackupWrite(const char *kind, const char *extension, const void *bytes, size_t size, std::string *path,
                 std::string *error) {
    *path = std::string("/b/") + kind + "-1" + extension;
    if (script.backupFails) {
        *error = "There is no room.";
        return false;
    }
    std::string text;
    const char *units = static_cast<const char *>(bytes);
    for (size_t i = 0; i + 1 < size; i += 2) text += units[i];
    record.backups.push_back({std::string(kind) + extension, text, record.removals.size()});
    return true;
}
