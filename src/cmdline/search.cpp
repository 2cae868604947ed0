// The directory searches of a wildcard expansion: the process-wide search list and
// the scan of one directory through the platform's directory services.
#include "cmdline/arglist.h"
#include "platform/wstr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

search_entry *SearchList;

namespace {

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

void FreeEntry(search_entry *entry) {
    std::free(entry->dir);
    std::free(entry->pattern);
    std::free(entry->rest);
    std::free(entry);
}

// Joins up to three texts into a PATH_BUFFER buffer; false, with nothing usable in
// out, when the result would not fit.
bool JoinPath(WCHAR *out, const WCHAR *a, const WCHAR *b, const WCHAR *c) {
    size_t used = 0;
    for (const WCHAR *part : {a, b, c}) {
        size_t n = WStrLen(part);
        if (used + n >= PATH_BUFFER) return false;
        std::memcpy(out + used, part, n * sizeof(WCHAR));
        used += n;
    }
    out[used] = 0;
    return true;
}

bool IsDotName(const WCHAR *name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

}  // namespace

int add_search_list(const WCHAR *dir, const WCHAR *pattern, const WCHAR *rest) {
    static const char *const dupFailed[] = {
        "add_search_list: not enough memory (strdup1)",
        "add_search_list: not enough memory (strdup2)",
        "add_search_list: not enough memory (strdup3)",
    };
    auto *entry = static_cast<search_entry *>(std::calloc(1, sizeof(search_entry)));
    if (entry == nullptr) {
        std::fputs("add_search_list: not enough memory (malloc)", stderr);
        return -1;
    }
    WCHAR **fields[] = {&entry->dir, &entry->pattern, &entry->rest};
    const WCHAR *texts[] = {dir, pattern, rest};
    for (int i = 0; i < 3; i++) {
        if ((*fields[i] = WStrDup(texts[i])) == nullptr) {
            std::fputs(dupFailed[i], stderr);
            FreeEntry(entry);  // never linked, so nothing else refers to it
            return -1;
        }
        WStrLower(*fields[i]);
    }
    search_entry **tail = &SearchList;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = entry;
    return 0;
}

// Depth first: the searches a directory yields run before those already waiting.
void run_search_list(arg_list *list) {
    while (SearchList != nullptr) {
        search_entry *head = SearchList;
        search_entry *waiting = head->next;
        head->next = nullptr;
        int result = search_dir(head, list);  // appends its searches right behind head
        search_entry *last = head;
        while (last->next != nullptr) last = last->next;
        last->next = waiting;
        SearchList = head->next;
        FreeEntry(head);
        if (result == -1) {  // the whole expansion ends: drop everything still waiting
            while (SearchList != nullptr) {
                search_entry *entry = SearchList;
                SearchList = entry->next;
                FreeEntry(entry);
            }
        }
    }
}

int path_exists(const WCHAR *path) {
    WCHAR copy[PATH_BUFFER];
    if (!JoinPath(copy, path, WIDE(""), WIDE(""))) return 0;
    size_t n = WStrLen(copy);
    while (n > 1 && IsSeparator(copy[n - 1])) copy[--n] = 0;
    return GetFileAttributesW(copy) != INVALID_FILE_ATTRIBUTES;
}

int search_dir(const search_entry *entry, arg_list *list) {
    WCHAR searchPath[PATH_BUFFER];
    if (!JoinPath(searchPath, entry->dir, WIDE("*.*"), WIDE(""))) return 0;  // too deep to search: skipped
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(searchPath, &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
    int result = 0;
    do {
        if (IsDotName(found.cFileName)) continue;
        WStrLower(found.cFileName);
        WCHAR candidate[PATH_BUFFER];
        if (!JoinPath(candidate, entry->dir, found.cFileName, entry->rest)) continue;  // too long: skipped
        size_t nameEnd = WStrLen(entry->dir) + WStrLen(found.cFileName);  // before match_wild rewrites the name
        if (!match_wild(entry->pattern, found.cFileName)) continue;
        // The found name is literal text: only the rest of the argument can hold a
        // further wildcard, so a name such as 'a[1].c' is never taken for a pattern.
        WCHAR subDir[PATH_BUFFER], pattern[PATH_BUFFER], rest[PATH_BUFFER];
        if (split_wild_path(entry->rest, subDir, pattern, rest)) {
            WCHAR dir[PATH_BUFFER];
            std::memcpy(dir, candidate, nameEnd * sizeof(WCHAR));
            WStrCopy(dir + nameEnd, subDir);  // a prefix of candidate, so it fits
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && path_exists(dir))
                add_search_list(dir, pattern, rest);
            continue;
        }
        if (path_exists(candidate) && add_arg_to_list(candidate, list) == -1) {
            result = -1;
            break;
        }
    } while (FindNextFileW(search, &found));
    if (result == 0 && GetLastError() != ERROR_NO_MORE_FILES) result = -1;
    FindClose(search);
    return result;
}
