// What bootsift's run needs from its platform. The real program implements
// these with ntdll (native_platform.cpp, native_startup.cpp and the engine's
// native binding); the host tests implement them with a scripted screen,
// keyboard and registry.
//
// Texts are UTF-16 code units (char16_t), whatever the host's wchar_t is,
// so the host tests see exactly the text the boot screen shows.
#ifndef QUILLET_BOOT_BOOT_PLATFORM_H
#define QUILLET_BOOT_BOOT_PLATFORM_H

#include <stdint.h>

#include "boot_execute_list.h"

// Formatted lines are made in a buffer of this many code units on the
// caller's stack.
enum { kTextBufferUnits = 256 };

// Shows a NUL-terminated text on the boot screen. "\n" ends a line; a text
// that starts with "\r" writes over the current line from its first column.
void DisplayText(const char16_t *text);

// Waits up to *timeout (100-nanosecond units, negative: relative) for one
// keystroke. 1 when a key arrived; 0 when the time ran out or the keyboard
// cannot be used, so a failing keyboard never aborts the run.
int WaitForKey(int64_t *timeout);

// Formats `format` with one argument into `buffer` (kTextBufferUnits units)
// as the platform's swprintf does. Directives in use: "%d", "%3d", "%c"
// (the number is the character), "%s" and "%%".
void FormatNumber(char16_t *buffer, const char16_t *format, int32_t number);

// Sleeps for *interval (100-nanosecond units, negative: relative).
void SleepFor(int64_t *interval);

// The private heap: a block not cleared, or null when no memory can be had.
void *AllocateMemory(uint32_t size);
void FreeMemory(void *block);

// Session Manager's key and its BootExecute value.
typedef void *RegistryKey;

// Opens "\Registry\Machine\SYSTEM\CurrentControlSet\Control\Session Manager"
// for reading and setting values; null when it cannot be opened.
RegistryKey OpenSessionManagerKey();
// Reads BootExecute. On kBootExecuteRead, *value is a block from
// AllocateMemory (the caller frees it) holding *bytes bytes of the value.
BootExecuteRead ReadBootExecute(RegistryKey key, char16_t **value, uint32_t *bytes);
// Sets BootExecute to `bytes` bytes of REG_MULTI_SZ; the result is not
// examined (nothing could be done about a failure at boot).
void WriteBootExecute(RegistryKey key, const char16_t *value, uint32_t bytes);
void CloseRegistryKey(RegistryKey key);

#endif
