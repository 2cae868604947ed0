// The emulated Windows machine: one private directory that holds the registry
// hives, the Program Manager's groups and the DDE rendezvous. Linux only.
#pragma once

#include <string>

// The machine directory: $PELLOR_MACHINE, else ${XDG_DATA_HOME:-$HOME/.local/share}/pellor/machine.
// Created (mode 0700) on first use; empty when it cannot be created.
const std::string &MachineDir();

// MachineDir() + "/" + relative, with the parent directories of the result created (0700).
std::string MachinePath(const std::string &relative);

// Creates dir and its missing parents with the given mode; true when it exists afterwards.
bool MakeDirs(const std::string &dir, unsigned mode);
