// The product's registry library: how this machine was set up, read from the key
// SOFTWARE\Pellor\Setup of the local machine's registry. Truth values are one byte wide.
#pragma once

#include "platform/win32.h"

// Both calls take the local machine root to read from as their first argument:
// null for this machine's HKEY_LOCAL_MACHINE, or a handle such as another machine's
// root opened by the caller.

// A key or value that is simply absent (ERROR_FILE_NOT_FOUND) is told apart from
// a registry that could not be read (a damaged hive, an I/O error, a time-out):
// the latter never passes for "not an application server".

// TRUE when the Setup key holds a non-zero REG_DWORD "AppServer"; FALSE when the
// key or value is missing, zero or not a 4-byte REG_DWORD. TRUE as well when the
// registry could not be read, so that the caller asks for the version, which then fails.
BOOLEAN RegSetupIsPellorAppServer(HKEY machineRoot);

// Stores the Setup key's REG_DWORD "SystemVersion" in *version and returns TRUE;
// FALSE, with *version untouched, when it is missing or not a 4-byte REG_DWORD, or
// when the Setup key's values could not be read.
BOOLEAN RegGetPellorVersion(HKEY machineRoot, ULONG *version);
