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

// The style of the window behind a partner window of this thread's
// conversations, as its server last told it; false when hwnd names no live
// conversation. Never waits.
bool DdePartnerStyle(HWND hwnd, int32_t *style);

// Sends a window request (DdeWindowOp) to the server behind a partner window
// without waiting for it, and takes styleAfter as the window's style until the
// server says otherwise; false when hwnd names no live conversation.
bool DdeWindowPost(HWND hwnd, uint32_t op, int32_t arg, int32_t styleAfter);

// Win32 error codes the USER32 calls set that w32types.h does not list.
constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorInvalidThreadId = 1444;
