// Finds the $Bitmap file record by walking MFT records from the first one
// and loads the volume bitmap from its single data run.
//
// Every walk is bounded: a record or attribute the walk cannot trust ends
// the locator with 0 (status 9), never a loop or a read past the 512 bytes.
#include "binding.h"
#include "bytes.h"
#include "ntfs_layout.h"
#include "trim_engine.h"

enum {
    // $Bitmap is record 6 on every NTFS volume; walking further than this
    // means the MFT is not what we think it is.
    kMaxRecordsWalked = 16,
    kMinRecordSize = 512,
    kMaxRecordSize = 65536,
    kMinAttributeLength = 16,
};

// Applies the update sequence to the first 512-byte stride of a record: the
// stride's last two bytes must hold the sequence number (else the record was
// torn in writing) and get back their saved value.
static int ApplyUpdateSequence(uint8_t *record) {
    uint32_t offset = LoadLe16(record + kRecordUpdateSequenceOffset);
    uint32_t count = LoadLe16(record + kRecordUpdateSequenceCount);
    if (count < 2 || offset < 8 || offset > kRecordReadSize - 4 || (offset & 1) != 0) return 0;
    uint8_t *tail = record + kRecordReadSize - 2;
    if (tail[0] != record[offset] || tail[1] != record[offset + 1]) return 0;
    tail[0] = record[offset + 2];
    tail[1] = record[offset + 3];
    return 1;
}

// Moves *position to the first attribute of type `wanted` (or of type 0,
// which ends the list). 1 when `wanted` was found with its header in range.
static int WalkToAttribute(const uint8_t *record, uint32_t *position, uint32_t wanted) {
    uint32_t at = *position;
    for (;;) {
        if (at > kRecordReadSize - 8) return 0;
        uint32_t type = LoadLe32(record + at + kAttributeType);
        if (type == kAttributeEnd) return 0;
        if (type == wanted) break;
        uint32_t length = LoadLe32(record + at + kAttributeLength);
        if (length < kMinAttributeLength || length > kRecordReadSize - at) return 0;
        at += length;
    }
    *position = at;
    return 1;
}

static int IsBitmapName(const uint8_t *fileName) {
    static const char kName[] = "$Bitmap";
    if (fileName[kFileNameLength] != 7) return 0;
    for (uint32_t i = 0; i < 7; i++) {
        if (LoadLe16(fileName + kFileNameText + 2 * i) != (uint16_t)kName[i]) return 0;
    }
    return 1;
}

// Reads the record at volume->mftPosition; on success `record` holds its
// first 512 bytes with the update sequence applied and *step its size.
static int ReadRecord(TrimVolume *volume, uint8_t *record, uint32_t *step) {
    int64_t volumeEnd = volume->partitionOffset + volume->totalSectors * volume->bytesPerSector;
    if (volume->mftPosition < volume->partitionOffset ||
        volume->mftPosition > volumeEnd - kRecordReadSize) {
        return 0;
    }
    if (!BindingReadAt(volume->driveHandle, volume->mftPosition, record, kRecordReadSize)) return 0;
    if (LoadLe32(record) != kRecordSignature) return 0;
    if (!ApplyUpdateSequence(record)) return 0;
    *step = LoadLe32(record + kRecordAllocatedSize);
    return *step >= kMinRecordSize && *step <= kMaxRecordSize && (*step & (*step - 1)) == 0;
}

int LocateVolumeBitmap(TrimVolume *volume) {
    alignas(16) uint8_t record[kRecordReadSize];  // some storage drivers need aligned buffers
    uint32_t at = 0;
    uint32_t step = 0;
    int found = 0;
    for (uint32_t walked = 0; walked < kMaxRecordsWalked && !found; walked++) {
        if (walked != 0) volume->mftPosition += step;
        if (!ReadRecord(volume, record, &step)) return 0;
        at = LoadLe16(record + kRecordFirstAttribute);
        if (!WalkToAttribute(record, &at, kAttributeFileName)) return 0;
        if (at > kRecordReadSize - (kFileNameText + 2 * 7)) return 0;
        found = IsBitmapName(record + at);
    }
    if (!found) return 0;

    const uint8_t *fileName = record + at;
    uint32_t realSize = LoadLe32(fileName + kFileNameRealSize);
    uint32_t bufferSize = LoadLe32(fileName + kFileNameAllocatedSize);
    if (bufferSize == 0) return 0;
    int64_t volumeClusters = volume->totalSectors / volume->sectorsPerCluster;

    // bitmapSize ends as totalClusters / 8 and never exceeds the buffer.
    if (realSize > bufferSize) realSize = bufferSize;
    if ((int64_t)realSize < volume->totalClusters / 8) {
        volume->totalClusters = 8 * (int64_t)realSize;
        volume->bitmapSize = realSize;
    } else {
        volume->bitmapSize = (uint32_t)(volume->totalClusters / 8);
    }

    if (!WalkToAttribute(record, &at, kAttributeData)) return 0;
    if (at > kRecordReadSize - (kAttributeMappingPairs + 2)) return 0;
    uint32_t pairs = at + LoadLe16(record + at + kAttributeMappingPairs);
    if (pairs >= kRecordReadSize) return 0;
    uint32_t lengthWidth = record[pairs] & 0x0F;
    uint32_t offsetWidth = record[pairs] >> 4;
    // A run without an offset is sparse; wider fields than 8 bytes do not exist.
    if (lengthWidth == 0 || lengthWidth > 8 || offsetWidth == 0 || offsetWidth > 8) return 0;
    uint32_t next = pairs + 1 + lengthWidth + offsetWidth;
    if (next >= kRecordReadSize) return 0;
    if (record[next] != 0) return 0;  // only a bitmap in one contiguous run
    uint64_t runClusters = LoadLeUnsigned(record + pairs + 1, lengthWidth);
    uint64_t firstCluster = LoadLeUnsigned(record + pairs + 1 + lengthWidth, offsetWidth);

    // The bitmap must lie inside the volume, and its run must hold every
    // byte we scan: anything else would be read as bitmap and trimmed by.
    uint64_t bufferClusters = (bufferSize + (uint64_t)volume->bytesPerCluster - 1) / volume->bytesPerCluster;
    if (firstCluster >= (uint64_t)volumeClusters ||
        bufferClusters > (uint64_t)volumeClusters - firstCluster) {
        return 0;
    }
    if (runClusters < ((uint64_t)volume->bitmapSize + volume->bytesPerCluster - 1) / volume->bytesPerCluster) {
        return 0;
    }

    volume->bitmap = (uint8_t *)BindingAllocate(bufferSize);
    if (volume->bitmap == 0) return 0;
    int64_t position = volume->partitionOffset + (int64_t)(firstCluster * volume->bytesPerCluster);
    return BindingReadAt(volume->driveHandle, position, volume->bitmap, bufferSize);
}
