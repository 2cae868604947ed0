// ADVAPI32 registry calls over the SQLite hives, with Windows' argument checks,
// results and buffer rules. Each call is one transaction; a handle names its
// key by id, so a key deleted under a handle gives ERROR_KEY_DELETED.
#include "platform/posix/registry/hive.h"
#include "platform/posix/registry/keystore.h"
#include "platform/posix/registry/names.h"
#include "platform/posix/registry/registry_hooks.h"
#include "platform/wstr.h"

#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

namespace {

constexpr LSTATUS kErrorNoAccess = 998;  // ERROR_NOACCESS: a null buffer with a non-zero size

constexpr REGSAM kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000,
                 kGenericAll = 0x10000000, kMaximumAllowed = 0x02000000;
constexpr REGSAM kKeyRights =
    KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK;

struct KeyHandle {
    HiveId hive;
    int64_t id;
    REGSAM rights;
};

// Process-wide registry state: the open handles, guarded with the hives' connections.
struct RegistryState {
    std::mutex lock;
    std::map<uintptr_t, KeyHandle> handles;
    uintptr_t nextHandle = 0x1000;  // multiples of 4, as Windows hands them out
} reg;

// The specific key rights an access mask grants (generic rights mapped as Windows maps them).
REGSAM GrantedRights(REGSAM access) {
    REGSAM rights = access & kKeyRights;
    if (access & kGenericRead) rights |= KEY_READ & kKeyRights;
    if (access & kGenericWrite) rights |= KEY_WRITE & kKeyRights;
    if (access & kGenericExecute) rights |= KEY_EXECUTE & kKeyRights;
    if (access & (kGenericAll | kMaximumAllowed)) rights |= kKeyRights;
    return rights;
}

LSTATUS Resolve(HKEY key, KeyHandle *out) {
    if (key == HKEY_LOCAL_MACHINE) {
        *out = {HIVE_MACHINE, kRootKeyId, kKeyRights};
        return ERROR_SUCCESS;
    }
    if (key == HKEY_CURRENT_USER) {
        *out = {HIVE_USER, kRootKeyId, kKeyRights};
        return ERROR_SUCCESS;
    }
    auto it = reg.handles.find(reinterpret_cast<uintptr_t>(key));
    if (it == reg.handles.end()) return ERROR_INVALID_HANDLE;  // other predefined keys are not emulated
    *out = it->second;
    return ERROR_SUCCESS;
}

HKEY NewHandle(const KeyHandle &key) {
    uintptr_t value = reg.nextHandle;
    reg.nextHandle += 4;
    reg.handles[value] = key;
    return reinterpret_cast<HKEY>(value);
}

// One registry call: the lock, the handle's key (checked to still exist), its
// hive's connection and a transaction. status is the first failure, if any.
struct Call {
    std::lock_guard<std::mutex> guard{reg.lock};
    KeyHandle key{};
    sqlite3 *db = nullptr;
    std::optional<Transaction> txn;
    LSTATUS status = ERROR_SUCCESS;

    Call(HKEY hkey, bool write) {
        status = Resolve(hkey, &key);
        if (status == ERROR_SUCCESS) db = HiveConnection(key.hive, &status);
        if (status != ERROR_SUCCESS) return;
        txn.emplace(db, write);
        status = txn->status();
        if (status == ERROR_SUCCESS) status = KeyAlive(db, key.id);
    }
    bool Allows(REGSAM rights) const { return (key.rights & rights) == rights; }
    // Commits after a successful body; a failure rolls everything back.
    LSTATUS Finish(LSTATUS result) { return result == ERROR_SUCCESS ? txn->Commit() : result; }
};

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// ANSI (the process's narrow code page, as MbToWide converts it) to UTF-16,
// n bytes with any embedded NULs kept.
std::u16string AnsiToWide(const char *s, size_t n) {
    std::u16string out;
    for (size_t i = 0; i < n;) {
        size_t end = i;
        while (end < n && s[end] != '\0') end++;
        if (end > i) {
            std::string segment(s + i, end - i);
            std::u16string buffer(segment.size() + 1, u'\0');
            out.append(buffer.data(), MbToWide(buffer.data(), segment.c_str(), buffer.size()));
        }
        if (end < n) out.push_back(u'\0');
        i = end + 1;
    }
    return out;
}

std::string WideToAnsi(const char16_t *s, size_t units) {
    std::string out;
    for (size_t i = 0; i < units;) {
        size_t end = i;
        while (end < units && s[end] != 0) end++;
        if (end > i) {
            std::u16string segment(s + i, end - i);
            std::string buffer(segment.size() * MB_LEN_MAX + 1, '\0');
            out.append(buffer.data(), WideToMb(buffer.data(), segment.c_str(), buffer.size()));
        }
        if (end < units) out.push_back('\0');
        i = end + 1;
    }
    return out;
}

std::u16string AnsiName(LPCSTR s) { return s == nullptr ? std::u16string() : AnsiToWide(s, std::strlen(s)); }

// Copies value data into the caller's buffer by RegQueryValueExW's rules: the
// size needed on ERROR_MORE_DATA, and (as NT does) a terminator added after
// string data that lacks one when there is room for it.
LSTATUS CopyData(const StoredValue &v, LPBYTE data, LPDWORD size) {
    DWORD needed = static_cast<DWORD>(v.data.size());
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, v.data.data(), needed);
        if (IsStringType(v.type) && needed >= 2 && needed + 2 <= *size &&
            (v.data[needed - 1] != 0 || v.data[needed - 2] != 0)) {
            data[needed] = 0;
            data[needed + 1] = 0;
        }
    }
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS CreateKey(HKEY key, const std::u16string &subKey, REGSAM access, PHKEY result, LPDWORD disposition) {
    if (result == nullptr) return ERROR_BADKEY;
    *result = nullptr;
    std::vector<std::u16string> parts;
    LSTATUS status = SplitKeyPath(subKey, &parts);
    if (status != ERROR_SUCCESS) return status;
    Call call(key, true);
    if (call.status != ERROR_SUCCESS) return call.status;
    int64_t current = call.key.id;
    int64_t depth = -1;  // of the handle's key, found when a key is to be made
    bool created = false;
    for (size_t i = 0; i < parts.size(); i++) {
        status = FindSubkey(call.db, current, parts[i], &current);
        if (status == ERROR_FILE_NOT_FOUND) {
            if (!created && !call.Allows(KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
            // Windows keeps a tree within 512 levels and refuses a key below them
            // as an invalid parameter; keys an older version made deeper stay usable.
            if (depth < 0) {
                status = KeyDepth(call.db, call.key.id, kMaxKeyDepth, &depth);
                if (status != ERROR_SUCCESS) return status;
            }
            if (depth + static_cast<int64_t>(i) + 1 > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
            status = AddSubkey(call.db, current, parts[i], &current);
            created = true;
        } else {
            created = false;
        }
        if (status != ERROR_SUCCESS) return status;
    }
    status = call.Finish(ERROR_SUCCESS);
    if (status != ERROR_SUCCESS) return status;
    *result = NewHandle({call.key.hive, current, GrantedRights(access)});
    if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS OpenKey(HKEY key, const std::u16string &subKey, REGSAM access, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::u16string> parts;
    LSTATUS status = SplitKeyPath(subKey, &parts);
    if (status != ERROR_SUCCESS) return status;
    Call call(key, false);
    if (call.status != ERROR_SUCCESS) return call.status;
    int64_t found = 0;
    status = call.Finish(FindPath(call.db, call.key.id, parts, &found));
    if (status != ERROR_SUCCESS) return status;
    *result = NewHandle({call.key.hive, found, GrantedRights(access)});
    return ERROR_SUCCESS;
}

LSTATUS SetValue(HKEY key, const std::u16string &name, DWORD type, const void *data, size_t size) {
    if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
    Call call(key, true);
    if (call.status != ERROR_SUCCESS) return call.status;
    if (!call.Allows(KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return call.Finish(PutValue(call.db, call.key.id, name, type, data, size));
}

LSTATUS QueryValue(HKEY key, const std::u16string &name, StoredValue *value) {
    Call call(key, false);
    if (call.status != ERROR_SUCCESS) return call.status;
    if (!call.Allows(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return call.Finish(GetValue(call.db, call.key.id, name, value));
}

}  // namespace

void RegistryUseMachineDir(const std::string &dir) {
    std::lock_guard<std::mutex> guard(reg.lock);
    reg.handles.clear();
    HiveReset(dir);
}

void RegistrySetBusyTimeout(unsigned milliseconds) {
    std::lock_guard<std::mutex> guard(reg.lock);
    HiveSetBusyTimeout(milliseconds);
}

extern "C" {

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                               PHKEY result, LPDWORD disposition) {
    return CreateKey(key, AnsiName(subKey), access, result, disposition);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                               PHKEY result, LPDWORD disposition) {
    return CreateKey(key, WideString(subKey), access, result, disposition);
}

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
    return OpenKey(key, AnsiName(subKey), access, result);
}

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
    return OpenKey(key, WideString(subKey), access, result);
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE *data, DWORD size) {
    if (data == nullptr && size != 0) return kErrorNoAccess;
    if (!IsStringType(type)) return SetValue(key, AnsiName(name), type, data, size);
    std::u16string wide = AnsiToWide(reinterpret_cast<const char *>(data), size);
    return SetValue(key, AnsiName(name), type, wide.data(), wide.size() * sizeof(char16_t));
}

LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data, DWORD size) {
    if (data == nullptr && size != 0) return kErrorNoAccess;
    return SetValue(key, WideString(name), type, data, size);
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    if ((data != nullptr && size == nullptr) || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    StoredValue v;
    LSTATUS status = QueryValue(key, AnsiName(name), &v);
    if (status != ERROR_SUCCESS) return status;
    if (type != nullptr) *type = v.type;
    if (!IsStringType(v.type)) return CopyData(v, data, size);
    std::u16string units(v.data.size() / 2, u'\0');
    std::memcpy(units.data(), v.data.data(), units.size() * 2);
    std::string ansi = WideToAnsi(units.data(), units.size());
    DWORD length = static_cast<DWORD>(ansi.size());
    if (data != nullptr && length > 0) {
        if (length > *size) {
            *size = length;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, ansi.data(), length);
        if (length < *size && data[length - 1] != 0) data[length] = 0;
    }
    if (size != nullptr) *size = length;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    if ((data != nullptr && size == nullptr) || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    StoredValue v;
    LSTATUS status = QueryValue(key, WideString(name), &v);
    if (status != ERROR_SUCCESS) return status;
    if (type != nullptr) *type = v.type;
    return CopyData(v, data, size);
}

LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string> parts;
    LSTATUS status = SplitKeyPath(WideString(subKey), &parts);
    if (status != ERROR_SUCCESS) return status;
    Call call(key, true);
    if (call.status != ERROR_SUCCESS) return call.status;
    int64_t target = 0;
    status = FindPath(call.db, call.key.id, parts, &target);
    if (status != ERROR_SUCCESS) return status;
    if (target == kRootKeyId) return ERROR_ACCESS_DENIED;  // a hive's root cannot be deleted
    int64_t subkeys = 0;
    status = CountSubkeys(call.db, target, &subkeys);
    if (status != ERROR_SUCCESS) return status;
    if (subkeys > 0) return ERROR_ACCESS_DENIED;  // NT deletes only leaf keys
    return call.Finish(RemoveKey(call.db, target));
}

LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR name) {
    Call call(key, true);
    if (call.status != ERROR_SUCCESS) return call.status;
    if (!call.Allows(KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return call.Finish(RemoveValue(call.db, call.key.id, WideString(name)));
}

LSTATUS WINAPI RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
    std::vector<std::u16string> parts;
    if (subKey != nullptr) {
        LSTATUS status = SplitKeyPath(WideString(subKey), &parts);
        if (status != ERROR_SUCCESS) return status;
    }
    Call call(key, true);
    if (call.status != ERROR_SUCCESS) return call.status;
    if (subKey == nullptr) {
        // The key itself stays: its subkeys and values go, which takes the rights to list and clear them.
        int64_t values = 0;
        LSTATUS status = CountValues(call.db, call.key.id, &values);
        if (status != ERROR_SUCCESS) return status;
        REGSAM needed = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | (values > 0 ? KEY_SET_VALUE : 0);
        if (!call.Allows(needed)) return ERROR_ACCESS_DENIED;
        return call.Finish(ClearKey(call.db, call.key.id));
    }
    int64_t target = 0;
    LSTATUS status = FindPath(call.db, call.key.id, parts, &target);
    if (status != ERROR_SUCCESS) return status;
    if (target == kRootKeyId) return ERROR_ACCESS_DENIED;
    return call.Finish(RemoveKey(call.db, target));
}

LSTATUS WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPWSTR cls,
                             LPDWORD classLength, PFILETIME lastWrite) {
    if (name == nullptr || nameLength == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    std::u16string found;
    int64_t written = 0;
    {
        Call call(key, false);
        if (call.status != ERROR_SUCCESS) return call.status;
        if (!call.Allows(KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
        LSTATUS status = call.Finish(SubkeyAt(call.db, call.key.id, index, &found, &written));
        if (status != ERROR_SUCCESS) return status;
    }
    if (found.size() >= *nameLength) return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), (found.size() + 1) * sizeof(WCHAR));
    *nameLength = static_cast<DWORD>(found.size());
    if (classLength != nullptr) {  // keys have no class here
        if (cls != nullptr && *classLength > 0) cls[0] = 0;
        *classLength = 0;
    }
    if (lastWrite != nullptr) {
        lastWrite->dwLowDateTime = static_cast<DWORD>(written);
        lastWrite->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(written) >> 32);
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataLength) {
    if (name == nullptr || nameLength == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (data != nullptr && dataLength == nullptr) return ERROR_INVALID_PARAMETER;
    StoredValue v;
    {
        Call call(key, false);
        if (call.status != ERROR_SUCCESS) return call.status;
        if (!call.Allows(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        LSTATUS status = call.Finish(ValueAt(call.db, call.key.id, index, &v));
        if (status != ERROR_SUCCESS) return status;
    }
    if (type != nullptr) *type = v.type;
    if (v.name.size() >= *nameLength) {  // the name is not stored when it does not fit
        if (dataLength != nullptr) *dataLength = static_cast<DWORD>(v.data.size());
        return ERROR_MORE_DATA;
    }
    LSTATUS status = CopyData(v, data, dataLength);
    if (status != ERROR_SUCCESS) return status;
    std::memcpy(name, v.name.c_str(), (v.name.size() + 1) * sizeof(WCHAR));
    *nameLength = static_cast<DWORD>(v.name.size());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> guard(reg.lock);
    return reg.handles.erase(reinterpret_cast<uintptr_t>(key)) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"
