// The one door to the operating system. On Windows it is the real API; elsewhere
// it declares the exact subset of Win32 that the modules and tools call, with the
// same names, signatures and constants, implemented in src/platform/posix.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <ddeml.h>

// Wide literals: WCHAR is wchar_t (16 bits) on Windows.
#define WIDE(s) L##s

#else

#include "posix/w32types.h"
#include "posix/w32file.h"
#include "posix/w32dde.h"
#include "posix/w32user.h"
#include "posix/w32process.h"
#include "posix/w32registry.h"

// Wide literals: WCHAR is char16_t elsewhere, never the 32-bit wchar_t.
#define WIDE(s) u##s

#endif
