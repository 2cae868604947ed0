// The posix directory services: listings, case-insensitive paths, both separators,
// UTF-8 names, and Windows' error codes.
#include "scratch_dir.h"

namespace {

struct Found {
    WString name;
    bool directory;
};

// Every entry a search delivers, and the last error after the final FindNextFileW.
std::vector<Found> List(const WString &pattern, DWORD *endError) {
    std::vector<Found> out;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(pattern.c_str(), &data);
    *endError = GetLastError();
    if (search == INVALID_HANDLE_VALUE) return out;
    do out.push_back({data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    while (FindNextFileW(search, &data));
    *endError = GetLastError();
    EXPECT_TRUE(FindClose(search));
    return out;
}

std::vector<std::string> Names(const std::vector<Found> &found) {
    std::vector<std::string> out;
    for (const Found &f : found) out.push_back(N(f.name.c_str()) + (f.directory ? "/" : ""));
    return out;
}

using FindTest = ScratchDir;

TEST_F(FindTest, ListsADirectoryInAnyCaseWithEitherSeparator) {
    Make({"Sub/b.txt", "Sub/A.TXT", "Sub/inner/"});
    const std::vector<std::string> all = {"./", "../", "A.TXT", "b.txt", "inner/"};
    struct Case {
        const char *pattern;
        std::vector<std::string> names;
    } cases[] = {
        {"SUB\\*.*", all}, {"sub/*.*", all}, {"sub\\\\*", all}, {"./Sub\\*.*", all},
        {"sub\\B.*", {"b.txt"}}, {"sub\\?.txt", {"A.TXT", "b.txt"}}, {"sub\\INNER", {"inner/"}},
    };
    for (const Case &c : cases) {
        DWORD end = 0;
        EXPECT_EQ(Names(List(W(c.pattern), &end)), c.names) << c.pattern;
        EXPECT_EQ(end, static_cast<DWORD>(ERROR_NO_MORE_FILES)) << c.pattern;
    }
}

TEST_F(FindTest, FailuresSetWindowsErrors) {
    Make({"sub/b.txt"});
    struct Case {
        const char *pattern;
        DWORD error;
    } cases[] = {
        {"nosuch\\*.*", ERROR_PATH_NOT_FOUND}, {"nosuch\\deeper\\*.*", ERROR_PATH_NOT_FOUND},
        {"sub\\b.txt\\*.*", ERROR_PATH_NOT_FOUND}, {"c:*.*", ERROR_PATH_NOT_FOUND},
        {"C:\\sub\\*.*", ERROR_PATH_NOT_FOUND}, {"", ERROR_PATH_NOT_FOUND},
        {"sub\\nosuch.txt", ERROR_FILE_NOT_FOUND}, {"sub\\*.q", ERROR_FILE_NOT_FOUND},
        {"sub\\", ERROR_FILE_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        WIN32_FIND_DATAW data;
        EXPECT_EQ(FindFirstFileW(W(c.pattern).c_str(), &data), INVALID_HANDLE_VALUE) << c.pattern;
        EXPECT_EQ(GetLastError(), c.error) << c.pattern;
    }
}

TEST_F(FindTest, AttributesOfFilesDirectoriesAndMissingPaths) {
    Make({"Sub/b.txt"});
    const DWORD bad = INVALID_FILE_ATTRIBUTES;
    struct Case {
        const char *path;
        DWORD attributes;  // or INVALID_FILE_ATTRIBUTES, then error
        DWORD error;
    } cases[] = {
        {"sub", FILE_ATTRIBUTE_DIRECTORY, 0},
        {"SUB\\", FILE_ATTRIBUTE_DIRECTORY, 0},
        {".", FILE_ATTRIBUTE_DIRECTORY, 0},
        {"sub/B.TXT", FILE_ATTRIBUTE_ARCHIVE, 0},
        {"sub\\b.txt\\", bad, ERROR_PATH_NOT_FOUND},
        {"nosuch", bad, ERROR_FILE_NOT_FOUND},
        {"nosuch\\b.txt", bad, ERROR_PATH_NOT_FOUND},
        {"c:\\sub", bad, ERROR_PATH_NOT_FOUND},
        {"", bad, ERROR_PATH_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesW(W(c.path).c_str()), c.attributes) << c.path;
        if (c.attributes == bad) {
            EXPECT_EQ(GetLastError(), c.error) << c.path;
        }
    }
}

TEST_F(FindTest, NamesTravelAsUtf16AndBack) {
    Make({"u/\xC3\xA9t\xC3\xA9.txt", "u/\xF0\x9F\x99\x82", "u/bad\xFF"});
    DWORD end = 0;
    std::vector<Found> found = List(WIDE("u\\*.*"), &end);
    ASSERT_EQ(found.size(), 5u);
    // Byte order: "bad\xFF" < "\xC3..." < "\xF0...".
    EXPECT_EQ(found[2].name, WString(WIDE("bad")) + WCHAR(0xDCFF));  // an undecodable byte survives
    EXPECT_EQ(found[3].name, WString(WIDE("\u00e9t\u00e9.txt")));
    EXPECT_EQ(found[4].name, WString(WIDE("\U0001F642")));
    for (size_t i = 2; i < found.size(); i++) {
        WString path = WIDE("u\\") + found[i].name;
        EXPECT_EQ(GetFileAttributesW(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE)) << i;
    }
}

}  // namespace
