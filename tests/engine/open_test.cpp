// Opening volumes: the geometry and bitmap of sound volumes, and every
// status a broken machine or a broken volume must end with, leaving
// nothing open behind.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>

#include "bytes.h"
#include "host_fixture.h"

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

    uint8_t *BitmapRecord() { return RecordOf(&crafted, 6); }
    uint8_t *BitmapFileName() { return FindAttribute(BitmapRecord(), kCraftedAttributeFileName) + 0x18; }

    // A failed open leaves nothing: no result, no handle, no block.
    void ExpectFailure(int status, int expected) {
        EXPECT_EQ(status, expected);
        EXPECT_EQ(volume, nullptr);
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
    // real volumes (tests/images); here what those tests do not see.
    EXPECT_EQ(volume->bytesPerCell, 0u);
    EXPECT_EQ(volume->clustersPerCell, 0u);
    EXPECT_EQ(HostCountersNow()->reads, 9u);  // boot sector, seven records, bitmap
    EXPECT_EQ(HostCountersNow()->locksTaken, 0u);
    EXPECT_EQ(HostCountersNow()->openHandles, 2);
    ReleaseTrimVolume(volume);
    EXPECT_NOTHING_LEFT();
    ReleaseTrimVolume(nullptr);
}

TEST_F(Open, ClusterSizesAndMinimumRuns) {
    const struct {
        uint32_t bytesPerSector, sectorsPerCluster, minRun;
    } cases[] = {{512, 1, 8}, {512, 2, 4}, {512, 4, 2}, {512, 128, 1}, {256, 1, 16}, {4096, 1, 1}, {2048, 64, 1}};
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

TEST_F(Open, RecordSizeComesFromEachRecord) {
    for (uint32_t recordSize : {512u, 4096u}) {
        SCOPED_TRACE(recordSize);
        CraftedGeometry geometry = StandardGeometry(512, 8, kClusters);
        geometry.recordSize = recordSize;
        geometry.bitmapCluster = geometry.mftCluster + (7 * recordSize + 4095) / 4096;
        BuildVolume(&crafted, geometry, bitmap);
        ASSERT_EQ(OpenCrafted(), kOpenOk);
        EXPECT_EQ(volume->mftPosition, (int64_t)geometry.mftCluster * 4096 + 6 * recordSize);
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
        {"record allocation", [](EmulatedVolume *) { HostFailAllocationAt(1); }, kOpenNoMemory},
        {"bitmap allocation", [](EmulatedVolume *) { HostFailAllocationAt(2); }, kOpenBitmapFailed},
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
    // Each of the nine reads failing: the boot sector, records 0 to 6, the bitmap.
    for (uint32_t read = 1; read <= 9; read++) {
        SCOPED_TRACE(read);
        ASSERT_NE(Attach(crafted, 0), nullptr);
        HostFailReadAt(read);
        ExpectFailure(OpenTrimVolume('Q', &volume, 0), read == 1 ? kOpenBootSectorFailed : kOpenBitmapFailed);
        HostReset();
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
    ExpectFailure(OpenTrimVolume('Q', &volume, 0), kOpenBitmapFailed);
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
        {"encoded cluster size 0xF4", [](uint8_t *s) { s[0x0D] = 0xF4; }},
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

TEST_F(Open, LargestVolumeThatFits32BitClusters) {
    // 2^32 - 1 clusters claimed; a short $Bitmap lowers the count, so the
    // volume opens without a 512 MiB bitmap.
    StoreLe64(crafted.head.data() + 0x28, ((uint64_t)1 << 32) * 8 - 8);
    ASSERT_TRUE(WriteDiskImage(crafted, 0, imagePath.c_str(), 1 << 24));
    ASSERT_TRUE(HostAttachDisk(0, imagePath.c_str(), 0));
    HostAttachVolume('Q', 0, 0)->extentLength = (int64_t)1 << 44;
    ASSERT_EQ(OpenTrimVolume('Q', &volume, 0), kOpenOk);
    EXPECT_EQ(volume->totalSectors, ((int64_t)1 << 35) - 8);
    EXPECT_EQ(volume->totalClusters, kClusters);
    EXPECT_EQ(volume->bitmapSize, (uint32_t)bitmap.size());
    ReleaseTrimVolume(volume);
}

TEST_F(Open, BitmapSizes) {
    // Real size shorter than totalClusters / 8: the volume is what the bitmap covers.
    StoreLe64(BitmapFileName() + 0x30, 100);
    ASSERT_EQ(OpenCrafted(), kOpenOk);
    EXPECT_EQ(volume->totalClusters, 800);
    EXPECT_EQ(volume->bitmapSize, 100u);
    ReleaseTrimVolume(volume);
    volume = nullptr;

    // Longer: the volume's own count stands.
    StoreLe64(BitmapFileName() + 0x28, 8192);
    StoreLe64(BitmapFileName() + 0x30, 8000);
    ASSERT_EQ(OpenCrafted(), kOpenOk);
    EXPECT_EQ(volume->totalClusters, kClusters);
    EXPECT_EQ(volume->bitmapSize, kClusters / 8);
    ReleaseTrimVolume(volume);
    volume = nullptr;

    // Real size past the allocated size: bitmapSize stays within the buffer.
    StoreLe64(BitmapFileName() + 0x28, 256);
    StoreLe64(BitmapFileName() + 0x30, 4096);
    ASSERT_EQ(OpenCrafted(), kOpenOk);
    EXPECT_EQ(volume->bitmapSize, 256u);
    EXPECT_EQ(volume->totalClusters, 2048);
    ReleaseTrimVolume(volume);
}

TEST_F(Open, RunOffsetIsUnsigned) {
    // A 3-byte offset 0x800000 has its top bit set; NTFS would call it
    // negative, the first run's LCN is read as positive. 512-byte clusters
    // put it at 4 GiB.
    const int64_t clusters = 0x800000 + 16384;
    bitmap.assign(clusters / 8, 0);
    CraftedGeometry geometry = StandardGeometry(512, 1, clusters);
    geometry.bitmapCluster = 0x800000;
    BuildVolume(&crafted, geometry, bitmap);
    const uint32_t runClusters = (uint32_t)(bitmap.size() + 511) / 512;
    const uint8_t pairs[] = {0x32, (uint8_t)runClusters, (uint8_t)(runClusters >> 8), 0x00, 0x00, 0x80, 0x00};
    uint32_t allocated = runClusters * 512;
    WriteFileRecord(BitmapRecord(), 1024, 6, "$Bitmap", allocated, bitmap.size(), pairs, sizeof pairs);
    SealRecord(BitmapRecord(), 1024);
    crafted.bitmap[5] = 0xA5;
    ASSERT_EQ(OpenCrafted(), kOpenOk);
    EXPECT_EQ(volume->bitmap[5], 0xA5);
    EXPECT_EQ(volume->bitmap[4], 0x00);
    ReleaseTrimVolume(volume);
}

TEST_F(Open, BitmapNameMustMatchExactly) {
    for (const char *name : {"$BITMAP", "$bitmap", "$Bitmap2", "$Bitma"}) {
        SCOPED_TRACE(name);
        uint8_t pairs[20];
        uint32_t size = EncodeSingleRun(pairs, 1, crafted.geometry.bitmapCluster);
        WriteFileRecord(BitmapRecord(), 1024, 6, name, 4096, 512, pairs, size);
        SealRecord(BitmapRecord(), 1024);
        // The walk goes on to record 7 and finds no FILE there.
        ExpectFailure(OpenCrafted(), kOpenBitmapFailed);
        EXPECT_EQ(HostCountersNow()->reads, 9u);
        HostReset();
    }
    // Found in record 9 after three more records: the walk is not tied to 6.
    CraftedGeometry geometry = crafted.geometry;
    geometry.bitmapCluster += 1;
    BuildVolume(&crafted, geometry, bitmap);
    crafted.head.resize(crafted.head.size() + 3 * 1024);
    memcpy(RecordOf(&crafted, 9), RecordOf(&crafted, 6), 1024);
    for (uint32_t i = 6; i < 9; i++) memcpy(RecordOf(&crafted, i), RecordOf(&crafted, 5), 1024);
    ASSERT_EQ(OpenCrafted(), kOpenOk);
    EXPECT_EQ(volume->mftPosition, (int64_t)crafted.geometry.mftCluster * 4096 + 9 * 1024);
    ReleaseTrimVolume(volume);
}

TEST_F(Open, BrokenMftRecords) {
    const uint32_t fileName = (uint32_t)(FindAttribute(BitmapRecord(), kCraftedAttributeFileName) - BitmapRecord());
    const uint32_t data = (uint32_t)(FindAttribute(BitmapRecord(), kCraftedAttributeData) - BitmapRecord());
    const uint32_t pairs = data + 0x40;
    const uint64_t bitmapCluster = crafted.geometry.bitmapCluster;
    const struct {
        const char *what;
        std::function<void(CraftedVolume *)> spoil;
    } cases[] = {
        {"no FILE signature", [](CraftedVolume *v) { memcpy(RecordOf(v, 2), "BAAD", 4); }},
        {"record size 0", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 1) + 0x1C, 0); }},
        {"record size 1000", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 1) + 0x1C, 1000); }},
        {"record size 128 KiB", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 1) + 0x1C, 1 << 17); }},
        {"attribute length 0", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 3) + 0x38 + 4, 0); }},
        {"attribute length 8", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 3) + 0x38 + 4, 8); }},
        {"attribute walking past 512 bytes", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 3) + 0x38 + 4, 0x1C8); }},
        {"first attribute at 508", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 0) + 0x14, 508); }},
        {"first attribute at 0xFFFF", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 0) + 0x14, 0xFFFF); }},
        {"$FILE_NAME at 416 (name past 512 bytes)",
         [](CraftedVolume *v) {
             uint8_t *r = RecordOf(v, 4);
             StoreLe32(r + 0x38 + 4, 416 - 0x38);
             StoreLe32(r + 416, 0x30);
             StoreLe32(r + 416 + 4, 0x60);
         }},
        {"record without $FILE_NAME", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 2) + 0x98, 0xFFFFFFFF); }},
        {"attributes end with type 0",
         [fileName](CraftedVolume *v) { StoreLe32(RecordOf(v, 6) + fileName + 0x68, 0); }},
        {"$Bitmap without $DATA",
         [data](CraftedVolume *v) { StoreLe32(RecordOf(v, 6) + data, 0x90); }},
        {"mapping pairs offset past 512 bytes",
         [data](CraftedVolume *v) { StoreLe16(RecordOf(v, 6) + data + 0x20, 0x200); }},
        {"mapping pairs running past 512 bytes",
         [data](CraftedVolume *v) {
             uint8_t *r = RecordOf(v, 6);
             StoreLe16(r + data + 0x20, 508 - data);
             r[508] = 0x81;  // one length byte, eight offset bytes: ends at 518
         }},
        {"offset field of 9 bytes",
         [pairs, bitmapCluster](CraftedVolume *v) {
             // Read as 8 bytes, the offset would be the right cluster.
             const uint8_t wide[] = {0x91, 0x01, (uint8_t)bitmapCluster, 0, 0, 0, 0, 0, 0, 0, 0, 0x00};
             memcpy(RecordOf(v, 6) + pairs, wide, sizeof wide);
         }},
        {"offset field of 15 bytes", [pairs](CraftedVolume *v) { RecordOf(v, 6)[pairs] = 0xF1; }},
        {"sparse run (no offset)", [pairs](CraftedVolume *v) { RecordOf(v, 6)[pairs] = 0x01; }},
        {"fragmented: two runs",
         [pairs, bitmapCluster](CraftedVolume *v) {
             uint8_t *r = RecordOf(v, 6);
             const uint8_t two[] = {0x11, 0x01, (uint8_t)bitmapCluster, 0x11, 0x01, 0x10, 0x00};
             memcpy(r + pairs, two, sizeof two);
         }},
        {"run shorter than the bitmap", [pairs](CraftedVolume *v) { RecordOf(v, 6)[pairs + 1] = 0; }},
        {"bitmap past the volume's end",
         [pairs](CraftedVolume *v) {
             const uint8_t past[] = {0x21, 0x01, 0x00, 0x10, 0x00};  // cluster 4096
             memcpy(RecordOf(v, 6) + pairs, past, sizeof past);
         }},
        {"bitmap buffer running past the volume's end",
         [pairs](CraftedVolume *v) {
             const uint8_t last[] = {0x21, 0x02, 0xFF, 0x0F, 0x00};  // clusters 4095 and 4096
             memcpy(RecordOf(v, 6) + pairs, last, sizeof last);
             StoreLe64(FindAttribute(RecordOf(v, 6), 0x30) + 0x18 + 0x28, 8192);
         }},
        {"bitmap at cluster 2^40",
         [pairs](CraftedVolume *v) {
             uint8_t *r = RecordOf(v, 6);
             const uint8_t far[] = {0x61, 0x01, 0, 0, 0, 0, 0, 0x01, 0x00};
             memcpy(r + pairs, far, sizeof far);
         }},
        {"allocated size 0",
         [](CraftedVolume *v) { StoreLe64(FindAttribute(RecordOf(v, 6), 0x30) + 0x18 + 0x28, 0); }},
        {"update sequence mismatch", [](CraftedVolume *v) { RecordOf(v, 4)[510] ^= 1; }},
        {"update sequence array past the 512 bytes", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 0) + 4, 510); }},
        {"update sequence count 0", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 5) + 6, 0); }},
        {"MFT outside the volume", [](CraftedVolume *v) { StoreLe64(v->head.data() + 0x30, 5000); }},
        {"MFT at the volume's last cluster", [](CraftedVolume *v) { StoreLe64(v->head.data() + 0x30, 4095); }},
        {"MFT of 17 records without $Bitmap",
         [](CraftedVolume *v) {
             v->head.resize(v->head.size() + 16 * 1024);
             v->geometry.bitmapCluster += 4;
             for (uint32_t i = 6; i < 17; i++) memcpy(RecordOf(v, i), RecordOf(v, 5), 1024);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        CraftedVolume spoilt = crafted;
        c.spoil(&spoilt);
        // The disk goes on past the volume, so a read beyond it would succeed.
        ASSERT_TRUE(WriteDiskImage(spoilt, 0, imagePath.c_str(), (kClusters + 256) * 4096));
        ASSERT_TRUE(HostAttachDisk(0, imagePath.c_str(), 0));
        HostAttachVolume('Q', 0, 0);
        ExpectFailure(OpenTrimVolume('Q', &volume, 0), kOpenBitmapFailed);
        EXPECT_LE(HostCountersNow()->reads, 17u);
        HostReset();
    }
}
