// The wildcard splitter and matcher. The input is a path or pattern and a name
// (separated by the first NUL), one 16-bit unit per byte, except that 0xFF
// takes the next two bytes as a unit of its own (little-endian).
#include "cmdline/arglist.h"
#include "platform/wstr.h"
#include "support.h"

#include <cstring>
#include <memory>

namespace {

std::u16string Units(const std::string &bytes) {
    std::u16string out;
    for (size_t i = 0; i < bytes.size(); i++) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (b == 0xFF && i + 2 < bytes.size()) {
            char16_t u = static_cast<char16_t>(static_cast<unsigned char>(bytes[i + 1]) |
                                               static_cast<unsigned char>(bytes[i + 2]) << 8);
            if (u != 0) out += u;
            i += 2;
        } else if (b != 0) {
            out += static_cast<char16_t>(b);
        }
    }
    return out;
}

bool IsWild(char16_t c) { return c == '*' || c == '?' || c == '['; }
bool IsSeparator(char16_t c) { return c == '\\' || c == '/'; }

// split_wild_path cuts a path into pieces that put it back together, the pattern
// holding a wildcard and no separator.
void CheckSplit(const std::u16string &path) {
    WCHAR dir[PATH_BUFFER], pattern[PATH_BUFFER], rest[PATH_BUFFER];
    if (!split_wild_path(reinterpret_cast<const WCHAR *>(path.c_str()), dir, pattern, rest)) return;
    std::u16string d(reinterpret_cast<const char16_t *>(dir)), p(reinterpret_cast<const char16_t *>(pattern)),
        r(reinterpret_cast<const char16_t *>(rest));
    FUZZ_CHECK(d + p + r == path);
    bool wild = false;
    for (char16_t c : p) {
        FUZZ_CHECK(!IsSeparator(c));
        wild = wild || IsWild(c);
    }
    FUZZ_CHECK(wild);
    FUZZ_CHECK(r.empty() || IsSeparator(r[0]));
}

// match_wild on exact-size copies; a lone star matches any name, and a pattern
// without wildcards matches a blank-free name exactly when they are equal.
void CheckMatch(const std::u16string &pattern, const std::u16string &name) {
    std::unique_ptr<WCHAR[]> p(new WCHAR[pattern.size() + 1]), n(new WCHAR[name.size() + 1]);
    std::memcpy(p.get(), pattern.c_str(), (pattern.size() + 1) * sizeof(WCHAR));
    std::memcpy(n.get(), name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    int matched = match_wild(p.get(), n.get());
    FUZZ_CHECK(matched == 0 || matched == 1);
    bool plain = true;
    for (char16_t c : pattern) plain = plain && !IsWild(c);
    if (plain && name.find(u' ') == std::u16string::npos) FUZZ_CHECK(matched == (pattern == name));

    std::u16string star = u"*";
    std::memcpy(n.get(), name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    FUZZ_CHECK(match_wild(reinterpret_cast<const WCHAR *>(star.c_str()), n.get()) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    size_t first = nul != nullptr ? static_cast<size_t>(nul - data) : size;
    std::u16string pattern = Units(std::string(reinterpret_cast<const char *>(data), first));
    std::u16string name = nul != nullptr ? Units(std::string(reinterpret_cast<const char *>(nul + 1), size - first - 1))
                                         : std::u16string();
    CheckSplit(pattern);
    CheckMatch(pattern, name);
    return 0;
}
