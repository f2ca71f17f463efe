// Trimming the free space of an opened volume.
#include "binding.h"
#include "free_runs.h"
#include "trim_engine.h"

enum {
    kAlignment = 4096,      // the disk's blocks we may tell the drive about
    kLogicalBlock = 512,    // ATA LBAs and counts are 512-byte units
    kMaxChunkBlocks = 4096, // 2 MiB per command
};

int TrimClusterRange(TrimVolume *volume, uint64_t firstCluster, uint32_t clusterCount,
                     TrimProgressSink sink) {
    int64_t start = volume->partitionOffset + (int64_t)(firstCluster * volume->bytesPerCluster);
    int64_t end = start + (int64_t)clusterCount * volume->bytesPerCluster;
    // Inwards to whole 4096-byte blocks: a partly free block must stay.
    start = (start + (kAlignment - 1)) & ~(int64_t)(kAlignment - 1);
    end &= ~(int64_t)(kAlignment - 1);
    if (end <= start) return 1;

    uint64_t lba = (uint64_t)start / kLogicalBlock;
    uint64_t blocks = (uint64_t)(end - start) / kLogicalBlock;
    uint32_t chunkCluster = (uint32_t)((uint64_t)(start - volume->partitionOffset) / volume->bytesPerCluster);
    // Clusters per full chunk from bytes, so the count is right whatever the
    // boot sector's sector size (it equals 4096 / sectorsPerCluster for 512).
    const uint32_t chunkClusters = (uint32_t)(kMaxChunkBlocks * kLogicalBlock) / volume->bytesPerCluster;
    while (blocks > kMaxChunkBlocks) {
        if (sink != 0) sink(volume, chunkCluster, chunkClusters);
        if (!AtaTrimRange(volume->driveHandle, lba, kMaxChunkBlocks)) return 0;
        lba += kMaxChunkBlocks;
        blocks -= kMaxChunkBlocks;
        chunkCluster += chunkClusters;
    }
    if (sink != 0) sink(volume, chunkCluster, (uint32_t)(blocks * kLogicalBlock / volume->bytesPerCluster));
    return AtaTrimRange(volume->driveHandle, lba, (uint16_t)blocks);
}

struct TrimScan {
    TrimVolume *volume;
    TrimProgressSink sink;
};

static int TrimRun(void *context, uint32_t firstCluster, uint32_t clusterCount) {
    TrimScan *scan = (TrimScan *)context;
    return TrimClusterRange(scan->volume, firstCluster, clusterCount, scan->sink);
}

int TrimFreeSpace(TrimVolume *volume, TrimProgressSink sink) {
    if (volume->trimSupported == 0) return 0;
    TrimScan scan = {volume, sink};
    uint32_t byteCount = (uint32_t)(volume->totalClusters / 8);
    // Opening keeps bitmapSize == totalClusters / 8 within the buffer; a
    // caller that changed the record must not make us read past it.
    if (byteCount > volume->bitmapSize) byteCount = volume->bitmapSize;
    return ScanFreeRuns(volume->bitmap, byteCount, volume->minRunClusters, TrimRun, &scan);
}
