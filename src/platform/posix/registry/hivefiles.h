// A hive's files on disk, before and after SQLite has them: the hive made or
// checked, its -wal and -shm brought back in line with it, and the words for a
// refusal, which name the file or directory and the cause, for the tools to
// print and the run log to keep.
#pragma once

#include "platform/win32.h"

#include <string>
#include <sys/types.h>

// Creates the hive file 0600 before SQLite sees it (SQLite gives its -wal and
// -shm the hive's mode), and takes group and other bits from one an older
// version left loose (never adding a bit: a read-only hive stays read-only).
// *mode is its mode afterwards. A symlink, a foreign file or anything but a
// plain file is ERROR_ACCESS_DENIED, with *why naming it.
// An existing hive is never opened here: closing a descriptor of it would drop
// the POSIX locks of any other SQLite connection to it in this process.
LSTATUS PrepareHiveFile(const std::string &hive, mode_t *mode, std::string *why);

// The hive's -wal and -shm, where present, must be plain files of ours. One
// narrower than the hive (as a read of a read-only hive leaves them) gets the
// hive's owner bits back, one looser loses its group and other bits; one that
// cannot be fixed is ERROR_ACCESS_DENIED with *why naming it and the cause.
LSTATUS PrepareHiveCompanions(const std::string &hive, mode_t hiveMode, std::string *why);

// Why the hive cannot be written, naming what stands in the way: a read-only
// file system, a read-only registry directory, a read-only hive or -wal or
// -shm. Empty when none of them does.
std::string WhyHiveNotWritable(const std::string &hive);

// A wait as it reads in a message: "30 s", "200 ms".
std::string WaitText(unsigned milliseconds);
