// The pure parts of quillet-disk: its arguments and the confirmation answer.
#ifndef QUILLET_HOST_DISK_TOOL_H
#define QUILLET_HOST_DISK_TOOL_H

#include <stdint.h>

struct DiskToolOptions {
    const char *partition;
    const char *commandsFile;  // null: no command list
    int dryRun;
    int yes;  // no question asked
    int help;  // --help: print the usage, nothing else
};

// Parses argv; on failure writes a one-line reason into `error`. An option
// given twice is an error; --help ends the parse.
int ParseDiskToolArguments(int argc, char **argv, DiskToolOptions *options, char *error, uint32_t errorSize);

// 1 when a line typed at the question means yes ("y" or "yes", any case).
int AnswerIsYes(const char *line);

extern const char kDiskToolUsage[];

#endif
