// The volume list: one entry per NTFS volume among the letters A to Z.
#ifndef QUILLET_DESKTOP_VOLUME_LIST_H
#define QUILLET_DESKTOP_VOLUME_LIST_H

// Fills the main window's list; the item data of an entry is its letter.
void FillVolumeList();

#endif
