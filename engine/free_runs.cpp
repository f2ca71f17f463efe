#include "free_runs.h"

// Position of the first bit at or after `from` whose value is `wantSet`,
// or `totalBits` when there is none.
static uint64_t FindNextBit(const uint8_t *bitmap, uint64_t totalBits, uint64_t from, int wantSet) {
    const uint8_t flip = wantSet ? 0x00 : 0xFF;
    uint64_t position = from;
    // Bits up to the next 8-byte boundary, one byte at a time.
    while (position < totalBits && (position & 63) != 0) {
        uint8_t byte = (uint8_t)((bitmap[position >> 3] ^ flip) >> (position & 7));
        if (byte != 0) {
            uint64_t found = position + (uint64_t)__builtin_ctz(byte);
            return found < totalBits ? found : totalBits;
        }
        position = (position | 7) + 1;
    }
    // Whole words: one compare skips 64 clusters of the same kind.
    const uint64_t wordFlip = wantSet ? 0 : ~(uint64_t)0;
    while (position + 64 <= totalBits) {
        uint64_t word;
        __builtin_memcpy(&word, bitmap + (position >> 3), 8);  // targets are little-endian
        word ^= wordFlip;
        if (word != 0) return position + (uint64_t)__builtin_ctzll(word);
        position += 64;
    }
    while (position < totalBits) {
        uint8_t byte = (uint8_t)(bitmap[position >> 3] ^ flip);
        if (byte != 0) {
            uint64_t found = position + (uint64_t)__builtin_ctz(byte);
            return found < totalBits ? found : totalBits;
        }
        position += 8;
    }
    return totalBits;
}

int ScanFreeRuns(const uint8_t *bitmap, uint32_t byteCount, uint32_t minRunClusters,
                 FreeRunVisitor visitor, void *context) {
    const uint64_t totalBits = (uint64_t)byteCount * 8;
    uint64_t position = 0;
    while (position < totalBits) {
        uint64_t start = FindNextBit(bitmap, totalBits, position, 0);
        if (start == totalBits) break;
        uint64_t end = FindNextBit(bitmap, totalBits, start, 1);
        uint64_t length = end - start;
        if (length >= minRunClusters && !visitor(context, (uint32_t)start, (uint32_t)length)) return 0;
        position = end;
    }
    return 1;
}
