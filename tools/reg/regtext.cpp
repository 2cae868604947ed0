#include "regtext.h"

#include "platform/posix/registry/names.h"
#include "platform/syshooks.h"

#include <cstdio>
#include <cstring>
#include <vector>

const char kSuccess[] = "The operation completed successfully.";
const char kNotFound[] = "ERROR: The system was unable to find the specified registry key or value.";

std::u16string FromUtf8(const std::string &text) { return NameFromText(text); }
std::string ToUtf8(const std::u16string &text) { return NameToText(text); }

namespace {

struct RootName {
    HKEY root;
    const char16_t *shortName;
    const char16_t *longName;
};

const RootName kRoots[] = {
    {HKEY_LOCAL_MACHINE, u"HKLM", u"HKEY_LOCAL_MACHINE"},
    {HKEY_CURRENT_USER, u"HKCU", u"HKEY_CURRENT_USER"},
};

// Every type reg knows, with where a /t may name it: reg add stores any type it
// can write from /d text; reg query's search filters on the common ones only.
struct TypeEntry {
    const char *name;
    DWORD type;
    bool add;     // accepted by reg add /t
    bool search;  // accepted by reg query /f ... /t
};

const TypeEntry kTypes[] = {
    {"REG_SZ", REG_SZ, true, true},
    {"REG_MULTI_SZ", REG_MULTI_SZ, true, true},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ, true, true},
    {"REG_DWORD", REG_DWORD, true, true},
    {"REG_QWORD", REG_QWORD, true, true},
    {"REG_BINARY", REG_BINARY, true, true},
    {"REG_NONE", REG_NONE, true, true},
    {"REG_DWORD_LITTLE_ENDIAN", REG_DWORD_LITTLE_ENDIAN, true, false},
    {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN, true, false},
    {"REG_LINK", REG_LINK, false, false},
    {"REG_RESOURCE_LIST", 8, false, false},
    {"REG_FULL_RESOURCE_DESCRIPTOR", 9, false, false},
    {"REG_RESOURCE_REQUIREMENTS_LIST", 10, false, false},
};

bool EqualsIgnoreCase(const std::u16string &a, const char16_t *b) {
    size_t n = std::char_traits<char16_t>::length(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++) {
        if (FoldUnit(a[i]) != FoldUnit(b[i])) return false;
    }
    return true;
}

bool EqualsIgnoreCase(const std::u16string &a, const char *b) { return EqualsIgnoreCase(a, FromUtf8(b).c_str()); }

int HexDigit(char16_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digits of base 10 or 16 (0x prefix), no sign, within max; false otherwise.
bool ParseUnsigned(const std::u16string &text, uint64_t max, uint64_t *out) {
    size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    uint64_t value = 0;
    for (; i < text.size(); i++) {
        int d = HexDigit(text[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base) return false;
        if (value > (max - static_cast<unsigned>(d)) / base) return false;
        value = value * base + static_cast<unsigned>(d);
    }
    *out = value;
    return true;
}

void AppendUnits(std::string *bytes, const std::u16string &text) {
    bytes->append(UnitsToBytes(text));
    bytes->append(2, '\0');
}

bool ParseMultiString(const std::u16string &text, char16_t separator, bool haveSeparator, std::string *bytes) {
    if (text.empty()) {
        bytes->assign(2, '\0');
        return true;
    }
    std::u16string sep = haveSeparator ? std::u16string(1, separator) : std::u16string(u"\\0");
    std::vector<std::u16string> pieces;
    for (size_t start = 0;;) {
        size_t at = text.find(sep, start);
        pieces.push_back(text.substr(start, at == std::u16string::npos ? std::u16string::npos : at - start));
        if (at == std::u16string::npos) break;
        start = at + sep.size();
    }
    if (pieces.size() > 1 && pieces.back().empty()) pieces.pop_back();  // a trailing separator ends the list
    for (const std::u16string &piece : pieces) {
        if (piece.empty() && pieces.size() > 1) return false;  // reg.exe refuses empty strings inside the list
        AppendUnits(bytes, piece);
    }
    bytes->append(2, '\0');
    return true;
}

}  // namespace

bool SameName(const std::u16string &a, const std::u16string &b) { return EqualsIgnoreCase(a, b.c_str()); }

HKEY RootFromName(const std::u16string &name) {
    for (const RootName &r : kRoots) {
        if (EqualsIgnoreCase(name, r.shortName) || EqualsIgnoreCase(name, r.longName)) return r.root;
    }
    return nullptr;
}

const char16_t *RootLongName(HKEY root) {
    for (const RootName &r : kRoots) {
        if (r.root == root) return r.longName;
    }
    return u"";
}

bool ParseKeyPath(const std::u16string &text, KeyPath *out) {
    size_t slash = text.find(u'\\');
    HKEY root = RootFromName(text.substr(0, slash));
    if (root == nullptr) return false;  // also a leading backslash and \\machine\ paths
    std::u16string sub;
    if (slash != std::u16string::npos) {
        sub = text.substr(slash + 1);
        if (sub.empty()) return false;
        if (sub.size() >= 2 && sub.compare(sub.size() - 2, 2, u"\\\\") == 0) return false;
        if (sub.back() == u'\\') sub.pop_back();
    }
    out->root = root;
    out->sub = sub;
    out->display = RootLongName(root);
    if (!sub.empty()) out->display += u"\\" + sub;
    return true;
}

bool TypeFromName(const std::u16string &name, TypeUse use, DWORD *type) {
    for (const TypeEntry &t : kTypes) {
        if ((use == TypeUse::Add ? t.add : t.search) && EqualsIgnoreCase(name, t.name)) {
            *type = t.type;
            return true;
        }
    }
    return false;
}

std::string TypeName(DWORD type) {
    for (const TypeEntry &t : kTypes) {
        if (t.type == type) return t.name;
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%x", type);
    return buffer;
}

std::string FormatData(DWORD type, const std::string &data) {
    char buffer[32];
    if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && data.size() == 4) {
        uint32_t v = 0;
        std::memcpy(&v, data.data(), 4);  // reg.exe shows both as little-endian, as Windows stores them
        std::snprintf(buffer, sizeof buffer, "0x%x", v);
        return buffer;
    }
    if (type == REG_QWORD && data.size() == 8) {
        uint64_t v = 0;
        std::memcpy(&v, data.data(), 8);
        std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(v));
        return buffer;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_LINK) {
        std::u16string units = BytesToUnits(data);
        return ToUtf8(units.substr(0, units.find(u'\0')));
    }
    if (type == REG_MULTI_SZ) {
        std::u16string units = BytesToUnits(data);
        while (!units.empty() && units.back() == u'\0') units.pop_back();
        std::string out;
        if (units.empty()) return out;
        for (size_t start = 0;;) {
            size_t end = units.find(u'\0', start);
            if (end == std::u16string::npos) end = units.size();
            out += ToUtf8(units.substr(start, end - start));
            if (end == units.size()) break;
            out += "\\0";
            start = end + 1;
        }
        return out;
    }
    std::string out;
    for (unsigned char c : data) {
        std::snprintf(buffer, sizeof buffer, "%02X", c);
        out += buffer;
    }
    return out;
}

bool ParseAddData(DWORD type, bool haveData, const std::u16string &text, char16_t separator, bool haveSeparator,
                  std::string *bytes, std::string *error) {
    bytes->clear();
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_NONE:  // reg.exe stores REG_NONE /d text as a string too
            AppendUnits(bytes, haveData ? text : std::u16string());
            return true;
        case REG_MULTI_SZ:
            if (ParseMultiString(haveData ? text : std::u16string(), separator, haveSeparator, bytes)) return true;
            *error = "ERROR: Invalid syntax. Specify valid string list for '/d'.";
            return false;
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN: {
            uint64_t v = 0;
            if (!haveData || !ParseUnsigned(text, 0xFFFFFFFFu, &v)) {
                *error = "ERROR: Invalid syntax. Specify valid numeric value for '/d'.";
                return false;
            }
            uint32_t d = static_cast<uint32_t>(v);
            bytes->assign(reinterpret_cast<const char *>(&d), 4);
            return true;
        }
        case REG_QWORD: {
            uint64_t v = 0;
            bool ok = true;
            if (haveData) {
                bool negative = !text.empty() && text[0] == '-';  // reg.exe takes -N in decimal only
                std::u16string digits = negative ? text.substr(1) : text;
                ok = ParseUnsigned(digits, UINT64_MAX, &v) &&
                     !(negative && digits.size() > 1 && (digits[1] == 'x' || digits[1] == 'X'));
                if (negative) v = 0 - v;
            }
            if (!ok) {
                *error = "ERROR: Invalid syntax. Specify valid numeric value for '/d'.";
                return false;
            }
            bytes->assign(reinterpret_cast<const char *>(&v), 8);
            return true;
        }
        case REG_BINARY: {
            std::u16string hex = haveData ? text : std::u16string();
            size_t i = 0;
            if (hex.size() % 2 == 1) {  // an odd digit count: the first nibble is a byte of its own
                int d = HexDigit(hex[0]);
                if (d < 0) break;
                bytes->push_back(static_cast<char>(d));
                i = 1;
            }
            for (; i < hex.size(); i += 2) {
                int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
                if (hi < 0 || lo < 0) break;
                bytes->push_back(static_cast<char>(hi * 16 + lo));
            }
            if (i >= hex.size()) return true;
            *error = "ERROR: Invalid syntax. Specify valid hexadecimal value for '/d'.";
            return false;
        }
        default: break;
    }
    *error = "ERROR: Invalid syntax. Specify valid hexadecimal value for '/d'.";
    return false;
}

std::string ErrorText(LSTATUS code) {
    if (code == ERROR_FILE_NOT_FOUND) return kNotFound;  // reg.exe's own wording
    char text[512];
    SystemErrorText(static_cast<DWORD>(code), text, sizeof text);
    return std::string("ERROR: ") + text;
}

bool Confirm(const std::string &prompt) {
    for (;;) {
        std::printf("%s", prompt.c_str());
        std::fflush(stdout);
        char answer[256];
        if (std::fgets(answer, sizeof answer, stdin) == nullptr) {
            std::printf("\n");
            return false;
        }
        const char *p = answer;
        while (*p == ' ' || *p == '\t') p++;
        if (*p == 'y' || *p == 'Y') return true;
        if (*p == 'n' || *p == 'N') return false;
    }
}
