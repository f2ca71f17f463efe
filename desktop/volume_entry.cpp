#include "volume_entry.h"

#include <stdio.h>
#include <string.h>

#include "texts.h"

void RootPath(char driveLetter, char *rootPath) {
    rootPath[0] = driveLetter;
    rootPath[1] = ':';
    rootPath[2] = '\\';
    rootPath[3] = 0;
}

void ModelFromIdentify(const uint8_t *identify, char *model) {
    memset(model, 0, kModelBufferSize);
    const uint8_t *field = identify + 2 * 27;
    for (int i = 0; i < kModelLength; i += 2) {
        model[i] = (char)field[i + 1];
        model[i + 1] = (char)field[i];
    }
    // Drop the padding at the end only: a space inside the model is part
    // of its name ("Samsung SSD 860 EVO").
    for (int i = kModelLength - 1; i >= 0 && (model[i] == ' ' || model[i] == 0); i--) model[i] = 0;
}

int32_t VolumeSizeGb(uint64_t totalBytes) { return (int32_t)(totalBytes / 1024 / 1024 / 1024); }

void FormatVolumeEntry(const char *rootPath, const char *model, uint64_t totalBytes, char *entry) {
    snprintf(entry, kEntryTextSize, kFormatVolumeEntry, rootPath, model, (int)VolumeSizeGb(totalBytes));
}
