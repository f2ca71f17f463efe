// Opening a volume on its drive: TRIM support, boot sector geometry and the
// bitmap. How the drive and the volume's place were found is the binding's
// (a Windows letter in bindings/windows/, a Linux partition, an image).
#include "binding.h"
#include "ata_request.h"
#include "bytes.h"
#include "mft_record.h"
#include "ntfs_layout.h"
#include "trim_engine.h"

static int IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

int ReadBootSector(TrimVolume *volume) {
    alignas(16) uint8_t sector[kNtfsBootSectorSize];  // some storage drivers need aligned buffers
    if (!BindingReadAt(volume->driveHandle, volume->partitionOffset, sector, sizeof sector)) return 0;
    volume->oemId = LoadLe32(sector + kBootOemId);
    if (volume->oemId != kNtfsOemId) return 1;

    uint32_t bytesPerSector = LoadLe16(sector + kBootBytesPerSector);
    uint32_t sectorsPerCluster = sector[kBootSectorsPerCluster];
    int64_t totalSectors = (int64_t)LoadLe64(sector + kBootTotalSectors);
    uint64_t mftCluster = LoadLe64(sector + kBootMftCluster);
    uint64_t mftMirrorCluster = LoadLe64(sector + kBootMftMirrorCluster);

    // A geometry we cannot trust would put every TRIM on the wrong blocks:
    // leave bytesPerCluster at 0 and let the open refuse the volume.
    if (!IsPowerOfTwo(bytesPerSector) || bytesPerSector < 256 || bytesPerSector > 4096) return 1;
    if (!IsPowerOfTwo(sectorsPerCluster) || sectorsPerCluster > 128) return 1;
    if (totalSectors <= 0) return 1;
    int64_t totalClusters = totalSectors / sectorsPerCluster;
    // Cluster numbers and run lengths are 32-bit: 2^32 clusters or more
    // cannot be scanned without wrapping.
    if (totalClusters > (int64_t)0xFFFFFFFF) return 1;
    uint32_t recordSize = 0;
    if (!DecodeMftRecordSize(sector[kBootClustersPerRecord], bytesPerSector * sectorsPerCluster, &recordSize)) {
        return 1;
    }
    // Both MFT copies must lie in the volume before a record is read.
    if (mftCluster >= (uint64_t)totalClusters || mftMirrorCluster >= (uint64_t)totalClusters) return 1;

    volume->bytesPerSector = bytesPerSector;
    volume->sectorsPerCluster = sectorsPerCluster;
    volume->totalSectors = totalSectors;
    volume->totalClusters = totalClusters;
    volume->bytesPerCluster = bytesPerSector * sectorsPerCluster;
    volume->minRunClusters = 4096 / volume->bytesPerCluster;
    if (volume->minRunClusters == 0) volume->minRunClusters = 1;
    volume->mftCluster = mftCluster;
    volume->mftMirrorCluster = mftMirrorCluster;
    volume->mftRecordSize = recordSize;
    volume->mftPosition = volume->partitionOffset + (int64_t)(mftCluster * volume->bytesPerCluster);
    return 1;
}

void ReleaseTrimVolume(TrimVolume *volume) {
    if (volume == 0) return;
    if (volume->volumeHandle != 0) BindingClose(volume->volumeHandle);
    if (volume->driveHandle != 0) BindingClose(volume->driveHandle);
    if (volume->bitmap != 0) BindingFree(volume->bitmap);
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

    if (!ReadBootSector(volume)) return kOpenBootSectorFailed;
    if (volume->oemId != kNtfsOemId || volume->bytesPerCluster == 0) return kOpenNotNtfs;
    // A file system that claims more sectors than its partition holds (a
    // partition shrunk in the table, a stale boot sector) would have us trim
    // the next partition's blocks as free space.
    if ((uint64_t)volume->totalSectors * volume->bytesPerSector > extentLength) return kOpenNotNtfs;
    if (!LocateVolumeBitmap(volume)) return kOpenBitmapFailed;
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
