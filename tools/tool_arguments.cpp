#include "tool_arguments.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "exit_status.h"
#include "quillet_version.h"

namespace {

const uint32_t kMaxOptions = 24;
const int kLongOnly = 256;  // getopt values of options without a short name

int ParseNumber(const char *text, uint64_t least, uint64_t most, uint64_t *value) {
    if (text == 0 || *text < '0' || *text > '9') return 0;
    errno = 0;
    char *end = 0;
    unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != 0 || parsed < least || parsed > most) return 0;
    *value = parsed;
    return 1;
}

}  // namespace

int ParseToolArguments(int argc, char **argv, const ToolOption *own, uint32_t ownCount, const char *operandName,
                       int severalOperands, ToolCommonOptions *common, char *error, uint32_t errorSize) {
    memset(common, 0, sizeof *common);
    const char *output = 0;
    const ToolOption kCommon[] = {
        {"--commands", 'c', kOptionText, &common->commandsFile, 0, 0, "--commands needs a file name"},
        {"--dry-run", 'n', kOptionFlag, &common->dryRun, 0, 0, ""},
        {"--quiet", 'q', kOptionFlag, &common->quiet, 0, 0, ""},
        {"--verbose", 'v', kOptionFlag, &common->verbose, 0, 0, ""},
        {"--output", 0, kOptionText, &output, 0, 0, "--output needs human or json"},
        {"--help", 'h', kOptionFlag, &common->help, 0, 0, ""},
        {"--version", 'V', kOptionFlag, &common->version, 0, 0, ""},
    };
    const uint32_t commonCount = sizeof kCommon / sizeof kCommon[0];
    // A front end with more options than the table holds is this program's
    // own fault: said, never an empty reason.
    if (ownCount > kMaxOptions - commonCount) {
        snprintf(error, errorSize, "internal error: %u options, at most %u", ownCount + commonCount, kMaxOptions);
        return 0;
    }
    ToolOption all[kMaxOptions];
    uint32_t count = 0;
    for (uint32_t i = 0; i < commonCount; i++) all[count++] = kCommon[i];
    for (uint32_t i = 0; i < ownCount; i++) all[count++] = own[i];

    struct option longOptions[kMaxOptions + 1];
    char shortOptions[2 + 2 * kMaxOptions + 1];
    uint32_t shortLength = 0;
    shortOptions[shortLength++] = ':';  // a missing value is told apart from an unknown option
    for (uint32_t i = 0; i < count; i++) {
        const ToolOption &option = all[i];
        int takesValue = option.kind != kOptionFlag;
        longOptions[i] = {option.name + 2, takesValue ? required_argument : no_argument, 0,
                          option.shortName != 0 ? option.shortName : kLongOnly + (int)i};
        if (option.shortName != 0) {
            shortOptions[shortLength++] = option.shortName;
            if (takesValue) shortOptions[shortLength++] = ':';
        }
    }
    longOptions[count] = {0, 0, 0, 0};
    shortOptions[shortLength] = 0;

    int seen[kMaxOptions] = {0};
    optind = 0;  // a fresh walk, also when called again
    opterr = 0;
    for (;;) {
        int value = getopt_long(argc, argv, shortOptions, longOptions, 0);
        if (value == -1) break;
        // '?' is an unknown option (optopt: its letter, or 0 for a long
        // one) or a known flag given a value (optopt: that flag); ':' a
        // value missing.
        int unknown = value == '?', missing = value == ':';
        if (unknown || missing) value = optopt;
        uint32_t k = 0;
        while (k < count && (all[k].shortName != 0 ? all[k].shortName : kLongOnly + (int)k) != value) k++;
        if (k == count) {
            if (value == 0) {
                snprintf(error, errorSize, "unknown option %s", argv[optind - 1]);
            } else {
                snprintf(error, errorSize, "unknown option -%c", value);
            }
            return 0;
        }
        const ToolOption &option = all[k];
        if (unknown) {
            snprintf(error, errorSize, "%s takes no value", option.name);
            return 0;
        }
        if (missing) {
            snprintf(error, errorSize, "%s", option.reason);
            return 0;
        }
        if (seen[k]++ && option.kind != kOptionTexts) {
            snprintf(error, errorSize, "%s given twice", option.name);
            return 0;
        }
        if (option.kind == kOptionFlag) {
            *(int *)option.target = 1;
            if (common->help || common->version) return 1;
            continue;
        }
        if (option.kind != kOptionNumber ? *optarg == 0
                                         : !ParseNumber(optarg, option.least, option.most, (uint64_t *)option.target)) {
            snprintf(error, errorSize, "%s", option.reason);
            return 0;
        }
        if (option.kind == kOptionText) *(const char **)option.target = optarg;
        if (option.kind == kOptionTexts) {
            ToolTexts *texts = (ToolTexts *)option.target;
            if ((uint64_t)texts->count >= option.most) {
                snprintf(error, errorSize, "%s given more than %llu times", option.name, (unsigned long long)option.most);
                return 0;
            }
            texts->values[texts->count++] = optarg;
        }
    }
    if (common->quiet && common->verbose) {
        snprintf(error, errorSize, "--quiet and --verbose exclude each other");
        return 0;
    }
    if (output != 0 && strcmp(output, "json") != 0 && strcmp(output, "human") != 0) {
        snprintf(error, errorSize, "--output needs human or json, not %s", output);
        return 0;
    }
    common->json = output != 0 && strcmp(output, "json") == 0;
    // Verbose lines would break the document; errors still go to stderr.
    if (common->json && common->verbose) {
        snprintf(error, errorSize, "--verbose and --output=json exclude each other");
        return 0;
    }
    // A front end that finds its inputs elsewhere (a libvirt domain) takes none.
    if (optind >= argc && severalOperands != kOperandsOrNone) {
        snprintf(error, errorSize, "no %s given", operandName);
        return 0;
    }
    if (!severalOperands && optind + 1 < argc) {
        snprintf(error, errorSize, "only one %s, not %s", operandName, argv[optind + 1]);
        return 0;
    }
    common->operand = optind < argc ? argv[optind] : 0;
    common->operands = argv + optind;
    common->operandCount = argc - optind;
    return 1;
}

int ArgumentsEndTheRun(int parsed, const ToolCommonOptions &common, const char *program, const char *error,
                       const char *usage, int *status) {
    if (!parsed) {
        // One line of reason; the usage is a --help away (a typo should
        // not scroll the reason off the screen).
        fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, error, program);
        *status = kExitUsage;
        return 1;
    }
    if (common.help) {
        fputs(usage, stdout);
    } else if (common.version) {
        printf("%s (Quillet) %s\n", program, QUILLET_VERSION);
    } else {
        return 0;
    }
    *status = kExitOk;
    return 1;
}
