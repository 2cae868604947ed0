// What the two systems do differently beyond the Win32 subset: how the command
// line tells a path from a switch, where the machine keeps its run log, how
// an error code reads in words, the machine's and the user's names, and what the platform layer has to tell. Implemented in posix/ and windows/.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// How the command line reads one argument.
enum : int {
    ARGUMENT_POSITIONAL = 0,
    ARGUMENT_SWITCH = 1,
    ARGUMENT_END_OF_SWITCHES = 2,  // "--": every later argument is positional
};

// The role of arg on this system (Windows: '/' or '-' first is a switch; Linux also
// takes "/dir/file" as a path and "--" as the end of the switches).
int ArgumentRole(const WCHAR *arg);

// Writes the path of the machine's own run log into path, first moving it aside when
// it cannot take incoming more bytes under its cap; *room is what it can take then.
// False where the system keeps no such log.
bool MachineLogPath(char *path, size_t size, size_t incoming, size_t *room);

// Where a run keeps its backups unless told otherwise, into dir: on Linux the machine's
// private "backup" folder, made so (ERROR_SUCCESS), or the error that stops it (the
// platform's note says which component, and dir still names the folder); where the
// system keeps none, ERROR_NOT_SUPPORTED.
DWORD DefaultBackupDir(char *dir, size_t size);

// The separator that joins a directory and a name in the paths this system shows.
extern const char PathSeparator;

// The system's text for a Win32 error code, without a line end, into text.
void SystemErrorText(DWORD code, char *text, size_t size);

// This process's id.
DWORD CurrentProcessId();

// The machine's name and the user this process runs as, for the run's report; empty
// when the system does not say.
void ComputerNameText(char *text, size_t size);
void UserNameText(char *text, size_t size);

// Asks the platform to call work each time a DDE request has gone out and its answer
// is awaited, while the other side is busy with it; false where it cannot (Windows' own
// DDE), and work is then never called.
bool CallWhileAnswerAwaited(void (*work)());

// Takes the oldest thing the platform layer decided on its own that the run log
// should tell (a rendezvous passed over, a stranger refused) into text; false
// when there is none.
bool TakePlatformNote(char *text, size_t size);
