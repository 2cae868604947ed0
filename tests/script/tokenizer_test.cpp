#include "platform/win32.h"
#include "script/pool.h"
#include "script/script.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Tokenizes text as LoadScript does (the image ends with an LF and a NUL).
std::string Tokenize(const std::string &text) {
    std::string image = text + "\n";
    std::string out(image.size() + 1, '#');
    uint32_t n = TokenizeImage(image.c_str(), out.data());
    EXPECT_LE(n, image.size());
    return out.substr(0, n);
}

// Makes the buffer readable: NUL as '|', quote mark as '^'.
std::string Show(const std::string &s) {
    std::string r;
    for (char c : s) r += c == '\0' ? '|' : c == '\x01' ? '^' : c;
    return r;
}

TEST(LoadScript, WorkedExample) {
    char *lines = nullptr;
    uint32_t length = 0, count = 0;
    ASSERT_EQ(LoadScript(FIXTURES "/worked.inf", &lines, &length, &count), LOAD_OK);
    EXPECT_EQ(Show(std::string(lines, length)),
              "[Accessories]|Calc = ^Calculator^,calc.exe,calc.exe,0,VITAL|"
              "Notes = ^Note \"Pad\"^,notepad.exe readme.txt,notepad.exe,1,O|");
    EXPECT_EQ(count, 3u);
    PoolFree(lines);
}

TEST(Tokenizer, LexicalRules) {
    struct Case {
        const char *label;
        std::string in;
        const char *out;
    } cases[] = {
        {"empty", "", ""},
        {"no final line end", "abc", "abc|"},
        {"crlf and lf alike", "a\r\nb\nc", "a|b|c|"},
        {"lone cr", "a\rb", "ab|"},
        {"blank lines", "  \t \n;only\n\x1a\x1a\n\n x", "x|"},
        {"blank runs", "Abc  \tdef   ; c", "Abc def|"},
        {"comment after text", "abc;def", "abc|"},
        {"comma blanks", "a , b", "a,b|"},
        {"equals blanks", "a = b", "a = b|"},
        {"continuation", "a+\n  b", "ab|"},
        {"continuation after blank", "a +\n  b", "a b|"},
        {"continuation over comments", "a+ ; note\n; comment\n\n\tb", "ab|"},
        {"plus in text", "a + b\na+ b\na+b", "a + b|a+ b|a+b|"},
        {"plus with blanks", "a  +  b", "a + b|"},
        {"plus at the end of the file", "x\na+", "x|a"},
        {"quoted stretch", "\"a  ;+,\tb\"", "^a  ;+,\tb^|"},
        {"doubled quote", "\"a\"\"b\"", "^a\"b^|"},
        {"empty quotes", "x\"\"y", "x^^y|"},
        {"open quote closed by line end", "\"ab  \nc , d", "^ab |c,d|"},
        {"ctrl-z anywhere", "a\x1a" "b\"c\x1a" "d\"", "ab^cd^|"},
        {"nul ends the script", std::string("ab\ncd\0ef\n", 9), "ab|cd"},
        {"quote mark and high bytes pass", "a\x01\xff", "a^\xff|"},
        {"blank after quote stays", "\" a\" , b", "^ a^,b|"},
        {"blank before comma inside quotes stays", "\"a ,b\"", "^a ,b^|"},
    };
    for (const Case &c : cases) EXPECT_EQ(Show(Tokenize(c.in)), c.out) << c.label;
}

TEST(Tokenizer, OnlyContinuationsAndGarbageStayInBounds) {
    std::string garbage;
    for (int i = 0; i < 4096; i++) garbage += static_cast<char>((i * 131 + 7) % 256);
    std::string plusses(1000, '+');
    for (const std::string &s : {garbage, plusses, std::string("+\n+\n+\n"), std::string(300, '"')}) {
        std::string out = Tokenize(s);
        EXPECT_LE(out.size(), s.size() + 1);
    }
}

TEST(LoadScript, Failures) {
    // A FIFO nobody writes to would block its open and its read for ever.
    char dir[] = "/tmp/pellor-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string fifo = std::string(dir) + "/script.inf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Sparse files past what a script may hold, or past what a 32-bit offset reaches: named so.
    std::string large = std::string(dir) + "/large.inf", huge = std::string(dir) + "/huge.inf";
    for (const auto &[path, size] : {std::pair{large, off_t{kMaxScriptSize} + 1}, std::pair{huge, off_t{3} << 30}}) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }
    const struct {
        const char *path;
        DWORD error;  // 0: any
    } cases[] = {{"/nonexistent/pellor.inf", 0}, {"", 0}, {"/tmp", 0}, {fifo.c_str(), 0}, {"/dev/zero", 0},
                 {large.c_str(), ERROR_FILE_TOO_LARGE}, {huge.c_str(), ERROR_FILE_TOO_LARGE}};
    for (const auto &c : cases) {
        char *lines = nullptr;
        uint32_t length = 0, count = 0;
        SetLastError(0);
        EXPECT_EQ(LoadScript(c.path, &lines, &length, &count), LOAD_FILE_ERROR) << c.path;
        EXPECT_EQ(lines, nullptr) << c.path;
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.path;
        }
    }
    for (const std::string &path : {fifo, large, huge}) unlink(path.c_str());
    rmdir(dir);
}

// A file whose size reads as 0, or cannot be told, is read to its end: it may be empty, or a /proc file.
TEST(LoadScript, ASizeOfNothingIsReadToTheEnd) {
    char path[] = "/tmp/pellor-empty-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string pid = "Pid: " + std::to_string(getpid());
    const struct {
        const char *path;
        const char *line;  // one the lines must hold; null: no lines at all
    } cases[] = {{path, nullptr}, {"/proc/self/status", pid.c_str()}, {"/proc/self/cmdline", "script_tests"}};
    for (const auto &c : cases) {
        char *lines = nullptr;
        uint32_t length = 99, count = 99;
        ASSERT_EQ(LoadScript(c.path, &lines, &length, &count), LOAD_OK) << c.path;
        if (c.line == nullptr) {
            EXPECT_EQ(length, 0u);
            EXPECT_EQ(count, 0u);
        } else {
            EXPECT_NE(std::string(lines, length).find(c.line), std::string::npos) << c.path;
        }
        PoolFree(lines);
    }
    unlink(path);
}

TEST(CountLines, CountsNulsWithinTheLength) {
    EXPECT_EQ(CountLines("a\0b\0c", 5), 2u);
    EXPECT_EQ(CountLines("a\0b\0", 3), 1u);
    EXPECT_EQ(CountLines("", 0), 0u);
}

}  // namespace
