// Opening a volume on its drive: TRIM support, boot sector geometry and the
// bitmap. How the drive and the volume's place were found is the binding's
// (a Windows letter in bindings/windows/, a Linux partition, an image).
#include "binding.h"
#include "ata_request.h"
#include "bytes.h"
#include "mft_record.h"
#include "ntfs_reader.h"
#include "ntfs_layout.h"
#include "trim_engine.h"

static int IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

int DecodeSectorsPerCluster(uint8_t stored, uint32_t *sectors) {
    // Up to 128 the byte is the count; above it, since Windows 10 formats
    // clusters of 128 KiB to 2 MiB, it is the negated exponent: 0xF4 is
    // 2^12 sectors. Read as a count, 0xF4 would be 244 sectors: the
    // wrong blocks for every TRIM.
    if (stored <= 0x80) {
        if (!IsPowerOfTwo(stored)) return 0;
        *sectors = stored;
        return 1;
    }
    uint32_t shift = 256u - stored;
    if (shift > 21) return 0;  // no cluster of 2 MiB or less has more sectors
    *sectors = 1u << shift;
    return 1;
}

int DecodeBootGeometry(const uint8_t *sector, BootGeometry *geometry) {
    ZeroBytes(geometry, sizeof *geometry);
    const uint32_t bytesPerSector = LoadLe16(sector + kBootBytesPerSector);
    const int64_t totalSectors = (int64_t)LoadLe64(sector + kBootTotalSectors);
    const uint64_t mftCluster = LoadLe64(sector + kBootMftCluster);
    const uint64_t mftMirrorCluster = LoadLe64(sector + kBootMftMirrorCluster);
    uint32_t sectorsPerCluster = 0;
    // A geometry we cannot trust would put every TRIM on the wrong blocks.
    if (!IsPowerOfTwo(bytesPerSector) || bytesPerSector < 256 || bytesPerSector > 4096) return kGeometryBytesPerSector;
    if (!DecodeSectorsPerCluster(sector[kBootSectorsPerCluster], &sectorsPerCluster) ||
        (uint64_t)bytesPerSector * sectorsPerCluster > kMaxBytesPerCluster) {
        return kGeometrySectorsPerCluster;
    }
    const uint32_t bytesPerCluster = bytesPerSector * sectorsPerCluster;
    if (totalSectors <= 0) return kGeometryTotalSectors;
    const int64_t totalClusters = totalSectors / sectorsPerCluster;
    // Cluster numbers and run lengths are 32-bit: 2^32 clusters or more
    // cannot be scanned without wrapping; no cluster at all holds no NTFS.
    if (totalClusters == 0 || totalClusters > (int64_t)0xFFFFFFFF) return kGeometryTotalSectors;
    uint32_t recordSize = 0;
    if (!DecodeMftRecordSize(sector[kBootClustersPerRecord], bytesPerCluster, &recordSize)) {
        return kGeometryClustersPerRecord;
    }
    // Both MFT copies must lie in the volume before a record is read.
    if (mftCluster >= (uint64_t)totalClusters) return kGeometryMftCluster;
    if (mftMirrorCluster >= (uint64_t)totalClusters) return kGeometryMftMirrorCluster;
    geometry->bytesPerSector = bytesPerSector;
    geometry->sectorsPerCluster = sectorsPerCluster;
    geometry->bytesPerCluster = bytesPerCluster;
    geometry->totalSectors = totalSectors;
    geometry->totalClusters = totalClusters;
    geometry->mftCluster = mftCluster;
    geometry->mftMirrorCluster = mftMirrorCluster;
    geometry->mftRecordSize = recordSize;
    return kGeometrySound;
}

// Reads the boot sector into the volume's context, once, and takes its
// geometry. 0 when the read failed.
static int ReadBootSector(TrimVolume *volume) {
    uint8_t *sector = volume->context->bootSector;
    if (!BindingReadAt(volume->driveHandle, volume->partitionOffset, sector, kNtfsBootSectorSize)) return 0;
    volume->oemId = LoadLe32(sector + kBootOemId);
    if (volume->oemId != kNtfsOemId) return 1;

    // An unsound geometry leaves bytesPerCluster at 0: the open refuses it.
    BootGeometry geometry;
    if (DecodeBootGeometry(sector, &geometry) != kGeometrySound) return 1;
    volume->bytesPerSector = geometry.bytesPerSector;
    volume->sectorsPerCluster = geometry.sectorsPerCluster;
    volume->totalSectors = geometry.totalSectors;
    volume->totalClusters = geometry.totalClusters;
    volume->bytesPerCluster = geometry.bytesPerCluster;
    // At least 4096 bytes, and never less than one cluster.
    volume->minRunClusters = geometry.bytesPerCluster >= 4096 ? 1 : 4096 / geometry.bytesPerCluster;
    volume->mftCluster = geometry.mftCluster;
    volume->mftMirrorCluster = geometry.mftMirrorCluster;
    volume->mftRecordSize = geometry.mftRecordSize;
    volume->mftPosition = volume->partitionOffset + (int64_t)(geometry.mftCluster * geometry.bytesPerCluster);
    return 1;
}

void ReleaseTrimVolume(TrimVolume *volume) {
    if (volume == 0) return;
    if (volume->volumeHandle != 0) BindingClose(volume->volumeHandle);
    if (volume->driveHandle != 0) BindingClose(volume->driveHandle);
    if (volume->bitmap != 0) BindingFree(volume->bitmap);
    if (volume->context != 0) {
        ReleaseNtfsReader(&volume->context->reader);
        BindingFree(volume->context);
    }
    BindingFree(volume);
}

// The steps after the drive is open, the same whichever way the volume's
// place was learnt: IDENTIFY, boot sector, geometry inside the extent, bitmap.
static int OpenOnDrive(TrimVolume *volume, uint64_t extentLength) {
    // IDENTIFY failing is no failure of opening: the drive then has no TRIM.
    if (BindingIdentifyDrive(volume->driveHandle, &volume->identity)) {
        volume->trimSupported = IdentityAllowsTrim(&volume->identity);
    } else {
        ZeroBytes(&volume->identity, sizeof volume->identity);
    }

    volume->context = (VolumeContext *)BindingAllocate(sizeof(VolumeContext));
    if (volume->context == 0) return kOpenNoMemory;
    ZeroBytes(volume->context, sizeof(VolumeContext));
    if (!ReadBootSector(volume)) return kOpenBootSectorFailed;
    if (volume->oemId != kNtfsOemId || volume->bytesPerCluster == 0) return kOpenNotNtfs;
    // A file system that claims more sectors than its partition holds (a
    // partition shrunk in the table, a stale boot sector) would have us trim
    // the next partition's blocks as free space.
    if ((uint64_t)volume->totalSectors * volume->bytesPerSector > extentLength) return kOpenNotNtfs;
    // A refused read is no damage, nor is a lack of memory.
    uint32_t problem = kNtfsSound;
    if (!LocateBitmap(volume, &problem)) {
        return problem == kNtfsReadFailed ? kOpenBootSectorFailed
               : problem == kNtfsNoMemory ? kOpenNoMemory
                                          : kOpenBitmapFailed;
    }
    return kOpenOk;
}

int OpenTrimVolumeOnDrive(DeviceHandle drive, DeviceHandle lock, int64_t offset, int64_t length,
                          TrimVolume **result) {
    *result = 0;
    TrimVolume *volume = (TrimVolume *)BindingAllocate(sizeof(TrimVolume));
    if (volume == 0) {
        if (drive != 0) BindingClose(drive);
        if (lock != 0) BindingClose(lock);
        return kOpenNoMemory;
    }
    ZeroBytes(volume, sizeof(TrimVolume));
    // The record owns both from here: releasing it closes them.
    volume->driveHandle = drive;
    volume->volumeHandle = lock;
    volume->partitionOffset = offset;
    int status = kOpenOk;
    if (offset < 0 || length <= 0) {
        status = kOpenExtentsFailed;
    } else if (drive == 0) {
        status = kOpenDriveFailed;
    } else {
        status = OpenOnDrive(volume, (uint64_t)length);
    }
    if (status != kOpenOk) {
        ReleaseTrimVolume(volume);
        return status;
    }
    *result = volume;
    return kOpenOk;
}
