#include "cluster_cells.h"

uint32_t ClustersPerCell(int64_t totalClusters) {
    if (totalClusters < 0) totalClusters = 0;
    // Rounding the quotient up keeps the groups within 5000 cells; rounding
    // down would leave a remainder that needs cells past the last one.
    uint64_t perCell = ((uint64_t)totalClusters + kMapCells - 1) / kMapCells;
    perCell = (perCell + 15) & ~(uint64_t)15;
    if (perCell == 0) perCell = 16;  // an empty volume still gets a divisor
    if (perCell > 0xFFFFFFF0u) perCell = 0xFFFFFFF0u;
    return (uint32_t)perCell;
}

uint8_t ClassifyCell(uint32_t setBits, uint32_t clustersPerCell) {
    if (clustersPerCell == 0) return kClassUnused;
    uint64_t percent = (uint64_t)setBits * 100 / clustersPerCell;
    if (percent == 0) return kClassUnused;
    if (percent >= 100) return kClassFull;
    if (percent > 80) return 6;
    if (percent > 60) return 5;
    if (percent > 40) return 4;
    if (percent > 20) return 3;
    return 2;
}

static uint32_t CountSetBits(uint8_t byte) {
    uint32_t count = 0;
    for (int bit = 0; bit < 8; bit++) count += (byte >> bit) & 1;
    return count;
}

uint32_t ClassifyBitmap(const uint8_t *bitmap, uint32_t bitmapSize, int64_t totalClusters,
                        uint8_t *cellClass, uint32_t *clustersPerCell) {
    for (uint32_t i = 0; i < kMapCells; i++) cellClass[i] = kClassNoData;
    uint32_t perCell = ClustersPerCell(totalClusters);
    *clustersPerCell = perCell;
    uint64_t byteCount = totalClusters > 0 ? (uint64_t)totalClusters / 8 : 0;
    if (byteCount > bitmapSize) byteCount = bitmapSize;
    if (bitmap == 0 || byteCount == 0) return 0;

    const uint32_t bytesPerCell = perCell / 8;
    uint32_t cell = 0;
    uint32_t setBits = 0;
    uint32_t bytesTaken = 0;
    for (uint64_t i = 0; i < byteCount; i++) {
        if (bytesTaken == bytesPerCell) {
            cellClass[cell] = ClassifyCell(setBits, perCell);
            cell++;
            setBits = 0;
            bytesTaken = 0;
            // Cannot happen with the rounded-up cell size; the bound holds
            // whatever the arithmetic above becomes.
            if (cell >= kMapCells) return kMapCells;
        }
        setBits += CountSetBits(bitmap[i]);
        bytesTaken++;
    }
    cellClass[cell] = ClassifyCell(setBits, perCell);
    return cell + 1;
}

int ChunkCellRange(uint32_t firstCluster, uint32_t clusterCount, uint32_t clustersPerCell,
                   uint32_t dataCells, uint32_t *firstCell, uint32_t *lastCell) {
    if (clustersPerCell == 0 || dataCells == 0) return 0;
    if (dataCells > kMapCells) dataCells = kMapCells;
    uint64_t first = firstCluster / clustersPerCell;
    uint64_t last = ((uint64_t)firstCluster + clusterCount) / clustersPerCell;
    // The range reaches the cell of the first cluster after the chunk, but
    // never a cell without data (at the end of the volume).
    if (first >= dataCells) return 0;
    if (last >= dataCells) last = dataCells - 1;
    *firstCell = (uint32_t)first;
    *lastCell = (uint32_t)last;
    return 1;
}

uint32_t MarkChunkCells(uint8_t *cellClass, int32_t *lastMarkedCell, uint32_t dataCells,
                        uint32_t clustersPerCell, uint32_t firstCluster, uint32_t clusterCount,
                        PaintCellFunction paint, void *context) {
    uint32_t firstCell = 0;
    uint32_t lastCell = 0;
    if (!ChunkCellRange(firstCluster, clusterCount, clustersPerCell, dataCells, &firstCell, &lastCell)) {
        return 0;
    }
    uint32_t painted = 0;
    for (uint32_t cell = firstCell; cell <= lastCell; cell++) {
        if ((int32_t)cell == *lastMarkedCell) continue;
        *lastMarkedCell = (int32_t)cell;
        cellClass[cell] = kClassTrimmed;
        if (paint != 0) paint(context, cell);
        painted++;
    }
    return painted;
}
