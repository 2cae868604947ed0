#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string TempFile(const std::string &content) {
    char path[] = "/tmp/pellor-file-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    return path;
}

TEST(LFile, SizeSeekAndReadAsWindows) {
    std::string path = TempFile("hello, world");
    HFILE f = _lopen(path.c_str(), OF_READ);
    ASSERT_NE(f, HFILE_ERROR);
    EXPECT_EQ(_llseek(f, 0, FILE_END), 12);
    EXPECT_EQ(_llseek(f, 0, FILE_BEGIN), 0);
    char buffer[32] = {};
    EXPECT_EQ(_lread(f, buffer, 32), 12u);  // a short read at the end is not an error
    EXPECT_STREQ(buffer, "hello, world");
    EXPECT_EQ(_lclose(f), 0);
    unlink(path.c_str());
}

TEST(LFile, FailuresSetTheLastError) {
    struct Case {
        const char *path;
        DWORD error;
    } cases[] = {
        {"/nonexistent/pellor/file", ERROR_FILE_NOT_FOUND},
        {"", ERROR_FILE_NOT_FOUND},
        {"/tmp", ERROR_ACCESS_DENIED},
        {"/dev/null", ERROR_ACCESS_DENIED},  // only regular files: a device never ends a read
    };
    for (const Case &c : cases) {
        SetLastError(0);
        EXPECT_EQ(_lopen(c.path, OF_READ), HFILE_ERROR) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    EXPECT_EQ(_lclose(-1), HFILE_ERROR);
}

// Two runs logging at once each open the file for appending: neither may write over the other's lines.
TEST(CreateFile, AppendingHandlesNeverOverwriteEachOther) {
    std::string path = TempFile("old\n");
    auto open = [&] {
        return CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE a = open();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    HANDLE b = open();
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    for (HANDLE h : {a, b, a}) EXPECT_TRUE(WriteFile(h, h == a ? "a\n" : "b\n", 2, &written, nullptr));
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_FALSE(CloseHandle(b));
    EXPECT_FALSE(WriteFile(a, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    char buffer[32] = {};
    HFILE f = _lopen(path.c_str(), OF_READ);
    EXPECT_EQ(_lread(f, buffer, sizeof buffer - 1), 10u);
    EXPECT_STREQ(buffer, "old\na\nb\na\n");
    _lclose(f);
    unlink(path.c_str());
    HANDLE created = open();  // a missing file is created, private to its owner
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(CloseHandle(created));
    unlink(path.c_str());
}

// A backup is written as a new file, then moved over its name: the calls answer as on Windows,
// and neither follows a link planted at a name.
TEST(CreateFile, NewFilesMovesAndDeletionsAnswerAsWindows) {
    char dirTemplate[] = "/tmp/pellor-files-XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    std::string file = dir + "/file", link = dir + "/link", target = dir + "/target", sub = dir + "/sub";
    auto reset = [&] {
        for (const std::string &p : {file, link, target}) unlink(p.c_str());
        rmdir(sub.c_str());
        FILE *f = std::fopen(file.c_str(), "w");
        std::fputs("file", f);
        std::fclose(f);
        f = std::fopen(target.c_str(), "w");
        std::fputs("target", f);
        std::fclose(f);
        EXPECT_EQ(symlink(target.c_str(), link.c_str()), 0);
        EXPECT_EQ(mkdir(sub.c_str(), 0700), 0);
    };
    auto createNew = [](const std::string &path) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return FALSE;
        DWORD written = 0;
        BOOL ok = WriteFile(h, "new", 3, &written, nullptr) && FlushFileBuffers(h);
        return static_cast<BOOL>(CloseHandle(h) && ok);
    };
    struct Case {
        const char *label;
        std::function<BOOL()> call;
        BOOL result;
        DWORD error;  // when it fails
        const char *target;  // the link's target afterwards: never written through
    } cases[] = {
        {"a new file", [&] { return createNew(dir + "/fresh"); }, TRUE, 0, "target"},
        {"a new file where one is", [&] { return createNew(file); }, FALSE, ERROR_FILE_EXISTS, "target"},
        {"a new file where a link is", [&] { return createNew(link); }, FALSE, ERROR_FILE_EXISTS, "target"},
        {"a move over a link replaces the link",
         [&] { return MoveFileExA(file.c_str(), link.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH); },
         TRUE, 0, "target"},
        {"a move keeps an existing target unless told", [&] { return MoveFileExA(file.c_str(), target.c_str(), 0); },
         FALSE, ERROR_ALREADY_EXISTS, "target"},
        {"a move over a directory", [&] { return MoveFileExA(file.c_str(), sub.c_str(), MOVEFILE_REPLACE_EXISTING); },
         FALSE, ERROR_ACCESS_DENIED, "target"},
        {"a deleted link leaves its target", [&] { return DeleteFileA(link.c_str()); }, TRUE, 0, "target"},
        {"a directory is not deleted as a file", [&] { return DeleteFileA(sub.c_str()); }, FALSE, ERROR_ACCESS_DENIED,
         "target"},
        {"nothing to delete", [&] { return DeleteFileA((dir + "/none").c_str()); }, FALSE, ERROR_FILE_NOT_FOUND,
         "target"},
        {"a flush of no file", [] { return FlushFileBuffers(INVALID_HANDLE_VALUE); }, FALSE, ERROR_INVALID_HANDLE,
         "target"},
    };
    for (const Case &c : cases) {
        reset();
        SetLastError(0);
        EXPECT_EQ(c.call(), c.result) << c.label;
        if (!c.result) {
            EXPECT_EQ(GetLastError(), c.error) << c.label;
        }
        char buffer[16] = {};
        HFILE f = _lopen(target.c_str(), OF_READ);
        _lread(f, buffer, sizeof buffer - 1);
        _lclose(f);
        EXPECT_STREQ(buffer, c.target) << c.label;
    }
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

}  // namespace
