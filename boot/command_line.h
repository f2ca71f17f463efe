// Splitting the native command line into arguments. The 8-bit command line
// has no quoting: an argument is a run of bytes above 0x20 taken as signed
// 8-bit numbers, so spaces, tabs, control characters and every byte from
// 0x80 up separate arguments, and quotes and backslashes are kept as they are.
#ifndef QUILLET_BOOT_COMMAND_LINE_H
#define QUILLET_BOOT_COMMAND_LINE_H

#include <stdint.h>

// Number of arguments in the `length` bytes of `text`; *stringBytes gets
// the bytes their NUL-terminated copies take together.
uint32_t CountArguments(const char *text, uint32_t length, uint32_t *stringBytes);

// Copies the arguments, each NUL-terminated, into `block` (*stringBytes
// bytes as counted) and points `vector` (count + 1 entries) at them in
// order; the last entry is null.
void SplitArguments(const char *text, uint32_t length, char **vector, char *block);

#endif
