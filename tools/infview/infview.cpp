// infview: shows how the script reader takes an INF script, line by line, and
// warns about the likely mistakes that the reader itself accepts silently.
// Exit status: 0 clean, 1 with warnings, 2 when the script cannot be read.
#include "script/script.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A logical line with its quote marks made visible.
std::string Visible(const char *line) {
    std::string s;
    for (const char *p = line; *p != '\0'; p++) {
        if (static_cast<unsigned char>(*p) == QUOTE_MARK)
            s += "\xE2\x90\x81";  // U+2401, the symbol for the quote mark byte
        else
            s += *p;
    }
    return s;
}

struct Checker {
    int warnings = 0;

    void Warn(uint32_t line, const char *what) {
        std::printf("warning: line %u: %s\n", line, what);
        warnings++;
    }

    // Checks the raw fields of an item line before the parser cuts them.
    void CheckFields(uint32_t number, const char *line) {
        int separators = 0;
        int marks = 0;
        bool cut = false;
        for (const char *p = line; separators < 6; p++) {
            if (*p == ',' || *p == '=' || *p == '\0') {
                if (marks % 2 != 0) cut = true;  // a quote opened in this field never closed in it
                marks = 0;
                if (*p == '\0') break;
                separators++;
            } else if (static_cast<unsigned char>(*p) == QUOTE_MARK) {
                marks++;
            }
        }
        if (separators < 5) Warn(number, "fewer than six fields: the missing ones are empty");
        if (cut) Warn(number, "a ',' or '=' inside quotes ends the field: the later fields move one place on");
    }
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: infview SCRIPT.inf\n");
        return 2;
    }
    FlagKeywordIndex = BuildKeywordIndex(FlagKeywords);
    char *lines = nullptr;
    uint32_t length = 0, lineCount = 0;
    uint16_t status = LoadScript(argv[1], &lines, &length, &lineCount);
    if (status != LOAD_OK) {
        std::fprintf(stderr, "infview: cannot read %s (%s)\n", argv[1],
                     status == LOAD_NO_MEMORY ? "not enough memory" : "cannot open or read the file");
        return 2;
    }

    Checker check;
    char *cursor = lines;
    for (uint32_t i = 1; i <= lineCount; i++) {
        std::printf("line %u: %s\n", i, Visible(cursor).c_str());
        bool header = cursor[0] == '[';
        if (!header) check.CheckFields(i, cursor);
        int isItem = 0;
        cursor = ParseLine(cursor, &isItem);
        if (!isItem) {
            std::printf("  group \"%s\"\n", groupName);
            continue;
        }
        std::printf("  item in %s%s%s: name \"%s\", command \"%s\", icon file \"%s\", icon index \"%s\", flag word \"%s\"%s\n",
                    groupName ? "\"" : "", groupName ? groupName : "(no group)", groupName ? "\"" : "", itemName,
                    commandLine, iconFile, iconIndexText, flagWord, (itemFlags & ITEM_VITAL) ? " (vital)" : "");
        if (groupName == nullptr) check.Warn(i, "an item before the first group header is skipped");
        if (flagWord[0] != '\0' && LookupKeyword(FlagKeywordIndex, flagWord) == 0)
            check.Warn(i, "unknown flag word: it sets no flag");
    }
    if (cursor < lines + length)
        check.Warn(lineCount + 1, "the script ends inside a continued line: a '+' at its end swallowed that line");

    std::printf("%u line%s, %d warning%s\n", lineCount, lineCount == 1 ? "" : "s", check.warnings,
                check.warnings == 1 ? "" : "s");
    return check.warnings ? 1 : 0;
}
