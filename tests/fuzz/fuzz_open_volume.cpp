// Opens and trims a volume from an untrusted disk. The input's first byte
// sets the machine; the rest is the disk from the volume's first byte on.
// The disk is attached read-only (TRIM punches nothing), the run uses the
// drive's own limits, and every TRIM that reaches the drive must lie on
// free clusters of the volume: anything else would destroy data. Beyond
// what the loaded bitmap says, no TRIM may touch what the volume's own
// metadata occupies (the boot sector, MFT records 0 to 6, $MFTMirr and the
// bitmap's first run), worked out here from the raw bytes on its own.
//
// Switch byte: bits 0-1 the partition offset (0, 63 sectors, 4 KiB, 1 MiB);
// bit 2 a lock request; bit 3 the lock is refused; bits 4-5 the drive (TRIM,
// no TRIM bit, IDENTIFY ends with ERR, pass-through rejected); bit 6 the
// second TRIM ends with ERR; bit 7 the disk ends with the input instead of
// reading zeros up to 64 MiB. The partition always reaches 64 MiB, so a
// disk cut short lies about its partition table.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "emulated_ssd.h"
#include "ntfs_reader.h"
#include "trim_engine.h"
#include "volume_state.h"

// Sanitizer allocators return null for absurd sizes instead of aborting,
// as a real heap would: a boot sector may claim a volume of petabytes.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=64"; }

namespace {

const int64_t kOffsets[4] = {0, 63 * 512, 4096, 1 << 20};
const int64_t kPaddedDisk = (int64_t)64 << 20;

int gDisk = -1;
char gDiskPath[64];
const TrimVolume *gVolume;
uint32_t gAccepted;

void Fail(const char *what) {
    fprintf(stderr, "fuzz_open_volume: %s\n", what);
    abort();
}

// Clusters the volume's metadata occupies, as its raw bytes tell.
struct ClusterRange {
    uint64_t first, count;
};
ClusterRange gMetadata[4];
uint32_t gMetadataRanges;

uint64_t InputLe(const uint8_t *disk, size_t size, uint64_t at, uint32_t width) {
    uint64_t value = 0;
    for (uint32_t i = width; i > 0; i--) value = value << 8 | (at + i - 1 < size ? disk[at + i - 1] : 0);
    return value;
}

void AddMetadata(uint64_t first, uint64_t count) { gMetadata[gMetadataRanges++] = {first, count}; }

// Plain NTFS arithmetic, independent of the engine's code: the boot
// sector's fields and record 6's first $DATA run, read with the update
// sequence put back. Whatever cannot be stated (a record size out of
// range, a run that does not parse) is left out.
void FindMetadata(const uint8_t *disk, size_t size) {
    gMetadataRanges = 0;
    // Above 0x80 the sectors-per-cluster byte is a negative exponent.
    const uint64_t perCluster = InputLe(disk, size, 0x0D, 1);
    const uint64_t sectors = perCluster <= 0x80 ? perCluster : 256 - perCluster > 21 ? 0 : 1ull << (256 - perCluster);
    const uint64_t bytesPerCluster = InputLe(disk, size, 0x0B, 2) * sectors;
    if (bytesPerCluster == 0) return;
    const auto clusters = [&](uint64_t bytes) { return (bytes + bytesPerCluster - 1) / bytesPerCluster; };
    AddMetadata(0, clusters(512));
    const int8_t perRecord = (int8_t)InputLe(disk, size, 0x40, 1);
    uint64_t recordSize = 0;
    if (perRecord > 0) recordSize = perRecord * bytesPerCluster;
    if (perRecord <= -9 && perRecord >= -12) recordSize = (uint64_t)1 << -perRecord;
    if (recordSize == 0 || recordSize > 4096 || recordSize % 512 != 0) return;
    const uint64_t mft = InputLe(disk, size, 0x30, 8);
    if (mft > ((uint64_t)1 << 32)) return;
    AddMetadata(mft, clusters(7 * recordSize));
    AddMetadata(InputLe(disk, size, 0x38, 8), clusters(4 * recordSize));
    uint8_t record[4096];
    const uint64_t at = mft * bytesPerCluster + 6 * recordSize;
    for (uint64_t i = 0; i < recordSize; i++) record[i] = (uint8_t)InputLe(disk, size, at + i, 1);
    const uint64_t sequence = InputLe(record, recordSize, 4, 2);
    for (uint64_t stride = 1; stride * 512 <= recordSize && sequence + 2 * stride + 2 <= recordSize; stride++) {
        record[stride * 512 - 2] = record[sequence + 2 * stride];
        record[stride * 512 - 1] = record[sequence + 2 * stride + 1];
    }
    for (uint64_t attribute = InputLe(record, recordSize, 0x14, 2), walked = 0; walked < 64; walked++) {
        const uint64_t type = InputLe(record, recordSize, attribute, 4);
        const uint64_t length = InputLe(record, recordSize, attribute + 4, 4);
        if (type == 0 || type == 0xFFFFFFFF || length == 0 || attribute + length > recordSize) return;
        const int unnamedNonResident =
            InputLe(record, recordSize, attribute + 8, 1) == 1 && InputLe(record, recordSize, attribute + 9, 1) == 0;
        if (type == 0x80 && unnamedNonResident) {
            const uint64_t pairs = attribute + InputLe(record, recordSize, attribute + 0x20, 2);
            const uint32_t header = (uint32_t)InputLe(record, recordSize, pairs, 1);
            const uint32_t lengthWidth = header & 15, offsetWidth = header >> 4;
            if (lengthWidth == 0 || lengthWidth > 8 || offsetWidth == 0 || offsetWidth > 8) return;
            AddMetadata(InputLe(record, recordSize, pairs + 1 + lengthWidth, offsetWidth),
                        InputLe(record, recordSize, pairs + 1, lengthWidth));
            return;
        }
        attribute += length;
    }
}

int ClusterIsUsed(const TrimVolume *volume, uint64_t cluster) {
    return volume->bitmap[cluster >> 3] >> (cluster & 7) & 1;
}

// Every block of a TRIM that reached the drive, accepted or refused, must
// lie on free clusters that the scan covered.
int CheckRange(uint64_t lba, uint32_t blockCount) {
    const TrimVolume *volume = gVolume;
    if (blockCount == 0 || blockCount > 65535) Fail("TRIM of a bad length");
    int64_t start = (int64_t)lba * 512;
    int64_t end = start + (int64_t)blockCount * 512;
    int64_t scannedEnd = volume->partitionOffset + (int64_t)volume->bitmapSize * 8 * volume->bytesPerCluster;
    if (start < volume->partitionOffset || end > scannedEnd) Fail("TRIM outside the scanned volume");
    if (end > kPaddedDisk) Fail("TRIM past the partition");
    uint64_t first = (uint64_t)(start - volume->partitionOffset) / volume->bytesPerCluster;
    uint64_t last = (uint64_t)(end - 1 - volume->partitionOffset) / volume->bytesPerCluster;
    for (uint64_t cluster = first; cluster <= last; cluster++) {
        if (ClusterIsUsed(volume, cluster)) Fail("TRIM of a used cluster");
    }
    for (uint32_t i = 0; i < gMetadataRanges; i++) {
        const ClusterRange &range = gMetadata[i];
        const int overlaps = range.count != 0 && range.first <= last &&
                             (first < range.first || first - range.first < range.count);
        if (overlaps) Fail("TRIM of the volume's own metadata");
    }
    return 1;
}

int CheckTrim(void *, const TrimRange *ranges, uint32_t count, int accepted) {
    gAccepted += accepted;
    for (uint32_t i = 0; i < count; i++) CheckRange(ranges[i].lba, ranges[i].blockCount);
    return 1;
}

void CheckSink(void *, TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount) {
    if (clusterCount == 0) Fail("sink told of an empty chunk");
    if ((uint64_t)firstCluster + clusterCount > (uint64_t)volume->bitmapSize * 8) Fail("sink told of clusters past the bitmap");
}

void CheckOpened(const TrimVolume *volume) {
    uint32_t bytesPerSector = volume->bytesPerSector;
    uint32_t sectorsPerCluster = volume->sectorsPerCluster;
    if (bytesPerSector < 256 || bytesPerSector > 4096 || (bytesPerSector & (bytesPerSector - 1)) != 0)
        Fail("opened with a bad sector size");
    if (sectorsPerCluster == 0 || (sectorsPerCluster & (sectorsPerCluster - 1)) != 0 ||
        (uint64_t)bytesPerSector * sectorsPerCluster > 2 * 1024 * 1024)
        Fail("opened with a bad cluster size");
    if (volume->bytesPerCluster != bytesPerSector * sectorsPerCluster) Fail("bytesPerCluster");
    if (volume->totalClusters < 0 || volume->totalClusters > (int64_t)0xFFFFFFFF) Fail("totalClusters");
    if (volume->totalClusters > volume->totalSectors / sectorsPerCluster) Fail("totalClusters grew");
    if (volume->bitmap == 0 || (int64_t)volume->bitmapSize != volume->totalClusters / 8) Fail("bitmapSize");
    if (volume->mftPosition < volume->partitionOffset) Fail("mftPosition before the volume");
}

// The volume-state checks and the claims check read the whole untrusted
// MFT through the reader: they must end, free what they took and answer
// within their ranges. The trim below runs whatever they say, so the TRIM
// oracle keeps watching the scan on every opened volume.
void CheckReaders(TrimVolume *volume) {
    const int blocks = HostCountersNow()->liveBlocks;
    int state = CheckVolumeState(volume);
    if (state < kVolumeClean || state > kVolumeNoMemory || VolumeStateText(state) == 0) {
        if (state != kVolumeClean) Fail("volume state out of range");
    }
    ClaimFinding finding;
    int sound = CheckVolumeClaims(volume, &finding);
    if (sound != (finding.kind == kClaimsSound) || finding.kind > kClaimNoMemory) Fail("claims finding");
    if (HostCountersNow()->liveBlocks != blocks) Fail("the checks leaked memory");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    if (gDisk < 0) {
        gDisk = memfd_create("fuzz-disk", MFD_CLOEXEC);
        if (gDisk < 0) Fail("memfd_create");
        snprintf(gDiskPath, sizeof gDiskPath, "/proc/self/fd/%d", gDisk);
    }
    const uint8_t switches = data[0];
    const int64_t offset = kOffsets[switches & 3];
    const int lock = switches >> 2 & 1;

    FindMetadata(data + 1, size - 1);
    HostReset();
    if (ftruncate(gDisk, 0) != 0) Fail("ftruncate");
    if (size > 1 && pwrite(gDisk, data + 1, size - 1, offset) != (ssize_t)(size - 1)) Fail("pwrite");
    const int padded = !(switches >> 7 & 1);
    if (padded && offset + (int64_t)size - 1 < kPaddedDisk && ftruncate(gDisk, kPaddedDisk) != 0) Fail("ftruncate");
    if (!HostAttachDisk(0, gDiskPath, 0)) Fail("attach");
    EmulatedVolume *settings = HostAttachVolume('F', 0, offset);
    settings->extentLength = kPaddedDisk - offset;
    settings->lockFails = switches >> 3 & 1;
    EmulatedDrive *drive = HostDrive();
    const int driveKind = switches >> 4 & 3;
    drive->trimSupported = driveKind != 1;
    drive->identifyError = driveKind == 2;
    drive->rejectPassThrough = driveKind == 3;
    drive->failTrimAt = switches >> 6 & 1 ? 2 : 0;

    TrimVolume *volume = (TrimVolume *)1;
    int status = OpenTrimVolume('F', &volume, lock);
    if (status < 0 || status > 9 || status == 6) Fail("status out of range");
    gAccepted = 0;
    if (status != kOpenOk) {
        if (volume != 0) Fail("failed open left a result");
    } else {
        if (volume == 0) Fail("open gave no result");
        CheckOpened(volume);
        CheckReaders(volume);
        gVolume = volume;
        // The drive's own limits: several ranges a command, each up to 65528 blocks.
        TrimRunOptions options = {CheckSink, 0, CheckTrim, 0, 0, DriveTrimLimits(volume)};
        TrimRunReport report;
        int trimmed = TrimFreeSpaceWith(volume, &options, &report);
        if (volume->trimSupported == 0 && (trimmed != 0 || HostCountersNow()->trimCommands != 0))
            Fail("trimmed without TRIM support");
        if (trimmed == 1 && gAccepted != HostCountersNow()->trimCommands) Fail("success after a refused command");
        if (report.commandsSent != HostCountersNow()->trimCommands) Fail("report counts other commands");
        if (HostCountersNow()->malformedRequests != 0) Fail("malformed ATA request");
        ReleaseTrimVolume(volume);
    }
    static const int verbose = getenv("FUZZ_OPEN_VOLUME_VERBOSE") != 0;
    if (verbose) {
        fprintf(stderr, "status %d, %u TRIM commands, %u accepted\n", status, HostCountersNow()->trimCommands,
                gAccepted);
    }
    if (HostCountersNow()->openHandles != 0) Fail("handle leaked");
    if (HostCountersNow()->liveBlocks != 0) Fail("memory leaked");
    return 0;
}
