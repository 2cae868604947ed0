// What the DDEML client shares with the message and window calls of this
// platform. Linux only.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <vector>

// Sockets of this thread's live conversations, for a message wait to watch.
void DdeThreadPollFds(std::vector<int> *fds);

// Takes in what this thread's conversations have received without blocking,
// notes the ones whose server went away, and calls their instances' callbacks
// with XTYP_DISCONNECT (once per conversation, on this thread).
void DdeThreadPump();

// Sends a window request to the server behind a partner window of this thread's
// conversations and waits for its answer; false when hwnd names no live
// conversation or the server does not answer.
bool DdeWindowRequest(HWND hwnd, uint32_t op, int32_t arg, int32_t *result);

// Win32 error codes the USER32 calls set that w32types.h does not list.
constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorInvalidThreadId = 1444;
