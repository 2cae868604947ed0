// The conversation with the Program Manager: connect (starting it when nobody
// answers), bring its window forward, execute commands, close.
#include "progman/progman.h"

#include "options/options.h"
#include "runlog/runlog.h"

#include <cstring>
#include <string>

ProgmanState Progman = {"PROGMAN", 0, 0, nullptr, nullptr, 0};

namespace {

// Started when nobody answers: the Program Manager in its setup mode.
const char ProgmanCommandLine[] = "PROGMAN /NTSETUP";

}  // namespace

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

// Opens a conversation; *busy tells a server that turned it away for want of
// room, which the run log notes: that one serves, and starting another would not help.
HCONV ConnectOnce(LPCSTR service, HSZ serviceHandle, HSZ topicHandle, bool *busy) {
    HCONV conv = DdeConnect(Progman.ddeInstance, serviceHandle, topicHandle, nullptr);
    *busy = conv == nullptr && DdeGetLastError(Progman.ddeInstance) == DMLERR_BUSY;
    if (*busy) RunLogProgmanBusy(service);
    return conv;
}

}  // namespace

int ProgmanConnect(LPCSTR service, LPCSTR topic) {
    if (!ProgmanInitialize(Progman.initTag)) return 0;
    if (Progman.conversation != nullptr) return 1;

    HSZ serviceHandle = DdeCreateStringHandleA(Progman.ddeInstance, service, 0);
    HSZ topicHandle = DdeCreateStringHandleA(Progman.ddeInstance, topic, 0);
    bool busy = false;
    Progman.conversation = ConnectOnce(service, serviceHandle, topicHandle, &busy);
    if (Progman.conversation == nullptr && !busy) {
        RunLogProgmanStarting(service, ProgmanCommandLine);
        HANDLE process = StartProgram(ProgmanCommandLine, SW_SHOWNORMAL);
        if (process != nullptr) {
            Progman.startedProgman = 1;
            DWORD idle = WaitForInputIdle(process, PROGMAN_IDLE_TIMEOUT);
            CloseHandle(process);
            RunLogProgmanStarted(idle);
            if (idle == 0) {
                DrainMessages();
                Progman.conversation = ConnectOnce(service, serviceHandle, topicHandle, &busy);
            }
        } else {
            RunLogProgmanStartFailed(ProgmanCommandLine, GetLastError());
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
        RunLogConversationOpened();
    } else {
        RunLogNoConversation();
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

namespace {

// How an execute that came back without an acknowledgement was answered.
RunLogAnswer Unacknowledged(HDDEDATA done, UINT error) {
    if (done != nullptr || error == DMLERR_NOTPROCESSED) return RunLogAnswer::Refused;
    return error == DMLERR_EXECACKTIMEOUT ? RunLogAnswer::TimedOut : RunLogAnswer::Failed;
}

}  // namespace

int ProgmanExecute(LPCSTR command, const RunLogSubject &subject) {
    if (Progman.conversation == nullptr) {
        RunLogCommandNotSent(subject, command, RunLogUnsent::NoConversation);
        return 0;
    }
    DWORD status = 0;
    HDDEDATA done = DdeClientTransaction(reinterpret_cast<LPBYTE>(const_cast<LPSTR>(command)),
                                         static_cast<DWORD>(lstrlenA(command) + 1), Progman.conversation, nullptr, 0,
                                         XTYP_EXECUTE, PROGMAN_EXECUTE_TIMEOUT, &status);
    int acknowledged = done != nullptr ? static_cast<int>(status & DDE_FACK) : 0;
    if (acknowledged) {
        RunLogCommandSent(subject, command, RunLogAnswer::Acknowledged, 0);
    } else {
        UINT error = done != nullptr ? 0 : DdeGetLastError(Progman.ddeInstance);
        RunLogCommandSent(subject, command, Unacknowledged(done, error), error);
    }
    return acknowledged;
}

namespace {

// Questions go over a conversation of their own, in an instance of their own: a request
// the Program Manager does not answer then cannot disturb how the commands are answered
// (Wine's acknowledgements of later commands go astray after one), and closing it ends nothing else.
DWORD questionInstance = 0;
HCONV questionConversation = nullptr;

HDDEDATA CALLBACK IgnoreDde(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return nullptr; }

bool OpenQuestions() {
    if (questionConversation != nullptr) return true;
    if (questionInstance == 0 &&
        DdeInitializeA(&questionInstance, IgnoreDde, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) {
        questionInstance = 0;
        return false;
    }
    HSZ name = DdeCreateStringHandleA(questionInstance, Progman.serviceName, CP_WINANSI);
    questionConversation = DdeConnect(questionInstance, name, name, nullptr);
    DdeFreeStringHandle(questionInstance, name);
    return questionConversation != nullptr;
}

void CloseQuestions() {
    if (questionInstance != 0) DdeUninitialize(questionInstance);  // ends its conversation too
    questionInstance = 0;
    questionConversation = nullptr;
}

}  // namespace

int ProgmanAskable(void) { return Progman.conversation != nullptr && OpenQuestions() ? 1 : 0; }

int ProgmanRequest(LPCSTR item, std::string *text) {
    if (!ProgmanAskable()) return 0;
    HSZ name = DdeCreateStringHandleA(questionInstance, item, CP_WINANSI);
    if (name == nullptr) return 0;  // an empty or overlong name: nothing can answer to it
    HDDEDATA data = DdeClientTransaction(nullptr, 0, questionConversation, name, CF_TEXT, XTYP_REQUEST,
                                         PROGMAN_EXECUTE_TIMEOUT, nullptr);
    DdeFreeStringHandle(questionInstance, name);
    if (data == nullptr) return 0;
    std::string bytes(DdeGetData(data, nullptr, 0, 0), '\0');
    DdeGetData(data, reinterpret_cast<LPBYTE>(bytes.data()), static_cast<DWORD>(bytes.size()), 0);
    DdeFreeDataHandle(data);
    *text = bytes.c_str();  // CF_TEXT ends at its NUL
    return 1;
}

int ProgmanClose(int) {
    CloseQuestions();
    if (Progman.conversation != nullptr && Progman.startedProgman) {
        if (upgradeIconsFlag == 0) ProgmanExecute("[exitprogman(1)]", {RunLogCommandKind::ExitProgman});
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
