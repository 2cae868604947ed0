// The program's entry: parse the command line, run at most one mode, and hand
// its result to the runtime as the exit status. Nothing is ever printed.
#include "driver/options.h"
#include "regclean/regclean.h"

int main(int argc, char **argv) {
    uint16_t status = ParseArguments(argc - 1, argv + 1, OptionTable, 0);
    if (helpFlag) return 2;  // before the status test: "/?" wins over everything
    if (status != 0 && !(status & PARSE_NO_ARGUMENTS)) return 2;
    if (upgradeKeysFlag) return RemoveObsoleteRegistryEntries();
    if (runInfFlag || upgradeIconsFlag) return UpgradeIcons(scriptPath);
    return 2;
}
