#include "platform/wstr.h"
#include "platform/failalloc.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#ifndef _WIN32
#include <uchar.h>
#endif

size_t WStrLen(const WCHAR *s) {
    size_t n = 0;
    while (s[n] != 0) n++;
    return n;
}

WCHAR *WStrCopy(WCHAR *dst, const WCHAR *s) {
    size_t i = 0;
    do {
        dst[i] = s[i];
    } while (s[i++] != 0);
    return dst;
}

void WStrCopyCut(WCHAR *dst, const WCHAR *s, size_t n) {
    size_t i = 0;
    for (; i + 1 < n && s[i] != 0; i++) dst[i] = s[i];
    dst[i] = 0;
}

namespace {

// Whether a towlower result is a WCHAR: wint_t is 16 bits on Windows, where every
// result is, and 32 bits elsewhere. A template, so that the test that cannot fail
// on Windows is never compiled there.
template <class Wint>
bool FitsWChar(Wint value) {
    if constexpr (sizeof(Wint) > sizeof(WCHAR)) {
        return value <= 0xFFFF;
    } else {
        return true;
    }
}

}  // namespace

WCHAR WCharLower(WCHAR c) {
    if (c >= 'A' && c <= 'Z') return static_cast<WCHAR>(c + ('a' - 'A'));
    if (c < 0x80 || (c >= 0xD800 && c <= 0xDFFF)) return c;
    wint_t lower = std::towlower(static_cast<wint_t>(c));
    return FitsWChar(lower) ? static_cast<WCHAR>(lower) : c;
}

void WStrLower(WCHAR *s) {
    for (; *s != 0; s++) *s = WCharLower(*s);
}

int WStrNICmp(const WCHAR *a, const WCHAR *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        WCHAR x = WCharLower(a[i]), y = WCharLower(b[i]);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

int WStrNCmp(const WCHAR *a, const WCHAR *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0) return 0;
    }
    return 0;
}

WCHAR *WStrDup(const WCHAR *s) {
    size_t bytes = (WStrLen(s) + 1) * sizeof(WCHAR);
    auto *copy = AllocationFails() ? nullptr : static_cast<WCHAR *>(std::malloc(bytes));
    if (copy != nullptr) std::memcpy(copy, s, bytes);
    return copy;
}

namespace {

bool IsBlank(WCHAR c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

int DigitValue(WCHAR c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// The common scan of wcstol and wcstoul: magnitude saturated at 2^32, sign apart.
// end is s itself when no digit was found.
uint64_t ScanNumber(const WCHAR *s, const WCHAR **end, int base, bool *negative) {
    const WCHAR *p = s;
    while (IsBlank(*p)) p++;
    *negative = false;
    if (*p == '+' || *p == '-') *negative = (*p++ == '-');
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == '0' ? 8 : 10;
    }
    uint64_t value = 0;
    const WCHAR *digits = p;
    for (; DigitValue(*p) < base; p++) {
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(DigitValue(*p));
        if (value > 0x100000000ULL) value = 0x100000000ULL;
    }
    if (end != nullptr) *end = (p == digits) ? s : p;
    if (p == digits) *negative = false;
    return p == digits ? 0 : value;
}

}  // namespace

int32_t WStrToL(const WCHAR *s, const WCHAR **end, int base) {
    bool negative = false;
    uint64_t v = ScanNumber(s, end, base, &negative);
    if (negative) return v > 0x80000000ULL ? INT32_MIN : static_cast<int32_t>(-static_cast<int64_t>(v));
    return v > 0x7FFFFFFFULL ? INT32_MAX : static_cast<int32_t>(v);
}

uint32_t WStrToUL(const WCHAR *s, const WCHAR **end, int base) {
    bool negative = false;
    uint64_t v = ScanNumber(s, end, base, &negative);
    if (v > 0xFFFFFFFFULL) return 0xFFFFFFFFU;
    uint32_t u = static_cast<uint32_t>(v);
    return negative ? static_cast<uint32_t>(0U - u) : u;
}

#ifdef _WIN32

size_t MbToWide(WCHAR *dst, const char *src, size_t n) {
    size_t r = std::mbstowcs(dst, src, n);
    if (r != static_cast<size_t>(-1)) return r;
    size_t i = 0;  // an unconvertible string: bytes stand for themselves
    for (; i < n && src[i] != '\0'; i++) dst[i] = static_cast<unsigned char>(src[i]);
    if (i < n) dst[i] = 0;
    return i;
}

size_t WideToMb(char *dst, const WCHAR *src, size_t n) {
    size_t r = std::wcstombs(dst, src, n);
    if (r != static_cast<size_t>(-1)) return r;
    size_t i = 0;
    for (; i < n && src[i] != 0; i++) dst[i] = src[i] < 0x100 ? static_cast<char>(src[i]) : '?';
    if (i < n) dst[i] = '\0';
    return i;
}

#else

size_t MbToWide(WCHAR *dst, const char *src, size_t n) {
    std::mbstate_t state{};
    size_t out = 0;
    const char *p = src;
    size_t left = std::strlen(src) + 1;
    while (out < n) {
        char16_t unit = 0;
        size_t r = ::mbrtoc16(&unit, p, left, &state);
        if (r == static_cast<size_t>(-3)) {  // the second half of a surrogate pair
            dst[out++] = unit;
            continue;
        }
        if (r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2)) {
            unit = static_cast<unsigned char>(*p);  // not in the code page: the byte stands for itself
            r = 1;
            state = std::mbstate_t{};
        }
        dst[out] = unit;
        if (unit == 0 || r == 0) return out;
        out++;
        p += r;
        left -= r;
    }
    return out;
}

size_t WideToMb(char *dst, const WCHAR *src, size_t n) {
    std::mbstate_t state{};
    size_t out = 0;
    char buffer[MB_LEN_MAX];
    for (const WCHAR *p = src;; p++) {
        size_t r = ::c16rtomb(buffer, *p, &state);
        if (r == static_cast<size_t>(-1)) {
            buffer[0] = *p < 0x100 ? static_cast<char>(*p) : '?';
            r = 1;
            state = std::mbstate_t{};
        }
        if (*p == 0) {
            if (out < n) dst[out] = '\0';
            return out;
        }
        if (out + r > n) return out;
        std::memcpy(dst + out, buffer, r);
        out += r;
    }
}

#endif
