// Scanning a volume bitmap for runs of free (clear) clusters.
#ifndef QUILLET_ENGINE_FREE_RUNS_H
#define QUILLET_ENGINE_FREE_RUNS_H

#include <stdint.h>

// Called for each free run; returning 0 stops the scan.
typedef int (*FreeRunVisitor)(void *context, uint32_t firstCluster, uint32_t clusterCount);

// Visits, in ascending order, every maximal run of clear bits of at least
// `minRunClusters` (bit k of byte j is cluster 8j + k). Returns 0 as soon as
// the visitor does, else 1. It reads 64 clusters at a time and steps from
// edge to edge between used and free; the runs are exactly those of a
// bit-by-bit walk.
// `byteCount` is at most 2^29, so cluster numbers fit 32 bits.
int ScanFreeRuns(const uint8_t *bitmap, uint32_t byteCount, uint32_t minRunClusters,
                 FreeRunVisitor visitor, void *context);

#endif
