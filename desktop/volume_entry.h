// The text of a volume list entry: root path, drive model and size.
#ifndef QUILLET_DESKTOP_VOLUME_ENTRY_H
#define QUILLET_DESKTOP_VOLUME_ENTRY_H

#include <stdint.h>

enum {
    kIdentifyDataSize = 512,
    kModelBufferSize = 64,
    kModelLength = 40,  // IDENTIFY words 27 to 46
    kEntryTextSize = 128,
};

// "X:\" with its terminating zero.
void RootPath(char driveLetter, char *rootPath);

// The model text of IDENTIFY DEVICE data: words 27 to 46 with the bytes of
// each word swapped (ATA strings put the first character of a pair in the
// high byte), the trailing padding removed. Spaces inside the model stay.
// `model` receives kModelBufferSize bytes, zero after the text.
void ModelFromIdentify(const uint8_t *identify, char *model);

// Whole gigabytes, truncated: three divisions by 1024.
int32_t VolumeSizeGb(uint64_t totalBytes);

// "X:\ [model] (N GB)" into `entry` (kEntryTextSize bytes).
void FormatVolumeEntry(const char *rootPath, const char *model, uint64_t totalBytes, char *entry);

#endif
