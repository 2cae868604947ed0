// The run log's events: the line each writes and what each counts.
#include "runlog/runlog.h"

#include "platform/posix/machine.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines;
void Capture(const char *line) { Lines.push_back(line); }

using K = RunLogCommandKind;

TEST(RunLog, EventsWriteTheirLinesAndCountThemselves) {
    struct Case {
        const char *label;
        void (*events)();
        std::vector<std::string> lines;
        RunLogTally tally;
        const char *reason;
    } cases[] = {
        {"every answer to a sent command",
         [] {
             RunLogCommandSent({K::CreateGroup, "G"}, "[A]", RunLogAnswer::Acknowledged, 0);
             RunLogCommandSent({K::AddItem, "G", "n", true}, "[B]", RunLogAnswer::Refused, 0);
             RunLogCommandSent({}, "[C]", RunLogAnswer::TimedOut, 0);
             RunLogCommandSent({}, "[D]", RunLogAnswer::Failed, 0x4009);
             RunLogIconsDone();
         },
         {"progman [A]: acknowledged", "progman [B]: refused", "progman [C]: timed out",
          "progman [D]: failed (DDE error 0x4009)"},
         {.commands = 4, .acknowledged = 1, .refused = 1, .timedOut = 1, .failed = 1},
         "1 of 4 commands acknowledged"},
        {"an unsent command is named by its kind and subject unless it had its text",
         [] {
             RunLogCommandNotSent({K::AddItem, "G", "Calc", true}, nullptr, RunLogUnsent::GroupRefused);
             RunLogCommandNotSent({K::CreateGroup, "G"}, nullptr, RunLogUnsent::NoMemory);
             RunLogCommandNotSent({K::DeleteItem, "G", "Calc"}, "[DeleteItem(Calc)]", RunLogUnsent::NoConversation);
             RunLogIconsDone();
         },
         {"progman AddItem(Calc): not sent: group refused", "progman CreateGroup(G): not sent: out of memory",
          "progman [DeleteItem(Calc)]: not sent: no conversation"},
         {.commands = 3, .notSent = 3},
         "0 of 3 commands acknowledged (no Program Manager answered)"},
        {"a started Program Manager refuses, then is asked to exit",
         [] {
             RunLogProgmanStarting("PROGMAN", "PROGMAN /NTSETUP");
             RunLogProgmanStarted(0);
             RunLogConversationOpened();
             RunLogCommandSent({K::ExitProgman}, "[exitprogman(1)]", RunLogAnswer::Refused, 0);
             RunLogIconsDone();
         },
         {"progman: no answer from PROGMAN; starting \"PROGMAN /NTSETUP\"",
          "progman: the started Program Manager is ready", "progman: conversation open",
          "progman [exitprogman(1)]: refused"},
         {.commands = 1, .refused = 1, .answered = true, .started = true, .askedToExit = true},
         "0 of 1 commands acknowledged (the Program Manager refused every command)"},
        {"a busy Program Manager, one never ready and one not found",
         [] {
             RunLogProgmanBusy("PROGMAN");
             RunLogProgmanStarted(WAIT_TIMEOUT);
             RunLogProgmanStarted(WAIT_FAILED);
             RunLogProgmanStartFailed("PROGMAN /NTSETUP", ERROR_FILE_NOT_FOUND);
             RunLogNoConversation();
             RunLogCommandNotSent({K::ShowGroup, "G"}, nullptr, RunLogUnsent::NoConversation);
             RunLogIconsDone();
         },
         {"progman: PROGMAN is busy: it turned the conversation away",
          "progman: the started Program Manager did not become ready (timed out)",
          "progman: the started Program Manager did not become ready (wait failed)",
          "progman: could not start \"PROGMAN /NTSETUP\" (error 2: The system cannot find the file specified.)",
          "progman: no conversation", "progman ShowGroup(G): not sent: no conversation"},
         {.commands = 1, .notSent = 1, .busy = true, .started = true},
         "0 of 1 commands acknowledged (the Program Manager was busy)"},
        {"the script and the version mark",
         [] {
             RunLogScriptLoaded("s.inf", 3);
             RunLogItemSkipped("orphan");
             RunLogVersionMark(ERROR_ACCESS_DENIED);
             RunLogScriptUnreadable("t.inf", "Access is denied.");
         },
         {"script \"s.inf\": loaded, 3 logical lines", "item \"orphan\" skipped: it comes before the first group header",
          "version mark not written (error 5)", "script \"t.inf\": cannot read (Access is denied.)"},
         {.markTried = true, .markStatus = ERROR_ACCESS_DENIED},
         "cannot read script \"t.inf\": Access is denied."},
        {"a registry that cannot be read is told in the system's words, whole",
         [] { RunLogVersionUnread(ERROR_REGISTRY_CORRUPT); },
         {},
         {},
         "could not get the system version number: the machine registry could not be read (error 1015: The "
         "structure of one of the files containing registry data is corrupt, or the system's memory image of the "
         "file is corrupt, or the file could not be recovered because the alternate copy or log was absent or "
         "corrupt.)"},
        {"a backup written, then one that cannot be: its reason ends the run, and the path is the one written",
         [] {
             RunLogBackupWritten("/m/backup/icons-20261209T101500-7.pmc");
             RunLogBackupFailed("/m/backup/keys-20261209T101500-7.reg", "There is not enough space on the disk.");
         },
         {"backup: wrote /m/backup/icons-20261209T101500-7.pmc",
          "backup: cannot write /m/backup/keys-20261209T101500-7.reg: There is not enough space on the disk."},
         {.backups = 1, .backupFailed = true},
         "cannot write the backup /m/backup/keys-20261209T101500-7.reg: There is not enough space on the disk."},
        {"check mode: an entry there would be removed, an absent one is absent",
         [] {
             RunLogEntryWouldRemove({u"SYSTEM", u"Pellor", u"Dos", true});
             RunLogEntryAbsent({u"SYSTEM", u"Pellor", u"OemId", false});
             RunLogCheckDone();
         },
         {"registry key HKLM\\SYSTEM\\Pellor\\Dos: would remove", "registry value HKLM\\SYSTEM\\Pellor OemId: already absent"},
         {.entries = 2, .absent = 1, .wouldRemove = 1},
         "check mode: 1 of 2 obsolete entries would be removed, nothing removed"},
        {"the record ends with its end line",
         [] {
             RunLogStartLine("upgrade /x", "none");
             RunLogReason("unknown switch \"%s\"", "/x");
             RunLogExitLine(2);
             RunLogVersionMark(ERROR_SUCCESS);  // counted, no longer written
         },
         {"start: upgrade /x (mode none), upgrade " PELLOR_VERSION, "exit 2: unknown switch \"/x\""},
         {.markTried = true, .markStatus = ERROR_SUCCESS},
         "unknown switch \"/x\""},
    };
    for (const Case &c : cases) {
        Lines.clear();
        RunLogBegin(Capture);
        c.events();
        EXPECT_EQ(Lines, c.lines) << c.label;
        EXPECT_TRUE(RunLogTallies() == c.tally) << c.label;
        EXPECT_STREQ(RunLogExitReason(), c.reason) << c.label;
        EXPECT_STREQ(RunLogBackupPath(), c.tally.backups > 0 ? "/m/backup/icons-20261209T101500-7.pmc" : "") << c.label;
    }
    EXPECT_FALSE(RunLogRecording());
}

// A command's answer may wait for the next request to go out, but no longer, and keeps
// its place: the call while that answer is awaited, any other line and the end write it.
TEST(RunLog, AnAnswerWaitsForTheNextRequestAndNoLonger) {
    TempDir dir;
    setenv("PELLOR_MACHINE", (dir / "machine").c_str(), 1);
    const struct {
        const char *label;
        void (*then)();
        std::vector<std::string> lines;
    } cases[] = {
        {"the next request goes out", [] { RunWhileAnswerAwaited(); }, {"progman [A]: acknowledged"}},
        {"another line comes first",
         [] { RunLogProgmanBusy("PROGMAN"); },
         {"progman [A]: acknowledged", "progman: PROGMAN is busy: it turned the conversation away"}},
        {"the run ends", [] { RunLogEnd(0); }, {"progman [A]: acknowledged", "exit 0: done"}},
    };
    for (const auto &c : cases) {
        std::string log = dir / c.label;
        setenv("PELLOR_LOG", log.c_str(), 1);
        char name[] = "upgrade";
        char *argv[] = {name, nullptr};
        RunLogOpen(1, argv, "icons");
        RunLogCommandSent({K::CreateGroup, "G"}, "[A]", RunLogAnswer::Acknowledged, 0);
        c.then();
        std::vector<std::string> lines;  // after the start line, each without its stamp and process
        std::istringstream text(ReadWholeFile(log));
        for (std::string line; std::getline(text, line);)
            if (line.find("] start: ") == std::string::npos) lines.push_back(line.substr(line.find("] ") + 2));
        EXPECT_EQ(lines, c.lines) << c.label;
        RunLogEnd(0);
    }
    unsetenv("PELLOR_LOG");
}

}  // namespace
