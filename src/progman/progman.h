// The one DDE conversation with the Program Manager, and the group and item
// commands sent over it.
#pragma once

#include "platform/win32.h"
#include "runlog/runlog.h"

#include <cstdint>
#include <string>

// The conversation state: one per process, all zero at start.
struct ProgmanState {
    char serviceName[8];  // "PROGMAN": the service name and the topic name
    DWORD initTag;        // the tag of the last attempt to create the instance
    DWORD ddeInstance;    // 0 means no instance
    HCONV conversation;   // null means none
    HWND partnerWindow;   // the Program Manager's window for `conversation`
    int32_t startedProgman;  // this process started the Program Manager
};

extern ProgmanState Progman;

constexpr DWORD PROGMAN_EXECUTE_TIMEOUT = 20000;  // ms for each command
constexpr DWORD PROGMAN_IDLE_TIMEOUT = 120000;    // ms for a started Program Manager to become ready

// 1 if an instance exists for tag or was just created, else 0.
int ProgmanInitialize(DWORD tag);
HDDEDATA CALLBACK ProgmanDdeCallback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data,
                                     ULONG_PTR data1, ULONG_PTR data2);
// The new process's handle (the caller closes it), or null.
HANDLE StartProgram(LPCSTR commandLine, WORD showState);
// 1 if a conversation is open on return; starts the Program Manager when nobody answers.
int ProgmanConnect(LPCSTR service, LPCSTR topic);
// 1 if a conversation is open and its window was brought forward.
int ProgmanActivate(void);
// DDE_FACK (0x8000) for a positively acknowledged command, else 0; the run log hears
// its outcome with what it was sent for.
int ProgmanExecute(LPCSTR command, const RunLogSubject &subject = {});
// Opens the conversation that questions go over, when the commands' is open: 1 when it is.
int ProgmanAskable(void);
// Asks the Program Manager for item (CF_TEXT): 1 with its answer in *text, 0 when
// there is no conversation or no answer came. It changes nothing, so the run log
// does not count it as a command.
int ProgmanRequest(LPCSTR item, std::string *text);
// Ends the conversation, asking a Program Manager this process started to exit; always 1.
int ProgmanClose(int reserved);

// The commands: the execute result when sent; when stopped before sending,
// 1 for an item without ITEM_VITAL in flags and 0 for one with it.
int ProgmanCreateGroup(LPCSTR groupName, LPCSTR groupFile, uint8_t flags, int common);
int ProgmanShowGroup(LPCSTR groupName, LPCSTR showCommand, uint8_t flags, int common);
int ProgmanAddItem(LPCSTR groupName, LPCSTR itemName, LPCSTR commandLine, LPCSTR iconFile, int32_t iconIndex,
                   uint8_t flags, int common);
int ProgmanDeleteItem(LPCSTR groupName, LPCSTR itemName, uint8_t flags, int common);
