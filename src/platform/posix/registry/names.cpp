#include "platform/posix/registry/names.h"

#include "platform/posix/registry/upcase_table.h"
#include "platform/posix/text.h"

#include <algorithm>
#include <iterator>

namespace {

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::string NameToText(const std::u16string &name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); i++) {
        char16_t c = name[i];
        if (IsHigh(c) && i + 1 < name.size() && IsLow(name[i + 1])) {
            AppendUtf8(&out, 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00));
            i++;
        } else {
            AppendUtf8(&out, c);
        }
    }
    return out;
}

std::u16string NameFromText(const std::string &text) {
    std::u16string out;
    out.reserve(text.size());
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        int extra = b >= 0xF5 ? 0 : b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC2 ? 1 : 0;
        uint32_t cp = b;
        bool ok = b < 0x80 || extra > 0;
        if (extra > 0) {
            cp = b & (0x3F >> extra);
            for (int k = 1; ok && k <= extra; k++) {
                if (i + k >= n || (s[i + k] & 0xC0) != 0x80) {
                    ok = false;
                } else {
                    cp = (cp << 6) | (s[i + k] & 0x3F);
                }
            }
            // Overlong forms are not sequences.
            if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))) ok = false;
        }
        if (!ok) {
            out.push_back(b);
            i++;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += 1 + extra;
    }
    return out;
}

WCHAR FoldUnit(WCHAR c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - ('a' - 'A')) : c;
    auto run = std::upper_bound(std::begin(kUpcaseRuns), std::end(kUpcaseRuns), c,
                                [](WCHAR v, const UpcaseRun &r) { return v < r.first; });
    if (run == std::begin(kUpcaseRuns)) return c;
    --run;
    if (c > run->last || (c - run->first) % run->step != 0) return c;
    return static_cast<WCHAR>(c + run->delta);
}

std::string FoldedText(const std::u16string &name) {
    std::u16string folded(name);
    for (char16_t &c : folded) c = FoldUnit(c);
    return NameToText(folded);
}

std::u16string WideString(LPCWSTR s) {
    if (s == nullptr) return std::u16string();
    return std::u16string(s);
}

LSTATUS SplitKeyPath(const std::u16string &path, std::vector<std::u16string> *parts) {
    parts->clear();
    if (!path.empty() && path[0] == u'\\') return ERROR_BAD_PATHNAME;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end > start) {
            if (end - start > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
            parts->push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}
