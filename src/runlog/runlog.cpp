// The run log's events: each is counted, and written as one line while a record is
// kept. Nothing here opens or writes a file (destinations.cpp does), so the modules'
// unit tests link the events without the platform underneath.
#include "runlog/runlog.h"

#include "platform/localtime.h"
#include "platform/syshooks.h"
#include "platform/wstr.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

RunLogSink sink = nullptr;
RunLogSink laterSink = nullptr;  // where a command's answer goes; sink when null
RunLogTally tally{};
char reasonText[512];
std::string backupPath;
RunLogRun run;
std::vector<RunLogGroup> groups;
size_t lastGroup = 0;  // where GroupRecord found or made the last one
std::vector<RunLogItem> items;
RunLogCleanup cleanup;
bool markWasTwo = false;
bool reportWanted = false;

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
const char *const UnsentTexts[] = {"no conversation", "group refused", "out of memory",  // by RunLogUnsent
                                   "its group's backup could not be written"};

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

// Whether a and b are one name but for ASCII case (null is the empty name).
// Called for every command, so nothing is copied.
bool SameFolded(const char *a, const char *b) {
    a = a != nullptr ? a : "";
    b = b != nullptr ? b : "";
    for (;; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

RunLogGroup &GroupRecord(const char *name) {
    // The one found last first: the pass works through one group at a time.
    if (lastGroup < groups.size() && SameFolded(groups[lastGroup].name.c_str(), name)) return groups[lastGroup];
    for (lastGroup = 0; lastGroup < groups.size(); lastGroup++)
        if (SameFolded(groups[lastGroup].name.c_str(), name)) return groups[lastGroup];
    groups.push_back(RunLogGroup{name != nullptr ? name : "", false, false, false});
    return groups.back();
}

// The item the pass started last, when this command is one of its own.
RunLogItem *CurrentItem(const RunLogSubject &subject) {
    if (items.empty() || items.back().addTried || subject.item == nullptr) return nullptr;
    RunLogItem &item = items.back();
    return item.name == subject.item && SameFolded(item.group.c_str(), subject.group) ? &item : nullptr;
}

// What a command's outcome tells the report about its group and item.
void Remember(const RunLogSubject &subject, bool sent, RunLogAnswer answer, UINT ddeError, const char *why) {
    bool acknowledged = sent && answer == RunLogAnswer::Acknowledged;
    if (subject.kind == RunLogCommandKind::CreateGroup && acknowledged) {
        RunLogGroup &group = GroupRecord(subject.group);
        group.created = group.created || !group.listed;
    }
    RunLogItem *item = CurrentItem(subject);
    if (item == nullptr) return;
    if (subject.kind == RunLogCommandKind::DeleteItem) item->deleted = acknowledged;
    if (subject.kind != RunLogCommandKind::AddItem) return;
    item->addTried = true;
    item->addSent = sent;
    item->addAnswer = answer;
    item->ddeError = ddeError;
    if (why != nullptr) item->why = why;
}

std::string KeyPath(const RunLogEntry &e) { return "HKLM\\" + Narrow(e.parentPath) + "\\" + Narrow(e.keyName); }

void RememberEntry(const RunLogEntry &e, RunLogEntryOutcome outcome, ULONG error) {
    std::string path = KeyPath(e);
    if (e.isKey) path += "\\" + Narrow(e.name);
    cleanup.entries.push_back(RunLogEntryRecord{path, e.isKey ? "" : Narrow(e.name), e.isKey, outcome, error});
}

}  // namespace

void RunLogBegin(RunLogSink newSink, RunLogSink later) {
    sink = newSink;
    laterSink = later;
    tally = RunLogTally{};
    reasonText[0] = '\0';
    backupPath.clear();
    run = RunLogRun{};
    groups.clear();
    items.clear();
    cleanup = RunLogCleanup{};
    markWasTwo = false;
    reportWanted = false;
}

void RunLogRunStarted(int argc, char **argv, const char *mode) {
    run.args.assign(argv, argv + argc);
    run.mode = mode;
    run.start = LocalTimeText(false);
}

const RunLogRun &RunLogRunFacts() { return run; }
const std::vector<RunLogGroup> &RunLogGroups() { return groups; }
const std::vector<RunLogItem> &RunLogItems() { return items; }
const RunLogCleanup &RunLogCleanupFacts() { return cleanup; }
bool RunLogMarkWasTwo() { return markWasTwo; }

bool RunLogRecording() { return sink != nullptr || reportWanted; }

void RunLogReportWanted() { reportWanted = true; }

void RunLogStartLine(const char *commandLine, const char *mode) {
    Line("start: %s (mode %s), upgrade %s", commandLine, mode, PELLOR_VERSION);
}

void RunLogExitLine(int status) {
    Line("exit %d: %s", status, reasonText[0] != '\0' ? reasonText : "done");
    sink = nullptr;
    laterSink = nullptr;
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
    Remember(subject, true, answer, ddeError, nullptr);
    if (answer == RunLogAnswer::Failed) {
        Line("progman %s: failed (DDE error 0x%x)", text, ddeError);
    } else if (sink != nullptr) {  // a line per command: put together without a format
        std::string line = "progman ";
        line += text;
        line += ": ";
        line += AnswerTexts[static_cast<int>(answer)];
        (laterSink != nullptr ? laterSink : sink)(line.c_str());
    }
}

void RunLogCommandNotSent(const RunLogSubject &subject, const char *text, RunLogUnsent why) {
    tally.commands++;
    tally.notSent++;
    const char *reason = UnsentTexts[static_cast<int>(why)];
    Remember(subject, false, RunLogAnswer::Failed, 0, reason);
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
    run.script = path;
    run.iconPass = true;
    Line("script \"%s\": loaded, %u logical lines", path, logicalLines);
}

void RunLogScriptUnreadable(const char *path, const char *why) {
    run.script = path;
    Line("script \"%s\": cannot read (%s)", path, why);
    RunLogReason("cannot read script \"%s\": %s", path, why);
}

void RunLogItemSkipped(const char *item) {
    RunLogItem skipped{"", item, false, RunLogChange::Unknown, false, {}, false, true, false,
                       RunLogAnswer::Failed, 0, "it comes before the first group header"};
    items.push_back(skipped);
    Line("item \"%s\" skipped: it comes before the first group header", item);
}

void RunLogGroupBefore(const char *group, bool listed, bool described) {
    RunLogGroup &record = GroupRecord(group);
    record.listed = listed;
    record.described = described;
}

void RunLogItemStarted(const RunLogSubject &item, RunLogChange change, bool existed,
                       const std::vector<std::string> &differs) {
    RunLogItem record;
    record.group = item.group != nullptr ? item.group : "";
    record.name = item.item != nullptr ? item.item : "";
    record.vital = item.vital;
    record.change = change;
    record.existed = existed;
    record.differs = differs;
    items.push_back(record);
}

void RunLogVersionMarkBefore(bool alreadyTwo) { markWasTwo = alreadyTwo; }

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

void RunLogNotAppServer() {
    cleanup.ran = true;
    RunLogReason("not an application server: nothing to remove");
}

// Absent, not a DWORD, or a registry that could not be read at all (the platform's
// notes, logged before, say why).
void RunLogVersionUnread(DWORD error) {
    cleanup.ran = cleanup.appServer = true;
    const char *lead = "could not get the system version number";
    if (error == ERROR_FILE_NOT_FOUND)
        RunLogReason("%s: SystemVersion is absent", lead);
    else if (error == ERROR_INVALID_DATA)
        RunLogReason("%s: SystemVersion is not a 4-byte REG_DWORD", lead);
    else
        RunLogReason("%s: the machine registry could not be read (error %lu: %s)", lead,
                     static_cast<unsigned long>(error), ErrorText(error).c_str());
    cleanup.versionError = reasonText;
}

void RunLogVersionRead(ULONG version, bool obsolete) {
    cleanup.ran = cleanup.appServer = cleanup.versionRead = true;
    cleanup.version = version;
    if (!obsolete) RunLogReason("system version %u keeps its entries", static_cast<unsigned>(version));
}

void RunLogEntryRemoved(const RunLogEntry &entry) {
    tally.entries++;
    tally.removed++;
    RememberEntry(entry, RunLogEntryOutcome::Removed, 0);
    Line("registry %s: removed", EntryText(entry).c_str());
}

void RunLogEntryAbsent(const RunLogEntry &entry) {
    tally.entries++;
    tally.absent++;
    RememberEntry(entry, RunLogEntryOutcome::Absent, 0);
    Line("registry %s: already absent", EntryText(entry).c_str());
}

void RunLogEntryFailed(const RunLogEntry &entry, ULONG error) {
    tally.entries++;
    tally.notRemoved++;
    RememberEntry(entry, RunLogEntryOutcome::Failed, error);
    Line("registry %s: could not remove (error %lu: %s)", EntryText(entry).c_str(), static_cast<unsigned long>(error),
         ErrorText(error).c_str());
}

void RunLogEntryWouldRemove(const RunLogEntry &entry) {
    tally.entries++;
    tally.wouldRemove++;
    RememberEntry(entry, RunLogEntryOutcome::WouldRemove, 0);
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
void RunLogReportFailed(const char *path, const char *why) { Line("report \"%s\": cannot write (%s)", path, why); }
