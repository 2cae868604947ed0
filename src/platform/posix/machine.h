// The emulated Windows machine: one private directory that holds the registry
// hives, the Program Manager's groups and the DDE rendezvous. Linux only.
#pragma once

#include <string>
#include <vector>

// The machine directory: $PELLOR_MACHINE, else ${XDG_DATA_HOME:-$HOME/.local/share}/pellor/machine.
// Created (mode 0700) on first use; empty when it cannot be created or is not
// private (see MachineProblem).
const std::string &MachineDir();

// Why MachineDir() is empty, worded for a tool to tell its user; empty when it is not.
const std::string &MachineProblem();

// The Win32 error a platform call fails with for MachineProblem(): ERROR_ACCESS_DENIED
// for a directory that is not private, ERROR_PATH_NOT_FOUND when there is none; 0 when usable.
unsigned long MachineError();

// Why dir may not hold a machine: empty when it is a directory of ours that no
// one else may write to; else the reason, and *error the Win32 error for it.
std::string PrivateDirProblem(const std::string &dir, unsigned long *error);

// MachineDir() + "/" + relative, with the parent directories of the result created (0700).
std::string MachinePath(const std::string &relative);

// Creates dir and its missing parents with the given mode; true when it exists afterwards.
bool MakeDirs(const std::string &dir, unsigned mode);

// Things the layer decided on its own that a log should tell (a runtime
// directory passed over, a stranger refused): kept until taken, a condition
// told once rather than at every call. Thread-safe.
void PlatformNote(const std::string &text);
std::vector<std::string> TakePlatformNotes();
