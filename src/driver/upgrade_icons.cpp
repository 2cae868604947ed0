#include "driver/options.h"

// The icon upgrade pass arrives with the Program Manager conversation.
int UpgradeIcons(const char *) { return 2; }
