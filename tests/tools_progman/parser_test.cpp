// The Program Manager's execute-string parser, desktop entries and name
// encoding: pure logic, table-driven.
#include "desktop.h"
#include "execparse.h"
#include "platform/posix/process/winargs.h"

#include <gtest/gtest.h>

namespace {

struct ParseCase {
    const char *text;
    std::vector<ExecCommand> expected;
};

TEST(ExecuteParser, SplitsCommandsAndArguments) {
    const ParseCase cases[] = {
        {"[CreateGroup(Tools,0)]", {{"CreateGroup", {"Tools", "0"}}}},
        {"[ShowGroup(Tools, 8,0)]", {{"ShowGroup", {"Tools", "8", "0"}}}},
        {"[AddItem(edit.exe, Editor, edit.exe, 666)]", {{"AddItem", {"edit.exe", "Editor", "edit.exe", "666"}}}},
        {"[CreateGroup(a)][ShowGroup(a,1)]", {{"CreateGroup", {"a"}}, {"ShowGroup", {"a", "1"}}}},
        {"  [ exitprogman ( 1 ) ]  \t", {{"exitprogman", {"1"}}}},
        {"[AddItem(\"C:\\Program Files\\x.exe\", \"My, Item\" , x)]",
         {{"AddItem", {"C:\\Program Files\\x.exe", "My, Item", "x"}}}},
        {"[ExitProgman]", {{"ExitProgman", {}}}},
        {"[ExitProgman()]", {{"ExitProgman", {}}}},
        {"[A(,)]", {{"A", {"", ""}}}},
        {"[A( x y ,z)]", {{"A", {"x y", "z"}}}},
        {"[A(\"  padded  \")]", {{"A", {"  padded  "}}}},
        {"[A(\"a)b]\")]", {{"A", {"a)b]"}}}},
        {"[A(prog (x)]", {{"A", {"prog (x"}}}},  // '(' is plain text in an argument
        {"[A(1)] [B(2)]\t[C]", {{"A", {"1"}}, {"B", {"2"}}, {"C", {}}}},
        {"[AddItem(\"C:\\a, b\\x.exe\" /s, X)]", {{"AddItem", {"\"C:\\a, b\\x.exe\" /s", "X"}}}},
        {"[A(ab\"c\"d, \"\")]", {{"A", {"ab\"c\"d", ""}}}},
        {"[A(\"a\" \"b\")]", {{"A", {"\"a\" \"b\""}}}},
    };
    for (const ParseCase &c : cases) {
        std::vector<ExecCommand> got;
        std::string error;
        ASSERT_TRUE(ParseExecute(c.text, &got, &error)) << c.text << ": " << error;
        ASSERT_EQ(got.size(), c.expected.size()) << c.text;
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].name, c.expected[i].name) << c.text;
            EXPECT_EQ(got[i].args, c.expected[i].args) << c.text;
        }
    }
}

TEST(ExecuteParser, RefusesMalformedTextWhole) {
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"", "no command"},
        {"   ", "no command"},
        {"CreateGroup(x)", "text outside brackets"},
        {"[CreateGroup(x)", "missing ']'"},
        {"[CreateGroup(x]", "missing ')'"},
        {"[A(\"abc)]", "unbalanced quote"},
        {"[A(ab\"c)]", "unbalanced quote"},
        {"[A(\"a\", \"b)]", "unbalanced quote"},
        {"[(x)]", "missing command name"},
        {"[A(x)]junk", "text outside brackets"},
        {"[A(x)][B(y", "missing ')'"},
        {"[A(x)x]", "unexpected text in command A"},
        {"[A(x)", "missing ']'"},
        {"[A(prog (x))]", "unexpected text in command A"},  // the first ')' ends the arguments
        {"[A(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17)]", "too many arguments"},
    };
    for (const auto &c : cases) {
        std::vector<ExecCommand> got{{"stale", {}}};
        std::string error;
        EXPECT_FALSE(ParseExecute(c.text, &got, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_TRUE(got.empty()) << c.text;  // nothing of a malformed string may run
    }
}

TEST(WindowsCommandLine, SplitsAsTheCRuntime) {
    const struct {
        const char *line;
        std::vector<std::string> args;
    } cases[] = {
        {"prog a b", {"prog", "a", "b"}},
        {"prog \"a b\" c", {"prog", "a b", "c"}},
        {"\"C:\\Program Files\\x.exe\" /a", {"C:\\Program Files\\x.exe", "/a"}},
        {"C:\\dir\\x.exe a\\\\b", {"C:\\dir\\x.exe", "a\\\\b"}},  // backslashes not before a quote are literal
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},                        // 3 backslashes + quote: \ and a literal quote
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},                      // 2 backslashes + quote: \ and a toggle
        {"p \"a\"\"b\"", {"p", "a\"b"}},                          // "" inside quotes is a quote
        {"p \"\"", {"p", ""}},
        {"p\t a  \t b ", {"p", "a", "b"}},
        {"\"pro\"g\\\" x", {"prog\\ x"}},  // the program name knows no escapes: \" opens quotes
    };
    for (const auto &c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

TEST(WindowsCommandLine, ModuleCandidatesShortestFirst) {
    EXPECT_EQ(ModuleNameCandidates("PROGMAN /NTSETUP"), (std::vector<std::string>{"PROGMAN", "PROGMAN /NTSETUP"}));
    EXPECT_EQ(ModuleNameCandidates("c:\\program files\\a b"),
              (std::vector<std::string>{"c:\\program", "c:\\program files\\a", "c:\\program files\\a b"}));
    EXPECT_EQ(ModuleNameCandidates("\"my prog\" x y"), (std::vector<std::string>{"my prog"}));
    EXPECT_EQ(ModuleNameCandidates("  x  "), (std::vector<std::string>{"x"}));
}

TEST(DesktopEntry, ExecQuotesWhatTheFormatReserves) {
    const struct {
        const char *commandLine;
        const char *exec;  // as written in the file, after value escaping
    } cases[] = {
        {"edit.exe", "edit.exe"},
        {"\"C:\\Program Files\\x.exe\" /a", "\"C:\\\\\\\\Program Files\\\\\\\\x.exe\" /a"},
        {"tool %1 50%", "tool %%1 50%%"},
        {"sh -c \"echo $HOME\"", "sh -c \"echo \\\\$HOME\""},
        {"p \"it's\" a;b", "p \"it's\" \"a;b\""},
        {"p \"\"", "p \"\""},
    };
    for (const auto &c : cases) {
        std::string entry = FormatDesktopEntry(ProgramItem{"Item", c.commandLine, "", 0});
        EXPECT_NE(entry.find(std::string("\nExec=") + c.exec + "\n"), std::string::npos) << c.commandLine << "\n"
                                                                                          << entry;
    }
}

TEST(DesktopEntry, ReadsBackWhatItWrote) {
    const ProgramItem items[] = {
        {"Editor", "edit.exe", "edit.exe", 666},
        {" Leading blank, \\ and ;", "\"C:\\a b\\x.exe\" %1 $X", "C:\\icons\\x.ico", -1},
        {"caf\xC3\xA9", "cafe.exe", "", 0},
        {"Placed", "p.exe", "p.exe", 2, "C:\\work dir", true, -5, 0, 1345, true},
        {"At the origin", "o.exe", "o.exe", 0, "", true, 0, 0, 0, false},
    };
    for (const ProgramItem &item : items) {
        ProgramItem back;
        ASSERT_TRUE(ParseDesktopEntry(FormatDesktopEntry(item), &back)) << item.name;
        EXPECT_EQ(back.name, item.name);
        EXPECT_EQ(back.commandLine, item.commandLine);
        EXPECT_EQ(back.iconFile, item.iconFile);
        EXPECT_EQ(back.iconIndex, item.iconIndex);
        EXPECT_EQ(back.workingDir, item.workingDir);
        EXPECT_EQ(back.placed, item.placed) << item.name;
        EXPECT_EQ(back.x, item.x);
        EXPECT_EQ(back.y, item.y);
        EXPECT_EQ(back.hotKey, item.hotKey);
        EXPECT_EQ(back.minimize, item.minimize);
    }
    // What only AddItem's later arguments set stays out of an item that has none of it.
    EXPECT_EQ(FormatDesktopEntry(items[0]).find("X-Progman-Position"), std::string::npos);
    ProgramItem none;
    EXPECT_FALSE(ParseDesktopEntry("[Desktop Entry]\nName=x\n", &none));
}

TEST(FileNames, EncodeReversiblyAndRefuseForeignSpellings) {
    const struct {
        const char *name;
        const char *file;
    } cases[] = {
        {"Tools", "Tools"},     {"a/b", "a%2Fb"},         {"50%", "50%25"},
        {".hidden", "%2Ehidden"}, {"a.b", "a.b"},         {"..", "%2E."},
        {"tab\there", "tab%09here"}, {"C:\\x", "C:\\x"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(EncodeFileName(c.name), c.file) << c.name;
        std::string back;
        EXPECT_TRUE(DecodeFileName(c.file, &back)) << c.file;
        EXPECT_EQ(back, c.name);
    }
    for (const char *foreign : {"%", "%2", "%zz", "a%2fb", "%41", ""}) {
        std::string back;
        EXPECT_FALSE(DecodeFileName(foreign, &back)) << foreign;
    }
}

TEST(Text, AnsiBecomesUtf8) {
    EXPECT_EQ(AnsiToUtf8("abc"), "abc");
    EXPECT_EQ(AnsiToUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(AnsiToUtf8("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(AnsiToUtf8("\x80 5"), "\xE2\x82\xAC 5");
    EXPECT_TRUE(SameItemName("Editor", "eDITOR"));
    EXPECT_FALSE(SameItemName("Editor", "Editors"));
}

}  // namespace
