#include "disk_tool.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

const char kDiskToolUsage[] =
    "usage: quillet-disk [-c FILE] [-n] [-y] [-q | -v] PARTITION\n"
    "       quillet-disk --help | --version\n"
    "  -c, --commands=FILE   list each TRIM command (first LBA, block count)\n"
    "  -n, --dry-run         send no TRIM; say what would be sent (asks nothing)\n"
    "  -y, --yes             trim without asking\n"
    "  -q, --quiet           print errors only\n"
    "  -v, --verbose         also print the drive's limits, the partition and the path taken\n";

int ParseDiskToolArguments(int argc, char **argv, DiskToolOptions *options, char *error, uint32_t errorSize) {
    memset(options, 0, sizeof *options);
    const ToolOption kOptions[] = {
        {"--yes", 'y', kOptionFlag, &options->yes, 0, 0, ""},
    };
    return ParseToolArguments(argc, argv, kOptions, sizeof kOptions / sizeof kOptions[0], "partition",
                              &options->common, error, errorSize);
}

int AnswerIsYes(const char *line) {
    char word[8];
    size_t length = strcspn(line, "\r\n");
    if (length == 0 || length >= sizeof word) return 0;
    memcpy(word, line, length);
    word[length] = 0;
    return strcasecmp(word, "y") == 0 || strcasecmp(word, "yes") == 0;
}
