// The run log: a record of what one run did and why it ended as it did. The modules
// report events here at the points where they decide something (a command's
// outcome, a deletion, the version mark); this module writes each as a line while
// a record is kept, and counts them whether or not, for the end line's reason.
// The events carry the facts themselves, not text, so that another account of the
// run can be drawn from the same calls.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

// ---- The record ----

// Opens the record's destinations (PELLOR_LOG: a file, or "-" for standard error;
// on Linux also the machine's upgrade.log) and writes the start line.
void RunLogOpen(int argc, char **argv, const char *mode);
// Writes the end line with status and the reason set, closes the record, returns status.
int RunLogEnd(int status);

// The run as started: its arguments (without the program) and mode, and the time now.
void RunLogRunStarted(int argc, char **argv, const char *mode);

// Where finished lines go: RunLogOpen's destinations, or a test's capture.
using RunLogSink = void (*)(const char *line);
// Starts a record: tallies and reason from zero, each line to sink (null: counted, not written).
// A command's answer goes to later when given: a line that may wait for the next command
// to go out, and go out with it.
void RunLogBegin(RunLogSink sink, RunLogSink later = nullptr);
// True while a record is written or a report will be drawn from the events: worth a
// question that only they need.
bool RunLogRecording();
// A report will be drawn from this run's events (set after RunLogOpen).
void RunLogReportWanted();
// The start line: the command line as given and the mode it selects.
void RunLogStartLine(const char *commandLine, const char *mode);
// The end line; the record ends with it.
void RunLogExitLine(int status);

// The end line's reason, set by whoever decides the exit status (printf format).
void RunLogReason(const char *format, ...) __attribute__((format(printf, 1, 2)));
const char *RunLogExitReason();

// ---- The Program Manager ----

enum class RunLogCommandKind : uint8_t { Other, CreateGroup, ShowGroup, AddItem, DeleteItem, ExitProgman };

// What a command is for. group and item are null where the command has none; a group
// command names no item.
struct RunLogSubject {
    RunLogCommandKind kind = RunLogCommandKind::Other;
    const char *group = nullptr;
    const char *item = nullptr;
    bool vital = false;  // the item's commands must reach the Program Manager
};

// How a command that went out was answered; Failed is any other DDE error.
enum class RunLogAnswer : uint8_t { Acknowledged, Refused, TimedOut, Failed };
// Why a command did not go out.
enum class RunLogUnsent : uint8_t { NoConversation, GroupRefused, NoMemory, NoBackup };

// A command went out as text and got answer (ddeError tells a Failed one).
void RunLogCommandSent(const RunLogSubject &subject, const char *text, RunLogAnswer answer, UINT ddeError);
// A command stopped before it was sent: text when it was already formatted, else null,
// and the line names it by its kind and subject.
void RunLogCommandNotSent(const RunLogSubject &subject, const char *text, RunLogUnsent why);

// service turned the conversation away for want of room: it serves, so none is started.
void RunLogProgmanBusy(const char *service);
// Nobody answered as service: commandLine is started.
void RunLogProgmanStarting(const char *service, const char *commandLine);
void RunLogProgmanStartFailed(const char *commandLine, DWORD error);
// The started Program Manager's readiness: WaitForInputIdle's result.
void RunLogProgmanStarted(DWORD waitResult);
void RunLogConversationOpened();
void RunLogNoConversation();

// ---- The icon upgrade ----

void RunLogScriptLoaded(const char *path, uint32_t logicalLines);
// The script could not be read, in the system's words; this ends the run.
void RunLogScriptUnreadable(const char *path, const char *why);
// An item before the first group header: nothing was sent for it.
void RunLogItemSkipped(const char *item);
// What the group held before the pass's first command to it: whether the Program
// Manager listed it, and whether it described its items.
void RunLogGroupBefore(const char *group, bool listed, bool described);

// How an item's delete and add change its group, judged before they go out; Unknown
// where the group's items were not described (or not asked for).
enum class RunLogChange : uint8_t { Unknown, Added, Replaced, Unchanged };
// The pass starts an item: its DeleteItem and AddItem events that follow belong to it.
// existed: the group held it; differs: the fields the add changes.
void RunLogItemStarted(const RunLogSubject &item, RunLogChange change, bool existed,
                       const std::vector<std::string> &differs);
// The version mark as it was before: true when IconVersion already held 2.
void RunLogVersionMarkBefore(bool alreadyTwo);
// The version mark's result: ERROR_SUCCESS when written.
void RunLogVersionMark(LONG status);
// The pass is over: the reason comes from the commands' tally.
void RunLogIconsDone();

// ---- The registry clean-up ----

// An entry below HKEY_LOCAL_MACHINE: the subkey or value name of parentPath\keyName.
struct RunLogEntry {
    const WCHAR *parentPath;
    const WCHAR *keyName;
    const WCHAR *name;
    bool isKey;
};

void RunLogNotAppServer();
// The product version could not be read: error says why (absent, not a DWORD, a registry
// that could not be read).
void RunLogVersionUnread(DWORD error);
// The version read, and whether its machines carry the obsolete entries.
void RunLogVersionRead(ULONG version, bool obsolete);
void RunLogEntryRemoved(const RunLogEntry &entry);
void RunLogEntryAbsent(const RunLogEntry &entry);
void RunLogEntryFailed(const RunLogEntry &entry, ULONG error);
// Check mode (PELLOR_CHECK=1): the entry is there and a run would remove it.
void RunLogEntryWouldRemove(const RunLogEntry &entry);
// Every entry was tried: the reason comes from the entries' tally.
void RunLogCleanupDone();
// Check mode: every entry was looked at and none removed.
void RunLogCheckDone();

// ---- Backups ----

// A backup file was written whole at path.
void RunLogBackupWritten(const char *path);
// A backup that was asked for could not be written: what it was to protect stops, and
// this is the run's reason ("cannot write the backup PATH: WHY").
void RunLogBackupFailed(const char *path, const char *why);
// The last backup path written in this record, "" when none.
const char *RunLogBackupPath();

// ---- The run's report ----

// The report could not be written to path: why, in the system's words.
void RunLogReportFailed(const char *path, const char *why);

// ---- What the run did, counted ----

struct RunLogTally {
    unsigned commands = 0;      // every Program Manager command, sent or not
    unsigned acknowledged = 0;  // of those sent
    unsigned refused = 0;
    unsigned timedOut = 0;
    unsigned failed = 0;  // another DDE error
    unsigned notSent = 0;
    bool answered = false;     // a conversation was open at some time
    bool busy = false;         // a Program Manager turned a conversation away as busy
    bool started = false;      // this run started a Program Manager
    bool askedToExit = false;  // and the exit command went out to it
    unsigned entries = 0;      // registry entries tried
    unsigned removed = 0;
    unsigned absent = 0;
    unsigned notRemoved = 0;
    unsigned wouldRemove = 0;  // check mode: present, and left
    unsigned backups = 0;      // backup files written
    bool backupFailed = false;
    bool markTried = false;  // the version mark: tried, and its result
    LONG markStatus = 0;
    bool operator==(const RunLogTally &) const = default;
};
const RunLogTally &RunLogTallies();

// ---- What the run did, item by item (for the report) ----

struct RunLogRun {
    std::vector<std::string> args;  // as given, without the program
    std::string mode, start;        // start: local ISO 8601
    std::string script;             // the script the pass read or could not read
    bool iconPass = false;          // the icon pass began (it had business with a Program Manager)
};

struct RunLogGroup {
    std::string name;
    bool listed = false, described = false;
    bool created = false;  // a CreateGroup was acknowledged though it was not listed
};

struct RunLogItem {
    std::string group, name;
    bool vital = false;
    RunLogChange change = RunLogChange::Unknown;
    bool existed = false;
    std::vector<std::string> differs;
    bool deleted = false;    // its DeleteItem was acknowledged
    bool addTried = false;   // its AddItem went out or was stopped
    bool addSent = false;    // it went out: addAnswer holds the answer
    RunLogAnswer addAnswer = RunLogAnswer::Failed;
    UINT ddeError = 0;
    std::string why;  // why its AddItem did not go out
};

enum class RunLogEntryOutcome : uint8_t { Removed, Absent, Failed, WouldRemove };
struct RunLogEntryRecord {
    std::string path;  // the key, or the key that holds the value
    std::string name;  // the value's name; empty for a key
    bool isKey = true;
    RunLogEntryOutcome outcome = RunLogEntryOutcome::Removed;
    ULONG error = 0;
};

struct RunLogCleanup {
    bool ran = false;  // the clean-up began
    bool appServer = false;
    bool versionRead = false;
    ULONG version = 0;
    std::string versionError;
    std::vector<RunLogEntryRecord> entries;
};

const RunLogRun &RunLogRunFacts();
const std::vector<RunLogGroup> &RunLogGroups();
const std::vector<RunLogItem> &RunLogItems();
const RunLogCleanup &RunLogCleanupFacts();
// Whether IconVersion held 2 before the pass wrote it (only asked when the mark was tried).
bool RunLogMarkWasTwo();
