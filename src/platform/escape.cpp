#include "platform/escape.h"

namespace {

void AppendEscaped(std::string &out, unsigned char c) {
    static const char hex[] = "0123456789ABCDEF";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
}

// The length of the well-formed UTF-8 sequence at p (at most left bytes), or 0.
size_t Utf8Length(const unsigned char *p, size_t left) {
    unsigned char c = p[0];
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || n > left) return 0;
    // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
    unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < low || p[1] > high) return 0;
    for (size_t i = 2; i < n; i++)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return n;
}

}  // namespace

std::string EscapeControls(const std::string &text) {
    std::string out;
    AppendControlsEscaped(&out, text);
    return out;
}

void AppendControlsEscaped(std::string *to, std::string_view text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t size = text.size();
    std::string &out = *to;
    out.reserve(out.size() + size);
    for (size_t i = 0; i < size;) {
        unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7F) {  // a run of printable ASCII, as nearly every line is, goes in whole
            size_t end = i + 1;
            while (end < size && p[end] >= 0x20 && p[end] < 0x7F) end++;
            out.append(text.substr(i, end - i));
            i = end;
            continue;
        }
        if (c < 0x80) {  // C0 or DEL
            AppendEscaped(out, c);
            i++;
            continue;
        }
        size_t n = Utf8Length(p + i, size - i);
        if (n == 2 && c == 0xC2 && p[i + 1] < 0xA0) {  // U+0080..U+009F
            AppendEscaped(out, c);
            AppendEscaped(out, p[i + 1]);
        } else if (n > 0) {
            out.append(text.substr(i, n));
        } else if (c < 0xA0) {
            AppendEscaped(out, c);
        } else {
            out += static_cast<char>(c);  // a character of an 8-bit code page
        }
        i += n > 0 ? n : 1;
    }
}
