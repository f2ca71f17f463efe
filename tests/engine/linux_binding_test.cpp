// The Linux binding without a virtual machine: sysfs read from a tree laid
// out in a scratch folder as the kernel lays out its own, the aligned
// reads, the discard plan, and (as root, with a loop device) that the disk
// is read past a stale page cache.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "ata_request.h"
#include "linux_binding.h"
#include "ntfs_volumes.h"

namespace {

class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        root = MakeScratchDirectory("linux-binding-");
        ASSERT_FALSE(root.empty());
    }
    void TearDown() override { RemoveScratchDirectory(root); }

    void Put(const std::string &path, const std::string &text) {
        std::string full = root + "/" + path;
        ASSERT_EQ(RunTool({"mkdir", "-p", full.substr(0, full.rfind('/'))}).status, 0);
        ASSERT_TRUE(WriteBytes(full, 0, (const uint8_t *)text.data(), text.size()));
    }

    // A block device's folder under devices/ and its dev/block link, with
    // `files` (name, contents) in it.
    void Device(const std::string &folder, const std::string &number,
                const std::map<std::string, std::string> &files) {
        for (const auto &file : files) Put("devices/pci0000:00/" + folder + "/" + file.first, file.second);
        ASSERT_EQ(RunTool({"mkdir", "-p", root + "/dev/block"}).status, 0);
        ASSERT_EQ(symlink(("../../devices/pci0000:00/" + folder).c_str(), (root + "/dev/block/" + number).c_str()), 0);
    }

    std::string root;
};

using SysfsPartitionTest = Scratch;
using SysfsDiskTest = Scratch;
using ReadAlignedTest = Scratch;

TEST_F(SysfsPartitionTest, PlaceAndParentDiskOrNothing) {
    Device("block/sda", "8:0", {{"dev", "8:0\n"}, {"uevent", "MAJOR=8\nMINOR=0\nDEVNAME=sda\nDEVTYPE=disk\n"}});
    Device("nvme/block/nvme0n1", "259:0",
           {{"dev", "259:0\n"}, {"uevent", "MAJOR=259\nMINOR=0\nDEVNAME=nvme0n1\nDEVTYPE=disk\n"}});
    Device("block/sdb", "8:16", {{"dev", "8:16\n"}, {"uevent", "MAJOR=8\nMINOR=16\nDEVNAME=../sda\n"}});
    Device("block/sdc", "8:32", {{"dev", "8:32x\n"}, {"uevent", "DEVNAME=sdc\n"}});
    Device("block/sdd", "8:48", {{"dev", "8:48\n"}, {"uevent", "XDEVNAME=sdd\n"}});
    const struct {
        const char *name, *parent, *number, *partition, *start, *size;
        int ok;
        const char *disk;
        uint32_t diskMajor, diskMinor;
        int64_t offset, length;
    } cases[] = {
        {"sda2", "block/sda", "8:2", "2", "2048", "40960", 1, "sda", 8, 0, 2048 * 512, 40960 * 512},
        {"sector 63", "block/sda", "8:1", "1", "63", "8", 1, "sda", 8, 0, 63 * 512, 8 * 512},
        // Past 2^32 sectors, on an NVMe disk of another major.
        {"nvme0n1p1", "nvme/block/nvme0n1", "259:1", "1", "4294969344", "2048", 1, "nvme0n1", 259, 0,
         (int64_t)4294969344 * 512, 2048 * 512},
        {"sda3 partition 0", "block/sda", "8:3", "0", "2048", "8", 0, "", 0, 0, 0, 0},
        {"sda4 empty", "block/sda", "8:4", "4", "2048", "0", 0, "", 0, 0, 0, 0},
        {"sda5 start not a number", "block/sda", "8:5", "5", "-1", "8", 0, "", 0, 0, 0, 0},
        {"sda6 start past 64 bits", "block/sda", "8:6", "6", "99999999999999999999", "8", 0, "", 0, 0, 0, 0},
        {"sda7 end past 63 bits", "block/sda", "8:7", "7", "18014398509481983", "1", 0, "", 0, 0, 0, 0},
        {"sda8 no size", "block/sda", "8:8", "8", "2048", nullptr, 0, "", 0, 0, 0, 0},
        {"sdb1 disk name leads out of /dev", "block/sdb", "8:17", "1", "2048", "8", 0, "", 0, 0, 0, 0},
        {"sdc1 parent number malformed", "block/sdc", "8:33", "1", "2048", "8", 0, "", 0, 0, 0, 0},
        {"sdd1 parent has no name", "block/sdd", "8:49", "1", "2048", "8", 0, "", 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::map<std::string, std::string> files = {{"partition", c.partition}, {"start", c.start}};
        if (c.size != nullptr) files["size"] = c.size;
        std::string name = c.name;
        Device(std::string(c.parent) + "/" + name.substr(0, name.find(' ')), c.number, files);
        uint32_t major_ = 0, minor_ = 0;
        ASSERT_EQ(sscanf(c.number, "%u:%u", &major_, &minor_), 2);
        SysfsPartition partition;
        ASSERT_EQ(ParseSysfsPartition(root.c_str(), major_, minor_, &partition), c.ok);
        if (!c.ok) continue;
        EXPECT_STREQ(partition.diskName, c.disk);
        EXPECT_EQ(partition.diskMajor, c.diskMajor);
        EXPECT_EQ(partition.diskMinor, c.diskMinor);
        EXPECT_EQ(partition.offset, c.offset);
        EXPECT_EQ(partition.length, c.length);
    }
    SysfsPartition partition;
    EXPECT_EQ(ParseSysfsPartition(root.c_str(), 8, 0, &partition), 0) << "a whole disk is no partition";
    EXPECT_EQ(ParseSysfsPartition(root.c_str(), 8, 99, &partition), 0) << "no such device";
}

TEST_F(SysfsDiskTest, DiscardLimitsAndModel) {
    const struct {
        const char *name, *maxBytes, *granularity, *blockSize, *model;
        int ok;
        uint64_t expectMax, expectGranularity;
        uint32_t expectBlockSize;
        const char *expectModel;
        const char *size;
    } cases[] = {
        {"sata", "2147450880", "512", "512", "Samsung SSD 870   \n", 1, 2147450880, 512, 512, "Samsung SSD 870",
         nullptr},
        {"nvme", "2199023255040", "4096", "4096", "QEMU NVMe Ctrl\n", 1, 2199023255040, 4096, 4096, "QEMU NVMe Ctrl",
         nullptr},
        {"virtio without a model", "4294966784", "512", "512", nullptr, 1, 4294966784, 512, 512, "", nullptr},
        {"no discard", "0", "0", "512", "old disk\tx\n", 1, 0, 0, 512, "old disk?x", nullptr},
        {"odd block size", "4096", "512", "1000", nullptr, 0, 0, 0, 0, "", nullptr},
        {"no discard file", nullptr, "512", "512", nullptr, 0, 0, 0, 0, "", nullptr},
        {"size past 64 bits in bytes", "4096", "512", "512", nullptr, 0, 0, 0, 0, "", "36028797018963968"},
        {"no size", "4096", "512", "512", nullptr, 0, 0, 0, 0, "", ""},
    };
    int minor_ = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::map<std::string, std::string> files = {{"queue/discard_granularity", c.granularity},
                                                    {"queue/logical_block_size", c.blockSize}};
        if (c.maxBytes != nullptr) files["queue/discard_max_bytes"] = c.maxBytes;
        const std::string size = c.size != nullptr ? c.size : "1000215216";
        if (!size.empty()) files["size"] = size;
        if (c.model != nullptr) files["device/model"] = c.model;
        Device("block/disk" + std::to_string(minor_), "8:" + std::to_string(minor_), files);
        SysfsDisk disk;
        ASSERT_EQ(ParseSysfsDisk(root.c_str(), 8, minor_++, &disk), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(disk.discardMaxBytes, c.expectMax);
        EXPECT_EQ(disk.discardGranularity, c.expectGranularity);
        EXPECT_EQ(disk.logicalBlockSize, c.expectBlockSize);
        EXPECT_STREQ(disk.model, c.expectModel);
        EXPECT_EQ(disk.bytes, (uint64_t)1000215216 * 512);
    }
}

TEST(AtaDriveIsTheDisk, ItsSectorsMakeTheBlockDevicesSize) {
    const uint64_t kDisk = (uint64_t)1000215216 * 512;
    const struct {
        const char *name;
        uint16_t word83;
        uint64_t sectors48;
        uint32_t sectors28;
        uint64_t diskBytes;
        int same;
    } cases[] = {
        {"48-bit", 0x4400, 1000215216, 0x0FFFFFFF, kDisk, 1},
        {"48-bit, above 2^32 sectors", 0x4400, (uint64_t)1 << 33, 0x0FFFFFFF, (uint64_t)1 << 42, 1},
        {"one sector fewer", 0x4400, 1000215215, 0x0FFFFFFF, kDisk, 0},
        {"another drive behind a controller", 0x4400, 1000215216, 0x0FFFFFFF, kDisk * 2, 0},
        {"28-bit", 0x4000, 0, 16384, 16384 * 512, 1},
        {"word 83 not valid: 28-bit", 0xC400, 1000215216, 16384, kDisk, 0},
        {"no sectors", 0x4400, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t identify[512] = {};
        identify[2 * 83] = (uint8_t)c.word83;
        identify[2 * 83 + 1] = (uint8_t)(c.word83 >> 8);
        for (int i = 0; i < 8; i++) identify[2 * 100 + i] = (uint8_t)(c.sectors48 >> (8 * i));
        for (int i = 0; i < 4; i++) identify[2 * 60 + i] = (uint8_t)(c.sectors28 >> (8 * i));
        DriveIdentity identity = {};
        DecodeIdentify(identify, &identity);
        EXPECT_EQ(AtaDriveIsTheDisk(&identity, c.diskBytes), c.same);
    }
}

TEST_F(ReadAlignedTest, EveryByteAskedForOrFailure) {
    // 10000 bytes: the last aligned piece holds 1808 of them.
    std::vector<uint8_t> bytes(10000);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = (uint8_t)(i * 7 + i / 251);
    const std::string path = root + "/disk";
    ASSERT_TRUE(WriteBytes(path, 0, bytes.data(), bytes.size()));
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const struct {
        int64_t position;
        uint32_t size;
        int ok;
    } cases[] = {
        {0, 512, 1},
        {100, 8000, 1},     // unaligned, across two pieces
        {9000, 1000, 1},    // to the last byte
        {9000, 1001, 0},    // one byte past it: fewer than skip + size arrive
        {8192, 1809, 0},
        {10000, 1, 0},
        {12288, 512, 0},
        {-512, 512, 0},
        {4095, 2, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.position) + " " + std::to_string(c.size));
        std::vector<uint8_t> buffer(c.size, 0xEE);
        ASSERT_EQ(LinuxReadAligned(fd, c.position, buffer.data(), c.size), c.ok);
        if (c.ok) {
            EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + c.position));
        }
    }
    close(fd);
}

std::vector<std::pair<uint64_t, uint64_t>> sent;
size_t failAt = 0;  // the N-th piece fails (1-based; 0 never)

int Collect(void *, uint64_t start, uint64_t length) {
    sent.push_back({start, length});
    return sent.size() != failAt;
}

TEST(PlanDiscards, JoinedAlignedInwardsAndCut) {
    const uint64_t kMiB = 1 << 20;
    const struct {
        const char *name;
        std::vector<TrimRange> ranges;
        uint64_t maxBytes, unit;
        size_t failAt;
        int result;
        std::vector<std::pair<uint64_t, uint64_t>> pieces;
    } cases[] = {
        {"touching ranges join", {{8, 8}, {16, 8}, {40, 8}}, kMiB, 512, 0, 1, {{4096, 8192}, {20480, 4096}}},
        {"cut at the limit", {{0, 65528}, {65528, 6152}}, 16 * kMiB, 4096, 0, 1,
         {{0, 16 * kMiB}, {16 * kMiB, 16 * kMiB}, {32 * kMiB, 3 * kMiB}}},
        {"limit rounded down to whole units", {{0, 64}}, 12288 + 100, 8192, 0, 1,
         {{0, 8192}, {8192, 8192}, {16384, 8192}, {24576, 8192}}},
        {"64 KiB granules inwards", {{8, 264}}, kMiB, 65536, 0, 1, {{65536, 65536}}},
        {"no whole granule", {{8, 120}}, kMiB, 65536, 0, 1, {}},
        {"4096-byte sectors", {{8, 8}}, kMiB, 4096, 0, 1, {{4096, 4096}}},
        {"limit below one unit", {{0, 64}}, 4095, 4096, 0, 0, {}},
        {"no discard at all", {{0, 64}}, 0, 512, 0, 0, {}},
        {"a failure stops the walk", {{0, 64}, {128, 8}}, 8192, 512, 2, 0, {{0, 8192}, {8192, 8192}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sent.clear();
        failAt = c.failAt;
        EXPECT_EQ(PlanDiscards(c.ranges.data(), (uint32_t)c.ranges.size(), c.maxBytes, c.unit, Collect, nullptr),
                  c.result);
        EXPECT_EQ(sent, c.pieces);
    }
}

TEST_F(ReadAlignedTest, TheDiskIsReadPastAStalePageCache) {
    // The disk's page cache holds what another opener read before the blocks
    // changed underneath (here: written to the loop device's backing file);
    // the bitmap must come from the blocks.
    if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    const std::string path = root + "/backing";
    std::vector<uint8_t> before(1 << 20, 0xAA), after(4096, 0x55);
    ASSERT_TRUE(WriteBytes(path, 0, before.data(), before.size()));
    ToolRun attached = RunTool({"losetup", "--find", "--show", path});
    if (attached.status != 0) GTEST_SKIP() << "no loop device can be set up here: " << attached.err;
    const std::string loop = attached.out.substr(0, attached.out.find('\n'));
    int cached = open(loop.c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t buffer[4096];
    EXPECT_EQ(pread(cached, buffer, sizeof buffer, 0), (ssize_t)sizeof buffer);
    ASSERT_TRUE(WriteBytes(path, 0, after.data(), after.size()));
    struct stat info;
    ASSERT_EQ(stat(loop.c_str(), &info), 0);
    SysfsDisk disk = {};
    DeviceHandle drive = LinuxOpenDisk(loop.c_str(), major(info.st_rdev), minor(info.st_rdev), &disk);
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(LinuxOpenDisk(path.c_str(), major(info.st_rdev), minor(info.st_rdev), &disk), nullptr)
        << "not a block device";
    ASSERT_EQ(BindingReadAt(drive, 100, buffer, 512), 1);
    EXPECT_EQ(buffer[0], 0x55);
    EXPECT_EQ(buffer[511], 0x55);
    BindingClose(drive);
    close(cached);
    RunTool({"losetup", "--detach", loop});
}

}  // namespace
