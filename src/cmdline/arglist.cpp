// The process-wide argument list of the file-list slots and the expansion of one argument.
#include "cmdline/arglist.h"
#include "platform/wstr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

arg_list ArgList;

void init_arg_list(arg_list *list, int32_t capacity) {
    list->count = 0;
    list->vector = nullptr;
    list->next_slot = nullptr;
    list->buffer = nullptr;
    list->cursor = nullptr;
    list->end = nullptr;
    list->capacity = capacity;
    list->initial_capacity = capacity;
}

// The vector and the text buffer are allocated at the first add and never freed: the
// vectors handed out by earlier parses stay valid.
int add_arg_to_list(const WCHAR *text, arg_list *list) {
    if (list->count >= list->capacity) {
        std::fputs("add_arg_to_list: too many arguments\n", stderr);
        return -1;
    }
    if (list->vector == nullptr) {
        list->vector = static_cast<WCHAR **>(std::calloc(static_cast<size_t>(list->initial_capacity) + 1, sizeof(WCHAR *)));
        if (list->vector == nullptr) {
            std::fputs("add_arg_to_list: not enough memory\n", stderr);
            return -1;
        }
        list->count = 0;
        list->next_slot = list->vector;
        list->capacity = list->initial_capacity;
    }
    if (list->buffer == nullptr) {
        list->buffer = static_cast<WCHAR *>(std::malloc(ARG_LIST_CAPACITY * sizeof(WCHAR)));
        if (list->buffer == nullptr) {
            std::fputs("add_arg_to_list: not enough memory\n", stderr);
            return -1;
        }
        list->cursor = list->buffer;
        list->end = list->buffer + (ARG_LIST_CAPACITY - 1);
    }
    size_t n = WStrLen(text);
    if (n + 1 > static_cast<size_t>(list->end - list->cursor)) {
        std::fputs("add_arg_to_list: argument buffer too small\n", stderr);
        return -1;
    }
    WStrCopy(list->cursor, text);
    *list->next_slot++ = list->cursor;
    *list->next_slot = nullptr;
    list->cursor += n + 1;
    list->count++;
    return 0;
}

void sort_arg_range(WCHAR **first, int32_t k) {
    for (int32_t pass = 1; pass < k; pass++) {
        bool swapped = false;
        for (int32_t j = 0; j < k - pass; j++) {
            if (first[j] == nullptr || first[j + 1] == nullptr) {
                std::fputs("internal error 1\n", stderr);
                continue;
            }
            int order = WStrNCmp(first[j], first[j + 1], PATH_BUFFER);
            // Entries that agree over nearly a whole path buffer are duplicates (names differing only
            // in case on disk) or at the edge of what the comparison tells apart.
            if (WStrNCmp(first[j], first[j + 1], PATH_BUFFER - 2) == 0) std::fputs("internal error 2\n", stderr);
            if (order > 0) {
                WCHAR *t = first[j];
                first[j] = first[j + 1];
                first[j + 1] = t;
                swapped = true;
            }
        }
        if (!swapped) break;
    }
}

int expand_arg(const WCHAR *arg, arg_list *list) {
    const int32_t before = list->count;
    WCHAR **first = list->next_slot;
    WCHAR dir[PATH_BUFFER], pattern[PATH_BUFFER], rest[PATH_BUFFER];
    if (split_wild_path(arg, dir, pattern, rest)) {
        add_search_list(dir, pattern, rest);
        run_search_list(list);
    }
    if (list->count == before) {
        add_arg_to_list(arg, list);
        return 0;
    }
    // Only this argument's entries are sorted: the list keeps the order of the arguments.
    sort_arg_range(first != nullptr ? first : list->vector, list->count - before);
    return 1;
}

void CollectFileList(OptionRecordW *slot, int count, WCHAR **args) {
    init_arg_list(&ArgList, ARG_LIST_CAPACITY);
    for (int i = 0; i < count; i++) expand_arg(args[i], &ArgList);
    if (slot->target == nullptr || slot->length < sizeof(FileListValue)) return;
    FileListValue value{ArgList.count, ArgList.vector};
    std::memcpy(slot->target, &value, sizeof value);
}
