// The pure parts of quillet-disk: its arguments and the confirmation answer.
#ifndef QUILLET_HOST_DISK_TOOL_H
#define QUILLET_HOST_DISK_TOOL_H

#include <stdint.h>

#include "tool_arguments.h"

struct DiskToolOptions {
    ToolCommonOptions common;  // common.operand is the partition
    int yes;  // no question asked
};

// Parses argv; on failure writes a one-line reason into `error`. An option
// given twice is an error; --help and --version end the parse.
int ParseDiskToolArguments(int argc, char **argv, DiskToolOptions *options, char *error, uint32_t errorSize);

// 1 when a line typed at the question means yes ("y" or "yes", any case).
int AnswerIsYes(const char *line);

extern const char kDiskToolUsage[];

#endif
