// .reg import and the reg text helpers on a scratch machine. The first byte
// picks the mode:
//  - even: the rest is a .reg file, imported as it is; the text helpers get the
//    same text (UTF-8 and byte round trips, key paths, data formatting);
//  - odd: the rest is a list of value names and string data as UTF-16LE units
//    (U+FFFF ends an entry, U+FFFE ends the name). The target writes them as a
//    .reg file of one key, imports it, and checks every name: a value line the
//    import accepted reads back equal, one it refused is absent, and nothing
//    else appears (a name cut short would).
#include "regfile.h"
#include "regtext.h"
#include "support.h"

#include <cstring>

namespace {

const char16_t kKey[] = u"Software\\FuzzRoundTrip";

struct Entry {
    std::u16string name, data;
};

std::u16string Escape(const std::u16string &s) {
    std::u16string out;
    for (char16_t c : s) {
        if (c == u'\\' || c == u'"') out += u'\\';
        if (c == u'\n' || c == u'\r') {
            out += c == u'\n' ? u"\\n" : u"\\r";
            continue;
        }
        out += c;
    }
    return out;
}

// Removes what earlier inputs imported, so that each input runs alone.
void ClearRoots() {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (;;) {
            WCHAR name[512];
            DWORD length = 512;
            if (RegEnumKeyExW(root, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            FUZZ_CHECK(RegDeleteTreeW(root, name) == ERROR_SUCCESS);
        }
    }
}

void RawImport(const std::string &bytes) {
    std::u16string text = DecodeRegFile(bytes);
    std::vector<ImportProblem> problems;
    ImportResult result = ImportRegText(text, &problems);
    FUZZ_CHECK((result == IMPORT_PROBLEMS) == !problems.empty());
    ClearRoots();

    FUZZ_CHECK(FromUtf8(ToUtf8(text)) == text);
    FUZZ_CHECK(BytesToUnits(UnitsToBytes(text)) == text);
    KeyPath path;
    if (ParseKeyPath(text, &path)) FUZZ_CHECK(path.root != nullptr && RootLongName(path.root) != nullptr);
    DWORD type = bytes.empty() ? REG_SZ : static_cast<unsigned char>(bytes[0]) % 12;
    (void)FormatData(type, bytes);
    std::string data, error;
    if (!ParseAddData(type, true, text, u'\\', bytes.size() % 2 == 0, &data, &error)) FUZZ_CHECK(!error.empty());
}

std::vector<Entry> Entries(const uint8_t *data, size_t size) {
    std::vector<Entry> entries(1);
    bool inName = true;
    for (size_t i = 0; i + 1 < size; i += 2) {
        char16_t u = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (u == 0xFFFF) {
            entries.emplace_back();
            inName = true;
        } else if (u == 0xFFFE && inName) {
            inName = false;
        } else {
            (inName ? entries.back().name : entries.back().data) += u;
        }
    }
    // Names are one value whatever their case: only the first spelling is written.
    // FUZZ_REG_SKIP_NUL_NAMES=1 leaves out names holding NUL, for runs on a build
    // whose importer is known to cut them.
    static const bool skipNul = getenv("FUZZ_REG_SKIP_NUL_NAMES") != nullptr;
    std::vector<Entry> unique;
    for (const Entry &e : entries) {
        if (skipNul && e.name.find(u'\0') != std::u16string::npos) continue;
        bool seen = false;
        for (const Entry &u : unique) seen = seen || SameName(u.name, e.name);
        if (!seen) unique.push_back(e);
    }
    return unique;
}

void RoundTrip(const uint8_t *data, size_t size) {
    std::vector<Entry> entries = Entries(data, size);
    std::u16string text = u"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\";
    text += kKey;
    text += u"]\r\n";
    for (const Entry &e : entries) text += u"\"" + Escape(e.name) + u"\"=\"" + Escape(e.data) + u"\"\r\n";
    std::vector<ImportProblem> problems;
    ImportRegText(text, &problems);

    HKEY key = nullptr;
    FUZZ_CHECK(RegOpenKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const WCHAR *>(kKey), 0, KEY_ALL_ACCESS, &key) ==
               ERROR_SUCCESS);
    std::vector<Value> values;
    FUZZ_CHECK(ListValues(key, &values) == ERROR_SUCCESS);
    RegCloseKey(key);

    size_t found = 0;
    for (size_t k = 0; k < entries.size(); k++) {
        bool refused = false;
        for (const ImportProblem &p : problems) refused = refused || p.line == k + 3;
        const Value *v = nullptr;
        for (const Value &x : values)
            if (x.name == entries[k].name) v = &x;
        if (refused) {
            FUZZ_CHECK(v == nullptr);
            continue;
        }
        if (v == nullptr) std::fprintf(stderr, "value %zu was accepted but does not read back\n", k);
        FUZZ_CHECK(v != nullptr);
        FUZZ_CHECK(v->type == REG_SZ && v->data == UnitsToBytes(entries[k].data) + std::string(2, '\0'));
        found++;
    }
    if (values.size() != found) std::fprintf(stderr, "%zu values stored under names never imported\n", values.size() - found);
    FUZZ_CHECK(values.size() == found);
    ClearRoots();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string machine = ScratchDir() + "/machine";
    setenv("PELLOR_MACHINE", machine.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 64 * 1024) return 0;
    if (data[0] & 1)
        RoundTrip(data + 1, size - 1);
    else
        RawImport(std::string(reinterpret_cast<const char *>(data + 1), size - 1));
    return 0;
}
