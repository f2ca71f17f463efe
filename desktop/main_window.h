// The main window of Quillet and the process-wide state of its thread.
#ifndef QUILLET_DESKTOP_MAIN_WINDOW_H
#define QUILLET_DESKTOP_MAIN_WINDOW_H

#include <windows.h>

// Set in WinMain and the first step of WM_CREATE; never changed after.
extern HINSTANCE gInstance;
extern HWND gMainWindow;

// Message boxes of the program: owned by the main window, no caption.
void ShowError(const char *text);

#endif
