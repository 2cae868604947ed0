// Time stamps for the logs, alike on both systems.
#pragma once

#include <string>

// The local time now in ISO 8601 with its offset from UTC, e.g.
// 2026-12-08T23:05:01+01:00, or 2026-12-08T23:05:01.042+01:00 with milliseconds.
std::string LocalTimeText(bool milliseconds);
// The same stamp appended to out, for a log that writes many lines: no string of its own.
void AppendLocalTimeText(std::string *out, bool milliseconds);
