// Every scenario of tests/scenarios, run with the real upgrade, progman and reg on
// a private machine. tests/conformance/run holds upgrade.exe to the same table under Wine.
#include "run.h"
#include "scenario.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <filesystem>
#include <glob.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::vector<std::string> ScenarioNames() {
    std::vector<std::string> names;
    if (DIR *dir = opendir(PELLOR_SCENARIO_DIR)) {
        while (dirent *e = readdir(dir)) {
            std::string name = e->d_name;
            const std::string suffix = ".scenario";
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name.substr(0, name.size() - suffix.size()));
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool Exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

off_t FileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string Join(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

// Whether reg query's output has the line "NAME TYPE DATA" (blanks between the fields).
bool HasValueLine(const std::string &out, const std::vector<std::string> &fields) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        if (words == fields) return true;
    }
    return false;
}

// Whether a line of text, blanks at its ends aside, is line.
bool HasLine(const std::string &text, const std::string &line) {
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);) {
        size_t b = l.find_first_not_of(" \t\r"), e = l.find_last_not_of(" \t\r");
        if (b != std::string::npos && l.substr(b, e - b + 1) == line) return true;
    }
    return false;
}

// The files of a kind of backup in dir: "KIND-..." names.
std::vector<std::string> BackupFiles(const std::string &dir, const std::string &kind) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(dir, error)) {
        std::string name = entry.path().filename();
        if (name.compare(0, kind.size() + 1, kind + "-") == 0) files.push_back(entry.path());
    }
    return files;
}

class ScenarioTest : public ::testing::TestWithParam<std::string> {
  protected:
    // No desktop: a message box is its caption and text on standard error. No run log
    // but the machine's own unless the scenario asks for one.
    std::vector<std::string> Env() const {
        return {"PELLOR_MACHINE=" + machine_.path(), "DISPLAY=", "WAYLAND_DISPLAY=", "PELLOR_LOG="};
    }
    std::string Progman() const { return machine_ / "progman"; }
    RunResult Upgrade(const std::vector<std::string> &args) {
        std::vector<std::string> env = Env(), expanded;
        env.insert(env.end(), scenario_.env.begin(), scenario_.env.end());
        if (scenario_.progmanMissing) env.push_back("PATH=/usr/bin:/bin");
        for (std::string arg : args) {
            for (size_t at; (at = arg.find(WorkPlaceholder)) != std::string::npos;)
                arg.replace(at, std::string(WorkPlaceholder).size(), work_.path());
            expanded.push_back(OneFile(arg));
        }
        // pmctl's runs: the tool named by the first word, with the rest as its arguments.
        bool pmctl = RunsPmctl(expanded);
        if (pmctl) expanded.erase(expanded.begin());
        RunResult r = RunProgram(pmctl ? BinPath("pmctl") : program_, expanded, env, 120000, work_.path());
        // A Program Manager that the run started is stopped by this test.
        std::string pid = ReadWholeFile(Progman() + "/progman.pid");
        if (!pid.empty() && std::stoi(pid) != serving_.pid()) leftover_.Watch(std::stoi(pid));
        return r;
    }
    // "%FILE:PATTERN%": the one file of the work directory that PATTERN matches, by its relative name.
    std::string OneFile(const std::string &arg) const {
        const std::string lead = "%FILE:";
        if (arg.rfind(lead, 0) != 0 || arg.back() != '%') return arg;
        glob_t found{};
        std::string pattern = work_ / arg.substr(lead.size(), arg.size() - lead.size() - 1);
        int status = glob(pattern.c_str(), 0, nullptr, &found);
        std::string path = status == 0 && found.gl_pathc == 1 ? found.gl_pathv[0] : "";
        globfree(&found);
        EXPECT_FALSE(path.empty()) << arg << " does not name exactly one file";
        return path.empty() ? arg : path.substr(work_.path().size() + 1);
    }
    RunResult Reg(const std::vector<std::string> &args) {
        return RunProgram(BinPath("reg"), args, Env(), 60000, work_.path());
    }
    // 0 present, 1 absent; anything else is a failure of the query itself.
    int Query(const std::vector<std::string> &args, RunResult *result = nullptr) {
        RunResult r = Reg(args);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << "reg " << Join(args) << ": " << r.err;
        if (result != nullptr) *result = r;
        return r.status;
    }

    void Prepare(const Scenario &s) {
        scenario_ = s;
        program_ = BinPath("upgrade");
        if (s.progmanMissing) {
            // A copy of upgrade with no progman beside it: no Program Manager can be started.
            program_ = bin_ / "upgrade";
            std::filesystem::copy_file(BinPath("upgrade"), program_);
        }
        std::filesystem::create_directory(work_ / BackupFolder);
        for (const ScenarioFile &f : s.files) WriteWholeFile(work_ / f.name, f.content);
        for (size_t i = 0; i < s.seeds.size(); i++) {
            std::string name = "seed-" + std::to_string(i + 1) + ".reg";
            WriteWholeFile(work_ / name, s.seeds[i]);
            RunResult r = Reg({"import", name});
            ASSERT_EQ(r.status, 0) << "reg import of seed " << i + 1 << ": " << r.err;
        }
        if (s.progmanRunning) {
            serving_.Watch(StartProgram(BinPath("progman"), {}, Env()));
            ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(Progman() + "/progman.pid") ==
                                             std::to_string(serving_.pid()) + "\n"; },
                                10000))
                << "progman did not start";
        }
        for (const std::vector<std::string> &args : s.before) {
            RunResult r = Upgrade(args);
            ASSERT_EQ(r.status, 0) << "before " << Join(args) << ": " << r.err;
        }
        if (!s.progmanRunning) {
            // Nobody serves when the run begins, and no stale pid names a Program Manager.
            leftover_.Stop();
            std::remove((Progman() + "/progman.pid").c_str());
        }
    }

    void Check(const Expectation &e, const RunResult &r, bool started, const std::string &machineLog) {
        SCOPED_TRACE("scenario line " + std::to_string(e.line) + ": " + e.kind + " " + e.rest);
        const std::string &k = e.kind;
        if (k == "status") {
            EXPECT_EQ(r.status, std::stoi(e.words[0])) << r.err;
        } else if (k == "key" || k == "no-key") {
            EXPECT_EQ(Query({"query", e.words[0]}), k == "key" ? 0 : 1);
        } else if (k == "value") {
            RunResult q;
            ASSERT_EQ(Query({"query", e.words[0], "/v", e.words[1]}, &q), 0);
            if (e.words.size() > 2) {
                std::vector<std::string> fields(e.words.begin() + 1, e.words.end());
                EXPECT_TRUE(HasValueLine(q.out, fields)) << q.out;
            }
        } else if (k == "no-value") {
            EXPECT_EQ(Query({"query", e.words[0], "/v", e.words[1]}), 1);
        } else if (k == "item" || k == "no-item") {
            EXPECT_EQ(Exists(Progman() + "/Personal/" + e.rest + ".desktop"), k == "item");
        } else if (k == "group" || k == "no-group") {
            EXPECT_EQ(IsDirectory(Progman() + "/Personal/" + e.rest), k == "group");
        } else if (k == "message") {
            // With the log on standard error, the message is one line among the log's.
            if (LogsToStandardError(scenario_)) {
                EXPECT_NE(("\n" + r.err).find("\n" + e.rest + "\n"), std::string::npos) << r.err;
            } else {
                EXPECT_EQ(r.err, e.rest + "\n");
            }
            EXPECT_EQ(r.out, "");
        } else if (k == "progman-started" || k == "no-progman-started") {
            EXPECT_EQ(started, k == "progman-started");
        } else if (k == "log") {
            EXPECT_NE(r.err.find(e.rest), std::string::npos) << r.err;
            EXPECT_NE(machineLog.find(e.rest), std::string::npos) << "the machine's upgrade.log: " << machineLog;
        } else if (k == "out" || k == "no-out") {
            EXPECT_EQ(HasLine(r.out, e.rest), k == "out") << r.out << r.err;
        } else if (k == "backup") {
            EXPECT_EQ(BackupFiles(work_ / BackupFolder, e.words[0]).size(), 1u);
        } else if (k == "no-backup") {
            EXPECT_TRUE(BackupFiles(work_ / BackupFolder, e.words[0]).empty());
            EXPECT_TRUE(BackupFiles(machine_ / "backup", e.words[0]).empty()) << "in the machine's backup folder";
        } else if (k == "restores") {
            // Importing the run's registry backup gives the key back as it was before the run.
            std::vector<std::string> files = BackupFiles(work_ / BackupFolder, "keys");
            ASSERT_EQ(files.size(), 1u);
            RunResult imported = Reg({"import", files[0]});
            ASSERT_EQ(imported.status, 0) << imported.err;
            const std::string before = work_ / ("before-" + std::to_string(e.line) + ".reg");
            const std::string after = work_ / ("after-" + std::to_string(e.line) + ".reg");
            ASSERT_EQ(Reg({"export", e.words[0], after, "/y"}).status, 0);
            EXPECT_EQ(RegContent(ReadWholeFile(after)), RegContent(ReadWholeFile(before)));
        } else if (k == "json") {
            nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
            ASSERT_FALSE(doc.is_discarded()) << "not one JSON document: " << r.out;
            nlohmann::json::json_pointer at(e.words[0]);
            ASSERT_TRUE(doc.contains(at)) << e.words[0] << " is not in " << r.out;
            EXPECT_EQ(doc.at(at), nlohmann::json::parse(e.rest.substr(e.rest.find(' ') + 1))) << r.out;
        } else if (k == "report") {
            std::string text = ReadWholeFile(work_ / ReportFile(scenario_));
            nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
            ASSERT_FALSE(doc.is_discarded()) << "the report is not one JSON document: " << text;
            nlohmann::json::json_pointer at(e.words[0]);
            ASSERT_TRUE(doc.contains(at)) << e.words[0] << " is not in " << text;
            EXPECT_EQ(doc.at(at), nlohmann::json::parse(e.rest.substr(e.rest.find(' ') + 1))) << text;
        } else {
            ADD_FAILURE() << "no check for " << k;
        }
    }

    TempDir machine_, work_, bin_;
    Scenario scenario_;
    std::string program_;
    ProcessGuard serving_;   // the Program Manager this test started
    ProcessGuard leftover_;  // one that a run started
};

TEST_P(ScenarioTest, HoldsOnTheEmulatedMachine) {
    const std::string path = std::string(PELLOR_SCENARIO_DIR) + "/" + GetParam() + ".scenario";
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(ReadWholeFile(path), PELLOR_SCENARIO_DIR, &s, &error)) << path << ": " << error;
    SCOPED_TRACE(path + ": " + s.about);

    Prepare(s);
    if (HasFatalFailure()) return;
    const off_t journalBefore = FileSize(Progman() + "/journal.log");
    const std::string logPath = machine_ / "upgrade.log";
    const off_t logBefore = FileSize(logPath);
    const std::vector<Expectation> expected = ExpectationsFor(s, "linux");
    for (const Expectation &e : expected) {
        if (e.kind != "restores") continue;
        RunResult exported = Reg({"export", e.words[0], work_ / ("before-" + std::to_string(e.line) + ".reg"), "/y"});
        ASSERT_EQ(exported.status, 0) << exported.err;
    }
    RunResult r = Upgrade(s.run);
    // What the run under test added to the machine's own log.
    const std::string machineLog = ReadWholeFile(logPath).substr(static_cast<size_t>(logBefore));
    // A Program Manager that served the run, or still serves, when the runner started none.
    const bool started = FileSize(Progman() + "/journal.log") > journalBefore || leftover_.Alive();

    bool message = false;
    std::string messageLine;
    // A restore changes the registry: it is checked after everything else has been.
    std::vector<Expectation> ordered = expected;
    std::stable_partition(ordered.begin(), ordered.end(), [](const Expectation &e) { return e.kind != "restores"; });
    for (const Expectation &e : ordered) {
        Check(e, r, started, machineLog);
        message = message || e.kind == "message";
        if (e.kind == "message") messageLine = e.rest;
    }
    // upgrade says nothing of its own; pmctl speaks, and the out and json lines check what it says.
    const bool silent = !RunsPmctl(s.run);
    if (silent && !message) {
        EXPECT_EQ(r.out, "") << "the run wrote to standard output";
    }
    if (silent && LogsToStandardError(s)) {
        std::istringstream lines(r.err);
        for (std::string line; std::getline(lines, line);) {
            if (line != messageLine) {
                EXPECT_NE(line.find(" upgrade["), std::string::npos) << "not a line of the log: " << line;
            }
        }
    } else if (silent && !message) {
        EXPECT_EQ(r.err, "") << "the run wrote to standard error";
    }

    // Every report a scenario makes holds to the schema the repository documents.
    if (!ReportFile(s).empty()) {
        RunResult v = RunProgram("/usr/bin/python3", {PELLOR_SOURCE_DIR "/tests/scenarios/validate_report.py",
                                                      PELLOR_SOURCE_DIR "/docs/report.schema.json",
                                                      work_ / ReportFile(s)},
                                 Env(), 60000, work_.path());
        EXPECT_EQ(v.status, 0) << "the report breaks docs/report.schema.json: " << v.out << v.err;
    }

    // What the seeds created stays, unless an expectation says it goes.
    for (const std::string &seed : s.seeds) {
        for (const RegEntry &entry : SeededEntries(seed)) {
            if (ExpectedGone(expected, entry)) continue;
            if (entry.isValue) {
                EXPECT_EQ(Query({"query", entry.key, "/v", entry.value}), 0) << "seeded value lost: " << entry.key
                                                                             << " " << entry.value;
            } else {
                EXPECT_EQ(Query({"query", entry.key}), 0) << "seeded key lost: " << entry.key;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ScenarioTest, ::testing::ValuesIn(ScenarioNames()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A wrong directory would leave the table above without a single case.
TEST(ScenarioTable, IsFound) { EXPECT_FALSE(ScenarioNames().empty()) << PELLOR_SCENARIO_DIR; }

}  // namespace
