#include "regexport/regexport.h"

#include <cstdio>
#include <cstring>

const char16_t RegFileHeader[] = u"Windows Registry Editor Version 5.00";

namespace {

// WCHAR is char16_t on Linux and wchar_t (16 bits too) on Windows.
const char16_t *Units(const WCHAR *text) { return reinterpret_cast<const char16_t *>(text); }
LPCWSTR Wide(const std::u16string &text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

// Hex data lines are wrapped with "\" once they reach this column, as regedit does.
constexpr size_t kMaxHexColumn = 77;

// ASCII text (the forms' own words and hex digits) as units.
std::u16string Ascii(const char *s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }

// Quotes and backslashes escaped, and CR and LF written as \r and \n so that a
// name or string with line breaks stays on one line (Wine's regedit does the same).
std::u16string Escape(const std::u16string &s) {
    std::u16string out;
    for (char16_t c : s) {
        switch (c) {
            case u'\\': out += u"\\\\"; break;
            case u'"': out += u"\\\""; break;
            case u'\n': out += u"\\n"; break;
            case u'\r': out += u"\\r"; break;
            default: out += c;
        }
    }
    return out;
}

// REG_SZ data that a quoted string gives back exactly: whole units, one
// terminator at the end and none before it.
bool IsPlainString(const std::string &data) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    std::u16string units = BytesToUnits(data);
    return units.back() == 0 && units.find(u'\0') == units.size() - 1;
}

std::u16string ValueLine(const std::u16string &name, DWORD type, const std::string &data) {
    // Appended piece by piece: GCC 12 misreads the sum of a literal and a temporary (-Wrestrict).
    std::u16string line = name.empty() ? u"@=" : u"\"";
    if (!name.empty()) line.append(Escape(name)).append(u"\"=");
    char buffer[32];
    if (type == REG_SZ && IsPlainString(data)) {
        std::u16string units = BytesToUnits(data);
        units.pop_back();
        return line + u"\"" + Escape(units) + u"\"";
    }
    if (type == REG_DWORD && data.size() == 4) {
        uint32_t v = 0;
        std::memcpy(&v, data.data(), 4);
        std::snprintf(buffer, sizeof buffer, "dword:%08x", static_cast<unsigned>(v));
        return line + Ascii(buffer);
    }
    if (type == REG_BINARY) {
        line += u"hex:";
    } else {
        std::snprintf(buffer, sizeof buffer, "hex(%x):", static_cast<unsigned>(type));
        line += Ascii(buffer);
    }
    size_t column = line.size();
    for (size_t i = 0; i < data.size(); i++) {
        std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(data[i]));
        line += Ascii(buffer);
        if (i + 1 == data.size()) break;
        line += u',';
        column += 3;
        if (column >= kMaxHexColumn) {
            line += u"\\\r\n  ";
            column = 2;
        }
    }
    return line;
}

}  // namespace

std::string UnitsToBytes(const std::u16string &units) {
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t u : units) {
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    return bytes;
}

std::u16string BytesToUnits(const std::string &bytes) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return units;
}

LSTATUS ListValues(HKEY key, std::vector<Value> *values) {
    std::vector<WCHAR> name(256);
    std::string data(1024, '\0');
    for (DWORD i = 0;;) {
        DWORD nameLength = static_cast<DWORD>(name.size()), dataLength = static_cast<DWORD>(data.size()), type = 0;
        LSTATUS status = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type,
                                       reinterpret_cast<LPBYTE>(data.data()), &dataLength);
        if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (status == ERROR_MORE_DATA) {  // grow whichever buffer was short and ask again
            if (dataLength > data.size())
                data.resize(dataLength);
            else
                name.resize(name.size() * 2);
            continue;
        }
        if (status != ERROR_SUCCESS) return status;
        values->push_back({std::u16string(Units(name.data()), nameLength), type, data.substr(0, dataLength)});
        i++;
    }
}

LSTATUS ListSubkeys(HKEY key, std::vector<std::u16string> *names) {
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD length = 256;
        LSTATUS status = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        names->emplace_back(Units(name), length);
    }
}

LSTATUS WalkTree(HKEY key, const std::u16string &path, bool below, const KeyVisitor &visit) {
    struct Level {
        HKEY key;
        std::u16string path;
        std::vector<std::u16string> subkeys;
        size_t next = 0;
    };
    std::vector<Level> levels;  // levels[0] holds the caller's key, which stays open
    LSTATUS status = visit(key, path, std::u16string());
    if (status == ERROR_SUCCESS && below) {
        levels.push_back({key, path, {}, 0});
        status = ListSubkeys(key, &levels.back().subkeys);
    }
    while (status == ERROR_SUCCESS && !levels.empty()) {
        Level &level = levels.back();
        if (level.next == level.subkeys.size()) {
            if (levels.size() > 1) RegCloseKey(level.key);
            levels.pop_back();
            continue;
        }
        std::u16string name = level.subkeys[level.next++];
        std::u16string subPath = level.path + u"\\" + name;
        // A name holding a NUL would open another key through its c_str().
        HKEY sub = nullptr;
        status = IsWholeName(name) ? RegOpenKeyExW(level.key, Wide(name), 0, KEY_READ, &sub)
                                   : ERROR_INVALID_PARAMETER;
        if (status != ERROR_SUCCESS) break;
        levels.push_back({sub, subPath, {}, 0});
        status = visit(sub, subPath, name);
        if (status == ERROR_SUCCESS) status = ListSubkeys(sub, &levels.back().subkeys);
    }
    for (size_t i = 1; i < levels.size(); i++) RegCloseKey(levels[i].key);
    return status;
}

bool IsWholeName(const std::u16string &name) { return name.find(u'\0') == std::u16string::npos; }

std::u16string RegValueLine(const Value &value) { return ValueLine(value.name, value.type, value.data); }

LSTATUS AppendRegKeyTree(HKEY hkey, const std::u16string &path, std::u16string *out) {
    return WalkTree(hkey, path, true, [out](HKEY key, const std::u16string &keyPath, const std::u16string &) -> LSTATUS {
        *out += u"\r\n[" + keyPath + u"]\r\n";
        std::vector<Value> values;
        if (LSTATUS status = ListValues(key, &values); status != ERROR_SUCCESS) return status;
        for (const Value &v : values) *out += RegValueLine(v) + u"\r\n";
        return ERROR_SUCCESS;
    });
}

std::string RegFileBytes(const std::u16string &text) {
    std::u16string file = u"\xFEFF";
    file += RegFileHeader;
    file += u"\r\n";
    file += text;
    file += u"\r\n";
    return UnitsToBytes(file);
}

std::string ExportRegFile(HKEY hkey, const std::u16string &path, LSTATUS *status) {
    std::u16string text;
    *status = AppendRegKeyTree(hkey, path, &text);
    return RegFileBytes(text);
}
