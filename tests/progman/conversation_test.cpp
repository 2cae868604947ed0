#include "fixture.h"

#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const Calls kConnectHead = {
    "DdeInitializeA(cmd=0x10,0)",
    "DdeCreateStringHandleA(77,PROGMAN,cp=0)",
    "DdeCreateStringHandleA(77,PROGMAN,cp=0)",
    "DdeConnect(77,PROGMAN,PROGMAN,null)",
};

Calls Join(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

using ProgmanConversation = ProgmanTest;

TEST_F(ProgmanConversation, CloseWithNothingInitializedMakesNoCall) {
    EXPECT_EQ(ProgmanClose(1), 1);
    EXPECT_TRUE(fake::Calls.empty());
}

TEST_F(ProgmanConversation, ActivateConnectsToARunningProgramManager) {
    fake::Script.connects = {true};
    EXPECT_EQ(ProgmanActivate(), 1);
    EXPECT_EQ(fake::Calls, Join({kConnectHead,
                                 {"DdeFreeStringHandle(77,PROGMAN)", "DdeFreeStringHandle(77,PROGMAN)",
                                  "DdeQueryConvInfo(0xffffffff,cb=size)", "SetForegroundWindow(partner)",
                                  "GetWindowLongA(partner,-16)"}}));
    EXPECT_EQ(Progman.partnerWindow, fake::Partner);
    EXPECT_EQ(Progman.startedProgman, 0);

    // Already connected: only the window is brought forward again.
    fake::Calls.clear();
    EXPECT_EQ(ProgmanActivate(), 1);
    EXPECT_EQ(fake::Calls, (Calls{"SetForegroundWindow(partner)", "GetWindowLongA(partner,-16)"}));
    EXPECT_EQ(ProgmanConnect("PROGMAN", "PROGMAN"), 1);  // no string handles, no query

    // The Program Manager was already running: closing never asks it to exit.
    fake::Calls.clear();
    EXPECT_EQ(ProgmanClose(1), 1);
    EXPECT_EQ(fake::Calls, (Calls{"DdeUninitialize(77)"}));
    EXPECT_EQ(Progman.ddeInstance, 0u);
    EXPECT_EQ(Progman.conversation, nullptr);
}

TEST_F(ProgmanConversation, StartsTheProgramManagerWhenNobodyAnswers) {
    fake::Script.connects = {false, true};
    fake::Script.postedMessages = 2;
    EXPECT_EQ(ProgmanActivate(), 1);
    EXPECT_EQ(fake::Calls,
              Join({kConnectHead,
                    {"CreateProcessA(null,PROGMAN /NTSETUP,null,inherit=8,flags=0,env=null,dir=null,cb=size,startf=1,"
                     "show=1)",
                     "CloseHandle(thread)", "WaitForInputIdle(process,120000)", "CloseHandle(process)",
                     "PeekMessageA(null,0,0,0)", "GetMessageA(null,0,0)", "PeekMessageA(null,0,0,0)",
                     "GetMessageA(null,0,0)", "PeekMessageA(null,0,0,0)", "DdeConnect(77,PROGMAN,PROGMAN,null)",
                     "DdeFreeStringHandle(77,PROGMAN)", "DdeFreeStringHandle(77,PROGMAN)",
                     "DdeQueryConvInfo(0xffffffff,cb=size)", "SetForegroundWindow(partner)",
                     "GetWindowLongA(partner,-16)"}}));
    EXPECT_EQ(Progman.startedProgman, 1);

    fake::Calls.clear();
    EXPECT_EQ(ProgmanClose(1), 1);
    EXPECT_EQ(fake::Calls, (Calls{"DdeClientTransaction([exitprogman(1)],len=17,conv,item=null,fmt=0,type=0x4050,"
                                  "timeout=20000)",
                                  "DdeUninitialize(77)"}));
    EXPECT_EQ(Progman.startedProgman, 0);
}

TEST_F(ProgmanConversation, UpgradeIconsModeLeavesAStartedProgramManagerRunning) {
    upgradeIconsFlag = 1;
    fake::Script.connects = {false, true};
    ASSERT_EQ(ProgmanActivate(), 1);
    fake::Calls.clear();
    ProgmanClose(1);
    EXPECT_EQ(fake::Calls, (Calls{"DdeUninitialize(77)"}));
    EXPECT_EQ(Progman.startedProgman, 0);
}

TEST_F(ProgmanConversation, DrainEndsAtAQuitMessage) {
    fake::Script.connects = {false, true};
    fake::Script.postedMessages = 5;
    fake::Script.quitFirst = true;
    ASSERT_EQ(ProgmanActivate(), 1);
    int gets = 0;
    for (const std::string &c : fake::Calls) gets += c.rfind("GetMessageA", 0) == 0;
    EXPECT_EQ(gets, 1);
}

TEST_F(ProgmanConversation, ConnectFailures) {
    const char *kNobody = "(no Program Manager answered)";
    struct Case {
        const char *label;
        std::deque<bool> connects;
        bool createProcess;
        DWORD idle;
        int started;
        bool secondConnect;
        UINT error;          // what the failed connects leave for DdeGetLastError
        const char *reason;  // the end line's reason once a command went unsent
    } cases[] = {
        {"no server, no process", {false}, false, 0, 0, false, DMLERR_NO_CONV_ESTABLISHED, kNobody},
        {"never idle", {false}, true, WAIT_TIMEOUT, 1, false, DMLERR_NO_CONV_ESTABLISHED, kNobody},
        {"wait failed", {false}, true, WAIT_FAILED, 1, false, DMLERR_NO_CONV_ESTABLISHED, kNobody},
        {"second connect fails", {false, false}, true, 0, 1, true, DMLERR_NO_CONV_ESTABLISHED, kNobody},
        // A busy server serves: none is started (nor asked to exit at the end).
        {"busy", {false}, true, 0, 0, false, DMLERR_BUSY, "(the Program Manager was busy)"},
    };
    for (const Case &c : cases) {
        SetUp();
        fake::Script.connects = c.connects;
        fake::Script.createProcess = c.createProcess;
        fake::Script.idleResult = c.idle;
        fake::Script.lastError = c.error;
        EXPECT_EQ(ProgmanActivate(), 0) << c.label;
        RunLogCommandNotSent({}, "[x]", RunLogUnsent::NoConversation);
        RunLogIconsDone();
        EXPECT_NE(std::string(RunLogExitReason()).find(c.reason), std::string::npos) << c.label << ": "
                                                                                   << RunLogExitReason();
        EXPECT_EQ(Progman.startedProgman, c.started) << c.label;
        EXPECT_EQ(Progman.conversation, nullptr) << c.label;
        EXPECT_EQ(Progman.partnerWindow, nullptr) << c.label;
        int connects = 0, frees = 0;
        for (const std::string &call : fake::Calls) {
            connects += call.rfind("DdeConnect", 0) == 0;
            frees += call.rfind("DdeFreeStringHandle", 0) == 0;
        }
        EXPECT_EQ(connects, c.secondConnect ? 2 : 1) << c.label;
        EXPECT_EQ(frees, 2) << c.label;
        // No conversation: nothing is sent at close, and a started flag survives it.
        fake::Calls.clear();
        ProgmanClose(1);
        EXPECT_EQ(fake::Calls, (Calls{"DdeUninitialize(77)"})) << c.label;
        EXPECT_EQ(Progman.startedProgman, c.started) << c.label;
    }
}

TEST_F(ProgmanConversation, ALaterConnectCountsAsStartedByThisProcess) {
    fake::Script.connects = {false, true};
    fake::Script.idleResult = WAIT_TIMEOUT;
    EXPECT_EQ(ProgmanActivate(), 0);
    fake::Script.idleResult = 0;
    EXPECT_EQ(ProgmanActivate(), 1);  // this time the first connect answers
    fake::Calls.clear();
    ProgmanClose(1);
    EXPECT_EQ(fake::Executed(), (Calls{"[exitprogman(1)]"}));
}

TEST_F(ProgmanConversation, FailedInstanceIsRetried) {
    fake::Script.initResult = DMLERR_SYS_ERROR;
    EXPECT_EQ(ProgmanActivate(), 0);
    EXPECT_EQ(Progman.ddeInstance, 0u);
    EXPECT_EQ(fake::Calls, (Calls{"DdeInitializeA(cmd=0x10,0)"}));
    fake::Script.initResult = DMLERR_NO_ERROR;
    fake::Script.connects = {true};
    EXPECT_EQ(ProgmanActivate(), 1);
}

TEST_F(ProgmanConversation, InitializeComparesTheTagOnceAnInstanceExists) {
    EXPECT_EQ(ProgmanInitialize(5), 1);
    EXPECT_EQ(Progman.initTag, 5u);
    EXPECT_EQ(ProgmanInitialize(5), 1);
    EXPECT_EQ(ProgmanInitialize(6), 0);
    EXPECT_EQ(fake::Calls.size(), 1u);
}

TEST_F(ProgmanConversation, ExecuteResults) {
    EXPECT_EQ(ProgmanExecute("[x]"), 0);  // no conversation: nothing is attempted
    EXPECT_TRUE(fake::Calls.empty());
    fake::Script.connects = {true};
    ASSERT_EQ(ProgmanActivate(), 1);
    fake::Script.transactions = {{true, DDE_FACK | 0x12}, {true, 0}, {false, 0}, {true, DDE_FBUSY}};
    EXPECT_EQ(ProgmanExecute("[a]"), 0x8000);
    EXPECT_EQ(ProgmanExecute("[b]"), 0);
    EXPECT_EQ(ProgmanExecute("[c]"), 0);
    EXPECT_EQ(ProgmanExecute("[d]"), 0);
    EXPECT_NE(Progman.conversation, nullptr);  // a failed transaction keeps the conversation
}

TEST_F(ProgmanConversation, DisconnectNotifications) {
    fake::Script.connects = {true};
    ASSERT_EQ(ProgmanActivate(), 1);
    HCONV ours = Progman.conversation;
    fake::Disconnect(reinterpret_cast<HCONV>(0xDEAD));
    EXPECT_EQ(Progman.conversation, ours);
    EXPECT_EQ(ProgmanDdeCallback(XTYP_EXECUTE, 0, ours, nullptr, nullptr, nullptr, 0, 0), nullptr);
    EXPECT_EQ(Progman.conversation, ours);

    // The server goes away during a transaction: the next activation connects again.
    fake::Script.onTransaction = [ours](const std::string &) { fake::Disconnect(ours); };
    fake::Script.transactions = {{false, 0}};
    EXPECT_EQ(ProgmanExecute("[x]"), 0);
    EXPECT_EQ(Progman.conversation, nullptr);
    EXPECT_EQ(Progman.partnerWindow, nullptr);
    fake::Script.onTransaction = nullptr;
    fake::Script.connects = {true};
    fake::Calls.clear();
    EXPECT_EQ(ProgmanActivate(), 1);
    EXPECT_EQ(fake::Calls.at(2), "DdeConnect(77,PROGMAN,PROGMAN,null)");
}

TEST_F(ProgmanConversation, ADisconnectInsideConnectIsNoticed) {
    // The conversation is lost between the connect and the window calls.
    fake::Script.connects = {true};
    fake::Script.onConnect = [] {};
    ASSERT_EQ(ProgmanConnect("PROGMAN", "PROGMAN"), 1);
    fake::Disconnect(Progman.conversation);
    fake::Script.connects = {false};
    fake::Script.createProcess = false;
    EXPECT_EQ(ProgmanActivate(), 0);
}

TEST_F(ProgmanConversation, MinimizedWindowIsRestored) {
    fake::Script.connects = {true};
    fake::Script.windowStyle = WS_MINIMIZE | 0x10000000;
    ASSERT_EQ(ProgmanActivate(), 1);
    EXPECT_EQ(fake::Calls.back(), "ShowWindow(partner,9)");
}

TEST_F(ProgmanConversation, FailedQueryLeavesNoPartnerWindow) {
    fake::Script.connects = {true};
    fake::Script.queryConvInfo = false;
    EXPECT_EQ(ProgmanActivate(), 1);
    EXPECT_EQ(Progman.partnerWindow, nullptr);
    EXPECT_EQ(fake::Calls.back(), "GetWindowLongA(null,-16)");
}

}  // namespace
