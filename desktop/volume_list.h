// The volume list: one entry per NTFS volume among the letters A to Z.
#ifndef QUILLET_DESKTOP_VOLUME_LIST_H
#define QUILLET_DESKTOP_VOLUME_LIST_H

#include <windows.h>

// Fills the main window's list (a combo box); the item data of an entry is its letter.
void FillVolumeList(HWND list);

#endif
