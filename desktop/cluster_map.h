// The cluster map. Its state is shared between the main thread and the
// trim worker and guarded by one lock.
#ifndef QUILLET_DESKTOP_CLUSTER_MAP_H
#define QUILLET_DESKTOP_CLUSTER_MAP_H

#include <windows.h>

#include <stdint.h>

#include "trim_engine.h"

// Runs before the window exists: the brushes, the map's bitmap, the
// picture shown until the first map (bitmap 102 of `instance`) and the
// lock. They are never freed: the end of the process frees them.
void InitClusterMap(HINSTANCE instance);
// The map of `volume`, drawn on `window` from here on.
void BuildClusterMap(TrimVolume *volume, HWND window);
void PaintClusterMap();
// The worker's TrimProgressSink: the cells it reached turn green.
void MarkTrimProgress(TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount);
// WM_PAINT: the map, or the picture before it.
void ShowMapArea(HDC windowDc);

#endif
