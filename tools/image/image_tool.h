// The pure parts of quillet-image: its arguments and usage.
#ifndef QUILLET_HOST_IMAGE_TOOL_H
#define QUILLET_HOST_IMAGE_TOOL_H

#include <stdint.h>

#include "tool_arguments.h"

struct ImageToolOptions {
    ToolCommonOptions common;  // common.operands are the images
    int jobs;  // images trimmed at once, from 1
    int64_t offset;
    int64_t length;  // of the partition; 0 up to the end of the image
    int offsetGiven;  // --offset was written, even as 0: that volume alone
    int partition;    // as Linux numbers it, or 0 when not given
    const char *format;  // --format, checked; null: from the image's header
    const char *copyTo;      // --copy-to: a compact copy goes there, the image is only read; null: none
    const char *copyFormat;  // --copy-format, checked; null: the image's own
    int overwrite;           // --overwrite: the copy may replace an existing file
    // Test hooks for the image drive; left out of the usage.
    int noTrim;       // the drive reports no TRIM support
    uint32_t failAt;  // the N-th TRIM command fails
    // Test hooks for the image's checks; left out of the usage.
    int noHeaderCheck;    // the header is not read: the wall alone keeps QEMU in
    const char *waitFor;  // read this FIFO to its end between the checks and the serving
    uint64_t killAfterPunches;  // SIGKILL right after this many holes punched in place, or writes of a copy (0: never)
};

// Parses argv; on failure writes a one-line reason into `error`. An option
// given twice is an error; --help and --version end the parse.
int ParseImageToolArguments(int argc, char **argv, ImageToolOptions *options, char *error,
                            uint32_t errorSize);

extern const char kImageToolUsage[];

#endif
