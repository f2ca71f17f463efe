// Checks for the Windows-side test programs: a failed check prints where and
// what, and the program's exit status is the number of failures.
#ifndef QUILLET_WINE_CHECK_H
#define QUILLET_WINE_CHECK_H

#include <stdio.h>

extern int checkFailures;

#define CHECK(condition)                                                         \
    do {                                                                         \
        if (!(condition)) {                                                      \
            checkFailures++;                                                     \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
        }                                                                        \
    } while (0)

// A check named in words, for conditions that read badly as code.
#define CHECK_THAT(condition, what)                                                \
    do {                                                                           \
        if (!(condition)) {                                                        \
            checkFailures++;                                                       \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, (const char *)(what)); \
        }                                                                          \
    } while (0)

#define CHECK_EQ(expected, actual)                                                                       \
    do {                                                                                                 \
        long long expectedValue = (long long)(expected), actualValue = (long long)(actual);              \
        if (expectedValue != actualValue) {                                                              \
            checkFailures++;                                                                             \
            printf("%s:%d: %s is %lld (0x%llx), expected %s = %lld (0x%llx)\n", __FILE__, __LINE__, #actual, \
                   actualValue, actualValue, #expected, expectedValue, expectedValue);                   \
        }                                                                                                \
    } while (0)

#define CHECK_STR(expected, actual)                                                                         \
    do {                                                                                                    \
        const char *expectedText = (expected), *actualText = (actual);                                      \
        if (strcmp(expectedText, actualText) != 0) {                                                        \
            checkFailures++;                                                                                \
            printf("%s:%d: %s is\n  \"%s\"\nexpected\n  \"%s\"\n", __FILE__, __LINE__, #actual, actualText, \
                   expectedText);                                                                           \
        }                                                                                                   \
    } while (0)

// Reports the group that starts and returns nothing; groups print their name
// so that a failure can be placed.
void BeginGroup(const char *name);

// A crash ends the program at once with status 99 and a line saying so,
// rather than waiting in a debugger.
void ExitOnCrash(void);

#endif
