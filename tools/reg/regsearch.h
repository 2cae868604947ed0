// reg query's search (/f with /k, /v, /d, /c, /e and /t): which names and data
// match, and the walk that prints the matches as reg.exe does.
#pragma once

#include "platform/win32.h"

#include <map>
#include <string>
#include <vector>

struct SearchOptions {
    std::u16string pattern = u"*";  // "*" alone matches everything; elsewhere '*' is an ordinary character
    bool keys = true, valueNames = true, data = true;  // where to look
    bool caseSensitive = false;
    bool exact = false;                 // the whole name or data, not a part of it
    std::vector<DWORD> types;           // value types to look at; empty: all
    bool recurse = false;               // /s: the whole tree below the key
};

// The switches given to reg query, by lowercase name, with their values.
using Switches = std::map<std::string, std::u16string>;

// True when any of /f, /k, /d, /c, /e or /t was given.
bool AsksForSearch(const Switches &options);

// With /f, a /v that is followed by nothing or by another switch takes no name:
// it asks for a search of value names. Removes such a /v from args[from...];
// true when there was one.
bool TakeBareValueSwitch(std::vector<std::u16string> *args, size_t from);

// The search that reg query's switches ask for; false for a combination that
// reg.exe refuses (/v with a name, /ve, an empty /f, an unknown /t type).
bool SearchFromSwitches(const Switches &options, bool valueNames, SearchOptions *search);

// True when text matches the options' pattern.
bool SearchMatches(const SearchOptions &options, const std::u16string &text);

// Parses /t's comma-separated type list (REG_SZ, REG_DWORD, ...); false for an
// empty item or a name reg query does not search for.
bool ParseSearchTypes(const std::u16string &text, std::vector<DWORD> *types);

// Prints the matches at and below key (named path) and adds their number to
// *matches: a key whose values match is printed with those values and a blank
// line, a subkey whose name matches as its path alone.
LSTATUS SearchKey(HKEY key, const std::u16string &path, const SearchOptions &options, unsigned *matches);
