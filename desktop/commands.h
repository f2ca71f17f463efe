// What the user does in the main window: choosing a volume and TRIM.
#ifndef QUILLET_DESKTOP_COMMANDS_H
#define QUILLET_DESKTOP_COMMANDS_H

#include <windows.h>

#include "owner.h"

// The main window's WM_COMMAND.
void HandleCommand(const DesktopOwner *owner, WPARAM wParam);

#endif
