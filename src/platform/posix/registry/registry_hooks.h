// Posix-only controls of the registry layer, for tests: a fresh machine per
// test inside one process, and a short wait on a locked hive.
#pragma once

#include <string>

// Closes the hives, invalidates every open key handle and uses dir as the
// machine directory from now on (empty: MachineDir() again).
void RegistryUseMachineDir(const std::string &dir);

// How long a writer waits for another process's lock on a hive before it gives
// up with ERROR_TIMEOUT (30000 ms unless changed); readers take no lock.
void RegistrySetBusyTimeout(unsigned milliseconds);
