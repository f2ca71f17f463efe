// The FAT boot sector's checks: the FAT type from the cluster count alone,
// at its boundaries, and each field that must refuse the volume. The FAT
// open on real volumes is quillet-image's test (mkfs.fat, mtools, fsck.fat).
#include <gtest/gtest.h>

#include <functional>

#include "bytes.h"
#include "fat_volume.h"

namespace {

// A boot sector of `bits` layout holding exactly `clusters` clusters of
// 4 sectors of 512 bytes: 4 reserved sectors, two FATs just large enough,
// 512 root entries on FAT12/16, the root folder at cluster 2 on FAT32.
std::vector<uint8_t> BootSector(uint32_t bits, uint64_t clusters) {
    std::vector<uint8_t> sector(512, 0);
    sector[0] = 0xEB;
    sector[2] = 0x90;
    StoreLe16(&sector[0x0B], 512);
    sector[0x0D] = 4;
    StoreLe16(&sector[0x0E], 4);
    sector[0x10] = 2;
    sector[0x15] = 0xF8;
    const uint64_t fatSectors = ((clusters + 2) * bits / 8 + 511) / 512 + 1;
    const uint64_t rootSectors = bits == 32 ? 0 : 512 * 32 / 512;
    const uint64_t total = 4 + 2 * fatSectors + rootSectors + clusters * 4;
    if (bits == 32) {
        StoreLe32(&sector[0x24], (uint32_t)fatSectors);
        StoreLe32(&sector[0x2C], 2);
        memcpy(&sector[0x52], "FAT32   ", 8);
    } else {
        StoreLe16(&sector[0x11], 512);
        StoreLe16(&sector[0x16], (uint16_t)fatSectors);
        memcpy(&sector[0x36], bits == 12 ? "FAT12   " : "FAT16   ", 8);
    }
    if (total < 0x10000 && bits != 32) {
        StoreLe16(&sector[0x13], (uint16_t)total);
    } else {
        StoreLe32(&sector[0x20], (uint32_t)total);
    }
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return sector;
}

uint64_t TotalBytes(const std::vector<uint8_t> &sector) {
    const uint32_t small = LoadLe16(&sector[0x13]);
    return (uint64_t)(small != 0 ? small : LoadLe32(&sector[0x20])) * 512;
}

}  // namespace

TEST(FatBootSector, TypeFromTheClusterCountAndEachUnsoundField) {
    using Spoil = std::function<void(std::vector<uint8_t> &)>;
    const Spoil none = [](std::vector<uint8_t> &) {};
    const struct {
        const char *name;
        uint32_t layout;
        uint64_t clusters;
        Spoil spoil;
        int fault;
        uint32_t bits;  // when sound
    } rows[] = {
        {"FAT12 at its largest", 12, 4084, none, kFatBootSound, 12},
        {"FAT16 at its smallest", 16, 4085, none, kFatBootSound, 16},
        {"FAT16 at its largest", 16, 65524, none, kFatBootSound, 16},
        {"FAT32 at its smallest", 32, 65525, none, kFatBootSound, 32},
        // FAT12 and FAT16 share a layout: the count alone tells them apart.
        {"FAT16 layout, FAT32's count", 16, 65525, none, kFatBootTypeMismatch, 0},
        {"FAT32 layout, FAT16's count", 32, 65524, none, kFatBootTypeMismatch, 0},
        {"no jump", 16, 5000, [](std::vector<uint8_t> &s) { s[0] = 0; }, kFatBootSignature, 0},
        {"no boot signature", 16, 5000, [](std::vector<uint8_t> &s) { s[511] = 0; }, kFatBootSignature, 0},
        {"256-byte sectors", 16, 5000, [](std::vector<uint8_t> &s) { StoreLe16(&s[0x0B], 256); }, kFatBootBytesPerSector, 0},
        {"8 KiB sectors", 16, 5000, [](std::vector<uint8_t> &s) { StoreLe16(&s[0x0B], 8192); }, kFatBootBytesPerSector, 0},
        {"3 sectors per cluster", 16, 5000, [](std::vector<uint8_t> &s) { s[0x0D] = 3; }, kFatBootSectorsPerCluster, 0},
        {"no sectors per cluster", 16, 5000, [](std::vector<uint8_t> &s) { s[0x0D] = 0; }, kFatBootSectorsPerCluster, 0},
        {"no reserved sector", 16, 5000, [](std::vector<uint8_t> &s) { StoreLe16(&s[0x0E], 0); }, kFatBootReservedSectors, 0},
        {"no FAT", 16, 5000, [](std::vector<uint8_t> &s) { s[0x10] = 0; }, kFatBootFatCount, 0},
        {"no root entries on FAT16", 16, 5000, [](std::vector<uint8_t> &s) { StoreLe16(&s[0x11], 0); }, kFatBootRootEntries, 0},
        {"root entries on FAT32", 32, 70000, [](std::vector<uint8_t> &s) { StoreLe16(&s[0x11], 16); }, kFatBootRootEntries, 0},
        {"no total sectors", 16, 5000, [](std::vector<uint8_t> &s) { StoreLe16(&s[0x13], 0); StoreLe32(&s[0x20], 0); },
         kFatBootTotalSectors, 0},
        {"both totals, different", 16, 5000, [](std::vector<uint8_t> &s) { StoreLe32(&s[0x20], 1); }, kFatBootTotalSectors, 0},
        {"media 0x12", 16, 5000, [](std::vector<uint8_t> &s) { s[0x15] = 0x12; }, kFatBootMedia, 0},
        {"FAT too small for its clusters", 16, 5000,
         [](std::vector<uint8_t> &s) { StoreLe16(&s[0x16], 2); },
         kFatBootFatSize, 0},
        // 2^32 - 1 sectors a copy: past 1 GiB, and no overflow on the way.
        {"FAT32 of 2^32 - 1 sectors", 32, 70000, [](std::vector<uint8_t> &s) { StoreLe32(&s[0x24], 0xFFFFFFFF); },
         kFatBootFatSize, 0},
        {"metadata past the end", 16, 5000, [](std::vector<uint8_t> &s) { StoreLe16(&s[0x0E], 0xFFFF); }, kFatBootNoClusters, 0},
        {"FAT32 mirroring off", 32, 70000, [](std::vector<uint8_t> &s) { s[0x28] = 0x81; }, kFatBootFat32Fields, 0},
        {"FAT32 version 1.0", 32, 70000, [](std::vector<uint8_t> &s) { s[0x2B] = 1; }, kFatBootFat32Fields, 0},
        {"FAT32 root at cluster 1", 32, 70000, [](std::vector<uint8_t> &s) { StoreLe32(&s[0x2C], 1); }, kFatBootRootCluster, 0},
        {"FAT32 root past the clusters", 32, 70000, [](std::vector<uint8_t> &s) { StoreLe32(&s[0x2C], 70002); },
         kFatBootRootCluster, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> sector = BootSector(row.layout, row.clusters);
        row.spoil(sector);
        FatGeometry geometry;
        EXPECT_EQ(DecodeFatBootSector(sector.data(), TotalBytes(BootSector(row.layout, row.clusters)), &geometry),
                  row.fault);
        if (row.fault != kFatBootSound) continue;
        EXPECT_TRUE(IsFatBootSector(sector.data()));
        EXPECT_EQ(geometry.fatBits, row.bits);
        EXPECT_EQ(geometry.clusterCount, row.clusters);
        EXPECT_EQ(geometry.dataOffset + row.clusters * geometry.bytesPerCluster, TotalBytes(sector));
        // One sector short of the volume: past its partition.
        EXPECT_EQ(DecodeFatBootSector(sector.data(), TotalBytes(sector) - 512, &geometry), kFatBootPastPartition);
    }
}
