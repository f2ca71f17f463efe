// The command line both offline front ends share, read with getopt_long:
// short and long options, --option=value, `--` ending the options, each
// option at most once (the last of two values would win unnoticed), --help
// and --version ending the walk, one operand (several where the front end
// takes them), and a one-line reason for anything else.
#ifndef QUILLET_HOST_TOOL_ARGUMENTS_H
#define QUILLET_HOST_TOOL_ARGUMENTS_H

#include <stdint.h>

enum ToolOptionKind {
    kOptionFlag,    // sets an int to 1
    kOptionText,    // takes a non-empty value: a const char *
    kOptionNumber,  // takes a decimal number from `least` to `most`: a uint64_t
    kOptionTexts,   // a kOptionText that may be given again, up to `most` times: a ToolTexts
};

// The values of a kOptionTexts option, in the order given.
struct ToolTexts {
    const char **values;  // room for the option's `most`
    int count;
};

struct ToolOption {
    const char *name;  // "--offset"
    char shortName;    // 'o', or 0 for a long option alone
    ToolOptionKind kind;
    void *target;      // int, const char * or uint64_t, as the kind says
    uint64_t least, most;
    const char *reason;  // why a value was refused: "--offset needs a byte count"
};

// What both front ends take: -c/--commands, -n/--dry-run, -q/--quiet,
// -v/--verbose, --output, -h/--help, -V/--version, and the operands.
struct ToolCommonOptions {
    const char *operand;       // the image or the partition (the first one)
    char *const *operands;     // all of them, in the order given (argv's own strings)
    int operandCount;
    const char *commandsFile;  // null: no command list
    int dryRun;
    int quiet;    // errors only
    int verbose;  // the drive's limits, the partition, the path taken
    int json;     // --output=json: one JSON document on stdout, nothing else
    int help;     // print the usage, nothing else
    int version;  // print the version, nothing else
};

// `severalOperands` of a front end that also runs without any.
enum { kOperandsOrNone = 2 };

// Walks argv[1..] (getopt_long permutes it) with the common options and
// the front end's own. `operandName` names the operand in messages ("no
// image given", "only one image, not x"); `severalOperands` lets more than
// one through, kOperandsOrNone also none (operand null). 1 on success (also after --help or --version), 0 with the
// reason in `error`.
int ParseToolArguments(int argc, char **argv, const ToolOption *options, uint32_t optionCount,
                       const char *operandName, int severalOperands, ToolCommonOptions *common, char *error,
                       uint32_t errorSize);

// What a front end does after the walk: prints the reason and the usage on
// stderr (kExitUsage), the usage or the version on stdout (kExitOk). 1 when
// the program ends here with *status, 0 when the run goes on.
int ArgumentsEndTheRun(int parsed, const ToolCommonOptions &common, const char *program, const char *error,
                       const char *usage, int *status);

#endif
