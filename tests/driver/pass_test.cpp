// The icon upgrade pass over real scripts, with the recording fake for the platform.
#include "backup/backup.h"
#include "driver/upgrade_icons.h"
#include "options/options.h"
#include "progman/progman.h"
#include "run.h"
#include "script/pool.h"
#include "script/script.h"
#include "win32_fake.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

class IconsPass : public ::testing::Test {
  protected:
    void SetUp() override {
        // The pass's own calls: a backup or a report would first ask the Program Manager
        // what its groups hold (the scenarios hold the programs to that).
        setenv("PELLOR_BACKUP", "off", 1);
        unsetenv("PELLOR_REPORT");
        fake::Reset();
        Progman = ProgmanState{"PROGMAN", 0, 0, nullptr, nullptr, 0};
        upgradeIconsFlag = 0;
        groupName = nullptr;
    }
    void TearDown() override {
        // The pass keeps its buffers for the process's life; a test process runs many passes.
        if (ScriptLines != nullptr) PoolFree(ScriptLines);
        ScriptLines = nullptr;
        if (FlagKeywordIndex != nullptr) std::free(FlagKeywordIndex->entries);
        std::free(FlagKeywordIndex);
        FlagKeywordIndex = nullptr;
    }
    int Run(const std::string &script) {
        WriteWholeFile(dir / "s.inf", script);
        return UpgradeIcons((dir / "s.inf").c_str());
    }
    Calls RegistryCalls() const {
        Calls r;
        for (const std::string &c : fake::Calls)
            if (c.rfind("Reg", 0) == 0) r.push_back(c);
        return r;
    }
    TempDir dir;
};

const Calls kVersionMark = {"RegCreateKeyExA(HKCU,Software\\Pellor\\UPGRADE,0,null,0,0xf003f,null,null)",
                            "RegSetValueExA(key,IconVersion,0,4,2,4)", "RegCloseKey(key)"};

TEST_F(IconsPass, MissingScriptDoesNothing) {
    EXPECT_EQ(UpgradeIcons((dir / "missing.inf").c_str()), 2);
    EXPECT_TRUE(fake::Calls.empty());
    TearDown();
    EXPECT_EQ(UpgradeIcons(""), 2);
    EXPECT_TRUE(fake::Calls.empty());
}

TEST_F(IconsPass, ScriptsWithoutItemsOnlyWriteTheMark) {
    for (const char *script : {"", "; nothing\n", "[A]\n[B]\n"}) {
        TearDown();
        SetUp();
        EXPECT_EQ(Run(script), 0);
        EXPECT_EQ(fake::Calls, kVersionMark) << script;
    }
}

TEST_F(IconsPass, EveryItemIsDeletedThenAdded) {
    fake::Script.connects = {true};
    EXPECT_EQ(Run("[Tools]\nE = \"Editor\", edit.exe, edit.exe, 3, V\nE = Editor, edit.exe /x, e.ico, -1\n"
                  "[Games]\nS=Sol,sol.exe,sol.exe, 2x\n"),
              0);
    EXPECT_EQ(fake::Executed(),
              (Calls{"[CreateGroup(Tools,0)]", "[DeleteItem(Editor)]", "[CreateGroup(Tools,0)]",
                     "[AddItem(edit.exe, Editor, edit.exe, 669)]", "[CreateGroup(Tools,0)]", "[DeleteItem( Editor)]",
                     "[CreateGroup(Tools,0)]", "[AddItem(edit.exe /x,  Editor, e.ico, 665)]",
                     "[CreateGroup(Games,0)]", "[DeleteItem(Sol)]", "[CreateGroup(Games,0)]",
                     "[AddItem(sol.exe, Sol, sol.exe, 668)]"}));
    EXPECT_EQ(RegistryCalls(), kVersionMark);
    EXPECT_EQ(fake::Calls.at(fake::Calls.size() - 4), "DdeUninitialize(77)");  // closed before the mark
}

TEST_F(IconsPass, IconIndexTexts) {
    struct Case {
        const char *text;
        const char *sent;
    } cases[] = {{"3", "669"}, {"-1", "665"}, {" 7", "673"}, {"12ab", "678"}, {"abc", "666"}, {"", "666"},
                 {"99999999999", "-2147482983"}};
    for (const Case &c : cases) {
        TearDown();
        SetUp();
        fake::Script.connects = {true};
        Run(std::string("[G]\nL,n,c,i,") + c.text + ",\n");
        ASSERT_EQ(fake::Executed().size(), 4u) << c.text;
        EXPECT_EQ(fake::Executed()[3], std::string("[AddItem(c, n, i, ") + c.sent + ")]") << c.text;
    }
}

TEST_F(IconsPass, ItemsBeforeTheFirstHeaderAreSkipped) {
    fake::Script.connects = {true};
    EXPECT_EQ(Run("L,orphan,c,i,0\n[G]\nL,n,c,i,0\n"), 0);
    EXPECT_EQ(fake::Executed(),
              (Calls{"[CreateGroup(G,0)]", "[DeleteItem(n)]", "[CreateGroup(G,0)]", "[AddItem(c, n, i, 666)]"}));
}

TEST_F(IconsPass, UnreachableProgramManagerStillWritesTheMark) {
    fake::Script.createProcess = false;
    EXPECT_EQ(Run("[G]\nL,a,c,i,0,V\nL,b,c,i,0\n"), 0);
    EXPECT_TRUE(fake::Executed().empty());
    int connects = 0;
    for (const std::string &c : fake::Calls) connects += c.rfind("DdeConnect", 0) == 0;
    EXPECT_EQ(connects, 2 * 2);  // every item operation tries again
    EXPECT_EQ(RegistryCalls(), kVersionMark);
}

TEST_F(IconsPass, RefusedCommandsDoNotStopTheWalk) {
    fake::Script.connects = {true};
    fake::Script.transactions = std::deque<fake::Transaction>(20, fake::Transaction{true, 0});
    EXPECT_EQ(Run("[G]\nL,a,c,i,0,V\nL,b,c,i,0\n"), 0);
    EXPECT_EQ(fake::Executed().size(), 4u);  // each operation stops at its refused group command
    EXPECT_EQ(RegistryCalls(), kVersionMark);
}

// Nothing goes to a group before its backup is written, however the conversations come and go.
TEST_F(IconsPass, NoCommandBeforeItsGroupsBackup) {
    struct Case {
        const char *what;
        std::deque<bool> connects;  // the commands' conversation (tried again after a start), then the questions'
        std::deque<std::string> answers;
        int status;
        size_t executed;
        bool backup;
    } cases[] = {
        {"both connect", {true, true}, {""}, 0, 8, true},
        {"none at the question, one at the first item", {false, false, true, true}, {""}, 0, 9, true},
        {"none for the questions at first", {true, false, true}, {""}, 0, 8, true},
        {"none at all", {}, {}, 0, 0, false},
        {"the group list unanswered", {true, true}, {}, 2, 0, false},
    };
    for (const Case &c : cases) {
        TearDown();
        SetUp();
        std::filesystem::remove_all(dir / "backup");
        std::filesystem::create_directory(dir / "backup");
        setenv("PELLOR_BACKUP", (dir / "backup").c_str(), 1);
        BackupForgetRun();
        fake::Script.connects = c.connects;
        fake::Script.answers = c.answers;
        int unsaved = 0;  // commands that found no backup written
        fake::Script.onTransaction = [&](const std::string &) { unsaved += std::filesystem::is_empty(dir / "backup"); };
        EXPECT_EQ(Run("[G]\nL,a,c,i,0\nL,b,c,i,0\n"), c.status) << c.what;
        EXPECT_EQ(fake::Executed().size(), c.executed) << c.what;
        EXPECT_EQ(unsaved, 0) << c.what;
        bool written = !std::filesystem::is_empty(dir / "backup");
        EXPECT_EQ(written, c.backup) << c.what;
        for (const auto &f : std::filesystem::directory_iterator(dir / "backup"))
            EXPECT_EQ(ReadWholeFile(f.path()), "[DeleteGroup(G)]\n") << c.what;
    }
    BackupForgetRun();
}

TEST_F(IconsPass, VersionMarkFailureIsSilent) {
    fake::Script.regCreateResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Run("[G]\n"), 0);
    EXPECT_EQ(RegistryCalls().size(), 1u);
}

}  // namespace
