#include "scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> Words(const std::string &s) {
    std::vector<std::string> words;
    std::istringstream in(s);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool StartsWithNoCase(const std::string &s, const std::string &prefix) {
    return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == Lower(prefix);
}

// Checks the arguments of one expectation line; an empty result means they are sound.
std::string CheckExpectation(const Expectation &e) {
    const std::string base = e.Negative() ? e.kind.substr(3) : e.kind;
    const size_t n = e.words.size();
    if (e.kind == "status") {
        if (n != 1 || e.words[0].find_first_not_of("0123456789") != std::string::npos) return "status takes a number";
    } else if (base == "key") {
        if (n != 1) return e.kind + " takes one key";
    } else if (e.kind == "value") {
        if (n != 2 && n < 4) return "value takes KEY NAME, or KEY NAME TYPE DATA";
    } else if (e.kind == "no-value") {
        if (n != 2) return "no-value takes KEY NAME";
    } else if (base == "item") {
        size_t slash = e.rest.find('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 == e.rest.size())
            return e.kind + " takes GROUP/NAME";
    } else if (base == "group") {
        if (e.rest.empty() || e.rest.find('/') != std::string::npos) return e.kind + " takes one group name";
    } else if (e.kind == "message") {
        if (e.rest.find(": ") == std::string::npos) return "message takes CAPTION: TEXT";
    } else if (base == "progman-started") {
        if (n != 0) return e.kind + " takes no arguments";
    } else if (e.kind == "log") {
        if (e.rest.empty()) return "log takes a text";
    } else if (base == "out") {
        if (e.rest.empty()) return e.kind + " takes a text";
    } else if (base == "backup") {
        if (n != 1 || e.words[0].find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos)
            return e.kind + " takes a kind of backup, such as keys";
    } else if (e.kind == "restores") {
        if (n != 1) return "restores takes one key";
    } else if (e.kind == "json" || e.kind == "report") {
        size_t space = e.rest.find(' ');
        bool pointer = n >= 2 && (e.words[0][0] == '/');
        if (!pointer || !nlohmann::json::accept(e.rest.substr(space + 1)))
            return e.kind + " takes POINTER VALUE: a JSON pointer such as /groups/0/name and a JSON value";
    } else {
        return "unknown statement '" + e.kind + "'";
    }
    return "";
}

class Parser {
  public:
    Parser(const std::string &dir, Scenario *s) : dir_(dir), s_(s) {}

    bool Run(const std::string &text, std::string *error) {
        std::istringstream in(text);
        std::string raw;
        while (std::getline(in, raw)) {
            line_++;
            if (!Line(raw)) {
                *error = "line " + std::to_string(line_) + ": " + error_;
                return false;
            }
        }
        if (!Finish()) {
            *error = error_;
            return false;
        }
        return true;
    }

  private:
    bool Fail(const std::string &why) {
        error_ = why;
        return false;
    }

    bool Line(const std::string &raw) {
        if (!raw.empty() && raw[0] == '|') {
            if (block_ == nullptr) return Fail("a '|' line outside a file or seed");
            if (raw.size() > 1 && raw[1] != ' ') return Fail("'|' must be followed by a blank");
            *block_ += (raw.size() > 2 ? raw.substr(2) : std::string()) + "\n";
            return true;
        }
        block_ = nullptr;
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#') return true;
        size_t space = line.find_first_of(" \t");
        std::string keyword = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : Trim(line.substr(space));

        if ((pendingOn_ || pendingOnly_) && keyword != "because")
            return Fail("an 'on' or 'only' line needs a 'because' line right after it");
        if (keyword == "because") {
            if (!pendingOn_ && !pendingOnly_) return Fail("'because' without an 'on' line above it");
            if (rest.empty()) return Fail("'because' needs a reason");
            (pendingOnly_ ? s_->onlyReason : s_->worldOnly.back().second.reason) = rest;
            pendingOn_ = pendingOnly_ = false;
            return true;
        }
        if (keyword == "only") {
            // Linux runs every scenario: CI counts a skipped test as a failure.
            if (rest != "linux") return Fail("'only' takes 'linux'");
            s_->onlyWorld = rest;
            pendingOnly_ = true;
            return true;
        }
        if (keyword == "about") {
            if (rest.empty()) return Fail("'about' needs a text");
            s_->about = rest;
        } else if (keyword == "progman") {
            if (rest != "running" && rest != "absent" && rest != "missing")
                return Fail("progman is 'running', 'absent' or 'missing'");
            s_->progmanRunning = rest == "running";
            s_->progmanMissing = rest == "missing";
        } else if (keyword == "env") {
            size_t eq = rest.find('=');
            if (eq == std::string::npos || eq == 0 || rest.find_first_of(" \t") < eq)
                return Fail("env takes NAME=VALUE");
            s_->env.push_back(rest);
        } else if (keyword == "file") {
            if (rest.empty() || rest.find('/') != std::string::npos) return Fail("file takes a plain file name");
            s_->files.push_back({rest, ""});
            block_ = &s_->files.back().content;
        } else if (keyword == "seed") {
            if (rest.empty()) {
                s_->seeds.emplace_back();
                block_ = &s_->seeds.back();
            } else {
                std::ifstream in(dir_ + "/" + rest, std::ios::binary);
                if (!in || rest.find('/') != std::string::npos) return Fail("no seed file " + rest + " in " + dir_);
                std::ostringstream text;
                text << in.rdbuf();
                s_->seeds.push_back(text.str());
            }
        } else if (keyword == "before") {
            s_->before.push_back(Words(rest));
        } else if (keyword == "run") {
            if (hasRun_) return Fail("more than one 'run'");
            hasRun_ = true;
            s_->run = Words(rest);
        } else if (keyword == "on") {
            size_t colon = rest.find(':');
            std::string world = colon == std::string::npos ? "" : rest.substr(0, colon);
            if (world != "linux" && world != "wine") return Fail("'on' takes 'linux:' or 'wine:'");
            Expectation e;
            if (!MakeExpectation(Trim(rest.substr(colon + 1)), &e)) return false;
            s_->worldOnly.push_back({world, e});
            pendingOn_ = true;
        } else {
            Expectation e;
            if (!MakeExpectation(line, &e)) return false;
            for (const Expectation &other : s_->expectations)
                if (other.Subject() == e.Subject())
                    return Fail("a second expectation about the same thing as line " + std::to_string(other.line));
            s_->expectations.push_back(e);
        }
        return true;
    }

    bool MakeExpectation(const std::string &statement, Expectation *e) {
        size_t space = statement.find_first_of(" \t");
        e->kind = statement.substr(0, space);
        e->rest = space == std::string::npos ? "" : Trim(statement.substr(space));
        e->words = Words(e->rest);
        e->line = line_;
        std::string why = CheckExpectation(*e);
        return why.empty() || Fail(why);
    }

    bool Finish() {
        if (pendingOn_ || pendingOnly_) return Fail("the last 'on' or 'only' line has no 'because' line");
        if (s_->about.empty()) return Fail("no 'about' line");
        if (!hasRun_) return Fail("no 'run' line");
        bool hasStatus = false;
        for (const Expectation &e : s_->expectations) hasStatus = hasStatus || e.kind == "status";
        if (!hasStatus) return Fail("no 'status' line");
        auto startedCheck = [](const Expectation &e) { return e.kind.find("progman-started") != std::string::npos; };
        bool checksStart = std::any_of(s_->expectations.begin(), s_->expectations.end(), startedCheck) ||
                           std::any_of(s_->worldOnly.begin(), s_->worldOnly.end(),
                                       [&](const auto &w) { return startedCheck(w.second); });
        // With a Program Manager serving, nothing is ever started: the check would say nothing.
        if (checksStart && s_->progmanRunning) return Fail("progman-started checks need 'progman absent' or 'missing'");
        auto outputCheck = [](const Expectation &e) { return e.kind == "out" || e.kind == "no-out" || e.kind == "json"; };
        bool checksOutput = std::any_of(s_->expectations.begin(), s_->expectations.end(), outputCheck) ||
                            std::any_of(s_->worldOnly.begin(), s_->worldOnly.end(),
                                        [&](const auto &w) { return outputCheck(w.second); });
        // Only pmctl's output is read: upgrade prints nothing.
        if (checksOutput && !RunsPmctl(s_->run)) return Fail("output checks need 'run pmctl ...'");
        auto logCheck = [](const Expectation &e) { return e.kind == "log"; };
        bool checksLog = std::any_of(s_->expectations.begin(), s_->expectations.end(), logCheck) ||
                         std::any_of(s_->worldOnly.begin(), s_->worldOnly.end(),
                                     [&](const auto &w) { return logCheck(w.second); });
        // Standard error is the one place both worlds can read the log from.
        if (checksLog && !LogsToStandardError(*s_)) return Fail("log checks need 'env PELLOR_LOG=-'");
        auto reportCheck = [](const Expectation &e) { return e.kind == "report"; };
        bool checksReport = std::any_of(s_->expectations.begin(), s_->expectations.end(), reportCheck) ||
                            std::any_of(s_->worldOnly.begin(), s_->worldOnly.end(),
                                        [&](const auto &w) { return reportCheck(w.second); });
        if (checksReport && ReportFile(*s_).empty()) return Fail("report checks need 'env PELLOR_REPORT=FILE'");
        return true;
    }

    std::string dir_;
    Scenario *s_;
    int line_ = 0;
    std::string *block_ = nullptr;
    bool pendingOn_ = false;
    bool pendingOnly_ = false;
    bool hasRun_ = false;
    std::string error_;
};

// Reads the quoted, escaped value name at the start of a .reg line into name; the
// position just past its '=', or npos when the line is no value line.
size_t QuotedName(const std::string &line, std::string *name) {
    if (line.empty() || line[0] != '"') return std::string::npos;
    name->clear();
    for (size_t i = 1; i < line.size(); i++) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            *name += line[++i];
        } else if (line[i] == '"') {
            return i + 1 < line.size() && line[i + 1] == '=' ? i + 2 : std::string::npos;
        } else {
            *name += line[i];
        }
    }
    return std::string::npos;
}

}  // namespace

std::string Expectation::Subject() const {
    std::string base = Negative() ? kind.substr(3) : kind;
    if (base == "key") return base + " " + Lower(ShortRoot(words[0]));
    if (base == "value") return base + " " + Lower(ShortRoot(words[0])) + " " + Lower(words[1]);
    if (base == "item" || base == "group" || base == "log" || base == "out") return base + " " + rest;
    if (base == "json" || base == "report") return base + " " + words[0];
    if (base == "backup") return base + " " + words[0];
    if (base == "restores") return base + " " + Lower(ShortRoot(words[0]));
    return base;
}

bool RunsPmctl(const std::vector<std::string> &args) { return !args.empty() && args[0] == "pmctl"; }

bool LogsToStandardError(const Scenario &scenario) {
    bool toStderr = false;
    for (const std::string &e : scenario.env)
        if (e.compare(0, 11, "PELLOR_LOG=") == 0) toStderr = e == "PELLOR_LOG=-";  // the last one counts
    return toStderr;
}

std::string ReportFile(const Scenario &scenario) {
    std::string file;
    for (const std::string &e : scenario.env)
        if (e.compare(0, 14, "PELLOR_REPORT=") == 0) file = e.substr(14);  // the last one counts
    return file;
}

bool ParseScenario(const std::string &text, const std::string &dir, Scenario *scenario, std::string *error) {
    return Parser(dir, scenario).Run(text, error);
}

std::vector<Expectation> ExpectationsFor(const Scenario &scenario, const std::string &world,
                                         std::vector<Expectation> *differences) {
    std::vector<Expectation> result;
    std::set<size_t> used;
    for (const Expectation &e : scenario.expectations) {
        const Expectation *chosen = &e;
        for (size_t i = 0; i < scenario.worldOnly.size(); i++) {
            const auto &[w, own] = scenario.worldOnly[i];
            if (w == world && own.Subject() == e.Subject()) {
                chosen = &own;
                used.insert(i);
            }
        }
        result.push_back(*chosen);
    }
    for (size_t i = 0; i < scenario.worldOnly.size(); i++) {
        const auto &[w, own] = scenario.worldOnly[i];
        if (w != world) continue;
        if (!used.count(i)) result.push_back(own);
        if (differences != nullptr) differences->push_back(own);
    }
    return result;
}

std::string ShortRoot(const std::string &key) {
    static const std::pair<const char *, const char *> roots[] = {{"HKEY_LOCAL_MACHINE", "HKLM"},
                                                                   {"HKEY_CURRENT_USER", "HKCU"}};
    for (const auto &[longName, shortName] : roots) {
        std::string prefix = std::string(longName) + "\\";
        if (StartsWithNoCase(key, prefix)) return std::string(shortName) + key.substr(prefix.size() - 1);
        if (Lower(key) == Lower(longName)) return shortName;
    }
    return key;
}

std::vector<RegEntry> SeededEntries(const std::string &regText) {
    std::vector<RegEntry> entries;
    std::istringstream in(regText);
    std::string key;
    for (std::string raw; std::getline(in, raw);) {
        std::string line = Trim(raw);
        std::string name;
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            key = line[1] == '-' ? "" : ShortRoot(line.substr(1, line.size() - 2));  // "[-KEY]" deletes
            if (!key.empty()) entries.push_back({key, "", false});
        } else if (!key.empty() && !raw.empty() && raw[0] == '"') {
            size_t data = QuotedName(line, &name);
            // "NAME"=- deletes the value.
            if (data != std::string::npos && Trim(line.substr(data)) != "-") entries.push_back({key, name, true});
        }
    }
    return entries;
}

bool ExpectedGone(const std::vector<Expectation> &expectations, const RegEntry &entry) {
    const std::string key = Lower(entry.key);
    for (const Expectation &e : expectations) {
        if (e.kind == "no-key") {
            std::string gone = Lower(ShortRoot(e.words[0]));
            if (key == gone || key.compare(0, gone.size() + 1, gone + "\\") == 0) return true;
        } else if (e.kind == "no-value" && entry.isValue) {
            if (key == Lower(ShortRoot(e.words[0])) && Lower(entry.value) == Lower(e.words[1])) return true;
        }
    }
    return false;
}

std::vector<std::string> RegContent(const std::string &bytes) {
    std::string text;
    bool wide = bytes.size() >= 2 && bytes[0] == '\xff' && bytes[1] == '\xfe';
    for (size_t i = wide ? 2 : 0; i < bytes.size(); i += wide ? 2 : 1) {
        unsigned unit = static_cast<unsigned char>(bytes[i]);
        if (wide && i + 1 < bytes.size()) unit |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        char escaped[16];
        std::snprintf(escaped, sizeof escaped, "\\u{%x}", unit);
        text += unit < 0x80 ? std::string(1, static_cast<char>(unit)) : std::string(escaped);
    }
    std::vector<std::string> content;
    std::istringstream in(text);
    std::string key;
    for (std::string line; std::getline(in, line);) {
        line = Trim(line);
        // A value's hex data goes on over lines that end in a backslash.
        for (std::string next; !line.empty() && line.back() == '\\' && std::getline(in, next);)
            line = line.substr(0, line.size() - 1) + Trim(next);
        if (line.size() > 2 && line.front() == '[') {
            key = line;
            content.push_back(key);
        } else if (!key.empty() && !line.empty()) {
            content.push_back(key + "\t" + line);
        }
    }
    std::sort(content.begin(), content.end());
    return content;
}
