#include "tool_arguments.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int ParseNumber(const char *text, uint64_t least, uint64_t most, uint64_t *value) {
    if (text == 0 || *text < '0' || *text > '9') return 0;
    errno = 0;
    char *end = 0;
    unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != 0 || parsed < least || parsed > most) return 0;
    *value = parsed;
    return 1;
}

int ParseToolArguments(int argc, char **argv, const ToolOption *options, uint32_t optionCount,
                       const char *operandName, const char **operand, int *help, char *error, uint32_t errorSize) {
    const uint32_t kMaxOptions = 16;
    int seen[kMaxOptions] = {0};
    if (optionCount > kMaxOptions) return 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            *help = 1;
            return 1;
        }
        uint32_t k = 0;
        while (k < optionCount && strcmp(arg, options[k].name) != 0) k++;
        if (k == optionCount) {
            if (arg[0] == '-' && arg[1] != 0) {
                snprintf(error, errorSize, "unknown option %s", arg);
                return 0;
            }
            if (*operand != 0) {
                snprintf(error, errorSize, "only one %s, not %s", operandName, arg);
                return 0;
            }
            *operand = arg;
            continue;
        }
        const ToolOption &option = options[k];
        if (seen[k]++) {
            snprintf(error, errorSize, "%s given twice", arg);
            return 0;
        }
        if (option.kind == kOptionFlag) {
            *(int *)option.target = 1;
            continue;
        }
        const char *value = i + 1 < argc ? argv[++i] : 0;
        if (option.kind == kOptionText ? value == 0 || *value == 0
                                       : !ParseNumber(value, option.least, option.most, (uint64_t *)option.target)) {
            snprintf(error, errorSize, "%s", option.reason);
            return 0;
        }
        if (option.kind == kOptionText) *(const char **)option.target = value;
    }
    if (*operand == 0) {
        snprintf(error, errorSize, "no %s given", operandName);
        return 0;
    }
    return 1;
}

int FinishArguments(int parsed, int help, const char *program, const char *error, const char *usage) {
    if (!parsed) {
        fprintf(stderr, "%s: %s\n%s", program, error, usage);
        return 64;
    }
    if (help) {
        fputs(usage, stdout);
        return 0;
    }
    return -1;
}
