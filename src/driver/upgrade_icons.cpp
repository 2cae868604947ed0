// The icon upgrade pass: every item line of the script is deleted and added
// again in its group, then the version mark is written.
#include "driver/upgrade_icons.h"

#include "platform/syshooks.h"
#include "progman/formats.h"
#include "progman/groupinfo.h"
#include "progman/itemjudge.h"
#include "progman/progman.h"
#include "report/report.h"
#include "runlog/runlog.h"
#include "script/script.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

// Whether the run asks the Program Manager what its groups hold before changing them:
// only a report needs to tell an added, a replaced and an unchanged item apart.
bool asking = false;

// A group as the Program Manager held it, then as the pass leaves it so far.
struct GroupView {
    bool described = false;  // its items are known (a group it does not list holds none)
    std::vector<GroupItemInfo> items;
};
std::map<std::string, GroupView> views;  // by folded name
bool groupsAsked = false;
bool groupsKnown = false;
std::vector<std::string> groupsListed;

// Asks once per run for the group list: the first command would connect (or start
// the Program Manager) all the same, and a conversation lost later is not reopened
// for a question.
void AskGroupList() {
    groupsAsked = true;
    std::string text;
    groupsKnown = ProgmanActivate() && ProgmanRequest(kGroupsItem, &text);
    if (groupsKnown) groupsListed = ParseGroupList(text);
}

// The group before the pass's first command to it, asked for once.
GroupView &View(const char *group) {
    auto [at, added] = views.try_emplace(FoldName(group));
    if (!added) return at->second;
    if (!groupsAsked) AskGroupList();
    bool listed = std::any_of(groupsListed.begin(), groupsListed.end(),
                              [&](const std::string &g) { return FoldName(g) == FoldName(group); });
    std::string text, error;
    GroupInfo info;
    at->second.described = listed ? ProgmanRequest(group, &text) && ParseGroupInfo(text, &info, &error) : groupsKnown;
    if (listed && at->second.described) at->second.items = info.items;
    RunLogGroupBefore(group, listed, at->second.described);
    return at->second;
}

struct ActionChange {
    const char *action;
    RunLogChange change;
};
const ActionChange ActionChanges[] = {
    {"add", RunLogChange::Added},
    {"replace", RunLogChange::Replaced},
    {"re-add", RunLogChange::Replaced},  // what only a person set is lost
    {"unchanged", RunLogChange::Unchanged},
};

const char *Text(const char *field) { return field != nullptr ? field : ""; }

// Tells the run log what the item's delete and add will change, before they go out.
void StartItem() {
    RunLogSubject subject{RunLogCommandKind::AddItem, groupName, itemName, (itemFlags & ITEM_VITAL) != 0};
    if (!asking) return RunLogItemStarted(subject, RunLogChange::Unknown, false, {});
    GroupView &view = View(groupName);
    if (!view.described) return RunLogItemStarted(subject, RunLogChange::Unknown, false, {});
    ItemChange judged =
        JudgeItem(&view.items, ItemAfterAdd(Text(itemName), Text(commandLine), Text(iconFile), IconIndex(Text(iconIndexText))),
                  true);
    std::vector<std::string> differs;
    for (const auto &d : judged.differs) differs.push_back(d.first);
    for (const auto &l : judged.loses) differs.push_back(l.first);
    RunLogChange change = RunLogChange::Unknown;
    for (const ActionChange &a : ActionChanges)
        if (judged.action == a.action) change = a.change;
    RunLogItemStarted(subject, change, judged.existed, differs);
}

// Whether the key holds IconVersion 2 already: writing it then changes nothing.
bool MarkIsTwo(HKEY key) {
    DWORD type = 0, value = 0, size = sizeof value;
    return RegQueryValueExA(key, "IconVersion", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof value && value == 2;
}

// Records that the icons are at version 2; a failure is simply not recorded.
void WriteVersionMark() {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Pellor\\UPGRADE", 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        if (asking) RunLogVersionMarkBefore(MarkIsTwo(key));
        DWORD version = 2;
        status = RegSetValueExA(key, "IconVersion", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&version),
                                sizeof version);
        RegCloseKey(key);
    }
    RunLogVersionMark(status);
}

// Records why the script could not be loaded, in the system's words.
void LogLoadFailure(const char *path, uint16_t status) {
    char text[256] = "not enough memory";
    DWORD error = GetLastError();
    if (status != LOAD_NO_MEMORY) {
        if (error == ERROR_FILE_TOO_LARGE)
            std::snprintf(text, sizeof text, "the file is larger than the %lu bytes a script may hold",
                          static_cast<unsigned long>(kMaxScriptSize));
        else if (error != ERROR_SUCCESS)
            SystemErrorText(error, text, sizeof text);
        else
            std::snprintf(text, sizeof text, "the file could not be read whole");
    }
    RunLogScriptUnreadable(path, text);
}

}  // namespace

char *ScriptLines;

int UpgradeIcons(const char *path) {
    asking = ReportPath() != nullptr;
    FlagKeywordIndex = BuildKeywordIndex(FlagKeywords);
    uint32_t length = 0, lineCount = 0;
    SetLastError(ERROR_SUCCESS);
    if (uint16_t status = LoadScript(path, &ScriptLines, &length, &lineCount); status != LOAD_OK) {
        LogLoadFailure(path, status);
        return 2;
    }
    RunLogScriptLoaded(path, lineCount);

    char *cursor = ScriptLines;
    for (uint32_t i = 0; i < lineCount; i++) {
        int isItem = 0;
        cursor = ParseLine(cursor, &isItem);
        // An item before the first header has no group: sending it would land in
        // whatever group the Program Manager last activated.
        if (!isItem) continue;
        if (groupName == nullptr) {
            RunLogItemSkipped(itemName);
            continue;
        }
        StartItem();
        ProgmanDeleteItem(groupName, itemName, 0, 0);
        ProgmanAddItem(groupName, itemName, commandLine, iconFile, IconIndex(iconIndexText), itemFlags, 0);
    }
    ProgmanClose(1);
    WriteVersionMark();
    RunLogIconsDone();
    return 0;
}
