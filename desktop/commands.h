// What the user does in the main window: choosing a volume and TRIM.
#ifndef QUILLET_DESKTOP_COMMANDS_H
#define QUILLET_DESKTOP_COMMANDS_H

#include <windows.h>

// The main window's WM_COMMAND.
void HandleCommand(WPARAM wParam);

#endif
