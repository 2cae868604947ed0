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

// Without wildcard support every argument goes into the list as it is.
int expand_arg(const WCHAR *arg, arg_list *list) {
    add_arg_to_list(arg, list);
    return 0;
}

void CollectFileList(OptionRecordW *slot, int count, WCHAR **args) {
    init_arg_list(&ArgList, ARG_LIST_CAPACITY);
    for (int i = 0; i < count; i++) expand_arg(args[i], &ArgList);
    if (slot->target == nullptr || slot->length < sizeof(FileListValue)) return;
    FileListValue value{ArgList.count, ArgList.vector};
    std::memcpy(slot->target, &value, sizeof value);
}
