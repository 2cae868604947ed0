// The scripted product library, a recording MessageBoxA, a recording process heap and
// the registry calls of the run log's probe.
#include "fakes.h"

#include "platform/productreg/productreg.h"
#include "platform/syshooks.h"
#include "runlog/runlog.h"

#include <cstdio>
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
    if (script.absent.count(path.substr(path.rfind(u'\\') + 1))) return ERROR_FILE_NOT_FOUND;
    *result = reinterpret_cast<HKEY>(&fake::heapToken);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY, LPCWSTR name, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return script.absent.count(name) ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY) { return ERROR_SUCCESS; }

}  // extern "C"
