// NTFS on-disk offsets the engine and the offline checks read (all
// little-endian).
#ifndef QUILLET_ENGINE_NTFS_LAYOUT_H
#define QUILLET_ENGINE_NTFS_LAYOUT_H

enum {
    kNtfsBootSectorSize = 512,
    kNtfsOemId = 0x5346544E,  // "NTFS"

    // Boot sector.
    kBootOemId = 3,
    kBootBytesPerSector = 0x0B,   // 16-bit
    kBootSectorsPerCluster = 0x0D,  // 8-bit
    kBootTotalSectors = 0x28,     // 64-bit
    kBootMftCluster = 0x30,       // 64-bit
    kBootMftMirrorCluster = 0x38, // 64-bit
    kBootClustersPerRecord = 0x40,  // 8-bit, negative: 2^-n bytes

    // MFT file record header.
    kRecordSignature = 0x454C4946,  // "FILE"
    kRecordUpdateSequenceOffset = 0x04,  // 16-bit
    kRecordUpdateSequenceCount = 0x06,   // 16-bit, includes the sequence number
    kRecordSequence = 0x10,              // 16-bit: the record's reuse count
    kRecordFirstAttribute = 0x14,        // 16-bit
    kRecordFlags = 0x16,                 // 16-bit
    kRecordInUse = 0x0001,
    kRecordUsedSize = 0x18,              // 32-bit: bytes in use
    kRecordAllocatedSize = 0x1C,         // 32-bit: the record's size
    kRecordBaseReference = 0x20,         // 64-bit: 0 in a base record

    // Metafile record numbers.
    kMftRecordMft = 0,
    kMftRecordLogFile = 2,
    kMftRecordVolume = 3,
    kMftRecordRoot = 5,
    kMftRecordBitmap = 6,

    // Attribute header.
    kAttributeType = 0,      // 32-bit
    kAttributeLength = 4,    // 32-bit
    kAttributeNonResident = 0x08,  // 8-bit
    kAttributeNameLength = 0x09,   // 8-bit, UTF-16 units
    kAttributeNameOffset = 0x0A,   // 16-bit
    kAttributeValueLength = 0x10,  // 32-bit, resident only
    kAttributeValueOffset = 0x14,  // 16-bit, resident only
    kAttributeFirstVcn = 0x10,     // 64-bit, non-resident only
    kAttributeLastVcn = 0x18,      // 64-bit
    kAttributeMappingPairs = 0x20,  // 16-bit
    kAttributeAllocatedSize = 0x28,  // 64-bit
    kAttributeRealSize = 0x30,       // 64-bit
    kAttributeInitializedSize = 0x38,  // 64-bit
    kAttributeList = 0x20,
    kAttributeFileName = 0x30,
    kAttributeVolumeInformation = 0x70,
    kAttributeData = 0x80,
    kAttributeIndexRoot = 0x90,
    kAttributeIndexAllocation = 0xA0,
    kAttributeBitmap = 0xB0,
    kAttributeEnd = 0,  // 0xFFFFFFFF ends a record's list too

    // $FILE_NAME value.
    kFileNameParent = 0x00,       // 64-bit file reference
    kFileNameLength = 0x40,       // 8-bit, UTF-16 units
    kFileNameText = 0x42,
};

// A file reference: the record number in its low 48 bits, a sequence
// number above them.
const uint64_t kFileReferenceMask = 0xFFFFFFFFFFFFull;

#endif
