// The line parser: cuts one logical line of the lines buffer, in place, into a
// group header or an item record, and looks up the item's flag word.
#include "script/script.h"

#include <cstdlib>
#include <cstring>

const KeywordEntry FlagKeywords[] = {
    {"A", 1}, {"APPEND", 1}, {"O", 5}, {"OVERWRITE", 5}, {"P", 6}, {"PREPEND", 6}, {"V", 7}, {"VITAL", 7},
    {nullptr, 0},
};
KeywordIndex *FlagKeywordIndex;

char *groupName;
char *itemName;
char *commandLine;
char *iconFile;
char *iconIndexText;
char *flagWord;
uint8_t itemFlags;

namespace {

constexpr int32_t VITAL_VALUE = 7;

// Case-insensitive for A-Z only; other bytes by their unsigned value.
int AsciiCaseCompare(const char *a, const char *b) {
    for (;; a++, b++) {
        int x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y || x == 0) return x - y;
    }
}

int CompareEntries(const void *a, const void *b) {
    return AsciiCaseCompare(static_cast<const KeywordEntry *>(a)->keyword,
                            static_cast<const KeywordEntry *>(b)->keyword);
}

int CompareWordToEntry(const void *word, const void *entry) {
    return AsciiCaseCompare(static_cast<const char *>(word), static_cast<const KeywordEntry *>(entry)->keyword);
}

// The walk shared by fields and headers: quote marks choose the value's bytes,
// and the byte where the walk stops becomes NUL. Returns that byte's position.
char *CutValue(char **dest, char *text, const char *stops) {
    *dest = text;
    bool quoted = false;
    char *p = text;
    for (; *p != '\0' && std::strchr(stops, *p) == nullptr; p++) {
        if (static_cast<unsigned char>(*p) != QUOTE_MARK) continue;
        if (!quoted) {
            *dest = p + 1;
            quoted = true;
        } else {
            *p = '\0';  // the value ends at the closing mark; the walk goes on to the separator
        }
    }
    return p;
}

}  // namespace

char *SplitField(char **dest, char *text) {
    char *stop = CutValue(dest, text, ",=");
    if (*stop == '\0') return stop;  // the line's own end: later fields are empty, never the next line
    *stop = '\0';
    return stop + 1;
}

char *SplitHeader(char **dest, char *text) {
    char *stop = CutValue(dest, text, "]");
    *stop = '\0';
    return stop;
}

char *ParseLine(char *line, int *isItem) {
    char *next = line + std::strlen(line) + 1;
    if (line[0] == '[') {
        SplitHeader(&groupName, line + 1);
        *isItem = 0;
        return next;
    }
    char *label = nullptr;
    char *p = SplitField(&label, line);
    char **fields[] = {&itemName, &commandLine, &iconFile, &iconIndexText, &flagWord};
    for (char **field : fields) p = SplitField(field, p);
    itemFlags = 0;
    if (LookupKeyword(FlagKeywordIndex, flagWord) == VITAL_VALUE) itemFlags |= ITEM_VITAL;
    *isItem = 1;
    return next;
}

KeywordIndex *BuildKeywordIndex(const KeywordEntry *table) {
    auto *index = static_cast<KeywordIndex *>(std::malloc(sizeof(KeywordIndex)));
    if (index == nullptr) return nullptr;
    uint32_t n = 0;
    while (table[n].keyword != nullptr) n++;
    auto *entries = static_cast<KeywordEntry *>(std::calloc(n ? n : 1, sizeof(KeywordEntry)));
    if (entries == nullptr) {
        std::free(index);
        return nullptr;
    }
    std::memcpy(entries, table, n * sizeof(KeywordEntry));
    std::qsort(entries, n, sizeof(KeywordEntry), CompareEntries);
    index->entries = entries;
    index->entryCount = n;
    index->sourceTable = table;
    index->defaultValue = table[n].value;
    return index;
}

int32_t LookupKeyword(const KeywordIndex *index, const char *word) {
    if (index == nullptr || word == nullptr) return 0;
    const void *hit = std::bsearch(word, index->entries, index->entryCount, sizeof(KeywordEntry), CompareWordToEntry);
    return hit != nullptr ? static_cast<const KeywordEntry *>(hit)->value : index->defaultValue;
}
