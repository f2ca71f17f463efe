#include <gtest/gtest.h>

#include <vector>

#include "cluster_cells.h"

namespace {

struct MapResult {
    std::vector<uint8_t> classes = std::vector<uint8_t>(kMapCells, 0xEE);
    uint32_t clustersPerCell = 0;
    uint32_t dataCells = 0;
};

MapResult Classify(const std::vector<uint8_t> &bitmap, int64_t totalClusters) {
    MapResult result;
    result.dataCells = ClassifyBitmap(bitmap.data(), (uint32_t)bitmap.size(), totalClusters,
                                      result.classes.data(), &result.clustersPerCell);
    return result;
}

TEST(ClusterCells, ClustersPerCellGivesEveryGroupACell) {
    EXPECT_EQ(5248u, ClustersPerCell(26214400));  // 5242.88 -> 5243 -> 5248
    EXPECT_EQ(16u, ClustersPerCell(5000));
    EXPECT_EQ(16u, ClustersPerCell(80000));       // exact: all 5000 cells
    EXPECT_EQ(32u, ClustersPerCell(80001));
    EXPECT_EQ(4800u, ClustersPerCell(24000000));  // quotient already a multiple of 16
    // Rounding the quotient down would give 4800 here and need cells past 4999.
    EXPECT_EQ(4816u, ClustersPerCell(24000001));
    // Small and empty volumes never divide by zero.
    EXPECT_EQ(16u, ClustersPerCell(4999));
    EXPECT_EQ(16u, ClustersPerCell(1));
    EXPECT_EQ(16u, ClustersPerCell(0));
    EXPECT_EQ(16u, ClustersPerCell(-5));
}

TEST(ClusterCells, ClassBoundaries) {
    EXPECT_EQ(1, ClassifyCell(0, 100));
    EXPECT_EQ(2, ClassifyCell(1, 100));
    EXPECT_EQ(2, ClassifyCell(20, 100));
    EXPECT_EQ(3, ClassifyCell(21, 100));
    EXPECT_EQ(3, ClassifyCell(40, 100));
    EXPECT_EQ(4, ClassifyCell(41, 100));
    EXPECT_EQ(5, ClassifyCell(61, 100));
    EXPECT_EQ(5, ClassifyCell(80, 100));
    EXPECT_EQ(6, ClassifyCell(81, 100));
    EXPECT_EQ(6, ClassifyCell(99, 100));
    EXPECT_EQ(7, ClassifyCell(100, 100));
    // The percentage drops its remainder: 1 of 16 is 6 %, 15 of 16 is 93 %.
    EXPECT_EQ(2, ClassifyCell(1, 16));
    EXPECT_EQ(6, ClassifyCell(15, 16));
}

TEST(ClusterCells, LargeVolumeFillsAllButFourCells) {
    // 26,214,400 clusters: 656 bitmap bytes per cell, 4996 cells with data,
    // the last from a group of 80 bytes.
    std::vector<uint8_t> bitmap(26214400 / 8, 0xFF);
    bitmap[1234 * 656 + 100] = 0xFE;  // one free cluster in cell 1234
    MapResult map = Classify(bitmap, 26214400);
    EXPECT_EQ(5248u, map.clustersPerCell);
    EXPECT_EQ(4996u, map.dataCells);
    EXPECT_EQ(6, map.classes[1234]);  // a single free cluster: 99 %, never 100
    EXPECT_EQ(7, map.classes[0]);
    EXPECT_EQ(7, map.classes[4994]);
    // 80 full bytes of 656: 640 of 5248 clusters, 12 %.
    EXPECT_EQ(2, map.classes[4995]);
    for (int cell = 4996; cell < kMapCells; cell++) EXPECT_EQ(kClassNoData, map.classes[cell]) << cell;
}

TEST(ClusterCells, SmallVolumes) {
    // 5000 clusters: 625 bytes, 2 per cell, 313 cells (the last of one byte).
    MapResult map = Classify(std::vector<uint8_t>(625, 0), 5000);
    EXPECT_EQ(16u, map.clustersPerCell);
    EXPECT_EQ(313u, map.dataCells);
    EXPECT_EQ(kClassUnused, map.classes[312]);
    EXPECT_EQ(kClassNoData, map.classes[313]);

    // Fewer than 5000 clusters, down to none at all.
    map = Classify(std::vector<uint8_t>(100, 0xFF), 800);
    EXPECT_EQ(50u, map.dataCells);
    EXPECT_EQ(kClassFull, map.classes[49]);
    map = Classify(std::vector<uint8_t>(1, 0xFF), 7);  // no whole bitmap byte
    EXPECT_EQ(0u, map.dataCells);
    map = Classify(std::vector<uint8_t>(), 0);
    EXPECT_EQ(0u, map.dataCells);
    EXPECT_EQ(kClassNoData, map.classes[0]);
}

TEST(ClusterCells, EveryByteGetsACellWithinTheMap) {
    const int64_t sizes[] = {79999, 80000, 80008, 160000, 24000001, 24000008, 24079999, 25600000, 25600008};
    for (int64_t totalClusters : sizes) {
        std::vector<uint8_t> bitmap((size_t)(totalClusters / 8), 0x01);
        MapResult map = Classify(bitmap, totalClusters);
        uint32_t bytesPerCell = map.clustersPerCell / 8;
        EXPECT_LE(map.dataCells, (uint32_t)kMapCells) << totalClusters;
        EXPECT_GE((uint64_t)map.dataCells * bytesPerCell, bitmap.size()) << totalClusters;
        EXPECT_LT((uint64_t)(map.dataCells - 1) * bytesPerCell, bitmap.size()) << totalClusters;
        // One cluster in eight in use: every whole group is class 2 (12 %).
        EXPECT_EQ(2, map.classes[0]) << totalClusters;
    }
    // 80,000 clusters fill every cell exactly.
    EXPECT_EQ(5000u, Classify(std::vector<uint8_t>(10000, 0), 80000).dataCells);
}

TEST(ClusterCells, BitmapShorterThanTheVolumeIsNotOverread) {
    std::vector<uint8_t> bitmap(10, 0xFF);
    MapResult map = Classify(bitmap, 1000000);  // wants 125,000 bytes, 26 per cell
    EXPECT_EQ(1u, map.dataCells);
    EXPECT_EQ(kClassNoData, map.classes[1]);
}

struct Painted {
    std::vector<uint32_t> cells;
};

void RecordCell(void *context, uint32_t cell) { static_cast<Painted *>(context)->cells.push_back(cell); }

TEST(ClusterCells, MarkingPaintsASharedBoundaryCellOnce) {
    std::vector<uint8_t> classes(kMapCells, kClassUnused);
    int32_t lastMarked = kNoMarkedCell;
    Painted painted;
    // 16 clusters per cell. A chunk that ends on a cell boundary reaches
    // the next cell too; the next chunk starts there and skips it.
    EXPECT_EQ(2u, MarkChunkCells(classes.data(), &lastMarked, 313, 16, 0, 16, RecordCell, &painted));
    EXPECT_EQ(1u, MarkChunkCells(classes.data(), &lastMarked, 313, 16, 16, 16, RecordCell, &painted));
    EXPECT_EQ(0u, MarkChunkCells(classes.data(), &lastMarked, 313, 16, 40, 4, RecordCell, &painted));
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 2}), painted.cells);
    EXPECT_EQ(kClassTrimmed, classes[2]);
    EXPECT_EQ(kClassUnused, classes[3]);
    EXPECT_EQ(2, lastMarked);
}

TEST(ClusterCells, TwoMebibyteClustersMarkEveryCellOneCommandAtATime) {
    // 1 GiB of 2 MiB clusters (mkntfs: 511 clusters, 63 bitmap bytes): 16
    // clusters per cell, 32 cells. Each command is one cluster, as the
    // engine's sink reports it; every cell turns green, each painted once.
    std::vector<uint8_t> bitmap(63, 0);
    MapResult map = Classify(bitmap, 511);
    ASSERT_EQ(16u, map.clustersPerCell);
    ASSERT_EQ(32u, map.dataCells);
    int32_t lastMarked = kNoMarkedCell;
    Painted painted;
    for (uint32_t cluster = 0; cluster < 504; cluster++) {
        MarkChunkCells(map.classes.data(), &lastMarked, map.dataCells, map.clustersPerCell, cluster, 1, RecordCell,
                       &painted);
    }
    ASSERT_EQ(32u, painted.cells.size());
    for (uint32_t cell = 0; cell < 32; cell++) {
        EXPECT_EQ(cell, painted.cells[cell]);
        EXPECT_EQ(kClassTrimmed, map.classes[cell]) << cell;
    }
    EXPECT_EQ(kClassNoData, map.classes[32]);
}

TEST(ClusterCells, MarkingStopsAtTheLastCellWithData) {
    uint32_t first = 0, last = 0;
    // 80,000 clusters: a chunk that ends the volume stays in cell 4999.
    ASSERT_TRUE(ChunkCellRange(79984, 16, 16, 5000, &first, &last));
    EXPECT_EQ(4999u, first);
    EXPECT_EQ(4999u, last);
    // 5000 clusters (313 cells, the last one partial): its chunk marks it.
    ASSERT_TRUE(ChunkCellRange(4992, 8, 16, 313, &first, &last));
    EXPECT_EQ(312u, first);
    EXPECT_EQ(312u, last);
    // Clusters past the counted bitmap bytes mark nothing.
    EXPECT_FALSE(ChunkCellRange(5008, 8, 16, 313, &first, &last));
    EXPECT_FALSE(ChunkCellRange(0, 8, 16, 0, &first, &last));
    // The end of a chunk at the top of the cluster range does not wrap.
    ASSERT_TRUE(ChunkCellRange(0xFFFFFF00u, 0xF0, 860000, 5000, &first, &last));
    EXPECT_EQ(4994u, first);
    EXPECT_EQ(4994u, last);
}

TEST(ClusterCells, FirstChunkAfterAReset) {
    std::vector<uint8_t> classes(kMapCells, kClassFull);
    int32_t lastMarked = kNoMarkedCell;
    EXPECT_EQ(1u, MarkChunkCells(classes.data(), &lastMarked, 5000, 5248, 0, 8, nullptr, nullptr));
    EXPECT_EQ(kClassTrimmed, classes[0]);
    EXPECT_EQ(0, lastMarked);
}

}  // namespace
