#include "run.h"

#include <gtest/gtest.h>

namespace {

TEST(Infview, ShowsTheBundledExampleAsTheReaderTakesIt) {
    RunResult r = RunProgram(BinPath("infview"), {EXAMPLE});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "line 1: [Accessories]\n"
              "  group \"Accessories\"\n"
              "line 2: Calc = \xE2\x90\x81" "Calculator\xE2\x90\x81,calc.exe,calc.exe,0,VITAL\n"
              "  item in \"Accessories\": name \"Calculator\", command \"calc.exe\", icon file \"calc.exe\", "
              "icon index \"0\", flag word \"VITAL\" (vital)\n"
              "line 3: Notes = \xE2\x90\x81Note \"Pad\"\xE2\x90\x81,notepad.exe readme.txt,notepad.exe,1,O\n"
              "  item in \"Accessories\": name \"Note \"Pad\"\", command \"notepad.exe readme.txt\", "
              "icon file \"notepad.exe\", icon index \"1\", flag word \"O\"\n"
              "line 4: Clock = \xE2\x90\x81" "Clock\xE2\x90\x81,clock.exe,clock.exe,0,\n"
              "  item in \"Accessories\": name \"Clock\", command \"clock.exe\", icon file \"clock.exe\", "
              "icon index \"0\", flag word \"\"\n"
              "line 5: [ \xE2\x90\x81Games\xE2\x90\x81 ]\n"
              "  group \"Games\"\n"
              "line 6: Sol=Solitaire,sol.exe,sol.exe,0,append\n"
              "  item in \"Games\": name \"Solitaire\", command \"sol.exe\", icon file \"sol.exe\", "
              "icon index \"0\", flag word \"append\"\n"
              "6 lines, 0 warnings\n");
}

TEST(Infview, WarnsAboutLikelyMistakes) {
    struct Case {
        const char *script;
        const char *warning;
    } cases[] = {
        {"a,b,c,d,e,f\n[G]\n", "line 1: an item before the first group header is skipped"},
        {"[G]\na,b,c\n", "line 2: fewer than six fields"},
        {"[G]\na,\"x,y\",c,d,e,f\n", "line 2: a ',' or '=' inside quotes ends the field"},
        {"[G]\na,b,c,d,e,VITL\n", "line 2: unknown flag word"},
        {"[G]\na,b,c,d,e,f+\n", "line 2: the script ends inside a continued line"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        WriteFile(dir / "s.inf", c.script);
        RunResult r = RunProgram(BinPath("infview"), {dir / "s.inf"});
        EXPECT_EQ(r.status, 1) << c.script;
        EXPECT_NE(r.out.find(std::string("warning: ") + c.warning), std::string::npos) << r.out;
    }
}

TEST(Infview, UnreadableScript) {
    TempDir dir;
    RunResult r = RunProgram(BinPath("infview"), {dir / "missing.inf"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cannot read"), std::string::npos);
}

}  // namespace
