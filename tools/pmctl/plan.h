// What an icon upgrade pass would do to a Program Manager, worked out from the
// script (read with the pass's own reader) and what the Program Manager says
// it holds, with the pass's own command formats. Pure logic: the Program
// Manager's answers come in through a callback.
#pragma once

#include "progman/groupinfo.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct PlanItem {
    std::string name;
    // add, replace, re-add (unchanged but loses what only a person set),
    // unchanged, fail, skip (its group is skipped), unknown (the Program
    // Manager does not describe its items)
    std::string action;
    bool vital = false;
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> differs;  // field: now, after
    std::vector<std::pair<std::string, std::string>> loses;  // field, its value now
    std::string why;  // for fail and skip
    bool removes = false;  // a failing item that is there now: deleted and not added back
};

struct PlanGroup {
    std::string name;
    std::string action;  // exists, create, skip
    std::string why;
    std::vector<PlanItem> items;
};

struct Plan {
    std::string script;
    bool upgradeIcons = false;
    bool itemsKnown = true;  // false when the Program Manager did not describe a group it has
    std::vector<PlanGroup> groups;
    bool Changes() const;
};

// The Program Manager as pmctl sees it: the groups it lists, and a group's
// description (false when it gives none).
struct PlanSource {
    std::vector<std::string> groups;
    std::function<bool(const std::string &group, GroupInfo *info)> describe;
};

// Reads the script with the pass's reader; false with *error when it cannot be read.
bool BuildPlan(const std::string &script, bool upgradeIcons, const PlanSource &source, Plan *plan,
               std::string *error);

std::string PlanText(const Plan &plan);
std::string PlanJson(const Plan &plan);
