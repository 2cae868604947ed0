#include "fake_registry.h"

#include <cstring>
#include <map>

namespace fakereg {
namespace {

const REGSAM DeleteRight = 0x00010000L;  // DELETE, a standard right

struct Value {
    DWORD type;
    std::vector<BYTE> data;
};
// Keys by lowered full path ("<root number>\software\pellor"); values by lowered name.
std::map<std::u16string, std::map<std::u16string, Value>> keys;
std::map<std::u16string, LONG> failures;
struct Handle {
    std::u16string path;
    REGSAM access;
};
std::map<HKEY, Handle> handles;
uintptr_t nextHandle = 0x1000;

std::u16string Lower(std::u16string s) {
    for (char16_t &c : s) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return s;
}

std::u16string RootPath(HKEY root) {
    return std::u16string(1, static_cast<char16_t>(u'0' + (reinterpret_cast<uintptr_t>(root) & 0xF)));
}

std::u16string Join(const std::u16string &base, const WCHAR *sub) {
    if (sub == nullptr || sub[0] == 0) return base;
    return base + u"\\" + Lower(sub);
}

// The full path a handle or predefined key stands for, or empty for a bad handle.
std::u16string PathOf(HKEY key) {
    if (handles.count(key)) return handles[key].path;
    if ((reinterpret_cast<uintptr_t>(key) & ~uintptr_t{0xF}) == reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT)) {
        return RootPath(key);
    }
    return u"";
}

bool Allowed(HKEY key, REGSAM needed) {
    return !handles.count(key) || (handles[key].access & needed) == needed;
}

LONG ScriptedFailure(const std::u16string &path) { return failures.count(path) ? failures[path] : ERROR_SUCCESS; }

}  // namespace

void Reset() {
    keys.clear();
    failures.clear();
    handles.clear();
}

void AddKey(HKEY root, const std::u16string &path) {
    std::u16string full = RootPath(root);
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        full += u"\\" + Lower(path.substr(start, end - start));
        keys[full];
        start = end + 1;
    }
}

void SetValue(HKEY root, const std::u16string &path, const std::u16string &name, DWORD type,
              const std::vector<BYTE> &data) {
    AddKey(root, path);
    keys[Join(RootPath(root), path.c_str())][Lower(name)] = {type, data};
}

void SetDword(HKEY root, const std::u16string &path, const std::u16string &name, DWORD value) {
    std::vector<BYTE> data(4);
    std::memcpy(data.data(), &value, 4);
    SetValue(root, path, name, REG_DWORD, data);
}

bool HasKey(HKEY root, const std::u16string &path) { return keys.count(Join(RootPath(root), path.c_str())) > 0; }

bool HasValue(HKEY root, const std::u16string &path, const std::u16string &name) {
    auto key = keys.find(Join(RootPath(root), path.c_str()));
    return key != keys.end() && key->second.count(Lower(name)) > 0;
}

void FailAt(HKEY root, const std::u16string &path, LONG status) {
    failures[Join(RootPath(root), path.c_str())] = status;
}

int OpenHandles() { return static_cast<int>(handles.size()); }

}  // namespace fakereg

using namespace fakereg;

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
    std::u16string base = PathOf(key);
    if (base.empty()) return ERROR_INVALID_HANDLE;
    std::u16string path = Join(base, subKey);
    if (LONG status = ScriptedFailure(path); status != ERROR_SUCCESS) return status;
    if (!keys.count(path)) return ERROR_FILE_NOT_FOUND;
    HKEY handle = reinterpret_cast<HKEY>(nextHandle++);
    handles[handle] = {path, access};
    *result = handle;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) { return handles.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; }

LSTATUS WINAPI RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
    std::u16string base = PathOf(key);
    if (base.empty()) return ERROR_INVALID_HANDLE;
    if (!Allowed(key, DeleteRight | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::u16string path = Join(base, subKey);
    if (!keys.count(path)) return ERROR_FILE_NOT_FOUND;
    if (LONG status = ScriptedFailure(path); status != ERROR_SUCCESS) return status;
    keys[path].clear();
    for (auto it = keys.begin(); it != keys.end();) {
        bool below = it->first.size() > path.size() && it->first.compare(0, path.size(), path) == 0 &&
                     it->first[path.size()] == u'\\';
        it = below ? keys.erase(it) : std::next(it);
    }
    if (subKey != nullptr && subKey[0] != 0) keys.erase(path);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR name) {
    std::u16string path = PathOf(key);
    if (path.empty()) return ERROR_INVALID_HANDLE;
    if (!Allowed(key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::u16string value = Lower(name != nullptr ? name : u"");
    if (LONG status = ScriptedFailure(path + u"|" + value); status != ERROR_SUCCESS) return status;
    return keys[path].erase(value) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    std::u16string path = PathOf(key);
    if (path.empty()) return ERROR_INVALID_HANDLE;
    if (!Allowed(key, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    auto value = keys[path].find(Lower(name != nullptr ? name : u""));
    if (value == keys[path].end()) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = value->second.type;
    DWORD needed = static_cast<DWORD>(value->second.data.size());
    if (data != nullptr && size != nullptr && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && needed > 0) std::memcpy(data, value->second.data.data(), needed);
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
}

}  // extern "C"
