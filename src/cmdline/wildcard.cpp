// Wildcard paths: cutting a path at its first wildcard component, and matching one
// name against one component's pattern. Pure logic, no file system.
#include "cmdline/arglist.h"
#include "platform/wstr.h"

#include <cstring>

namespace {

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }
bool IsWild(WCHAR c) { return c == '*' || c == '?' || c == '['; }

// Copies the n units at from into a PATH_BUFFER buffer; n is below PATH_BUFFER.
void CopyPiece(WCHAR *to, const WCHAR *from, size_t n) {
    std::memcpy(to, from, n * sizeof(WCHAR));
    to[n] = 0;
}

// The ']' that closes the set opened at open, or null when none does: an unclosed
// '[' is then an ordinary character, and the walk never leaves the pattern.
const WCHAR *SetClose(const WCHAR *open) {
    for (const WCHAR *p = open + 1; *p != 0; p++)
        if (*p == ']') return p;
    return nullptr;
}

// Whether c lies in the set between first and close (the text after '[' and any '!').
bool InSet(const WCHAR *first, const WCHAR *close, WCHAR c) {
    for (const WCHAR *p = first; p < close;) {
        if (p + 2 < close && p[1] == '-') {
            if (p[0] <= c && c <= p[2]) return true;
            p += 3;
        } else {
            if (*p == c) return true;
            p++;
        }
    }
    return false;
}

// The name as the matcher sees it: it ends at its second blank, and an extension behind
// its first blank moves up to that blank ('readme  .txt' -> 'readme.txt'). A last dot
// before the blank moves nothing, so nothing is copied from outside the name.
void RewriteName(WCHAR *name) {
    size_t length = WStrLen(name), blank = 0, dot = 0;
    for (size_t i = 1; i < length; i++) {
        if (name[i] == ' ' && blank == 0) blank = i;
        if (name[i] == '.') dot = i;
    }
    if (blank == 0) return;
    for (size_t i = blank + 1; i < length; i++)
        if (name[i] == ' ') name[i] = 0;
    if (dot < blank) return;
    size_t to = blank;
    for (size_t from = dot; name[from] != 0; from++) name[to++] = name[from];
    name[to] = 0;
}

}  // namespace

int split_wild_path(const WCHAR *path, WCHAR *dir, WCHAR *pattern, WCHAR *rest) {
    size_t length = 0;
    while (path[length] != 0)
        if (++length >= PATH_BUFFER) return 0;  // the pieces would not fit: no expansion
    size_t start = 0;
    for (size_t i = 0; i < length;) {
        WCHAR c = path[i];
        if (IsSeparator(c) || c == ':') {  // ':' ends a drive prefix such as 'c:'
            for (i++; IsSeparator(path[i]); i++) {
            }
            start = i;
        } else if (IsWild(c)) {
            size_t stop = i;
            while (stop < length && !IsSeparator(path[stop])) stop++;
            CopyPiece(dir, path, start);
            CopyPiece(pattern, path + start, stop - start);
            CopyPiece(rest, path + stop, length - stop);
            return 1;
        } else {
            i++;
        }
    }
    return 0;
}

int match_wild(const WCHAR *pattern, WCHAR *name) {
    RewriteName(name);
    if (pattern[0] == '*' && pattern[1] == 0) return 1;
    const WCHAR *p = pattern, *n = name;
    const WCHAR *starP = nullptr, *starN = nullptr;  // where a retry resumes after a star
    while (*n != 0) {
        if (*p == '*') {
            while (*p == '*') p++;
            if (*p == 0) return 1;
            starP = p;
            starN = n;
            continue;
        }
        bool ok = false;
        const WCHAR *next = p + 1;
        const WCHAR *close = *p == '[' ? SetClose(p) : nullptr;
        if (*p == 0) {
            ok = false;  // the pattern ended before the name
        } else if (*p == '?') {
            ok = true;
        } else if (close != nullptr) {
            bool negated = p[1] == '!';
            ok = InSet(p + (negated ? 2 : 1), close, *n) != negated;
            next = close + 1;
        } else {
            ok = *p == *n;
        }
        if (ok) {
            p = next;
            n++;
        } else if (starP != nullptr) {  // the star takes one more character
            p = starP;
            n = ++starN;
        } else {
            return 0;
        }
    }
    while (*p == '*') p++;
    return *p == 0;
}
