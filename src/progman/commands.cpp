// The group and item commands: each is formatted into a pool buffer of its own,
// sent as one execute transaction, and released at once.
#include "progman/progman.h"

#include "progman/formats.h"

#include "driver/options.h"
#include "driver/runlog.h"
#include "script/pool.h"
#include "script/script.h"

#include <cstdio>

namespace {

// The result of an operation that stopped before sending its command, recorded
// with the command's name, its subject and why it was not sent.
int Unsent(uint8_t flags, const char *command, LPCSTR subject, const char *why) {
    char what[300];
    std::snprintf(what, sizeof what, "%s(%s)", command, subject);
    char outcome[64];
    std::snprintf(outcome, sizeof outcome, "not sent: %s", why);
    RunLogCommand(what, outcome, 0);
    return (flags & ITEM_VITAL) ? 0 : 1;
}

constexpr const char *NoConversation = "no conversation";
constexpr const char *NoMemory = "out of memory";
constexpr const char *GroupRefused = "group refused";

}  // namespace

int ProgmanShowGroup(LPCSTR groupName, LPCSTR showCommand, uint8_t flags, int common) {
    if (!ProgmanActivate()) return Unsent(flags, "ShowGroup", groupName, NoConversation);
    size_t size = lstrlenA(showCommand) + lstrlenA(groupName) + 24;
    auto *command = static_cast<char *>(PoolAlloc(static_cast<int32_t>(size)));
    if (command == nullptr) return Unsent(flags, "ShowGroup", groupName, NoMemory);
    FormatShowGroup(command, size, groupName, showCommand, common);
    int result = ProgmanExecute(command);
    PoolFree(command);
    return result;
}

int ProgmanCreateGroup(LPCSTR groupName, LPCSTR groupFile, uint8_t flags, int common) {
    // Only groups the Program Manager already shows are touched in this mode.
    if (upgradeIconsFlag && ProgmanShowGroup(groupName, "8", 0, common) == 0) return 0;
    if (groupFile == nullptr) groupFile = "";
    if (!ProgmanActivate()) return Unsent(flags, "CreateGroup", groupName, NoConversation);
    size_t size = lstrlenA(groupFile) + lstrlenA(groupName) + 25;
    auto *command = static_cast<char *>(PoolAlloc(static_cast<int32_t>(size)));
    if (command == nullptr) return Unsent(flags, "CreateGroup", groupName, NoMemory);
    FormatCreateGroup(command, size, groupName, groupFile, common);
    int result = ProgmanExecute(command);
    PoolFree(command);
    return result;
}

int ProgmanAddItem(LPCSTR groupName, LPCSTR itemName, LPCSTR commandLine, LPCSTR iconFile, int32_t iconIndex,
                   uint8_t flags, int common) {
    if (!ProgmanActivate()) return Unsent(flags, "AddItem", itemName, NoConversation);
    if (!ProgmanCreateGroup(groupName, nullptr, flags & ITEM_VITAL, common))
        return Unsent(flags, "AddItem", itemName, GroupRefused);
    size_t size = lstrlenA(iconFile) + lstrlenA(commandLine) + lstrlenA(itemName) + 42;
    auto *command = static_cast<char *>(PoolAlloc(static_cast<int32_t>(size)));
    if (command == nullptr) return Unsent(flags, "AddItem", itemName, NoMemory);
    FormatAddItem(command, size, commandLine, itemName, iconFile, iconIndex);
    int result = ProgmanExecute(command);
    PoolFree(command);
    return result;
}

int ProgmanDeleteItem(LPCSTR groupName, LPCSTR itemName, uint8_t flags, int common) {
    if (!ProgmanActivate()) return Unsent(flags, "DeleteItem", itemName, NoConversation);
    // The group step counts as vital here whatever the item's own flags.
    if (!ProgmanCreateGroup(groupName, nullptr, ITEM_VITAL, common))
        return Unsent(flags, "DeleteItem", itemName, GroupRefused);
    size_t size = lstrlenA(itemName) + 17;
    auto *command = static_cast<char *>(PoolAlloc(static_cast<int32_t>(size)));
    if (command == nullptr) return Unsent(flags, "DeleteItem", itemName, NoMemory);
    FormatDeleteItem(command, size, itemName);
    int result = ProgmanExecute(command);
    PoolFree(command);
    return result;
}
