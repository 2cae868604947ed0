// Program items as freedesktop desktop entries, and names as file names.
// Pure logic, no platform.
#pragma once

#include <map>
#include <string>

struct ProgramItem {
    std::string name;         // UTF-8
    std::string commandLine;  // the Windows command line, as given
    std::string iconFile;
    int iconIndex = 0;
    // What AddItem's later arguments give; a file without them has the defaults.
    std::string workingDir{};
    bool placed = false;  // has a position of its own (x, y); else the next free place
    int x = 0, y = 0;
    int hotKey = 0;
    bool minimize = false;
};

// A desktop entry for the item. The command line becomes Exec (split by the
// Windows rules, each argument quoted as the desktop entry format wants) and is
// kept whole in X-Progman-CommandLine, so the item can be read back exactly.
std::string FormatDesktopEntry(const ProgramItem &item);

// Working directory, position, hot key and minimize flag go in only when set,
// so an item added with four arguments has the file it always had.
//
// Reads the item back from a desktop entry written by FormatDesktopEntry;
// false when the text is not one.
bool ParseDesktopEntry(const std::string &text, ProgramItem *item);

// A name as one file name, reversibly: '%', '/', a leading '.' and control
// characters are percent-encoded, everything else is kept as it is.
std::string EncodeFileName(const std::string &name);
// The name back; false for a file name that EncodeFileName cannot produce.
bool DecodeFileName(const std::string &file, std::string *name);

// Case-insensitive name equality, as the Program Manager compares names.
bool SameItemName(const std::string &a, const std::string &b);

// Text in the Windows ANSI code page or UTF-8, as UTF-8: valid UTF-8 is kept,
// anything else is read as Windows-1252.
std::string AnsiToUtf8(const std::string &text);
// UTF-8 in the Windows ANSI code page (Windows-1252), as the Program Manager's
// answers are: a character the code page lacks becomes '?'.
std::string Utf8ToAnsi(const std::string &text);
