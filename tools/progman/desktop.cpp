// Desktop entry formatting and parsing, file-name encoding.
#include "desktop.h"

#include "platform/posix/process/winargs.h"
#include "platform/posix/text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

const char kExecReserved[] = " \t\n\"'\\><~|&;$*?#()`";

// The general string escapes of desktop entry values.
std::string EscapeValue(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c == ' ' && i == 0) out += "\\s";  // a leading blank would be dropped
        else out += c;
    }
    return out;
}

std::string UnescapeValue(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char n = s[++i];
        out += n == 'n' ? '\n' : n == 't' ? '\t' : n == 'r' ? '\r' : n == 's' ? ' ' : n;
    }
    return out;
}

// One Exec argument: quoted when it holds a reserved character, with '"', '`',
// '$' and '\' escaped inside the quotes; '%' doubled so it is no field code.
std::string ExecArgument(const std::string &arg) {
    std::string body;
    for (char c : arg) {
        if (c == '%') body += "%%";
        else body += c;
    }
    if (!body.empty() && body.find_first_of(kExecReserved) == std::string::npos) return body;
    std::string quoted = "\"";
    for (char c : body) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// Length of the UTF-8 sequence at s[i], 0 when it is not valid there.
size_t Utf8Length(const std::string &s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2)) return 0;
    for (size_t k = 1; k < n; k++)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    return n;
}

// Windows-1252's characters at 0x80..0x9F (0 where the code page has none).
const unsigned short kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

// The keys only an item with more than four arguments has.
void ReadOptionalField(const std::string &key, const std::string &value, ProgramItem *item) {
    if (key == "Path") {
        item->workingDir = value;
    } else if (key == "X-Progman-Position") {
        item->placed = std::sscanf(value.c_str(), "%d,%d", &item->x, &item->y) == 2;
    } else if (key == "X-Progman-HotKey") {
        item->hotKey = static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
    } else if (key == "X-Progman-Minimize") {
        item->minimize = value == "true";
    }
}

}  // namespace

std::string FormatDesktopEntry(const ProgramItem &item) {
    std::vector<std::string> args = SplitCommandLine(item.commandLine);
    std::string exec;
    for (const std::string &a : args) {
        if (!exec.empty()) exec += ' ';
        exec += ExecArgument(a);
    }
    std::string out = "[Desktop Entry]\nType=Application\nVersion=1.0\n";
    auto field = [&out](const char *key, const std::string &value) {
        out += key;
        out += '=';
        out += value;
        out += '\n';
    };
    field("Name", EscapeValue(item.name));
    field("Exec", EscapeValue(exec));
    if (!item.iconFile.empty()) field("Icon", EscapeValue(item.iconFile));
    if (!item.workingDir.empty()) field("Path", EscapeValue(item.workingDir));
    field("X-Progman-IconIndex", std::to_string(item.iconIndex));
    field("X-Progman-CommandLine", EscapeValue(item.commandLine));
    if (item.placed) field("X-Progman-Position", std::to_string(item.x) + "," + std::to_string(item.y));
    if (item.hotKey != 0) field("X-Progman-HotKey", std::to_string(item.hotKey));
    if (item.minimize) out += "X-Progman-Minimize=true\n";
    return out;
}

bool ParseDesktopEntry(const std::string &text, ProgramItem *item) {
    bool inEntry = false, hasName = false, hasCommand = false;
    *item = ProgramItem();
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        size_t eq = line.find('=');
        if (!inEntry || eq == std::string::npos) continue;
        std::string key(line.substr(0, eq)), value = UnescapeValue(std::string(line.substr(eq + 1)));
        if (key == "Name") {
            item->name = value;
            hasName = true;
        } else if (key == "Icon") {
            item->iconFile = value;
        } else if (key == "X-Progman-IconIndex") {
            item->iconIndex = static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
        } else if (key == "X-Progman-CommandLine") {
            item->commandLine = value;
            hasCommand = true;
        } else {
            ReadOptionalField(key, value, item);
        }
    }
    return hasName && hasCommand;
}

std::string EncodeFileName(const std::string &name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '%' || c == '/' || c < 0x20 || c == 0x7F || (c == '.' && i == 0)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool DecodeFileName(const std::string &file, std::string *name) {
    name->clear();
    for (size_t i = 0; i < file.size(); i++) {
        if (file[i] != '%') {
            name->push_back(file[i]);
            continue;
        }
        if (i + 2 >= file.size() || !std::isxdigit(static_cast<unsigned char>(file[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(file[i + 2])))
            return false;
        name->push_back(static_cast<char>(std::strtol(file.substr(i + 1, 2).c_str(), nullptr, 16)));
        i += 2;
    }
    return !name->empty() && EncodeFileName(*name) == file;  // one spelling per name
}

bool SameItemName(const std::string &a, const std::string &b) { return SameAsciiName(a, b); }

std::string AnsiToUtf8(const std::string &text) {
    bool valid = true;
    for (size_t i = 0; i < text.size() && valid;) {
        size_t n = Utf8Length(text, i);
        valid = n != 0;
        i += n;
    }
    if (valid) return text;
    std::string out;
    for (unsigned char c : text) {
        unsigned cp = c;
        if (c >= 0x80 && c < 0xA0) cp = kCp1252High[c - 0x80] != 0 ? kCp1252High[c - 0x80] : 0xFFFD;
        AppendUtf8(&out, cp);
    }
    return out;
}

std::string Utf8ToAnsi(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {  // ASCII stays as it is
            out += text[i++];
            continue;
        }
        size_t n = Utf8Length(text, i);
        if (n == 0) {  // not UTF-8: the byte as it is
            out += text[i++];
            continue;
        }
        unsigned cp = static_cast<unsigned char>(text[i]);
        if (n > 1) cp &= 0xFF >> (n + 1);
        for (size_t k = 1; k < n; k++) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += n;
        char c = '?';
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) c = static_cast<char>(cp);
        for (unsigned k = 0; k < 32 && cp > 0xFF; k++)  // the table holds none below U+0100
            if (kCp1252High[k] == cp) c = static_cast<char>(0x80 + k);
        out += c;
    }
    return out;
}
