#include "progman/itemjudge.h"

#include "progman/formats.h"

#include <cctype>

namespace {

void Differences(const GroupItemInfo &now, const GroupItemInfo &after, ItemChange *change) {
    const std::pair<const char *, std::pair<std::string, std::string>> fields[] = {
        {"name", {now.name, after.name}},
        {"commandLine", {now.commandLine, after.commandLine}},
        {"iconPath", {now.iconPath, after.iconPath}},
        {"iconIndex", {std::to_string(now.iconIndex), std::to_string(after.iconIndex)}},
    };
    for (const auto &[field, values] : fields)
        if (values.first != values.second) change->differs.push_back({field, values});
}

// What only a person set on the item, which a re-add with four arguments drops.
void Losses(const GroupItemInfo &now, ItemChange *change) {
    if (!now.defaultDir.empty()) change->loses.push_back({"defaultDir", now.defaultDir});
    if (now.hotKey != 0) change->loses.push_back({"hotKey", std::to_string(now.hotKey)});
    if (now.x != -1 || now.y != -1)
        change->loses.push_back({"position", std::to_string(now.x) + "," + std::to_string(now.y)});
    if (now.minimize) change->loses.push_back({"minimize", "1"});
}

}  // namespace

std::string FoldName(std::string name) {
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

std::string CommandProgram(const std::string &commandLine) {
    size_t start = commandLine.find_first_not_of(' ');
    if (start == std::string::npos) return "";
    if (commandLine[start] == '"') return commandLine.substr(start + 1, commandLine.find('"', start + 1) - start - 1);
    return commandLine.substr(start, commandLine.find(' ', start) - start);
}

GroupItemInfo ItemAfterAdd(const std::string &name, const std::string &commandLine, const std::string &iconFile,
                           int32_t iconIndex) {
    return GroupItemInfo{name, commandLine, "", iconFile.empty() ? CommandProgram(commandLine) : iconFile,
                         -1,   -1,          IconIndexSent(iconIndex), 0, false};
}

HeldItems HoldItems(const std::vector<GroupItemInfo> &items) {
    HeldItems held;
    held.reserve(items.size());
    for (const GroupItemInfo &i : items) held[FoldName(i.name)].push_back(i);
    return held;
}

ItemChange JudgeItem(HeldItems *items, const GroupItemInfo &after, bool accepted) {
    ItemChange change;
    std::vector<GroupItemInfo> &named = (*items)[FoldName(after.name)];  // mostly one item
    change.existed = !named.empty();
    GroupItemInfo before = change.existed ? std::move(named.front()) : GroupItemInfo();
    if (change.existed) named.erase(named.begin());
    if (!accepted) {
        change.action = "fail";
        return change;
    }
    named.push_back(after);
    if (!change.existed) {
        change.action = "add";
        return change;
    }
    Differences(before, after, &change);
    Losses(before, &change);
    change.action = !change.differs.empty() ? "replace" : !change.loses.empty() ? "re-add" : "unchanged";
    return change;
}
