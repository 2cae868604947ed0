// The option variables, set by the command-line parser from the option table in
// main, and read from then on: by the driver to choose the mode, and by the Program
// Manager commands, since "/upgrade_icons" touches only the groups the Program
// Manager already shows and leaves a started one running.
#pragma once

#include "cmdline/cmdline.h"

#include <cstdint>

extern int32_t upgradeKeysFlag;
extern int32_t runInfFlag;
extern int32_t upgradeIconsFlag;
extern int32_t helpFlag;
extern char scriptPath[260];

extern OptionRecord OptionTable[];
