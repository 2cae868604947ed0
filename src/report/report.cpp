#include "report/report.h"

#include "platform/localtime.h"
#include "platform/syshooks.h"
#include "runlog/runlog.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Json = nlohmann::ordered_json;

bool EnvIs(const char *name, const char *value) {
    const char *set = std::getenv(name);
    return set != nullptr && std::strcmp(set, value) == 0;
}

bool Acknowledged(const RunLogItem &i) { return i.addSent && i.addAnswer == RunLogAnswer::Acknowledged; }

// An item changed what the user holds: added or replaced (or written where the group's
// items were unknown), or deleted and not added back.
bool ItemChanged(const RunLogItem &i) {
    if (Acknowledged(i)) return i.change != RunLogChange::Unchanged;
    return i.deleted && (i.existed || i.change == RunLogChange::Unknown);
}

std::string ErrorText(DWORD error) {
    char text[256];
    SystemErrorText(error, text, sizeof text);
    return "error " + std::to_string(error) + ": " + text;
}

const char *const ChangeTexts[] = {"written", "added", "replaced", "unchanged"};       // by RunLogChange
const char *const AnswerTexts[] = {"", "refused", "timed out", "failed"};             // by RunLogAnswer
const char *const EntryTexts[] = {"removed", "absent", "failed", "would remove"};    // by RunLogEntryOutcome

Json ItemJson(const RunLogItem &i) {
    Json item = {{"group", i.group}, {"name", i.name}, {"vital", i.vital}};
    if (!i.addSent) {
        item["outcome"] = "not sent";
        item["why"] = i.why;
    } else if (i.addAnswer == RunLogAnswer::Acknowledged) {
        item["outcome"] = ChangeTexts[static_cast<int>(i.change)];
        if (i.change == RunLogChange::Replaced) item["differs"] = i.differs;
    } else {
        item["outcome"] = AnswerTexts[static_cast<int>(i.addAnswer)];
        if (i.addAnswer == RunLogAnswer::Failed) {
            char why[64];
            std::snprintf(why, sizeof why, "DDE error 0x%x", i.ddeError);
            item["why"] = why;
        }
    }
    return item;
}

Json ProgmanJson() {
    const RunLogRun &run = RunLogRunFacts();
    const RunLogTally &t = RunLogTallies();
    if (!run.iconPass) return nullptr;
    const std::vector<RunLogGroup> &groups = RunLogGroups();
    bool known = std::all_of(groups.begin(), groups.end(), [](const RunLogGroup &g) { return g.described; });
    return {{"answered", t.answered}, {"started", t.started}, {"asked_to_exit", t.askedToExit},
            {"before_known", known}};
}

Json CleanupJson() {
    const RunLogCleanup &c = RunLogCleanupFacts();
    if (!c.ran) return nullptr;
    Json entries = Json::array();
    for (const RunLogEntryRecord &e : c.entries) {
        Json entry = {{"path", e.path}, {"kind", e.isKey ? "key" : "value"}};
        if (!e.isKey) entry["name"] = e.name;
        entry["outcome"] = EntryTexts[static_cast<int>(e.outcome)];
        if (e.outcome == RunLogEntryOutcome::Failed) entry["error"] = e.error;
        entries.push_back(entry);
    }
    Json cleanup = {{"app_server", c.appServer}, {"version", c.versionRead ? Json(c.version) : Json(nullptr)}};
    if (!c.versionError.empty()) cleanup["version_error"] = c.versionError;
    cleanup["entries"] = entries;
    return cleanup;
}

Json MarkJson() {
    const RunLogTally &t = RunLogTallies();
    if (!t.markTried) return nullptr;
    Json mark = {{"written", t.markStatus == ERROR_SUCCESS}};
    if (t.markStatus != ERROR_SUCCESS) mark["error"] = ErrorText(static_cast<DWORD>(t.markStatus));
    return mark;
}

Json Text(const char *(*source)(char *, size_t)) {
    char text[256];
    return source(text, sizeof text);
}

const char *Host(char *text, size_t size) {
    ComputerNameText(text, size);
    return text;
}

const char *User(char *text, size_t size) {
    UserNameText(text, size);
    return text;
}

}  // namespace

const char *ReportPath() {
    const char *path = std::getenv("PELLOR_REPORT");
    return path != nullptr && path[0] != '\0' ? path : nullptr;
}

bool StrictWanted() { return EnvIs("PELLOR_STRICT", "1"); }

std::string StrictFailure() {
    const RunLogRun &run = RunLogRunFacts();
    const RunLogTally &t = RunLogTallies();
    if (!run.iconPass) return "";
    const std::vector<RunLogItem> &items = RunLogItems();
    auto out = std::count_if(items.begin(), items.end(), [](const RunLogItem &i) { return !Acknowledged(i); });
    if (!t.answered) return "no Program Manager answered";
    if (out > 0) return std::to_string(out) + " of " + std::to_string(items.size()) + " items not in place";
    if (!t.markTried || t.markStatus != ERROR_SUCCESS) return "the version mark was not written";
    return "";
}

bool RunChanged() {
    const std::vector<RunLogItem> &items = RunLogItems();
    const std::vector<RunLogGroup> &groups = RunLogGroups();
    const RunLogTally &t = RunLogTallies();
    return std::any_of(items.begin(), items.end(), ItemChanged) ||
           std::any_of(groups.begin(), groups.end(), [](const RunLogGroup &g) { return g.created; }) ||
           t.removed > 0 || (t.markTried && t.markStatus == ERROR_SUCCESS && !RunLogMarkWasTwo());
}

std::string ReportJson(int status, bool strictExit) {
    const RunLogRun &run = RunLogRunFacts();
    const RunLogTally &t = RunLogTallies();
    Json exit = {{"status", status},
                 {"reason", RunLogExitReason()[0] != '\0' ? RunLogExitReason() : "done"},
                 {"strict", strictExit}};
    Json items = Json::array();
    for (const RunLogItem &i : RunLogItems()) items.push_back(ItemJson(i));
    Json doc = {{"schema", 1},
                {"program", "upgrade"},
                {"version", PELLOR_VERSION},
                {"host", Text(Host)},
                {"user", Text(User)},
                {"pid", CurrentProcessId()},
                {"start", run.start},
                {"end", LocalTimeText(false)},
                {"command_line", run.args},
                {"mode", run.mode},
                {"script", run.script.empty() && !run.iconPass ? Json(nullptr) : Json(run.script)},
                {"exit", exit},
                {"changed", RunChanged()},
                {"check", EnvIs("PELLOR_CHECK", "1")},
                {"strict", StrictWanted()},
                {"progman", ProgmanJson()},
                {"commands",
                 {{"sent", t.commands - t.notSent},
                  {"acknowledged", t.acknowledged},
                  {"refused", t.refused},
                  {"timed_out", t.timedOut},
                  {"failed", t.failed},
                  {"not_sent", t.notSent}}},
                {"items", items},
                {"version_mark", MarkJson()},
                {"cleanup", CleanupJson()},
                {"backup", RunLogBackupPath()[0] != '\0' ? Json(RunLogBackupPath()) : Json(nullptr)}};
    // Script text and arguments are ANSI, not always UTF-8: a byte JSON cannot hold becomes U+FFFD.
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool WriteWholeFile(const char *path, const std::string &text, std::string *error) {
    std::string temporary = std::string(path) + ".tmp-" + std::to_string(CurrentProcessId());
    DeleteFileA(temporary.c_str());  // what a run of the same id left, killed mid-write
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = ErrorText(GetLastError());
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    DWORD problem = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (ok && !MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING)) {
        ok = false;
        problem = GetLastError();
    }
    if (!ok) {
        DeleteFileA(temporary.c_str());
        *error = ErrorText(problem != ERROR_SUCCESS ? problem : ERROR_WRITE_FAULT);
    }
    return ok;
}
