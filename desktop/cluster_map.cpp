// The cluster map: 5000 cells drawn into the map DC and shown at 5, 69.
// The main thread builds and paints it; the trim worker marks cells green
// through MarkTrimProgress. One lock keeps the two apart, and the map
// remembers which volume it shows, so that a worker whose volume is no
// longer on screen (another volume was analysed meanwhile) marks nothing.
#include "quillet.h"

#include "cluster_cells.h"

static CRITICAL_SECTION mapLock;
static uint8_t cellClass[kMapCells];
static int32_t lastMarkedCell = kNoMarkedCell;
static uint32_t dataCells;            // cells that hold data; the rest stay class 0
static const TrimVolume *mapVolume;   // the volume the map was built from
static LONG mapShown;                 // 1 from the first PaintClusterMap on

void InitClusterMap() { InitializeCriticalSection(&mapLock); }

static void DrawCell(uint32_t cell) {
    int left = (int)(cell % kMapColumns) * kCellPixels;
    int top = (int)(cell / kMapColumns) * kCellPixels;
    RECT square = {left, top, left + kCellPixels, top + kCellPixels};
    FillRect(gMapDc, &square, gBrushes[0]);
    RECT inner = {left + 1, top + 1, left + kCellPixels, top + kCellPixels};
    FillRect(gMapDc, &inner, gBrushes[cellClass[cell]]);
}

// The map and the two frame lines that close the grid on the right and at
// the bottom. Called with the lock held.
static void CopyMapTo(HDC windowDc) {
    BitBlt(windowDc, kMapLeft, kMapTop, kMapWidth, kMapHeight, gMapDc, 0, 0, SRCCOPY);
    RECT bottom = {kMapLeft, kMapTop + kMapHeight, kMapLeft + kMapWidth + 1, kMapTop + kMapHeight + 1};
    RECT right = {kMapLeft + kMapWidth, kMapTop, kMapLeft + kMapWidth + 1, kMapTop + kMapHeight + 1};
    FillRect(windowDc, &bottom, gBrushes[0]);
    FillRect(windowDc, &right, gBrushes[0]);
}

static void CopyMapToWindow() {
    HDC windowDc = GetDC(gMainWindow);
    CopyMapTo(windowDc);
    ReleaseDC(gMainWindow, windowDc);
}

void BuildClusterMap(TrimVolume *volume) {
    EnterCriticalSection(&mapLock);
    uint32_t clustersPerCell = 0;
    dataCells = ClassifyBitmap(volume->bitmap, volume->bitmapSize, volume->totalClusters, cellClass,
                               &clustersPerCell);
    volume->clustersPerCell = clustersPerCell;
    volume->bytesPerCell = clustersPerCell / 8;
    lastMarkedCell = kNoMarkedCell;
    mapVolume = volume;
    LeaveCriticalSection(&mapLock);
}

void PaintClusterMap() {
    EnterCriticalSection(&mapLock);
    mapShown = 1;
    for (uint32_t cell = 0; cell < kMapCells; cell++) DrawCell(cell);
    CopyMapToWindow();
    LeaveCriticalSection(&mapLock);
}

static void DrawMarkedCell(void *, uint32_t cell) { DrawCell(cell); }

void MarkTrimProgress(TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount) {
    EnterCriticalSection(&mapLock);
    if (volume == mapVolume &&
        MarkChunkCells(cellClass, &lastMarkedCell, dataCells, volume->clustersPerCell, firstCluster, clusterCount,
                       DrawMarkedCell, 0) != 0) {
        // One copy per call, however many cells turned green.
        CopyMapToWindow();
    }
    LeaveCriticalSection(&mapLock);
}

void ShowMapArea(HDC windowDc) {
    EnterCriticalSection(&mapLock);
    if (mapShown) {
        CopyMapTo(windowDc);
    } else {
        BitBlt(windowDc, kMapLeft, kMapTop, kMapWidth, kMapHeight, gPictureDc, 0, 0, SRCCOPY);
    }
    LeaveCriticalSection(&mapLock);
}
