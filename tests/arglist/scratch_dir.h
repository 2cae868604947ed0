// A fresh temporary directory per test, made current for the test's duration, and
// small helpers for writing files and reading wide results.
#pragma once

#include "platform/win32.h"
#include "run.h"  // TempDir

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using WString = std::basic_string<WCHAR>;

// ASCII text as 16-bit units.
inline WString W(const std::string &s) { return WString(s.begin(), s.end()); }

// 16-bit units as text; the tests only read back ASCII names.
inline std::string N(const WCHAR *s) {
    std::string out;
    for (; *s != 0; s++) out.push_back(*s < 0x80 ? static_cast<char>(*s) : '?');
    return out;
}

class ScratchDir : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        home_ = cwd;
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    // Back out before the directory goes with the fixture.
    void TearDown() override { EXPECT_EQ(chdir(home_.c_str()), 0); }

    // Creates each file (and its parent directories); a name ending in '/' is a directory.
    static void Make(const std::vector<std::string> &paths) {
        for (const std::string &p : paths) {
            std::filesystem::path path(p);
            if (p.back() == '/') {
                std::filesystem::create_directories(path);
                continue;
            }
            if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
            std::ofstream(path) << "x";
        }
    }

private:
    TempDir dir_;
    std::string home_;
};
