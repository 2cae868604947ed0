// "/upgrade_keys": removes the registry entries that releases up to version 2 of
// the product left on its application servers.
#include "regclean/regclean.h"

#include "backup/backup.h"
#include "platform/classlib/classlib.h"
#include "platform/productreg/productreg.h"
#include "platform/syshooks.h"
#include "platform/wstr.h"
#include "regexport/regexport.h"
#include "runlog/runlog.h"

#include <cstdlib>
#include <cstring>
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

const char16_t *Units(const WCHAR *text) { return reinterpret_cast<const char16_t *>(text); }

// The key an entry is, or holds it (a value), below HKEY_LOCAL_MACHINE.
std::u16string KeyPathOf(const RunLogEntry &e) {
    std::u16string path = Units(e.parentPath);
    path += u'\\';
    path += Units(e.keyName);
    if (e.isKey) {
        path += u'\\';
        path += Units(e.name);
    }
    return path;
}

// Opens the entry's key for reading: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND or why it cannot be told.
LONG OpenEntryKey(const RunLogEntry &e, HKEY *key) {
    std::u16string path = KeyPathOf(e);
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ, key);
}

// Whether the entry is there before its deletion: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, or
// the error that keeps it from being told. The library takes an absent entry as removed,
// and only the run log (and check mode) tells the two apart.
LONG ProbeEntry(const RunLogEntry &e) {
    HKEY key = nullptr;
    LONG status = OpenEntryKey(e, &key);
    if (status != ERROR_SUCCESS) return status;
    if (!e.isKey) status = RegQueryValueExW(key, e.name, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return status;
}

int PresenceOf(LONG probe) { return probe == ERROR_SUCCESS ? 1 : probe == ERROR_FILE_NOT_FOUND ? 0 : -1; }

typedef BOOLEAN (REGISTRY::*RemoveEntry)(PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key,
                                         const WSTRING *name, ULONG *errorCode);

// Removes the entry entryName of the key parentPath\productKeyName below the local
// machine root through remove: 0 when the library reports it gone, else 2.
int DeleteRegistryEntry(RemoveEntry remove, const WCHAR *parentPath, const WCHAR *productKeyName,
                        const WCHAR *entryName) {
    const RunLogEntry entry{parentPath, productKeyName, entryName, remove == &REGISTRY::DeleteKey};
    const int present = RunLogRecording() ? PresenceOf(ProbeEntry(entry)) : -1;
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

// Every entry of the clean-up, in the order the deletions are made.
template <class Visit>
void ForEachEntry(Visit visit) {
    for (const ObsoleteList &list : ObsoleteLists)
        for (size_t i = 0; i < list.count; i++)
            visit(list, RunLogEntry{list.parentPath, ProductKeyName, list.names[i], list.remove == DeleteRegistryKey});
}

// PELLOR_CHECK=1: everything up to deleting, and no deletion and no backup.
bool CheckMode() {
    const char *check = std::getenv("PELLOR_CHECK");
    return check != nullptr && std::strcmp(check, "1") == 0;
}

// Check mode's answer for each entry; 2 when one could not be told.
int CheckEntries() {
    int result = 0;
    ForEachEntry([&](const ObsoleteList &, const RunLogEntry &entry) {
        LONG status = ProbeEntry(entry);
        if (status == ERROR_SUCCESS) {
            RunLogEntryWouldRemove(entry);
        } else if (status == ERROR_FILE_NOT_FOUND) {
            RunLogEntryAbsent(entry);
        } else {
            RunLogEntryFailed(entry, static_cast<ULONG>(status));
            result = 2;
        }
    });
    RunLogCheckDone();
    return result;
}

// Appends the entry, as it is now, to the backup's text: a key with everything below it,
// a value under its key's line (one line for a key's values, which follow one another).
// ERROR_SUCCESS also when it is absent: only what exists is backed up.
LONG AppendEntry(const RunLogEntry &entry, std::u16string *text, std::u16string *valuesOf) {
    HKEY key = nullptr;
    LONG status = OpenEntryKey(entry, &key);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    std::u16string path = u"HKEY_LOCAL_MACHINE\\" + KeyPathOf(entry);
    if (entry.isKey) {
        status = AppendRegKeyTree(key, path, text);
    } else {
        Value value;
        value.name = Units(entry.name);
        DWORD size = 0;
        status = RegQueryValueExW(key, entry.name, nullptr, &value.type, nullptr, &size);
        value.data.resize(size);
        if (status == ERROR_SUCCESS)
            status = RegQueryValueExW(key, entry.name, nullptr, &value.type,
                                      reinterpret_cast<LPBYTE>(value.data.data()), &size);
        value.data.resize(size);
        if (status == ERROR_SUCCESS && *valuesOf != path) *text += u"\r\n[" + (*valuesOf = path) + u"]\r\n";
        if (status == ERROR_SUCCESS) *text += RegValueLine(value) + u"\r\n";
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return status;
}

// Writes keys-<time>-<pid>.reg of every entry about to be deleted that exists; none when
// none does. False when it was asked for and cannot be written whole: then nothing is deleted.
bool BackUpEntries() {
    std::u16string text, valuesOf;
    LONG status = ERROR_SUCCESS;
    std::u16string failedAt;
    ForEachEntry([&](const ObsoleteList &, const RunLogEntry &entry) {
        if (status != ERROR_SUCCESS) return;
        status = AppendEntry(entry, &text, &valuesOf);
        if (status != ERROR_SUCCESS) failedAt = u"HKLM\\" + KeyPathOf(entry);
    });
    std::string path, why;
    if (status != ERROR_SUCCESS) {
        char reason[256];
        SystemErrorText(static_cast<DWORD>(status), reason, sizeof reason);
        std::string key(failedAt.size() * 3 + 1, '\0');
        key.resize(WideToMb(key.data(), reinterpret_cast<const WCHAR *>(failedAt.c_str()), key.size()));
        RunLogBackupFailed(key.c_str(), reason);
        return false;
    }
    if (text.empty()) return true;
    std::string bytes = RegFileBytes(text);
    if (!BackupWrite("keys", ".reg", bytes.data(), bytes.size(), &path, &why)) {
        RunLogBackupFailed(path.c_str(), why.c_str());
        return false;
    }
    RunLogBackupWritten(path.c_str());
    return true;
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
    if (CheckMode()) return CheckEntries();
    if (BackupWanted() && !BackUpEntries()) return 2;

    // Every deletion is tried; one failure makes the whole run a failure.
    int result = 0;
    ForEachEntry([&](const ObsoleteList &list, const RunLogEntry &entry) {
        int status = list.remove(entry.parentPath, entry.keyName, entry.name);
        if (status != 0) result = status;
    });
    RunLogCleanupDone();
    return result;
}
