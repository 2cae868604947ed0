// The scenario format: what a runner must refuse, and how a world's own lines and
// the seeds turn into the checks of that world.
#include "scenario.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kMinimal = "about a\nrun /x\nstatus 2\n";

TEST(ScenarioFormat, RefusesWhatTheRunnersCouldMisread) {
    struct Case {
        const char *text;
        const char *error;  // a part of the message
    } cases[] = {
        {"run /x\nstatus 2\n", "no 'about'"},
        {"about a\nstatus 2\n", "no 'run'"},
        {"about a\nrun /x\n", "no 'status'"},
        {"about a\nrun /x\nrun /y\nstatus 2\n", "line 3: more than one 'run'"},
        {"about a\nrun /x\nstatus 2\nstatus 0\n", "line 4: a second expectation"},
        {"about a\nrun /x\nstatus 2\nitem G/N\nno-item G/N\n", "line 5: a second expectation"},
        {"about a\nrun /x\nstatus 2\nvalue HKCU\\K N\nno-value HKEY_CURRENT_USER\\k n\n", "a second expectation"},
        {"about a\nrun /x\nstatus 2\non wine: status 0\n", "no 'because'"},
        {"about a\nrun /x\nstatus 2\non wine: status 0\nstatus 1\n", "line 5: an 'on' or 'only' line needs"},
        {"about a\nrun /x\nstatus 2\nbecause x\n", "'because' without"},
        {"about a\nrun /x\nstatus 2\non windows: status 0\nbecause x\n", "'on' takes"},
        {"about a\nrun /x\nstatus 2\nkeys HKCU\\K\n", "unknown statement 'keys'"},
        {"about a\nrun /x\nstatus two\n", "status takes a number"},
        {"about a\nrun /x\nstatus 2\nvalue HKCU\\K N REG_SZ\n", "value takes"},
        {"about a\nrun /x\nstatus 2\nitem Notepad\n", "item takes GROUP/NAME"},
        {"about a\nrun /x\nstatus 2\nmessage no caption\n", "message takes"},
        {"about a\nrun /x\nstatus 2\nprogman-started\n", "need 'progman absent'"},
        {"about a\n| text\nrun /x\nstatus 2\n", "line 2: a '|' line outside"},
        {"about a\nfile s.inf\n|text\nrun /x\nstatus 2\n", "line 3: '|' must be followed"},
        {"about a\nfile ../s.inf\nrun /x\nstatus 2\n", "plain file name"},
        {"about a\nseed nowhere.reg\nrun /x\nstatus 2\n", "no seed file"},
        {"about a\nprogman maybe\nrun /x\nstatus 2\n", "progman is"},
        {"about a\nenv PELLOR_LOG\nrun /x\nstatus 2\n", "line 2: env takes NAME=VALUE"},
        {"about a\nenv =x\nrun /x\nstatus 2\n", "env takes NAME=VALUE"},
        {"about a\nrun /x\nstatus 2\nlog\n", "log takes a text"},
        {"about a\nrun /x\nstatus 2\nlog exit 2\n", "log checks need 'env PELLOR_LOG=-'"},
        {"about a\nenv PELLOR_LOG=f.log\nrun /x\nstatus 2\non wine: log exit 2\nbecause r\n", "log checks need"},
        {"about a\nenv PELLOR_LOG=-\nenv PELLOR_LOG=f.log\nrun /x\nstatus 2\nlog exit 2\n", "log checks need"},
        {"about a\nprogman running\nrun /x\nstatus 2\nno-progman-started\n", "need 'progman absent'"},
        {"about a\nrun pmctl groups\nstatus 0\nout\n", "out takes a text"},
        {"about a\nonly wine\nbecause r\nrun /x\nstatus 2\n", "'only' takes 'linux'"},
        {"about a\nonly linux\nrun /x\nstatus 2\n", "line 3: an 'on' or 'only' line needs"},
        {"about a\nrun /x\nstatus 2\nonly linux\n", "the last 'on' or 'only' line has no 'because'"},
        {"about a\nrun /x\nstatus 2\nout Games\n", "output checks need 'run pmctl ...'"},
        {"about a\nrun /x\nstatus 2\non wine: json /changes true\nbecause r\n", "output checks need"},
        {"about a\nrun pmctl groups\nstatus 0\nout Games\nno-out Games\n", "line 5: a second expectation"},
        {"about a\nrun pmctl plan s.inf\nstatus 2\njson /changes\n", "json takes POINTER VALUE"},
        {"about a\nrun pmctl plan s.inf\nstatus 2\njson changes true\n", "json takes POINTER VALUE"},
        {"about a\nrun pmctl plan s.inf\nstatus 2\njson /groups/0 {\"name\":\n", "json takes POINTER VALUE"},
        {"about a\nrun pmctl plan s.inf\nstatus 2\njson /changes true\njson /changes false\n", "a second expectation"},
        {"about a\nrun /x\nstatus 2\nbackup keys-1.reg\n", "backup takes a kind of backup"},
        {"about a\nrun /x\nstatus 2\nno-backup\n", "no-backup takes a kind of backup"},
        {"about a\nrun /x\nstatus 2\nbackup keys\nno-backup keys\n", "line 5: a second expectation"},
        {"about a\nrun /x\nstatus 2\nrestores HKLM\\K\nrestores HKEY_LOCAL_MACHINE\\k\n", "a second expectation"},
        {"about a\nrun /x\nstatus 2\nrestores\n", "restores takes one key"},
    };
    for (const Case &c : cases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, "/nonexistent", &s, &error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " gave: " << error;
    }
    Scenario s;
    std::string error;
    EXPECT_TRUE(ParseScenario(kMinimal, "/nonexistent", &s, &error)) << error;
    Scenario logged;
    EXPECT_TRUE(ParseScenario("about a\nprogman missing\nenv PELLOR_LOG=-\nrun /x %WORK%/s.inf\nstatus 2\n"
                              "log exit 2: x\nlog start\nno-progman-started\n",
                              "/nonexistent", &logged, &error))
        << error;
    EXPECT_TRUE(logged.progmanMissing);
    EXPECT_FALSE(logged.progmanRunning);
    EXPECT_EQ(logged.env, (std::vector<std::string>{"PELLOR_LOG=-"}));
    EXPECT_EQ(logged.run, (std::vector<std::string>{"/x", "%WORK%/s.inf"}));
    EXPECT_EQ(logged.expectations.size(), 4u) << "two log lines about different texts are two checks";
}

TEST(ScenarioFormat, ReadsBlocksAndArguments) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("# comment\nabout what it shows\nprogman absent\nfile s.inf\n| [G]\n|\n|  x = y\n"
                              "seed\n| [HKEY_CURRENT_USER\\K]\nbefore /run_inf  s.inf\nrun\nstatus 2\n"
                              "no-progman-started\nitem Group one/Item one\n",
                              "/nonexistent", &s, &error))
        << error;
    EXPECT_EQ(s.about, "what it shows");
    EXPECT_FALSE(s.progmanRunning);
    ASSERT_EQ(s.files.size(), 1u);
    EXPECT_EQ(s.files[0].name, "s.inf");
    EXPECT_EQ(s.files[0].content, "[G]\n\n x = y\n");
    ASSERT_EQ(s.seeds.size(), 1u);
    EXPECT_EQ(s.seeds[0], "[HKEY_CURRENT_USER\\K]\n");
    ASSERT_EQ(s.before.size(), 1u);
    EXPECT_EQ(s.before[0], (std::vector<std::string>{"/run_inf", "s.inf"}));
    EXPECT_TRUE(s.run.empty());
    ASSERT_EQ(s.expectations.size(), 3u);
    EXPECT_EQ(s.expectations[2].rest, "Group one/Item one");
}

TEST(ScenarioFormat, AWorldsOwnLineReplacesTheCommonOneOnTheSameSubject) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("about a\nrun /x\nstatus 0\nitem G/A\nitem G/B\non wine: no-item G/A\nbecause r1\n"
                              "on wine: group H\nbecause r2\non linux: status 2\nbecause r3\n",
                              "/nonexistent", &s, &error))
        << error;
    std::vector<Expectation> differences;
    std::vector<Expectation> wine = ExpectationsFor(s, "wine", &differences);
    ASSERT_EQ(wine.size(), 4u);
    EXPECT_EQ(wine[0].kind + " " + wine[0].rest, "status 0");
    EXPECT_EQ(wine[1].kind + " " + wine[1].rest, "no-item G/A");
    EXPECT_EQ(wine[2].kind + " " + wine[2].rest, "item G/B");
    EXPECT_EQ(wine[3].kind + " " + wine[3].rest, "group H");
    ASSERT_EQ(differences.size(), 2u);
    EXPECT_EQ(differences[0].reason, "r1");
    EXPECT_EQ(differences[1].reason, "r2");

    std::vector<Expectation> linux = ExpectationsFor(s, "linux");
    ASSERT_EQ(linux.size(), 3u);
    EXPECT_EQ(linux[0].kind + " " + linux[0].rest, "status 2");
    EXPECT_EQ(linux[1].kind + " " + linux[1].rest, "item G/A");
}

TEST(ScenarioFormat, SeededEntriesAndWhatCountsAsGone) {
    const std::string reg =
        "Windows Registry Editor Version 5.00\n\n; comment\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\P]\n\"A\"=dword:1\n"
        "\"Quo\\\"ted\"=\"x\"\n\"Gone\"=-\n@=\"default\"\n\"Bin\"=hex:01,\\\n  02\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Q]\n"
        "\"Lost\"=\"x\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\P\\Sub]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\PSub]\n";
    std::vector<RegEntry> entries = SeededEntries(reg);
    std::vector<std::string> seen;
    for (const RegEntry &e : entries) seen.push_back(e.key + (e.isValue ? " /v " + e.value : ""));
    EXPECT_EQ(seen, (std::vector<std::string>{"HKLM\\SOFTWARE\\P", "HKLM\\SOFTWARE\\P /v A",
                                              "HKLM\\SOFTWARE\\P /v Quo\"ted", "HKLM\\SOFTWARE\\P /v Bin",
                                              "HKLM\\SOFTWARE\\P\\Sub", "HKLM\\SOFTWARE\\PSub"}));

    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("about a\nrun /x\nstatus 0\nno-key HKEY_LOCAL_MACHINE\\software\\p\\sub\n"
                              "no-value HKLM\\SOFTWARE\\P a\n",
                              "/nonexistent", &s, &error))
        << error;
    std::vector<bool> gone;
    for (const RegEntry &e : entries) gone.push_back(ExpectedGone(s.expectations, e));
    EXPECT_EQ(gone, (std::vector<bool>{false, true, false, false, true, false}));
}

}  // namespace
