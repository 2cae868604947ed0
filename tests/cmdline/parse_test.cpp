#include "cmdline/cmdline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Targets of a test table covering every kind, as narrow storage.
struct Targets {
    int32_t flag = -1, boolean = -1, lng = -1, ulng = -1, hexl = -1, uint = -1;
    uint8_t byte = 0xEE;
    uint16_t chr = 0xEEEE, shrt = 0xEEEE, ushrt = 0xEEEE, hexs = 0xEEEE;
    char str[8] = "old", str2[8] = "old", strip[8] = "old";
    char pos[16] = "old", rest[16] = "old";
};

struct Table {
    Targets t;
    std::vector<OptionRecord> records;
    Table() {
        records = {
            {"/x", 0, KIND_NONE, 0, nullptr},
            {"/f", 0, KIND_BOOLEAN, 4, &t.flag},
            {"/b", 0, KIND_BYTE, 1, &t.byte},
            {"/c", 0, KIND_CHAR, 2, &t.chr},
            {"/s", 0, KIND_STRING, sizeof t.str, t.str},
            {"/h", 0, KIND_SHORT, 2, &t.shrt},
            {"/us", 0, KIND_USHORT, 2, &t.ushrt},
            {"/n", 0, KIND_LONG, 4, &t.lng},
            {"/un", 0, KIND_ULONG, 4, &t.ulng},
            {"/xs", 0, KIND_HEX_SHORT, 2, &t.hexs},
            {"/xl", 0, KIND_HEX_LONG, 4, &t.hexl},
            {"/u", 0, KIND_UINT, 4, &t.uint},
            {"/s2", 0, KIND_STRING2, sizeof t.str2, t.str2},
            {"/sb", 0, KIND_STRIP_BACKSLASH, sizeof t.strip, t.strip},
            {"pos", 0, KIND_STRING, sizeof t.pos, t.pos},
            {nullptr, 0, 0, 0, nullptr},
        };
    }
    uint16_t Parse(std::vector<std::string> args, uint32_t flags = 0) {
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        return ParseArguments(static_cast<int>(argv.size()), argv.data(), records.data(), flags);
    }
    uint16_t FlagsOf(const char *name) const {
        for (const auto &r : records)
            if (r.name != nullptr && std::strcmp(r.name, name) == 0) return r.flags;
        return 0xFFFF;
    }
};

TEST(ParseArguments, ConvertsEveryKind) {
    Table tb;
    EXPECT_EQ(tb.Parse({"/x", "-F", "/b:300", "/c", "zed", "/s:abc", "/h:-2", "/us:70000", "/n", "-5x", "/un:7",
                        "/xs:0x1ffff", "/xl", "fF", "/u:abc", "/s2:q", "/sb:\\\\srv", "p"},
                       PARSEFLAG_CONTINUE),
              PARSE_BAD_ARGUMENT);  // only "/n" followed by "-5x": a switch-like value is no value
    const Targets &t = tb.t;
    EXPECT_EQ(t.flag, 1);
    EXPECT_EQ(t.byte, 300 & 0xFF);
    EXPECT_EQ(t.chr, u'z');
    EXPECT_STREQ(t.str, "abc");
    EXPECT_EQ(t.shrt, 0xFFFE);
    EXPECT_EQ(t.ushrt, 70000 & 0xFFFF);
    EXPECT_EQ(t.lng, 0);  // cleared, never stored
    EXPECT_EQ(t.ulng, 7);
    EXPECT_EQ(t.hexs, 0xFFFF);
    EXPECT_EQ(t.hexl, 0xFF);
    EXPECT_EQ(t.uint, 0);  // no digits store 0
    EXPECT_STREQ(t.str2, "q");
    EXPECT_STREQ(t.strip, "\\srv");
    EXPECT_STREQ(t.pos, "p");
    EXPECT_TRUE(tb.FlagsOf("/x") & OPTION_SEEN);
    EXPECT_TRUE(tb.FlagsOf("/u") & OPTION_SEEN);
    EXPECT_FALSE(tb.FlagsOf("/n") & OPTION_SEEN);
}

struct StatusCase {
    const char *label;
    std::vector<std::string> args;
    uint32_t flags;
    uint16_t status;
};

TEST(ParseArguments, StatusBits) {
    const StatusCase cases[] = {
        {"empty", {}, 0, PARSE_NO_ARGUMENTS},
        {"unknown switch", {"/zz"}, 0, PARSE_BAD_ARGUMENT},
        {"abbreviation", {"/s2x:1"}, 0, PARSE_BAD_ARGUMENT},
        {"ignored unknown", {"/zz", "p"}, PARSEFLAG_IGNORE_UNKNOWN, 0},
        {"repeat", {"/f", "/f"}, 0, PARSE_REPEATED},
        {"second positional", {"a", "b"}, 0, PARSE_OVERFLOW},
        {"second positional goes on", {"a", "b", "/zz", "/f"}, PARSEFLAG_CONTINUE, PARSE_OVERFLOW | PARSE_BAD_ARGUMENT},
        {"ulong minus", {"/un:-5"}, 0, PARSE_BAD_ARGUMENT},
        {"hex minus", {"/xl", "-1"}, 0, PARSE_BAD_ARGUMENT},
        {"missing number", {"/n"}, 0, PARSE_BAD_ARGUMENT},
        {"string2 missing", {"/s2", "/f"}, 0, PARSE_BAD_ARGUMENT},
        {"string2 empty", {"/s2:"}, 0, PARSE_BAD_ARGUMENT},
        {"none with value", {"/x:1"}, 0, PARSE_BAD_ARGUMENT},
        {"string missing", {"/s"}, 0, 0},
        {"equals is no value", {"/n=5"}, 0, PARSE_BAD_ARGUMENT},
    };
    for (const StatusCase &c : cases) {
        Table tb;
        EXPECT_EQ(tb.Parse(c.args, c.flags), c.status) << c.label;
    }
}

TEST(ParseArguments, NoArgumentsTouchesNothing) {
    Table tb;
    tb.records[1].flags = OPTION_REQUIRED;
    EXPECT_EQ(tb.Parse({}), PARSE_NO_ARGUMENTS);
    EXPECT_EQ(tb.t.flag, -1);
    EXPECT_STREQ(tb.t.pos, "old");
}

TEST(ParseArguments, RequiredCheckRunsOnlyAfterAllArguments) {
    Table tb;
    tb.records[1].flags = OPTION_REQUIRED;
    EXPECT_EQ(tb.Parse({"p"}), PARSE_REQUIRED_MISSING);
    Table stopped;
    stopped.records[1].flags = OPTION_REQUIRED;
    EXPECT_EQ(stopped.Parse({"/zz"}), PARSE_BAD_ARGUMENT);  // a stop skips the check
}

TEST(ParseArguments, NumberSwitchValues) {
    struct Case {
        std::vector<std::string> args;
        uint32_t flags;
        uint16_t status;
        int32_t value;
    } cases[] = {
        {{"/n:5"}, 0, 0, 5},
        {{"/n", "5"}, 0, 0, 5},
        {{"/N:-5"}, 0, 0, -5},
        {{"/n:abc"}, 0, 0, 0},
        {{"/n", "-5"}, 0, PARSE_BAD_ARGUMENT, 0},
        // Under CONTINUE the "-5" is then tried as a switch, and is unknown.
        {{"/n", "-5", "/n:9"}, PARSEFLAG_CONTINUE, PARSE_BAD_ARGUMENT, 9},
    };
    for (const Case &c : cases) {
        Table tb;
        EXPECT_EQ(tb.Parse(c.args, c.flags), c.status) << c.args[0];
        EXPECT_EQ(tb.t.lng, c.value) << c.args[0];
    }
}

TEST(ParseArguments, RepeatedSwitchKeepsTheLastValue) {
    Table tb;
    EXPECT_EQ(tb.Parse({"/n:1", "-N", "2"}), PARSE_REPEATED);
    EXPECT_EQ(tb.t.lng, 2);
}

TEST(ParseArguments, StringsAreCutToTheirTarget) {
    Table tb;
    EXPECT_EQ(tb.Parse({"/s:abcdefghij", "abcdefghijklmnopqrstuvwxyz"}), 0);
    EXPECT_STREQ(tb.t.str, "abcdefg");
    EXPECT_STREQ(tb.t.pos, "abcdefghijklmno");
}

TEST(ParseArguments, LoneSlashSelectsTheOneCharacterRecord) {
    std::vector<std::string> args[] = {{"/", "v"}, {"-"}, {"/:text"}, {"/:/abs/x.inf"}};
    const char *expect[] = {"v", "", "text", "/abs/x.inf"};  // a ':' before the second '/': still a switch
    for (int i = 0; i < 4; i++) {
        char pos[16] = "old";
        int32_t flag = 0;
        OptionRecord table[] = {
            {" ", 0, KIND_STRING, sizeof pos, pos},
            {"/f", 0, KIND_BOOLEAN, 4, &flag},
            {nullptr, 0, 0, 0, nullptr},
        };
        std::vector<char *> argv;
        for (auto &a : args[i]) argv.push_back(a.data());
        EXPECT_EQ(ParseArguments(static_cast<int>(argv.size()), argv.data(), table, 0), 0) << i;
        EXPECT_STREQ(pos, expect[i]) << i;
        EXPECT_TRUE(table[0].flags & OPTION_SEEN);
    }
}

TEST(ParseArguments, RestOfLineTakesEverythingAfterIt) {
    char rest[12] = {};
    int32_t flag = 0;
    OptionRecord table[] = {
        {"/b", 0, KIND_BOOLEAN, 4, &flag},
        {"r", 0, KIND_REST_OF_LINE, sizeof rest, rest},
        {nullptr, 0, 0, 0, nullptr},
    };
    std::string a = "a", b = "/b", c = "c";
    char *argv[] = {a.data(), b.data(), c.data()};
    EXPECT_EQ(ParseArguments(3, argv, table, 0), 0);
    EXPECT_STREQ(rest, "a /b c");
    EXPECT_EQ(flag, 0);

    std::string big = "toolong";
    char *over[] = {a.data(), b.data(), big.data(), c.data()};
    EXPECT_EQ(ParseArguments(4, over, table, PARSEFLAG_CONTINUE), PARSE_OVERFLOW);
    EXPECT_STREQ(rest, "a /b");  // "a /b toolong" needs 13 characters with its NUL
}

TEST(ParseArguments, StripBackslashPositional) {
    struct Case {
        const char *arg;
        const char *stored;
    } cases[] = {{"\\-x", "-x"}, {"\\\\srv", "\\srv"}, {"\\", ""}, {"plain", "plain"}};
    for (const Case &c : cases) {
        char out[16] = "old";
        OptionRecord table[] = {{"p", 0, KIND_STRIP_BACKSLASH, sizeof out, out}, {nullptr, 0, 0, 0, nullptr}};
        std::string a = c.arg;
        char *argv[] = {a.data()};
        EXPECT_EQ(ParseArguments(1, argv, table, 0), 0) << c.arg;
        EXPECT_STREQ(out, c.stored) << c.arg;
    }
}

TEST(ParseArguments, StopAfterValue) {
    Table tb;
    EXPECT_EQ(tb.Parse({"/f", "/x", "/n:3", "/n:4"}, PARSEFLAG_STOP_AFTER_VALUE), 0);
    EXPECT_EQ(tb.t.flag, 1);
    EXPECT_EQ(tb.t.lng, 3);
    Table positional;
    EXPECT_EQ(positional.Parse({"p", "q"}, PARSEFLAG_STOP_AFTER_VALUE), 0);  // q never reached
    EXPECT_STREQ(positional.t.pos, "p");
}

TEST(ParseArguments, KeepTargets) {
    Table tb;
    EXPECT_EQ(tb.Parse({"/x"}, PARSEFLAG_KEEP_TARGETS), 0);
    EXPECT_EQ(tb.t.flag, -1);
    EXPECT_EQ(tb.t.lng, -1);
    Table cleared;
    EXPECT_EQ(cleared.Parse({"/x"}), 0);
    EXPECT_EQ(cleared.t.flag, 0);
    EXPECT_STREQ(cleared.t.pos, "");
}

TEST(ParseArguments, ASecondParseSeesTheMarksOfTheFirst) {
    Table tb;
    EXPECT_EQ(tb.Parse({"/f"}), 0);
    EXPECT_EQ(tb.Parse({"/f"}), PARSE_REPEATED);
}

TEST(ParseArguments, PositionalSlotsFillInTableOrder) {
    int32_t b = 0;
    char first[8] = {}, second[8] = {};
    OptionRecord table[] = {
        {"a", 0, KIND_STRING, sizeof first, first},
        {"/q", 0, KIND_BOOLEAN, 4, &b},
        {"b", 0, KIND_BOOLEAN, 4, &b},
        {"c", 0, KIND_STRING, sizeof second, second},
        {nullptr, 0, 0, 0, nullptr},
    };
    std::string x = "x", e = "", y = "y";
    char *argv[] = {x.data(), e.data(), y.data()};
    // An empty argument does not set a boolean slot: it is refused and the slot stays current.
    EXPECT_EQ(ParseArguments(3, argv, table, PARSEFLAG_CONTINUE), PARSE_BAD_ARGUMENT);
    EXPECT_STREQ(first, "x");
    EXPECT_EQ(b, 1);
    EXPECT_STREQ(second, "");
}

TEST(ParseArgumentsW, WideCoreStoresWideStrings) {
    WCHAR text[6] = {};
    OptionRecordW table[] = {{u"/t", 0, KIND_STRING, 6, text}, {nullptr, 0, 0, 0, nullptr}};
    WCHAR a0[] = u"-T:h\u00e9llo!";
    WCHAR *argv[] = {a0};
    EXPECT_EQ(ParseArgumentsW(1, argv, table, 0), 0);
    EXPECT_EQ(std::u16string(text), u"h\u00e9llo");
}

TEST(ParseArgumentsW, FileListSlotWithoutRoomGetsNothing) {
    struct Case {
        uint16_t length;
        bool target;
    } cases[] = {{0, true}, {4, true}, {sizeof(FileListValue) - 1, true}, {sizeof(FileListValue), false}};
    for (const Case &c : cases) {
        unsigned char storage[sizeof(FileListValue) + 4];
        std::memset(storage, 0xEE, sizeof storage);
        OptionRecordW table[] = {{u"files", 0, KIND_FILE_LIST, c.length, c.target ? storage : nullptr},
                                 {nullptr, 0, 0, 0, nullptr}};
        WCHAR a0[] = u"a.c";
        WCHAR *argv[] = {a0};
        EXPECT_EQ(ParseArgumentsW(1, argv, table, PARSEFLAG_KEEP_TARGETS), PARSE_BAD_ARGUMENT) << c.length;
        EXPECT_EQ(table[0].flags & OPTION_SEEN, 0) << c.length;
        for (unsigned char b : storage) ASSERT_EQ(b, 0xEE) << c.length;
    }
}

TEST(StoreOptionValue, RefusesWhereThereIsNoStorage) {
    int32_t v = 0;
    OptionRecordW none = {u"/x", 0, KIND_NONE, 0, nullptr};
    OptionRecordW zero = {u"/s", 0, KIND_STRING, 0, nullptr};
    OptionRecordW odd = {u"/o", 0, 17, 4, &v};
    OptionRecordW list = {u"l", 0, KIND_FILE_LIST, 4, &v};
    EXPECT_EQ(StoreOptionValue(&none, u"1"), 0);
    EXPECT_EQ(StoreOptionValue(&zero, u""), 0);
    EXPECT_EQ(StoreOptionValue(&odd, u"1"), 0);
    EXPECT_EQ(StoreOptionValue(&list, u"1"), 0);
    EXPECT_EQ(v, 0);
}

}  // namespace
