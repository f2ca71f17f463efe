// What a FAT12/16/32 volume keeps on the disk, read for its free space: the
// boot sector's parameters, every copy of the FAT, and the directory tree
// the FAT must agree with. A guest writes every byte of it: each field is
// checked before it is used, and every walk is bounded by the cluster count.
// Built for the Linux tools alone (an EFI system partition in an image);
// like the rest of the engine it knows no platform header.
#ifndef QUILLET_ENGINE_FAT_VOLUME_H
#define QUILLET_ENGINE_FAT_VOLUME_H

#include <stdint.h>

#include "trim_engine.h"

// The first boot sector field that makes a FAT volume unusable.
enum FatBootFault {
    kFatBootSound = 0,
    kFatBootSignature,          // no jump at byte 0 or no 0x55 0xAA at byte 510
    kFatBootBytesPerSector,     // 0x0B: not a power of two from 512 to 4096
    kFatBootSectorsPerCluster,  // 0x0D: not a power of two from 1 to 128
    kFatBootReservedSectors,    // 0x0E: 0
    kFatBootFatCount,           // 0x10: not 1 or 2
    kFatBootRootEntries,        // 0x11: 0 on FAT12/16, not 0 on FAT32
    kFatBootTotalSectors,       // 0x13 / 0x20: none, or both set and different
    kFatBootMedia,              // 0x15: not 0xF0 or 0xF8 to 0xFF
    kFatBootFatSize,            // 0x16 / 0x24: 0, past 1 GiB, or too small for the clusters
    kFatBootNoClusters,         // reserved sectors, FATs and root folder leave no cluster
    kFatBootTypeMismatch,       // the cluster count makes another FAT type than the layout
    kFatBootFat32Fields,        // 0x28 FAT mirroring off, or 0x2A version not 0
    kFatBootRootCluster,        // 0x2C: outside the clusters
    kFatBootPastPartition,      // the volume reaches past its partition
};

struct FatGeometry {
    uint32_t bytesPerSector;
    uint32_t sectorsPerCluster;
    uint32_t bytesPerCluster;
    uint32_t reservedSectors;
    uint32_t fatCount;
    uint32_t rootEntries;    // FAT12/16
    uint64_t fatSectors;     // of one copy
    uint64_t totalSectors;
    uint32_t clusterCount;   // data clusters, numbered 2 to clusterCount + 1
    uint32_t fatBits;        // 12, 16 or 32, from the cluster count alone
    uint32_t rootCluster;    // FAT32
    uint8_t media;
    uint64_t fatBytes;       // of one copy; the first starts after the reserved sectors
    uint64_t rootOffset;     // FAT12/16: the root folder's bytes, from the volume's start
    uint64_t rootBytes;
    uint64_t dataOffset;     // cluster 2, from the volume's start
};

// A boot sector that names itself FAT ("FAT" at 0x36, or "FAT32   " at
// 0x52) and carries the boot signature; no NTFS or exFAT one. Whether its
// fields hold is DecodeFatBootSector's to say.
int IsFatBootSector(const uint8_t *sector);

// Decodes and checks the 512 bytes of `sector`, the volume's first, for a
// partition of `partitionBytes`. Returns a FatBootFault; *geometry is
// filled on kFatBootSound, and on kFatBootTypeMismatch holds the cluster
// count and the type it makes.
int DecodeFatBootSector(const uint8_t *sector, uint64_t partitionBytes, FatGeometry *geometry);

// What the FAT open found; anything but kFatSound means nothing is trimmed.
enum FatProblem {
    kFatSound = 0,
    kFatReadFailed,       // the disk refused a read
    kFatNoMemory,
    kFatBootUnsound,      // `fault` says which field (a type mismatch: `cluster` clusters make FAT`value`)
    kFatCopiesDiffer,     // copy `copy` (1-based) differs from the first at `byte` of the FAT
    kFatMediaMismatch,    // FAT[0] (`value`) does not carry the boot sector's media byte
    kFatDirty,            // `value`: 1 FAT[1]'s clean bit cleared, 2 the boot sector's dirty flag, 3 FAT[1]'s I/O error bit
    kFatEntryOutOfRange,  // cluster `cluster`'s entry `value` names no cluster
    kFatRootFree,         // FAT32's root folder cluster is free in the FAT
    kFatChainThroughFree, // `name`'s chain reaches `cluster`, which the FAT calls free
    kFatChainLoop,        // `name`'s chain comes back to `cluster`
    kFatClusterShared,    // `cluster` of `name`'s chain is in another chain too
    kFatChainBad,         // `name`'s chain runs into `cluster`, marked bad
    kFatEntryCluster,     // `name`'s first cluster `value` lies outside the clusters
    kFatTooDeep,          // folders nested deeper than kFatMaxDepth
};

enum { kFatMaxDepth = 128 };  // a 260-character path holds no deeper nesting

struct FatFinding {
    uint32_t problem;  // a FatProblem
    uint32_t fault;    // a FatBootFault, for kFatBootUnsound
    uint32_t fatBits;  // 0 until the boot sector was decoded
    uint32_t copy;
    uint64_t byte;
    uint32_t cluster;
    uint32_t value;
    char name[13];     // the 8.3 name of the entry whose chain is at fault ("" for the root folder)
};

// Opens the FAT volume at byte `offset` of the opened `drive`, in its
// partition of `length` bytes: IDENTIFY, the boot sector, every FAT copy
// (which must agree byte for byte), FAT[0] and FAT[1], every entry, and the
// directory tree walked from the root (each chain through clusters the FAT
// calls used, none shared, no loop). On kOpenOk *result holds the volume's
// bitmap, one bit per data cluster from cluster 2 (set: used), with
// partitionOffset at cluster 2 and fatBits set, for TrimFreeSpaceWith. A
// failed open closes `drive`; *finding says why (kFatSound when the status
// alone does: no memory for the record).
int OpenFatTrimVolumeOnDrive(DeviceHandle drive, int64_t offset, int64_t length, TrimVolume **result,
                             FatFinding *finding);

#endif
