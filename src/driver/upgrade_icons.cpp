// The icon upgrade pass: every item line of the script is deleted and added
// again in its group, then the version mark is written.
#include "driver/upgrade_icons.h"

#include "driver/groups_before.h"
#include "options/options.h"
#include "platform/syshooks.h"
#include "progman/formats.h"
#include "progman/itemjudge.h"
#include "progman/progman.h"
#include "runlog/runlog.h"
#include "script/script.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

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
        if (GroupsBeforeAsking()) RunLogVersionMarkBefore(MarkIsTwo(key));
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

// The groups the script's items name, in order, each once. Parsing cuts a line in
// place, so each header is parsed from a copy of its own.
std::vector<std::string> ScriptGroups(uint32_t lineCount) {
    std::vector<std::string> groups;
    std::set<std::string> seen;  // folded
    std::string header, group;
    bool inGroup = false;
    const char *line = ScriptLines;
    for (uint32_t i = 0; i < lineCount; i++, line += std::strlen(line) + 1) {
        if (line[0] == '[') {
            header.assign(line + 1);
            char *name = nullptr;
            SplitHeader(&name, header.data());
            group = name;
            inGroup = true;
        } else if (inGroup && seen.insert(FoldName(group)).second) {
            groups.push_back(group);
        }
    }
    return groups;
}

}  // namespace

char *ScriptLines;

int UpgradeIcons(const char *path) {
    GroupsBeforeStart(upgradeIconsFlag != 0);
    FlagKeywordIndex = BuildKeywordIndex(FlagKeywords);
    uint32_t length = 0, lineCount = 0;
    SetLastError(ERROR_SUCCESS);
    if (uint16_t status = LoadScript(path, &ScriptLines, &length, &lineCount); status != LOAD_OK) {
        LogLoadFailure(path, status);
        return 2;
    }
    RunLogScriptLoaded(path, lineCount);

    if (GroupsBeforeAsking()) GroupsBeforeScript(ScriptGroups(lineCount));

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
        if (!GroupsBeforeItem()) continue;
        ProgmanDeleteItem(groupName, itemName, 0, 0);
        ProgmanAddItem(groupName, itemName, commandLine, iconFile, IconIndex(iconIndexText), itemFlags, 0);
    }
    ProgmanClose(1);
    // A group left untouched for want of its backup: the icons are not at version 2, and
    // the run log's reason names the backup.
    if (GroupsBeforeStopped()) return 2;
    WriteVersionMark();
    RunLogIconsDone();
    return 0;
}
