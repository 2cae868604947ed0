// CreateProcessA's program lookup and argument passing, the child's
// standard streams, WaitForInputIdle, WaitForSingleObject and handles.
#include "helpers.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr DWORD kStillActive = 259;

// Runs a test with its own current directory, PATH and child variables, and
// puts them back afterwards.
class ProcessTest : public testing::Test {
protected:
    void SetUp() override {
        char buffer[PATH_MAX];
        ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
        oldCwd = buffer;
        oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
        ASSERT_EQ(chdir(cwd.path().c_str()), 0);
        out = scratch.path() + "/out";
        setenv("DDE_CHILD_OUT", out.c_str(), 1);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(oldCwd.c_str()), 0);
        setenv("PATH", oldPath.c_str(), 1);
        unsetenv("DDE_CHILD_OUT");
        unsetenv("DDE_CHILD_MODE");
    }
    // Runs a command line to its end; the output file's text, or "not found".
    std::string RunToEnd(const std::string &commandLine) {
        unlink(out.c_str());
        ProcessHandles h;
        if (!Start(commandLine, &h)) return GetLastError() == ERROR_FILE_NOT_FOUND ? "not found" : "failed";
        ProcessGuard guard(static_cast<pid_t>(h.info.dwProcessId));
        EXPECT_EQ(WaitForSingleObject(h.info.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        return ReadWholeFile(out);
    }
    TempDir cwd, pathDir, scratch;
    std::string out, oldCwd, oldPath;
};

TEST_F(ProcessTest, FindsTheProgramAsWindowsDoes) {
    enum Where { OWN, CWD, PATHDIR, SUB };
    struct File {
        Where where;
        std::string name;
        bool executable;
    };
    const std::string n = "pellorlookup" + std::to_string(getpid());
    const struct {
        std::vector<File> files;
        std::string command;
        const char *found;
    } cases[] = {
        {{{OWN, n, true}, {CWD, n, true}, {PATHDIR, n, true}}, n, "own"},
        {{{CWD, n, true}, {PATHDIR, n, true}}, n + " /x", "path"},
        {{{PATHDIR, n, true}}, n, "path"},
        {{{OWN, n, true}}, "PELLORLOOKUP" + std::to_string(getpid()) + " /NTSETUP", "own"},
        {{{PATHDIR, n + ".exe", true}}, n, "path"},
        {{{PATHDIR, n, true}}, n + ".EXE", "path"},
        {{{OWN, n, false}, {PATHDIR, n, true}}, n, "path"},  // a file that is no program is passed over
        {{}, n, "not found"},
        {{{CWD, n, true}}, n, "not found"},  // the current directory is never searched, nor "", "." or "sub " on PATH
        {{{SUB, n, true}}, n, "not found"},
        // A relative path is never taken from the current directory, nor searched for, whether it
        // is the whole name or a longer name tried up to a blank ("sub /name" in a folder "sub ").
        {{{SUB, n, true}, {PATHDIR, n, true}}, "\"sub \\" + n + "\"", "not found"},
        {{{SUB, n, true}}, "sub /" + n, "not found"},
        {{{PATHDIR, n, true}}, "sub/" + n, "not found"},
        {{{SUB, n, true}}, "\"" + cwd.path() + "/sub /" + n + "\"", "sub"},
        {{{PATHDIR, n + " two", true}}, "\"" + n + " two\" arg", "path"},
        {{{PATHDIR, n + " two", true}}, n + " two arg", "path"},  // unquoted: tried up to each blank
    };
    const std::string labels[] = {"own", "cwd", "path", "sub"};
    const std::string dirs[] = {BinDir(), cwd.path(), pathDir.path(), cwd.path() + "/sub "};
    mkdir(dirs[SUB].c_str(), 0700);
    setenv("PATH", (pathDir.path() + "::.:sub :" + oldPath).c_str(), 1);
    for (const auto &c : cases) {
        std::vector<std::unique_ptr<FileGuard>> made;
        for (const File &f : c.files) {
            std::string path = dirs[f.where] + "/" + f.name;
            WriteWholeFile(path, "#!/bin/sh\necho " + labels[f.where] + " > \"$DDE_CHILD_OUT\"\n",
                           f.executable ? 0755 : 0644);
            made.push_back(std::make_unique<FileGuard>());
            made.back()->path = path;
        }
        EXPECT_EQ(RunToEnd(c.command), std::string(c.found) + (c.found[0] == 'n' ? "" : "\n")) << c.command;
    }
}

TEST_F(ProcessTest, ChildGetsWindowsArgumentsAndNothingElseOfOurs) {
    setenv("DDE_CHILD_MODE", "exit", 1);
    int leak = open("/dev/null", O_RDONLY);  // inheritable on purpose
    ASSERT_GE(leak, 0);
    ProcessHandles h;
    ASSERT_TRUE(Start("DDE_TEST_CHILD \"a b\" c\\\"d e\\\\f \"\"", &h, SW_SHOWMINIMIZED));
    ProcessGuard guard(static_cast<pid_t>(h.info.dwProcessId));
    close(leak);
    EXPECT_EQ(WaitForSingleObject(h.info.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(ReadLines(out), (std::vector<std::string>{"DDE_TEST_CHILD", "a b", "c\"d", "e\\\\f", "", "stdio-null=1",
                                                        "extra-fds=0", "show=2"}));
    EXPECT_EQ(RunToEnd("dde_test_child.exe"), "dde_test_child.exe\nstdio-null=1\nextra-fds=0\nshow=10\n");
}

TEST_F(ProcessTest, WaitForInputIdleIsTheChildsReadiness) {
    const struct {
        const char *mode;
        DWORD timeout;
        DWORD result;
        int minMs, maxMs;
    } cases[] = {
        {"ready", 20000, 0, 0, 15000},
        {"exit", 20000, WAIT_FAILED, 0, 15000},
        {"slow:3000", 200, WAIT_TIMEOUT, 190, 2500},
    };
    for (const auto &c : cases) {
        setenv("DDE_CHILD_MODE", c.mode, 1);
        ProcessHandles h;
        ASSERT_TRUE(Start("dde_test_child", &h));
        ProcessGuard guard(static_cast<pid_t>(h.info.dwProcessId));
        DWORD start = GetTickCount();
        EXPECT_EQ(WaitForInputIdle(h.info.hProcess, c.timeout), c.result) << c.mode;
        DWORD spent = GetTickCount() - start;
        EXPECT_GE(spent, static_cast<DWORD>(c.minMs)) << c.mode;
        EXPECT_LE(spent, static_cast<DWORD>(c.maxMs)) << c.mode;
    }
    // A slow child becomes ready after all, and stays ready.
    setenv("DDE_CHILD_MODE", "slow:500", 1);
    ProcessHandles h;
    ASSERT_TRUE(Start("dde_test_child", &h));
    ProcessGuard guard(static_cast<pid_t>(h.info.dwProcessId));
    EXPECT_EQ(WaitForInputIdle(h.info.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForInputIdle(h.info.hProcess, 20000), 0u);
    EXPECT_EQ(WaitForInputIdle(h.info.hProcess, 0), 0u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(h.info.hProcess, &code));
    EXPECT_EQ(code, kStillActive);
    EXPECT_EQ(WaitForSingleObject(h.info.hProcess, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    guard.Kill(SIGTERM);
    EXPECT_EQ(WaitForSingleObject(h.info.hThread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeProcess(h.info.hProcess, &code));
    EXPECT_EQ(code, 128u + 15u);  // ended by SIGTERM
}

TEST_F(ProcessTest, FailuresAreReportedAsWindowsDoes) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    char line[] = "dde_test_child";
    EXPECT_FALSE(CreateProcessA(nullptr, line, nullptr, nullptr, 8, 0, nullptr, "/nonexistent/dir", &si, &pi));
    EXPECT_EQ(GetLastError(), 267u);  // ERROR_DIRECTORY
    EXPECT_FALSE(CreateProcessA(nullptr, nullptr, nullptr, nullptr, 8, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE bogus = reinterpret_cast<HANDLE>(0x77);
    EXPECT_FALSE(CloseHandle(bogus));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForInputIdle(bogus, 10), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(bogus, 10), WAIT_FAILED);
    DWORD code;
    EXPECT_FALSE(GetExitCodeProcess(bogus, &code));

    setenv("DDE_CHILD_MODE", "exit", 1);
    ProcessHandles h;
    ASSERT_TRUE(Start("dde_test_child", &h));
    ProcessGuard guard(static_cast<pid_t>(h.info.dwProcessId));
    EXPECT_EQ(WaitForSingleObject(h.info.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeProcess(h.info.hProcess, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(CloseHandle(h.info.hThread));
    EXPECT_FALSE(CloseHandle(h.info.hThread));  // a handle closes once
    h.info.hThread = nullptr;
}

}  // namespace
