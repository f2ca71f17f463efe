// The arithmetic of the cluster map, apart from any drawing: how many
// clusters a cell stands for, the class of each cell, and which cells a
// trimmed chunk turns green.
#ifndef QUILLET_DESKTOP_CLUSTER_CELLS_H
#define QUILLET_DESKTOP_CLUSTER_CELLS_H

#include <stdint.h>

enum {
    kMapColumns = 100,
    kMapRows = 50,
    kMapCells = kMapColumns * kMapRows,
    kCellPixels = 6,
    kClassNoData = 0,   // past the end of the volume
    kClassUnused = 1,   // 0 % in use
    kClassFull = 7,     // 100 % in use
    kClassTrimmed = 8,  // trimmed in this run
    kNoMarkedCell = -1,
};

// Clusters per cell: the volume's clusters over 5000 cells, rounded up so
// that every group of bitmap bytes gets a cell, then up to a multiple of 16
// (two whole bitmap bytes). Never 0, so nothing divides by zero.
uint32_t ClustersPerCell(int64_t totalClusters);

// Class 1 to 7 of a cell with `setBits` clusters in use, measured against a
// whole cell (also for the last, partial one).
uint8_t ClassifyCell(uint32_t setBits, uint32_t clustersPerCell);

// Fills all kMapCells classes from the volume bitmap: one cell per
// clustersPerCell/8 bytes of the bitmap's first totalClusters/8 bytes (the
// clusters of a last partial byte are not counted; never more bytes than
// bitmapSize). Cells after the data stay class 0. Returns the number of
// cells that hold data; *clustersPerCell receives the cell size.
uint32_t ClassifyBitmap(const uint8_t *bitmap, uint32_t bitmapSize, int64_t totalClusters,
                        uint8_t *cellClass, uint32_t *clustersPerCell);

// The cells a chunk of clusters reaches: from the cell of its first cluster
// to the cell of the first cluster after it, never past the last cell with
// data. 0 when the chunk lies wholly beyond the data.
int ChunkCellRange(uint32_t firstCluster, uint32_t clusterCount, uint32_t clustersPerCell,
                   uint32_t dataCells, uint32_t *firstCell, uint32_t *lastCell);

// Marks the cells of a chunk as trimmed, skipping the cell marked last (so
// two chunks that share a boundary cell paint it once), and calls `paint`
// for each cell it changed. Returns the number of cells painted.
typedef void (*PaintCellFunction)(void *context, uint32_t cell);
uint32_t MarkChunkCells(uint8_t *cellClass, int32_t *lastMarkedCell, uint32_t dataCells,
                        uint32_t clustersPerCell, uint32_t firstCluster, uint32_t clusterCount,
                        PaintCellFunction paint, void *context);

#endif
