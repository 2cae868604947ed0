// REGISTRY and REGISTRY_KEY_INFO over the Win32 registry calls.
#include "platform/classlib/classlib.h"

#include "platform/wstr.h"

#include <cstring>
#include <iterator>

namespace {

// Indexed by PREDEFINED_KEY.
const HKEY PredefinedKeys[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};

void SetErrorCode(ULONG *errorCode, LONG status) {
    if (errorCode != nullptr) *errorCode = static_cast<ULONG>(status);
}

// The handle of root, or null when the number names no root.
HKEY RootKey(PREDEFINED_KEY root) {
    unsigned index = static_cast<unsigned>(root);
    return index < std::size(PredefinedKeys) ? PredefinedKeys[index] : nullptr;
}

// Opens the key described by key below root with the given rights, or reports why not.
LONG OpenDescribedKey(PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key, REGSAM access, HKEY *result) {
    HKEY rootKey = RootKey(root);
    if (rootKey == nullptr || key == nullptr || !key->IsInitialized()) return ERROR_INVALID_PARAMETER;
    return RegOpenKeyExW(rootKey, key->GetPath(), 0, access, result);
}

// A counted name that holds a NUL would reach the registry cut short at it, and
// act on another entry: such a name is refused whole.
bool IsWholeName(const WSTRING *name) { return WStrLen(name->GetWSTR()) == name->QueryChCount(); }

// A missing key or value is what the deletion wanted; anything else is a failure.
BOOLEAN ReportDeletion(LONG status, ULONG *errorCode) {
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    SetErrorCode(errorCode, status);
    return status == ERROR_SUCCESS;
}

}  // namespace

REGISTRY_KEY_INFO::REGISTRY_KEY_INFO() : titleIndex_(0), initialized_(FALSE) {}

REGISTRY_KEY_INFO::~REGISTRY_KEY_INFO() {}

BOOLEAN REGISTRY_KEY_INFO::Initialize(const WSTRING *keyName, const WSTRING *parentName, ULONG titleIndex,
                                      const WSTRING *className, PSECURITY_ATTRIBUTES) {
    initialized_ = FALSE;
    // An empty name would make the description stand for its parent, and a deletion
    // through it would strike the parent's subkeys and values.
    if (keyName == nullptr || keyName->QueryChCount() == 0 || !IsWholeName(keyName)) return FALSE;
    if (parentName != nullptr && !IsWholeName(parentName)) return FALSE;
    ULONG parentCount = parentName != nullptr ? parentName->QueryChCount() : 0;
    ULONG nameCount = keyName->QueryChCount();
    const WCHAR *parent = parentName != nullptr ? parentName->GetWSTR() : nullptr;
    bool separator = parentCount > 0 && parent[parentCount - 1] != WIDE('\\');
    size_t total = size_t{parentCount} + (separator ? 1 : 0) + nameCount;
    if (total >= 0x7FFFFFFFu) return FALSE;

    WCHAR *joined = static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), 0, (total + 1) * sizeof(WCHAR)));
    if (joined == nullptr) return FALSE;
    if (parentCount > 0) std::memcpy(joined, parent, parentCount * sizeof(WCHAR));
    WCHAR *out = joined + parentCount;
    if (separator) *out++ = WIDE('\\');
    std::memcpy(out, keyName->GetWSTR(), nameCount * sizeof(WCHAR));
    BOOLEAN pathSet = path_.Initialize(joined, static_cast<LONG>(total));
    HeapFree(GetProcessHeap(), 0, joined);
    if (!pathSet) return FALSE;
    if (!class_.Initialize(className != nullptr ? className->GetWSTR() : nullptr, TO_END)) return FALSE;
    titleIndex_ = titleIndex;
    initialized_ = TRUE;
    return TRUE;
}

REGISTRY::REGISTRY() : initialized_(FALSE) {}

REGISTRY::~REGISTRY() {}

BOOLEAN REGISTRY::Initialize(const WSTRING *machineName, ULONG *errorCode) {
    if (machineName != nullptr && machineName->QueryChCount() > 0) {
        initialized_ = FALSE;
        SetErrorCode(errorCode, ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    initialized_ = TRUE;
    SetErrorCode(errorCode, ERROR_SUCCESS);
    return TRUE;
}

BOOLEAN REGISTRY::DeleteKey(PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key, const WSTRING *subkeyName,
                            ULONG *errorCode) {
    // An empty subkey name would make RegDeleteTreeW take the key itself.
    if (!initialized_ || subkeyName == nullptr || subkeyName->QueryChCount() == 0 || !IsWholeName(subkeyName)) {
        SetErrorCode(errorCode, ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // RegDeleteTreeW needs delete, enumerate and query rights on the handle.
    HKEY parent = nullptr;
    LONG status = OpenDescribedKey(root, key, KEY_ALL_ACCESS, &parent);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteTreeW(parent, subkeyName->GetWSTR());
        RegCloseKey(parent);
    }
    return ReportDeletion(status, errorCode);
}

BOOLEAN REGISTRY::DeleteValueEntry(PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key, const WSTRING *valueName,
                                   ULONG *errorCode) {
    if (!initialized_ || valueName == nullptr || !IsWholeName(valueName)) {
        SetErrorCode(errorCode, ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HKEY owner = nullptr;
    LONG status = OpenDescribedKey(root, key, KEY_SET_VALUE, &owner);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(owner, valueName->GetWSTR());
        RegCloseKey(owner);
    }
    return ReportDeletion(status, errorCode);
}
