#include "image_tool.h"

#include <stdio.h>
#include <string.h>

const char kImageToolUsage[] =
    "usage: quillet-image [-o BYTES | -p N] [-c FILE] [-n] [-q | -v] IMAGE\n"
    "       quillet-image --help | --version\n"
    "  -o, --offset=BYTES    the NTFS volume starts at this byte of IMAGE (default 0)\n"
    "  -p, --partition=N     the NTFS volume is MBR partition N (1 to 4)\n"
    "  -c, --commands=FILE   list each TRIM command (first LBA, block count)\n"
    "  -n, --dry-run         punch no holes; say what would be sent\n"
    "  -q, --quiet           print errors only\n"
    "  -v, --verbose         also print the drive, the volume and the path taken\n";

int ParseImageToolArguments(int argc, char **argv, ImageToolOptions *options, char *error,
                            uint32_t errorSize) {
    memset(options, 0, sizeof *options);
    const uint64_t kNotGiven = UINT64_MAX;  // above every offset allowed
    uint64_t offset = kNotGiven, partition = 0, failAt = 0;
    const ToolOption kOptions[] = {
        {"--offset", 'o', kOptionNumber, &offset, 0, (uint64_t)INT64_MAX, "--offset needs a byte count"},
        {"--partition", 'p', kOptionNumber, &partition, 1, 4, "--partition needs a number from 1 to 4"},
        {"--fail-at", 0, kOptionNumber, &failAt, 1, 0xFFFFFFFFu, "--fail-at needs a command number from 1"},
        {"--no-trim", 0, kOptionFlag, &options->noTrim, 0, 0, ""},
    };
    if (!ParseToolArguments(argc, argv, kOptions, sizeof kOptions / sizeof kOptions[0], "image", &options->common,
                            error, errorSize)) {
        return 0;
    }
    if (options->common.help || options->common.version) return 1;
    if (offset != kNotGiven && partition != 0) {
        snprintf(error, errorSize, "--offset and --partition exclude each other");
        return 0;
    }
    options->offset = offset == kNotGiven ? 0 : (int64_t)offset;
    options->partition = (int)partition;
    options->failAt = (uint32_t)failAt;
    return 1;
}
