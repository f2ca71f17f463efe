#include "command_line.h"

namespace {

int IsArgumentByte(char byte) { return (signed char)byte > 0x20; }

}  // namespace

uint32_t CountArguments(const char *text, uint32_t length, uint32_t *stringBytes) {
    uint32_t count = 0;
    uint32_t bytes = 0;
    for (uint32_t at = 0; at < length; at++) {
        if (!IsArgumentByte(text[at])) continue;
        if (at == 0 || !IsArgumentByte(text[at - 1])) {
            count++;
            bytes++;  // its NUL
        }
        bytes++;
    }
    *stringBytes = bytes;
    return count;
}

void SplitArguments(const char *text, uint32_t length, char **vector, char *block) {
    uint32_t count = 0;
    uint32_t at = 0;
    while (at < length) {
        if (!IsArgumentByte(text[at])) {
            at++;
            continue;
        }
        vector[count++] = block;
        while (at < length && IsArgumentByte(text[at])) *block++ = text[at++];
        *block++ = 0;
    }
    vector[count] = 0;
}
