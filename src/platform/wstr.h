// 16-bit wide string helpers: WCHAR is 16 bits on every platform, so the C
// library's wchar_t functions cannot be used on Linux. Semantics follow the
// Windows C runtime (wcslen, wcsncpy, _wcsnicmp, wcstol, wcstoul, mbstowcs, wcstombs).
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

size_t WStrLen(const WCHAR *s);
// Copies s with its terminator into dst.
WCHAR *WStrCopy(WCHAR *dst, const WCHAR *s);
// Copies at most n - 1 units of s into dst and terminates it (n > 0).
void WStrCopyCut(WCHAR *dst, const WCHAR *s, size_t n);
// Case-insensitive comparison of at most n units, stopping at a common end.
int WStrNICmp(const WCHAR *a, const WCHAR *b, size_t n);
// Unsigned code-unit comparison of at most n units.
int WStrNCmp(const WCHAR *a, const WCHAR *b, size_t n);
WCHAR WCharLower(WCHAR c);
void WStrLower(WCHAR *s);
// A heap copy (malloc), or null.
WCHAR *WStrDup(const WCHAR *s);

// wcstol with a 32-bit long: blanks, sign, digits of base (16 takes a 0x prefix),
// clamped to the 32-bit range on overflow. end receives where the number stopped.
int32_t WStrToL(const WCHAR *s, const WCHAR **end, int base);
// wcstoul with a 32-bit unsigned long: a '-' negates the result, overflow gives 0xFFFFFFFF.
uint32_t WStrToUL(const WCHAR *s, const WCHAR **end, int base);

// mbstowcs: converts the narrow string src (ANSI code page) into at most n units
// of dst, with the terminator when it fits; returns the units written without it.
// A byte that does not convert stands for itself, so nothing is ever refused.
size_t MbToWide(WCHAR *dst, const char *src, size_t n);
// wcstombs: converts src into at most n bytes of dst, with the terminator when it
// fits; returns the bytes written without it. A unit that does not convert becomes '?'.
size_t WideToMb(char *dst, const WCHAR *src, size_t n);
