// Quillet's window program: the process-wide state of the main thread and
// the functions the parts of the program call in each other.
#ifndef QUILLET_DESKTOP_QUILLET_H
#define QUILLET_DESKTOP_QUILLET_H

#include <windows.h>

#include <stdint.h>

#include "resource_ids.h"
#include "trim_engine.h"

enum {
    kClientWidth = 610,
    kClientHeight = 420,
    kMapLeft = 5,
    kMapTop = 69,
    kMapWidth = 600,
    kMapHeight = 300,
    kBrushCount = 9,
};

// Set up in WinMain (and the first step of WM_CREATE) and never freed:
// the end of the process frees them.
extern HINSTANCE gInstance;
extern HWND gMainWindow;
extern HBRUSH gBrushes[kBrushCount];  // index = cell class; 0 also draws the grid
extern HDC gMapDc;                    // the 600 x 300 cluster map
extern HDC gPictureDc;                // bitmap 102, shown until the first map

// Message boxes of the program: owned by the main window, no caption.
void ShowError(const char *text);

// Volume list.
void FillVolumeList();
void ReadDriveModel(char driveLetter, char *model);

// Cluster map. The map state is shared between the main thread and the
// trim worker and guarded by one lock; InitClusterMap runs before the
// window exists.
void InitClusterMap();
void BuildClusterMap(TrimVolume *volume);
void PaintClusterMap();
void MarkTrimProgress(TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount);
void ShowMapArea(HDC windowDc);  // WM_PAINT: the map, or the picture before it

// Analyse and trim commands.
void HandleCommand(WPARAM wParam);
DWORD WINAPI TrimWorker(void *parameter);

// Boot-time scheduling.
int InstallBootProgram();
int ScheduleBootTrim(char driveLetter);

#endif
