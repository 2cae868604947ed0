// The INF script reader: the tokenizer that makes the lines buffer, and the line
// parser that cuts each logical line into a group header or an item record.
#pragma once

#include <climits>
#include <cstdint>

// LoadScript statuses.
enum : uint16_t {
    LOAD_OK = 0,
    LOAD_NO_MEMORY = 2,
    LOAD_FILE_ERROR = 13,
};

// The largest script LoadScript takes: its image and lines are counted in 32 bits.
constexpr uint32_t kMaxScriptSize = INT32_MAX - 2;

constexpr unsigned char QUOTE_MARK = 0x01;

// Character classes of the tokenizer's filter.
enum : uint8_t {
    CLASS_ORDINARY = 0,
    CLASS_BLANK = 1,
    CLASS_LINE_END = 2,
    CLASS_COMMA = 3,
    CLASS_DISCARD = 4,
};

// Reads the script at path into a pool block of NUL-terminated logical lines. A
// script past kMaxScriptSize fails with ERROR_FILE_TOO_LARGE as its last error.
uint16_t LoadScript(const char *path, char **lines, uint32_t *length, uint32_t *lineCount);
// The number of NUL bytes among the first length bytes of buffer.
uint32_t CountLines(const char *buffer, uint32_t length);
// Moves cursor over the bytes of set and over ';' comments (up to, not past, their LF).
const char *SkipOver(const char *cursor, const char *set);
// Tokenizes a file image (ending in LF and NUL) into out; returns the bytes written.
uint32_t TokenizeImage(const char *image, char *out);
// TokenizeImage that also writes, for each logical line (a last one without its NUL
// included), the 1-based line of the image on which it starts. lineStarts has room
// for one entry per LF of the image.
uint32_t TokenizeImageMapped(const char *image, char *out, uint32_t *lineStarts);

// Item flags.
constexpr uint8_t ITEM_VITAL = 0x01;

struct KeywordEntry {
    const char *keyword;
    int32_t value;
};

struct KeywordIndex {
    KeywordEntry *entries;
    uint32_t entryCount;
    const KeywordEntry *sourceTable;
    int32_t defaultValue;
};

extern const KeywordEntry FlagKeywords[];
extern KeywordIndex *FlagKeywordIndex;

// Parser state: strings point into the lines buffer.
extern char *groupName;
extern char *itemName;
extern char *commandLine;
extern char *iconFile;
extern char *iconIndexText;
extern char *flagWord;
extern uint8_t itemFlags;

char *ParseLine(char *line, int *isItem);
char *SplitField(char **dest, char *text);
char *SplitHeader(char **dest, char *text);
KeywordIndex *BuildKeywordIndex(const KeywordEntry *table);
int32_t LookupKeyword(const KeywordIndex *index, const char *word);
