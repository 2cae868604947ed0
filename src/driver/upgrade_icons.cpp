// The icon upgrade pass: every item line of the script is deleted and added
// again in its group, then the version mark is written.
#include "driver/options.h"
#include "progman/progman.h"
#include "script/script.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// atoi's reading (blanks, sign, digits), clamped to 32 bits instead of overflowing.
int32_t IconIndex(const char *text) {
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Records that the icons are at version 2; a failure is simply not recorded.
void WriteVersionMark() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Pellor\\UPGRADE", 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    DWORD version = 2;
    RegSetValueExA(key, "IconVersion", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&version), sizeof version);
    RegCloseKey(key);
}

}  // namespace

char *ScriptLines;

int UpgradeIcons(const char *path) {
    FlagKeywordIndex = BuildKeywordIndex(FlagKeywords);
    uint32_t length = 0, lineCount = 0;
    if (LoadScript(path, &ScriptLines, &length, &lineCount) != LOAD_OK) return 2;

    char *cursor = ScriptLines;
    for (uint32_t i = 0; i < lineCount; i++) {
        int isItem = 0;
        cursor = ParseLine(cursor, &isItem);
        // An item before the first header has no group: sending it would land in
        // whatever group the Program Manager last activated.
        if (!isItem || groupName == nullptr) continue;
        ProgmanDeleteItem(groupName, itemName, 0, 0);
        ProgmanAddItem(groupName, itemName, commandLine, iconFile, IconIndex(iconIndexText), itemFlags, 0);
    }
    ProgmanClose(1);
    WriteVersionMark();
    return 0;
}
