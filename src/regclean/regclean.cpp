#include "regclean/regclean.h"

// The clean-up arrives with the registry class library.
int RemoveObsoleteRegistryEntries(void) { return 2; }
