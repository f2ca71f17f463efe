// Free-space trimming on crafted volumes: which blocks go to the drive, in
// which commands, and what the progress sink and the observer hear.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "host_fixture.h"
#include "ntfs_volumes.h"

namespace {

struct SinkCall {
    uint32_t first;
    uint32_t count;
    size_t commandsBefore;  // commands the observer had heard of when the sink ran
    bool operator==(const SinkCall &o) const {
        return first == o.first && count == o.count && commandsBefore == o.commandsBefore;
    }
};

std::ostream &operator<<(std::ostream &out, const SinkCall &c) {
    return out << "(" << c.first << ", " << c.count << " after " << c.commandsBefore << ")";
}

std::vector<uint8_t> AllUsed(int64_t clusters) { return std::vector<uint8_t>((size_t)(clusters / 8), 0xFF); }

class Trim : public HostTest {
protected:
    void TearDown() override {
        ReleaseTrimVolume(volume);
        EXPECT_NOTHING_LEFT();
        HostTest::TearDown();
    }

    // Opens a crafted volume. The bitmap on the volume is crafted.bitmap:
    // `bitmap` with the metadata marked in use.
    void Open(uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t clusters,
              const std::vector<uint8_t> &bitmap, int64_t partitionOffset) {
        BuildVolume(&crafted, StandardGeometry(bytesPerSector, sectorsPerCluster, clusters), bitmap);
        ASSERT_NE(Attach(crafted, partitionOffset), nullptr);
        ASSERT_EQ(OpenTrimVolume('Q', &volume, 0), kOpenOk);
        ASSERT_EQ(volume->totalClusters, clusters);
    }

    void Close() {
        ReleaseTrimVolume(volume);
        volume = nullptr;
        HostReset();
        commands.clear();
        rangesPerCommand.clear();
        sinkCalls.clear();
    }

    // Runs with these limits (all zero: the Windows programs' commands).
    int Run(TrimLimits limits = {}, int dryRun = 0) {
        TrimRunOptions options = {};
        options.progress = [](void *context, TrimVolume *, uint32_t first, uint32_t count) {
            Trim *test = (Trim *)context;
            test->sinkCalls.push_back({first, count, test->rangesPerCommand.size()});
        };
        options.progressContext = this;
        options.observer = [](void *context, const TrimRange *ranges, uint32_t count, int accepted) {
            Trim *test = (Trim *)context;
            if (!accepted) return 1;
            for (uint32_t i = 0; i < count; i++) test->commands.push_back({ranges[i].lba, ranges[i].blockCount});
            test->rangesPerCommand.push_back(count);
            return test->stopAfter == 0 || test->rangesPerCommand.size() < test->stopAfter ? 1 : 0;
        };
        options.observerContext = this;
        options.dryRun = dryRun;
        options.limits = limits;
        return TrimFreeSpaceWith(volume, &options, &report);
    }

    // What the drive itself accepted.
    std::vector<TrimCommand> DriveRanges() {
        uint32_t count = 0;
        const TrimRange *ranges = HostTrimmedRanges(&count);
        std::vector<TrimCommand> list;
        for (uint32_t i = 0; i < count; i++) list.push_back({ranges[i].lba, ranges[i].blockCount});
        return list;
    }

    // One sink call before each command: its first range's cluster and the
    // clusters to the end of its last range.
    std::vector<SinkCall> SinkCallsOf(const std::vector<TrimCommand> &sent, const std::vector<uint32_t> &perCommand) {
        std::vector<SinkCall> calls;
        size_t at = 0;
        for (size_t i = 0; i < perCommand.size(); i++) {
            const TrimCommand &first = sent[at];
            const TrimCommand &last = sent[at + perCommand[i] - 1];
            int64_t start = (int64_t)first.lba * 512 - volume->partitionOffset;
            int64_t end = (int64_t)(last.lba + last.blocks) * 512 - volume->partitionOffset;
            // A command inside one large cluster still counts it.
            const uint32_t clusters = (uint32_t)((end - start) / volume->bytesPerCluster);
            calls.push_back({(uint32_t)(start / volume->bytesPerCluster), std::max(clusters, 1u), i});
            at += perCommand[i];
        }
        return calls;
    }

    CraftedVolume crafted;
    TrimVolume *volume = nullptr;
    TrimRunReport report;
    std::vector<TrimCommand> commands;      // ranges of accepted commands, in order
    std::vector<uint32_t> rangesPerCommand; // of accepted commands
    std::vector<SinkCall> sinkCalls;
    size_t stopAfter = 0;                   // the observer stops the run after this many commands
};

}  // namespace

TEST_F(Trim, NoCommandWithoutTrimOrFreeSpace) {
    const struct {
        const char *what;
        int rejectPassThrough, trimSupported, full, result;
        TrimRunOutcome outcome;
    } cases[] = {
        {"no TRIM bit", 0, 0, 0, 0, kTrimNotSupported},
        {"pass-through rejected", 1, 1, 0, 0, kTrimNotSupported},
        {"full volume", 0, 1, 1, 1, kTrimDone},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HostDrive()->rejectPassThrough = c.rejectPassThrough;
        HostDrive()->trimSupported = c.trimSupported;
        Open(512, 8, 512, std::vector<uint8_t>(64, c.full ? 0xFF : 0x00), 0);
        EXPECT_EQ(volume->trimSupported, c.result);
        EXPECT_EQ(TrimFreeSpace(volume, nullptr), c.result);
        EXPECT_EQ(Run({65535, 64}), c.result);
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_EQ(report.commandsSent, 0u);
        EXPECT_TRUE(sinkCalls.empty());
        EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
        EXPECT_EQ(HostCountersNow()->malformedRequests, 0u);
        Close();
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
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(commands, (std::vector<TrimCommand>{{40, 8}}));
    EXPECT_EQ(sinkCalls, (std::vector<SinkCall>{{20, 4, 0}}));
    EXPECT_EQ(report.commandsSent, 1u);
    EXPECT_EQ(report.blocksTrimmed, 8u);
    EXPECT_EQ(HostCountersNow()->trimCommands, 1u);
}

TEST_F(Trim, FailuresEndTheRunAndSayWhere) {
    std::vector<uint8_t> bitmap = AllUsed(4096);
    for (uint32_t run = 0; run < 5; run++) MarkClusters(&bitmap, 100 + 10 * run, 2, 0);
    HostDrive()->failTrimAt = 3;
    Open(512, 8, 4096, bitmap, 0);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(sinkCalls, (std::vector<SinkCall>{{100, 2, 0}, {110, 2, 1}, {120, 2, 2}}));
    EXPECT_EQ(commands.size(), 2u);
    EXPECT_EQ(HostCountersNow()->trimCommands, 3u);
    EXPECT_EQ(report.outcome, kTrimRefused);
    EXPECT_EQ(report.commandsSent, 3u);
    EXPECT_EQ(report.failedCommand, 3u);
    EXPECT_EQ(report.failedRange.lba, 120u * 8);
    EXPECT_EQ(report.failedRange.blockCount, 16u);
    EXPECT_EQ(report.blocksTrimmed, 32u);

    // Within one long run the chunk after the failed one is not sent either.
    Close();
    std::vector<uint8_t> longRun = AllUsed(4096);
    MarkClusters(&longRun, 1000, 5 * 512, 0);
    HostDrive()->failTrimAt = 3;
    Open(512, 8, 4096, longRun, 0);
    EXPECT_EQ(TrimFreeSpace(volume, nullptr), 0);
    EXPECT_EQ(HostCountersNow()->trimCommands, 3u);

    // A request that never reaches the drive, and an observer that stops.
    const struct {
        const char *what;
        int reject;
        size_t stopAfter;
        TrimRunOutcome outcome;
        uint32_t sent, failedCommand;
    } cases[] = {
        {"pass-through fails", 1, 0, kTrimPassThroughFailed, 0, 1},
        {"observer stops", 0, 2, kTrimStopped, 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HostCountersNow()->trimCommands = 0;
        HostDrive()->failTrimAt = 0;
        HostDrive()->rejectPassThrough = c.reject;
        commands.clear();
        rangesPerCommand.clear();
        stopAfter = c.stopAfter;
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_EQ(report.commandsSent, c.sent);
        EXPECT_EQ(report.failedCommand, c.failedCommand);
        EXPECT_EQ(HostCountersNow()->trimCommands, c.sent);
    }
}

// The blocks sent must be exactly the 4096-byte blocks of the disk that
// lie wholly on free clusters of the scanned part of the volume, each sent
// once, in ascending ranges within the limits, each command announced to
// the sink. The Windows programs' commands (no limits given) and the drive's
// own limits alike; a dry run tells the same commands and sends none.
TEST_F(Trim, RandomBitmapsTrimExactlyTheFreeBlocks) {
    struct Shape {
        uint32_t bytesPerSector, sectorsPerCluster;
        int64_t clusters;
    };
    const Shape shapes[] = {{512, 1, 16384}, {512, 2, 8192}, {512, 4, 8192}, {512, 8, 8192},
                            {512, 16, 2048}, {256, 1, 16384}, {4096, 1, 4096}, {1024, 64, 256},
                            // 128 KiB and 2 MiB, as Windows 10 formats them (0xF8, 0xF4, 0xF7).
                            {512, 256, 512},  {512, 4096, 64},  {4096, 512, 64}};
    const int64_t offsets[] = {0, 63 * 512, 1 << 20, 7 * 512};
    const struct {
        TrimLimits limits;
        int dryRun;
        uint32_t maxBlocks, maxRanges;
    } runs[] = {
        {{0, 0}, 0, 4096, 1},        // the Windows programs
        {{65535, 128}, 0, 65528, 128}, // two blocks of range entries
        {{13, 3}, 0, 8, 3},          // tiny limits: every run cut
        {{1000, 1}, 1, 1000, 1},     // a dry run
    };
    std::mt19937 random(4242);
    for (const Shape &shape : shapes) {
        for (int64_t offset : offsets) {
            std::vector<uint8_t> bitmap(shape.clusters / 8);
            std::geometric_distribution<uint32_t> runLength(1.0 / 40);
            int used = 1;
            for (int64_t c = 0; c < shape.clusters;) {
                uint32_t length = 1 + runLength(random) * (used ? 1 : (random() % 2 ? 1 : 30));
                MarkClusters(&bitmap, c, std::min<int64_t>(length, shape.clusters - c), used);
                c += length;
                used = !used;
            }
            for (const auto &run : runs) {
                SCOPED_TRACE(testing::Message() << shape.bytesPerSector << "x" << shape.sectorsPerCluster << " at "
                                                << offset << ", limits " << run.limits.blocksPerRange << "/"
                                                << run.limits.rangesPerCommand);
                Open(shape.bytesPerSector, shape.sectorsPerCluster, shape.clusters, bitmap, offset);
                ASSERT_EQ(Run(run.limits, run.dryRun), 1);
                EXPECT_EQ(report.outcome, kTrimDone);

                const uint32_t bytesPerCluster = shape.bytesPerSector * shape.sectorsPerCluster;
                EXPECT_EQ(TrimmedSpans(commands),
                          TrimmedSpans(ReferenceTrimCommands(crafted.bitmap, crafted.bitmap.size(), bytesPerCluster,
                                                             offset)));
                uint64_t previousEnd = 0, blocks = 0;
                for (const TrimCommand &range : commands) {
                    ASSERT_GE(range.lba, previousEnd);
                    ASSERT_TRUE(range.lba % 8 == 0 && range.blocks >= 8 && range.blocks <= run.maxBlocks &&
                                range.blocks % 8 == 0);
                    previousEnd = range.lba + range.blocks;
                    blocks += range.blocks;
                }
                for (uint32_t count : rangesPerCommand) ASSERT_TRUE(count >= 1 && count <= run.maxRanges);
                EXPECT_EQ(report.commandsSent, rangesPerCommand.size());
                EXPECT_EQ(report.rangesSent, commands.size());
                EXPECT_EQ(report.blocksTrimmed, blocks);
                EXPECT_EQ(sinkCalls, SinkCallsOf(commands, rangesPerCommand));
                EXPECT_EQ(DriveRanges(), run.dryRun ? std::vector<TrimCommand>{} : commands);
                if (run.limits.blocksPerRange == 0) {
                    // The Windows programs' entry sends the very same commands.
                    const size_t before = DriveRanges().size();
                    ASSERT_EQ(TrimFreeSpace(volume, nullptr), 1);
                    const std::vector<TrimCommand> again = DriveRanges();
                    EXPECT_EQ(std::vector<TrimCommand>(again.begin() + before, again.end()), commands);
                    EXPECT_EQ(HostCountersNow()->trimCommands, 2 * rangesPerCommand.size());
                }
                EXPECT_EQ(HostCountersNow()->malformedRequests, 0u);
                Close();
            }
        }
    }
}
