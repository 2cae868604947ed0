// The Program Manager's commands: the command table, and running one execute
// string for a conversation.
#pragma once

#include <string>

class GroupStore;

// What one conversation remembers between execute strings.
struct ProgmanSession {
    int activeScope = -1;     // GroupScope of the active group; -1 when none
    std::string activeGroup;  // its stored spelling
    bool exitRequested = false;
};

// Runs the commands of one execute string in order, stopping at the first
// refusal; true when every command was acknowledged. *why names the refusal.
bool ProgmanRunExecute(GroupStore &store, ProgmanSession &session, const std::string &text, std::string *why);
