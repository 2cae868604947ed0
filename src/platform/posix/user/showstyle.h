// How a show command (SW_*) changes a window's style, shared by the window
// calls, which predict it, and the servers that own the windows. Linux only.
#pragma once

#include <cstdint>

// The style a window with this style has after ShowWindow(show). Commands
// outside SW_HIDE..SW_FORCEMINIMIZE leave it as it is.
int32_t StyleAfterShow(int32_t style, int show);
