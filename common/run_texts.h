// The English words of a trim run that bootsift and the host tools both
// show: what a failed open means and the progress bar. Header-only and free
// of any runtime, so that the native program can take them too. ASCII.
#ifndef QUILLET_COMMON_RUN_TEXTS_H
#define QUILLET_COMMON_RUN_TEXTS_H

#include <stdint.h>

#include "ntfs_reader.h"

// The message of an open status (1 to 9), or null.
inline const char *OpenStatusText(int status) {
    static const char *const kTexts[] = {
        "Allocate memory failed!",       "Access partition failed!",
        "Get partition extents failed!", "Lock partition failed!",
        "Access physical drive failed!", "Target drive does not support trim!",
        "Get boot sector failed!",       "Unsupported file system!",
        "Read partition bitmap failed!",
    };
    return status >= 1 && status <= 9 ? kTexts[status - 1] : 0;
}

enum {
    kProgressCells = 34,
    kProgressLineSize = 64,  // room for a progress line and its NUL
};

// The line that replaces the bar when every command was accepted.
const char kProgressDoneLine[] = "\rTrimming: [==================================] Done.\n";

// Whole percentage of the volume passed at `firstCluster`, exact in 64 bits
// for every cluster number; 0 for an empty volume.
inline int32_t ProgressPercent(uint32_t firstCluster, int64_t totalClusters) {
    if (totalClusters <= 0) return 0;
    return (int32_t)((uint64_t)firstCluster * 100 / (uint64_t)totalClusters);
}

// Writes "\rTrimming: [" + 34 cells + "] NNN%" (the percentage right-aligned
// in three places) and its NUL into `line` (kProgressLineSize bytes).
inline void FormatProgressLine(char *line, uint32_t firstCluster, int64_t totalClusters) {
    static const char kHead[] = "\rTrimming: [";
    uint32_t length = 0;
    for (const char *c = kHead; *c != 0; c++) line[length++] = *c;
    uint64_t filled = totalClusters > 0 ? (uint64_t)firstCluster * 33 / (uint64_t)totalClusters : 0;
    for (uint64_t i = 0; i < kProgressCells; i++) line[length++] = i <= filled ? '=' : ' ';
    line[length++] = ']';
    line[length++] = ' ';
    int32_t percent = ProgressPercent(firstCluster, totalClusters);
    line[length++] = percent >= 100 ? (char)('0' + percent / 100 % 10) : ' ';
    line[length++] = percent >= 10 ? (char)('0' + percent / 10 % 10) : ' ';
    line[length++] = (char)('0' + percent % 10);
    line[length++] = '%';
    line[length] = 0;
}

// Appends `text` and then the decimal `number` (when `withNumber`) to
// `line` at *length, never past size - 1; keeps the NUL.
inline void AppendRunText(char *line, uint32_t size, uint32_t *length, const char *text, int withNumber = 0,
                          uint64_t number = 0) {
    for (; *text != 0 && *length + 1 < size; text++) line[(*length)++] = *text;
    if (withNumber) {
        char digits[20];
        uint32_t count = 0;
        do {
            digits[count++] = (char)('0' + number % 10);
            number /= 10;
        } while (number != 0);
        while (count > 0 && *length + 1 < size) line[(*length)++] = digits[--count];
    }
    if (size != 0) line[*length] = 0;
}

// Why the bitmap is not trusted, from the finding of the claims check:
// the cluster and record concerned, and what to do.
inline void FormatClaimFinding(char *line, uint32_t size, uint32_t kind, uint64_t cluster, uint64_t record) {
    static const char kChkdsk[] = ": run chkdsk /f";
    uint32_t length = 0;
    if (size != 0) line[0] = 0;
    switch (kind) {
    case kClaimFree:
        AppendRunText(line, size, &length, "cluster ", 1, cluster);
        AppendRunText(line, size, &length, " of MFT record ", 1, record);
        AppendRunText(line, size, &length, " is marked free in $Bitmap");
        AppendRunText(line, size, &length, kChkdsk);
        break;
    case kClaimTwice:
        AppendRunText(line, size, &length, "cluster ", 1, cluster);
        AppendRunText(line, size, &length, " is claimed again by MFT record ", 1, record);
        AppendRunText(line, size, &length, kChkdsk);
        break;
    case kClaimPastEnd:
        AppendRunText(line, size, &length, "MFT record ", 1, record);
        AppendRunText(line, size, &length, " claims cluster ", 1, cluster);
        AppendRunText(line, size, &length, ", past the volume's end");
        AppendRunText(line, size, &length, kChkdsk);
        break;
    case kClaimRecordDamaged:
        AppendRunText(line, size, &length, "MFT record ", 1, record);
        AppendRunText(line, size, &length, " is damaged");
        AppendRunText(line, size, &length, kChkdsk);
        break;
    case kClaimUnreadable:
        AppendRunText(line, size, &length, "$MFT could not be read at record ", 1, record);
        AppendRunText(line, size, &length, " to check it against $Bitmap: the disk refused the read");
        break;
    default:
        AppendRunText(line, size, &length, "not enough memory to check $MFT against $Bitmap");
        break;
    }
}

#endif
