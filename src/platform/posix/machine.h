// The emulated Windows machine: one private directory that holds the registry
// hives, the Program Manager's groups and the DDE rendezvous. Linux only.
#pragma once

#include <string>
#include <vector>

// The machine directory's real path: $PELLOR_MACHINE, else
// ${XDG_DATA_HOME:-$HOME/.local/share}/pellor/machine, created (0700) and
// resolved once, on first use. Empty when it cannot be created or is not safe
// (see MachineProblem).
const std::string &MachineDir();

// Why MachineDir() is empty, worded for a tool to tell its user; empty when it is not.
const std::string &MachineProblem();

// The Win32 error a platform call fails with for MachineProblem(): ERROR_ACCESS_DENIED
// for a directory that is not private, ERROR_PATH_NOT_FOUND when there is none; 0 when usable.
unsigned long MachineError();

// Makes the machine directory configured (0700), and *real its real path. Empty
// when it may hold a machine: private (PrivateDirProblem), and every directory
// above it ours or root's and writable by no one else unless sticky, so that no
// one can put another directory in its place. Else the reason, and *error.
std::string ResolveMachineDir(const std::string &configured, std::string *real, unsigned long *error);

// Why dir may not hold a machine: empty when it is a directory of ours that no
// one else may write to; else the reason, and *error the Win32 error for it.
std::string PrivateDirProblem(const std::string &dir, unsigned long *error);

// base/relative made private one component at a time: a missing one is created
// 0700; a present one must be a directory of ours, not a symlink, and loses its
// group and other bits. The path, or empty with *problem naming the component.
std::string PrivateDirUnder(const std::string &base, const std::string &relative, std::string *problem);

// PrivateDirUnder(MachineDir(), relative): a private directory inside the machine.
std::string MachinePrivateDir(const std::string &relative, std::string *problem);

// What a private file is opened for: writing also wants it to have one name,
// and takes its group and other bits away.
enum PrivateFileUse { PRIVATE_READ, PRIVATE_WRITE };

// Opens name relative to dirfd (or AT_FDCWD) with flags, never through a final
// symlink and never waiting on a FIFO; the descriptor, or -1 with *problem unless
// it is a regular file of ours.
int OpenPrivateFileAt(int dirfd, const std::string &name, int flags, PrivateFileUse use, std::string *problem);

// OpenPrivateFileAt(AT_FDCWD, path, ...).
int OpenPrivateFile(const std::string &path, int flags, PrivateFileUse use, std::string *problem);

// MachineDir() + "/" + relative, with the parent directories of the result created (0700).
std::string MachinePath(const std::string &relative);

// Creates dir and its missing parents with the given mode; true when it exists afterwards.
bool MakeDirs(const std::string &dir, unsigned mode);

// Things the layer decided on its own that a log should tell (a runtime
// directory passed over, a stranger refused): kept until taken, a condition
// told once rather than at every call. Thread-safe.
void PlatformNote(const std::string &text);
std::vector<std::string> TakePlatformNotes();

// Calls what CallWhileAnswerAwaited was given, if anything: the DDE client does once
// a request has gone out, before it waits for the answer.
void RunWhileAnswerAwaited();

// text as one word of a POSIX shell: in single quotes, each ' written '\''.
std::string ShellQuoted(const std::string &text);
