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

// One difference the claims check found, as words.
inline void AppendClaimDifference(char *line, uint32_t size, uint32_t *length, const ClaimDifference &difference) {
    switch (difference.kind) {
    case kClaimFree:
    case kClaimTwice:
        if (difference.count > 1) {
            AppendRunText(line, size, length, "clusters ", 1, difference.cluster);
            AppendRunText(line, size, length, " to ", 1, difference.cluster + difference.count - 1);
        } else {
            AppendRunText(line, size, length, "cluster ", 1, difference.cluster);
        }
        if (difference.kind == kClaimFree) {
            AppendRunText(line, size, length, " of MFT record ", 1, difference.record);
            AppendRunText(line, size, length, difference.count > 1 ? " are" : " is");
            AppendRunText(line, size, length, " marked free in $Bitmap");
        } else {
            AppendRunText(line, size, length, difference.count > 1 ? " are" : " is");
            AppendRunText(line, size, length, " claimed again by MFT record ", 1, difference.record);
        }
        break;
    case kClaimPastEnd:
        AppendRunText(line, size, length, "MFT record ", 1, difference.record);
        AppendRunText(line, size, length, " claims cluster ", 1, difference.cluster);
        AppendRunText(line, size, length, ", past the volume's end");
        break;
    case kClaimForeignExtension:
        AppendRunText(line, size, length, "MFT record ", 1, difference.record);
        AppendRunText(line, size, length, ", named in the attribute list of MFT record ", 1, difference.cluster);
        AppendRunText(line, size, length, ", belongs to another base record");
        break;
    default:
        AppendRunText(line, size, length, "MFT record ", 1, difference.record);
        AppendRunText(line, size, length, " is damaged");
        break;
    }
}

// Why the bitmap is not trusted, from the finding of the claims check: the
// first few differences by cluster and record, how many there are in all,
// and what to do; or why the check could not be made.
inline void FormatClaimFinding(char *line, uint32_t size, const ClaimFinding *finding) {
    uint32_t length = 0;
    if (size != 0) line[0] = 0;
    if (finding->kind == kClaimUnreadable) {
        AppendRunText(line, size, &length, "$MFT could not be read at record ", 1, finding->record);
        AppendRunText(line, size, &length, " to check it against $Bitmap: the disk refused the read");
        return;
    }
    if (finding->kind == kClaimNoMemory || finding->named == 0) {
        AppendRunText(line, size, &length, "not enough memory to check $MFT against $Bitmap");
        return;
    }
    uint64_t namedDifferences = 0;
    for (uint32_t i = 0; i < finding->named; i++) namedDifferences += finding->first[i].count;
    if (finding->differences > namedDifferences || finding->named > 1) {
        AppendRunText(line, size, &length, "", 1, finding->differences);
        AppendRunText(line, size, &length, " differences between $MFT and $Bitmap: ");
    }
    for (uint32_t i = 0; i < finding->named; i++) {
        if (i != 0) AppendRunText(line, size, &length, "; ");
        AppendClaimDifference(line, size, &length, finding->first[i]);
    }
    if (finding->differences > namedDifferences) {
        AppendRunText(line, size, &length, "; and ", 1, finding->differences - namedDifferences);
        AppendRunText(line, size, &length, " more");
    }
    AppendRunText(line, size, &length, ": run chkdsk /f");
}

#endif
