// FindFirstFileW/FindNextFileW/FindClose/GetFileAttributesW over opendir/readdir/stat.
// Paths are Windows paths: '\' and '/' both separate components, and a component
// that is not on disk with its exact case is looked up without regard to case, as
// Windows does, so a lowercased path still reaches 'SUB/Read.Me'. Names on disk are
// UTF-8; the caller sees 16-bit units.
#include "platform/win32.h"
#include "platform/posix/text.h"
#include "platform/posix/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwctype>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using WString = std::basic_string<WCHAR>;

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

// Units 0xDC80..0xDCFF are the stand-ins for bytes that did not decode (see
// Utf8ToWide), so they turn back into those bytes.
void AppendNameUnit(std::string *out, uint32_t cp) {
    if (cp >= 0xDC80 && cp <= 0xDCFF)
        out->push_back(static_cast<char>(cp - 0xDC00));
    else
        AppendUtf8(out, cp);
}

std::string WideToUtf8(const WCHAR *s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        AppendNameUnit(&out, cp);
    }
    return out;
}

// Strict UTF-8 decoding; a byte that starts no valid sequence becomes 0xDC00 + byte,
// so that every name on disk survives the trip to 16 bits and back.
WString Utf8ToWide(const std::string &s) {
    static const struct {
        unsigned char mask, lead;
        int extra;
        uint32_t min;
    } forms[] = {{0x80, 0x00, 0, 0}, {0xE0, 0xC0, 1, 0x80}, {0xF0, 0xE0, 2, 0x800}, {0xF8, 0xF0, 3, 0x10000}};
    WString out;
    size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0;
        int extra = -1;
        for (const auto &f : forms) {
            if ((b & f.mask) != f.lead) continue;
            if (i + f.extra >= s.size()) break;  // cut short: extra stays -1
            cp = b & static_cast<unsigned char>(~f.mask);
            extra = f.extra;
            for (int k = 1; k <= f.extra; k++) {
                auto c = static_cast<unsigned char>(s[i + k]);
                if ((c & 0xC0) != 0x80) extra = -1;
                cp = (cp << 6) | (c & 0x3F);
            }
            if (cp < f.min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) extra = -1;
            break;
        }
        if (extra < 0) {
            out.push_back(static_cast<WCHAR>(0xDC00 + b));
            i++;
        } else if (cp >= 0x10000) {
            out.push_back(static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
            i += extra + 1;
        } else {
            out.push_back(static_cast<WCHAR>(cp));
            i += extra + 1;
        }
    }
    return out;
}

// The same folding the command-line module lowercases with, so its lowercased paths resolve.
WCHAR Fold(WCHAR c) {
    if (c >= 'A' && c <= 'Z') return static_cast<WCHAR>(c + ('a' - 'A'));
    if (c < 0x80 || (c >= 0xD800 && c <= 0xDFFF)) return c;
    wint_t lower = std::towlower(static_cast<wint_t>(c));
    return lower <= 0xFFFF ? static_cast<WCHAR>(lower) : c;
}

bool SameNoCase(const WString &a, const WString &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

// A Windows path cut into its components. Empty components (doubled separators) are dropped.
struct WinPath {
    bool absolute = false;
    bool trailing = false;  // ends with a separator
    std::vector<WString> parts;
};

// False for a drive prefix ('c:'), which names nothing on Linux.
bool SplitWinPath(const WCHAR *path, WinPath *out) {
    if (path[0] != 0 && path[1] == ':' && std::iswalpha(static_cast<wint_t>(path[0]))) return false;
    out->absolute = IsSeparator(path[0]);
    WString part;
    for (const WCHAR *p = path;; p++) {
        if (*p == 0 || IsSeparator(*p)) {
            if (!part.empty()) out->parts.push_back(part);
            part.clear();
            if (*p == 0) break;
        } else {
            part.push_back(*p);
        }
    }
    size_t n = std::char_traits<WCHAR>::length(path);
    out->trailing = n > 0 && IsSeparator(path[n - 1]);
    return true;
}

std::string JoinLinux(const std::string &dir, const std::string &name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The names of a directory as readdir delivers them, "." and ".." included; false when it cannot be read.
bool ReadNames(const std::string &dir, std::vector<std::string> *names, int *error) {
    DIR *d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) {
        *error = errno;
        return false;
    }
    while (const dirent *e = readdir(d)) names->push_back(e->d_name);
    closedir(d);
    return true;
}

// Resolves the first `count` components to a Linux path in *out: the exact name when it
// exists, else the first name of the directory (in byte order) that equals it without
// regard to case. Returns 0, or the Win32 error: a missing last component of the whole
// path is a missing file, anything earlier a missing path.
DWORD Resolve(const WinPath &path, size_t count, std::string *out) {
    std::string real = path.absolute ? "/" : "";
    for (size_t i = 0; i < count; i++) {
        const WString &part = path.parts[i];
        std::string exact = JoinLinux(real, WideToUtf8(part.data(), part.size()));
        struct stat st {};
        if (lstat(exact.c_str(), &st) == 0 || errno != ENOENT) {
            real = exact;  // a later failure (a file used as a directory) shows in the final stat
            continue;
        }
        std::vector<std::string> names;
        int error = 0;
        if (!ReadNames(real, &names, &error)) return Win32ErrorFromErrno(error);
        std::sort(names.begin(), names.end());
        auto found = std::find_if(names.begin(), names.end(),
                                  [&](const std::string &n) { return SameNoCase(Utf8ToWide(n), part); });
        if (found == names.end()) return i + 1 == path.parts.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        real = JoinLinux(real, *found);
    }
    *out = real.empty() ? "." : real;
    return 0;
}

// '*' and '?' without regard to case; "*.*" matches every name, dotless ones included.
bool MatchFindPattern(const WString &pattern, const WString &name) {
    if (pattern == u"*.*" || pattern == u"*") return true;
    size_t p = 0, n = 0, starP = WString::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p]) == Fold(name[n]))) {
            p++;
            n++;
        } else if (starP != WString::npos) {
            p = starP;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') p++;
    return p == pattern.size();
}

struct FindState {
    std::string dir;  // the Linux directory being listed
    std::vector<std::string> names;
    size_t next = 0;
};

// 100-nanosecond ticks since 1601, as FILETIME counts.
FILETIME ToFileTime(const timespec &t) {
    uint64_t ticks = (static_cast<uint64_t>(t.tv_sec) + 11644473600ULL) * 10000000ULL + t.tv_nsec / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

DWORD AttributesOf(const struct stat &st) {
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return FILE_ATTRIBUTE_ARCHIVE | ((st.st_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY);
}

// Fills data with the state's next name; false when the listing is exhausted. A name
// removed since the listing was taken is passed over.
bool FillNext(FindState *state, WIN32_FIND_DATAW *data) {
    while (state->next < state->names.size()) {
        const std::string &name = state->names[state->next++];
        std::string full = JoinLinux(state->dir, name);
        struct stat st {};
        if (stat(full.c_str(), &st) != 0 && lstat(full.c_str(), &st) != 0) continue;
        WString wide = Utf8ToWide(name);
        if (wide.size() >= MAX_PATH) continue;  // cannot be named in cFileName
        std::memset(data, 0, sizeof *data);
        data->dwFileAttributes = AttributesOf(st);
        data->ftCreationTime = ToFileTime(st.st_ctim);
        data->ftLastAccessTime = ToFileTime(st.st_atim);
        data->ftLastWriteTime = ToFileTime(st.st_mtim);
        uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size);
        std::copy(wide.begin(), wide.end(), data->cFileName);
        return true;
    }
    return false;
}

// Windows lists "." and ".." first; the rest in byte order so that a listing is repeatable.
bool ListingOrder(const std::string &a, const std::string &b) {
    auto rank = [](const std::string &s) { return s == "." ? 0 : s == ".." ? 1 : 2; };
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    return a < b;
}

}  // namespace

extern "C" {

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (pattern == nullptr || data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    WinPath path;
    if (!SplitWinPath(pattern, &path) || path.parts.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (path.trailing) {  // "dir\" names no file to look for
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto state = std::make_unique<FindState>();
    DWORD error = Resolve(path, path.parts.size() - 1, &state->dir);
    struct stat st {};
    std::vector<std::string> names;
    int readError = 0;
    if (error == 0 && (stat(state->dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) error = ERROR_PATH_NOT_FOUND;
    if (error == 0 && !ReadNames(state->dir, &names, &readError)) error = Win32ErrorFromErrno(readError);
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const WString &wanted = path.parts.back();
    for (const std::string &name : names)
        if (MatchFindPattern(wanted, Utf8ToWide(name))) state->names.push_back(name);
    std::sort(state->names.begin(), state->names.end(), ListingOrder);
    if (!FillNext(state.get(), data)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return state.release();
}

BOOL WINAPI FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data) {
    if (search == nullptr || search == INVALID_HANDLE_VALUE || data == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!FillNext(static_cast<FindState *>(search), data)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE search) {
    if (search == nullptr || search == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete static_cast<FindState *>(search);
    return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR pathText) {
    WinPath path;
    if (pathText == nullptr || !SplitWinPath(pathText, &path) || (path.parts.empty() && !path.absolute)) {
        SetLastError(pathText == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string real;
    if (DWORD error = Resolve(path, path.parts.size(), &real); error != 0) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (path.trailing) real += '/';  // a file named with a trailing separator is not found
    struct stat st {};
    if (stat(real.c_str(), &st) != 0 && lstat(real.c_str(), &st) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(st);
}

}  // extern "C"
