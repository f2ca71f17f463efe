// Whom the program's windows and boxes belong to: the module whose
// resources it loads, and the main window, which owns every box. WinMain
// and WM_CREATE fill it once; each part that needs it is handed it.
#ifndef QUILLET_DESKTOP_OWNER_H
#define QUILLET_DESKTOP_OWNER_H

#include <windows.h>

struct DesktopOwner {
    HINSTANCE instance;
    HWND mainWindow;
};

// Message boxes of the program: owned by the main window, no caption.
inline void ShowError(const DesktopOwner *owner, const char *text) {
    MessageBoxA(owner->mainWindow, text, NULL, MB_ICONERROR);
}

#endif
