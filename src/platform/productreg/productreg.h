// The product's registry library: how this machine was set up, read from the key
// SOFTWARE\Pellor\Setup of the local machine's registry. Truth values are one byte wide.
#pragma once

#include "platform/win32.h"

// Both calls take the local machine root to read from as their first argument:
// null for this machine's HKEY_LOCAL_MACHINE, or a handle such as another machine's
// root opened by the caller.

// TRUE when the Setup key holds a non-zero REG_DWORD "AppServer".
BOOLEAN RegSetupIsPellorAppServer(HKEY machineRoot);

// Stores the Setup key's REG_DWORD "SystemVersion" in *version and returns TRUE;
// FALSE, with *version untouched, when it is missing or not a 4-byte REG_DWORD.
BOOLEAN RegGetPellorVersion(HKEY machineRoot, ULONG *version);
