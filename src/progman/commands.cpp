// The group and item commands: each is formatted into a pool buffer of its own,
// sent as one execute transaction, and released at once.
#include "progman/progman.h"

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

const char *CommonField(int common) { return common ? "1" : "0"; }

}  // namespace

int ProgmanShowGroup(LPCSTR groupName, LPCSTR showCommand, uint8_t flags, int common) {
    if (!ProgmanActivate()) return Unsent(flags, "ShowGroup", groupName, NoConversation);
    auto *command = static_cast<char *>(PoolAlloc(lstrlenA(showCommand) + lstrlenA(groupName) + 24));
    if (command == nullptr) return Unsent(flags, "ShowGroup", groupName, NoMemory);
    wsprintfA(command, "[ShowGroup(%s, %s,%s)]", groupName, showCommand, CommonField(common));
    int result = ProgmanExecute(command);
    PoolFree(command);
    return result;
}

int ProgmanCreateGroup(LPCSTR groupName, LPCSTR groupFile, uint8_t flags, int common) {
    // Only groups the Program Manager already shows are touched in this mode.
    if (upgradeIconsFlag && ProgmanShowGroup(groupName, "8", 0, common) == 0) return 0;
    if (groupFile == nullptr) groupFile = "";
    if (!ProgmanActivate()) return Unsent(flags, "CreateGroup", groupName, NoConversation);
    auto *command = static_cast<char *>(PoolAlloc(lstrlenA(groupFile) + lstrlenA(groupName) + 25));
    if (command == nullptr) return Unsent(flags, "CreateGroup", groupName, NoMemory);
    wsprintfA(command, "[CreateGroup(%s%s%s,%s)]", groupName, groupFile[0] != '\0' ? "," : "", groupFile,
              CommonField(common));
    int result = ProgmanExecute(command);
    PoolFree(command);
    return result;
}

int ProgmanAddItem(LPCSTR groupName, LPCSTR itemName, LPCSTR commandLine, LPCSTR iconFile, int32_t iconIndex,
                   uint8_t flags, int common) {
    if (!ProgmanActivate()) return Unsent(flags, "AddItem", itemName, NoConversation);
    if (!ProgmanCreateGroup(groupName, nullptr, flags & ITEM_VITAL, common))
        return Unsent(flags, "AddItem", itemName, GroupRefused);
    auto *command =
        static_cast<char *>(PoolAlloc(lstrlenA(iconFile) + lstrlenA(commandLine) + lstrlenA(itemName) + 42));
    if (command == nullptr) return Unsent(flags, "AddItem", itemName, NoMemory);
    // The Program Manager's icon field counts from 666; the sum wraps as 32-bit arithmetic does.
    auto sent = static_cast<int32_t>(static_cast<uint32_t>(iconIndex) + 666u);
    wsprintfA(command, "[AddItem(%s, %s, %s, %d)]", commandLine, itemName, iconFile, sent);
    int result = ProgmanExecute(command);
    PoolFree(command);
    return result;
}

int ProgmanDeleteItem(LPCSTR groupName, LPCSTR itemName, uint8_t flags, int common) {
    if (!ProgmanActivate()) return Unsent(flags, "DeleteItem", itemName, NoConversation);
    // The group step counts as vital here whatever the item's own flags.
    if (!ProgmanCreateGroup(groupName, nullptr, ITEM_VITAL, common))
        return Unsent(flags, "DeleteItem", itemName, GroupRefused);
    auto *command = static_cast<char *>(PoolAlloc(lstrlenA(itemName) + 17));
    if (command == nullptr) return Unsent(flags, "DeleteItem", itemName, NoMemory);
    wsprintfA(command, "[DeleteItem(%s)]", itemName);
    int result = ProgmanExecute(command);
    PoolFree(command);
    return result;
}
