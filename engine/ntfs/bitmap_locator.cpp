// Finds the $Bitmap file record by walking MFT records from the first one
// and loads the volume bitmap from its single data run.
//
// A wrong bitmap sends TRIM into live data, so nothing read is believed on
// its own: every record is read whole and checked with its update
// sequence, every walk is bounded, every field is checked against the ones
// it depends on, and the bitmap that was loaded must call the volume's own
// metadata in use before it is handed out. Any doubt ends with 0 (status 9; a refused read or a lack of memory says so instead).
#include "binding.h"
#include "bytes.h"
#include "mft_record.h"
#include "ntfs_reader.h"
#include "ntfs_layout.h"
#include "trim_engine.h"

enum {
    // $Bitmap is record 6 on every NTFS volume; walking further than this
    // means the MFT is not what we think it is.
    kMaxRecordsWalked = 16,
    kMirroredRecords = 4,  // $MFTMirr holds copies of records 0 to 3
};

static uint64_t CeilDiv(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit; }

static int ReadThroughDrive(void *context, int64_t position, void *buffer, uint32_t size) {
    return BindingReadAt((DeviceHandle)context, position, buffer, size);
}

// The volume's reader over its drive, with all of $MFT mapped; it stays
// with the volume's context for the checks after the open.
static int OpenVolumeReader(const TrimVolume *volume, NtfsReader *reader) {
    return OpenNtfsReader(reader, ReadThroughDrive, volume->driveHandle, volume->partitionOffset,
                          volume->bytesPerCluster, (uint64_t)volume->totalClusters, volume->mftRecordSize,
                          volume->mftCluster);
}

// The unnamed $DATA of a record, non-resident and starting at VCN 0, and
// its header.
static int FindUnnamedData(const uint8_t *record, uint32_t used, uint32_t *at, NonResidentAttribute *data) {
    *at = 0;
    return FindNamedAttribute(record, used, kAttributeData, "", at) && ReadNonResident(record, *at, data) &&
           data->firstVcn == 0;
}

// 1 when the record is in use, a base record, and its first $FILE_NAME is a
// resident value that names "$Bitmap" (exact case) in the root folder;
// *at is left on that $FILE_NAME.
static int IsBitmapRecord(const uint8_t *record, uint32_t used, uint32_t *at) {
    static const char kName[] = "$Bitmap";
    const uint32_t nameLength = sizeof kName - 1;
    uint32_t valueAt = 0, valueLength = 0;
    *at = 0;
    if (!IsBaseRecordInUse(record) || !FindAttribute(record, used, kAttributeFileName, at) ||
        !ResidentValue(record, *at, &valueAt, &valueLength) || valueLength < kFileNameText + 2 * nameLength) {
        return 0;
    }
    const uint8_t *value = record + valueAt;
    // The parent is a file reference: record number in the low 48 bits.
    if ((LoadLe64(value + kFileNameParent) & 0xFFFFFFFFFFFFull) != kMftRecordRoot) return 0;
    if (value[kFileNameLength] != nameLength) return 0;
    for (uint32_t i = 0; i < nameLength; i++) {
        if (LoadLe16(value + kFileNameText + 2 * i) != (uint16_t)kName[i]) return 0;
    }
    return 1;
}

// 1 when every cluster of [first, first + count) lies in the volume and
// the bitmap calls it in use.
static int ClustersInUse(const TrimVolume *volume, uint64_t first, uint64_t count) {
    if (first >= (uint64_t)volume->totalClusters || count > (uint64_t)volume->totalClusters - first) return 0;
    for (uint64_t cluster = first; cluster < first + count; cluster++) {
        if ((volume->bitmap[cluster / 8] >> (cluster % 8) & 1) == 0) return 0;
    }
    return 1;
}

int LocateBitmap(TrimVolume *volume, uint32_t *problem) {
    *problem = kNtfsDamaged;
    // Some storage drivers need aligned buffers.
    alignas(16) uint8_t record[kMaxMftRecordSize];
    uint32_t used = 0;
    uint32_t at = 0;
    uint32_t index = 1;  // record 0 is $MFT, which opening the reader read
    NtfsReader *reader = &volume->context->reader;
    // Opening the reader checks that record 0 places $MFT where the boot
    // sector does and maps all of it.
    int opened = OpenVolumeReader(volume, reader);
    for (; opened; index++) {
        if (index >= kMaxRecordsWalked || !ReadNtfsRecord(reader, index, record, &used)) {
            opened = 0;
            break;
        }
        // Records without a readable $FILE_NAME (a big folder's attribute
        // list, a record not in use) are simply not $Bitmap.
        if (IsBitmapRecord(record, used, &at)) break;
    }
    if (!opened) {
        // The reader tells a refused read or a lack of memory from damage.
        if (reader->problem == kNtfsReadFailed || reader->problem == kNtfsNoMemory) *problem = reader->problem;
        return 0;
    }
    // $Bitmap has its fixed place; the name anywhere else is a damaged MFT.
    if (index != kMftRecordBitmap) return 0;
    volume->mftPosition += (int64_t)index * volume->mftRecordSize;

    // The bitmap's size comes from its $DATA attribute, which the file
    // system keeps current, and must cover every cluster of the volume.
    NonResidentAttribute data;
    uint64_t runClusters = 0, unused = 0;
    int64_t firstLcn = 0;
    int sparse = 0;
    if (!FindUnnamedData(record, used, &at, &data)) return 0;
    // Only a bitmap in one stored run: the run list must end after it.
    uint32_t pairs = data.pairsAt;
    if (!NextDataRun(record, &pairs, data.pairsEnd, &runClusters, &firstLcn, &sparse) || sparse || firstLcn <= 0 ||
        pairs >= data.pairsEnd || NextDataRun(record, &pairs, data.pairsEnd, &unused, &firstLcn, &sparse) ||
        record[pairs] != 0) {
        return 0;
    }
    const uint64_t firstCluster = (uint64_t)firstLcn;
    const uint64_t coveringBytes = CeilDiv((uint64_t)volume->totalClusters, 8);
    // Bytes past the initialized size read as zeros (free) to NTFS, whatever
    // the disk holds: every byte we scan must lie before it.
    if (data.lastVcn != runClusters - 1 || data.realSize < coveringBytes || data.initializedSize < coveringBytes ||
        data.allocatedSize > runClusters * volume->bytesPerCluster) {
        return 0;
    }
    // The whole run inside the volume, past its boot sector.
    if (firstCluster == 0 || firstCluster >= (uint64_t)volume->totalClusters ||
        runClusters > (uint64_t)volume->totalClusters - firstCluster) {
        return 0;
    }

    // Read whole clusters: raw reads of a device must be sector-sized.
    const uint64_t readSize = CeilDiv(coveringBytes, volume->bytesPerCluster) * volume->bytesPerCluster;
    if (readSize > runClusters * volume->bytesPerCluster || readSize > 0xFFFFFFFFu) return 0;
    volume->bitmap = (uint8_t *)BindingAllocate((uint32_t)readSize);
    if (volume->bitmap == 0) {
        *problem = kNtfsNoMemory;
        return 0;
    }
    int64_t position = volume->partitionOffset + (int64_t)(firstCluster * volume->bytesPerCluster);
    if (!BindingReadAt(volume->driveHandle, position, volume->bitmap, (uint32_t)readSize)) {
        *problem = kNtfsReadFailed;
        return 0;
    }
    volume->bitmapSize = (uint32_t)(volume->totalClusters / 8);

    // A bitmap that calls the volume's own metadata free is not this
    // volume's bitmap, whatever led us to it.
    const uint64_t cluster = volume->bytesPerCluster;
    const uint64_t bootClusters = CeilDiv(kNtfsBootSectorSize, cluster);
    const uint64_t mftClusters = CeilDiv((uint64_t)(index + 1) * volume->mftRecordSize, cluster);
    const uint64_t mirrorClusters = CeilDiv(kMirroredRecords * volume->mftRecordSize, cluster);
    return ClustersInUse(volume, 0, bootClusters) && ClustersInUse(volume, volume->mftCluster, mftClusters) &&
           ClustersInUse(volume, volume->mftMirrorCluster, mirrorClusters) &&
           ClustersInUse(volume, firstCluster, runClusters);
}

int CheckVolumeClaims(TrimVolume *volume, ClaimFinding *finding) {
    // The open mapped $MFT and checked record 0: what is left is the check.
    return CheckClusterClaims(&volume->context->reader, volume->bitmap, (uint64_t)volume->totalClusters, finding);
}
