// The real progman, started the way the utility starts it and driven through
// the Win32 calls: acknowledgements, files, journal, exit, window, failures.
#include "commands.h"
#include "helpers.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/machine.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

bool Exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string Progman(const std::string &rest) { return TestMachine() + "/progman/" + rest; }

// Output and status of a shell command.
int Capture(const std::string &command, std::string *output) {
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, p) != nullptr) *output += buffer;
    return pclose(p);
}

class ProgmanTest : public testing::Test {
protected:
    void SetUp() override { ResetProgmanState(); }
    void TearDown() override {
        guard.Stop();
        ResetProgmanState();
    }
    ProcessGuard guard{-1, kProgmanGraceMs};
    ProcessHandles handles;
};

TEST_F(ProgmanTest, StartedTheUtilitysWayItServesAndExitsWhenAsked) {
    ASSERT_TRUE(StartProgman(&guard, &handles));
    EXPECT_EQ(ReadWholeFile(Progman("progman.pid")), std::to_string(handles.info.dwProcessId) + "\n");
    {
        DdeClient client;
        HCONV conv = client.Connect("PROGMAN", "PROGMAN");
        ASSERT_NE(conv, nullptr);
        const struct {
            const char *command;
            bool ack;
        } steps[] = {
            {"[ShowGroup(Pellor Tools, 8,0)]", false},
            {"[CreateGroup(Pellor Tools,0)]", true},
            {"[ShowGroup(pellor tools, 8,0)]", true},
            {"[DeleteItem(Editor)]", false},
            {"[CreateGroup(Pellor Tools,0)]", true},
            {"[AddItem(edit.exe, Editor, edit.exe, 666)]", true},
            {"[AddItem(\"C:\\Program Files\\Pellor\\admin.exe\" /s, Admin/Console, admin.exe, 667)]", true},
            {"[AddItem(x.exe, \"Broken)]", false},
            {"[DeleteItem(EDITOR)]", true},
            {"[AddItem(edit.exe, Editor, edit.exe, 665)]", true},
            {"[CreateGroup(Shared,1)][AddItem(tool.exe, Tool)]", true},
            {"[NoSuchCommand(1)]", false},
            {"[CreateGroup(broken", false},
            {"[exitprogman(1)]", true},
        };
        for (const auto &s : steps) {
            DWORD status = 0xFFFF;
            HDDEDATA r = client.Execute(conv, s.command, 20000, &status);
            EXPECT_EQ(r != nullptr, s.ack) << s.command;
            EXPECT_EQ(status & DDE_FACK, s.ack ? static_cast<DWORD>(DDE_FACK) : 0u) << s.command;
            EXPECT_EQ(DdeGetLastError(client.instance), s.ack ? 0u : static_cast<UINT>(DMLERR_NOTPROCESSED));
        }
        EXPECT_TRUE(Exists(Progman("Personal/Pellor Tools/Editor.desktop")));
        EXPECT_TRUE(Exists(Progman("Personal/Pellor Tools/Admin%2FConsole.desktop")));
        EXPECT_TRUE(Exists(Progman("Common/Shared/Tool.desktop")));
        EXPECT_NE(ReadWholeFile(Progman("Personal/Pellor Tools/Editor.desktop")).find("X-Progman-IconIndex=665\n"),
                  std::string::npos);

        std::vector<std::string> journal = JournalCommands(Progman("journal.log"));
        ASSERT_EQ(journal.size(), std::size(steps));
        for (size_t i = 0; i < journal.size(); i++)
            EXPECT_EQ(journal[i], std::string(steps[i].command) + (steps[i].ack ? "\tACK" : "\tNACK"));
        // Each line is time-stamped and names the client by its process id.
        std::vector<std::string> lines = ReadLines(Progman("journal.log"));
        ASSERT_EQ(lines.size(), std::size(steps) + 1);
        std::string who = "\tpid " + std::to_string(getpid()) + " conv ";
        EXPECT_NE(lines[0].find(who), std::string::npos) << lines[0];
        EXPECT_TRUE(lines[0].size() > 10 && lines[0].compare(lines[0].size() - 8, 8, "\tconnect") == 0) << lines[0];
        for (const std::string &line : lines)
            EXPECT_TRUE(std::regex_search(line, std::regex("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\\t")))
                << line;
        EXPECT_FALSE(guard.WaitExit(200));  // exits when the conversation ends, not before
    }  // DdeUninitialize ends the conversation
    EXPECT_TRUE(guard.WaitExit(10000));
    DWORD code = 1;
    EXPECT_EQ(WaitForSingleObject(handles.info.hProcess, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeProcess(handles.info.hProcess, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(Exists(Progman("progman.pid")));
    EXPECT_FALSE(Exists(TestMachine() + "/dde/progman.sock"));

    if (system("command -v desktop-file-validate >/dev/null 2>&1") != 0) GTEST_SKIP() << "desktop-file-validate absent";
    for (const char *item : {"Personal/Pellor Tools/Editor.desktop", "Personal/Pellor Tools/Admin%2FConsole.desktop",
                             "Common/Shared/Tool.desktop"}) {
        std::string output;
        EXPECT_EQ(Capture("desktop-file-validate '" + Progman(item) + "' 2>&1", &output), 0) << output;
        EXPECT_EQ(output, "");
    }
}

TEST_F(ProgmanTest, ListsGroupsAndItemsAsATree) {
    ASSERT_TRUE(StartProgman(&guard, &handles));
    DdeClient client;
    HCONV conv = client.Connect("PROGMAN", "PROGMAN");
    ASSERT_NE(conv, nullptr);
    DWORD status = 0;
    ASSERT_NE(client.Execute(conv, "[CreateGroup(Tools)][AddItem(b.exe, Beta, b.ico, 2)][AddItem(a.exe, alpha)]"
                                   "[CreateGroup(Admin,1)][AddItem(c.exe /x, Console)]"
                                   "[CreateGroup(Tools)][AddItem(d.exe \xC2\x9B" "2J, D\xC2\x85)]",
                             20000, &status),
              nullptr);
    std::string output;
    EXPECT_EQ(Capture(BinDir() + "/progman --list", &output), 0);
    EXPECT_EQ(output,
              "Common\n"
              "  Admin\n"
              "    Console: c.exe /x (icon c.exe, 0)\n"
              "Personal\n"
              "  Tools\n"
              "    alpha: a.exe (icon a.exe, 0)\n"
              "    Beta: b.exe (icon b.ico, 2)\n"
              "    D\\xC2\\x85: d.exe \\xC2\\x9B2J (icon d.exe, 0)\n");  // controls escaped
}

// The second copy and the client come from another environment (no runtime directory, as
// under cron or su): the machine records where the first one listens, and they find it there.
TEST_F(ProgmanTest, ASecondCopyOnTheSameMachineIsRefused) {
    ASSERT_TRUE(StartProgman(&guard, &handles));
    const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_RUNTIME_DIR");
    struct Restore {
        std::string value;
        ~Restore() { setenv("XDG_RUNTIME_DIR", value.c_str(), 1); }
    } restore{runtime};
    ProcessHandles second;
    ProcessGuard secondGuard{-1, kProgmanGraceMs};
    ASSERT_TRUE(Start("progman", &second));
    secondGuard.Watch(static_cast<pid_t>(second.info.dwProcessId));
    // Ready all the same: whoever started it is served by the first copy.
    EXPECT_EQ(WaitForInputIdle(second.info.hProcess, 20000), 0u);
    DWORD code = 0;
    EXPECT_EQ(WaitForSingleObject(second.info.hProcess, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeProcess(second.info.hProcess, &code));
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(ReadWholeFile(Progman("progman.pid")), std::to_string(handles.info.dwProcessId) + "\n");
    DdeClient client;
    EXPECT_NE(client.Connect("PROGMAN", "PROGMAN"), nullptr);  // the first one still serves
}

TEST_F(ProgmanTest, KilledServerIsHeardAsADisconnect) {
    const struct {
        bool viaGetMessage;
    } cases[] = {{false}, {true}};
    for (const auto &c : cases) {
        ResetProgmanState();
        ProcessGuard server{-1, kProgmanGraceMs};
        ProcessHandles h;
        ASSERT_TRUE(StartProgman(&server, &h));
        DdeClient client;
        HCONV conv = client.Connect("PROGMAN", "PROGMAN");
        ASSERT_NE(conv, nullptr);
        DWORD status = 0;
        ASSERT_NE(client.Execute(conv, "[CreateGroup(G)]", 20000, &status), nullptr);
        pid_t pid = static_cast<pid_t>(std::atoi(ReadWholeFile(Progman("progman.pid")).c_str()));
        ASSERT_EQ(pid, server.pid());
        MSG msg{};
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));  // gives the thread its queue
        EXPECT_TRUE(client.disconnects.empty());
        server.Kill(SIGKILL);
        ASSERT_TRUE(server.WaitExit(5000));
        if (c.viaGetMessage) {
            ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 0, 0));
            EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
        } else {
            EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
        }
        ASSERT_EQ(client.disconnects.size(), 1u);
        EXPECT_EQ(client.disconnects[0], conv);
        EXPECT_EQ(client.Execute(conv, "[CreateGroup(G)]", 20000, &status), nullptr);
        EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_NO_CONV_ESTABLISHED));
        EXPECT_EQ(client.disconnects.size(), 1u);
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
}

TEST_F(ProgmanTest, MinimizedWindowIsRestoredThroughThePartnerHandle) {
    ASSERT_TRUE(StartProgman(&guard, &handles, SW_SHOWMINIMIZED));
    DdeClient client;
    HCONV conv = client.Connect("PROGMAN", "PROGMAN");
    ASSERT_NE(conv, nullptr);
    CONVINFO ci{};
    ci.cb = sizeof ci;
    DdeQueryConvInfo(conv, QID_SYNC, &ci);
    ASSERT_NE(ci.hwndPartner, nullptr);
    EXPECT_TRUE(SetForegroundWindow(ci.hwndPartner));
    EXPECT_EQ(GetWindowLongA(ci.hwndPartner, GWL_STYLE) & WS_MINIMIZE, WS_MINIMIZE);
    EXPECT_TRUE(ShowWindow(ci.hwndPartner, SW_RESTORE));  // it was visible
    EXPECT_EQ(GetWindowLongA(ci.hwndPartner, GWL_STYLE) & WS_MINIMIZE, 0);
    EXPECT_NE(GetWindowLongA(ci.hwndPartner, GWL_STYLE), 0);
    ShowWindow(ci.hwndPartner, SW_MINIMIZE);
    EXPECT_EQ(GetWindowLongA(ci.hwndPartner, GWL_STYLE) & WS_MINIMIZE, WS_MINIMIZE);

    HWND bogus = reinterpret_cast<HWND>(0x4242);
    EXPECT_FALSE(SetForegroundWindow(bogus));
    EXPECT_FALSE(SetForegroundWindow(nullptr));
    EXPECT_EQ(GetWindowLongA(bogus, GWL_STYLE), 0);
    EXPECT_FALSE(ShowWindow(bogus, SW_RESTORE));
}

TEST_F(ProgmanTest, SurvivesMalformedFramesAndVanishingClients) {
    ASSERT_TRUE(StartProgman(&guard, &handles));
    std::string dir = DdeRendezvousDir();
    std::string hello("PROGMAN\0PROGMAN\0", 16);
    std::vector<uint8_t> greet = DdeEncodeFrame(DDE_FRAME_HELLO, 0, hello.data(), hello.size());
    std::vector<std::vector<uint8_t>> clients = {
        {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n'},
        DdeEncodeFrame(DDE_FRAME_HELLO, 0, "PROGMAN\0", 8),
        greet,  // then the execute below, then gone before the answer
    };
    std::vector<uint8_t> exec = DdeEncodeFrame(DDE_FRAME_EXECUTE, 1, "[CreateGroup(Left)]", 20);
    clients.back().insert(clients.back().end(), exec.begin(), exec.end());
    for (const auto &bytes : clients) {
        int fd = DdeSocketConnect(dir, "PROGMAN");
        ASSERT_GE(fd, 0);
        DdeSendAll(fd, bytes, DdeNowMs() + 1000);
        close(fd);
    }
    DdeClient client;
    HCONV conv = client.Connect("PROGMAN", "PROGMAN");
    ASSERT_NE(conv, nullptr);
    DWORD status = 0;
    EXPECT_NE(client.Execute(conv, "[ShowGroup(Left, 1)]", 20000, &status), nullptr);  // the vanished client's group
    EXPECT_EQ(client.Connect("PROGMAN", "OTHER"), nullptr);
    std::vector<std::string> journal = JournalCommands(Progman("journal.log"));
    EXPECT_EQ(journal, (std::vector<std::string>{"[CreateGroup(Left)]\tACK", "[ShowGroup(Left, 1)]\tACK"}));
    EXPECT_NE(ReadWholeFile(Progman("progman.log")).find("malformed frame"), std::string::npos);
}

TEST_F(ProgmanTest, LetsGoOfTheStreamsOfWhoeverStartedIt) {
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    std::string program = BinDir() + "/progman";
    char *argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);  // started by hand
    posix_spawn_file_actions_destroy(&actions);
    guard.Watch(pid);
    close(pipeFds[1]);
    // The pipe reaches its end while the server runs on: a reader of our output is not held up.
    pollfd p{pipeFds[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    char byte;
    EXPECT_EQ(read(pipeFds[0], &byte, 1), 0);
    close(pipeFds[0]);
    EXPECT_FALSE(guard.WaitExit(0));
    EXPECT_EQ(ReadWholeFile(Progman("progman.pid")), std::to_string(pid) + "\n");
}

TEST_F(ProgmanTest, ConversationsLeftOpenDoNotLockOthersOut) {
    ASSERT_TRUE(StartProgman(&guard, &handles));
    std::vector<int> idle;
    for (int i = 0; i < 64; i++) {
        idle.push_back(Greeted("PROGMAN", "PROGMAN"));
        EXPECT_GE(idle.back(), 0) << i;
    }
    // Served as soon as the conversation idle longest may give way.
    DdeClient client;
    HCONV conv = nullptr;
    EXPECT_TRUE(WaitFor([&] { return (conv = client.Connect("PROGMAN", "PROGMAN")) != nullptr; }, 10000));
    DWORD status = 0;
    EXPECT_NE(client.Execute(conv, "[CreateGroup(Late)]", 20000, &status), nullptr);
    for (int fd : idle) close(fd);
}

TEST_F(ProgmanTest, ARunTurnedAwayAsBusySaysSo) {
    setenv("PELLOR_DDE_EVICT_MS", "600000", 1);  // none of the conversations below gives way
    bool started = StartProgman(&guard, &handles);
    unsetenv("PELLOR_DDE_EVICT_MS");
    ASSERT_TRUE(started);
    std::vector<int> idle;
    for (int i = 0; i < 64; i++) {
        idle.push_back(Greeted("PROGMAN", "PROGMAN"));
        EXPECT_GE(idle.back(), 0) << i;
    }
    TempDir work;
    WriteWholeFile(work / "s.inf", "[G]\nA = Alpha, a.exe, a.exe, 0\n");
    RunResult r = RunProgram(BinDir() + "/upgrade", {"/run_inf", "s.inf"}, {"PELLOR_LOG=-"}, 60000, work.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("progman: PROGMAN is busy: it turned the conversation away"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("commands acknowledged (the Program Manager was busy)"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("starting \"PROGMAN /NTSETUP\""), std::string::npos) << r.err;  // the busy one serves
    EXPECT_TRUE(JournalCommands(Progman("journal.log")).empty());
    for (int fd : idle) close(fd);
}

TEST_F(ProgmanTest, StopsCleanlyOnTerminate) {
    ASSERT_TRUE(StartProgman(&guard, &handles));
    guard.Kill(SIGTERM);
    EXPECT_TRUE(guard.WaitExit(5000));
    EXPECT_FALSE(Exists(Progman("progman.pid")));
    DdeClient client;
    EXPECT_EQ(client.Connect("PROGMAN", "PROGMAN"), nullptr);
}

// Permission bits of path (not following a symlink), or -1 when it is missing.
int ModeOf(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Runs progman as started by hand, its standard error to errPath: its exit
// status, or -1 when it still served after timeoutMs (it is then stopped).
int RunServer(const std::string &errPath, int timeoutMs) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string program = BinDir() + "/progman";
    char *argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -2;
    ProcessGuard guard{pid, kProgmanGraceMs};
    if (!guard.WaitExit(timeoutMs)) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    guard.Watch(-1);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Another user wrote into progman/ while it was loose: the server follows none
// of the links planted there and refuses to serve through them, takes nothing
// of theirs for its own, and tightens what is ours without adding a bit.
TEST_F(ProgmanTest, WhatAnotherUserPlantedIsNotFollowed) {
    using S = const std::string;
    const struct {
        const char *what;
        bool needsRoot;
        void (*plant)(S &progman, S &outside);  // progman/ and progman/Personal are 0777
        bool serves;
        const char *says;  // on standard error when refused, else in progman.log
        int journalMode = 0600;
    } cases[] = {
        {"progman.pid a link", false, [](S &p, S &o) { SwapForLink(p + "/progman.pid", o + "/keep"); }, false,
         "progman.pid is a symbolic link"},
        {"journal.log a link", false, [](S &p, S &o) { SwapForLink(p + "/journal.log", o + "/keep"); }, false,
         "journal.log is a symbolic link"},
        {"progman.log a link", false, [](S &p, S &o) { SwapForLink(p + "/progman.log", o + "/keep"); }, false,
         "progman.log is a symbolic link"},
        {"a group a link", false, [](S &p, S &o) { SwapForLink(p + "/Personal/Evil", o); }, true,
         "Personal/Evil is a symbolic link"},
        {"another user's group", true,
         [](S &p, S &) {
             mkdir((p + "/Personal/Evil").c_str(), 0777);
             PlantEvilItem(p + "/Personal/Evil/Evil.desktop", p + "/Personal/Evil");
         },
         true, "Personal/Evil belongs to another user"},
        {"loose logs of ours, one read-only (root may write it)", true,
         [](S &p, S &) {
             WriteWholeFile(p + "/journal.log", "", 0444);
             WriteWholeFile(p + "/progman.log", "", 0666);
         },
         true, "", 0400},
    };
    bool skipped = false;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && geteuid() != 0) {
            skipped = true;
            continue;
        }
        ResetProgmanState();
        TempDir outside;
        WriteWholeFile(outside / "keep", "kept\n", 0600);
        std::string progman = Progman("");
        ASSERT_TRUE(MakeDirs(TestMachine(), 0700));
        for (const std::string &dir : {progman, progman + "Personal"}) {
            ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
            ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
        }
        c.plant(progman, outside.path());
        if (!c.serves) {
            EXPECT_EQ(RunServer(outside / "err", 10000), 1);
            EXPECT_NE(ReadWholeFile(outside / "err").find(c.says), std::string::npos) << ReadWholeFile(outside / "err");
        } else {
            ProcessGuard server{-1, kProgmanGraceMs};
            ProcessHandles h;
            ASSERT_TRUE(StartProgman(&server, &h));
            DdeClient client;
            HCONV conv = client.Connect("PROGMAN", "PROGMAN");
            ASSERT_NE(conv, nullptr);
            DWORD status = 0;
            EXPECT_EQ(client.Execute(conv, "[CreateGroup(Evil)][AddItem(/tmp/evil, Evil)]", 20000, &status) != nullptr,
                      std::string(c.says).empty());
            std::string log = ReadWholeFile(Progman("progman.log"));
            EXPECT_NE(log.find(c.says), std::string::npos) << log;
            RunResult listed = RunProgram(BinPath("progman"), {"--list"});
            EXPECT_EQ(listed.out.find("/tmp/evil") != std::string::npos, std::string(c.says).empty()) << listed.out;
            for (const char *dir : {"", "Personal", "Common"}) EXPECT_EQ(ModeOf(Progman(dir)), 0700) << dir;
            EXPECT_EQ(ModeOf(Progman("progman.log")), 0600);
            EXPECT_EQ(ModeOf(Progman("journal.log")), c.journalMode);  // tightened, never given a bit
        }
        EXPECT_EQ(ReadWholeFile(outside / "keep"), "kept\n");
        EXPECT_FALSE(Exists(outside / "Evil.desktop"));
    }
    if (skipped) GTEST_SKIP() << "planting another user's files needs root";
}

// The journal's commands replayed through the command table, each with the
// session of the conversation that sent it.
void Replay(const std::vector<std::string> &journal, GroupStore &store) {
    std::map<std::string, ProgmanSession> sessions;
    for (const std::string &line : journal) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
        if (fields.size() != 4) continue;  // a connect or disconnect
        std::string why;
        EXPECT_EQ(ProgmanRunExecute(store, sessions[fields[1]], fields[2], &why), fields[3] == "ACK") << line;
    }
}

std::string Listing(const std::string &root) {
    std::string out;
    for (int scope : {SCOPE_COMMON, SCOPE_PERSONAL})
        for (const StoredGroup &g : StoreList(root, scope)) {
            out += std::to_string(scope) + " " + g.name + "\n";
            for (const ProgramItem &i : g.items)
                out += "  " + i.name + ": " + i.commandLine + " " + i.iconFile + " " + std::to_string(i.iconIndex) + "\n";
        }
    return out;
}

TEST_F(ProgmanTest, ItemsOnDiskAfterACleanExitAreWhatTheJournalSays) {
    ASSERT_TRUE(StartProgman(&guard, &handles));
    {
        DdeClient one, two;
        HCONV a = one.Connect("PROGMAN", "PROGMAN"), b = two.Connect("PROGMAN", "PROGMAN");
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        // Two conversations interleaved, each with its own active group.
        const struct {
            bool first;
            const char *command;
        } steps[] = {
            {true, "[CreateGroup(Tools)][AddItem(a.exe, A)][AddItem(b.exe, B, b.ico, 3)]"},
            {false, "[CreateGroup(Games,1)][AddItem(sol.exe, Sol)]"},
            {true, "[AddItem(c.exe, C)][DeleteItem(a)][AddItem(b2.exe, b)]"},
            {false, "[AddItem(mine.exe, Mines)][DeleteItem(Nope)]"},
            {true, "[CreateGroup(Old)][AddItem(o.exe, O)][DeleteGroup(OLD)]"},
            {false, "[CreateGroup(tools)][AddItem(z.exe, Z)]"},
            {true, "[ExitProgman(1)]"},
        };
        for (const auto &s : steps) {
            DWORD status = 0;
            (s.first ? one : two).Execute(s.first ? a : b, s.command, 20000, &status);
        }
    }
    ASSERT_TRUE(guard.WaitExit(10000));
    TempDir replayed;
    GroupStore store(replayed.path());
    std::string error;
    ASSERT_TRUE(store.Open(&error)) << error;
    Replay(ReadLines(Progman("journal.log")), store);
    std::string served = Listing(Progman(""));
    EXPECT_NE(served.find("Z: z.exe"), std::string::npos) << served;
    EXPECT_EQ(served, Listing(replayed.path()));
    // Nothing hidden is left behind: no temporary files, no deleted items kept for reuse.
    FILE *hidden = popen(("find '" + Progman("") + "' -mindepth 2 -name '.*'").c_str(), "r");
    ASSERT_NE(hidden, nullptr);
    char line[512];
    std::string found;
    while (fgets(line, sizeof line, hidden) != nullptr) found += line;
    pclose(hidden);
    EXPECT_EQ(found, "");
}

TEST_F(ProgmanTest, NothingAcknowledgedIsLostToAKill) {
    const int killAfter[] = {1, 9, 60};  // acknowledged commands before SIGKILL
    for (int n : killAfter) {
        ResetProgmanState();
        ProcessGuard server{-1, kProgmanGraceMs};
        ProcessHandles h;
        ASSERT_TRUE(StartProgman(&server, &h));
        std::map<std::string, std::string> acked;  // item file -> its command line
        {
            DdeClient client;
            HCONV conv = client.Connect("PROGMAN", "PROGMAN");
            ASSERT_NE(conv, nullptr);
            DWORD status = 0;
            for (int i = 0; i < n; i++) {
                // A new item, and an older one of its group deleted and added again, as an upgrade does.
                std::string group = "G" + std::to_string(i % 3), item = "Item" + std::to_string(i);
                std::string older = "Item" + std::to_string(i % 3 + (i / 6) * 3), line = "app.exe /" + std::to_string(i);
                std::string command = "[CreateGroup(" + group + ")][AddItem(" + line + ", " + item + ")][DeleteItem(" +
                                      older + ")][AddItem(" + line + " again, " + older + ")]";
                if (client.Execute(conv, command, 20000, &status) != nullptr) {
                    acked[group + "/" + item] = line;
                    acked[group + "/" + older] = line + " again";
                }
            }
            server.Kill(SIGKILL);  // while the conversation is open: no flush at its end
            ASSERT_TRUE(server.WaitExit(5000));
        }
        EXPECT_EQ(acked.size(), static_cast<size_t>(n));
        for (const auto &[item, line] : acked) {
            ProgramItem read;
            EXPECT_TRUE(ParseDesktopEntry(ReadWholeFile(Progman("Personal/" + item + ".desktop")), &read)) << item;
            EXPECT_EQ(read.commandLine, line) << item;
        }
        EXPECT_EQ(JournalCommands(Progman("journal.log")).size(), static_cast<size_t>(n)) << n;
    }
}

TEST_F(ProgmanTest, ExitWaitsForTheLastConversation) {
    ASSERT_TRUE(StartProgman(&guard, &handles));
    auto exiting = std::make_unique<DdeClient>(), staying = std::make_unique<DdeClient>();
    HCONV a = exiting->Connect("PROGMAN", "PROGMAN"), b = staying->Connect("PROGMAN", "PROGMAN");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    DWORD status = 0;
    EXPECT_NE(exiting->Execute(a, "[ExitProgman(1)]", 20000, &status), nullptr);
    exiting.reset();  // its conversation ends
    EXPECT_FALSE(guard.WaitExit(300));
    EXPECT_NE(staying->Execute(b, "[CreateGroup(Late)][AddItem(late.exe, Late)]", 20000, &status), nullptr);
    EXPECT_TRUE(Exists(Progman("Personal/Late/Late.desktop")));
    EXPECT_FALSE(guard.WaitExit(100));
    staying.reset();
    EXPECT_TRUE(guard.WaitExit(10000));
}

TEST_F(ProgmanTest, ACommandWhoseClientStoppedWaitingIsCarriedOut) {
    ASSERT_TRUE(StartProgman(&guard, &handles));
    // Each command times out against a stopped server; the client then goes.
    const struct {
        std::vector<std::string> commands;
        const char *item;  // what they leave on disk
        bool exits;
    } cases[] = {
        {{"[CreateGroup(Late)][AddItem(late.exe, Late)]"}, "Personal/Late/Late.desktop", false},
        {{"[CreateGroup(Two)]", "[AddItem(two.exe, Two)]"}, "Personal/Two/Two.desktop", false},
        {{"[CreateGroup(Last)][AddItem(last.exe, Last)]", "[ExitProgman(1)]"}, "Personal/Last/Last.desktop", true},
    };
    for (const auto &c : cases) {
        {
            DdeClient client;
            HCONV conv = client.Connect("PROGMAN", "PROGMAN");
            ASSERT_NE(conv, nullptr);
            guard.Kill(SIGSTOP);
            for (const std::string &command : c.commands) {
                DWORD status = 0;
                EXPECT_EQ(client.Execute(conv, command, 100, &status), nullptr);
                EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_EXECACKTIMEOUT));
            }
        }
        guard.Kill(SIGCONT);
        EXPECT_TRUE(WaitFor([&] { return Exists(Progman(c.item)); }, 10000)) << c.item;
        EXPECT_EQ(guard.WaitExit(c.exits ? 10000 : 200), c.exits) << c.item;
    }
}

TEST_F(ProgmanTest, ExitOptionEndsTheRunningServerOrSaysThereIsNone) {
    const struct {
        bool running;
        int status;
        const char *says;
    } cases[] = {
        {true, 0, ""},
        {false, 1, "progman: no Program Manager is running on this machine\n"},
    };
    for (const auto &c : cases) {
        ResetProgmanState();
        ProcessGuard server{-1, kProgmanGraceMs};
        ProcessHandles h;
        if (c.running) {
            ASSERT_TRUE(StartProgman(&server, &h));
        }
        std::string output;
        int status = Capture(BinDir() + "/progman --exit 2>&1", &output);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status);
        EXPECT_EQ(output, c.says);
        if (c.running) {
            EXPECT_TRUE(server.WaitExit(0)) << "--exit returned before the server ended";
        }
        EXPECT_FALSE(Exists(Progman("progman.pid")));
    }
}

}  // namespace
