// The window calls the Program Manager conversation makes. This process has no
// windows: the windows it knows are its DDE partners', and each call travels
// to the partner's server through the conversation that named the window.
#include "platform/posix/dde/ddeinternal.h"
#include "platform/posix/dde/ddewire.h"

extern "C" {

BOOL WINAPI SetForegroundWindow(HWND window) {
    int32_t result = 0;
    return DdeWindowRequest(window, DDE_WINDOW_FOREGROUND, 0, &result) && result != 0 ? TRUE : FALSE;
}

LONG WINAPI GetWindowLongA(HWND window, int index) {
    if (index != GWL_STYLE) {  // the style is the only window datum a partner shares
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int32_t style = 0;
    if (!DdeWindowRequest(window, DDE_WINDOW_STYLE, 0, &style)) {
        SetLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    return style;
}

BOOL WINAPI ShowWindow(HWND window, int show) {
    int32_t wasVisible = 0;
    if (!DdeWindowRequest(window, DDE_WINDOW_SHOW, show, &wasVisible)) {
        SetLastError(kErrorInvalidWindowHandle);
        return FALSE;
    }
    return wasVisible != 0 ? TRUE : FALSE;
}

}  // extern "C"
