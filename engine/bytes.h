// Little-endian field access and small memory helpers for on-disk and
// on-wire layouts. Callers check bounds before reading.
#ifndef QUILLET_ENGINE_BYTES_H
#define QUILLET_ENGINE_BYTES_H

#include <stdint.h>

inline uint16_t LoadLe16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }

inline uint32_t LoadLe32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline uint64_t LoadLe64(const uint8_t *p) {
    return (uint64_t)LoadLe32(p) | ((uint64_t)LoadLe32(p + 4) << 32);
}

// Reads `width` bytes (0 to 8) as an unsigned little-endian number.
inline uint64_t LoadLeUnsigned(const uint8_t *p, uint32_t width) {
    uint64_t value = 0;
    for (uint32_t i = width; i > 0; i--) value = (value << 8) | p[i - 1];
    return value;
}

inline void StoreLe16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

inline void StoreLe32(uint8_t *p, uint32_t v) {
    StoreLe16(p, (uint16_t)v);
    StoreLe16(p + 2, (uint16_t)(v >> 16));
}

inline void StoreLe64(uint8_t *p, uint64_t v) {
    StoreLe32(p, (uint32_t)v);
    StoreLe32(p + 4, (uint32_t)(v >> 32));
}

// Clears a block a machine word at a time (every ATA command clears its
// request, so this is on the per-command path). The native program links
// no C runtime but does have memset: ntdll exports it, through the import
// library made from bindings/native/ntdll_crt.def. volatile keeps the loops
// as they are all the same, so that every build clears requests with the
// same code and the engine needs no runtime call for it.
inline void ZeroBytes(void *block, uint32_t size) {
    uint8_t *p = (uint8_t *)block;
    uint32_t i = 0;
    const uint32_t word = sizeof(uintptr_t);
    for (; i < size && ((uintptr_t)(p + i) % word) != 0; i++) *(volatile uint8_t *)(p + i) = 0;
    // Four words a turn: the loop's own count and test cost as much as a store.
    for (; size - i >= 4 * word; i += 4 * word) {
        *(volatile uintptr_t *)(p + i) = 0;
        *(volatile uintptr_t *)(p + i + word) = 0;
        *(volatile uintptr_t *)(p + i + 2 * word) = 0;
        *(volatile uintptr_t *)(p + i + 3 * word) = 0;
    }
    for (; size - i >= word; i += word) *(volatile uintptr_t *)(p + i) = 0;
    for (; i < size; i++) *(volatile uint8_t *)(p + i) = 0;
}

// 1 when all `size` bytes are zero; read a machine word at a time, as the
// emulated drive checks every request's reserved bytes on this same path.
inline int AllZeroBytes(const void *block, uint32_t size) {
    const uint8_t *p = (const uint8_t *)block;
    uint32_t i = 0;
    for (; i < size && ((uintptr_t)(p + i) % sizeof(uintptr_t)) != 0; i++)
        if (p[i] != 0) return 0;
    const uint32_t word = sizeof(uintptr_t);
    for (; size - i >= 4 * word; i += 4 * word) {
        const uintptr_t *w = (const uintptr_t *)(p + i);
        if ((w[0] | w[1] | w[2] | w[3]) != 0) return 0;
    }
    for (; size - i >= word; i += word)
        if (*(const uintptr_t *)(p + i) != 0) return 0;
    for (; i < size; i++)
        if (p[i] != 0) return 0;
    return 1;
}

#endif
