// "/upgrade_keys": removes the registry entries that releases up to version 2 of
// the product left on its application servers.
#include "regclean/regclean.h"

#include "platform/classlib/classlib.h"
#include "platform/productreg/productreg.h"
#include "runlog/runlog.h"

#include <cstdlib>
#include <iterator>
#include <new>
#include <string>

namespace {

const WCHAR ControlPath[] = WIDE("SYSTEM\\CurrentControlSet\\Control");
const WCHAR SoftwarePath[] = WIDE("SOFTWARE");
const WCHAR ProductKeyName[] = WIDE("Pellor");
const WCHAR KeyClassName[] = WIDE("CLASS");

// The last product version whose machines carry these entries.
const ULONG LastObsoleteVersion = 2;

// Subkeys of SYSTEM\CurrentControlSet\Control\Pellor.
const WCHAR *const ObsoleteKeyNames[] = {
    WIDE("DefaultUserConfiguration"),
    WIDE("DefaultWinStationSecurity"),
    WIDE("Dos"),
    WIDE("Pds"),
    WIDE("UserConfig"),
    WIDE("Wds"),
    WIDE("WinStations"),
};

// Subkeys of SOFTWARE\Pellor.
const WCHAR *const ObsoleteSoftwareKeyNames[] = {
    WIDE("Compatibility"),
};

// Values of SYSTEM\CurrentControlSet\Control\Pellor itself.
const WCHAR *const ObsoleteValueNames[] = {
    WIDE("FirstCountMsgQPeeksSleepBadApp"),
    WIDE("MsgQBadAppSleepTimeInMillisec"),
    WIDE("NthCountMsgQPeeksSleepBadApp"),
    WIDE("OemId"),
    WIDE("OemName"),
    WIDE("ProductName"),
    WIDE("ProductVersion"),
    WIDE("Version"),
};

struct ObsoleteList {
    int (*remove)(const WCHAR *parentPath, const WCHAR *productKeyName, const WCHAR *name);
    const WCHAR *parentPath;
    const WCHAR *const *names;
    size_t count;
};

// The deletions, in the order they are made.
const ObsoleteList ObsoleteLists[] = {
    {DeleteRegistryKey, ControlPath, ObsoleteKeyNames, std::size(ObsoleteKeyNames)},
    {DeleteRegistryKey, SoftwarePath, ObsoleteSoftwareKeyNames, std::size(ObsoleteSoftwareKeyNames)},
    {DeleteRegistryValue, ControlPath, ObsoleteValueNames, std::size(ObsoleteValueNames)},
};

// The library objects of the deletions are never released; they stay reachable from
// here so that a leak checker sees them as kept on purpose.
void **keptObjects = nullptr;
size_t keptCount = 0;
size_t keptCapacity = 0;

void KeepUntilExit(void *object) {
    if (keptCount == keptCapacity) {
        size_t capacity = keptCapacity != 0 ? keptCapacity * 2 : 16 * 5;
        void **grown = static_cast<void **>(std::realloc(keptObjects, capacity * sizeof(void *)));
        if (grown == nullptr) return;  // only the leak checker would notice
        keptObjects = grown;
        keptCapacity = capacity;
    }
    keptObjects[keptCount++] = object;
}

// A default-constructed T on the process heap, never released; null when out of memory.
template <class T>
T *NewOnProcessHeap() {
    void *memory = HeapAlloc(GetProcessHeap(), 0, sizeof(T));
    if (memory == nullptr) return nullptr;
    KeepUntilExit(memory);
    return new (memory) T;
}

// Whether the entry is there before its deletion: 1, 0, or -1 when that cannot be told.
// The library takes an absent entry as removed, and only the run log tells the two apart.
int ProbeEntry(const RunLogEntry &e) {
    std::u16string path = reinterpret_cast<const char16_t *>(e.parentPath);
    path += u'\\';
    path += reinterpret_cast<const char16_t *>(e.keyName);
    if (e.isKey) {
        path += u'\\';
        path += reinterpret_cast<const char16_t *>(e.name);
    }
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return -1;
    if (!e.isKey) status = RegQueryValueExW(key, e.name, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 1 : status == ERROR_FILE_NOT_FOUND ? 0 : -1;
}

typedef BOOLEAN (REGISTRY::*RemoveEntry)(PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key,
                                         const WSTRING *name, ULONG *errorCode);

// Removes the entry entryName of the key parentPath\productKeyName below the local
// machine root through remove: 0 when the library reports it gone, else 2.
int DeleteRegistryEntry(RemoveEntry remove, const WCHAR *parentPath, const WCHAR *productKeyName,
                        const WCHAR *entryName) {
    const RunLogEntry entry{parentPath, productKeyName, entryName, remove == &REGISTRY::DeleteKey};
    const int present = RunLogRecording() ? ProbeEntry(entry) : -1;
    auto notRemoved = [&](ULONG error) {
        RunLogEntryFailed(entry, error);
        return 2;
    };
    REGISTRY registry;
    ULONG errorCode = 0;  // the library's detail; the result says all the caller acts on
    if (!registry.Initialize(nullptr, &errorCode)) return notRemoved(errorCode);

    const WCHAR *texts[] = {parentPath, productKeyName, entryName, KeyClassName};
    DSTRING *strings[std::size(texts)];
    bool allocated = true;
    for (DSTRING *&string : strings) {
        string = NewOnProcessHeap<DSTRING>();
        if (string == nullptr) allocated = false;
    }
    if (!allocated) return notRemoved(ERROR_NOT_ENOUGH_MEMORY);
    // A string left empty would name another entry (an empty value name is the
    // key's default value), so nothing is deleted unless every text was taken.
    bool initialized = true;
    for (size_t i = 0; i < std::size(texts); i++) {
        if (!strings[i]->Initialize(texts[i], TO_END)) initialized = false;
    }
    if (!initialized) return notRemoved(ERROR_NOT_ENOUGH_MEMORY);

    REGISTRY_KEY_INFO *productKey = NewOnProcessHeap<REGISTRY_KEY_INFO>();
    if (productKey == nullptr) return notRemoved(ERROR_NOT_ENOUGH_MEMORY);
    if (!productKey->Initialize(strings[1], strings[0], 0, strings[3], nullptr))
        return notRemoved(ERROR_NOT_ENOUGH_MEMORY);
    if (!(registry.*remove)(PREDEFINED_KEY_LOCAL_MACHINE, productKey, strings[2], &errorCode))
        return notRemoved(errorCode);
    if (present == 0)
        RunLogEntryAbsent(entry);
    else
        RunLogEntryRemoved(entry);
    return 0;
}

}  // namespace

int DeleteRegistryKey(const WCHAR *parentPath, const WCHAR *productKeyName, const WCHAR *subkeyName) {
    return DeleteRegistryEntry(&REGISTRY::DeleteKey, parentPath, productKeyName, subkeyName);
}

int DeleteRegistryValue(const WCHAR *parentPath, const WCHAR *productKeyName, const WCHAR *valueName) {
    return DeleteRegistryEntry(&REGISTRY::DeleteValueEntry, parentPath, productKeyName, valueName);
}

int RemoveObsoleteRegistryEntries(void) {
    if (!RegSetupIsPellorAppServer(nullptr)) {
        RunLogNotAppServer();
        return 0;
    }
    ULONG version = 0;
    if (!RegGetPellorVersion(nullptr, &version)) {
        RunLogVersionUnread(GetLastError());
        MessageBoxA(nullptr, "Could not get System Version Number", "Setup Error", MB_OK);
        return 2;
    }
    RunLogVersionRead(version, version <= LastObsoleteVersion);
    if (version > LastObsoleteVersion) return 0;

    // Every deletion is tried; one failure makes the whole run a failure.
    int result = 0;
    for (const ObsoleteList &list : ObsoleteLists) {
        for (size_t i = 0; i < list.count; i++) {
            int status = list.remove(list.parentPath, ProductKeyName, list.names[i]);
            if (status != 0) result = status;
        }
    }
    RunLogCleanupDone();
    return result;
}
