// Opens and trims a FAT volume from an untrusted disk. The input's first
// byte sets the place: bits 0-1 the volume's offset (0, 63 sectors, 4 KiB,
// 1 MiB), bit 2 the disk ends with the input instead of reading zeros up to
// 40 MiB; the rest is the disk from the volume's first byte on. Every TRIM
// must lie on clusters whose entry in every FAT copy is 0, worked out here
// from the raw bytes alone; the open must end, and leave nothing behind.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "binding.h"
#include "fat_volume.h"
#include "trim_engine.h"

namespace {

const int64_t kOffsets[4] = {0, 63 * 512, 4096, 1 << 20};
const int64_t kPaddedDisk = (int64_t)40 << 20;

const uint8_t *gData;
size_t gSize;
int64_t gOffset, gDiskBytes;
long gLiveBlocks;
int gDrive;  // the one handle

void Fail(const char *what) {
    fprintf(stderr, "fuzz_fat_volume: %s\n", what);
    abort();
}

uint8_t DiskByte(int64_t at) {
    const int64_t from = at - gOffset;
    return from >= 0 && (uint64_t)from < gSize ? gData[from] : 0;
}

uint64_t Le(int64_t at, uint32_t width) {
    uint64_t value = 0;
    for (uint32_t i = width; i > 0; i--) value = value << 8 | DiskByte(at + i - 1);
    return value;
}

// The volume as its boot sector lays it out, by the arithmetic FAT
// documents, and whether cluster `c` is free in every copy.
struct Layout {
    uint64_t bytesPerSector, sectorsPerCluster, fatStart, fatBytes, fatCount, dataStart, clusters, bits;
};
Layout gLayout;

void ReadLayout() {
    Layout &l = gLayout;
    l.bytesPerSector = Le(gOffset + 11, 2);
    l.sectorsPerCluster = Le(gOffset + 13, 1);
    const uint64_t reserved = Le(gOffset + 14, 2), entries = Le(gOffset + 17, 2);
    uint64_t total = Le(gOffset + 19, 2), fatSectors = Le(gOffset + 22, 2);
    if (total == 0) total = Le(gOffset + 32, 4);
    if (fatSectors == 0) fatSectors = Le(gOffset + 36, 4);
    l.fatCount = Le(gOffset + 16, 1);
    l.fatStart = gOffset + reserved * l.bytesPerSector;
    l.fatBytes = fatSectors * l.bytesPerSector;
    const uint64_t rootSectors = l.bytesPerSector != 0 ? (entries * 32 + l.bytesPerSector - 1) / l.bytesPerSector : 0;
    const uint64_t dataSector = reserved + l.fatCount * fatSectors + rootSectors;
    l.dataStart = gOffset + dataSector * l.bytesPerSector;
    l.clusters = total > dataSector && l.sectorsPerCluster != 0 ? (total - dataSector) / l.sectorsPerCluster : 0;
    l.bits = l.clusters < 4085 ? 12 : l.clusters < 65525 ? 16 : 32;
}

int FreeInEveryCopy(uint64_t cluster) {
    const Layout &l = gLayout;
    for (uint64_t copy = 0; copy < l.fatCount; copy++) {
        const int64_t fat = (int64_t)(l.fatStart + copy * l.fatBytes);
        uint64_t entry;
        if (l.bits == 12) {
            entry = Le(fat + (int64_t)(cluster + cluster / 2), 2);
            entry = cluster & 1 ? entry >> 4 : entry & 0xFFF;
        } else if (l.bits == 16) {
            entry = Le(fat + (int64_t)cluster * 2, 2);
        } else {
            entry = Le(fat + (int64_t)cluster * 4, 4) & 0x0FFFFFFF;
        }
        if (entry != 0) return 0;
    }
    return 1;
}

int CheckTrim(void *, const TrimRange *ranges, uint32_t count, int) {
    const Layout &l = gLayout;
    const uint64_t clusterBytes = l.bytesPerSector * l.sectorsPerCluster;
    if (clusterBytes == 0) Fail("TRIM on a volume without clusters");
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t start = ranges[i].lba * 512, end = start + (uint64_t)ranges[i].blockCount * 512;
        if (ranges[i].blockCount == 0 || start < l.dataStart) Fail("TRIM before the data clusters");
        if ((int64_t)end > gDiskBytes) Fail("TRIM past the disk");
        const uint64_t first = (start - l.dataStart) / clusterBytes + 2, last = (end - 1 - l.dataStart) / clusterBytes + 2;
        if (last > l.clusters + 1) Fail("TRIM past the last cluster");
        for (uint64_t cluster = first; cluster <= last; cluster++) {
            if (!FreeInEveryCopy(cluster)) Fail("TRIM of a cluster the FAT calls used");
        }
    }
    return 1;
}

}  // namespace

// The binding: the input as the drive, reads bounded by the disk.
int BindingReadAt(DeviceHandle, int64_t position, void *buffer, uint32_t size) {
    if (position < 0 || position + (int64_t)size > gDiskBytes) return 0;
    for (uint32_t i = 0; i < size; i++) ((uint8_t *)buffer)[i] = DiskByte(position + i);
    return 1;
}

int BindingIdentifyDrive(DeviceHandle, DriveIdentity *identity) {
    memset(identity, 0, sizeof *identity);
    identity->trimBit = 1;
    identity->rangeBlocks = 2;
    identity->logicalSectorSize = 512;
    return 1;
}

int BindingTrimRanges(DeviceHandle, const TrimRange *, uint32_t) { return kTrimBatchAccepted; }

void *BindingAllocate(uint32_t size) {
    void *block = malloc(size == 0 ? 1 : size);
    if (block != 0) gLiveBlocks++;
    return block;
}

void BindingFree(void *block) {
    if (block != 0) gLiveBlocks--;
    free(block);
}

void BindingClose(DeviceHandle handle) {
    if (handle != &gDrive) Fail("closed a handle it was not given");
    gDrive--;
}

// Sanitizer allocators return null for absurd sizes instead of aborting.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=64"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    gData = data + 1;
    gSize = size - 1;
    gOffset = kOffsets[data[0] & 3];
    gDiskBytes = gOffset + (int64_t)gSize;
    if (!(data[0] >> 2 & 1) && gDiskBytes < kPaddedDisk) gDiskBytes = kPaddedDisk;
    gLiveBlocks = 0;
    gDrive = 1;
    ReadLayout();
    TrimVolume *volume = 0;
    FatFinding finding;
    const int status = OpenFatTrimVolumeOnDrive(&gDrive, gOffset, gDiskBytes - gOffset, &volume, &finding);
    if (status != kOpenOk) {
        if (volume != 0) Fail("failed open left a result");
        if (finding.problem == kFatSound && status != kOpenNoMemory) Fail("refused without a finding");
    } else {
        if (volume == 0 || finding.problem != kFatSound || volume->fatBits != gLayout.bits) Fail("opened wrongly");
        TrimRunOptions options = {0, 0, CheckTrim, 0, 0, DriveTrimLimits(volume)};
        TrimRunReport report;
        TrimFreeSpaceWith(volume, &options, &report);
        ReleaseTrimVolume(volume);
    }
    if (gDrive != 0) Fail("the drive was not closed once");
    if (gLiveBlocks != 0) Fail("memory leaked");
    return 0;
}
