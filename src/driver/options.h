// The option variables, set by the command-line parser from the option table.
#pragma once

#include "cmdline/cmdline.h"

#include <cstdint>

extern int32_t upgradeKeysFlag;
extern int32_t runInfFlag;
extern int32_t upgradeIconsFlag;
extern int32_t helpFlag;
extern char scriptPath[260];

extern OptionRecord OptionTable[];

// The icon upgrade pass over the script at path: 0, or 2 when it cannot be loaded.
int UpgradeIcons(const char *path);
