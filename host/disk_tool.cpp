#include "disk_tool.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

const char kDiskToolUsage[] = "usage: quillet-disk [--dry-run] [--commands FILE] [--yes] PARTITION\n";

int ParseDiskToolArguments(int argc, char **argv, DiskToolOptions *options, char *error, uint32_t errorSize) {
    memset(options, 0, sizeof *options);
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--commands") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == 0) {
                snprintf(error, errorSize, "--commands needs a file name");
                return 0;
            }
            options->commandsFile = argv[++i];
        } else if (strcmp(arg, "--dry-run") == 0) {
            options->dryRun = 1;
        } else if (strcmp(arg, "--yes") == 0) {
            options->yes = 1;
        } else if (arg[0] == '-' && arg[1] != 0) {
            snprintf(error, errorSize, "unknown option %s", arg);
            return 0;
        } else if (options->partition == 0) {
            options->partition = arg;
        } else {
            snprintf(error, errorSize, "only one partition, not %s", arg);
            return 0;
        }
    }
    if (options->partition == 0) {
        snprintf(error, errorSize, "no partition given");
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
