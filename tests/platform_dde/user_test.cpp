// Thread message queues, window calls and MessageBoxA.
#include "helpers.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/user/showstyle.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr UINT WM_USER_ = 0x0400;

TEST(Messages, QueueFiltersAndQuit) {
    MSG msg{};
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // makes the queue
    DWORD self = GetCurrentThreadId();
    for (UINT m : {WM_USER_ + 1, WM_USER_ + 2, WM_USER_ + 3}) ASSERT_TRUE(PostThreadMessageA(self, m, m * 2, 7));
    const struct {
        HWND window;
        UINT first, last, remove;
        BOOL found;
        UINT message;
    } steps[] = {
        {nullptr, WM_USER_ + 2, WM_USER_ + 2, PM_REMOVE, TRUE, WM_USER_ + 2},
        {nullptr, 0, 0, PM_NOREMOVE, TRUE, WM_USER_ + 1},
        {reinterpret_cast<HWND>(0x1234), 0, 0, PM_NOREMOVE, FALSE, 0},  // no window of ours gets messages
        {reinterpret_cast<HWND>(-1), 0, 0, PM_NOREMOVE, TRUE, WM_USER_ + 1},
        {nullptr, WM_USER_ + 5, WM_USER_ + 9, PM_REMOVE, FALSE, 0},
        {nullptr, 0, 0, PM_REMOVE, TRUE, WM_USER_ + 1},
        {nullptr, 0, 0, PM_REMOVE, TRUE, WM_USER_ + 3},
        {nullptr, 0, 0, PM_REMOVE, FALSE, 0},
    };
    for (const auto &s : steps) {
        msg = MSG{};
        EXPECT_EQ(PeekMessageA(&msg, s.window, s.first, s.last, s.remove), s.found);
        if (s.found) {
            EXPECT_EQ(msg.message, s.message);
            EXPECT_EQ(msg.wParam, static_cast<WPARAM>(s.message * 2));
            EXPECT_EQ(msg.lParam, 7);
        }
    }
    ASSERT_TRUE(PostThreadMessageA(self, WM_QUIT, 5, 0));
    EXPECT_EQ(GetMessageA(&msg, nullptr, WM_USER_, WM_USER_), FALSE);  // quit passes any filter
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(GetMessageA(&msg, reinterpret_cast<HWND>(0x1234), 0, 0), -1);
}

TEST(Messages, GetMessageWaitsForAnotherThreadsPost) {
    MSG msg{};
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    DWORD self = GetCurrentThreadId();
    std::thread poster([self] {
        Sleep(150);
        PostThreadMessageA(self, WM_USER_ + 9, 1, 2);
    });
    DWORD start = GetTickCount();
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_GE(GetTickCount() - start, 100u);
    EXPECT_EQ(msg.message, WM_USER_ + 9);
    poster.join();
    EXPECT_FALSE(PostThreadMessageA(0x7fffffff, WM_USER_, 0, 0));  // no such thread, no queue
    EXPECT_EQ(GetLastError(), 1444u);
}

// Runs MessageBoxA with stderr and stdin redirected and the given desktop and
// PATH; returns what it wrote to stderr.
class MessageBoxTest : public testing::Test {
protected:
    void SetUp() override { oldPath = std::getenv("PATH"); }
    void TearDown() override {
        setenv("PATH", oldPath.c_str(), 1);
        unsetenv("DISPLAY");
    }
    // input: what stands for standard input; by default /dev/null, which is
    // no terminal, so the call must not wait.
    std::string Show(const char *text, const char *caption, int *result, int input = -1) {
        std::string errPath = dir.path() + "/stderr";
        int saveErr = dup(2), saveIn = dup(0);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = input >= 0 ? dup(input) : open("/dev/null", O_RDONLY);
        dup2(err, 2);
        dup2(in, 0);
        *result = MessageBoxA(nullptr, text, caption, MB_OK);
        dup2(saveErr, 2);
        dup2(saveIn, 0);
        close(saveErr);
        close(saveIn);
        close(err);
        close(in);
        return ReadWholeFile(errPath);
    }
    void FakeDialog(const char *name, int exitCode) {
        WriteWholeFile(dir.path() + "/" + name,
                  "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"" + dir.path() + "/args\"\nexit " +
                      std::to_string(exitCode) + "\n",
                  0755);
    }
    TempDir dir;
    std::string oldPath;
};

TEST_F(MessageBoxTest, WithoutADesktopItGoesToStandardError) {
    int result = 0;
    EXPECT_EQ(Show("Could not get System Version Number", "Setup Error", &result),
              "Setup Error: Could not get System Version Number\n");
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(Show("text", nullptr, &result), "Error: text\n");
}

TEST_F(MessageBoxTest, AtATerminalItWaitsForEnter) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(write(master, "typed ahead\n", 12), 12);  // the Enter the report waits for
    int result = 0;
    EXPECT_EQ(Show("Could not get System Version Number", "Setup Error", &result, terminal),
              "Setup Error: Could not get System Version Number\nPress Enter to continue.");
    EXPECT_EQ(result, IDOK);
    close(terminal);
    close(master);
}

TEST_F(MessageBoxTest, OnADesktopItIsADialog) {
    const struct {
        int exitCode;
        const char *stderrText;
        bool dialogRan;
    } cases[] = {
        {0, "", true},
        {1, "", true},                     // closed without OK: still shown
        {255, "Caption: -x <b>\n", true},  // the dialog failed: the terminal reports it
    };
    for (const auto &c : cases) {
        FakeDialog("zenity", c.exitCode);
        unlink((dir.path() + "/args").c_str());
        setenv("PATH", dir.path().c_str(), 1);
        setenv("DISPLAY", ":99", 1);
        int result = 0;
        EXPECT_EQ(Show("-x <b>", "Caption", &result), c.stderrText);
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(ReadLines(dir.path() + "/args"),
                  (std::vector<std::string>{"--info", "--no-markup", "--title=Caption", "--text=-x <b>"}));
    }
}

TEST(WindowCalls, ShowCommandsChangeTheStyle) {
    constexpr int32_t visible = 0x10000000, maximized = 0x01000000, frame = 0x00CF0000;
    const struct {
        int32_t style;
        int show;
        int32_t after;
    } cases[] = {
        {visible | WS_MINIMIZE | frame, SW_RESTORE, visible | frame},
        {visible | maximized, SW_MINIMIZE, visible | WS_MINIMIZE},
        {visible | WS_MINIMIZE, SW_HIDE, WS_MINIMIZE},
        {WS_MINIMIZE, SW_SHOW, visible | WS_MINIMIZE},  // shown as it was: still minimized
        {frame, SW_SHOWMAXIMIZED, visible | maximized | frame},
        {frame, 11, visible | WS_MINIMIZE | frame},  // SW_FORCEMINIMIZE
        {frame, 12, frame},                          // no such command
        {frame, -1, frame},
    };
    for (const auto &c : cases) EXPECT_EQ(StyleAfterShow(c.style, c.show), c.after) << c.show;
}

// A Program Manager that stops answering after its first acknowledgement costs
// the caller its execute time-outs and nothing more: the window calls answer
// at once from what the server announced, a new connect is refused at once,
// and the conversation survives.
TEST(WindowCalls, AHungServerCostsOnlyTheExecuteTimeOuts) {
    ResetProgmanState();
    ProcessGuard guard{-1, kProgmanGraceMs};
    ProcessHandles handles;
    ASSERT_TRUE(StartProgman(&guard, &handles, SW_SHOWMINIMIZED));
    DdeClient client;
    HCONV conv = client.Connect("PROGMAN", "PROGMAN");
    ASSERT_NE(conv, nullptr);
    CONVINFO ci{};
    ci.cb = sizeof ci;
    DdeQueryConvInfo(conv, QID_SYNC, &ci);
    DWORD status = 0;
    ASSERT_NE(client.Execute(conv, "[CreateGroup(Hung)]", 5000, &status), nullptr);
    guard.Kill(SIGSTOP);
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile("/proc/" + std::to_string(guard.pid()) + "/stat").find(") T ") !=
                                     std::string::npos; }, 5000));

    constexpr DWORD timeout = 300;
    uint64_t start = DdeNowMs();
    DWORD other = 0;
    ASSERT_EQ(DdeInitializeA(&other, [](UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) -> HDDEDATA {
                  return nullptr;
              }, APPCMD_CLIENTONLY, 0), static_cast<UINT>(DMLERR_NO_ERROR));
    HSZ name = DdeCreateStringHandleA(other, "PROGMAN", 0);
    EXPECT_EQ(DdeConnect(other, name, name, nullptr), nullptr);  // a stopped server is not waited for
    DdeUninitialize(other);
    EXPECT_TRUE(SetForegroundWindow(ci.hwndPartner));
    EXPECT_EQ(GetWindowLongA(ci.hwndPartner, GWL_STYLE) & WS_MINIMIZE, WS_MINIMIZE);
    EXPECT_TRUE(ShowWindow(ci.hwndPartner, SW_RESTORE));
    EXPECT_EQ(GetWindowLongA(ci.hwndPartner, GWL_STYLE) & WS_MINIMIZE, 0);
    uint64_t windowCalls = DdeNowMs() - start;  // the connect and window calls
    for (const char *command : {"[ShowGroup(Hung,1)]", "[AddItem(hung.exe,Hung)]"}) {
        EXPECT_EQ(client.Execute(conv, command, timeout, &status), nullptr);
        EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_EXECACKTIMEOUT));
    }
    uint64_t elapsed = DdeNowMs() - start;
    EXPECT_LT(windowCalls, 100u);
    EXPECT_GE(elapsed, 2 * timeout);
    EXPECT_LT(elapsed, 2 * timeout + 300);

    // Let go, the server catches up; the late answers are skipped and the conversation goes on.
    guard.Kill(SIGCONT);
    EXPECT_NE(client.Execute(conv, "[ShowGroup(Hung,1)]", 5000, &status), nullptr);
    EXPECT_EQ(GetWindowLongA(ci.hwndPartner, GWL_STYLE) & WS_MINIMIZE, 0);  // the server's word agrees
    EXPECT_TRUE(DdeClient::disconnects.empty());
    guard.Stop();
    ResetProgmanState();
}

}  // namespace
