// The window calls the Program Manager conversation makes. This process has no
// windows: the windows it knows are its DDE partners'. As on Windows, where a
// window's style is read without its owner and a hung owner does not stop a
// caller, none of these calls waits on the partner: the conversation keeps the
// style its server announces, and requests travel without waiting for replies.
#include "platform/posix/user/showstyle.h"
#include "platform/posix/dde/ddeinternal.h"
#include "platform/posix/dde/ddewire.h"

namespace {

constexpr int32_t kVisible = 0x10000000;   // WS_VISIBLE
constexpr int32_t kMaximize = 0x01000000;  // WS_MAXIMIZE
constexpr int kForceMinimize = 11;         // SW_FORCEMINIMIZE

struct ShowEffect {
    int32_t set, clear;
};

// Indexed by SW_*: every command but SW_HIDE shows the window.
constexpr ShowEffect kShowEffects[] = {
    {0, kVisible},                                        // SW_HIDE
    {kVisible, WS_MINIMIZE | kMaximize},                  // SW_SHOWNORMAL
    {kVisible | WS_MINIMIZE, kMaximize},                  // SW_SHOWMINIMIZED
    {kVisible | kMaximize, WS_MINIMIZE},                  // SW_SHOWMAXIMIZED
    {kVisible, WS_MINIMIZE | kMaximize},                  // SW_SHOWNOACTIVATE
    {kVisible, 0},                                        // SW_SHOW
    {kVisible | WS_MINIMIZE, kMaximize},                  // SW_MINIMIZE
    {kVisible | WS_MINIMIZE, kMaximize},                  // SW_SHOWMINNOACTIVE
    {kVisible, 0},                                        // SW_SHOWNA
    {kVisible, WS_MINIMIZE},                              // SW_RESTORE
    {kVisible, 0},                                        // SW_SHOWDEFAULT
    {kVisible | WS_MINIMIZE, kMaximize},                  // SW_FORCEMINIMIZE
};
static_assert(sizeof kShowEffects / sizeof kShowEffects[0] == kForceMinimize + 1);

}  // namespace

int32_t StyleAfterShow(int32_t style, int show) {
    if (show < 0 || show > kForceMinimize) return style;
    const ShowEffect &e = kShowEffects[show];
    return (style & ~e.clear) | e.set;
}

extern "C" {

BOOL WINAPI SetForegroundWindow(HWND window) {
    int32_t style = 0;
    if (!DdePartnerStyle(window, &style) || !DdeWindowPost(window, DDE_WINDOW_FOREGROUND, 0, style)) {
        SetLastError(kErrorInvalidWindowHandle);
        return FALSE;
    }
    return TRUE;
}

LONG WINAPI GetWindowLongA(HWND window, int index) {
    if (index != GWL_STYLE) {  // the style is the only window datum a partner shares
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int32_t style = 0;
    if (!DdePartnerStyle(window, &style)) {
        SetLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    return style;
}

BOOL WINAPI ShowWindow(HWND window, int show) {
    int32_t style = 0;
    if (!DdePartnerStyle(window, &style) || !DdeWindowPost(window, DDE_WINDOW_SHOW, show, StyleAfterShow(style, show))) {
        SetLastError(kErrorInvalidWindowHandle);
        return FALSE;
    }
    return (style & kVisible) != 0 ? TRUE : FALSE;
}

}  // extern "C"
