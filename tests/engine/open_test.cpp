// Opening volumes: the geometry and bitmap of sound volumes, and every
// status a broken machine or a broken volume must end with, leaving
// nothing open behind.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>

#include "binding.h"
#include "bytes.h"
#include "host_fixture.h"
#include "mft_record.h"
#include "windows_device.h"

namespace {

const int64_t kClusters = 4096;

class Open : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        bitmap.assign(kClusters / 8, 0x0F);
        BuildVolume(&crafted, StandardGeometry(512, 8, kClusters), bitmap);
    }

    int OpenCrafted() {
        if (Attach(crafted, 0) == nullptr) return -1;
        return OpenTrimVolume('Q', &volume, 0);
    }

    // Attaches a spoilt copy of the fixture's volume on a disk that goes on
    // past it, so a read beyond the volume would succeed, and opens it.
    int OpenSpoilt(const std::function<void(CraftedVolume *)> &spoil) {
        CraftedVolume spoilt = crafted;
        spoil(&spoilt);
        if (!WriteDiskImage(spoilt, 0, imagePath.c_str(), (kClusters + 256) * 4096) ||
            !HostAttachDisk(0, imagePath.c_str(), 0)) {
            return -1;
        }
        HostAttachVolume('Q', 0, 0);
        return OpenTrimVolume('Q', &volume, 0);
    }

    // A failed open leaves nothing: no result, no handle, no block.
    void ExpectFailure(int status, int expected) {
        EXPECT_EQ(status, expected);
        EXPECT_EQ(volume, nullptr);
        EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
        EXPECT_NOTHING_LEFT();
        ReleaseTrimVolume(volume);
        volume = nullptr;
    }

    std::vector<uint8_t> bitmap;
    CraftedVolume crafted;
    TrimVolume *volume = nullptr;
};

}  // namespace

TEST_F(Open, SoundVolume) {
    // Disk 12 at exactly 4 GiB: both come from the volume's extent.
    const int64_t offset = (int64_t)1 << 32;
    ASSERT_NE(Attach(crafted, offset, 12), nullptr);
    ASSERT_EQ(OpenTrimVolume('Q', &volume, 0), kOpenOk);
    ASSERT_NE(volume, nullptr);
    EXPECT_STREQ(HostOpenedNames(), "\\\\.\\Q:\n\\\\.\\PhysicalDrive12\n");
    EXPECT_EQ(volume->diskNumber, 12u);
    EXPECT_EQ(volume->partitionOffset, offset);
    // The geometry and bitmap are checked against ntfsinfo and ntfscat on
    // real volumes (engine_volumes_test); here what those tests do not see.
    EXPECT_EQ(volume->bytesPerCell, 0u);
    EXPECT_EQ(volume->clustersPerCell, 0u);
    EXPECT_EQ(HostCountersNow()->locksTaken, 0u);
    EXPECT_EQ(HostCountersNow()->openHandles, 2);
    ReleaseTrimVolume(volume);
    EXPECT_NOTHING_LEFT();
    ReleaseTrimVolume(nullptr);
}

TEST_F(Open, ByDriveOffsetAndLength) {
    // Where no volume has a letter: the same steps from the drive on, the
    // record owning both handles whatever the outcome.
    const int64_t offset = (int64_t)1 << 32;
    const int64_t volumeBytes = crafted.geometry.totalSectors * crafted.geometry.bytesPerSector;
    const struct {
        const char *name;
        int64_t offset, length;
        bool drive, lock;
        int status;
    } cases[] = {
        {"sound", offset, volumeBytes, true, true, kOpenOk},
        {"no lock", offset, volumeBytes, true, false, kOpenOk},
        {"partition a sector short", offset, volumeBytes - 512, true, true, kOpenNotNtfs},
        {"no boot sector there", offset - 4096, volumeBytes, true, true, kOpenNotNtfs},
        {"past the disk's end", offset + volumeBytes + (1 << 20), volumeBytes, true, true, kOpenBootSectorFailed},
        {"no drive", offset, volumeBytes, false, true, kOpenDriveFailed},
        {"negative offset", -4096, volumeBytes, true, true, kOpenExtentsFailed},
        {"empty partition", offset, 0, true, true, kOpenExtentsFailed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Attach(crafted, offset), nullptr);
        DeviceHandle drive = c.drive ? WindowsOpenDevice("\\\\.\\PhysicalDrive0") : nullptr;
        DeviceHandle lock = c.lock ? WindowsOpenDevice("\\\\.\\Q:") : nullptr;
        ASSERT_EQ(drive != nullptr, c.drive);
        ASSERT_EQ(lock != nullptr, c.lock);
        if (c.status != kOpenOk) {
            ExpectFailure(OpenTrimVolumeOnDrive(drive, lock, c.offset, c.length, &volume), c.status);
            HostReset();
            continue;
        }
        ASSERT_EQ(OpenTrimVolumeOnDrive(drive, lock, c.offset, c.length, &volume), kOpenOk);
        EXPECT_EQ(volume->driveHandle, drive);
        EXPECT_EQ(volume->volumeHandle, lock);
        EXPECT_EQ(volume->partitionOffset, offset);
        EXPECT_EQ(volume->trimSupported, 1);
        ASSERT_EQ(volume->bitmapSize, crafted.bitmap.size());
        EXPECT_EQ(memcmp(volume->bitmap, crafted.bitmap.data(), crafted.bitmap.size()), 0);
        ReleaseTrimVolume(volume);
        volume = nullptr;
        EXPECT_NOTHING_LEFT();
        HostReset();
    }
}

TEST_F(Open, ClusterSizesAndMinimumRuns) {
    const struct {
        uint32_t bytesPerSector, sectorsPerCluster, minRun;
    } cases[] = {{512, 1, 8},  {512, 2, 4},   {512, 4, 2},      {512, 128, 1},  {256, 1, 16},
                 {4096, 1, 1}, {2048, 64, 1}, {512, 256, 1},    {4096, 32, 1},  {512, 1024, 1},
                 // 2 MiB, the largest Windows formats: 0xF4 and 0xF7.
                 {512, 4096, 1}, {4096, 512, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytesPerSector << "x" << c.sectorsPerCluster);
        BuildVolume(&crafted, StandardGeometry(c.bytesPerSector, c.sectorsPerCluster, 256),
                    std::vector<uint8_t>(32, 0x0F));
        ASSERT_EQ(OpenCrafted(), kOpenOk);
        EXPECT_EQ(volume->bytesPerCluster, c.bytesPerSector * c.sectorsPerCluster);
        EXPECT_EQ(volume->minRunClusters, c.minRun);
        ReleaseTrimVolume(volume);
        volume = nullptr;
        HostReset();
    }
}

TEST_F(Open, RecordSizeComesFromTheBootSector) {
    for (uint32_t recordSize : {512u, 4096u}) {
        SCOPED_TRACE(recordSize);
        BuildVolume(&crafted, StandardGeometry(512, 8, kClusters, recordSize), bitmap);
        ASSERT_EQ(OpenCrafted(), kOpenOk);
        EXPECT_EQ(volume->mftRecordSize, recordSize);
        EXPECT_EQ(volume->bitmapSize, bitmap.size());
        ReleaseTrimVolume(volume);
        volume = nullptr;
        HostReset();
    }
}

TEST_F(Open, LockOnlyWhenAsked) {
    EmulatedVolume *settings = Attach(crafted, 0);
    settings->lockFails = 1;
    ASSERT_EQ(OpenTrimVolume('Q', &volume, 0), kOpenOk);
    ReleaseTrimVolume(volume);
    volume = nullptr;
    ExpectFailure(OpenTrimVolume('Q', &volume, 1), kOpenLockFailed);
    settings->lockFails = 0;
    ASSERT_EQ(OpenTrimVolume('Q', &volume, 1), kOpenOk);
    EXPECT_EQ(HostCountersNow()->locksTaken, 1u);
    ReleaseTrimVolume(volume);
}

TEST_F(Open, MachineFailures) {
    const struct {
        const char *what;
        std::function<void(EmulatedVolume *)> set;
        int status;
    } cases[] = {
        {"volume cannot be opened", [](EmulatedVolume *v) { v->openFails = 1; }, kOpenVolumeFailed},
        {"extents refused", [](EmulatedVolume *v) { v->extentsFail = 1; }, kOpenExtentsFailed},
        {"two extents", [](EmulatedVolume *v) { v->extentCount = 2; }, kOpenExtentsFailed},
        {"no extent", [](EmulatedVolume *v) { v->extentCount = 0; }, kOpenExtentsFailed},
        {"negative offset", [](EmulatedVolume *v) { v->partitionOffset = -512; }, kOpenExtentsFailed},
        {"lock refused", [](EmulatedVolume *v) { v->lockFails = 1; }, kOpenLockFailed},
        {"drive missing", [](EmulatedVolume *v) { v->diskNumber = 3; }, kOpenDriveFailed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedVolume *settings = Attach(crafted, 0);
        ASSERT_NE(settings, nullptr);
        c.set(settings);
        ExpectFailure(OpenTrimVolume('Q', &volume, 1), c.status);
        HostReset();
    }
    // Each allocation the open makes failing in turn (the record, what it
    // keeps of the volume, the bitmap...) is out of memory; each read (the
    // boot sector first, then the records and the bitmap) a refused read,
    // never damage; until the open needs no more: nothing is left behind.
    const struct {
        const char *what;
        void (*fail)(uint32_t number);
        int status;
    } failures[] = {{"allocation", HostFailAllocationAt, kOpenNoMemory}, {"read", HostFailReadAt, kOpenBootSectorFailed}};
    // Both ways in: by letter, and by drive and offset where no volume has
    // a letter (its handles opened before the failures count).
    for (int byDrive = 0; byDrive < 2; byDrive++) {
        for (const auto &f : failures) {
            for (uint32_t number = 1;; number++) {
                SCOPED_TRACE(testing::Message() << (byDrive ? "by drive, " : "by letter, ") << f.what << " " << number);
                ASSERT_LT(number, 64u);
                ASSERT_NE(Attach(crafted, 0), nullptr);
                const int64_t volumeBytes = crafted.geometry.totalSectors * crafted.geometry.bytesPerSector;
                DeviceHandle drive = byDrive ? WindowsOpenDevice("\\\\.\\PhysicalDrive0") : nullptr;
                DeviceHandle lock = byDrive ? WindowsOpenDevice("\\\\.\\Q:") : nullptr;
                f.fail(number);
                int status = byDrive ? OpenTrimVolumeOnDrive(drive, lock, 0, volumeBytes, &volume)
                                     : OpenTrimVolume('Q', &volume, 0);
                if (status == kOpenOk && number > 2) {
                    ReleaseTrimVolume(volume);
                    volume = nullptr;
                    EXPECT_NOTHING_LEFT();
                    HostReset();
                    break;
                }
                ExpectFailure(status, f.status);
                HostReset();
            }
        }
    }
    // The volume was never attached.
    ExpectFailure(OpenTrimVolume('Z', &volume, 0), kOpenVolumeFailed);
}

TEST_F(Open, ShortReadsFail) {
    // The boot sector cut short by the end of the disk, then the bitmap.
    Attach(crafted, 0, 0, 300);
    ExpectFailure(OpenTrimVolume('Q', &volume, 0), kOpenBootSectorFailed);
    // The bitmap is read whole, as allocated: one cluster.
    // The partition keeps its full length: only the image is cut short.
    const int64_t bitmapEnd = (int64_t)(crafted.geometry.bitmapCluster + 1) * 4096;
    const int64_t volumeBytes = crafted.geometry.totalSectors * crafted.geometry.bytesPerSector;
    Attach(crafted, 0, 0, bitmapEnd - 1)->extentLength = volumeBytes;
    ExpectFailure(OpenTrimVolume('Q', &volume, 0), kOpenBootSectorFailed);
    Attach(crafted, 0, 0, bitmapEnd)->extentLength = volumeBytes;
    ASSERT_EQ(OpenTrimVolume('Q', &volume, 0), kOpenOk);
    ReleaseTrimVolume(volume);
}

TEST_F(Open, BootSectorsThatAreNotUsableNtfs) {
    const struct {
        const char *what;
        std::function<void(uint8_t *)> spoil;
    } cases[] = {
        {"FAT32", [](uint8_t *s) { memcpy(s + 3, "MSWIN4.1", 8); }},
        {"exFAT", [](uint8_t *s) { memcpy(s + 3, "EXFAT   ", 8); }},
        {"raw zeros", [](uint8_t *s) { memset(s, 0, 512); }},
        {"ntfs in small letters", [](uint8_t *s) { memcpy(s + 3, "ntfs", 4); }},
        {"0 bytes per sector", [](uint8_t *s) { StoreLe16(s + 0x0B, 0); }},
        {"128 bytes per sector", [](uint8_t *s) { StoreLe16(s + 0x0B, 128); }},
        {"768 bytes per sector", [](uint8_t *s) { StoreLe16(s + 0x0B, 768); }},
        {"8192 bytes per sector", [](uint8_t *s) { StoreLe16(s + 0x0B, 8192); }},
        {"0 sectors per cluster", [](uint8_t *s) { s[0x0D] = 0; }},
        {"3 sectors per cluster", [](uint8_t *s) { s[0x0D] = 3; }},
        // Negative exponents past 2 MiB clusters: 0xF3 is 4 MiB of 512-byte
        // sectors, 0xF4 16 MiB of 4096-byte ones, 0x81 2^127 sectors.
        {"cluster of 2^13 sectors", [](uint8_t *s) { s[0x0D] = 0xF3; }},
        {"cluster of 2^12 sectors of 4096 bytes", [](uint8_t *s) { StoreLe16(s + 0x0B, 4096); s[0x0D] = 0xF4; }},
        {"cluster of 2^127 sectors", [](uint8_t *s) { s[0x0D] = 0x81; }},
        {"129 sectors per cluster", [](uint8_t *s) { s[0x0D] = 129; }},
        {"0 sectors", [](uint8_t *s) { StoreLe64(s + 0x28, 0); }},
        {"negative sectors", [](uint8_t *s) { StoreLe64(s + 0x28, (uint64_t)-4096); }},
        {"2^32 clusters", [](uint8_t *s) { StoreLe64(s + 0x28, (uint64_t)8 << 32); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        CraftedVolume spoilt = crafted;
        c.spoil(spoilt.head.data());
        ASSERT_TRUE(WriteDiskImage(spoilt, 0, imagePath.c_str(), 1 << 24));
        ASSERT_TRUE(HostAttachDisk(0, imagePath.c_str(), 0));
        // A partition large enough for any claim: the geometry alone is refused.
        HostAttachVolume('Q', 0, 0)->extentLength = (int64_t)1 << 50;
        ExpectFailure(OpenTrimVolume('Q', &volume, 0), kOpenNotNtfs);
        // The drive was opened and asked before the boot sector was read.
        EXPECT_EQ(HostCountersNow()->identifyCommands, 1u);
        HostReset();
    }
}

TEST_F(Open, FileSystemLargerThanItsPartitionIsRefused) {
    // The boot sector claims one sector more than the partition holds: the
    // bitmap would call the next partition's blocks free.
    const int64_t volumeBytes = crafted.geometry.totalSectors * crafted.geometry.bytesPerSector;
    Attach(crafted, 0)->extentLength = volumeBytes - crafted.geometry.bytesPerSector;
    ExpectFailure(OpenTrimVolume('Q', &volume, 0), kOpenNotNtfs);
    Attach(crafted, 0)->extentLength = volumeBytes;
    ASSERT_EQ(OpenTrimVolume('Q', &volume, 0), kOpenOk);
    ReleaseTrimVolume(volume);
}

TEST_F(Open, LargestVolumeThatFits32BitClustersNeedsABitmapForAll) {
    // 2^32 - 1 clusters pass the geometry; the bitmap of 4096 clusters does
    // not cover them, and a short bitmap is refused, not trusted.
    StoreLe64(crafted.head.data() + 0x28, ((uint64_t)1 << 32) * 8 - 8);
    ASSERT_TRUE(WriteDiskImage(crafted, 0, imagePath.c_str(), 1 << 24));
    ASSERT_TRUE(HostAttachDisk(0, imagePath.c_str(), 0));
    HostAttachVolume('Q', 0, 0)->extentLength = (int64_t)1 << 44;
    ExpectFailure(OpenTrimVolume('Q', &volume, 0), kOpenBitmapFailed);
}

TEST_F(Open, BitmapSizeComesFromItsData) {
    const struct {
        const char *what;
        int64_t clusters;
        size_t bitmapBytes;
        uint64_t fileNameSize;  // the stale copy in $FILE_NAME
    } cases[] = {
        {"as mkntfs makes it", kClusters, kClusters / 8, kClusters / 8},
        {"$FILE_NAME stale after the volume grew", kClusters, kClusters / 8, 100},
        {"longer than the volume needs", kClusters, 3 * 4096 + 1, kClusters / 8},
        {"last byte partly past the volume", kClusters + 5, kClusters / 8 + 1, kClusters / 8 + 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        BuildVolume(&crafted, StandardGeometry(512, 8, c.clusters), std::vector<uint8_t>(c.bitmapBytes, 0x0F));
        uint8_t *fileName = FindAttribute(RecordOf(&crafted, 6), kCraftedAttributeFileName) + 0x18;
        StoreLe64(fileName + 0x28, c.fileNameSize);
        StoreLe64(fileName + 0x30, c.fileNameSize);
        ASSERT_EQ(OpenCrafted(), kOpenOk);
        EXPECT_EQ(volume->totalClusters, c.clusters);
        EXPECT_EQ(volume->bitmapSize, (uint32_t)(c.clusters / 8));
        EXPECT_EQ(memcmp(volume->bitmap, crafted.bitmap.data(), c.clusters / 8), 0);
        ReleaseTrimVolume(volume);
        volume = nullptr;
        HostReset();
    }
}

TEST_F(Open, FirstRunOffsetIsSignedAsNtfsDefinesIt) {
    // A 3-byte offset 0x800000 has its top bit set: NTFS reads it as
    // -8388608, before the volume's start, whichever run it stands in. Read
    // unsigned it would put the bitmap at 4 GiB (512-byte clusters), where
    // this volume keeps a copy that calls everything used.
    const int64_t clusters = 0x800000 + 16384;
    bitmap.assign(clusters / 8, 0);
    bitmap[5] = 0xA5;
    CraftedGeometry geometry = StandardGeometry(512, 1, clusters);
    geometry.bitmapCluster = 0x800000;
    BuildVolume(&crafted, geometry, bitmap);
    const uint32_t runClusters = (uint32_t)(bitmap.size() + 511) / 512;
    const uint8_t pairs[] = {0x32, (uint8_t)runClusters, (uint8_t)(runClusters >> 8), 0x00, 0x00, 0x80, 0x00};
    memcpy(FindAttribute(RecordOf(&crafted, 6), kCraftedAttributeData) + 0x40, pairs, sizeof pairs);
    ExpectFailure(OpenCrafted(), kOpenBitmapFailed);
}

TEST_F(Open, BitmapNameMustMatchExactly) {
    for (const char *name : {"$BITMAP", "$bitmap", "$Bitmap2", "$Bitma"}) {
        SCOPED_TRACE(name);
        uint8_t *record = RecordOf(&crafted, 6);
        WriteFileRecord(record, 1024, 6, name, crafted.geometry.bitmapCluster, 1, 4096, kClusters / 8);
        SealRecord(record, 1024);
        // The walk goes on to record 7, which lies past $MFT's data.
        ExpectFailure(OpenCrafted(), kOpenBitmapFailed);
        HostReset();
    }
}

// Records before $Bitmap that cannot be read as $Bitmap are not $Bitmap: a
// big folder's attribute list, a record not in use, an extension record.
// Real volumes grow such records; the walk must go on past them.
TEST_F(Open, RecordsThatAreNotTheBitmapAreWalkedPast) {
    const struct {
        const char *what;
        uint32_t index;
        std::function<void(uint8_t *)> change;  // on the unsealed record
    } cases[] = {
        // The root folder of an aged volume: its $FILE_NAME past 512 bytes.
        {"attribute list before $FILE_NAME", 5, [](uint8_t *r) { InsertAttribute(r, kCraftedAttributeList, 0x200); }},
        {"$MFT with an attribute list", 0,
         [](uint8_t *r) {
             // One entry: $DATA from VCN 0 in record 0 itself.
             InsertAttribute(r, kCraftedAttributeList, 0x200);
             uint8_t *list = FindAttribute(r, kCraftedAttributeList);
             StoreLe32(list + 0x10, 0x20);
             StoreLe32(list + 0x18, 0x80);
             StoreLe16(list + 0x18 + 4, 0x20);
             list[0x18 + 7] = 0x1A;
             StoreLe16(list + 0x18 + 0x18, 1);  // the $DATA's attribute id
         }},
        {"no $FILE_NAME", 2, [](uint8_t *r) { StoreLe32(r + 0x98, 0x40); }},
        {"attribute length 0", 3, [](uint8_t *r) { StoreLe32(r + 0x38 + 4, 0); }},
        {"attribute walking past the bytes in use", 3, [](uint8_t *r) { StoreLe32(r + 0x38 + 4, 0x1C8); }},
        {"$FILE_NAME value past its attribute", 4, [](uint8_t *r) { StoreLe32(r + 0x98 + 0x10, 0x400); }},
        {"not in use", 4, [](uint8_t *r) { StoreLe16(r + 0x16, 0); }},
        {"extension record", 1, [](uint8_t *r) { StoreLe64(r + 0x20, 9); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        BuildVolume(&crafted, crafted.geometry, bitmap);
        uint8_t *record = RecordOf(&crafted, c.index);
        // Unseal: put back the two bytes the update sequence saved.
        memcpy(record + 510, record + 0x32, 2);
        memcpy(record + 1022, record + 0x34, 2);
        c.change(record);
        SealRecord(record, 1024);
        ASSERT_EQ(OpenCrafted(), kOpenOk);
        EXPECT_EQ(volume->bitmapSize, (uint32_t)kClusters / 8);
        ReleaseTrimVolume(volume);
        volume = nullptr;
        HostReset();
    }
}

TEST_F(Open, WalkEndsAfterSixteenRecords) {
    CraftedGeometry geometry = crafted.geometry;
    geometry.mftMirrorCluster += 3;
    geometry.bitmapCluster += 3;
    BuildVolume(&crafted, geometry, bitmap);
    // An MFT of 20 records whose records 6 on are all like record 5.
    crafted.head.resize((geometry.mftCluster + 5) * 4096);
    WriteFileRecord(RecordOf(&crafted, 0), 1024, 0, "$MFT", geometry.mftCluster, 5, 4096, 20 * 1024);
    SealRecord(RecordOf(&crafted, 0), 1024);
    for (uint32_t i = 6; i < 20; i++) {
        memcpy(RecordOf(&crafted, i), RecordOf(&crafted, 5), 1024);
        StoreLe32(RecordOf(&crafted, i) + 0x2C, i);
    }
    ExpectFailure(OpenCrafted(), kOpenBitmapFailed);
    // The walk is bounded: the boot sector and at most 16 records.
    EXPECT_LE(HostCountersNow()->reads, 17u);
}

// Each field the locator uses, made wrong in a way that reading it naively
// would trim used clusters or read outside the record: all refused.
TEST_F(Open, BrokenMftRecordsAreRefused) {
    const auto data = [](CraftedVolume *v) { return FindAttribute(RecordOf(v, 6), kCraftedAttributeData); };
    const auto fileName = [](CraftedVolume *v) { return FindAttribute(RecordOf(v, 6), kCraftedAttributeFileName); };
    const auto mftData = [](CraftedVolume *v) { return FindAttribute(RecordOf(v, 0), kCraftedAttributeData); };
    const uint64_t bitmapCluster = crafted.geometry.bitmapCluster;
    const struct {
        const char *what;
        std::function<void(CraftedVolume *)> spoil;
    } cases[] = {
        // Records as a whole.
        {"no FILE signature", [](CraftedVolume *v) { memcpy(RecordOf(v, 2), "BAAD", 4); }},
        {"record size 0", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 1) + 0x1C, 0); }},
        {"record size other than the boot sector's", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 1) + 0x1C, 4096); }},
        {"bytes in use past the record", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 6) + 0x18, 1032); }},
        {"first attribute at 0xFFFF", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 2) + 0x14, 0xFFFF); }},
        {"first attribute inside the update sequence",
         [](CraftedVolume *v) { StoreLe16(RecordOf(v, 2) + 0x14, 0x30); }},
        {"torn first stride", [](CraftedVolume *v) { RecordOf(v, 4)[510] ^= 1; }},
        {"torn second stride", [](CraftedVolume *v) { RecordOf(v, 6)[1022] ^= 1; }},
        {"torn second stride before $Bitmap", [](CraftedVolume *v) { RecordOf(v, 2)[1023] ^= 1; }},
        {"update sequence array past the first stride", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 0) + 4, 508); }},
        {"update sequence count 0", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 5) + 6, 0); }},
        {"update sequence of one stride", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 5) + 6, 2); }},
        {"MFT at the volume's last cluster", [](CraftedVolume *v) { StoreLe64(v->head.data() + 0x30, kClusters - 1); }},
        // Record 0: the MFT must be where the boot sector says, and long enough.
        {"$MFT's run elsewhere", [mftData](CraftedVolume *v) { mftData(v)[0x40 + 2] = 2; }},
        {"$MFT's run of 4 records", [mftData](CraftedVolume *v) { mftData(v)[0x40 + 1] = 1; }},
        {"$MFT's $DATA resident", [mftData](CraftedVolume *v) { mftData(v)[8] = 0; }},
        {"$MFT without $DATA", [mftData](CraftedVolume *v) { StoreLe32(mftData(v), 0x90); }},
        {"$MFT not in use", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 0) + 0x16, 0); }},
        // The $Bitmap record and its name.
        {"$Bitmap not in use", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 6) + 0x16, 0); }},
        {"$Bitmap an extension record", [](CraftedVolume *v) { StoreLe64(RecordOf(v, 6) + 0x20, 7); }},
        {"$Bitmap in another folder", [fileName](CraftedVolume *v) { fileName(v)[0x18] = 7; }},
        {"$FILE_NAME value outside the record",
         [fileName](CraftedVolume *v) { StoreLe32(fileName(v) + 0x10, 0x1000); }},
        {"$FILE_NAME value offset past its attribute",
         [fileName](CraftedVolume *v) { StoreLe16(fileName(v) + 0x14, 0x200); }},
        {"$FILE_NAME non-resident", [fileName](CraftedVolume *v) { fileName(v)[8] = 1; }},
        {"$Bitmap in record 4 as well", [](CraftedVolume *v) { memcpy(RecordOf(v, 4), RecordOf(v, 6), 1024); }},
        {"$Bitmap in record 7 instead of 6",
         [](CraftedVolume *v) {
             memcpy(RecordOf(v, 7), RecordOf(v, 6), 1024);
             memcpy(RecordOf(v, 6), RecordOf(v, 5), 1024);
         }},
        // Its $DATA attribute.
        {"$Bitmap without $DATA", [data](CraftedVolume *v) { StoreLe32(data(v), 0x90); }},
        {"attributes end with type 0 before $DATA", [data](CraftedVolume *v) { StoreLe32(data(v), 0); }},
        {"resident $DATA", [data](CraftedVolume *v) { data(v)[8] = 0; }},
        {"named $DATA", [data](CraftedVolume *v) { data(v)[9] = 1; }},
        {"first VCN 1", [data](CraftedVolume *v) { StoreLe64(data(v) + 0x10, 1); }},
        {"last VCN past the run", [data](CraftedVolume *v) { StoreLe64(data(v) + 0x18, 1); }},
        {"real size shorter than the volume",
         [data](CraftedVolume *v) { StoreLe64(data(v) + 0x30, kClusters / 8 - 1); }},
        {"initialized size shorter than the volume",
         [data](CraftedVolume *v) { StoreLe64(data(v) + 0x38, kClusters / 8 - 1); }},
        {"allocated size past the run", [data](CraftedVolume *v) { StoreLe64(data(v) + 0x28, 8192); }},
        {"allocated size below the real size", [data](CraftedVolume *v) { StoreLe64(data(v) + 0x28, 256); }},
        {"mapping pairs offset past the attribute", [data](CraftedVolume *v) { StoreLe16(data(v) + 0x20, 0x48); }},
        {"mapping pairs running past the attribute", [data](CraftedVolume *v) { data(v)[0x40] = 0x81; }},
        {"offset field of 9 bytes",
         [data, bitmapCluster](CraftedVolume *v) {
             // Read as 8 bytes, the offset would be the right cluster.
             const uint8_t wide[] = {0x91, 0x01, (uint8_t)bitmapCluster, 0, 0, 0, 0, 0, 0, 0, 0, 0x00};
             StoreLe32(data(v) + 4, 0x50);
             memcpy(data(v) + 0x40, wide, sizeof wide);
         }},
        {"offset field of 15 bytes", [data](CraftedVolume *v) { data(v)[0x40] = 0xF1; }},
        {"sparse run (no offset)", [data](CraftedVolume *v) { data(v)[0x40] = 0x01; }},
        {"fragmented: two runs",
         [data, bitmapCluster](CraftedVolume *v) {
             const uint8_t two[] = {0x11, 0x01, (uint8_t)bitmapCluster, 0x11, 0x01, 0x10, 0x00};
             memcpy(data(v) + 0x40, two, sizeof two);
         }},
        {"run of 0 clusters", [data](CraftedVolume *v) { data(v)[0x41] = 0; }},
        {"bitmap at cluster 0", [data](CraftedVolume *v) { data(v)[0x42] = 0; }},
        {"bitmap past the volume's end",
         [data](CraftedVolume *v) {
             const uint8_t past[] = {0x21, 0x01, 0x00, 0x10, 0x00};  // cluster 4096
             memcpy(data(v) + 0x40, past, sizeof past);
         }},
        {"bitmap run running past the volume's end",
         [data](CraftedVolume *v) {
             const uint8_t last[] = {0x21, 0x02, 0xFF, 0x0F, 0x00};  // clusters 4095 and 4096
             memcpy(data(v) + 0x40, last, sizeof last);
             StoreLe64(data(v) + 0x18, 1);
         }},
        {"bitmap at cluster 2^32",
         [data](CraftedVolume *v) {
             const uint8_t far[] = {0x51, 0x01, 0, 0, 0, 0, 0x01, 0x00};
             memcpy(data(v) + 0x40, far, sizeof far);
         }},
        // A bitmap that contradicts the volume's own metadata is not its bitmap.
        {"bitmap calls cluster 0 free", [](CraftedVolume *v) { MarkClusters(&v->bitmap, 0, 1, 0); }},
        {"bitmap calls an $MFT cluster free",
         [](CraftedVolume *v) { MarkClusters(&v->bitmap, v->geometry.mftCluster + 1, 1, 0); }},
        {"bitmap calls $MFTMirr free",
         [](CraftedVolume *v) { MarkClusters(&v->bitmap, v->geometry.mftMirrorCluster, 1, 0); }},
        {"bitmap calls its own run free",
         [](CraftedVolume *v) { MarkClusters(&v->bitmap, v->geometry.bitmapCluster, 1, 0); }},
        {"bitmap read from the MFT's records",
         [data](CraftedVolume *v) { data(v)[0x42] = (uint8_t)v->geometry.mftCluster; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ExpectFailure(OpenSpoilt(c.spoil), kOpenBitmapFailed);
        EXPECT_LE(HostCountersNow()->reads, 9u);
        HostReset();
    }
}

// The record primitives on their own, where a fault hides behind the
// walks that use them: every stride's saved bytes go back, not the first
// only; an attribute whose length runs past the bytes in use (here so far
// that the position wraps back onto bytes that read as a $FILE_NAME) ends the walk.
TEST(MftRecordPrimitives, UpdateSequenceAndAttributeBounds) {
    uint8_t block[4096] = {0};
    StoreLe16(block + 0x04, 0x28);
    StoreLe16(block + 0x06, 9);
    StoreLe16(block + 0x28, 7);
    for (uint32_t stride = 1; stride <= 8; stride++) {
        StoreLe16(block + 0x28 + 2 * stride, (uint16_t)(0x100 + stride));
        StoreLe16(block + stride * 512 - 2, 7);
    }
    ASSERT_EQ(ApplyUpdateSequence(block, sizeof block), 1);
    for (uint32_t stride = 1; stride <= 8; stride++) EXPECT_EQ(LoadLe16(block + stride * 512 - 2), 0x100 + stride);

    uint8_t record[1024] = {0};
    StoreLe16(record + 0x14, 0x38);
    StoreLe32(record + 0x38, 0x10);
    StoreLe32(record + 0x38 + 4, 0xFFFFFFE0u);  // 0x38 + length wraps to 0x18
    StoreLe32(record + 0x18, 0x30);
    StoreLe32(record + 0x18 + 4, 0x20);
    uint32_t at = 0;
    EXPECT_EQ(FindAttribute(record, 0x100, 0x30, &at), 0);
}
