// The run log: a record of what one run did and why it ended as it did. The
// modules call the inline functions here; they cost nothing and link nothing
// while no record is kept (RunLogOpen in runlog.cpp starts one).
#pragma once

#include "platform/win32.h"

#include <cstdarg>
#include <cstdio>

// Takes one finished line of the record; null while no record is kept.
inline void (*RunLogWriter)(const char *line) = nullptr;

// The Program Manager commands of the run, sent or not.
struct RunLogTally {
    unsigned commands;
    unsigned acknowledged;
    int answered;  // a conversation was open at some time
    int busy;      // a Program Manager turned a conversation away as busy
};
inline RunLogTally RunLogCommands{};

// The end line's reason, set by whoever decides the exit status.
inline char RunLogReasonText[512];

// The registry clean-up's two questions to the record: whether an entry is there
// before its deletion (1, 0, or -1 when unknown), and how the deletion went.
inline int (*RunLogEntryProbe)(const WCHAR *parentPath, const WCHAR *keyName, const WCHAR *name, int isKey) = nullptr;
inline void (*RunLogEntryResult)(const WCHAR *parentPath, const WCHAR *keyName, const WCHAR *name, int isKey,
                                 int present, int removed, ULONG error) = nullptr;

inline void RunLogV(const char *format, va_list args) {
    if (RunLogWriter == nullptr) return;
    char line[2048];
    std::vsnprintf(line, sizeof line, format, args);
    RunLogWriter(line);
}

// Appends one line (printf format) to the record.
inline void RunLog(const char *format, ...) {
    va_list args;
    va_start(args, format);
    RunLogV(format, args);
    va_end(args);
}

// Sets the reason the end line gives for the exit status.
inline void RunLogReason(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(RunLogReasonText, sizeof RunLogReasonText, format, args);
    va_end(args);
}

// Records one Program Manager command and its outcome; acknowledged counts it as done.
inline void RunLogCommand(const char *command, const char *outcome, int acknowledged) {
    RunLogCommands.commands++;
    if (acknowledged) RunLogCommands.acknowledged++;
    RunLog("progman %s: %s", command, outcome);
}

// Sets the reason from the tally: how many commands were acknowledged, and why none were.
inline void RunLogCommandReason() {
    const RunLogTally &t = RunLogCommands;
    const char *why = "";
    if (t.acknowledged == 0 && t.commands > 0)
        why = t.answered ? " (the Program Manager refused every command)"
              : t.busy   ? " (the Program Manager was busy)"
                         : " (no Program Manager answered)";
    RunLogReason("%u of %u commands acknowledged%s", t.acknowledged, t.commands, why);
}

// Opens the record's destinations (PELLOR_LOG: a file, or "-" for standard error;
// on Linux also the machine's upgrade.log) and writes the start line.
void RunLogOpen(int argc, char **argv, const char *mode);
// Writes the end line with status and the reason set, closes the record, returns status.
int RunLogEnd(int status);
