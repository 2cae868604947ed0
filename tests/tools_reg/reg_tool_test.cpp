// The reg command, run as a program on the test's machine: reg.exe's syntax,
// output and exit status, and .reg round trips.
#include "regtext.h"
#include "test_machine.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace {

struct RegRun {
    int status = -1;  // the exit status, or -1 when the program did not exit normally
    std::string out, err;
};

// How reg runs besides its arguments: as a user whom file modes bind (root is
// bound by none: then as nobody), and with a smaller stack.
struct RegLimits {
    bool unprivileged = false;
    rlim_t stackBytes = 0;  // 0: as inherited
};

constexpr uid_t kNobody = 65534;

// Runs build/bin/reg with the arguments and the given standard input, on the test's machine.
RegRun RunReg(const TestMachine &machine, const std::vector<std::string> &args, const std::string &input = "",
              const RegLimits &limits = {}) {
    std::string inPath = machine.dir() + "/stdin", outPath = machine.dir() + "/stdout",
                errPath = machine.dir() + "/stderr";
    WriteWholeFile(inPath, input);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(inPath.c_str(), O_RDONLY), out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
            err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (limits.stackBytes != 0) {
            struct rlimit stack {limits.stackBytes, limits.stackBytes};
            if (setrlimit(RLIMIT_STACK, &stack) != 0) _exit(126);
        }
        if (limits.unprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
            _exit(126);
        std::vector<char *> argv{const_cast<char *>(REG_TOOL)};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(REG_TOOL, argv.data());
        _exit(127);
    }
    RegRun run;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.out = ReadWholeFile(outPath);
    run.err = ReadWholeFile(errPath);
    return run;
}

const char kOk[] = "The operation completed successfully.\n";
const char kNotFoundLine[] = "ERROR: The system was unable to find the specified registry key or value.\n";
const char kCanceledLine[] = "The operation was canceled by the user.\n";

std::string Utf16ToText(const std::string &bytes) {
    std::string body = bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0 ? bytes.substr(2) : bytes;
    std::string text = ToUtf8(BytesToUnits(body));
    std::string unix;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        unix += text[i];
    }
    return unix;
}

std::string Repeat(const std::string &text, int times) {
    std::string out;
    for (int i = 0; i < times; i++) out += text;
    return out;
}

// Hands dir and everything in it to nobody, so that reg running as nobody uses it as its machine.
void GiveToNobody(const std::string &dir) {
    nftw(
        dir.c_str(), [](const char *p, const struct stat *, int, FTW *) { return lchown(p, kNobody, kNobody); }, 16,
        FTW_PHYS);
}

class RegToolTest : public RegistryTest {
protected:
    RegRun Reg(const std::vector<std::string> &args, const std::string &input = "") {
        return RunReg(machine, args, input);
    }
};

TEST_F(RegToolTest, AddThenQueryRoundTripsEveryType) {
    struct Case {
        const char *type;
        const char *data;  // null: no /d
        const char *shown;
        std::string stored;
    } cases[] = {
        {"REG_SZ", "Hello, World", "Hello, World", SzBytes(u"Hello, World")},
        {"REG_SZ", nullptr, "", SzBytes(u"")},
        {"REG_SZ", "foo\\0bar", "foo\\0bar", SzBytes(u"foo\\0bar")},
        {"REG_EXPAND_SZ", "%SystemRoot%\\Pellor", "%SystemRoot%\\Pellor", SzBytes(u"%SystemRoot%\\Pellor")},
        {"REG_MULTI_SZ", "three\\0little\\0strings", "three\\0little\\0strings",
         SzBytes(u"three") + SzBytes(u"little") + SzBytes(u"strings") + std::string(2, '\0')},
        {"REG_MULTI_SZ", "", "", std::string(2, '\0')},
        {"REG_DWORD", "2", "0x2", std::string("\x02\0\0\0", 4)},
        {"REG_DWORD", "0x123", "0x123", std::string("\x23\x01\0\0", 4)},
        {"REG_DWORD", "0123", "0x7b", std::string("\x7b\0\0\0", 4)},
        {"REG_DWORD", "4294967295", "0xffffffff", std::string("\xff\xff\xff\xff", 4)},
        {"reg_dword", "0XDEADBEEF", "0xdeadbeef", std::string("\xef\xbe\xad\xde", 4)},
        {"REG_DWORD_BIG_ENDIAN", "456", "0x1c8", std::string("\xc8\x01\0\0", 4)},
        {"REG_QWORD", "0x123456789abcdef", "0x123456789abcdef", std::string("\xef\xcd\xab\x89\x67\x45\x23\x01", 8)},
        {"REG_QWORD", nullptr, "0x0", std::string(8, '\0')},
        {"REG_QWORD", "-1", "0xffffffffffffffff", std::string(8, '\xff')},
        {"REG_BINARY", "deadbeef01", "DEADBEEF01", std::string("\xde\xad\xbe\xef\x01", 5)},
        {"REG_BINARY", "DeAdBeEf0DD", "0DEADBEEF0DD", std::string("\x0d\xea\xdb\xee\xf0\xdd", 6)},
        {"REG_BINARY", nullptr, "", std::string()},
        {"REG_NONE", nullptr, "0000", std::string(2, '\0')},
        {"REG_NONE", "ab", "610062000000", SzBytes(u"ab")},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string name = "Value" + std::to_string(n++);
        std::vector<std::string> args{"add", "HKCU\\Software\\Pellor\\Types", "/v", name, "/t", c.type, "/f"};
        if (c.data != nullptr) args.insert(args.end(), {"/d", c.data});
        RegRun add = Reg(args);
        EXPECT_EQ(add.status, 0) << c.type << " " << (c.data ? c.data : "") << add.err;
        EXPECT_EQ(add.out, kOk);
        RegRun query = Reg({"query", "HKCU\\Software\\Pellor\\Types", "/v", name});
        EXPECT_EQ(query.status, 0);
        std::string type = c.type;
        for (char &ch : type) ch = static_cast<char>(toupper(ch));
        if (type == "REG_DWORD_BIG_ENDIAN") type = "REG_DWORD_BIG_ENDIAN";
        EXPECT_EQ(query.out, "\nHKEY_CURRENT_USER\\Software\\Pellor\\Types\n    " + name + "    " + type + "    " +
                                 c.shown + "\n\n");

        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Pellor\\Types", 0, KEY_READ, &key), ERROR_SUCCESS);
        ValueRead v = ReadValue(key, FromUtf8(name));
        EXPECT_EQ(v.data, c.stored) << c.type << " " << (c.data ? c.data : "");
        RegCloseKey(key);
    }
}

TEST_F(RegToolTest, AddRefusesBadCommandLinesAndData) {
    const std::vector<std::vector<std::string>> cases = {
        {"add"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_DWORD", "/d", "1", "/v", "b", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/ve", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/a"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "", "/d", "x", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_WHATEVER", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_LINK", "/f"},  // shown by query, not written by add
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_DWORD", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_DWORD", "/d", "zzz", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_DWORD", "/d", "123xyz", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_DWORD", "/d", "-1", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_DWORD", "/d", "00x123", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_QWORD", "/d", "-0x1", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_QWORD", "/d", "18446744073709551616", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_BINARY", "/d", "0xDeAdBeEf", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_BINARY", "/d", "01x", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_MULTI_SZ", "/d", "two\\0\\0strings", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_MULTI_SZ", "/d", "\\0a", "/f"},
        {"add", "HKCU\\Software\\Bad", "/v", "a", "/t", "REG_MULTI_SZ", "/s", "##", "/d", "a##b", "/f"},
        {"add", "\\HKCU\\Software\\Bad", "/f"},
        {"add", "\\\\HKCU\\Software\\Bad", "/f"},
        {"add", "HKCU\\Software\\Bad\\\\", "/f"},
        {"add", "HKCU\\", "/v", "a", "/f"},
        {"add", "HKCR\\Software\\Bad", "/f"},
        {"add", "HKEY_NOWHERE\\Software\\Bad", "/f"},
    };
    for (const auto &args : cases) {
        RegRun run = Reg(args);
        std::string line;
        for (const std::string &a : args) line += a + " ";
        EXPECT_EQ(run.status, 1) << line;
        EXPECT_EQ(run.err.rfind("ERROR: ", 0), 0u) << line << run.err;
        EXPECT_EQ(run.out, "") << line;
    }
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Bad"}).status, 1);  // nothing was created
    EXPECT_EQ(Reg({"add", "HKCU\\Software\\Good\\", "/f"}).status, 0);
    EXPECT_EQ(Reg({"add", "HKCU\\Software\\Good", "/v", "m", "/t", "REG_MULTI_SZ", "/s", "#", "/d", "a#b#", "/f"}).status, 0);
}

TEST_F(RegToolTest, QueryPrintsKeysAsRegExe) {
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q", "/v", "Test1", "/d", "Hello, World", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q", "/v", "Test2", "/t", "REG_DWORD", "/d", "0x123", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q\\subkey", "/v", "Test3", "/d", "Some string data", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q\\subkey\\deeper", "/f"}).status, 0);

    EXPECT_EQ(Reg({"query", "HKEY_CURRENT_USER\\Software\\Q"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Q\n"
              "    Test1    REG_SZ    Hello, World\n"
              "    Test2    REG_DWORD    0x123\n\n"
              "HKEY_CURRENT_USER\\Software\\Q\\subkey\n");
    EXPECT_EQ(Reg({"query", "hkcu\\Software\\Q\\", "/s"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Q\n"
              "    Test1    REG_SZ    Hello, World\n"
              "    Test2    REG_DWORD    0x123\n\n"
              "HKEY_CURRENT_USER\\Software\\Q\\subkey\n"
              "    Test3    REG_SZ    Some string data\n\n"
              "HKEY_CURRENT_USER\\Software\\Q\\subkey\\deeper\n"
              "    (Default)    REG_SZ    \n\n");  // reg add without /v sets the default value
    // A key without values: its subkeys only, as reg.exe prints them.
    EXPECT_EQ(Reg({"query", "HKCU\\Software"}).out, "\nHKEY_CURRENT_USER\\Software\\Q\n");
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Q", "/v", "TEST2"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Q\n    Test2    REG_DWORD    0x123\n\n");
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Q", "/ve"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Q\n    (Default)    REG_SZ    (value not set)\n\n");
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q\\subkey", "/v", "test1", "/d", "again", "/f"}).status, 0);
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Q", "/v", "Test1", "/s"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Q\n    Test1    REG_SZ    Hello, World\n\n"
              "HKEY_CURRENT_USER\\Software\\Q\\subkey\n    test1    REG_SZ    again\n\n"
              "End of search: 2 match(es) found.\n");

    RegRun missing = Reg({"query", "HKCU\\Software\\Q", "/v", "Missing"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, kNotFoundLine);
    RegRun noKey = Reg({"query", "HKLM\\SOFTWARE\\Nothing"});
    EXPECT_EQ(noKey.status, 1);
    EXPECT_EQ(noKey.err, kNotFoundLine);
    EXPECT_EQ(Reg({"query"}).status, 1);
    EXPECT_EQ(Reg({"query", "/?"}).status, 0);
    RegRun usage = Reg({"/?"});
    EXPECT_NE(usage.out.find("QUERY | ADD | DELETE | IMPORT | EXPORT"), std::string::npos);
    EXPECT_EQ(usage.out.find("COMPARE"), std::string::npos) << "an operation it lacks";
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Q", "/s", "/s"}).status, 1);
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Q", "/v", "a", "/ve"}).status, 1);
}

TEST_F(RegToolTest, QuerySearchOptions) {
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q", "/v", "Test1", "/d", "Hello, World", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q", "/v", "Test2", "/t", "REG_DWORD", "/d", "0x123", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q\\sub", "/v", "Hello", "/t", "REG_EXPAND_SZ", "/d", "x", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q\\Hello", "/f"}).status, 0);
    const std::string q = "\nHKEY_CURRENT_USER\\Software\\Q\n", test1 = "    Test1    REG_SZ    Hello, World\n",
                      test2 = "    Test2    REG_DWORD    0x123\n", helloKey = "HKEY_CURRENT_USER\\Software\\Q\\Hello\n",
                      sub = "HKEY_CURRENT_USER\\Software\\Q\\sub\n", subHello = "    Hello    REG_EXPAND_SZ    x\n";
    auto end = [](int n) { return "End of search: " + std::to_string(n) + " match(es) found.\n"; };
    struct Case {
        std::vector<std::string> switches;
        std::string out;  // after the leading blank line
        int status;
    } cases[] = {
        // By default: key names, value names and data, any case, any part.
        {{"/f", "hello"}, q.substr(1) + test1 + "\n" + helloKey + end(2), 0},
        {{"/f", "hello", "/s"}, q.substr(1) + test1 + "\n" + helloKey + sub + subHello + "\n" + end(3), 0},
        {{"/f", "hello", "/k", "/s"}, helloKey + end(1), 0},
        {{"/f", "hello", "/d", "/s"}, q.substr(1) + test1 + "\n" + end(1), 0},
        {{"/f", "hello", "/v", "/s"}, sub + subHello + "\n" + end(1), 0},
        {{"/f", "hello", "/k", "/d"}, q.substr(1) + test1 + "\n" + helloKey + end(2), 0},
        {{"/f", "hello", "/c", "/s"}, end(0), 1},
        {{"/f", "Hello", "/c", "/e", "/s"}, helloKey + sub + subHello + "\n" + end(2), 0},
        {{"/f", "123", "/d"}, q.substr(1) + test2 + "\n" + end(1), 0},  // data as reg query shows it
        {{"/f", "0x123", "/e"}, q.substr(1) + test2 + "\n" + end(1), 0},
        {{"/f", "*", "/k"}, helloKey + sub + end(2), 0},                  // "*" alone matches everything
        {{"/f", "Hel*"}, end(0), 1},                                      // elsewhere it is a character
        {{"/t", "REG_DWORD"}, q.substr(1) + test2 + "\n" + end(1), 0},
        {{"/f", "e", "/t", "reg_expand_sz,REG_DWORD", "/s"}, q.substr(1) + test2 + "\n" + sub + subHello + "\n" + end(2), 0},
        {{"/f", "e", "/t", "REG_SZ", "/s", "/k", "/d"}, q.substr(1) + test1 + "\n" + helloKey + end(2), 0},
        {{"/f", "Hello", "/e", "/s", "/d"}, end(0), 1},
    };
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Q\\Hello", "/ve", "/f"}).status, 0);  // an empty default value
    for (const Case &c : cases) {
        std::vector<std::string> args = {"query", "HKCU\\Software\\Q"};
        args.insert(args.end(), c.switches.begin(), c.switches.end());
        RegRun run = Reg(args);
        std::string label = c.switches[0] + " " + c.switches[1];
        EXPECT_EQ(run.out, "\n" + c.out) << label;
        EXPECT_EQ(run.status, c.status) << label;
    }
    for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
             {"/f", "x", "/v", "y"}, {"/f", "x", "/ve"}, {"/f", ""}, {"/f", "x", "/t", "REG_FOO"},
             {"/f", "x", "/t", "REG_DWORD_BIG_ENDIAN"},  // add takes it, the search does not
             {"/f", "x", "/t", "REG_SZ,"}, {"/f", "x", "/k", "/k"}, {"/f"}}) {
        std::vector<std::string> args = {"query", "HKCU\\Software\\Q"};
        args.insert(args.end(), bad.begin(), bad.end());
        RegRun run = Reg(args);
        EXPECT_EQ(run.status, 1) << bad.back();
        EXPECT_EQ(run.err.rfind("ERROR: Invalid syntax.", 0), 0u) << bad.back();
    }
}

TEST_F(RegToolTest, NamesWithSlashesAndControlCharactersRoundTrip) {
    const std::string key = "HKCU\\Software\\Odd/Key\x01";
    const std::string name = "count/up\ttab\x02" "caf\xc3\xa9";
    ASSERT_EQ(Reg({"add", key, "/v", name, "/d", "one/two/three", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", key, "/v", "\\foo\\bar", "/f"}).status, 0);
    EXPECT_EQ(Reg({"query", key, "/v", name}).out,
              "\nHKEY_CURRENT_USER\\Software\\Odd/Key\x01\n    " + name + "    REG_SZ    one/two/three\n\n");
    HKEY hkey = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Odd/Key\x01", 0, KEY_READ, &hkey), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(hkey, u"count/up\ttab\x02" u"caf\u00e9").data, SzBytes(u"one/two/three"));
    EXPECT_EQ(ReadValue(hkey, u"\\foo\\bar").data, SzBytes(u""));
    RegCloseKey(hkey);

    // Through a .reg file and back, into a fresh key.
    std::string file = machine.dir() + "/odd.reg";
    ASSERT_EQ(Reg({"export", key, file}).status, 0);
    ASSERT_EQ(Reg({"delete", key, "/f"}).status, 0);
    ASSERT_EQ(Reg({"query", key}).status, 1);
    ASSERT_EQ(Reg({"import", file}).status, 0);
    EXPECT_EQ(Reg({"query", key, "/v", name}).out,
              "\nHKEY_CURRENT_USER\\Software\\Odd/Key\x01\n    " + name + "    REG_SZ    one/two/three\n\n");
}

TEST_F(RegToolTest, DeleteAsksUnlessForced) {
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\D\\Sub", "/v", "a", "/d", "1", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\D", "/v", "b", "/d", "2", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\D", "/v", "c", "/d", "3", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\D", "/ve", "/d", "4", "/f"}).status, 0);

    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
    } cases[] = {
        {{"delete", "HKCU\\Software\\D", "/v", "b"}, "", 1,
         "Delete the registry value b (Yes/No)? \n" + std::string(kCanceledLine)},
        {{"delete", "HKCU\\Software\\D", "/v", "b"}, "no\n", 1,
         "Delete the registry value b (Yes/No)? " + std::string(kCanceledLine)},
        {{"delete", "HKCU\\Software\\D", "/v", "b"}, "maybe\ny\n", 0,
         "Delete the registry value b (Yes/No)? Delete the registry value b (Yes/No)? " + std::string(kOk)},
        {{"delete", "HKCU\\Software\\D", "/v", "b", "/f"}, "", 1, ""},
        {{"delete", "HKCU\\Software\\D", "/ve", "/f"}, "", 0, kOk},
        {{"delete", "HKCU\\Software\\D", "/va"}, "Y\n", 0,
         "Delete all values under the registry key HKEY_CURRENT_USER\\Software\\D (Yes/No)? " + std::string(kOk)},
        {{"delete", "HKCU\\Software\\D"}, "n\n", 1,
         "Permanently delete the registry key HKEY_CURRENT_USER\\Software\\D (Yes/No)? " + std::string(kCanceledLine)},
        {{"delete", "HKCU\\Software\\D", "/f"}, "", 0, kOk},
        {{"delete", "HKCU\\Software\\D", "/f"}, "", 1, ""},
        {{"delete", "HKCU", "/f"}, "", 1, ""},
        {{"delete", "HKCU\\Software\\X", "/v", "a", "/va", "/f"}, "", 1, ""},
    };
    for (const Case &c : cases) {
        RegRun run = Reg(c.args, c.input);
        std::string line;
        for (const std::string &a : c.args) line += a + " ";
        EXPECT_EQ(run.status, c.status) << line << run.err;
        EXPECT_EQ(run.out, c.out) << line;
        if (line == "delete HKCU\\Software\\D /va ") {
            RegRun query = Reg({"query", "HKCU\\Software\\D"});  // values gone, the subkey kept
            EXPECT_EQ(query.out, "\nHKEY_CURRENT_USER\\Software\\D\\Sub\n");
        }
    }
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\D"}).status, 1);
}

TEST_F(RegToolTest, AddAsksBeforeOverwriting) {
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Pellor\\UPGRADE", "/v", "IconVersion", "/t", "REG_DWORD", "/d", "1"}).status, 0);
    RegRun no = Reg({"add", "HKCU\\Software\\Pellor\\UPGRADE", "/v", "IconVersion", "/t", "REG_DWORD", "/d", "2"});
    EXPECT_EQ(no.status, 1);  // no answer on standard input: No
    EXPECT_EQ(no.out, "Value IconVersion exists, overwrite(Yes/No)? \n" + std::string(kCanceledLine));
    RegRun yes = Reg({"add", "HKCU\\Software\\Pellor\\UPGRADE", "/v", "iconversion", "/t", "REG_DWORD", "/d", "2"}, "yes\n");
    EXPECT_EQ(yes.status, 0);
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Pellor\\UPGRADE", "/v", "IconVersion"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Pellor\\UPGRADE\n    IconVersion    REG_DWORD    0x2\n\n");
}

TEST_F(RegToolTest, ImportOfAWindowsFileThenExportGivesItBack) {
    const std::string fixture = std::string(FIXTURES) + "/windows5.reg";
    RegRun import = Reg({"import", fixture});
    ASSERT_EQ(import.status, 0) << import.err;
    EXPECT_EQ(import.out, kOk);
    std::string file = machine.dir() + "/export.reg";
    RegRun exported = Reg({"export", "HKLM\\SOFTWARE\\Pellor", file});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out, kOk);
    EXPECT_EQ(Utf16ToText(ReadWholeFile(file)), Utf16ToText(ReadWholeFile(fixture)));
    EXPECT_EQ(ReadWholeFile(file), ReadWholeFile(fixture));  // byte for byte: BOM, UTF-16LE, CRLF

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pellor", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(key, u"InstallDir").data, SzBytes(u"C:\\Program Files\\Pellor\\"));
    EXPECT_EQ(ReadValue(key, u"Line\nBreak").data, SzBytes(u"first\r\nsecond"));
    EXPECT_EQ(ReadValue(key, u"Tab\tName").data, SzBytes(u"Caf\u00e9 \u00dc \u0416"));
    EXPECT_EQ(ReadValue(key, u"NoTerminator").type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(ReadValue(key, u"NoTerminator").data, std::string("A\0B\0", 4));
    RegCloseKey(key);

    // The file exists now: without /y the answer is asked for, and no answer keeps it.
    WriteWholeFile(file, "keep me");
    RegRun again = Reg({"export", "HKLM\\SOFTWARE\\Pellor", file});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(ReadWholeFile(file), "keep me");
    EXPECT_EQ(Reg({"export", "HKLM\\SOFTWARE\\Pellor", file, "/y"}).status, 0);
    EXPECT_EQ(ReadWholeFile(file), ReadWholeFile(fixture));
    EXPECT_EQ(Reg({"export", "HKLM\\SOFTWARE\\Missing", file, "/y"}).err, kNotFoundLine);
}

TEST_F(RegToolTest, ImportOfRegedit4FileWithEditsAndComments) {
    RegRun import = Reg({"import", std::string(FIXTURES) + "/regedit4.reg"});
    ASSERT_EQ(import.status, 0) << import.err;
    std::string file = machine.dir() + "/export.reg";
    ASSERT_EQ(Reg({"export", "HKEY_CURRENT_USER\\Software\\Pellor", file}).status, 0);
    EXPECT_EQ(Utf16ToText(ReadWholeFile(file)), ReadWholeFile(std::string(FIXTURES) + "/regedit4_expected.txt"));
}

TEST_F(RegToolTest, ImportReportsBadLinesAndKeepsTheRest) {
    RegRun import = Reg({"import", std::string(FIXTURES) + "/bad_lines.reg"});
    EXPECT_EQ(import.status, 1);
    for (int line : {3, 6, 7, 8, 9, 10, 11, 12, 15, 18}) {
        EXPECT_NE(import.err.find(", line " + std::to_string(line) + ": "), std::string::npos) << line << import.err;
    }
    for (int line : {5, 13, 16, 19, 21, 22}) {
        EXPECT_EQ(import.err.find(", line " + std::to_string(line) + ": "), std::string::npos) << line << import.err;
    }
    EXPECT_NE(import.err.find("ERROR: Not all data was successfully written to the registry.\n"), std::string::npos);
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Bad", "/s"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Bad\n"
              "    Good1    REG_SZ    kept\n"
              "    Good2    REG_DWORD    0x5\n\n"
              "HKEY_CURRENT_USER\\Software\\Bad\\Sub\n"
              "    Good3    REG_BINARY    0102\n\n");

    struct Case {
        std::string content;
        std::string error;
    } cases[] = {
        {"", "ERROR: The specified file is not a registry script."},
        {"[HKEY_CURRENT_USER\\Software\\X]\n\"a\"=\"b\"\n", "ERROR: The specified file is not a registry script."},
        {std::string("\xff\xfe\x00\xd8", 4), "ERROR: The specified file is not a registry script."},
        {std::string(5000, '\0'), "ERROR: The specified file is not a registry script."},
    };
    for (const Case &c : cases) {
        std::string path = machine.dir() + "/bad.reg";
        WriteWholeFile(path, c.content);
        RegRun run = Reg({"import", path});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind(c.error, 0), 0u) << run.err;
    }
    RegRun missing = Reg({"import", machine.dir() + "/none.reg"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "ERROR: Error opening the file. There may be a disk or file system error.\n");
}

// A name cut at a NUL or closed up over an empty component would name another
// key or value (here a parent, or a neighbour), and Windows makes no key below
// 512 levels: the line is refused, the rest imported.
TEST_F(RegToolTest, ImportRefusesNamesCutShortOrClosedUp) {
    const std::string nul(1, '\0');
    struct Case {
        const char *what;
        std::string lines;  // after the header line
        int badLine;
    } cases[] = {
        {"raw NUL in a deleted key", "[-HKEY_CURRENT_USER\\Software" + nul + "\\Pellor\\Obsolete]\n", 2},
        {"raw NUL in a created key", "[HKEY_CURRENT_USER\\Software\\Pellor" + nul + "X]\n\"Important\"=\"lost\"\n", 2},
        {"escaped NUL in a deleted value", "[HKEY_CURRENT_USER\\Software\\Pellor]\n\"Important\\0Obsolete\"=-\n", 3},
        {"raw NUL in a set value", "[HKEY_CURRENT_USER\\Software\\Pellor]\n\"Important" + nul + "X\"=\"lost\"\n", 3},
        {"empty component in a deleted key", "[-HKEY_CURRENT_USER\\Software\\\\Pellor]\n", 2},
        {"empty component in a created key", "[HKEY_CURRENT_USER\\Software\\\\Pellor]\n\"Important\"=\"lost\"\n", 2},
        {"a key 513 levels deep", "[HKEY_CURRENT_USER\\Software\\Pellor" + Repeat("\\a", 511) + "]\n\"Lost\"=\"x\"\n", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Reg({"add", "HKCU\\Software\\Pellor", "/v", "Important", "/d", "keep", "/f"}).status, 0);
        ASSERT_EQ(Reg({"add", "HKCU\\Software\\Pellor\\Obsolete", "/f"}).status, 0);
        std::string before = Reg({"query", "HKCU\\Software", "/s"}).out;
        WriteWholeFile(machine.dir() + "/nul.reg", "Windows Registry Editor Version 5.00\n" + c.lines +
                                                  "[HKEY_CURRENT_USER\\Later]\n\"After\"=\"y\"\n");
        RegRun run = Reg({"import", machine.dir() + "/nul.reg"});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(", line " + std::to_string(c.badLine) + ": "), std::string::npos) << run.err;
        EXPECT_EQ(Reg({"query", "HKCU\\Software", "/s"}).out, before);
        EXPECT_EQ(Reg({"query", "HKCU\\Later", "/v", "After"}).status, 0);
        ASSERT_EQ(Reg({"delete", "HKCU\\Later", "/f"}).status, 0);
    }
}

TEST_F(RegToolTest, DamagedHiveIsAnErrorNotACrash) {
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Pellor", "/v", "a", "/d", "b", "/f"}).status, 0);
    std::string hive = ReadWholeFile(machine.UserHive());
    hive.replace(100, 1000, std::string(1000, '\x5a'));
    WriteWholeFile(machine.UserHive(), hive);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"query", "HKCU\\Software\\Pellor"},
          std::vector<std::string>{"add", "HKCU\\Software\\Pellor", "/v", "c", "/d", "d", "/f"},
          std::vector<std::string>{"export", "HKCU\\Software", machine.dir() + "/x.reg", "/y"}}) {
        RegRun run = Reg(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_EQ(run.err.rfind("ERROR: The structure of one of the files containing registry data is corrupt", 0), 0u)
            << run.err;
    }
    EXPECT_EQ(ReadWholeFile(machine.UserHive()), hive);
    EXPECT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Pellor", "/v", "a", "/d", "b", "/f"}).status, 0);
}

// A machine reached through a symlink, in PELLOR_MACHINE or in HOME, is used at
// its real path: its hives open (SQLite opens none through a link), and the
// Program Manager accepts the same machine.
TEST_F(RegToolTest, AMachineReachedThroughALinkWorks) {
    const struct {
        const char *what;
        std::vector<std::string> env;  // @ stands for the link
        const char *hive;              // where the hive lands, under the link's target
    } cases[] = {
        {"PELLOR_MACHINE", {"PELLOR_MACHINE=@/m"}, "m/registry/user.db"},
        {"HOME", {"PELLOR_MACHINE=", "XDG_DATA_HOME=", "HOME=@"}, ".local/share/pellor/machine/registry/user.db"},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string real = machine.dir() + "/real" + std::to_string(n);
        std::string link = machine.dir() + "/link" + std::to_string(n);
        n++;
        ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
        ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
        std::vector<std::string> env;
        for (std::string e : c.env) {
            if (size_t at = e.find('@'); at != std::string::npos) e.replace(at, 1, link);
            env.push_back(e);
        }
        RunResult added =
            RunProgram(REG_TOOL, {"add", "HKCU\\Software\\Linked", "/v", "V", "/t", "REG_DWORD", "/d", "7", "/f"}, env);
        EXPECT_EQ(added.status, 0) << added.err;
        RunResult queried = RunProgram(REG_TOOL, {"query", "HKCU\\Software\\Linked", "/v", "V"}, env);
        EXPECT_EQ(queried.status, 0) << queried.err;
        EXPECT_NE(queried.out.find("REG_DWORD    0x7"), std::string::npos) << queried.out;
        EXPECT_FALSE(ReadWholeFile(real + "/" + c.hive).empty());
        RunResult listed = RunProgram(BinPath("progman"), {"--list"}, env);
        EXPECT_EQ(listed.status, 0) << listed.err;
    }
}

// A refusal names, after the Win32 error, the file or directory in the way and
// why; a refused writer never keeps a reader waiting, and a stuck lock ends an
// import at its first line. File modes bind no root: those rows run as nobody.
TEST_F(RegToolTest, RefusalsSayWhichFileAndWhy) {
    const std::string three = machine.dir() + "/three.reg";
    WriteWholeFile(three, "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software\\R\\A]\n"
                     "[HKEY_CURRENT_USER\\Software\\R\\B]\n[HKEY_CURRENT_USER\\Software\\R\\C]\n");
    const std::vector<std::string> add = {"add", "HKCU\\Software\\R", "/v", "W", "/d", "x", "/f"};
    const std::string denied = "ERROR: Access is denied.\n";
    struct Case {
        const char *what;
        std::function<void(const std::string &registry, ProcessGuard *holder)> prepare;
        bool unprivileged;
        std::vector<std::string> args;
        int status;
        std::string err;  // all of standard error; @ stands for the registry directory, % for the machine's, # for
                          // the holder's pid
        bool read;        // the value reads back afterwards
    } cases[] = {
        {"the lock file a directory",
         [](const std::string &r, ProcessGuard *) {
             unlink((r + "/user.db.lock").c_str());
             mkdir((r + "/user.db.lock").c_str(), 0700);
         },
         false, add, 1, denied + "registry: lock file @/user.db.lock is not a regular file\n", true},
        {"the lock file a symbolic link",
         [](const std::string &r, ProcessGuard *) {
             unlink((r + "/user.db.lock").c_str());
             ASSERT_EQ(symlink("/nowhere", (r + "/user.db.lock").c_str()), 0);
         },
         false, add, 1, denied + "registry: lock file @/user.db.lock is a symbolic link\n", true},
        {"the lock held by a stopped process",
         [](const std::string &r, ProcessGuard *holder) {
             HoldWriteLock(r + "/user.db.lock", 60000, holder);
             holder->Kill(SIGSTOP);
         },
         false, {"import", three}, 1,
         "ERROR: " + three + ", line 2: This operation returned because the timeout period expired.; the import "
         "stopped there.\nregistry: lock file @/user.db.lock is held by process #, which has not let go for 300 ms\n"
         "ERROR: Not all data was successfully written to the registry.\n", true},
        {"the hive read-only", [](const std::string &r, ProcessGuard *) { chmod((r + "/user.db").c_str(), 0400); },
         true, add, 1, denied + "registry: hive @/user.db is read-only (mode 0400)\n", true},
        {"the registry directory read-only", [](const std::string &r, ProcessGuard *) { chmod(r.c_str(), 0500); },
         true, add, 1, denied + "registry: directory @ is read-only (mode 0500)\n", false},
        {"the -wal and -shm a read of a read-only hive left",
         [this](const std::string &r, ProcessGuard *) {
             chmod((r + "/user.db").c_str(), 0400);
             EXPECT_EQ(RunReg(machine, {"query", "HKCU\\Software\\R"}, "", {true}).status, 0);
             chmod((r + "/user.db").c_str(), 0600);
         },
         true, add, 0, "", true},
        {"the machine writable by others",
         [](const std::string &r, ProcessGuard *) { chmod(r.substr(0, r.rfind('/')).c_str(), 0777); }, false, add, 1,
         denied + "registry: % is writable by group or others; refusing to use it (chmod go-w '%')\n", false},
    };
    setenv("PELLOR_REGISTRY_WAIT_MS", "300", 1);
    chmod(machine.dir().c_str(), 0711);  // nobody passes through to its machine
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string dir = machine.dir() + "/m" + std::to_string(n++), registry = dir + "/registry";
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        setenv("PELLOR_MACHINE", dir.c_str(), 1);
        ASSERT_EQ(Reg({"add", "HKCU\\Software\\R", "/v", "V", "/d", "kept", "/f"}).status, 0);
        if (c.unprivileged && geteuid() == 0) GiveToNobody(dir);
        ProcessGuard holder;
        c.prepare(registry, &holder);
        auto start = std::chrono::steady_clock::now();
        RegRun run = RunReg(machine, c.args, "", {c.unprivileged});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        std::string err = c.err;
        for (size_t at; (at = err.find('@')) != std::string::npos;) err.replace(at, 1, registry);
        for (size_t at; (at = err.find('%')) != std::string::npos;) err.replace(at, 1, dir);
        if (size_t at = err.find('#'); at != std::string::npos) err.replace(at, 1, std::to_string(holder.pid()));
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, err);
        start = std::chrono::steady_clock::now();
        RegRun read = RunReg(machine, {"query", "HKCU\\Software\\R", "/v", "V"}, "", {c.unprivileged});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(read.status, c.read ? 0 : 1) << read.err;
    }
    unsetenv("PELLOR_REGISTRY_WAIT_MS");
    setenv("PELLOR_MACHINE", machine.dir().c_str(), 1);
}

// A tree as deep as Windows lets one grow is exported and searched with a small
// stack: the walks keep the keys still to visit on the heap.
TEST_F(RegToolTest, DeepTreesNeedNoDeepStack) {
    const std::string deep = "HKEY_CURRENT_USER\\Deep" + Repeat("\\Deep", 511);
    ASSERT_EQ(Reg({"add", deep, "/v", "Bottom", "/d", "x", "/f"}).status, 0);
    const std::string file = machine.dir() + "/deep.reg";
    struct Case {
        std::vector<std::string> args;
        std::string shown;  // in the output, or in the exported file
    } cases[] = {
        {{"export", "HKCU\\Deep", file, "/y"}, "\n[" + deep + "]\n\"Bottom\"=\"x\"\n"},
        {{"query", "HKCU\\Deep", "/s"}, "\n" + deep + "\n    Bottom    REG_SZ    x\n"},
        {{"query", "HKCU\\Deep", "/v", "Bottom", "/s"}, "\n" + deep + "\n    Bottom    REG_SZ    x\n"},
        {{"query", "HKCU\\Deep", "/f", "Bottom", "/s"}, "    Bottom    REG_SZ    x\n\nEnd of search: 1 match(es) found.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        RegRun run = RunReg(machine, c.args, "", {false, 256 * 1024});
        EXPECT_EQ(run.status, 0) << run.err;
        std::string shown = c.args[0] == "export" ? Utf16ToText(ReadWholeFile(file)) : run.out;
        EXPECT_NE(shown.find(c.shown), std::string::npos);
    }
}

}  // namespace
