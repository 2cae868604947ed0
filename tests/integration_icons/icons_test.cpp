// The icon upgrade end to end: the real upgrade, progman and reg on a private machine.
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

class IconUpgrade : public ::testing::Test {
  protected:
    std::vector<std::string> Env() const { return {"PELLOR_MACHINE=" + machine.path()}; }

    // Runs upgrade in the work directory: the script goes by a relative path,
    // since a leading '/' would make it a switch.
    RunResult Upgrade(const std::vector<std::string> &args, std::vector<std::string> env = {}) {
        env.push_back("PELLOR_MACHINE=" + machine.path());
        RunResult r = RunProgram(BinPath("upgrade"), args, env, 120000, work.path());
        // A Program Manager the run left behind is stopped by this test.
        std::string pid = ReadWholeFile(Progman() + "/progman.pid");
        if (!pid.empty()) leftover.Watch(std::stoi(pid));
        return r;
    }
    std::string Progman() const { return machine / "progman"; }
    // The journal's commands with their outcome: the last two fields of the lines that end in ACK or NACK.
    std::vector<std::string> Journal() const {
        std::vector<std::string> commands;
        for (const std::string &line : Lines(ReadWholeFile(Progman() + "/journal.log"))) {
            size_t outcome = line.rfind('\t');
            if (outcome == std::string::npos || outcome == 0) continue;
            std::string last = line.substr(outcome + 1);
            size_t command = line.rfind('\t', outcome - 1);
            if ((last == "ACK" || last == "NACK") && command != std::string::npos)
                commands.push_back(line.substr(command + 1));
        }
        return commands;
    }
    std::string Item(const std::string &group, const std::string &name) const {
        return Progman() + "/Personal/" + group + "/" + name + ".desktop";
    }
    RunResult Reg(const std::vector<std::string> &args) { return RunProgram(BinPath("reg"), args, Env()); }
    bool IconVersionIsTwo() {
        RunResult r = Reg({"query", "HKCU\\Software\\Pellor\\UPGRADE", "/v", "IconVersion"});
        return r.status == 0 && r.out.find("    IconVersion    REG_DWORD    0x2") != std::string::npos;
    }
    // Starts progman by hand and waits until it serves.
    void StartProgmanByHand(ProcessGuard *guard) {
        guard->Watch(StartProgram(BinPath("progman"), {}, Env()));
        ASSERT_TRUE(WaitFor(
            [&] { return ReadWholeFile(Progman() + "/progman.pid") == std::to_string(guard->pid()) + "\n"; }, 10000));
    }

    TempDir machine, work;
    ProcessGuard leftover;
};

const char kScript[] =
    "; two groups\n"
    "[Accessories]\n"
    "Calc = \"Calculator\", calc.exe, calc.exe, 0, VITAL\n"
    "Notes = \"Notepad\", notepad.exe readme.txt, notepad.exe, 2\n"
    "[Games]\n"
    "Sol = Solitaire, sol.exe, sol.exe, -1\n";

const std::vector<std::string> kRunInfJournal = {
    "[CreateGroup(Accessories,0)]\tACK",
    "[DeleteItem(Calculator)]\tNACK",
    "[CreateGroup(Accessories,0)]\tACK",
    "[AddItem(calc.exe, Calculator, calc.exe, 666)]\tACK",
    "[CreateGroup(Accessories,0)]\tACK",
    "[DeleteItem(Notepad)]\tNACK",
    "[CreateGroup(Accessories,0)]\tACK",
    "[AddItem(notepad.exe readme.txt, Notepad, notepad.exe, 668)]\tACK",
    "[CreateGroup(Games,0)]\tACK",
    "[DeleteItem( Solitaire)]\tNACK",
    "[CreateGroup(Games,0)]\tACK",
    "[AddItem(sol.exe,  Solitaire, sol.exe, 665)]\tACK",
};

TEST_F(IconUpgrade, RunInfStartsTheProgramManagerAndEndsIt) {
    WriteWholeFile(work / "s.inf", kScript);
    RunResult r = Upgrade({"/run_inf", "s.inf"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    std::vector<std::string> expected = kRunInfJournal;
    expected.push_back("[exitprogman(1)]\tACK");
    EXPECT_EQ(Journal(), expected);
    EXPECT_TRUE(leftover.WaitExit(10000)) << "the started Program Manager did not exit";
    EXPECT_TRUE(Exists(Item("Accessories", "Calculator")));
    EXPECT_TRUE(Exists(Item("Accessories", "Notepad")));
    EXPECT_TRUE(Exists(Item("Games", "Solitaire")));  // unquoted arguments lose their blanks
    EXPECT_NE(ReadWholeFile(Item("Accessories", "Notepad")).find("notepad.exe readme.txt"), std::string::npos);
    EXPECT_TRUE(IconVersionIsTwo());

    // A second run replaces every item: the DeleteItems are acknowledged now. A runtime
    // directory others may enter is passed over, and the log says so.
    ASSERT_EQ(chmod(work.path().c_str(), 0755), 0);
    r = Upgrade({"-RUN_INF", "s.inf"}, {"XDG_RUNTIME_DIR=" + work.path(), "PELLOR_LOG=-"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("DDE rendezvous in " + machine.path() + "/dde: XDG_RUNTIME_DIR " + work.path() +
                         ": its mode is not 0700"),
              std::string::npos)
        << r.err;
    std::vector<std::string> second = Journal();
    ASSERT_EQ(second.size(), 2 * expected.size());
    EXPECT_EQ(second[expected.size() + 1], "[DeleteItem(Calculator)]\tACK");
}

TEST_F(IconUpgrade, ARunningProgramManagerKeepsRunning) {
    ProcessGuard progman;
    StartProgmanByHand(&progman);
    WriteWholeFile(work / "s.inf", kScript);
    RunResult r = Upgrade({"/run_inf", "s.inf"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Journal(), kRunInfJournal);  // never asked to exit
    EXPECT_TRUE(progman.Alive());
    EXPECT_TRUE(IconVersionIsTwo());
}

TEST_F(IconUpgrade, UpgradeIconsTouchesOnlyGroupsThatExist) {
    WriteWholeFile(work / "first.inf", "[Accessories]\nOld = Old, old.exe, old.exe, 0\n");
    ASSERT_EQ(Upgrade({"/run_inf", "first.inf"}).status, 0);
    ASSERT_TRUE(leftover.WaitExit(10000));
    size_t before = Journal().size();

    WriteWholeFile(work / "s.inf", kScript);
    RunResult r = Upgrade({"/upgrade_icons", "s.inf"});
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> journal = Journal();
    std::vector<std::string> run(journal.begin() + static_cast<long>(before), journal.end());
    ASSERT_GE(run.size(), 6u);
    EXPECT_EQ(run[0], "[ShowGroup(Accessories, 8,0)]\tACK");
    EXPECT_EQ(run[1], "[CreateGroup(Accessories,0)]\tACK");
    EXPECT_EQ(std::vector<std::string>(run.end() - 2, run.end()),
              (std::vector<std::string>{"[ShowGroup(Games, 8,0)]\tNACK", "[ShowGroup(Games, 8,0)]\tNACK"}));
    EXPECT_TRUE(Exists(Item("Accessories", "Calculator")));
    EXPECT_FALSE(Exists(Progman() + "/Personal/Games"));
    // Started by this run, and left running in this mode.
    EXPECT_TRUE(leftover.Alive());
    EXPECT_TRUE(IconVersionIsTwo());
}

TEST_F(IconUpgrade, AProgramManagerKilledMidRunIsStartedAgain) {
    std::string script = "[Big]\n";
    for (int i = 0; i < 400; i++) script += "L = Item" + std::to_string(i) + ", app.exe, app.exe, 0\n";
    WriteWholeFile(work / "s.inf", script);
    auto started = std::chrono::steady_clock::now();
    ProcessGuard upgrade(StartProgram(BinPath("upgrade"), {"/run_inf", "s.inf"}, Env(), work.path()));
    ASSERT_TRUE(WaitFor([&] { return Journal().size() >= 40; }, 60000));
    std::string pid = ReadWholeFile(Progman() + "/progman.pid");
    ASSERT_FALSE(pid.empty());
    {
        ProcessGuard first(std::stoi(pid));
        ASSERT_TRUE(first.Alive()) << "the run ended before the Program Manager could be killed";
        first.Stop();
    }
    ASSERT_TRUE(upgrade.WaitExit(120000)) << "upgrade hung after the Program Manager died";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(120));
    std::string again = ReadWholeFile(Progman() + "/progman.pid");
    if (!again.empty()) leftover.Watch(std::stoi(again));
    // Nothing acknowledged before the kill was lost, and the rest went to a new Program Manager. The
    // one AddItem the kill may have caught in flight was never acknowledged: the pass does not retry it.
    std::vector<std::string> journal = Journal();
    int missing = 0;
    for (int i = 0; i < 400; i++) {
        std::string name = "Item" + std::to_string(i);
        if (Exists(Item("Big", name))) continue;
        missing++;
        auto acknowledgedAdd = [&](const std::string &line) {
            return line.rfind("[AddItem(", 0) == 0 && line.find(" " + name + ", app.exe") != std::string::npos &&
                   line.ends_with("\tACK");
        };
        EXPECT_EQ(std::count_if(journal.begin(), journal.end(), acknowledgedAdd), 0) << name << " acknowledged, lost";
    }
    EXPECT_LE(missing, 1);
    EXPECT_GE(std::count_if(journal.begin(), journal.end(),
                            [](const std::string &line) {
                                return line.rfind("[AddItem(", 0) == 0 && line.ends_with("\tACK");
                            }),
              399);
    EXPECT_EQ(Journal().back(), "[exitprogman(1)]\tACK");
    EXPECT_TRUE(IconVersionIsTwo());
}

// The run before started the Program Manager and asked it to exit; on a slow
// disk it still writes that run's changes out when the next run begins, which
// it serves meanwhile: no command of the next run goes unsent.
TEST_F(IconUpgrade, ARunMeetingAnExitingProgramManagerIsServed) {
    WriteWholeFile(work / "s.inf", "[G]\nA = Alpha, a.exe, a.exe, 0\n");
    ASSERT_EQ(Upgrade({"/run_inf", "s.inf"}, {"PELLOR_FLUSH_DELAY_MS=2000"}).status, 0);
    ASSERT_TRUE(leftover.Alive()) << "the first run's Program Manager had already ended";
    RunResult r = Upgrade({"/run_inf", "s.inf"}, {"PELLOR_LOG=-"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("exit 0: 4 of 4 commands acknowledged\n"), std::string::npos) << r.err;
    EXPECT_TRUE(leftover.WaitExit(60000)) << "the Program Manager did not end after the run it served";
}

TEST_F(IconUpgrade, MissingScriptDoesNothing) {
    RunResult r = Upgrade({"/run_inf", "missing.inf"});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(Exists(Progman() + "/journal.log"));
    EXPECT_FALSE(Exists(Progman() + "/progman.pid"));
    EXPECT_FALSE(IconVersionIsTwo());
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Pellor\\UPGRADE"}).status, 1);
}

TEST_F(IconUpgrade, ItemsBeforeTheFirstHeaderAreSkipped) {
    WriteWholeFile(work / "s.inf", "Lost = Orphan, o.exe, o.exe, 0\n[G]\nL = Kept, k.exe, k.exe, 0\n");
    EXPECT_EQ(Upgrade({"/run_inf", "s.inf"}).status, 0);
    for (const std::string &line : Journal()) EXPECT_EQ(line.find("Orphan"), std::string::npos) << line;
    EXPECT_TRUE(Exists(Item("G", "Kept")));
}

}  // namespace
