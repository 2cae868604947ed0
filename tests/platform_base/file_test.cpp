#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
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

}  // namespace
