// The pure parts of quillet-image: arguments, MBR partitions, progress.
#ifndef QUILLET_HOST_IMAGE_TOOL_H
#define QUILLET_HOST_IMAGE_TOOL_H

#include <stdint.h>

enum {
    kExitOk = 0,           // 1 to 9: the OpenStatus of a failed open
    kExitTrimFailed = 10,
    kExitUsage = 64,
};

struct ImageToolOptions {
    const char *image;
    const char *commandsFile;  // null: no command list
    int64_t offset;
    int64_t length;  // of the partition; 0 up to the end of the image
    int partition;  // 1 to 4, or 0 when --offset (or nothing) was given
    int dryRun;
    int noTrim;
    uint32_t failAt;
};

// Parses argv; on failure writes a one-line reason into `error`.
int ParseImageToolArguments(int argc, char **argv, ImageToolOptions *options, char *error,
                            uint32_t errorSize);

// Byte offset and length of MBR partition `number` (1 to 4), from the
// disk's first sector. 0 when the sector holds no MBR or the entry is empty.
int MbrPartitionExtent(const uint8_t *sector, int number, int64_t *offset, int64_t *length);

// English message of an OpenStatus (1 to 9), or null.
const char *OpenStatusText(int status);

// Whole percentage of the volume passed at `firstCluster`, exact in 64 bits.
int ProgressPercent(uint32_t firstCluster, int64_t totalClusters);

// The progress line for `percent`: "\rTrimming: [" + 34 cells + "] NNN%".
// `line` needs 64 bytes.
void FormatProgressLine(char *line, uint32_t firstCluster, int64_t totalClusters);

extern const char kImageToolUsage[];

#endif
