// Free-space trimming on crafted volumes: which blocks go to the drive, in
// which chunks, and what the progress sink hears.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <set>
#include <vector>

#include "host_fixture.h"

namespace {

struct Command {
    uint64_t lba;
    uint32_t blocks;
    bool operator==(const Command &o) const { return lba == o.lba && blocks == o.blocks; }
};

struct SinkCall {
    uint32_t first;
    uint32_t count;
    size_t commandsBefore;  // commands the drive had accepted when the sink ran
    bool operator==(const SinkCall &o) const {
        return first == o.first && count == o.count && commandsBefore == o.commandsBefore;
    }
};

std::ostream &operator<<(std::ostream &out, const Command &c) {
    return out << "(lba " << c.lba << ", " << c.blocks << ")";
}
std::ostream &operator<<(std::ostream &out, const SinkCall &c) {
    return out << "(" << c.first << ", " << c.count << " after " << c.commandsBefore << ")";
}

// The sink has no context argument; one test runs at a time per process.
std::vector<Command> *gCommands;
std::vector<SinkCall> *gSinkCalls;

void ObserveCommand(void *, uint64_t lba, uint32_t blocks) { gCommands->push_back({lba, blocks}); }

void RecordSink(TrimVolume *, uint32_t first, uint32_t count) {
    gSinkCalls->push_back({first, count, gCommands->size()});
}

std::vector<uint8_t> AllUsed(int64_t clusters) { return std::vector<uint8_t>((size_t)(clusters / 8), 0xFF); }

class Trim : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        gCommands = &commands;
        gSinkCalls = &sinkCalls;
        HostObserveTrim(ObserveCommand, 0);
    }
    void TearDown() override {
        ReleaseTrimVolume(volume);
        EXPECT_NOTHING_LEFT();
        HostTest::TearDown();
    }

    // Opens a crafted volume; trimming is a dry run unless asked otherwise.
    void Open(uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t clusters,
              const std::vector<uint8_t> &bitmap, int64_t partitionOffset, int dryRun = 1) {
        BuildVolume(&crafted, StandardGeometry(bytesPerSector, sectorsPerCluster, clusters), bitmap);
        ASSERT_NE(Attach(crafted, partitionOffset), nullptr);
        HostDrive()->dryRun = dryRun;
        ASSERT_EQ(OpenTrimVolume('Q', &volume, 0), kOpenOk);
        ASSERT_EQ(volume->totalClusters, clusters);
    }

    // Sink calls as the chunking should make them: one per command, with
    // the command's own cluster and length, just before it.
    std::vector<SinkCall> SinkCallsOf(const std::vector<Command> &sent) {
        std::vector<SinkCall> calls;
        for (size_t i = 0; i < sent.size(); i++) {
            int64_t inVolume = (int64_t)sent[i].lba * 512 - volume->partitionOffset;
            calls.push_back({(uint32_t)(inVolume / volume->bytesPerCluster),
                             (uint32_t)(sent[i].blocks * 512 / volume->bytesPerCluster), i});
        }
        return calls;
    }

    CraftedVolume crafted;
    TrimVolume *volume = nullptr;
    std::vector<Command> commands;
    std::vector<SinkCall> sinkCalls;
};

}  // namespace

TEST_F(Trim, DriveWithoutTrimGetsNoCommand) {
    std::vector<uint8_t> bitmap(64, 0x00);
    HostDrive()->trimSupported = 0;
    Open(512, 8, 512, bitmap, 0);
    EXPECT_EQ(volume->trimSupported, 0);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 0);
    EXPECT_TRUE(sinkCalls.empty());
    EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
    EXPECT_EQ(HostCountersNow()->malformedRequests, 0u);
}

TEST_F(Trim, FullVolumeNeedsNoCommand) {
    Open(512, 8, 512, AllUsed(512), 0);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    EXPECT_TRUE(sinkCalls.empty());
    EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
}

TEST_F(Trim, OnlyWholeAlignedBlocksOfLongEnoughRuns) {
    // 1 KiB clusters: 0-2 free, 3 used, 4-7 free, 8 used.
    std::vector<uint8_t> bitmap = AllUsed(64);
    MarkClusters(&bitmap, 0, 3, 0);
    MarkClusters(&bitmap, 4, 4, 0);
    // 18-21 free: four clusters, enough by count, but across a 4096-byte
    // boundary (18 KiB to 22 KiB) holding no whole block.
    MarkClusters(&bitmap, 18, 4, 0);
    Open(512, 2, 64, bitmap, 0);
    EXPECT_EQ(volume->minRunClusters, 4u);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    EXPECT_EQ(commands, (std::vector<Command>{{8, 8}}));
    EXPECT_EQ(sinkCalls, (std::vector<SinkCall>{{4, 4, 0}}));

    // The same straddling run asked for directly, and an empty one.
    EXPECT_EQ(TrimClusterRange(volume, 18, 4, RecordSink), 1);
    EXPECT_EQ(TrimClusterRange(volume, 40, 0, RecordSink), 1);
    EXPECT_EQ(commands.size(), 1u);
    EXPECT_EQ(sinkCalls.size(), 1u);
}

TEST_F(Trim, RunThatEndsWithTheBitmap) {
    // 512-byte clusters need 8 in a row; seven at the end are not enough.
    std::vector<uint8_t> bitmap = AllUsed(128);
    MarkClusters(&bitmap, 121, 7, 0);
    Open(512, 1, 128, bitmap, 0);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    EXPECT_TRUE(commands.empty());
    ReleaseTrimVolume(volume);
    volume = nullptr;

    MarkClusters(&bitmap, 120, 1, 0);
    Open(512, 1, 128, bitmap, 0);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    EXPECT_EQ(commands, (std::vector<Command>{{120, 8}}));
    EXPECT_EQ(sinkCalls, (std::vector<SinkCall>{{120, 8, 0}}));
}

TEST_F(Trim, VolumeStartingAtSector63) {
    // 4 KiB clusters 3584 bytes off the disk's 4096-byte grid: a single
    // free cluster holds no whole block, two hold exactly one.
    std::vector<uint8_t> bitmap = AllUsed(256);
    MarkClusters(&bitmap, 10, 1, 0);
    MarkClusters(&bitmap, 20, 2, 0);
    Open(512, 8, 256, bitmap, 63 * 512);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    // Cluster 20 starts at byte 63 * 512 + 20 * 4096; the block at 4096 * 28
    // begins inside it and ends inside cluster 21.
    EXPECT_EQ(commands, (std::vector<Command>{{28 * 8, 8}}));
    EXPECT_EQ(sinkCalls, (std::vector<SinkCall>{{20, 1, 0}}));
}

TEST_F(Trim, LongRunsGoOutInChunksOf4096Blocks) {
    // 1 MiB into the disk: 1024 clusters of 4 KiB are 8192 blocks, 513 are 4104.
    std::vector<uint8_t> bitmap = AllUsed(4096);
    MarkClusters(&bitmap, 100, 1024, 0);
    MarkClusters(&bitmap, 2000, 513, 0);
    Open(512, 8, 4096, bitmap, 1 << 20);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    const uint64_t base = (1 << 20) / 512;
    EXPECT_EQ(commands, (std::vector<Command>{{base + 800, 4096},
                                              {base + 800 + 4096, 4096},
                                              {base + 16000, 4096},
                                              {base + 16000 + 4096, 8}}));
    EXPECT_EQ(sinkCalls, (std::vector<SinkCall>{{100, 512, 0}, {612, 512, 1}, {2000, 512, 2}, {2512, 1, 3}}));
    EXPECT_EQ(HostCountersNow()->trimmedBytes, (uint64_t)(1024 + 513) * 4096);
}

TEST_F(Trim, SinkCountsClustersFromBytesWhateverTheSectorSize) {
    // 4096-byte sectors, one per cluster: a full chunk is still 2 MiB, 512
    // clusters (not 4096 / sectorsPerCluster = 4096).
    std::vector<uint8_t> bitmap = AllUsed(4096);
    MarkClusters(&bitmap, 1000, 513, 0);
    Open(4096, 1, 4096, bitmap, 0);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    EXPECT_EQ(commands, (std::vector<Command>{{8000, 4096}, {8000 + 4096, 8}}));
    EXPECT_EQ(sinkCalls, (std::vector<SinkCall>{{1000, 512, 0}, {1512, 1, 1}}));
}

TEST_F(Trim, ThirdCommandFailingEndsTheRun) {
    std::vector<uint8_t> bitmap = AllUsed(4096);
    for (uint32_t run = 0; run < 5; run++) MarkClusters(&bitmap, 100 + 10 * run, 2, 0);
    HostDrive()->failTrimAt = 3;
    Open(512, 8, 4096, bitmap, 0);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 0);
    EXPECT_EQ(sinkCalls, (std::vector<SinkCall>{{100, 2, 0}, {110, 2, 1}, {120, 2, 2}}));
    EXPECT_EQ(commands.size(), 2u);
    EXPECT_EQ(HostCountersNow()->trimCommands, 3u);

    // Within one long run the chunk after the failed one is not sent either.
    commands.clear();
    sinkCalls.clear();
    HostCountersNow()->trimCommands = 0;
    EXPECT_EQ(TrimClusterRange(volume, 1000, 5 * 512, RecordSink), 0);
    EXPECT_EQ(sinkCalls.size(), 3u);
    EXPECT_EQ(commands.size(), 2u);
}

// The blocks sent must be exactly the 4096-byte blocks of the disk that
// lie wholly on free clusters of the scanned part of the volume, each sent
// once, in chunks of at most 4096 blocks, each announced to the sink.
TEST_F(Trim, RandomBitmapsTrimExactlyTheFreeBlocks) {
    struct Shape {
        uint32_t bytesPerSector, sectorsPerCluster;
        int64_t clusters;
    };
    const Shape shapes[] = {{512, 1, 16384}, {512, 2, 8192}, {512, 4, 8192}, {512, 8, 8192},
                            {512, 16, 2048}, {256, 1, 16384}, {4096, 1, 4096}, {1024, 64, 256}};
    const int64_t offsets[] = {0, 63 * 512, 1 << 20, 7 * 512};
    std::mt19937 random(4242);
    for (const Shape &shape : shapes) {
        for (int64_t offset : offsets) {
            SCOPED_TRACE(testing::Message() << shape.bytesPerSector << "x" << shape.sectorsPerCluster
                                            << " at " << offset);
            std::vector<uint8_t> bitmap(shape.clusters / 8);
            std::geometric_distribution<uint32_t> runLength(1.0 / 40);
            int used = 1;
            for (int64_t c = 0; c < shape.clusters;) {
                uint32_t length = 1 + runLength(random) * (used ? 1 : (random() % 2 ? 1 : 30));
                MarkClusters(&bitmap, c, std::min<int64_t>(length, shape.clusters - c), used);
                c += length;
                used = !used;
            }
            commands.clear();
            sinkCalls.clear();
            Open(shape.bytesPerSector, shape.sectorsPerCluster, shape.clusters, bitmap, offset);
            ASSERT_EQ(TrimFreeSpace(volume, RecordSink), 1);

            const int64_t bytesPerCluster = shape.bytesPerSector * shape.sectorsPerCluster;
            std::set<int64_t> expected;
            for (int64_t block = (offset + 4095) / 4096 * 4096;
                 block + 4096 <= offset + shape.clusters * bytesPerCluster; block += 4096) {
                int64_t firstCluster = (block - offset) / bytesPerCluster;
                int64_t lastCluster = (block + 4095 - offset) / bytesPerCluster;
                bool free = true;
                for (int64_t c = firstCluster; c <= lastCluster && free; c++) free = !(bitmap[c / 8] >> (c % 8) & 1);
                if (free) expected.insert(block);
            }
            std::set<int64_t> sent;
            uint64_t previousEnd = 0;
            for (const Command &command : commands) {
                ASSERT_GE(command.lba, previousEnd);
                ASSERT_TRUE(command.blocks >= 8 && command.blocks <= 4096 && command.blocks % 8 == 0);
                for (uint32_t b = 0; b < command.blocks; b += 8) sent.insert((int64_t)(command.lba + b) * 512);
                previousEnd = command.lba + command.blocks;
            }
            EXPECT_EQ(sent, expected);
            EXPECT_EQ(sinkCalls, SinkCallsOf(commands));
            ReleaseTrimVolume(volume);
            volume = nullptr;
            HostReset();
            HostObserveTrim(ObserveCommand, 0);
        }
    }
}

// A real (not dry) run: free blocks read back zeros, every used cluster
// keeps its bytes, and the volume still opens afterwards.
TEST_F(Trim, TrimmingLeavesUsedClustersIntact) {
    const int64_t clusters = 2048;
    const int64_t offset = 63 * 512;
    std::vector<uint8_t> bitmap(clusters / 8, 0);
    std::mt19937 random(99);
    for (int64_t c = 0; c < clusters; c++) {
        if (random() % 3 == 0) MarkClusters(&bitmap, c, 1, 1);
    }
    CraftedGeometry geometry = StandardGeometry(512, 2, clusters);
    MarkClusters(&bitmap, 0, geometry.bitmapCluster + 1, 1);  // boot sector, MFT, bitmap
    BuildVolume(&crafted, geometry, bitmap);
    ASSERT_NE(Attach(crafted, offset), nullptr);

    // Every cluster past the metadata holds its own pattern.
    const int64_t bytesPerCluster = 1024;
    int fd = open(imagePath.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> cluster(bytesPerCluster);
    for (int64_t c = geometry.bitmapCluster + 1; c < clusters; c++) {
        memset(cluster.data(), (int)(c % 251) + 1, cluster.size());
        ASSERT_EQ(pwrite(fd, cluster.data(), cluster.size(), offset + c * bytesPerCluster), bytesPerCluster);
    }

    ASSERT_EQ(OpenTrimVolume('Q', &volume, 1), kOpenOk);
    EXPECT_EQ(HostCountersNow()->locksTaken, 1u);
    EXPECT_EQ(TrimFreeSpace(volume, 0), 1);
    EXPECT_GT(commands.size(), 0u);
    ReleaseTrimVolume(volume);
    volume = nullptr;

    uint64_t zeroedBytes = 0;
    for (int64_t c = geometry.bitmapCluster + 1; c < clusters; c++) {
        ASSERT_EQ(pread(fd, cluster.data(), cluster.size(), offset + c * bytesPerCluster), bytesPerCluster);
        bool used = bitmap[c / 8] >> (c % 8) & 1;
        for (int64_t i = 0; i < bytesPerCluster; i += 512) {
            uint8_t expected = (uint8_t)(c % 251 + 1);
            if (cluster[i] == 0) {
                ASSERT_FALSE(used) << "used cluster " << c << " was trimmed";
                zeroedBytes += 512;
            } else {
                ASSERT_EQ(cluster[i], expected) << "cluster " << c;
            }
        }
    }
    close(fd);
    EXPECT_EQ(zeroedBytes, HostCountersNow()->trimmedBytes);
    ASSERT_EQ(OpenTrimVolume('Q', &volume, 0), kOpenOk);
}
