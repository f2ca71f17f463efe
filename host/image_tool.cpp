#include "image_tool.h"

#include <stdio.h>
#include <string.h>

#include "tool_arguments.h"


const char kImageToolUsage[] =
    "usage: quillet-image [--offset BYTES | --partition N] [--format FORMAT] [--commands FILE] [--dry-run] "
    "[--no-trim] [--fail-at N] IMAGE\n"
    "       quillet-image --help\n";

int ParseImageToolArguments(int argc, char **argv, ImageToolOptions *options, char *error,
                            uint32_t errorSize) {
    memset(options, 0, sizeof *options);
    uint64_t offset = 0, partition = 0, failAt = 0;
    const ToolOption kOptions[] = {
        {"--offset", kOptionNumber, &offset, 0, (uint64_t)INT64_MAX, "--offset needs a byte count"},
        {"--partition", kOptionNumber, &partition, 1, 256, "--partition needs a number from 1 to 256"},
        {"--format", kOptionText, &options->format, 0, 0, "--format needs a format name"},
        {"--commands", kOptionText, &options->commandsFile, 0, 0, "--commands needs a file name"},
        {"--fail-at", kOptionNumber, &failAt, 1, 0xFFFFFFFFu, "--fail-at needs a command number from 1"},
        {"--dry-run", kOptionFlag, &options->dryRun, 0, 0, ""},
        {"--no-trim", kOptionFlag, &options->noTrim, 0, 0, ""},
    };
    if (!ParseToolArguments(argc, argv, kOptions, sizeof kOptions / sizeof kOptions[0], "image", &options->image,
                            &options->help, error, errorSize)) {
        return 0;
    }
    if (options->help) return 1;
    int sawOffset = 0;
    for (int i = 1; i < argc; i++) sawOffset |= strcmp(argv[i], "--offset") == 0;
    if (sawOffset && partition != 0) {
        snprintf(error, errorSize, "--offset and --partition exclude each other");
        return 0;
    }
    options->offset = (int64_t)offset;
    options->partition = (int)partition;
    options->failAt = (uint32_t)failAt;
    return 1;
}
