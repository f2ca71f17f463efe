#include "disk_tool.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "tool_arguments.h"

const char kDiskToolUsage[] =
    "usage: quillet-disk [--dry-run] [--commands FILE] [--yes] PARTITION\n"
    "       quillet-disk --help\n";

int ParseDiskToolArguments(int argc, char **argv, DiskToolOptions *options, char *error, uint32_t errorSize) {
    memset(options, 0, sizeof *options);
    const ToolOption kOptions[] = {
        {"--commands", kOptionText, &options->commandsFile, 0, 0, "--commands needs a file name"},
        {"--dry-run", kOptionFlag, &options->dryRun, 0, 0, ""},
        {"--yes", kOptionFlag, &options->yes, 0, 0, ""},
    };
    return ParseToolArguments(argc, argv, kOptions, sizeof kOptions / sizeof kOptions[0], "partition",
                              &options->partition, &options->help, error, errorSize);
}

int AnswerIsYes(const char *line) {
    char word[8];
    size_t length = strcspn(line, "\r\n");
    if (length == 0 || length >= sizeof word) return 0;
    memcpy(word, line, length);
    word[length] = 0;
    return strcasecmp(word, "y") == 0 || strcasecmp(word, "yes") == 0;
}
