// The scenario table of tests/scenarios (format in its README.md): parsed here for
// the Linux runner; tests/conformance/run reads the same files for the Wine run.
#pragma once

#include <string>
#include <utility>
#include <vector>

// One expectation line: its kind ("status", "key", "no-key", "value", "no-value",
// "item", "no-item", "group", "no-group", "message", "progman-started",
// "no-progman-started", "log", "out", "no-out", "json", "report", "backup", "no-backup", "restores"), its
// arguments and, for a world's own line, the reason.
struct Expectation {
    std::string kind;
    std::vector<std::string> words;  // the arguments split at blanks
    std::string rest;                // the arguments as one text
    std::string reason;              // set for an "on WORLD:" line
    int line = 0;

    bool Negative() const { return kind.compare(0, 3, "no-") == 0; }
    // What the expectation is about: lines with equal subjects contradict or replace each other.
    std::string Subject() const;
};

struct ScenarioFile {
    std::string name;
    std::string content;
};

// Stands for the run's work directory (an absolute path) in "run" and "before" lines.
constexpr const char *WorkPlaceholder = "%WORK%";

// The folder of the work directory that both runners make, for PELLOR_BACKUP=backup.
constexpr const char *BackupFolder = "backup";

struct Scenario {
    std::string name;
    std::string about;
    bool progmanRunning = true;
    bool progmanMissing = false;     // nor can one be started ("progman missing")
    std::vector<std::string> env;    // NAME=VALUE for every run of upgrade
    std::vector<ScenarioFile> files;
    std::vector<std::string> seeds;  // .reg texts, in import order
    std::vector<std::vector<std::string>> before;
    std::vector<std::string> run;
    std::vector<Expectation> expectations;                      // for every world
    std::vector<std::pair<std::string, Expectation>> worldOnly;  // "on WORLD:" lines
    std::string onlyWorld, onlyReason;  // "only linux": not run under Wine, and why
};

// Whether a "run" or "before" line runs pmctl (its first word) rather than upgrade.
bool RunsPmctl(const std::vector<std::string> &args);

// Whether the scenario's runs write their log to standard error (env PELLOR_LOG=-).
bool LogsToStandardError(const Scenario &scenario);

// The report file its runs write (env PELLOR_REPORT=FILE, relative to the work
// directory), or empty.
std::string ReportFile(const Scenario &scenario);

// Parses the text of one scenario; dir is where "seed FILE.reg" files are found.
// False with a message naming the line when the text breaks the format.
bool ParseScenario(const std::string &text, const std::string &dir, Scenario *scenario, std::string *error);

// The expectations that hold in world: the common ones, with those about the same
// subject as a line of that world replaced by it. The applied world lines are
// added to differences.
std::vector<Expectation> ExpectationsFor(const Scenario &scenario, const std::string &world,
                                         std::vector<Expectation> *differences = nullptr);

// A registry entry: a key, or a value of it when value is set.
struct RegEntry {
    std::string key;
    std::string value;
    bool isValue = false;
};

// The keys and values that a .reg text creates, keys with the short root names.
std::vector<RegEntry> SeededEntries(const std::string &regText);

// The content of a .reg file, apart from the order of keys and values: each key's line
// with its values' lines (continuations joined), sorted.
std::vector<std::string> RegContent(const std::string &regFileBytes);

// "HKEY_LOCAL_MACHINE\..." as "HKLM\...", "HKEY_CURRENT_USER\..." as "HKCU\...".
std::string ShortRoot(const std::string &key);

// Whether the expectations say that entry is gone: a no-key of its key or of a key
// above it, or (for a value) a no-value of it.
bool ExpectedGone(const std::vector<Expectation> &expectations, const RegEntry &entry);
