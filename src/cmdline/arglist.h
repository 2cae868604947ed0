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
// The pending directory searches of the expansion under way; empty between expansions.
extern search_entry *SearchList;

void init_arg_list(arg_list *list, int32_t capacity);
// Adds arg to the list, expanded to the matching names or unchanged: 1 if expanded, else 0.
int expand_arg(const WCHAR *arg, arg_list *list);
// Appends a copy of text: 0, or -1 after a message at either limit or out of memory.
int add_arg_to_list(const WCHAR *text, arg_list *list);
// Sorts the k entries at first by code unit, with the bubble sort's early end.
void sort_arg_range(WCHAR **first, int32_t k);

// Appends a search with lowercased copies of the three pieces: 0, or -1 after a message.
int add_search_list(const WCHAR *dir, const WCHAR *pattern, const WCHAR *rest);
// Runs the search list depth first until it is empty, adding every match to list.
void run_search_list(arg_list *list);
// Scans entry's directory once, adding matches and queueing deeper searches: 0, or -1.
int search_dir(const search_entry *entry, arg_list *list);
// 1 and the three pieces (each a PATH_BUFFER buffer) when path has a component with a
// wildcard; 0 when it has none or is too long for the buffers.
int split_wild_path(const WCHAR *path, WCHAR *dir, WCHAR *pattern, WCHAR *rest);
// 1 if path, less its trailing separators, exists; 0 otherwise or when too long.
int path_exists(const WCHAR *path);
// 1 if name matches pattern (both lowercase); name is rewritten in place, so pass a scratch copy.
int match_wild(const WCHAR *pattern, WCHAR *name);

// The parser's entry: resets the list, expands every argument into it, and stores
// the count and the vector in the slot's target.
void CollectFileList(OptionRecordW *slot, int count, WCHAR **args);
