// The Program Manager's execute strings: one or more [Command(arg, ...)].
// Pure logic, no platform.
#pragma once

#include <string>
#include <vector>

struct ExecCommand {
    std::string name;               // as written; matched case-insensitively
    std::vector<std::string> args;  // without surrounding blanks; a wholly quoted one without its quotes
};

// Splits an execute string into its commands. The whole string is checked
// before anything runs: on malformed text (unbalanced brackets or quotes,
// stray characters, no command at all) it returns false with *error set.
bool ParseExecute(const std::string &text, std::vector<ExecCommand> *commands, std::string *error);
