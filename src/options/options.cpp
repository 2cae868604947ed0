// The option variables and the option table. The table is writable: the parser
// marks each record it sees.
#include "options/options.h"

int32_t upgradeKeysFlag;
int32_t runInfFlag;
int32_t upgradeIconsFlag;
int32_t helpFlag;
char scriptPath[260];

OptionRecord OptionTable[] = {
    {" ", 0, KIND_STRING, sizeof scriptPath, scriptPath},
    {"/upgrade_keys", 0, KIND_BOOLEAN, sizeof upgradeKeysFlag, &upgradeKeysFlag},
    {"/run_inf", 0, KIND_BOOLEAN, sizeof runInfFlag, &runInfFlag},
    {"/upgrade_icons", 0, KIND_BOOLEAN, sizeof upgradeIconsFlag, &upgradeIconsFlag},
    {"/?", 0, KIND_BOOLEAN, sizeof helpFlag, &helpFlag},
    {nullptr, 0, 0, 0, nullptr},
};
