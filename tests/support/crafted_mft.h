// A large $MFT made record by record, for measuring the check of the
// bitmap against every MFT record: record 0 maps $MFT itself, every other
// record is in use with a name and a data run of two clusters of its own.
// Plain code on memset/memcpy alone, so that the native measurement
// program (ntdll only) builds it as the host benchmark does.
#ifndef QUILLET_TESTS_SUPPORT_CRAFTED_MFT_H
#define QUILLET_TESTS_SUPPORT_CRAFTED_MFT_H

#include <stdint.h>

enum { kCraftedMftRecordSize = 1024, kCraftedMftClusterSize = 4096 };

// Where things lie on the crafted volume: the files' runs from cluster 16
// on, then $MFT, then a few free clusters.
struct CraftedMftLayout {
    uint32_t records;
    uint64_t mftCluster;
    uint32_t mftClusters;
    uint64_t clusters;       // of the volume
    uint64_t bitmapBytes;    // that cover it
};

// `records` a multiple of 4 (whole clusters of $MFT), at least 4.
void PlanCraftedMft(uint32_t records, CraftedMftLayout *layout);

// Writes records first .. first+count-1, each sealed with its update
// sequence, to `out` (count * kCraftedMftRecordSize bytes).
void CraftMftRecords(const CraftedMftLayout *layout, uint32_t first, uint32_t count, uint8_t *out);

// The first cluster record `number` (1 up) claims.
uint64_t CraftedRecordCluster(uint32_t number);

#endif
