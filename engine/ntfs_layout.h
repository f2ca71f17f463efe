// NTFS on-disk offsets the engine reads (all little-endian).
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

    // MFT file record header; only the first 512 bytes are read.
    kRecordReadSize = 512,
    kRecordSignature = 0x454C4946,  // "FILE"
    kRecordUpdateSequenceOffset = 0x04,  // 16-bit
    kRecordUpdateSequenceCount = 0x06,   // 16-bit, includes the sequence number
    kRecordFirstAttribute = 0x14,        // 16-bit
    kRecordAllocatedSize = 0x1C,         // 32-bit: distance to the next record

    // Attribute header.
    kAttributeType = 0,      // 32-bit
    kAttributeLength = 4,    // 32-bit
    kAttributeMappingPairs = 0x20,  // 16-bit, non-resident only
    kAttributeFileName = 0x30,
    kAttributeData = 0x80,
    kAttributeEnd = 0,

    // $FILE_NAME, from the attribute's start (value at 24).
    kFileNameAllocatedSize = 64,  // low 32 bits used
    kFileNameRealSize = 72,       // low 32 bits used
    kFileNameLength = 88,         // 8-bit, UTF-16 units
    kFileNameText = 90,
};

#endif
