// Every allocation of a run fails in turn (PELLOR_FAIL_ALLOCATION=N, N = 1, 2, ...
// until a run makes fewer than N allocations): each run must end by its own
// status rules, without a crash or a leak, and leave the registry and the
// Program Manager's store intact. PELLOR_SWEEP_STRIDE=K tries every Kth N only.
#include "run.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstdlib>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::set<std::string> LineSet(const std::string &text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

// "ok" from SQLite's own check of a hive, or what it reports instead.
std::string IntegrityOf(const std::string &path) {
    sqlite3 *db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK) {
            result.clear();
            while (sqlite3_step(st) == SQLITE_ROW) result += reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result;
}

class AllocationSweep : public ::testing::Test {
  protected:
    std::vector<std::string> Env() const { return {"PELLOR_MACHINE=" + machine.path()}; }
    RunResult Tool(const std::string &name, const std::vector<std::string> &args) {
        return RunProgram(BinPath(name), args, Env(), 60000, work.path());
    }
    void Reg(const std::vector<std::string> &args) {
        RunResult r = Tool("reg", args);
        ASSERT_EQ(r.status, 0) << args[0] << ": " << r.out << r.err;
    }
    std::string Query(const std::string &key) { return Tool("reg", {"query", key, "/s"}).out; }
    std::string Journal() const { return ReadWholeFile(machine / "progman/journal.log"); }
    void StartProgman() {
        progman.Watch(StartProgram(BinPath("progman"), {}, Env()));
        ASSERT_TRUE(WaitFor(
            [&] { return ReadWholeFile(machine / "progman/progman.pid") == std::to_string(progman.pid()) + "\n"; },
            10000));
    }

    // Runs upgrade with args once for every N; check judges each run by its status.
    void Sweep(const std::vector<std::string> &args, const std::function<void()> &prepare,
               const std::function<void(int status)> &check) {
        const char *strideText = std::getenv("PELLOR_SWEEP_STRIDE");
        const long stride = strideText != nullptr && std::atol(strideText) > 0 ? std::atol(strideText) : 1;
        int failed = 0;
        for (long n = 1;; n += stride) {
            SCOPED_TRACE("PELLOR_FAIL_ALLOCATION=" + std::to_string(n));
            prepare();
            std::vector<std::string> env = Env();
            env.push_back("PELLOR_FAIL_ALLOCATION=" + std::to_string(n));
            RunResult r = RunProgram(BinPath("upgrade"), args, env, 120000, work.path());
            const std::string fired = "allocation " + std::to_string(n) + " failed on purpose\n";
            // Nothing else on standard error: a sanitizer's report or a leak would be there.
            EXPECT_TRUE(r.err == fired || r.err.empty()) << r.err;
            ASSERT_TRUE(r.status == 0 || r.status == 2) << r.status << "\n" << r.err;
            check(r.status);
            EXPECT_EQ(IntegrityOf(machine / "registry/system.db"), "ok");
            EXPECT_EQ(IntegrityOf(machine / "registry/user.db"), "ok");
            RunResult list = Tool("progman", {"--list"});
            EXPECT_EQ(list.status, 0) << list.err;
            // One broken run is enough; a run without a failure is past the last allocation.
            if (HasFailure() || r.err.empty()) {
                std::printf("%s: %d runs, each with one allocation failed\n", args[0].c_str(), failed);
                runs += failed;
                return;
            }
            failed++;
        }
    }

    TempDir machine, work;
    ProcessGuard progman;
    int runs = 0;
};

const char kScript[] =
    "[Accessories]\n"
    "Calc = \"Calculator\", calc.exe, calc.exe, 0, VITAL\n"
    "Notes = \"Notepad\", notepad.exe readme.txt, notepad.exe, 2\n"
    "[Games]\n"
    "Sol = Solitaire, sol.exe, sol.exe, -1\n";

TEST_F(AllocationSweep, IconPasses) {
    WriteWholeFile(work / "s.inf", kScript);
    Reg({"add", "HKLM\\SOFTWARE\\Pellor\\Setup", "/f"});  // both hives exist, so both are checked
    StartProgman();
    const char kVersionKey[] = "HKCU\\Software\\Pellor\\UPGRADE";
    for (const char *mode : {"/run_inf", "/upgrade_icons"}) {
        SCOPED_TRACE(mode);
        std::string before;
        Sweep(
            {mode, "s.inf"},
            [&] {
                Tool("reg", {"delete", kVersionKey, "/f"});
                before = Journal();
            },
            [&](int status) {
                bool marked = Tool("reg", {"query", kVersionKey, "/v", "IconVersion"}).out.find("0x2") != std::string::npos;
                // 0: the pass ran to its end and recorded it; 2: the script was never walked.
                EXPECT_EQ(marked, status == 0);
                if (status == 2) {
                    EXPECT_EQ(Journal(), before);
                }
            });
    }
    EXPECT_GT(runs, 20);
    EXPECT_TRUE(progman.Alive());
}

TEST_F(AllocationSweep, RegistryCleanUp) {
    WriteWholeFile(work / "server.reg",
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pellor\\Setup]\n"
              "\"AppServer\"=dword:00000001\n\"SystemVersion\"=dword:00000002\n");
    const std::string obsolete = std::string(SCENARIOS) + "/obsolete-entries.reg";
    Reg({"import", std::string(SCENARIOS) + "/neighbours.reg"});
    Reg({"import", work / "server.reg"});
    // What a clean-up that runs to its end leaves.
    Reg({"import", obsolete});
    ASSERT_EQ(Tool("upgrade", {"/upgrade_keys"}).status, 0);
    const std::string cleaned = Query("HKLM\\SYSTEM") + Query("HKLM\\SOFTWARE");

    Sweep(
        {"/upgrade_keys"}, [&] { Reg({"import", obsolete}); },
        [&](int status) {
            std::string after = Query("HKLM\\SYSTEM") + Query("HKLM\\SOFTWARE");
            if (status == 0) {
                EXPECT_EQ(after, cleaned);  // every obsolete entry is gone
                return;
            }
            std::set<std::string> now = LineSet(after);
            for (const std::string &line : LineSet(cleaned)) EXPECT_TRUE(now.count(line)) << "lost: " << line;
        });
    EXPECT_GT(runs, 20);
}

}  // namespace
