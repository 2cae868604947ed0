// How the pass's delete and add of one item changes a group, judged against what
// the Program Manager said the group held: pmctl's plan and the pass's report make
// the same judgement here. Pure logic, no platform.
#pragma once

#include "progman/groupinfo.h"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// The program an item's command line starts: its first word, or what its quotes hold.
std::string CommandProgram(const std::string &commandLine);

// The item an AddItem of the pass leaves: four fields, the icon file defaulting to
// the program, the icon index as sent, no place, hot key or directory of its own.
GroupItemInfo ItemAfterAdd(const std::string &name, const std::string &commandLine, const std::string &iconFile,
                           int32_t iconIndex);

struct ItemChange {
    // add, replace, re-add (the same four fields, but what only a person set is
    // dropped), unchanged; fail when the add would not be accepted
    std::string action;
    bool existed = false;  // the group held an item of that name
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> differs;  // field: now, after
    std::vector<std::pair<std::string, std::string>> loses;                           // field, its value now
};

// What a group holds, by folded name, so that judging a group of n items costs n
// look-ups rather than n scans. A delete takes the first item of its name, an add
// goes after any others of that name, as in the Program Manager's own list.
using HeldItems = std::unordered_map<std::string, std::vector<GroupItemInfo>>;
HeldItems HoldItems(const std::vector<GroupItemInfo> &items);

// The delete of after's name and, when accepted, the add of after, against items
// (what the group holds now), which then holds what the pass leaves. Names match
// without regard to ASCII case, as the Program Manager matches them.
ItemChange JudgeItem(HeldItems *items, const GroupItemInfo &after, bool accepted);

// ASCII lower case: how the Program Manager compares group and item names.
std::string FoldName(std::string name);
