#include "image_tool.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../engine/bytes.h"

const char kImageToolUsage[] =
    "usage: quillet-image [--offset BYTES | --partition N] [--commands FILE] [--dry-run] "
    "[--no-trim] [--fail-at N] IMAGE\n";

static int ParseUnsigned(const char *text, uint64_t limit, uint64_t *value) {
    if (text == 0 || *text < '0' || *text > '9') return 0;
    errno = 0;
    char *end = 0;
    unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != 0 || parsed > limit) return 0;
    *value = parsed;
    return 1;
}

int ParseImageToolArguments(int argc, char **argv, ImageToolOptions *options, char *error,
                            uint32_t errorSize) {
    memset(options, 0, sizeof *options);
    int sawOffset = 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : 0;
        uint64_t number = 0;
        if (strcmp(arg, "--offset") == 0) {
            if (!ParseUnsigned(value, (uint64_t)INT64_MAX, &number)) {
                snprintf(error, errorSize, "--offset needs a byte count");
                return 0;
            }
            options->offset = (int64_t)number;
            sawOffset = 1;
            i++;
        } else if (strcmp(arg, "--partition") == 0) {
            if (!ParseUnsigned(value, 4, &number) || number == 0) {
                snprintf(error, errorSize, "--partition needs a number from 1 to 4");
                return 0;
            }
            options->partition = (int)number;
            i++;
        } else if (strcmp(arg, "--commands") == 0) {
            if (value == 0) {
                snprintf(error, errorSize, "--commands needs a file name");
                return 0;
            }
            options->commandsFile = value;
            i++;
        } else if (strcmp(arg, "--fail-at") == 0) {
            if (!ParseUnsigned(value, 0xFFFFFFFFu, &number) || number == 0) {
                snprintf(error, errorSize, "--fail-at needs a command number from 1");
                return 0;
            }
            options->failAt = (uint32_t)number;
            i++;
        } else if (strcmp(arg, "--dry-run") == 0) {
            options->dryRun = 1;
        } else if (strcmp(arg, "--no-trim") == 0) {
            options->noTrim = 1;
        } else if (arg[0] == '-' && arg[1] != 0) {
            snprintf(error, errorSize, "unknown option %s", arg);
            return 0;
        } else if (options->image == 0) {
            options->image = arg;
        } else {
            snprintf(error, errorSize, "only one image, not %s", arg);
            return 0;
        }
    }
    if (sawOffset && options->partition != 0) {
        snprintf(error, errorSize, "--offset and --partition exclude each other");
        return 0;
    }
    if (options->image == 0) {
        snprintf(error, errorSize, "no image given");
        return 0;
    }
    return 1;
}

int MbrPartitionExtent(const uint8_t *sector, int number, int64_t *offset, int64_t *length) {
    if (number < 1 || number > 4 || sector[510] != 0x55 || sector[511] != 0xAA) return 0;
    const uint8_t *entry = sector + 446 + 16 * (number - 1);
    uint8_t type = entry[4];
    uint32_t firstSector = LoadLe32(entry + 8);
    uint32_t sectorCount = LoadLe32(entry + 12);
    // 0xEE is a GPT guard, not a partition to trim through.
    if (type == 0 || type == 0xEE || firstSector == 0 || sectorCount == 0) return 0;
    *offset = (int64_t)firstSector * 512;
    *length = (int64_t)sectorCount * 512;
    return 1;
}

const char *OpenStatusText(int status) {
    static const char *const kTexts[] = {
        "Allocate memory failed!",       "Access partition failed!",
        "Get partition extents failed!", "Lock partition failed!",
        "Access physical drive failed!", "Target drive does not support trim!",
        "Get boot sector failed!",       "Unsupported file system!",
        "Read partition bitmap failed!",
    };
    return status >= 1 && status <= 9 ? kTexts[status - 1] : 0;
}

int ProgressPercent(uint32_t firstCluster, int64_t totalClusters) {
    if (totalClusters <= 0) return 0;
    return (int)((uint64_t)firstCluster * 100 / (uint64_t)totalClusters);
}

void FormatProgressLine(char *line, uint32_t firstCluster, int64_t totalClusters) {
    int percent = ProgressPercent(firstCluster, totalClusters);
    uint64_t filled = totalClusters > 0 ? (uint64_t)firstCluster * 33 / (uint64_t)totalClusters : 0;
    int length = sprintf(line, "\rTrimming: [");
    for (uint64_t i = 0; i < 34; i++) line[length++] = i <= filled ? '=' : ' ';
    sprintf(line + length, "] %3d%%", percent);
}
