// Backups of what a run removes or replaces: one file per kind and run, written whole
// or not at all, in a directory decided once per run.
#pragma once

#include <cstddef>
#include <string>

// Where this run's backups go: PELLOR_BACKUP names a directory, or "off" for none; unset, on Linux it is
// <machine>/backup (created private, like the machine's other folders), and on Windows none.
// Decided once per run, on the first call.
bool BackupWanted();

// Writes one backup file of this run whole: <dir>/<kind>-<time>-<pid><extension>, <time> as
// YYYYMMDDTHHMMSS (local), the same for every file of the run. The bytes go to a temporary file in
// the same directory, flushed, then renamed over the name, so the file is whole or absent. A second
// call with the same kind replaces the first whole (the icon pass rewrites its file as groups are
// added). After a write on Linux's default directory, files of all but the 20 newest runs are removed.
// On failure: false, *error the reason in the system's words, nothing left behind; *path is still
// the file meant (or the directory, when that is what failed), for the run log.
bool BackupWrite(const char *kind, const char *extension, const void *bytes, size_t size, std::string *path,
                 std::string *error);

// For the tests: forgets this run's decision, so that the next call decides anew (with a new time).
void BackupForgetRun();
