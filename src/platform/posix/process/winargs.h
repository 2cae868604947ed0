// Windows command-line rules, as pure functions: how CreateProcess finds the
// program in a command line and how the C runtime splits it into arguments.
// Linux only (Windows does this itself).
#pragma once

#include <string>
#include <vector>

// The names CreateProcess tries for the program: a quoted name is taken whole;
// an unquoted one is tried up to each blank in turn, shortest first.
std::vector<std::string> ModuleNameCandidates(const std::string &commandLine);

// argv as the Windows C runtime builds it: the program name (quotes group, no
// escapes), then arguments with the backslash and double-quote rules.
std::vector<std::string> SplitCommandLine(const std::string &commandLine);
