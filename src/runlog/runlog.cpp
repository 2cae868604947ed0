// The run log's events: each is counted, and written as one line while a record is
// kept. Nothing here opens or writes a file (destinations.cpp does), so the modules'
// unit tests link the events without the platform underneath.
#include "runlog/runlog.h"

#include "platform/syshooks.h"
#include "platform/wstr.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

RunLogSink sink = nullptr;
RunLogTally tally{};
char reasonText[512];
std::string backupPath;

void Line(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Line(const char *format, ...) {
    if (sink == nullptr) return;
    char line[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    sink(line);
}

std::string ErrorText(DWORD error) {
    char text[256];
    SystemErrorText(error, text, sizeof text);
    return text;
}

// ---- Program Manager commands ----

struct KindName {
    const char *name;
    bool namesItem;  // the command's subject is its item, not its group
};
// Indexed by RunLogCommandKind.
const KindName KindNames[] = {
    {"", false}, {"CreateGroup", false}, {"ShowGroup", false}, {"AddItem", true}, {"DeleteItem", true},
    {"exitprogman", false},
};

const char *const AnswerTexts[] = {"acknowledged", "refused", "timed out", "failed"};  // by RunLogAnswer
const char *const UnsentTexts[] = {"no conversation", "group refused", "out of memory"};  // by RunLogUnsent

// ---- Registry entries ----

std::string Narrow(const WCHAR *text) {
    size_t n = WStrLen(text);
    std::string s(n * 3 + 1, '\0');
    s.resize(WideToMb(s.data(), text, s.size() - 1));
    return s;
}

// "key HKLM\parent\key\name" or "value HKLM\parent\key name".
std::string EntryText(const RunLogEntry &e) {
    return std::string(e.isKey ? "key HKLM\\" : "value HKLM\\") + Narrow(e.parentPath) + "\\" + Narrow(e.keyName) +
           (e.isKey ? "\\" : " ") + Narrow(e.name);
}

}  // namespace

void RunLogBegin(RunLogSink newSink) {
    sink = newSink;
    tally = RunLogTally{};
    reasonText[0] = '\0';
    backupPath.clear();
}

bool RunLogRecording() { return sink != nullptr; }

void RunLogStartLine(const char *commandLine, const char *mode) {
    Line("start: %s (mode %s), upgrade %s", commandLine, mode, PELLOR_VERSION);
}

void RunLogExitLine(int status) {
    Line("exit %d: %s", status, reasonText[0] != '\0' ? reasonText : "done");
    sink = nullptr;
}

void RunLogReason(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reasonText, sizeof reasonText, format, args);
    va_end(args);
}

const char *RunLogExitReason() { return reasonText; }

const RunLogTally &RunLogTallies() { return tally; }

void RunLogCommandSent(const RunLogSubject &subject, const char *text, RunLogAnswer answer, UINT ddeError) {
    tally.commands++;
    unsigned *counts[] = {&tally.acknowledged, &tally.refused, &tally.timedOut, &tally.failed};
    (*counts[static_cast<int>(answer)])++;
    if (subject.kind == RunLogCommandKind::ExitProgman) tally.askedToExit = true;
    if (answer == RunLogAnswer::Failed)
        Line("progman %s: failed (DDE error 0x%x)", text, ddeError);
    else
        Line("progman %s: %s", text, AnswerTexts[static_cast<int>(answer)]);
}

void RunLogCommandNotSent(const RunLogSubject &subject, const char *text, RunLogUnsent why) {
    tally.commands++;
    tally.notSent++;
    const char *reason = UnsentTexts[static_cast<int>(why)];
    if (text != nullptr) {
        Line("progman %s: not sent: %s", text, reason);
        return;
    }
    const KindName &kind = KindNames[static_cast<int>(subject.kind)];
    const char *name = kind.namesItem ? subject.item : subject.group;
    Line("progman %s(%s): not sent: %s", kind.name, name != nullptr ? name : "", reason);
}

void RunLogProgmanBusy(const char *service) {
    tally.busy = true;
    Line("progman: %s is busy: it turned the conversation away", service);
}

void RunLogProgmanStarting(const char *service, const char *commandLine) {
    Line("progman: no answer from %s; starting \"%s\"", service, commandLine);
}

void RunLogProgmanStartFailed(const char *commandLine, DWORD error) {
    Line("progman: could not start \"%s\" (error %lu: %s)", commandLine, static_cast<unsigned long>(error),
         ErrorText(error).c_str());
}

void RunLogProgmanStarted(DWORD waitResult) {
    tally.started = true;
    if (waitResult == 0)
        Line("progman: the started Program Manager is ready");
    else
        Line("progman: the started Program Manager did not become ready (%s)",
             waitResult == WAIT_TIMEOUT ? "timed out" : "wait failed");
}

void RunLogConversationOpened() {
    tally.answered = true;
    Line("progman: conversation open");
}

void RunLogNoConversation() { Line("progman: no conversation"); }

void RunLogScriptLoaded(const char *path, uint32_t logicalLines) {
    Line("script \"%s\": loaded, %u logical lines", path, logicalLines);
}

void RunLogScriptUnreadable(const char *path, const char *why) {
    Line("script \"%s\": cannot read (%s)", path, why);
    RunLogReason("cannot read script \"%s\": %s", path, why);
}

void RunLogItemSkipped(const char *item) {
    Line("item \"%s\" skipped: it comes before the first group header", item);
}

void RunLogVersionMark(LONG status) {
    tally.markTried = true;
    tally.markStatus = status;
    if (status == ERROR_SUCCESS)
        Line("version mark IconVersion 2 written");
    else
        Line("version mark not written (error %ld)", static_cast<long>(status));
}

void RunLogIconsDone() {
    const RunLogTally &t = tally;
    const char *why = "";
    if (t.acknowledged == 0 && t.commands > 0)
        why = t.answered ? " (the Program Manager refused every command)"
              : t.busy   ? " (the Program Manager was busy)"
                         : " (no Program Manager answered)";
    RunLogReason("%u of %u commands acknowledged%s", t.acknowledged, t.commands, why);
}

void RunLogNotAppServer() { RunLogReason("not an application server: nothing to remove"); }

// Absent, not a DWORD, or a registry that could not be read at all (the platform's
// notes, logged before, say why).
void RunLogVersionUnread(DWORD error) {
    const char *lead = "could not get the system version number";
    if (error == ERROR_FILE_NOT_FOUND)
        RunLogReason("%s: SystemVersion is absent", lead);
    else if (error == ERROR_INVALID_DATA)
        RunLogReason("%s: SystemVersion is not a 4-byte REG_DWORD", lead);
    else
        RunLogReason("%s: the machine registry could not be read (error %lu: %s)", lead,
                     static_cast<unsigned long>(error), ErrorText(error).c_str());
}

void RunLogVersionRead(ULONG version, bool obsolete) {
    if (!obsolete) RunLogReason("system version %u keeps its entries", static_cast<unsigned>(version));
}

void RunLogEntryRemoved(const RunLogEntry &entry) {
    tally.entries++;
    tally.removed++;
    Line("registry %s: removed", EntryText(entry).c_str());
}

void RunLogEntryAbsent(const RunLogEntry &entry) {
    tally.entries++;
    tally.absent++;
    Line("registry %s: already absent", EntryText(entry).c_str());
}

void RunLogEntryFailed(const RunLogEntry &entry, ULONG error) {
    tally.entries++;
    tally.notRemoved++;
    Line("registry %s: could not remove (error %lu: %s)", EntryText(entry).c_str(), static_cast<unsigned long>(error),
         ErrorText(error).c_str());
}

void RunLogEntryWouldRemove(const RunLogEntry &entry) {
    tally.entries++;
    tally.wouldRemove++;
    Line("registry %s: would remove", EntryText(entry).c_str());
}

void RunLogCheckDone() {
    RunLogReason("check mode: %u of %u obsolete entries would be removed, nothing removed", tally.wouldRemove,
                 tally.entries);
}

void RunLogCleanupDone() {
    if (tally.notRemoved == 0)
        RunLogReason("all %u obsolete entries removed or already absent", tally.entries);
    else
        RunLogReason("%u of %u obsolete entries could not be removed", tally.notRemoved, tally.entries);
}

void RunLogBackupWritten(const char *path) {
    tally.backups++;
    backupPath = path;
    Line("backup: wrote %s", path);
}

void RunLogBackupFailed(const char *path, const char *why) {
    tally.backupFailed = true;
    Line("backup: cannot write %s: %s", path, why);
    RunLogReason("cannot write the backup %s: %s", path, why);
}

const char *RunLogBackupPath() { return backupPath.c_str(); }
