// The recording fake of the DDE, window, message, process and registry calls.
// Every call appends one line to `Calls`; results come from `Script`.
#pragma once

#include "platform/win32.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake {

struct Transaction {
    bool completed = true;  // false: DdeClientTransaction returns 0
    DWORD status = DDE_FACK;
};

struct ScriptedResults {
    UINT initResult = DMLERR_NO_ERROR;
    std::deque<bool> connects;  // successive DdeConnect results; none left: fail
    UINT lastError = 0;         // what DdeGetLastError returns
    bool createProcess = true;
    DWORD idleResult = 0;
    std::deque<Transaction> transactions;  // none left: completed with DDE_FACK
    std::deque<std::string> answers;       // successive requests' CF_TEXT answers; none left: no answer
    bool queryConvInfo = true;
    LONG windowStyle = 0;
    int postedMessages = 0;  // waiting in the queue for the drain
    bool quitFirst = false;  // the first message taken is a quit message
    LONG regCreateResult = ERROR_SUCCESS;
    // Runs inside DdeClientTransaction (with the command) and DdeConnect, before they return.
    std::function<void(const std::string &)> onTransaction;
    std::function<void()> onConnect;
};

extern ScriptedResults Script;
extern std::vector<std::string> Calls;
extern PFNCALLBACK Callback;   // what DdeInitializeA was given
extern HCONV LastConversation; // the most recent conversation handed out
extern HWND Partner;           // the partner window that DdeQueryConvInfo reports

// Clears the script, the log and all handles.
void Reset();
// The commands sent with DdeClientTransaction, in order (requests aside).
std::vector<std::string> Executed();
// Simulates the server ending conv: the client's callback hears XTYP_DISCONNECT.
void Disconnect(HCONV conv);

}  // namespace fake
