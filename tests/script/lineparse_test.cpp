#include "script/script.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Parsed {
    int isItem;
    std::string group, name, command, icon, index, flag;
    uint8_t flags;
};

// Parses every line of a lines buffer (NUL-separated, '^' for the quote mark).
std::vector<Parsed> ParseAll(std::string text) {
    for (char &c : text) c = c == '^' ? '\x01' : c == '|' ? '\0' : c;
    static KeywordIndex *index = BuildKeywordIndex(FlagKeywords);
    FlagKeywordIndex = index;
    groupName = nullptr;
    std::vector<Parsed> out;
    std::vector<char> buffer(text.begin(), text.end());
    char *cursor = buffer.data();
    uint32_t lines = CountLines(buffer.data(), static_cast<uint32_t>(buffer.size()));
    for (uint32_t i = 0; i < lines; i++) {
        int isItem = -1;
        char *next = ParseLine(cursor, &isItem);
        EXPECT_LE(next, buffer.data() + buffer.size());
        cursor = next;
        Parsed p{isItem, groupName ? groupName : "(null)", "", "", "", "", "", 0};
        if (isItem) p = {isItem, p.group, itemName, commandLine, iconFile, iconIndexText, flagWord, itemFlags};
        out.push_back(p);
    }
    return out;
}

TEST(ParseLine, WorkedExample) {
    auto r = ParseAll(
        "[Accessories]|Calc = ^Calculator^,calc.exe,calc.exe,0,VITAL|"
        "Notes = ^Note \"Pad\"^,notepad.exe readme.txt,notepad.exe,1,O|"
        "Clock = ^Clock^,clock.exe,clock.exe,0,|[ ^Games^ ]|Sol=Solitaire,sol.exe,sol.exe,0,append|");
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[0].isItem, 0);
    EXPECT_EQ(r[0].group, "Accessories");
    EXPECT_EQ(r[1].name, "Calculator");
    EXPECT_EQ(r[1].command, "calc.exe");
    EXPECT_EQ(r[1].icon, "calc.exe");
    EXPECT_EQ(r[1].index, "0");
    EXPECT_EQ(r[1].flag, "VITAL");
    EXPECT_EQ(r[1].flags, ITEM_VITAL);
    EXPECT_EQ(r[2].name, "Note \"Pad\"");
    EXPECT_EQ(r[2].command, "notepad.exe readme.txt");
    EXPECT_EQ(r[2].index, "1");
    EXPECT_EQ(r[2].flags, 0);
    EXPECT_EQ(r[3].name, "Clock");
    EXPECT_EQ(r[3].flag, "");
    EXPECT_EQ(r[4].group, "Games");
    EXPECT_EQ(r[5].group, "Games");
    EXPECT_EQ(r[5].name, "Solitaire");
    EXPECT_EQ(r[5].flag, "append");
    EXPECT_EQ(r[5].flags, 0);
}

TEST(ParseLine, Headers) {
    struct Case {
        const char *line;
        const char *group;
    } cases[] = {
        {"[ Startup Items ]|", " Startup Items "},
        {"[^Startup Items^]|", "Startup Items"},
        {"[No close|", "No close"},
        {"[]|", ""},
        {"[a,b=c]tail|", "a,b=c"},
    };
    for (const Case &c : cases) {
        auto r = ParseAll(c.line);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].isItem, 0) << c.line;
        EXPECT_EQ(r[0].group, c.group) << c.line;
    }
    EXPECT_EQ(ParseAll("^[x]^,a,b,c,d,e|")[0].isItem, 1);  // a quote mark first: an item
}

TEST(ParseLine, ItemFields) {
    struct Case {
        const char *line;
        const char *name, *command, *icon, *index, *flag;
    } cases[] = {
        {"L,^Calculator, Scientific^,calc.exe,c.ico,0,V|", "Calculator", "", "calc.exe", "c.ico", "0"},
        {"L= spaced,cmd,ico, 3 ,V|", " spaced", "cmd", "ico", " 3 ", "V"},
        {"L=^q^ tail,cmd,ico,1,o,extra,more|", "q", "cmd", "ico", "1", "o"},
        {"L,,,,,|", "", "", "", "", ""},
        {"short,only|", "only", "", "", "", ""},
        {"alone|", "", "", "", "", ""},
    };
    for (const Case &c : cases) {
        auto r = ParseAll(std::string(c.line) + "[next]|");
        ASSERT_EQ(r.size(), 2u) << c.line;
        EXPECT_EQ(r[0].isItem, 1);
        EXPECT_EQ(r[0].group, "(null)");  // before the first header
        EXPECT_EQ(r[0].name, c.name) << c.line;
        EXPECT_EQ(r[0].command, c.command) << c.line;
        EXPECT_EQ(r[0].icon, c.icon) << c.line;
        EXPECT_EQ(r[0].index, c.index) << c.line;
        EXPECT_EQ(r[0].flag, c.flag) << c.line;
        EXPECT_EQ(r[1].group, "next") << c.line;  // a short line never eats the next one
    }
}

TEST(Keywords, FlagWords) {
    KeywordIndex *index = BuildKeywordIndex(FlagKeywords);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->entryCount, 8u);
    struct Case {
        const char *word;
        int32_t value;
    } cases[] = {{"v", 7},         {"Vital", 7},     {"VITAL", 7}, {"o", 5},   {"Overwrite", 5}, {"A", 1},
                 {"append", 1},    {"P", 6},         {"prepend", 6}, {"Vit", 0}, {"VITAL OVERWRITE", 0},
                 {"", 0},          {"[", 0}};
    for (const Case &c : cases) EXPECT_EQ(LookupKeyword(index, c.word), c.value) << c.word;
    EXPECT_EQ(LookupKeyword(nullptr, "V"), 0);
    EXPECT_EQ(LookupKeyword(index, nullptr), 0);

    const KeywordEntry custom[] = {{"b", 2}, {"a", 1}, {nullptr, -9}};
    KeywordIndex *other = BuildKeywordIndex(custom);
    EXPECT_EQ(LookupKeyword(other, "B"), 2);
    EXPECT_EQ(LookupKeyword(other, "c"), -9);  // the end record's value is the default
    for (KeywordIndex *i : {index, other}) {
        std::free(i->entries);
        std::free(i);
    }
}

TEST(Keywords, NullIndexGivesNoFlags) {
    FlagKeywordIndex = nullptr;
    std::string line = "L,n,c,i,0,VITAL";
    int isItem = 0;
    ParseLine(line.data(), &isItem);
    EXPECT_EQ(itemFlags, 0);
}

}  // namespace
