// The native program's private heap, created on the first allocation.
#ifndef QUILLET_ENGINE_NATIVE_NATIVE_HEAP_H
#define QUILLET_ENGINE_NATIVE_NATIVE_HEAP_H

#include <stdint.h>

// A block of `size` bytes (not cleared), or null when no memory can be had.
void *AllocateMemory(uint32_t size);
void FreeMemory(void *block);

#endif
