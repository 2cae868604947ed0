// The table-driven command-line parser: an option table of records says how
// each switch or positional argument is converted and where it is stored.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Kinds: how a value is converted and stored.
enum : uint16_t {
    KIND_NONE = 0,
    KIND_BOOLEAN = 1,
    KIND_BYTE = 2,
    KIND_CHAR = 3,
    KIND_STRING = 4,
    KIND_SHORT = 5,
    KIND_USHORT = 6,
    KIND_LONG = 7,
    KIND_ULONG = 8,
    KIND_HEX_SHORT = 9,
    KIND_HEX_LONG = 10,
    KIND_UINT = 11,
    KIND_STRING2 = 12,
    KIND_STRING3 = 13,
    KIND_REST_OF_LINE = 14,
    KIND_FILE_LIST = 15,
    KIND_STRIP_BACKSLASH = 16,
};

// Record flags.
enum : uint16_t {
    OPTION_REQUIRED = 0x0001,
    OPTION_SEEN = 0x0002,
};

// Status bits returned by the parser.
enum : uint16_t {
    PARSE_REQUIRED_MISSING = 0x0001,
    PARSE_BAD_ARGUMENT = 0x0002,
    PARSE_REPEATED = 0x0004,
    PARSE_NO_ARGUMENTS = 0x0008,
    PARSE_OVERFLOW = 0x0010,
    PARSE_NO_MEMORY = 0x0020,
};

// Call flags.
enum : uint32_t {
    PARSEFLAG_CONTINUE = 0x0001,
    PARSEFLAG_STOP_AFTER_VALUE = 0x0002,
    PARSEFLAG_IGNORE_UNKNOWN = 0x0004,
    PARSEFLAG_KEEP_TARGETS = 0x0008,
};

// One switch ('/' or '-' first) or positional slot (any other first character).
// length counts characters for the string kinds and bytes for the others.
struct OptionRecord {
    const char *name;
    uint16_t flags;
    uint16_t kind;
    uint16_t length;
    void *target;
};

struct OptionRecordW {
    const WCHAR *name;
    uint16_t flags;
    uint16_t kind;
    uint16_t length;
    void *target;
};

// What a KIND_FILE_LIST slot stores: the count, then the list's null-terminated vector.
// Its length is sizeof(FileListValue) (the pointer is 64 bits wide on 64-bit targets).
struct FileListValue {
    int32_t count;
    WCHAR **vector;
};

inline bool IsStringKind(uint16_t kind) {
    return kind == KIND_STRING || kind == KIND_STRING2 || kind == KIND_STRING3 || kind == KIND_REST_OF_LINE ||
           kind == KIND_STRIP_BACKSLASH;
}

// Narrow front end: wide copies of the arguments and table, the core, results copied back.
uint16_t ParseArguments(int count, char **args, OptionRecord *table, uint32_t callFlags);
// The wide core.
uint16_t ParseArgumentsW(int count, WCHAR **args, OptionRecordW *table, uint32_t callFlags);
// Converts value by the record's kind into its target; 1 when stored, 0 when refused.
int StoreOptionValue(OptionRecordW *record, const WCHAR *value);
