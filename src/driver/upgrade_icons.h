// The icon upgrade pass of "/run_inf" and "/upgrade_icons".
#pragma once

// The pass over the script at path: 0, or 2 when it cannot be loaded.
int UpgradeIcons(const char *path);

// The lines buffer of the pass: the parser state points into it, so it is kept
// until the process ends.
extern char *ScriptLines;
