// The argument list of the parser's file-list slots, with wildcard expansion.
#pragma once

#include "cmdline/cmdline.h"

#include <cstdint>

struct arg_list {
    int32_t count;             // arguments stored
    WCHAR **vector;            // initial_capacity + 1 entries; null after the last argument
    WCHAR **next_slot;         // where the next argument goes
    int32_t capacity;          // most arguments the list takes
    int32_t initial_capacity;  // the capacity given at reset
    WCHAR *buffer;             // the argument texts, back to back
    WCHAR *cursor;             // next free character of buffer
    WCHAR *end;                // the end mark: a text and its NUL end at or before it
};

struct search_entry {
    search_entry *next;
    WCHAR *dir;      // lowercased directory prefix with its separators, possibly empty
    WCHAR *pattern;  // lowercased component holding the first wildcard
    WCHAR *rest;     // lowercased remainder from its separator on, possibly empty
};

constexpr int32_t ARG_LIST_CAPACITY = 10220;  // entries, and characters of text
constexpr int PATH_BUFFER = 128;              // every path built here holds at most 127 characters

extern arg_list ArgList;

void init_arg_list(arg_list *list, int32_t capacity);
int expand_arg(const WCHAR *arg, arg_list *list);
int add_arg_to_list(const WCHAR *text, arg_list *list);

// The parser's entry: resets the list, expands every argument into it, and stores
// the count and the vector in the slot's target.
void CollectFileList(OptionRecordW *slot, int count, WCHAR **args);
