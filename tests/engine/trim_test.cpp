// Free-space trimming on crafted volumes: which blocks go to the drive, in
// which chunks, and what the progress sink hears.
#include <gtest/gtest.h>

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

int ObserveCommand(void *, uint64_t lba, uint32_t blocks, int accepted) {
    if (accepted) gCommands->push_back({lba, blocks});
    return 1;
}

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

    // Opens a crafted volume; trimming is a dry run. The bitmap on the
    // volume is crafted.bitmap: `bitmap` with the metadata marked in use.
    void Open(uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t clusters,
              const std::vector<uint8_t> &bitmap, int64_t partitionOffset) {
        BuildVolume(&crafted, StandardGeometry(bytesPerSector, sectorsPerCluster, clusters), bitmap);
        ASSERT_NE(Attach(crafted, partitionOffset), nullptr);
        HostDrive()->dryRun = 1;
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

TEST_F(Trim, NoCommandWithoutTrimOrFreeSpace) {
    const struct {
        const char *what;
        int rejectPassThrough, trimSupported, full, result;
    } cases[] = {
        {"no TRIM bit", 0, 0, 0, 0},
        {"pass-through rejected", 1, 1, 0, 0},
        {"full volume", 0, 1, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HostDrive()->rejectPassThrough = c.rejectPassThrough;
        HostDrive()->trimSupported = c.trimSupported;
        Open(512, 8, 512, std::vector<uint8_t>(64, c.full ? 0xFF : 0x00), 0);
        EXPECT_EQ(volume->trimSupported, c.result);
        EXPECT_EQ(TrimFreeSpace(volume, RecordSink), c.result);
        EXPECT_TRUE(sinkCalls.empty());
        EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
        EXPECT_EQ(HostCountersNow()->malformedRequests, 0u);
        ReleaseTrimVolume(volume);
        volume = nullptr;
        HostReset();
    }
}

TEST_F(Trim, OnlyWholeAlignedBlocksOfLongEnoughRuns) {
    // 1 KiB clusters past the metadata: 16-18 free, 19 used, 20-23 free, 24 used.
    std::vector<uint8_t> bitmap = AllUsed(64);
    MarkClusters(&bitmap, 16, 3, 0);
    MarkClusters(&bitmap, 20, 4, 0);
    // 34-37 free: four clusters, enough by count, but across a 4096-byte
    // boundary (34 KiB to 38 KiB) holding no whole block.
    MarkClusters(&bitmap, 34, 4, 0);
    Open(512, 2, 64, bitmap, 0);
    EXPECT_EQ(volume->minRunClusters, 4u);
    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    EXPECT_EQ(commands, (std::vector<Command>{{40, 8}}));
    EXPECT_EQ(sinkCalls, (std::vector<SinkCall>{{20, 4, 0}}));

    // The same straddling run asked for directly, and an empty one.
    EXPECT_EQ(TrimClusterRange(volume, 34, 4, RecordSink), 1);
    EXPECT_EQ(TrimClusterRange(volume, 40, 0, RecordSink), 1);
    EXPECT_EQ(commands.size(), 1u);
    EXPECT_EQ(sinkCalls.size(), 1u);
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
                for (int64_t c = firstCluster; c <= lastCluster && free; c++) {
                    free = !(crafted.bitmap[c / 8] >> (c % 8) & 1);
                }
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
