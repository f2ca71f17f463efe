#include "disk_tool.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

const char kDiskToolUsage[] =
    "usage: quillet-disk [-c FILE] [-n] [-y] [-q | -v] [--output=json] PARTITION\n"
    "       quillet-disk --help | --version\n"
    "  -c, --commands=FILE   list each TRIM command (first LBA, block count)\n"
    "  -n, --dry-run         send no TRIM; say what would be sent (asks nothing)\n"
    "  -y, --yes             trim without asking\n"
    "  -q, --quiet           print errors only\n"
    "  -v, --verbose         also print the drive's limits, the partition and the path taken\n"
    "      --output=FORMAT   human (the default) or json: one JSON document on stdout\n";

int ParseDiskToolArguments(int argc, char **argv, DiskToolOptions *options, char *error, uint32_t errorSize) {
    memset(options, 0, sizeof *options);
    const ToolOption kOptions[] = {
        {"--yes", 'y', kOptionFlag, &options->yes, 0, 0, ""},
    };
    if (!ParseToolArguments(argc, argv, kOptions, sizeof kOptions / sizeof kOptions[0], "partition", 0,
                            &options->common, error, errorSize)) {
        return 0;
    }
    // The question would land in the document.
    if (options->common.json && !options->yes && !options->common.dryRun && !options->common.help &&
        !options->common.version) {
        snprintf(error, errorSize, "--output=json asks nothing: give --yes or --dry-run");
        return 0;
    }
    return 1;
}

int AnswerIsYes(const char *line) {
    char word[8];
    size_t length = strcspn(line, "\r\n");
    if (length == 0 || length >= sizeof word) return 0;
    memcpy(word, line, length);
    word[length] = 0;
    return strcasecmp(word, "y") == 0 || strcasecmp(word, "yes") == 0;
}
