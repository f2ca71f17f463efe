#include "partition_table.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "bytes.h"
#include "ntfs_layout.h"

namespace {

enum {
    kSectorBytes = 512,
    kMbrFirstEntry = 446,
    kMbrEntrySize = 16,
    kMbrEntryCount = 4,
    kFirstLogical = 5,
    // Linux stops at its partition limit too; a chain longer than this is
    // a loop or damage, not a disk someone made.
    kMaxLogicalPartitions = 128,

    // GPT header fields.
    kGptRevision = 8,
    kGptHeaderSize = 12,
    kGptHeaderCrc = 16,
    kGptMyLba = 24,
    kGptAlternateLba = 32,
    kGptFirstUsable = 40,
    kGptLastUsable = 48,
    kGptDiskGuid = 56,
    kGptEntriesLba = 72,
    kGptEntryCount = 80,
    kGptEntrySize = 84,
    kGptEntriesCrc = 88,
    kGptMinHeaderSize = 92,
    kGptMaxEntriesBytes = 1 << 20,
    // Entry fields.
    kGptEntryFirst = 32,
    kGptEntryLast = 40,
};

const uint8_t kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};

struct MbrEntry {
    uint8_t type;
    uint32_t firstSector;
    uint32_t sectorCount;
};

MbrEntry ReadMbrEntry(const uint8_t *sector, int number) {
    const uint8_t *entry = sector + kMbrFirstEntry + kMbrEntrySize * (number - 1);
    MbrEntry result = {entry[4], LoadLe32(entry + 8), LoadLe32(entry + 12)};
    return result;
}

int IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

int HasBootSignature(const uint8_t *sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

// A file system's own boot sector at sector 0 (NTFS, exFAT, FAT12/16/32):
// a bare volume, whose boot code is no partition table.
int IsVolumeBootSector(const uint8_t *sector) {
    return memcmp(sector + 3, "NTFS    ", 8) == 0 || memcmp(sector + 3, "EXFAT   ", 8) == 0 ||
           memcmp(sector + 54, "FAT1", 4) == 0 || memcmp(sector + 82, "FAT32   ", 8) == 0;
}

int IsEmptyGuid(const uint8_t *guid) {
    for (int i = 0; i < 16; i++) {
        if (guid[i] != 0) return 0;
    }
    return 1;
}

std::string Text(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Text(const char *format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

// Marks every pair of volumes in `partitions` that share sectors. Extended
// containers count against primaries only: their logicals lie inside them.
void MarkOverlaps(std::vector<DiskPartition> *partitions) {
    std::vector<DiskPartition> &all = *partitions;
    for (size_t i = 0; i < all.size(); i++) {
        for (size_t j = 0; j < all.size(); j++) {
            DiskPartition &a = all[i];
            const DiskPartition &b = all[j];
            if (i == j || a.length == 0 || b.length == 0) continue;
            int aContainer = a.check == kPartitionExtended, bContainer = b.check == kPartitionExtended;
            if ((aContainer && b.number >= kFirstLogical) || (bContainer && a.number >= kFirstLogical)) continue;
            if (b.offset < a.offset + a.length && a.offset < b.offset + b.length &&
                (a.check == kPartitionOk || a.check == kPartitionExtended)) {
                a.check = kPartitionOverlaps;
                a.other = b.number;
            }
        }
    }
}

// Follows the chain of extended boot records from the container at
// `first` sectors: each holds one logical partition (its start relative to
// the record) and a link to the next record (relative to the container).
int ReadLogicalPartitions(DiskReadFunction read, void *context, int64_t diskBytes, const DiskPartition &container,
                          std::vector<DiskPartition> *partitions, std::string *reason) {
    const uint64_t first = (uint64_t)container.offset / kSectorBytes;
    const uint64_t end = first + (uint64_t)container.length / kSectorBytes;
    uint64_t link = first;
    int number = kFirstLogical;
    for (int links = 0;; links++) {
        if (links == kMaxLogicalPartitions) {
            *reason = Text("the chain of logical partitions is longer than %d links", kMaxLogicalPartitions);
            return 0;
        }
        uint8_t sector[kSectorBytes];
        if (!read(context, (int64_t)(link * kSectorBytes), sector, sizeof sector)) {
            *reason = Text("the extended boot record at sector %llu cannot be read", (unsigned long long)link);
            return 0;
        }
        // A fresh extended partition has no record yet; a link to a record
        // without its signature is damage.
        if (!HasBootSignature(sector)) {
            if (links == 0) return 1;
            *reason = Text("the extended boot record at sector %llu has no boot signature", (unsigned long long)link);
            return 0;
        }
        MbrEntry data = ReadMbrEntry(sector, 1), next = ReadMbrEntry(sector, 2);
        MbrEntry third = ReadMbrEntry(sector, 3), fourth = ReadMbrEntry(sector, 4);
        // Only the layout every partitioner writes: Linux would number other
        // layouts in ways a user cannot predict.
        if (IsExtendedType(data.type) || (next.sectorCount != 0 && !IsExtendedType(next.type)) ||
            third.sectorCount != 0 || fourth.sectorCount != 0) {
            *reason = Text("the extended boot record at sector %llu is not of the usual layout (one logical "
                           "partition and one link)",
                           (unsigned long long)link);
            return 0;
        }
        if (data.sectorCount != 0) {
            DiskPartition logical = {};
            logical.number = number++;
            logical.mbrType = data.type;
            uint64_t start = link + data.firstSector;
            uint64_t stop = start + data.sectorCount;
            logical.offset = (int64_t)(start * kSectorBytes);
            logical.length = (int64_t)data.sectorCount * kSectorBytes;
            if (data.type == 0 || data.firstSector == 0) {
                logical.check = kPartitionEmpty;
            } else if (stop * kSectorBytes > (uint64_t)diskBytes) {
                logical.check = kPartitionPastEnd;
            } else if (start < first || stop > end) {
                logical.check = kPartitionOutside;
            }
            partitions->push_back(logical);
        }
        if (next.sectorCount == 0) return 1;
        uint64_t following = first + next.firstSector;
        // Links only go forward, within the container.
        if (following <= link || following >= end) {
            *reason = Text("the extended boot record at sector %llu links to sector %llu, outside the chain's order "
                           "or its extended partition",
                           (unsigned long long)link, (unsigned long long)following);
            return 0;
        }
        link = following;
    }
}

int ReadMbr(DiskReadFunction read, void *context, int64_t diskBytes, const uint8_t *sector, PartitionTable *table,
            std::string *reason) {
    table->scheme = kSchemeMbr;
    const DiskPartition *container = 0;
    for (int number = 1; number <= kMbrEntryCount; number++) {
        MbrEntry entry = ReadMbrEntry(sector, number);
        if (entry.type == 0 && entry.sectorCount == 0) continue;
        DiskPartition partition = {};
        partition.number = number;
        partition.mbrType = entry.type;
        partition.offset = (int64_t)entry.firstSector * kSectorBytes;
        partition.length = (int64_t)entry.sectorCount * kSectorBytes;
        int64_t offset = 0, length = 0;
        partition.check = CheckMbrPartition(sector, number, diskBytes, &offset, &length, &partition.other);
        if (partition.check == kPartitionEmpty) partition.length = 0;
        table->partitions.push_back(partition);
    }
    for (const DiskPartition &partition : table->partitions) {
        if (partition.check != kPartitionExtended) continue;
        if (container != 0) {
            *reason = "the MBR holds more than one extended partition";
            return 0;
        }
        container = &partition;
    }
    if (container == 0) return 1;
    // Its logical partitions are only as sound as the container around them.
    DiskPartition extended = *container;
    if ((uint64_t)extended.offset + (uint64_t)extended.length > (uint64_t)diskBytes) {
        *reason = Text("the extended partition (MBR partition %d) ends past the end of the disk", extended.number);
        return 0;
    }
    for (const DiskPartition &partition : table->partitions) {
        if (partition.number != extended.number && partition.length != 0 &&
            partition.offset < extended.offset + extended.length && extended.offset < partition.offset + partition.length) {
            *reason = Text("the extended partition (MBR partition %d) overlaps partition %d", extended.number,
                           partition.number);
            return 0;
        }
    }
    if (!ReadLogicalPartitions(read, context, diskBytes, extended, &table->partitions, reason)) return 0;
    MarkOverlaps(&table->partitions);
    return 1;
}

// Reads and checks the GPT header at `lba`; 0 with the reason.
int ReadGptHeader(DiskReadFunction read, void *context, uint64_t lba, uint8_t *header, std::string *reason) {
    if (!read(context, (int64_t)(lba * kSectorBytes), header, kSectorBytes)) {
        *reason = Text("the GPT header at sector %llu cannot be read", (unsigned long long)lba);
        return 0;
    }
    if (memcmp(header, kGptSignature, sizeof kGptSignature) != 0) {
        *reason = Text("there is no GPT header at sector %llu", (unsigned long long)lba);
        return 0;
    }
    uint32_t size = LoadLe32(header + kGptHeaderSize);
    if (size < kGptMinHeaderSize || size > kSectorBytes) {
        *reason = Text("the GPT header at sector %llu has an impossible size", (unsigned long long)lba);
        return 0;
    }
    uint8_t copy[kSectorBytes];
    memcpy(copy, header, size);
    memset(copy + kGptHeaderCrc, 0, 4);
    if (Crc32(copy, size) != LoadLe32(header + kGptHeaderCrc)) {
        *reason = Text("the GPT header at sector %llu fails its CRC32 check", (unsigned long long)lba);
        return 0;
    }
    if (LoadLe64(header + kGptMyLba) != lba) {
        *reason = Text("the GPT header at sector %llu names another sector as its own", (unsigned long long)lba);
        return 0;
    }
    return 1;
}

int ReadGpt(DiskReadFunction read, void *context, int64_t diskBytes, PartitionTable *table, std::string *reason) {
    table->scheme = kSchemeGpt;
    const uint64_t diskSectors = (uint64_t)diskBytes / kSectorBytes;
    uint8_t header[kSectorBytes];
    if (diskSectors < 3 || !ReadGptHeader(read, context, 1, header, reason)) {
        if (diskSectors < 3) *reason = "the disk is too small to hold a GPT";
        return 0;
    }
    uint64_t firstUsable = LoadLe64(header + kGptFirstUsable), lastUsable = LoadLe64(header + kGptLastUsable);
    uint64_t entriesLba = LoadLe64(header + kGptEntriesLba);
    uint32_t count = LoadLe32(header + kGptEntryCount), entrySize = LoadLe32(header + kGptEntrySize);
    if (firstUsable > lastUsable || lastUsable >= diskSectors) {
        *reason = "the GPT's usable area lies outside the disk";
        return 0;
    }
    if (entrySize < 128 || (entrySize & (entrySize - 1)) != 0 || (uint64_t)count * entrySize > kGptMaxEntriesBytes) {
        *reason = "the GPT's partition entry array has an impossible size";
        return 0;
    }
    uint32_t entriesBytes = count * entrySize;
    uint64_t entriesSectors = ((uint64_t)entriesBytes + kSectorBytes - 1) / kSectorBytes;
    if (entriesLba < 2 || entriesLba + entriesSectors > firstUsable) {
        *reason = "the GPT's partition entry array overlaps the header or the usable area";
        return 0;
    }
    std::vector<uint8_t> entries(entriesBytes + 1);
    if (!read(context, (int64_t)(entriesLba * kSectorBytes), entries.data(), entriesBytes)) {
        *reason = "the GPT's partition entry array cannot be read";
        return 0;
    }
    if (Crc32(entries.data(), entriesBytes) != LoadLe32(header + kGptEntriesCrc)) {
        *reason = "the GPT's partition entry array fails its CRC32 check";
        return 0;
    }
    // The backup header, where the primary says it is, must agree when it
    // is there at all (a disk grown after partitioning has none there).
    uint64_t alternate = LoadLe64(header + kGptAlternateLba);
    uint8_t backup[kSectorBytes];
    std::string backupReason;
    if (alternate != 1 && alternate < diskSectors && read(context, (int64_t)(alternate * kSectorBytes), backup, sizeof backup) &&
        memcmp(backup, kGptSignature, sizeof kGptSignature) == 0) {
        if (!ReadGptHeader(read, context, alternate, backup, &backupReason)) {
            *reason = "the backup GPT header is damaged: " + backupReason;
            return 0;
        }
        if (LoadLe64(backup + kGptAlternateLba) != 1 || LoadLe64(backup + kGptFirstUsable) != firstUsable ||
            LoadLe64(backup + kGptLastUsable) != lastUsable || memcmp(backup + kGptDiskGuid, header + kGptDiskGuid, 16) != 0 ||
            LoadLe32(backup + kGptEntryCount) != count || LoadLe32(backup + kGptEntrySize) != entrySize ||
            LoadLe32(backup + kGptEntriesCrc) != LoadLe32(header + kGptEntriesCrc)) {
            *reason = "the backup GPT header disagrees with the primary one";
            return 0;
        }
    }
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *entry = entries.data() + (size_t)i * entrySize;
        if (IsEmptyGuid(entry)) continue;
        DiskPartition partition = {};
        partition.number = (int)i + 1;
        memcpy(partition.gptType, entry, 16);
        uint64_t first = LoadLe64(entry + kGptEntryFirst), last = LoadLe64(entry + kGptEntryLast);
        if (last < first) {
            partition.check = kPartitionEmpty;
        } else if (first < firstUsable || last > lastUsable) {
            partition.check = kPartitionPastEnd;
        } else {
            partition.offset = (int64_t)(first * kSectorBytes);
            partition.length = (int64_t)((last - first + 1) * kSectorBytes);
        }
        table->partitions.push_back(partition);
    }
    MarkOverlaps(&table->partitions);
    return 1;
}

struct GptTypeName {
    const char *guid;  // as written, not as stored
    const char *name;
};

const GptTypeName kGptTypeNames[] = {
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI system"},
    {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
    {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basic data"},
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
    {"5808C8AA-7E8F-42E0-85D2-E1E90434CFB3", "Windows dynamic disk metadata"},
    {"AF9B60A0-1431-4F62-BC68-3311714A69AD", "Windows dynamic disk data"},
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
    {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
    {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
    {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
    {"E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D", "Microsoft Storage Spaces"},
    // Other systems' partitions, named as util-linux names them.
    {"44479540-F297-41B2-9AF7-D131D5F0458A", "Linux root (x86)"},
    {"4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709", "Linux root (x86-64)"},
    {"B921B045-1DF0-41C3-AF44-4C6F280D3FAE", "Linux root (ARM-64)"},
    {"8484680C-9521-48C6-9C11-B0720656F69E", "Linux /usr (x86-64)"},
    {"933AC7E1-2EB4-4F13-B844-0E14E2AEF915", "Linux home"},
    {"3B8F8425-20E0-4F3B-907F-1A25A76F98E8", "Linux server data"},
    {"4D21B016-B534-45C2-A9FB-5C16E091FD2D", "Linux variable data"},
    {"7EC6F557-3BC5-4ACA-B293-16EF5DF639D1", "Linux temporary data"},
    {"BC13C2FF-59E6-4262-A352-B275FD6F7172", "Linux extended boot"},
    {"A19D880F-05FC-4D3B-A006-743F0F84911E", "Linux RAID"},
    {"8DA63339-0007-60C0-C436-083AC8230908", "Linux reserved"},
    {"48465300-0000-11AA-AA11-00306543ECAC", "Apple HFS/HFS+"},
    {"7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple APFS"},
    {"516E7CB6-6ECF-11D6-8FF8-00022D09712B", "FreeBSD UFS"},
    {"516E7CBA-6ECF-11D6-8FF8-00022D09712B", "FreeBSD ZFS"},
    {"6A898CC3-1DD2-11B2-99A6-080020736631", "Solaris /usr & Apple ZFS"},
    {"AA31E02A-400F-11DB-9590-000C2911D1B8", "VMware VMFS"},
};

// The GUID as written: the first three groups are stored little-endian.
std::string GuidText(const uint8_t *guid) {
    char text[40];
    snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", LoadLe32(guid),
             LoadLe16(guid + 4), LoadLe16(guid + 6), guid[8], guid[9], guid[10], guid[11], guid[12], guid[13],
             guid[14], guid[15]);
    return text;
}

const char *MbrTypeName(uint8_t type) {
    switch (type) {
    case 0x01: return "FAT12";
    case 0x04: case 0x06: case 0x0E: return "FAT16";
    case 0x0B: case 0x0C: return "FAT32";
    case 0x07: return "NTFS or exFAT";
    case 0x27: return "Windows recovery";
    case 0x42: return "Windows dynamic disk";
    case 0x05: case 0x0F: case 0x85: return "extended";
    case 0x82: return "Linux swap";
    case 0x83: return "Linux";
    case 0x8E: return "Linux LVM";
    case 0xEF: return "EFI system";
    case 0xFD: return "Linux RAID";
    case 0xA5: return "FreeBSD";
    case 0xAF: return "Apple HFS/HFS+";
    default: return 0;
    }
}

const char *SchemeName(int scheme) { return scheme == kSchemeGpt ? "GPT" : "MBR"; }

}  // namespace

uint32_t Crc32(const uint8_t *bytes, uint32_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < size; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

int IsNtfsBootSector(const uint8_t *sector) { return memcmp(sector + kBootOemId, "NTFS    ", 8) == 0; }

int CheckMbrPartition(const uint8_t *sector, int number, int64_t diskBytes, int64_t *offset, int64_t *length,
                      int *other) {
    if (number < 1 || number > kMbrEntryCount || !HasBootSignature(sector)) return kPartitionNoMbr;
    for (int i = 1; i <= kMbrEntryCount; i++) {
        if (ReadMbrEntry(sector, i).type == 0xEE) return kPartitionGpt;
    }
    MbrEntry entry = ReadMbrEntry(sector, number);
    if (entry.type == 0 || entry.sectorCount == 0 || entry.firstSector == 0) return kPartitionEmpty;
    if (IsExtendedType(entry.type)) return kPartitionExtended;
    uint64_t end = (uint64_t)entry.firstSector + entry.sectorCount;
    if (diskBytes < 0 || end * kSectorBytes > (uint64_t)diskBytes) return kPartitionPastEnd;
    for (int i = 1; i <= kMbrEntryCount; i++) {
        MbrEntry next = ReadMbrEntry(sector, i);
        if (i == number || next.type == 0 || next.sectorCount == 0) continue;
        uint64_t nextEnd = (uint64_t)next.firstSector + next.sectorCount;
        if (next.firstSector < end && entry.firstSector < nextEnd) {
            *other = i;
            return kPartitionOverlaps;
        }
    }
    *offset = (int64_t)entry.firstSector * kSectorBytes;
    *length = (int64_t)entry.sectorCount * kSectorBytes;
    return kPartitionOk;
}

int ReadPartitionTable(DiskReadFunction read, void *context, int64_t diskBytes, PartitionTable *table,
                       std::string *reason) {
    table->scheme = kSchemeNone;
    table->partitions.clear();
    uint8_t sector[kSectorBytes];
    if (diskBytes < kSectorBytes) return 1;
    if (!read(context, 0, sector, sizeof sector)) {
        *reason = "the first sector of the disk cannot be read";
        return 0;
    }
    // A bare volume's boot sector carries the boot signature too.
    if (!HasBootSignature(sector) || IsVolumeBootSector(sector)) return 1;
    for (int number = 1; number <= kMbrEntryCount; number++) {
        if (ReadMbrEntry(sector, number).type != 0xEE) continue;
        if (ReadGpt(read, context, diskBytes, table, reason)) return 1;
        *reason = "the MBR is a protective one for a GPT, but " + *reason;
        table->partitions.clear();
        return 0;
    }
    if (ReadMbr(read, context, diskBytes, sector, table, reason)) return 1;
    table->partitions.clear();
    return 0;
}

const DiskPartition *FindPartition(const PartitionTable &table, int number) {
    for (const DiskPartition &partition : table.partitions) {
        if (partition.number == number) return &partition;
    }
    return 0;
}

std::string DescribePartitionCheck(const PartitionTable &table, int number, const DiskPartition *partition) {
    const char *scheme = SchemeName(table.scheme);
    if (table.scheme == kSchemeNone) return Text("no partition %d: the disk has no partition table", number);
    switch (partition == 0 ? kPartitionEmpty : partition->check) {
    case kPartitionExtended:
        return Text("MBR partition %d is an extended partition, not a volume", number);
    case kPartitionPastEnd:
        return table.scheme == kSchemeGpt ? Text("GPT partition %d lies outside the disk's usable area", number)
                                          : Text("MBR partition %d ends past the end of the disk", number);
    case kPartitionOverlaps:
        return Text("%s partition %d overlaps partition %d", scheme, number, partition->other);
    case kPartitionOutside:
        return Text("MBR partition %d lies outside its extended partition", number);
    default:
        return Text("no %s partition %d", scheme, number);
    }
}

std::string PartitionTypeName(const PartitionTable &table, const DiskPartition &partition) {
    if (table.scheme == kSchemeGpt) {
        std::string guid = GuidText(partition.gptType);
        for (const GptTypeName &known : kGptTypeNames) {
            if (guid == known.guid) return known.name;
        }
        return "type " + guid;
    }
    const char *name = MbrTypeName(partition.mbrType);
    return name != 0 ? name : Text("type 0x%02X", partition.mbrType);
}
