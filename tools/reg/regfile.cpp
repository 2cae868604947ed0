#include "regfile.h"

#include "regtext.h"

#include "platform/posix/machine.h"

#include <cstdio>
#include <cstring>

namespace {

const char16_t kHeader4[] = u"REGEDIT4";

// ---- Import ----

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string TrimLeft(const std::u16string &s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) i++;
    return s.substr(i);
}

std::u16string TrimRight(const std::u16string &s) {
    size_t n = s.size();
    while (n > 0 && IsBlank(s[n - 1])) n--;
    return s.substr(0, n);
}

// Only blanks or a ;comment remain from position i.
bool RestIsEmpty(const std::u16string &s, size_t i) {
    while (i < s.size() && IsBlank(s[i])) i++;
    return i == s.size() || s[i] == u';';
}

bool StartsWithIgnoreCase(const std::u16string &s, size_t at, const char *prefix) {
    for (size_t k = 0; prefix[k] != '\0'; k++) {
        char16_t c = at + k < s.size() ? s[at + k] : 0;
        if (c >= 'A' && c <= 'Z') c = static_cast<char16_t>(c + 32);
        if (c != static_cast<char16_t>(prefix[k])) return false;
    }
    return true;
}

int HexValue(char16_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A quoted string starting at s[*i] == '"': its text with escapes resolved;
// *i ends past the closing quote. False when the quote is never closed.
bool ReadQuoted(const std::u16string &s, size_t *i, std::u16string *out) {
    out->clear();
    for (size_t k = *i + 1; k < s.size(); k++) {
        char16_t c = s[k];
        if (c == u'"') {
            *i = k + 1;
            return true;
        }
        if (c == u'\\' && k + 1 < s.size()) {
            char16_t e = s[++k];
            switch (e) {
                case u'\\':
                case u'"': *out += e; break;
                case u'n': *out += u'\n'; break;
                case u'r': *out += u'\r'; break;
                case u'0': *out += u'\0'; break;
                default: *out += u'\\'; *out += e;  // regedit keeps an unknown escape as written
            }
            continue;
        }
        *out += c;
    }
    return false;
}

// Comma-separated hex bytes ("01,ff, 2a,"), a trailing comma allowed.
bool ReadHexBytes(const std::u16string &s, std::string *bytes, std::string *reason) {
    size_t i = 0;
    while (true) {
        while (i < s.size() && IsBlank(s[i])) i++;
        if (i == s.size() || s[i] == u';') return true;
        int hi = HexValue(s[i]);
        int lo = i + 1 < s.size() ? HexValue(s[i + 1]) : -1;
        if (hi < 0) {
            *reason = "invalid hexadecimal data";
            return false;
        }
        if (lo < 0) {
            bytes->push_back(static_cast<char>(hi));
            i += 1;
        } else {
            bytes->push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        }
        while (i < s.size() && IsBlank(s[i])) i++;
        if (i == s.size() || s[i] == u';') return true;
        if (s[i] != u',') {
            *reason = "invalid hexadecimal data";
            return false;
        }
        i++;
    }
}

// A line's text split at CR, LF or CRLF.
std::vector<std::u16string> SplitLines(const std::u16string &text) {
    std::vector<std::u16string> lines;
    std::u16string current;
    for (size_t i = 0; i < text.size(); i++) {
        char16_t c = text[i];
        if (c == u'\r' || c == u'\n') {
            lines.push_back(current);
            current.clear();
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') i++;
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

// The importer's state: the key that value lines go to.
class Importer {
public:
    Importer(bool ansiStrings, std::vector<ImportProblem> *problems) : ansi_(ansiStrings), problems_(problems) {}
    ~Importer() { CloseKey(); }

    void KeyLine(size_t line, const std::u16string &text);
    void ValueLine(size_t line, const std::u16string &text);
    void Problem(size_t line, const std::string &reason) { problems_->push_back({line, reason}); }
    void Refused(size_t line, LSTATUS status);
    bool stopped() const { return stopped_; }

private:
    void CloseKey() {
        if (key_ != nullptr) RegCloseKey(key_);
        key_ = nullptr;
    }
    bool ParseData(const std::u16string &text, size_t i, DWORD *type, std::string *bytes, std::string *reason);

    bool ansi_;  // REGEDIT4: string data in hex() form is ANSI, not UTF-16
    std::vector<ImportProblem> *problems_;
    HKEY key_ = nullptr;
    bool skipValues_ = false;  // values of a deleted or refused key are dropped quietly
    bool stopped_ = false;
};

// A line the registry refused: its error with the registry layer's reasons,
// and after a time-out the end of the import.
void Importer::Refused(size_t line, LSTATUS status) {
    ImportProblem problem{line, ErrorText(status).substr(7), TakePlatformNotes(), status == ERROR_TIMEOUT};
    stopped_ = stopped_ || problem.stopped;
    problems_->push_back(problem);
}

void Importer::KeyLine(size_t line, const std::u16string &text) {
    CloseKey();
    skipValues_ = true;
    size_t close = text.rfind(u']');
    if (close == std::u16string::npos || !RestIsEmpty(text, close + 1)) {
        Problem(line, "a key line must end with ']'");
        return;
    }
    std::u16string path = text.substr(1, close - 1);
    bool remove = !path.empty() && path[0] == u'-';
    if (remove) path.erase(0, 1);
    // A name cut short at a NUL or closed up over an empty component would be
    // another key, perhaps a parent of the one meant: refuse the line instead.
    if (!IsWholeName(path)) {
        Problem(line, "the key name contains a NUL character");
        return;
    }
    KeyPath key;
    if (!ParseKeyPath(path, &key) || key.sub.empty()) {
        Problem(line, "invalid key name '" + ToUtf8(path) + "'");
        return;
    }
    if (key.sub.find(u"\\\\") != std::u16string::npos) {
        Problem(line, "the key name '" + ToUtf8(path) + "' has an empty component");
        return;
    }
    if (remove) {
        LSTATUS status = RegDeleteTreeW(key.root, key.sub.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) Refused(line, status);
        return;
    }
    LSTATUS status = RegCreateKeyExW(key.root, key.sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                     nullptr, &key_, nullptr);
    if (status != ERROR_SUCCESS) {
        key_ = nullptr;
        Refused(line, status);
        return;
    }
    skipValues_ = false;
}

bool Importer::ParseData(const std::u16string &text, size_t i, DWORD *type, std::string *bytes, std::string *reason) {
    if (i < text.size() && text[i] == u'"') {
        std::u16string value;
        if (!ReadQuoted(text, &i, &value) || !RestIsEmpty(text, i)) {
            *reason = "invalid string data";
            return false;
        }
        *type = REG_SZ;
        *bytes = UnitsToBytes(value) + std::string(2, '\0');
        return true;
    }
    if (StartsWithIgnoreCase(text, i, "dword:")) {
        i += 6;
        uint32_t v = 0;
        size_t digits = 0;
        for (; i < text.size() && HexValue(text[i]) >= 0; i++, digits++) v = v * 16 + static_cast<uint32_t>(HexValue(text[i]));
        if (digits == 0 || digits > 8 || !RestIsEmpty(text, i)) {
            *reason = "invalid dword data";
            return false;
        }
        *type = REG_DWORD;
        bytes->assign(reinterpret_cast<const char *>(&v), 4);
        return true;
    }
    if (StartsWithIgnoreCase(text, i, "hex")) {
        i += 3;
        *type = REG_BINARY;
        if (i < text.size() && text[i] == u'(') {
            size_t close = text.find(u')', i);
            uint32_t t = 0;
            size_t digits = 0;
            for (size_t k = i + 1; k < close && close != std::u16string::npos; k++, digits++) {
                int h = HexValue(text[k]);
                if (h < 0 || digits >= 8) {
                    digits = 0;
                    break;
                }
                t = t * 16 + static_cast<uint32_t>(h);
            }
            if (close == std::u16string::npos || digits == 0) {
                *reason = "invalid value type in hex()";
                return false;
            }
            *type = t;
            i = close + 1;
        }
        if (i >= text.size() || text[i] != u':') {
            *reason = "missing ':' after hex";
            return false;
        }
        if (!ReadHexBytes(text.substr(i + 1), bytes, reason)) return false;
        if (ansi_ && (*type == REG_SZ || *type == REG_EXPAND_SZ || *type == REG_MULTI_SZ)) {
            *bytes = UnitsToBytes(FromUtf8(*bytes));
        }
        return true;
    }
    *reason = "unrecognised value data";
    return false;
}

void Importer::ValueLine(size_t line, const std::u16string &text) {
    if (skipValues_) return;
    if (key_ == nullptr) {
        Problem(line, "a value line before any key line");
        return;
    }
    std::u16string name;
    size_t i = 0;
    if (text[0] == u'@') {
        i = 1;
    } else if (!ReadQuoted(text, &i, &name)) {
        Problem(line, "the value name's closing quote is missing");
        return;
    }
    if (!IsWholeName(name)) {  // cut at the NUL it would be another value
        Problem(line, "the value name contains a NUL character");
        return;
    }
    while (i < text.size() && IsBlank(text[i])) i++;
    if (i >= text.size() || text[i] != u'=') {
        Problem(line, "'=' expected after the value name");
        return;
    }
    i++;
    while (i < text.size() && IsBlank(text[i])) i++;
    if (i < text.size() && text[i] == u'-' && RestIsEmpty(text, i + 1)) {
        LSTATUS status = RegDeleteValueW(key_, name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) Refused(line, status);
        return;
    }
    DWORD type = REG_NONE;
    std::string bytes, reason;
    if (!ParseData(text, i, &type, &bytes, &reason)) {
        Problem(line, reason);
        return;
    }
    LSTATUS status = RegSetValueExW(key_, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                                    static_cast<DWORD>(bytes.size()));
    if (status != ERROR_SUCCESS) Refused(line, status);
}

}  // namespace

std::u16string DecodeRegFile(const std::string &bytes) {
    auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) return BytesToUnits(bytes.substr(2));
    if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) {
        std::string swapped = bytes.substr(2);
        for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
        return BytesToUnits(swapped);
    }
    if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) return FromUtf8(bytes.substr(3));
    return FromUtf8(bytes);
}

ImportResult ImportRegText(const std::u16string &text, std::vector<ImportProblem> *problems) {
    std::vector<std::u16string> lines = SplitLines(text);
    std::u16string header = lines.empty() ? std::u16string() : TrimRight(lines[0]);
    if (header != RegFileHeader && header != kHeader4) return IMPORT_NOT_REG_FILE;
    Importer importer(header == kHeader4, problems);
    for (size_t n = 1; n < lines.size() && !importer.stopped(); n++) {
        size_t first = n + 1;
        std::u16string line = TrimLeft(lines[n]);
        if (line.empty() || line[0] == u';' || line[0] == u'#') continue;
        if (line[0] == u'[') {
            importer.KeyLine(first, TrimRight(line));
            continue;
        }
        if (line[0] != u'"' && line[0] != u'@') {
            importer.Problem(first, "unrecognised line");
            continue;
        }
        // Hex data continues on the next line after a trailing backslash.
        line = TrimRight(line);
        while (!line.empty() && line.back() == u'\\' && n + 1 < lines.size()) {
            line.pop_back();
            line += TrimRight(TrimLeft(lines[++n]));
        }
        importer.ValueLine(first, line);
    }
    return problems->empty() ? IMPORT_OK : IMPORT_PROBLEMS;
}
