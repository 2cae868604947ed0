// File handles of CreateFileA, for CloseHandle, which also closes process handles.
#pragma once

#include "platform/win32.h"

// Closes handle when it is a file handle of this layer; false otherwise. The
// standard streams are never closed.
bool CloseFileHandle(HANDLE handle);
