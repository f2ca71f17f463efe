// The volume list: one entry per NTFS volume among the letters A to Z,
// with the model of its drive and its size; the item data is the letter.
#include "volume_list.h"

#include <windows.h>

#include <string.h>

#include "platform.h"
#include "resource_ids.h"
#include "volume_entry.h"

static void ReadDriveModel(char driveLetter, char *model) {
    uint8_t identify[kIdentifyDataSize];
    memset(model, 0, kModelBufferSize);
    if (!QueryDriveIdentify(driveLetter, identify)) return;
    ModelFromIdentify(identify, model);
}

void FillVolumeList(HWND list) {
    for (char driveLetter = 'A'; driveLetter <= 'Z'; driveLetter++) {
        char rootPath[4];
        RootPath(driveLetter, rootPath);
        char fileSystem[16];
        uint64_t totalBytes = 0;
        if (!QueryFileSystemName(rootPath, fileSystem, sizeof fileSystem)) continue;
        if (!QueryVolumeTotalBytes(rootPath, &totalBytes)) continue;
        if (strcmp(fileSystem, "NTFS") != 0) continue;
        char model[kModelBufferSize];
        ReadDriveModel(driveLetter, model);
        char entry[kEntryTextSize];
        FormatVolumeEntry(rootPath, model, totalBytes, entry);
        LRESULT index = SendMessageA(list, CB_ADDSTRING, 0, (LPARAM)entry);
        SendMessageA(list, CB_SETITEMDATA, (WPARAM)index, (LPARAM)(unsigned char)driveLetter);
    }
}
