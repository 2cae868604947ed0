#include "driver/groups_before.h"

#include "backup/backup.h"
#include "progman/formats.h"
#include "progman/groupinfo.h"
#include "progman/itemjudge.h"
#include "progman/progman.h"
#include "report/report.h"
#include "runlog/runlog.h"
#include "script/script.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

// A group as the Program Manager held it, then as the pass leaves it so far.
struct GroupView {
    bool described = false;  // its items are known (a group it does not list holds none)
    bool stopped = false;    // its backup could not be written: nothing goes to it
    std::vector<GroupItemInfo> items;
};

bool asking = false;
bool backingUp = false;
bool onlyShown = false;
bool anyStopped = false;
std::map<std::string, GroupView> views;  // by folded name
bool groupsAsked = false;
bool groupsKnown = false;
std::vector<std::string> groupsListed;
std::string iconBackup;  // every group's lines so far: the file is rewritten whole

// Asks once per run for the group list: the first command would connect (or start the
// Program Manager) all the same, and a conversation lost later is not reopened for a question.
void AskGroupList() {
    groupsAsked = true;
    std::string text;
    groupsKnown = ProgmanActivate() && ProgmanRequest(kGroupsItem, &text);
    if (groupsKnown) groupsListed = ParseGroupList(text);
}

// The lines that put the group back as it was: a group the run may create is deleted,
// one it holds is emptied and filled again with every field of every item.
bool RestoreLines(const char *group, bool listed, bool described, const GroupInfo &info, std::string *out,
                  std::string *why) {
    if (listed && !described) {
        *why = "the Program Manager does not describe the group \"" + std::string(group) + "\"";
        return false;
    }
    if (!listed && onlyShown) return true;  // never created in this mode
    std::string lines;
    if (!FormatDeleteGroup(group, &lines, why)) return false;
    if (listed && !FormatRestore(info, &lines, why)) return false;
    *out += lines;
    return true;
}

// Saves the group's state to the run's icon backup, before anything is sent to it.
bool BackUp(const char *group, bool listed, bool described, const GroupInfo &info) {
    std::string lines = iconBackup, path, why;
    bool ok = RestoreLines(group, listed, described, info, &lines, &why) &&
              BackupWrite("icons", ".pmc", lines.data(), lines.size(), &path, &why);
    if (!ok) {
        RunLogBackupFailed(path.empty() ? "icons" : path.c_str(), why.c_str());
        return false;
    }
    iconBackup = lines;
    RunLogBackupWritten(path.c_str());
    return true;
}

// The group before the pass's first command to it, asked for once. With no conversation
// the commands will not go out either, so there is nothing to save.
GroupView &View(const char *group) {
    auto [at, added] = views.try_emplace(FoldName(group));
    GroupView &view = at->second;
    if (!added) return view;
    if (!groupsAsked) AskGroupList();
    bool listed = std::any_of(groupsListed.begin(), groupsListed.end(),
                              [&](const std::string &g) { return FoldName(g) == FoldName(group); });
    std::string text, error;
    GroupInfo info;
    view.described = listed ? ProgmanRequest(group, &text) && ParseGroupInfo(text, &info, &error) : groupsKnown;
    if (listed && view.described) view.items = info.items;
    RunLogGroupBefore(group, listed, view.described);
    if (backingUp && groupsKnown && !BackUp(group, listed, view.described, info)) view.stopped = anyStopped = true;
    return view;
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

}  // namespace

void GroupsBeforeStart(bool upgradeIconsMode) {
    views.clear();
    groupsListed.clear();
    iconBackup.clear();
    groupsAsked = groupsKnown = anyStopped = false;
    onlyShown = upgradeIconsMode;
    backingUp = BackupWanted();
    asking = backingUp || ReportPath() != nullptr;
}

bool GroupsBeforeAsking() { return asking; }
bool GroupsBeforeStopped() { return anyStopped; }

bool GroupsBeforeItem() {
    RunLogSubject subject{RunLogCommandKind::AddItem, groupName, itemName, (itemFlags & ITEM_VITAL) != 0};
    if (!asking) {
        RunLogItemStarted(subject, RunLogChange::Unknown, false, {});
        return true;
    }
    GroupView &view = View(groupName);
    if (view.stopped || !view.described) {
        RunLogItemStarted(subject, RunLogChange::Unknown, false, {});
        if (view.stopped) RunLogCommandNotSent(subject, nullptr, RunLogUnsent::NoBackup);
        return !view.stopped;
    }
    ItemChange judged = JudgeItem(
        &view.items, ItemAfterAdd(Text(itemName), Text(commandLine), Text(iconFile), IconIndex(Text(iconIndexText))),
        true);
    std::vector<std::string> differs;
    for (const auto &d : judged.differs) differs.push_back(d.first);
    for (const auto &l : judged.loses) differs.push_back(l.first);
    RunLogChange change = RunLogChange::Unknown;
    for (const ActionChange &a : ActionChanges)
        if (judged.action == a.action) change = a.change;
    RunLogItemStarted(subject, change, judged.existed, differs);
    return true;
}
