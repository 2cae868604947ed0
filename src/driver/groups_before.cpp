#include "driver/groups_before.h"

#include "backup/backup.h"
#include "progman/formats.h"
#include "progman/groupinfo.h"
#include "progman/itemjudge.h"
#include "progman/progman.h"
#include "report/report.h"
#include "runlog/runlog.h"
#include "script/script.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// A group as the Program Manager held it, then as the pass leaves it so far.
struct GroupView {
    bool described = false;  // its items are known (a group it does not list holds none)
    bool stopped = false;    // its backup could not be written: nothing goes to it
    HeldItems items;
};

bool asking = false;
bool backingUp = false;
bool onlyShown = false;
bool anyStopped = false;
std::map<std::string, GroupView> views;  // by folded name
bool groupsKnown = false;
std::set<std::string> groupsListed;  // by folded name
// The script's groups while their backup waits for a conversation: each item asks again.
std::vector<std::string> owed;

// Asks once per run for the group list (over the questions' own conversation).
void AskGroupList() {
    std::string text;
    groupsKnown = ProgmanRequest(kGroupsItem, &text);
    if (groupsKnown)
        for (const std::string &g : ParseGroupList(text)) groupsListed.insert(FoldName(g));
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

// What the Program Manager holds of the group, asked for once.
GroupView &Describe(const std::string &group, GroupInfo *info, bool *listed) {
    GroupView &view = views[FoldName(group)];
    *listed = groupsListed.count(FoldName(group)) != 0;
    std::string text, error;
    view.described = *listed ? ProgmanRequest(group.c_str(), &text) && ParseGroupInfo(text, info, &error)
                             : groupsKnown;
    if (*listed && view.described) view.items = HoldItems(info->items);
    RunLogGroupBefore(group.c_str(), *listed, view.described);
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
    owed.clear();
    groupsKnown = anyStopped = false;
    onlyShown = upgradeIconsMode;
    backingUp = BackupWanted();
    asking = backingUp || ReportPath() != nullptr;
}

void GroupsBeforeScript(const std::vector<std::string> &groups) {
    if (!asking || groups.empty()) return;
    // The first command would connect (or start the Program Manager) all the same. Without a
    // conversation nothing can be saved, and nothing may be sent before it is: each item asks
    // again, so that the items' own connection never finds their groups unsaved.
    if (!(ProgmanActivate() && ProgmanAskable()) && backingUp) {
        owed = groups;
        for (const std::string &group : groups) RunLogGroupBefore(group.c_str(), false, false);
        return;
    }
    AskGroupList();
    std::string lines;
    std::vector<GroupView *> saved;
    for (const std::string &group : groups) {
        if (views.count(FoldName(group)) != 0) continue;
        GroupInfo info;
        bool listed = false;
        GroupView &view = Describe(group, &info, &listed);
        if (!backingUp) continue;
        if (!groupsKnown) {  // which groups it holds is not known: none can be saved
            view.stopped = anyStopped = true;
            continue;
        }
        std::string why;
        if (RestoreLines(group.c_str(), listed, view.described, info, &lines, &why)) {
            saved.push_back(&view);
        } else {
            RunLogBackupFailed("icons", why.c_str());
            view.stopped = anyStopped = true;
        }
    }
    if (backingUp && !groupsKnown) RunLogBackupFailed("icons", "the Program Manager does not list its groups");
    if (saved.empty()) return;
    // One file for the whole run, flushed once, before the first command.
    std::string path, why;
    if (BackupWrite("icons", ".pmc", lines.data(), lines.size(), &path, &why)) {
        RunLogBackupWritten(path.c_str());
        return;
    }
    RunLogBackupFailed(path.empty() ? "icons" : path.c_str(), why.c_str());
    for (GroupView *view : saved) view->stopped = anyStopped = true;
}

bool GroupsBeforeAsking() { return asking; }
bool GroupsBeforeStopped() { return anyStopped; }

bool GroupsBeforeItem() {
    RunLogSubject subject{RunLogCommandKind::AddItem, groupName, itemName, (itemFlags & ITEM_VITAL) != 0};
    if (!asking) {
        RunLogItemStarted(subject, RunLogChange::Unknown, false, {});
        return true;
    }
    if (!owed.empty()) {
        std::vector<std::string> groups;
        groups.swap(owed);
        GroupsBeforeScript(groups);
        if (!owed.empty()) {  // still no conversation: the item's two commands are not sent
            RunLogItemStarted(subject, RunLogChange::Unknown, false, {});
            RunLogCommandNotSent({RunLogCommandKind::DeleteItem, groupName, itemName, false}, nullptr,
                                 RunLogUnsent::NoConversation);
            RunLogCommandNotSent(subject, nullptr, RunLogUnsent::NoConversation);
            return false;
        }
    }
    auto found = views.find(FoldName(groupName));
    // GroupsBeforeScript asked for every group the script's items name; one it did not has no backup.
    GroupView *view = found != views.end() ? &found->second : nullptr;
    bool stopped = view != nullptr ? view->stopped : backingUp;
    if (view == nullptr || stopped || !view->described) {
        RunLogItemStarted(subject, RunLogChange::Unknown, false, {});
        if (stopped) RunLogCommandNotSent(subject, nullptr, RunLogUnsent::NoBackup);
        return !stopped;
    }
    ItemChange judged = JudgeItem(
        &view->items, ItemAfterAdd(Text(itemName), Text(commandLine), Text(iconFile), IconIndex(Text(iconIndexText))),
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
