#include "run.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Whether text holds part; an empty part asks for an empty text.
bool Holds(const std::string &text, const char *part) {
    return part[0] == '\0' ? text.empty() : text.find(part) != std::string::npos;
}

TEST(Infview, ShowsTheBundledExampleAsTheReaderTakesIt) {
    RunResult r = RunProgram(BinPath("infview"), {EXAMPLE});
    // Line numbers are the file's: comments, a blank line and a continuation lie between.
    EXPECT_EQ(r.out,
              "line 3: [Accessories]\n"
              "  group \"Accessories\"\n"
              "line 4: Calc = \xE2\x90\x81" "Calculator\xE2\x90\x81,calc.exe,calc.exe,0,VITAL\n"
              "  item in \"Accessories\": name \"Calculator\", command \"calc.exe\", icon file \"calc.exe\", "
              "icon index \"0\", flag word \"VITAL\" (vital)\n"
              "line 6: Notes = \xE2\x90\x81Note \"Pad\"\xE2\x90\x81,notepad.exe readme.txt,notepad.exe,1,O\n"
              "  item in \"Accessories\": name \"Note \"Pad\"\", command \"notepad.exe readme.txt\", "
              "icon file \"notepad.exe\", icon index \"1\", flag word \"O\"\n"
              "line 8: Clock = \xE2\x90\x81" "Clock\xE2\x90\x81,clock.exe,clock.exe,0,\n"
              "  item in \"Accessories\": name \"Clock\", command \"clock.exe\", icon file \"clock.exe\", "
              "icon index \"0\", flag word \"\"\n"
              "line 9: [ \xE2\x90\x81Games\xE2\x90\x81 ]\n"
              "  group \"Games\"\n"
              "line 10: Sol=Solitaire,sol.exe,sol.exe,0,append\n"
              "  item in \"Games\": name \"Solitaire\", command \"sol.exe\", icon file \"sol.exe\", "
              "icon index \"0\", flag word \"append\"\n"
              "6 lines, 1 warning\n");
    EXPECT_EQ(r.err, std::string(EXAMPLE) +
                         ":6: warning: the item name holds '\"', which the Program Manager reads as part of its "
                         "command syntax\n");
    EXPECT_EQ(r.status, 1);
}

// The fixture holds every mistake infview knows, with CRLF line ends, comments, blank
// lines and continuations between them; its expected standard error sits beside it.
TEST(Infview, ReportsEveryMistakeOfTheFixtureAtItsFileLine) {
    RunResult r = RunProgram(BinPath("infview"), {"mistakes.inf"}, {}, 60000, FIXTURE_DIR);
    EXPECT_EQ(r.err, ReadWholeFile(FIXTURE_DIR "/mistakes.expected"));
    EXPECT_EQ(r.out.find("warning:"), std::string::npos) << "warnings belong on standard error";
    EXPECT_EQ(r.status, 1);
}

TEST(Infview, WarnsAboutLikelyMistakes) {
    struct Case {
        const char *script;
        const char *warning;  // ":LINE: warning: TEXT", a part of it
        size_t length = 0;    // of the script, when it holds NUL bytes
    } cases[] = {
        {"a,b,c,d,e,f\n[G]\n", ":1: warning: an item before the first group header is skipped"},
        {"[G]\na,b,c\n", ":2: warning: fewer than six fields"},
        {"[G]\na,\"x,y\",c,d,e,f\n", ":2: warning: a ',' or '=' inside quotes ends the field"},
        {"[G]\na,b,c,d,e,VITL\n", ":2: warning: unknown flag word"},
        {"[G]\na,b,c,d,e,f+\n", ":2: warning: the script ends inside a continued line"},
        {"[G]\r\n\r\n;c\r\na,b,+\r\n\r\nc,d,e,f\r\nx=\"y\" z,c,d,0,\r\n", ":7: warning: in the item name, text after"},
        {"[G]\na,b,c,d,-7x,\n", ":2: warning: the icon index \"-7x\" is not a number: it is read as -7"},
        {"[G]\na,\"b\"\"\",c,d,0,\n", ":2: warning: the item name holds '\"'"},
        {"[G(1)]\n", ":1: warning: the group name holds '('"},
        {"[G]\na,b,c,d,0,\nA,B,c,d,0,\n", ":3: warning: a second item named \"B\" in group \"G\" (first on line 2)"},
        {"\xEF\xBB\xBF[G]\na,b,c,d,0,\n", ":1: warning: the file starts with a UTF-8 byte-order mark"},
        {"\xFF\xFE[\0G\0]\0\n\0", ":1: warning: the file is UTF-16", 10},
        {"[G]\na,b,c,d,0,\n\0[H]\n", ":3: warning: a NUL byte ends the script here: the 5 bytes from it on", 20},
        {"[]\na,b,c,d,0,\n", ":1: warning: the group name is empty"},
        {"[G]\na,,c,d,0,\n", ":2: warning: the item name is empty"},
        {"[G]\na,b,c,d,4294967296,\n", ":2: warning: the icon index \"4294967296\" lies outside the 32-bit range: it "
                                         "is read as 2147483647 and sent as -2147482983"},
        {"[G]\na,b,c,d,2147483000,\n", ":2: warning: the icon index \"2147483000\" lies outside the 32-bit range: it "
                                         "is read as 2147483000 and sent as -2147483630"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        WriteWholeFile(dir / "s.inf", std::string(c.script, c.length != 0 ? c.length : std::strlen(c.script)));
        RunResult r = RunProgram(BinPath("infview"), {dir / "s.inf"});
        EXPECT_EQ(r.status, 1) << c.script;
        EXPECT_NE(r.err.find(dir / "s.inf" + c.warning), std::string::npos) << c.script << r.err;
        if (std::strchr(c.script, '+') == nullptr) {
            EXPECT_EQ(r.err.find("swallowed"), std::string::npos) << r.err;
        }
    }
    // Items of the same name in different groups are no mistake.
    WriteWholeFile(dir / "s.inf", "[G]\na,b,c,d,0,\n[H]\na,b,c,d,0,\n");
    RunResult r = RunProgram(BinPath("infview"), {dir / "s.inf"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Infview, CommandLineAndUnreadableScript) {
    TempDir dir;
    WriteWholeFile(dir / "clean.inf", "[G]\n");
    WriteWholeFile(dir / "warned.inf", "[G]\na,b,c,d,0,VITL\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *out;  // a part of standard output, or "" for none at all
        const char *err;  // a part of standard error, or "" for none at all
    } cases[] = {
        {{"--help"}, 0, "usage: infview SCRIPT.inf", ""},
        {{}, 2, "", "usage: infview SCRIPT.inf"},
        {{dir / "missing.inf"}, 2, "", "cannot read"},
        {{dir / "clean.inf", dir / "warned.inf"}, 1, "clean.inf: 1 line, 0 warnings", "warning: unknown flag word"},
        {{dir / "warned.inf", dir / "missing.inf", dir / "clean.inf"}, 2, "warned.inf: 2 lines, 1 warning",
         "cannot read"},  // the worst script decides
        {{dir.path()}, 2, "", "cannot read"},
    };
    for (const Case &c : cases) {
        RunResult r = RunProgram(BinPath("infview"), c.args);
        std::string label = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_TRUE(Holds(r.out, c.out)) << label << r.out;
        EXPECT_TRUE(Holds(r.err, c.err)) << label << r.err;
    }
}

}  // namespace
