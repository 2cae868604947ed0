// The group and item commands: each is formatted into a pool buffer of its own,
// sent as one execute transaction, and released at once.
#include "progman/progman.h"

#include "progman/formats.h"

#include "options/options.h"
#include "runlog/runlog.h"
#include "script/pool.h"
#include "script/script.h"

namespace {

RunLogSubject Subject(RunLogCommandKind kind, LPCSTR group, LPCSTR item, uint8_t flags) {
    return {kind, group, item, (flags & ITEM_VITAL) != 0};
}

// The result of an operation that stopped before sending its command, recorded with
// why it was not sent.
int Unsent(const RunLogSubject &subject, RunLogUnsent why) {
    RunLogCommandNotSent(subject, nullptr, why);
    return subject.vital ? 0 : 1;
}

}  // namespace

int ProgmanShowGroup(LPCSTR groupName, LPCSTR showCommand, uint8_t flags, int common) {
    const RunLogSubject subject = Subject(RunLogCommandKind::ShowGroup, groupName, nullptr, flags);
    if (!ProgmanActivate()) return Unsent(subject, RunLogUnsent::NoConversation);
    size_t size = lstrlenA(showCommand) + lstrlenA(groupName) + 24;
    auto *command = static_cast<char *>(PoolAlloc(static_cast<int32_t>(size)));
    if (command == nullptr) return Unsent(subject, RunLogUnsent::NoMemory);
    FormatShowGroup(command, size, groupName, showCommand, common);
    int result = ProgmanExecute(command, subject);
    PoolFree(command);
    return result;
}

int ProgmanCreateGroup(LPCSTR groupName, LPCSTR groupFile, uint8_t flags, int common) {
    // Only groups the Program Manager already shows are touched in this mode.
    if (upgradeIconsFlag && ProgmanShowGroup(groupName, "8", 0, common) == 0) return 0;
    if (groupFile == nullptr) groupFile = "";
    const RunLogSubject subject = Subject(RunLogCommandKind::CreateGroup, groupName, nullptr, flags);
    if (!ProgmanActivate()) return Unsent(subject, RunLogUnsent::NoConversation);
    size_t size = lstrlenA(groupFile) + lstrlenA(groupName) + 25;
    auto *command = static_cast<char *>(PoolAlloc(static_cast<int32_t>(size)));
    if (command == nullptr) return Unsent(subject, RunLogUnsent::NoMemory);
    FormatCreateGroup(command, size, groupName, groupFile, common);
    int result = ProgmanExecute(command, subject);
    PoolFree(command);
    return result;
}

int ProgmanAddItem(LPCSTR groupName, LPCSTR itemName, LPCSTR commandLine, LPCSTR iconFile, int32_t iconIndex,
                   uint8_t flags, int common) {
    const RunLogSubject subject = Subject(RunLogCommandKind::AddItem, groupName, itemName, flags);
    if (!ProgmanActivate()) return Unsent(subject, RunLogUnsent::NoConversation);
    if (!ProgmanCreateGroup(groupName, nullptr, flags & ITEM_VITAL, common))
        return Unsent(subject, RunLogUnsent::GroupRefused);
    size_t size = lstrlenA(iconFile) + lstrlenA(commandLine) + lstrlenA(itemName) + 42;
    auto *command = static_cast<char *>(PoolAlloc(static_cast<int32_t>(size)));
    if (command == nullptr) return Unsent(subject, RunLogUnsent::NoMemory);
    FormatAddItem(command, size, commandLine, itemName, iconFile, iconIndex);
    int result = ProgmanExecute(command, subject);
    PoolFree(command);
    return result;
}

int ProgmanDeleteItem(LPCSTR groupName, LPCSTR itemName, uint8_t flags, int common) {
    const RunLogSubject subject = Subject(RunLogCommandKind::DeleteItem, groupName, itemName, flags);
    if (!ProgmanActivate()) return Unsent(subject, RunLogUnsent::NoConversation);
    // The group step counts as vital here whatever the item's own flags.
    if (!ProgmanCreateGroup(groupName, nullptr, ITEM_VITAL, common))
        return Unsent(subject, RunLogUnsent::GroupRefused);
    size_t size = lstrlenA(itemName) + 17;
    auto *command = static_cast<char *>(PoolAlloc(static_cast<int32_t>(size)));
    if (command == nullptr) return Unsent(subject, RunLogUnsent::NoMemory);
    FormatDeleteItem(command, size, itemName);
    int result = ProgmanExecute(command, subject);
    PoolFree(command);
    return result;
}
