// ScanFreeRuns skips whole words of used or free clusters; it must find
// exactly the runs that the bit-by-bit walk finds.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "free_runs.h"
#include "reference_scan.h"

namespace {

struct FreeRun {
    uint32_t first;
    uint32_t count;
    bool operator==(const FreeRun &other) const { return first == other.first && count == other.count; }
};

struct Recorder {
    std::vector<FreeRun> runs;
    size_t stopAfter = SIZE_MAX;  // the visitor says stop after this many runs
};

int Record(void *context, uint32_t first, uint32_t count) {
    Recorder *recorder = (Recorder *)context;
    recorder->runs.push_back({first, count});
    return recorder->runs.size() < recorder->stopAfter;
}

std::ostream &operator<<(std::ostream &out, const FreeRun &run) {
    return out << "(" << run.first << ", " << run.count << ")";
}

// Both scans over the same bitmap; their results and runs must agree.
void ExpectSameRuns(const std::vector<uint8_t> &bitmap, uint32_t byteCount, uint32_t minRun,
                    size_t stopAfter = SIZE_MAX) {
    Recorder fast, slow;
    fast.stopAfter = slow.stopAfter = stopAfter;
    int fastResult = ScanFreeRuns(bitmap.data(), byteCount, minRun, Record, &fast);
    int slowResult = ReferenceFreeRuns(bitmap.data(), byteCount, minRun, Record, &slow);
    ASSERT_EQ(fastResult, slowResult);
    ASSERT_EQ(fast.runs, slow.runs);
}

// Clusters used with probability `density`, in runs of geometric length.
std::vector<uint8_t> RandomBitmap(std::mt19937 &random, uint32_t bytes, double density, double meanRun) {
    std::vector<uint8_t> bitmap(bytes, 0);
    std::bernoulli_distribution used(density);
    std::geometric_distribution<uint32_t> length(1.0 / meanRun);
    uint64_t cluster = 0;
    while (cluster < (uint64_t)bytes * 8) {
        bool set = used(random);
        uint64_t end = cluster + 1 + length(random);
        for (; cluster < end && cluster < (uint64_t)bytes * 8; cluster++) {
            if (set) bitmap[cluster >> 3] |= (uint8_t)(1u << (cluster & 7));
        }
    }
    return bitmap;
}

}  // namespace

TEST(ScanFreeRuns, MatchesTheBitByBitWalkOnRandomBitmaps) {
    std::mt19937 random(20240611);
    const uint32_t sizes[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 63, 64, 65, 127, 200, 1001, 4099};
    const double densities[] = {0.0, 0.05, 0.5, 0.95, 1.0};
    const double meanRuns[] = {1.0, 3.0, 40.0, 700.0};
    for (uint32_t size : sizes) {
        for (double density : densities) {
            for (double meanRun : meanRuns) {
                std::vector<uint8_t> bitmap = RandomBitmap(random, size + 8, density, meanRun);
                // The scan must not look past byteCount: the bytes after it
                // differ from run to run.
                for (uint32_t minRun : {1u, 2u, 4u, 8u}) {
                    for (uint32_t byteCount : {size, size > 3 ? size - 3 : 0u}) {
                        SCOPED_TRACE(testing::Message() << "size " << byteCount << " density " << density
                                                        << " mean run " << meanRun << " minRun " << minRun);
                        ExpectSameRuns(bitmap, byteCount, minRun);
                        bitmap[byteCount] ^= 0xFF;
                        ExpectSameRuns(bitmap, byteCount, minRun);
                    }
                }
            }
        }
    }
}

TEST(ScanFreeRuns, RunsAtTheEnds) {
    // 200 bytes: free at the very start and at the very end, with word and
    // byte boundaries in between.
    std::vector<uint8_t> bitmap(200, 0xFF);
    bitmap[0] = 0x00;
    bitmap[1] = 0xF0;   // clusters 0..11 free
    bitmap[7] = 0x7F;   // cluster 63 free, alone before a word boundary
    bitmap[8] = 0xFE;   // cluster 64 free: the run is 63..64, across words
    bitmap[199] = 0x80 ^ 0xFF;  // cluster 1599 free: ends with the bitmap
    ExpectSameRuns(bitmap, 200, 1);
    Recorder recorder;
    EXPECT_EQ(ScanFreeRuns(bitmap.data(), 200, 1, Record, &recorder), 1);
    EXPECT_EQ(recorder.runs, (std::vector<FreeRun>{{0, 12}, {63, 2}, {1599, 1}}));

    recorder.runs.clear();
    EXPECT_EQ(ScanFreeRuns(bitmap.data(), 200, 2, Record, &recorder), 1);
    EXPECT_EQ(recorder.runs, (std::vector<FreeRun>{{0, 12}, {63, 2}}));

    // A bitmap free throughout is one run; a full one none; none at all for 0 bytes.
    std::vector<uint8_t> empty(4097, 0x00), full(4097, 0xFF);
    recorder.runs.clear();
    ScanFreeRuns(empty.data(), 4097, 8, Record, &recorder);
    EXPECT_EQ(recorder.runs, (std::vector<FreeRun>{{0, 4097 * 8}}));
    recorder.runs.clear();
    ScanFreeRuns(full.data(), 4097, 1, Record, &recorder);
    ScanFreeRuns(empty.data(), 0, 1, Record, &recorder);
    EXPECT_TRUE(recorder.runs.empty());
}

TEST(ScanFreeRuns, StopsWhenTheVisitorSaysSo) {
    // Short runs (many edges a word) and longer ones (a few edges a word,
    // more than a batch of them in all).
    std::mt19937 random(7);
    for (double meanRun : {2.0, 40.0}) {
        std::vector<uint8_t> bitmap = RandomBitmap(random, 8192, 0.5, meanRun);
        Recorder all;
        ScanFreeRuns(bitmap.data(), 8192, 1, Record, &all);
        ASSERT_GT(all.runs.size(), 300u);
        for (size_t stop : {(size_t)1, (size_t)2, (size_t)129, (size_t)130, all.runs.size() / 2, all.runs.size()}) {
            SCOPED_TRACE(testing::Message() << "mean run " << meanRun << " stop after " << stop);
            Recorder recorder;
            recorder.stopAfter = stop;
            EXPECT_EQ(ScanFreeRuns(bitmap.data(), 8192, 1, Record, &recorder), 0);
            EXPECT_EQ(recorder.runs.size(), stop);
            ExpectSameRuns(bitmap, 8192, 1, stop);
        }
    }
}
