// The pure parts of quillet-image: arguments and progress.
#ifndef QUILLET_HOST_IMAGE_TOOL_H
#define QUILLET_HOST_IMAGE_TOOL_H

#include <stdint.h>

#include "run_texts.h"

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
    int partition;  // as Linux numbers it, or 0 when --offset (or nothing) was given
    const char *format;  // null: from the image's header
    int dryRun;
    int noTrim;
    uint32_t failAt;
    int help;  // --help: print the usage, nothing else
};

// Parses argv; on failure writes a one-line reason into `error`. An option
// given twice is an error; --help ends the parse.
int ParseImageToolArguments(int argc, char **argv, ImageToolOptions *options, char *error,
                            uint32_t errorSize);

extern const char kImageToolUsage[];

#endif
