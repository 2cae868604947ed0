// The child's side of CreateProcessA on Linux: what a program started by it
// reads from its parent, and the readiness that WaitForInputIdle waits for.
// Linux only.
#pragma once

// Environment variables CreateProcessA sets for the child.
#define PELLOR_READY_FD_VAR "PELLOR_READY_FD"        // the pipe to report readiness on
#define PELLOR_SHOW_WINDOW_VAR "PELLOR_SHOW_WINDOW"  // STARTUPINFOA.wShowWindow, when given

// Tells the parent's WaitForInputIdle that this program is ready to serve.
// Harmless when the program was not started that way; only the first call acts.
void ProcessSignalReady();

// The show command the parent asked for (SW_*), SW_SHOWDEFAULT (10) when none.
int ProcessStartupShow();

// True for the show commands that start a window minimized.
bool ShowCommandMinimizes(int show);
