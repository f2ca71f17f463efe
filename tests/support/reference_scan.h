// The free-run walk written the slow, obvious way: one bit at a time, a run
// starts at a clear bit and ends at a set bit or at the end of the bitmap.
// The tests and the benchmark hold ScanFreeRuns to exactly these runs.
#ifndef QUILLET_TESTS_REFERENCE_SCAN_H
#define QUILLET_TESTS_REFERENCE_SCAN_H

#include <stdint.h>

#include "free_runs.h"

inline int ReferenceFreeRuns(const uint8_t *bitmap, uint32_t byteCount, uint32_t minRunClusters,
                             FreeRunVisitor visitor, void *context) {
    uint32_t runStart = 0;
    uint32_t runLength = 0;
    for (uint32_t byte = 0; byte < byteCount; byte++) {
        for (uint32_t bit = 0; bit < 8; bit++) {
            uint32_t cluster = byte * 8 + bit;
            if ((bitmap[byte] >> bit & 1) == 0) {
                if (runLength == 0) runStart = cluster;
                runLength++;
            } else {
                if (runLength >= minRunClusters && !visitor(context, runStart, runLength)) return 0;
                runLength = 0;
                runStart = 0;
            }
        }
    }
    if (runLength >= minRunClusters && !visitor(context, runStart, runLength)) return 0;
    return 1;
}

#endif
