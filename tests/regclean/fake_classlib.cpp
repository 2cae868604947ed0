// A recording class library: the objects keep their texts on the side, and every
// call is logged and answered from fake::script.
#include "fakes.h"

#include <map>

namespace fake {
namespace {
std::map<const WSTRING *, std::u16string> texts;
struct KeyInfo {
    std::u16string key, parent, keyClass;
    ULONG titleIndex;
    bool security;
};
std::map<const REGISTRY_KEY_INFO *, KeyInfo> keyInfos;
int removeCalls = 0;

std::u16string TextOf(const WSTRING *s) { return s != nullptr && texts.count(s) ? texts[s] : u"<none>"; }

BOOLEAN Remove(const char *call, PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key, const WSTRING *name,
               ULONG *errorCode) {
    KeyInfo info = keyInfos.count(key) ? keyInfos[key] : KeyInfo{u"<none>", u"<none>", u"<none>", 0, false};
    record.removals.push_back({call, static_cast<int>(root), info.parent, info.key, info.keyClass, info.titleIndex,
                            info.security, TextOf(name), errorCode != nullptr});
    bool fails = script.removeFails.count(removeCalls++) > 0;
    if (fails && errorCode != nullptr) *errorCode = ERROR_ACCESS_DENIED;
    return fails ? FALSE : TRUE;
}
}  // namespace

void ResetClassLib() {
    texts.clear();
    keyInfos.clear();
    removeCalls = 0;
}
}  // namespace fake

using fake::record;
using fake::script;

WSTRING::WSTRING() : text_(nullptr), count_(0) { record.stringsBuilt++; }
WSTRING::~WSTRING() { record.stringsDestroyed++; }

BOOLEAN WSTRING::Initialize(const WCHAR *text, LONG length) {
    int call = static_cast<int>(record.stringInits.size());
    std::u16string copy = text != nullptr ? std::u16string(text) : u"<null>";
    record.stringInits.push_back({copy, length});
    if (script.stringInitFails.count(call)) {
        fake::texts[this] = u"";
        count_ = 0;
        return FALSE;
    }
    fake::texts[this] = copy;
    count_ = static_cast<ULONG>(copy.size());
    return TRUE;
}

const WCHAR *WSTRING::GetWSTR() const { return fake::texts[this].c_str(); }

DSTRING::DSTRING() {}
DSTRING::~DSTRING() {}

REGISTRY_KEY_INFO::REGISTRY_KEY_INFO() : titleIndex_(0), initialized_(FALSE) { record.keyInfosBuilt++; }
REGISTRY_KEY_INFO::~REGISTRY_KEY_INFO() { record.keyInfosDestroyed++; }

BOOLEAN REGISTRY_KEY_INFO::Initialize(const WSTRING *keyName, const WSTRING *parentName, ULONG titleIndex,
                                      const WSTRING *className, PSECURITY_ATTRIBUTES security) {
    int call = record.keyInfoInits++;
    fake::keyInfos[this] = {fake::TextOf(keyName), fake::TextOf(parentName), fake::TextOf(className), titleIndex,
                            security != nullptr};
    initialized_ = script.keyInfoInitFails.count(call) ? FALSE : TRUE;
    return initialized_;
}

REGISTRY::REGISTRY() : initialized_(FALSE) { record.registriesBuilt++; }
REGISTRY::~REGISTRY() { record.registriesDestroyed++; }

BOOLEAN REGISTRY::Initialize(const WSTRING *machineName, ULONG *errorCode) {
    int call = record.registryInits++;
    if (machineName != nullptr || errorCode == nullptr) record.registryInitArgsSound = false;
    initialized_ = script.registryInitFails.count(call) ? FALSE : TRUE;
    return initialized_;
}

BOOLEAN REGISTRY::DeleteKey(PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key, const WSTRING *subkeyName,
                            ULONG *errorCode) {
    return fake::Remove("DeleteKey", root, key, subkeyName, errorCode);
}

BOOLEAN REGISTRY::DeleteValueEntry(PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key, const WSTRING *valueName,
                                   ULONG *errorCode) {
    return fake::Remove("DeleteValueEntry", root, key, valueName, errorCode);
}
