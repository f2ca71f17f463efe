// The command-line walk both offline front ends share: each option at most
// once (the last of two values would win unnoticed), --help or -h ends the
// walk, one operand, and a one-line reason for anything else.
#ifndef QUILLET_HOST_TOOL_ARGUMENTS_H
#define QUILLET_HOST_TOOL_ARGUMENTS_H

#include <stdint.h>

enum ToolOptionKind {
    kOptionFlag,    // sets an int to 1
    kOptionText,    // takes a non-empty value: a const char *
    kOptionNumber,  // takes a decimal number from `least` to `most`: a uint64_t
};

struct ToolOption {
    const char *name;  // "--offset"
    ToolOptionKind kind;
    void *target;      // int, const char * or uint64_t, as the kind says
    uint64_t least, most;
    const char *reason;  // why a value was refused: "--offset needs a byte count"
};

// Walks argv[1..]. `operandName` names the one operand in messages ("no
// image given", "only one image, not x"); *operand gets it and *help is set
// by --help. 1 on success (also after --help), 0 with the reason in `error`.
int ParseToolArguments(int argc, char **argv, const ToolOption *options, uint32_t optionCount,
                       const char *operandName, const char **operand, int *help, char *error, uint32_t errorSize);

// What a front end does after the walk: prints the reason and the usage
// on stderr (usage error, 64) or, after --help, the usage on stdout (0).
// -1 when the run goes on.
int FinishArguments(int parsed, int help, const char *program, const char *error, const char *usage);

#endif
