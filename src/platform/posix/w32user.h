// USER32 windows and messages: the calls the Program Manager conversation and
// the registry clean-up's one report make.
#pragma once

#include "w32types.h"

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define WM_QUIT 0x0012

#define GWL_STYLE (-16)
#define WS_MINIMIZE 0x20000000L

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_SHOWMINNOACTIVE 7
#define SW_SHOWNA 8
#define SW_RESTORE 9

#define MB_OK 0x00000000L
#define IDOK 1

extern "C" {

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove);
BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last);
// For the tests and benchmarks: no module or tool calls it.
BOOL WINAPI PostThreadMessageA(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam);
// For the tests and benchmarks: no module or tool calls it.
DWORD WINAPI GetCurrentThreadId(void);
BOOL WINAPI SetForegroundWindow(HWND window);
LONG WINAPI GetWindowLongA(HWND window, int index);
BOOL WINAPI ShowWindow(HWND window, int show);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

}  // extern "C"
