// The cluster map: 5000 cells drawn into the map DC and shown at 5, 69.
// The main thread builds and paints it; the trim worker marks cells green
// through MarkTrimProgress. One lock keeps the two apart, and the map
// remembers which volume it shows, so that a worker whose volume is no
// longer on screen (another volume was analysed meanwhile) marks nothing.
#include "cluster_map.h"

#include "cluster_cells.h"
#include "resource_ids.h"

enum {
    kMapLeft = 5,
    kMapTop = 69,
    kMapWidth = 600,
    kMapHeight = 300,
    kBrushCount = 9,
};

// COLORREF 0x00BBGGRR: the grid, the seven grays of use, the trimmed green.
static const COLORREF kBrushColours[kBrushCount] = {
    0x00CC483F, 0x00E0E0E0, 0x00D0D0D0, 0x00C0C0C0, 0x00B0B0B0,
    0x00A0A0A0, 0x00909090, 0x00808080, 0x0040FF00,
};

static HBRUSH brushes[kBrushCount];  // index = cell class; 0 also draws the grid
static HDC mapDc;                    // the 600 x 300 map
static HDC pictureDc;                // bitmap 102, shown until the first map

static CRITICAL_SECTION mapLock;
static uint8_t cellClass[kMapCells];
static int32_t lastMarkedCell = kNoMarkedCell;
static uint32_t dataCells;            // cells that hold data; the rest stay class 0
static const TrimVolume *mapVolume;   // the volume the map was built from
static LONG mapShown;                 // 1 from the first PaintClusterMap on
static HWND mapWindow;                // the window the map is drawn on

void InitClusterMap(HINSTANCE instance) {
    for (int i = 0; i < kBrushCount; i++) brushes[i] = CreateSolidBrush(kBrushColours[i]);
    HDC screen = GetDC(NULL);
    mapDc = CreateCompatibleDC(screen);
    pictureDc = CreateCompatibleDC(screen);
    SelectObject(mapDc, CreateCompatibleBitmap(screen, kMapWidth, kMapHeight));
    SelectObject(pictureDc, LoadImageA(instance, MAKEINTRESOURCEA(IDB_SPLASH), IMAGE_BITMAP, 0, 0, LR_DEFAULTSIZE));
    ReleaseDC(NULL, screen);
    InitializeCriticalSection(&mapLock);
}

static void DrawCell(uint32_t cell) {
    int left = (int)(cell % kMapColumns) * kCellPixels;
    int top = (int)(cell / kMapColumns) * kCellPixels;
    RECT square = {left, top, left + kCellPixels, top + kCellPixels};
    FillRect(mapDc, &square, brushes[0]);
    RECT inner = {left + 1, top + 1, left + kCellPixels, top + kCellPixels};
    FillRect(mapDc, &inner, brushes[cellClass[cell]]);
}

// The map and the two frame lines that close the grid on the right and at
// the bottom. Called with the lock held.
static void CopyMapTo(HDC windowDc) {
    BitBlt(windowDc, kMapLeft, kMapTop, kMapWidth, kMapHeight, mapDc, 0, 0, SRCCOPY);
    RECT bottom = {kMapLeft, kMapTop + kMapHeight, kMapLeft + kMapWidth + 1, kMapTop + kMapHeight + 1};
    RECT right = {kMapLeft + kMapWidth, kMapTop, kMapLeft + kMapWidth + 1, kMapTop + kMapHeight + 1};
    FillRect(windowDc, &bottom, brushes[0]);
    FillRect(windowDc, &right, brushes[0]);
}

static void CopyMapToWindow() {
    HDC windowDc = GetDC(mapWindow);
    CopyMapTo(windowDc);
    ReleaseDC(mapWindow, windowDc);
}

void BuildClusterMap(TrimVolume *volume, HWND window) {
    EnterCriticalSection(&mapLock);
    mapWindow = window;
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
        BitBlt(windowDc, kMapLeft, kMapTop, kMapWidth, kMapHeight, pictureDc, 0, 0, SRCCOPY);
    }
    LeaveCriticalSection(&mapLock);
}
