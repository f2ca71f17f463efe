// Partition tables of a whole disk (image): GPT, and MBR with its logical
// partitions, numbered as Linux numbers them so that "partition 6" here is
// /dev/sda6 there. Every table is checked before a byte is read through it:
// CRC32s, bounds, overlaps, and a bounded walk of the extended chain.
#ifndef QUILLET_HOST_PARTITION_TABLE_H
#define QUILLET_HOST_PARTITION_TABLE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "disk_read.h"

// Why one partition cannot be trimmed.
enum PartitionCheck {
    kPartitionOk = 0,
    kPartitionNoMbr,       // the sector has no boot signature
    kPartitionEmpty,       // no type, no sectors or starting at sector 0
    kPartitionGpt,         // a protective 0xEE entry: the disk is GPT
    kPartitionExtended,    // a container of logical partitions, not a volume
    kPartitionPastEnd,     // ends beyond the disk (or, in a GPT, its usable area)
    kPartitionOverlaps,    // shares sectors with another entry
    kPartitionOutside,     // a logical partition outside its extended partition
};

// Checks primary entry `number` (1 to 4) of the MBR in `sector` on a disk
// of `diskBytes` and gives its byte offset and length when it is sound.
// Returns a PartitionCheck; *other gets the entry it overlaps.
int CheckMbrPartition(const uint8_t *sector, int number, int64_t diskBytes, int64_t *offset, int64_t *length,
                      int *other);

enum PartitionScheme {
    kSchemeNone = 0,  // no table: sector 0 holds a volume's boot sector, or nothing
    kSchemeMbr,
    kSchemeGpt,
};

struct DiskPartition {
    int number;      // GPT: entry index + 1; MBR: 1-4 primary, 5 up logical in chain order
    int64_t offset;  // bytes from the start of the disk
    int64_t length;
    int check;       // PartitionCheck
    int other;       // the partition it overlaps
    uint8_t mbrType;
    uint8_t gptType[16];  // as stored (mixed-endian GUID)
};

struct PartitionTable {
    int scheme;
    std::vector<DiskPartition> partitions;  // by number; empty slots left out
};

// Reads the table of a disk of `diskBytes` (512-byte sectors). 1 when it
// can be trusted (per-partition faults are in each entry's `check`); 0 with
// the reason when the table as a whole cannot: a protective MBR without a
// valid GPT, a GPT whose CRC32s, bounds or backup header disagree, a broken
// or unusual extended chain, or a failed read.
int ReadPartitionTable(DiskReadFunction read, void *context, int64_t diskBytes, PartitionTable *table,
                       std::string *reason);

// The partition numbered `number`, or 0.
const DiskPartition *FindPartition(const PartitionTable &table, int number);

// Why partition `number` (possibly missing: `partition` 0) is refused.
std::string DescribePartitionCheck(const PartitionTable &table, int number, const DiskPartition *partition);

// What the partition's type says it is: "EFI system", "Microsoft reserved",
// "Linux filesystem", "FAT32", ... or the raw type.
std::string PartitionTypeName(const PartitionTable &table, const DiskPartition &partition);

// 1 when `sector` (512 bytes) is an NTFS boot sector by its OEM name.
int IsNtfsBootSector(const uint8_t *sector);

// The CRC32 GPT uses (that of zlib and Ethernet).
uint32_t Crc32(const uint8_t *bytes, uint32_t size);

#endif
