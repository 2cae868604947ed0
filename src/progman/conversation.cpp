// The conversation with the Program Manager: connect (starting it when nobody
// answers), bring its window forward, execute commands, close.
#include "progman/progman.h"

#include "driver/options.h"

#include <cstring>
#include <string>

ProgmanState Progman = {"PROGMAN", 0, 0, nullptr, nullptr, 0};

int ProgmanInitialize(DWORD tag) {
    if (Progman.ddeInstance != 0) return tag == Progman.initTag ? 1 : 0;
    Progman.initTag = tag;
    return DdeInitializeA(&Progman.ddeInstance, ProgmanDdeCallback, APPCMD_CLIENTONLY, 0) == DMLERR_NO_ERROR ? 1 : 0;
}

// Hears the Program Manager end our conversation; everything else is ignored.
HDDEDATA CALLBACK ProgmanDdeCallback(UINT type, UINT, HCONV conv, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    if (type == XTYP_DISCONNECT && conv == Progman.conversation) {
        Progman.conversation = nullptr;
        Progman.partnerWindow = nullptr;
    }
    return nullptr;
}

HANDLE StartProgram(LPCSTR commandLine, WORD showState) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showState;
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    // CreateProcessA may write into its command line, so it gets a private copy.
    std::string line(commandLine);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, 8, 0, nullptr, nullptr, &startup, &info)) return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

namespace {

// Empties the thread's queue of posted messages without dispatching them.
void DrainMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        if (GetMessageA(&msg, nullptr, 0, 0) == 0) break;  // a quit message
    }
}

}  // namespace

int ProgmanConnect(LPCSTR service, LPCSTR topic) {
    if (!ProgmanInitialize(Progman.initTag)) return 0;
    if (Progman.conversation != nullptr) return 1;

    HSZ serviceHandle = DdeCreateStringHandleA(Progman.ddeInstance, service, 0);
    HSZ topicHandle = DdeCreateStringHandleA(Progman.ddeInstance, topic, 0);
    Progman.conversation = DdeConnect(Progman.ddeInstance, serviceHandle, topicHandle, nullptr);
    if (Progman.conversation == nullptr) {
        HANDLE process = StartProgram("PROGMAN /NTSETUP", SW_SHOWNORMAL);
        if (process != nullptr) {
            Progman.startedProgman = 1;
            DWORD idle = WaitForInputIdle(process, PROGMAN_IDLE_TIMEOUT);
            CloseHandle(process);
            if (idle == 0) {
                DrainMessages();
                Progman.conversation = DdeConnect(Progman.ddeInstance, serviceHandle, topicHandle, nullptr);
            }
        }
    }
    DdeFreeStringHandle(Progman.ddeInstance, serviceHandle);
    DdeFreeStringHandle(Progman.ddeInstance, topicHandle);

    if (Progman.conversation != nullptr) {
        CONVINFO info;
        std::memset(&info, 0, sizeof info);  // a failed query leaves a null partner window
        info.cb = sizeof info;
        DdeQueryConvInfo(Progman.conversation, QID_SYNC, &info);
        Progman.partnerWindow = info.hwndPartner;
    } else {
        Progman.partnerWindow = nullptr;
    }
    return Progman.conversation != nullptr ? 1 : 0;
}

int ProgmanActivate(void) {
    if (Progman.ddeInstance == 0 && !ProgmanInitialize(0)) return 0;
    // The callback may clear the conversation inside any DDE call: test it again.
    if (Progman.conversation == nullptr &&
        (!ProgmanConnect(Progman.serviceName, Progman.serviceName) || Progman.conversation == nullptr))
        return 0;
    SetForegroundWindow(Progman.partnerWindow);
    if (GetWindowLongA(Progman.partnerWindow, GWL_STYLE) & WS_MINIMIZE) ShowWindow(Progman.partnerWindow, SW_RESTORE);
    return 1;
}

int ProgmanExecute(LPCSTR command) {
    if (Progman.conversation == nullptr) return 0;
    DWORD status = 0;
    HDDEDATA done = DdeClientTransaction(reinterpret_cast<LPBYTE>(const_cast<LPSTR>(command)),
                                         static_cast<DWORD>(lstrlenA(command) + 1), Progman.conversation, nullptr, 0,
                                         XTYP_EXECUTE, PROGMAN_EXECUTE_TIMEOUT, &status);
    if (done == nullptr) return 0;
    return static_cast<int>(status & DDE_FACK);
}

int ProgmanClose(int) {
    if (Progman.conversation != nullptr && Progman.startedProgman) {
        if (upgradeIconsFlag == 0) ProgmanExecute("[exitprogman(1)]");
        Progman.startedProgman = 0;
    }
    if (Progman.ddeInstance != 0) {
        DdeUninitialize(Progman.ddeInstance);
        Progman.conversation = nullptr;
        Progman.partnerWindow = nullptr;
        Progman.ddeInstance = 0;
        Progman.initTag = 0;
    }
    return 1;
}
