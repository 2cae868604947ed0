// boxwatch CAPTION SECONDS: waits for a message box titled CAPTION on this desktop,
// prints "CAPTION: TEXT" and closes the box with its OK button; status 1 when none
// appears in time. The conformance run reads the box that upgrade.exe shows with it,
// so that a run with a message box neither blocks nor goes unchecked.
// "boxwatch: watching" on standard error says that the desktop is up: a program started
// while Wine's shell is still bringing the desktop up may find no desktop for its box.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The message box's text is its static control with text (the icon's has none).
BOOL CALLBACK FindText(HWND child, LPARAM found) {
    char className[32] = {};
    char text[1024] = {};
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") == 0 && GetWindowTextA(child, text, sizeof text) > 0) {
        *reinterpret_cast<std::string *>(found) = text;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: boxwatch CAPTION SECONDS\n");
        return 2;
    }
    const DWORD limit = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) * 1000;
    if (GetDesktopWindow() == nullptr) {
        std::fprintf(stderr, "boxwatch: no desktop\n");
        return 2;
    }
    std::fprintf(stderr, "boxwatch: watching\n");
    std::fflush(stderr);
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < limit) {
        // "#32770" is the dialog class that message boxes are made of.
        HWND box = FindWindowA("#32770", argv[1]);
        std::string text;
        if (box != nullptr) EnumChildWindows(box, FindText, reinterpret_cast<LPARAM>(&text));
        // The box may be found before its text is set: look again shortly.
        if (!text.empty()) {
            std::printf("%s: %s\n", argv[1], text.c_str());
            std::fflush(stdout);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(100);
    }
    return 1;
}
