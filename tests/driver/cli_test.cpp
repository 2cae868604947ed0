// The command lines that must end quietly with status 2, run against the built
// program, and what the run log says about them and where it goes.
#include "run.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <sys/stat.h>

namespace {

TEST(CommandLine, RejectedAndEmptyCommandLinesEndWithStatusTwo) {
    TempDir machine;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"/?"},
        {"-?"},
        {"/?", "/upgrade_keys"},
        {"/upgrade_keys", "/?"},
        {"/?", "/bogus"},
        {"x.inf"},
        {"/run_inf", "/bogus", "x.inf"},
        {"/run_inf", "a.inf", "b.inf"},
        {"/upgrade_icons", "/upgrade_icons", "x.inf"},
        {"/run_inf:x.inf"},  // a boolean ignores an attached value: no script, no mode
        {"/upgrade_key"},
        {"/upgrade_keysx"},
        {"/run_inf"},  // an empty path cannot be loaded
        {""},
        {"/"},
        {"-"},
        {std::string(5000, 'a')},
        {"/run_inf", std::string(5000, 'b')},
    };
    for (const auto &args : cases) {
        RunResult r = RunProgram(BinPath("upgrade"), args, {"PELLOR_MACHINE=" + machine.path(), "PELLOR_LOG="});
        std::string label = args.empty() ? "(none)" : args[0].substr(0, 20);
        EXPECT_EQ(r.status, 2) << label;
        EXPECT_EQ(r.out, "") << label;
        EXPECT_EQ(r.err, "") << label;
    }
}

// The last line of text, without its line end.
std::string LastLine(const std::string &text) {
    size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    size_t start = text.rfind('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    return text.substr(start, end - start + 1);
}

TEST(CommandLine, TheLogSaysWhyARunEndedWithStatusTwo) {
    TempDir machine;
    const std::string big = machine / "big.inf";  // sparse: it costs no disk
    WriteWholeFile(big, "");
    ASSERT_EQ(truncate(big.c_str(), off_t{3} << 30), 0);
    const std::string bigEnd = "exit 2: cannot read script \"" + big +
                               "\": the file is larger than the 2147483645 bytes a script may hold";
    struct Case {
        std::vector<std::string> args;
        const char *end;  // the end of the log's last line
    } cases[] = {
        {{"/run_inf", big}, bigEnd.c_str()},
        {{"/bogus"}, "exit 2: unknown switch \"/bogus\""},
        {{"/run_inf", "/s.inf"}, "exit 2: unknown switch \"/s.inf\""},  // one component: still a switch
        {{"/run_inf", "a.inf", "b.inf"}, "exit 2: more than one script path"},
        {{"/upgrade_icons", "/upgrade_icons", "x.inf"}, "exit 2: a switch given twice"},
        {{}, "exit 2: no arguments"},
        {{"/?", "/bogus"}, "exit 2: \"/?\" asks for help: nothing done"},
        {{"x.inf"}, "exit 2: no mode switch (\"/run_inf\", \"/upgrade_icons\" or \"/upgrade_keys\")"},
        {{"--", "/run_inf"}, "exit 2: no mode switch (\"/run_inf\", \"/upgrade_icons\" or \"/upgrade_keys\")"},
        {{"/run_inf", "--", "/bogus"},
         "exit 2: cannot read script \"/bogus\": The system cannot find the file specified."},
        {{"/run_inf", "/no/such/dir/s.inf"},
         "exit 2: cannot read script \"/no/such/dir/s.inf\": The system cannot find the file specified."},
        // A ':' before a further '/' attaches a value to a switch, as on Windows.
        {{"/run_inf:/opt/x.inf"}, "exit 2: cannot read script \"\": The system cannot find the file specified."},
        {{"/run_inf", "/:/no/x.inf"}, "exit 2: cannot read script \"/no/x.inf\": The system cannot find the file specified."},
        // What the log quotes cannot forge a line or reach the terminal as a control sequence.
        {{"/bogus\nexit 0: done"}, "exit 2: unknown switch \"/bogus\\x0Aexit 0: done\""},
        {{"/run_inf", "--", "/x\x1B[2J"},
         "exit 2: cannot read script \"/x\\x1B[2J\": The system cannot find the file specified."},
    };
    for (const Case &c : cases) {
        RunResult r = RunProgram(BinPath("upgrade"), c.args, {"PELLOR_MACHINE=" + machine.path(), "PELLOR_LOG=-"});
        std::string label = c.args.empty() ? "(none)" : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_EQ(r.status, 2) << label;
        EXPECT_EQ(r.out, "") << label;
        EXPECT_TRUE(LastLine(r.err).ends_with(c.end)) << label << "\n" << r.err;
    }
}

// A log file is appended to, never truncated; one that cannot be written changes
// nothing; the machine's own log moves aside once it passes 1 MiB.
TEST(CommandLine, LogDestinations) {
    TempDir machine, dir;
    const std::string log = dir / "run.log";
    for (int run = 0; run < 2; run++) {
        RunResult r =
            RunProgram(BinPath("upgrade"), {"/bogus"}, {"PELLOR_MACHINE=" + machine.path(), "PELLOR_LOG=" + log});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out + r.err, "");
    }
    const std::string text = ReadWholeFile(log);
    size_t starts = 0;
    for (size_t at = 0; (at = text.find("start: ", at)) != std::string::npos; at++) starts++;
    EXPECT_EQ(starts, 2u) << text;
    EXPECT_TRUE(LastLine(text).ends_with(" exit 2: unknown switch \"/bogus\"")) << text;

    RunResult unwritable = RunProgram(BinPath("upgrade"), {"/run_inf", dir / "missing.inf"},
                                      {"PELLOR_MACHINE=" + machine.path(), "PELLOR_LOG=" + dir / "no/such/dir/x.log"});
    EXPECT_EQ(unwritable.status, 2);
    EXPECT_EQ(unwritable.out + unwritable.err, "");

    const std::string machineLog = machine / "upgrade.log";
    EXPECT_NE(ReadWholeFile(machineLog).find("unknown switch \"/bogus\""), std::string::npos)
        << "the machine keeps its own log";
    WriteWholeFile(machineLog, std::string(1024 * 1024, 'x'));
    RunProgram(BinPath("upgrade"), {"/bogus"}, {"PELLOR_MACHINE=" + machine.path(), "PELLOR_LOG="});
    EXPECT_EQ(ReadWholeFile(machineLog + ".1").size(), 1024u * 1024u) << "the full log moved aside";
    EXPECT_NE(ReadWholeFile(machineLog).find("start: "), std::string::npos);
    EXPECT_LT(ReadWholeFile(machineLog).size(), 4096u);
    struct stat st {};
    ASSERT_EQ(stat(machineLog.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the machine's files are the user's own";
}

// Whatever the log is written to, the run ends as it would without a log: a FIFO nobody
// reads, a pipe whose reader is gone, a file size limit, a log that is a link.
TEST(CommandLine, TheLogNeverChangesARun) {
    TempDir machine, dir, other;
    const std::string home = dir.path(), outside = other / "outside";
    WriteWholeFile(outside, "");
    const struct {
        const char *name;
        std::string script;  // bash, run in dir with $0 = upgrade (stopped after 5 s); prints the exit status
    } cases[] = {
        {"PELLOR_LOG a FIFO nobody reads", "mkfifo f; PELLOR_LOG=f timeout 5 \"$0\" /bogus; echo $?"},
        {"upgrade.log a FIFO nobody reads", "mkfifo \"$PELLOR_MACHINE/upgrade.log\"; timeout 5 \"$0\" /bogus; echo $?"},
        {"standard error a pipe without a reader",
         "mkfifo p; exec 4<>p 5>p; exec 4<&-; PELLOR_LOG=- timeout 5 \"$0\" /bogus 2>&5; echo $?"},
        {"a file size limit", "head -c 4000 /dev/zero >\"$PELLOR_MACHINE/upgrade.log\"; ulimit -f 1; timeout 5 \"$0\" /bogus; echo $?"},
        {"upgrade.log a link out of the machine",
         "ln -s \"" + outside + "\" \"$PELLOR_MACHINE/upgrade.log\"; timeout 5 \"$0\" /bogus; echo $?"},
    };
    for (const auto &c : cases) {
        std::system(("rm -rf '" + machine.path() + "'/* '" + home + "'/*").c_str());
        RunResult r = RunProgram("/bin/bash", {"-c", "cd '" + home + "' && " + c.script, BinPath("upgrade")},
                                 {"PELLOR_MACHINE=" + machine.path(), "PELLOR_LOG="}, 10000);
        EXPECT_EQ(r.out, "2\n") << c.name << ": " << r.err;
    }
    EXPECT_EQ(ReadWholeFile(outside), "") << "nothing written through the link";
}

// The machine's log keeps its cap while a run writes: it moves aside when a line would pass it.
TEST(CommandLine, TheMachineLogKeepsItsCapWhileWriting) {
    TempDir machine;
    const std::string log = machine / "upgrade.log";
    WriteWholeFile(log, std::string(1024 * 1024 - 40, 'x'));
    EXPECT_EQ(RunProgram(BinPath("upgrade"), {"/bogus"}, {"PELLOR_MACHINE=" + machine.path(), "PELLOR_LOG="}).status, 2);
    EXPECT_LE(ReadWholeFile(log + ".1").size(), 1024u * 1024u);
    EXPECT_LE(ReadWholeFile(log).size(), 1024u * 1024u);
    EXPECT_EQ(ReadWholeFile(log + ".1").find("start: "), std::string::npos);
    EXPECT_NE(ReadWholeFile(log).find("start: "), std::string::npos);
    EXPECT_NE(ReadWholeFile(log).find("exit 2: "), std::string::npos);
}

// One version, set in the build, shown by every program.
TEST(CommandLine, EveryProgramTellsTheOneVersion) {
    TempDir machine;
    for (const char *tool : {"progman", "reg", "infview"}) {
        RunResult r = RunProgram(BinPath(tool), {"--version"}, {"PELLOR_MACHINE=" + machine.path()});
        EXPECT_EQ(r.status, 0) << tool;
        EXPECT_EQ(r.out, std::string(tool) + " " PELLOR_VERSION "\n") << tool;
    }
    RunResult r = RunProgram(BinPath("upgrade"), {"/bogus"}, {"PELLOR_MACHINE=" + machine.path(), "PELLOR_LOG=-"});
    EXPECT_NE(r.err.find(" (mode none), upgrade " PELLOR_VERSION "\n"), std::string::npos) << r.err;
}

}  // namespace
