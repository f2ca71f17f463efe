#include "image_tool.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>


const char kImageToolUsage[] =
    "usage: quillet-image [--offset BYTES | --partition N] [--commands FILE] [--dry-run] "
    "[--no-trim] [--fail-at N] IMAGE\n"
    "       quillet-image --help\n";

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
    static const char *const kOptions[] = {"--offset", "--partition", "--commands", "--fail-at", "--dry-run",
                                           "--no-trim"};
    int seen[sizeof kOptions / sizeof kOptions[0]] = {0};
    int sawOffset = 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : 0;
        uint64_t number = 0;
        for (uint32_t k = 0; k < sizeof kOptions / sizeof kOptions[0]; k++) {
            if (strcmp(arg, kOptions[k]) != 0) continue;
            // The last of two values would win unnoticed.
            if (seen[k]++) {
                snprintf(error, errorSize, "%s given twice", arg);
                return 0;
            }
        }
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            options->help = 1;
            return 1;
        } else if (strcmp(arg, "--offset") == 0) {
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
