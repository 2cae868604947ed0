// pmctl's conversation with the Program Manager that serves now: requests and
// execute strings over the platform's DDEML calls (win32.h), the same on Linux
// and Windows. It never starts a Program Manager.
#pragma once

#include "platform/win32.h"

#include <string>

class PmConversation {
public:
    PmConversation() = default;
    PmConversation(const PmConversation &) = delete;
    PmConversation &operator=(const PmConversation &) = delete;
    ~PmConversation();

    // Connects to PROGMAN; false with *why when nobody answers (or it is busy).
    bool Open(std::string *why);
    // The CF_TEXT data of an item up to its NUL; false when the Program
    // Manager gives none, with *error the DDEML error (DMLERR_*).
    bool Request(const std::string &item, std::string *text, UINT *error);
    // Sends one execute string; true when acknowledged, else *outcome says how it ended.
    bool Execute(const std::string &command, std::string *outcome);

private:
    DWORD instance_ = 0;
    HCONV conv_ = nullptr;
};
