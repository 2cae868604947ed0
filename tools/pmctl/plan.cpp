#include "plan.h"

#include "platform/escape.h"

#include "progman/formats.h"
#include "progman/itemjudge.h"
#include "script/pool.h"
#include "script/script.h"

#include <nlohmann/json.hpp>

#include <map>

namespace {

// A group as the pass would leave it so far.
struct GroupState {
    bool exists = false;
    bool known = false;  // its items are known
    HeldItems items;
};

// One item line of the script, as the reader cut it.
struct ScriptItem {
    std::string group, name, commandLine, iconFile;
    int32_t iconIndex = 0;
    bool vital = false;
};

// Why the Program Manager would refuse a command of the pass, or empty: the
// pass cuts a command at 1023 characters, a ')' outside quotes or an unpaired
// quote in a field breaks the command apart, and control characters are refused.
std::string Refusal(const std::string &command, const std::vector<std::string> &fields) {
    if (command.size() > kMaxProgmanCommand) return "the command is longer than 1023 characters and would be cut";
    for (const std::string &f : fields) {
        bool quoted = false;
        for (unsigned char c : f) {
            if (c < 0x20 || c == 0x7F) return "a field holds a control character";
            if (c == '"') quoted = !quoted;
            if (c == ')' && !quoted) return "a field holds a ')' outside quotes, which ends the command early";
        }
        if (quoted) return "a field holds an unpaired quote";
    }
    return "";
}

template <typename F>
std::string Formatted(F format) {
    std::string text(format(nullptr, 0) + 1, '\0');
    format(text.data(), text.size());
    return std::string(text.c_str());
}

class Planner {
public:
    Planner(const PlanSource &source, Plan *plan) : source_(source), plan_(plan) {
        for (const std::string &g : source.groups) states_[FoldName(g)].exists = true;
    }

    void Item(const ScriptItem &s) {
        PlanGroup &group = Group(s.group);
        GroupState &state = states_[FoldName(s.group)];
        PlanItem item{s.name, "", s.vital, {}, {}, "", false};
        if (group.action == "skip" || !group.why.empty()) {
            item.action = group.action == "skip" ? "skip" : "fail";
            item.why = "group refused";
            group.items.push_back(item);
            return;
        }
        std::string command = Formatted([&](char *o, size_t n) {
            return FormatAddItem(o, n, s.commandLine.c_str(), s.name.c_str(), s.iconFile.c_str(), s.iconIndex);
        });
        GroupItemInfo after = ItemAfterAdd(s.name, s.commandLine, s.iconFile, s.iconIndex);
        item.why = CommandProgram(s.commandLine).empty() ? "the command line names no program"
                                                  : Refusal(command, {s.name, s.commandLine, s.iconFile});
        Compare(state, after, &item);
        group.items.push_back(item);
    }

private:
    PlanGroup &Group(const std::string &name) {
        for (PlanGroup &g : plan_->groups)
            if (FoldName(g.name) == FoldName(name)) return g;
        plan_->groups.push_back(PlanGroup{name, "", "", {}});
        PlanGroup &g = plan_->groups.back();
        GroupState &state = states_[FoldName(name)];
        g.why = Refusal(Formatted([&](char *o, size_t n) { return FormatCreateGroup(o, n, name.c_str(), "", 0); }),
                        {name});
        if (name.empty()) g.why = "the group has no name";
        if (state.exists) {
            g.action = "exists";
            GroupInfo info;
            state.known = source_.describe(name, &info);
            if (state.known) state.items = HoldItems(info.items);
            plan_->itemsKnown = plan_->itemsKnown && state.known;
        } else if (plan_->upgradeIcons) {
            g.action = "skip";
            g.why = "ShowGroup would be refused: the Program Manager does not show it";
        } else {
            g.action = g.why.empty() ? "create" : "fail";
            state.exists = g.why.empty();
            state.known = true;
        }
        return g;
    }

    // The item against what the group holds now: the pass deletes it, then adds it.
    static void Compare(GroupState &state, const GroupItemInfo &after, PlanItem *item) {
        if (!state.known) {
            item->action = item->why.empty() ? "unknown" : "fail";
            return;
        }
        ItemChange change = JudgeItem(&state.items, after, item->why.empty());
        item->differs = change.differs;
        item->loses = change.loses;
        item->action = change.action;
        item->removes = change.action == "fail" && change.existed;
        if (item->removes) item->why += "; it is deleted and not added back";
    }

    const PlanSource &source_;
    Plan *plan_;
    std::map<std::string, GroupState> states_;
};

const char *Text(const char *p) { return p != nullptr ? p : ""; }

}  // namespace

bool Plan::Changes() const {
    for (const PlanGroup &g : groups) {
        if (g.action == "create") return true;
        for (const PlanItem &i : g.items)
            if (i.action == "add" || i.action == "replace" || i.action == "re-add" || i.action == "unknown" ||
                i.removes)
                return true;
    }
    return false;
}

bool BuildPlan(const std::string &script, bool upgradeIcons, const PlanSource &source, Plan *plan,
               std::string *error) {
    plan->script = script;
    plan->upgradeIcons = upgradeIcons;
    FlagKeywordIndex = BuildKeywordIndex(FlagKeywords);
    char *lines = nullptr;
    uint32_t length = 0, count = 0;
    if (LoadScript(script.c_str(), &lines, &length, &count) != LOAD_OK) {
        *error = "cannot read the script " + script;
        return false;
    }
    Planner planner(source, plan);
    char *cursor = lines;
    for (uint32_t i = 0; i < count; i++) {
        int isItem = 0;
        cursor = ParseLine(cursor, &isItem);
        // As the pass does, an item before the first group header is skipped.
        if (!isItem || groupName == nullptr) continue;
        planner.Item(ScriptItem{Text(groupName), Text(itemName), Text(commandLine), Text(iconFile),
                                IconIndex(Text(iconIndexText)), (itemFlags & ITEM_VITAL) != 0});
    }
    if (lines != nullptr) PoolFree(lines);
    return true;
}

std::string PlanText(const Plan &plan) {
    auto q = [](const std::string &text) { return "\"" + EscapeControls(text) + "\""; };
    std::string out;
    int counts[3] = {0, 0, 0};  // items that change, fail, are unknown
    for (const PlanGroup &g : plan.groups) {
        out += "group " + q(g.name) + ": " + g.action + (g.why.empty() ? "" : " (" + g.why + ")") + "\n";
        for (const PlanItem &i : g.items) {
            out += "  " + i.action + " " + q(i.name) + (i.vital ? " (vital)" : "");
            std::string sep = ": ";
            for (const auto &[field, values] : i.differs) {
                out += sep + field + " " + q(values.first) + " -> " + q(values.second);
                sep = ", ";
            }
            for (const auto &[field, value] : i.loses) {
                out += sep + "loses " + field + " " + EscapeControls(value);
                sep = ", ";
            }
            if (!i.why.empty()) out += sep + i.why;
            out += "\n";
            counts[0] += i.action == "add" || i.action == "replace" || i.action == "re-add";
            counts[1] += i.action == "fail";
            counts[2] += i.action == "unknown";
        }
    }
    out += "plan: " + std::string(plan.Changes() ? "changes" : "no changes") + ", " + std::to_string(counts[0]) +
           " items changed, " + std::to_string(counts[1]) + " failing, " + std::to_string(counts[2]) + " unknown\n";
    return out;
}

std::string PlanJson(const Plan &plan) {
    using Json = nlohmann::ordered_json;
    Json groups = Json::array();
    for (const PlanGroup &g : plan.groups) {
        Json items = Json::array();
        for (const PlanItem &i : g.items) {
            Json item = {{"name", i.name}, {"action", i.action}, {"vital", i.vital}};
            for (const auto &[field, values] : i.differs)
                item["differs"][field] = {{"now", values.first}, {"after", values.second}};
            for (const auto &[field, value] : i.loses) item["loses"][field] = value;
            if (!i.why.empty()) item["why"] = i.why;
            items.push_back(item);
        }
        Json group = {{"name", g.name}, {"action", g.action}};
        if (!g.why.empty()) group["why"] = g.why;
        group["items"] = items;
        groups.push_back(group);
    }
    Json doc = {{"script", plan.script},
                {"mode", plan.upgradeIcons ? "upgrade_icons" : "run_inf"},
                {"itemsKnown", plan.itemsKnown},
                {"changes", plan.Changes()},
                {"groups", groups}};
    // Script text is ANSI, not always UTF-8: a byte JSON cannot hold becomes U+FFFD.
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
