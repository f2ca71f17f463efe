// The check the offline front ends (quillet-image, quillet-disk) make before
// they trust a volume that nobody has locked for them: whether Windows left
// the volume in a state whose on-disk bitmap may miss allocations. The
// partition table and images in use have their own files.
//
// On Windows the engine works on a volume it has locked, or before anything
// else runs; these checks stand in for that and live here, not in the
// engine, because a locked volume is legitimately mounted there.
#ifndef QUILLET_HOST_OFFLINE_CHECKS_H
#define QUILLET_HOST_OFFLINE_CHECKS_H

#include <stdint.h>

#include "disk_read.h"

struct TrimVolume;

// What Windows left on a volume.
enum VolumeState {
    kVolumeClean = 0,
    kVolumeHibernated,       // hiberfil.sys in the root holds a hibernation image
    kVolumeLogNotClean,      // $LogFile still has to be replayed
    kVolumeLogCached,        // $LogFile version 2.0: metadata kept for fast start-up
    kVolumeDirty,            // $Volume is marked for a disk check
    kVolumeLogUnreadable,    // the checks could not read what they need
    kVolumeFlagsUnreadable,
    kVolumeRootUnreadable,
};

// Checks the opened `volume` (its geometry as the engine read it), whose
// boot sector lies at `volumeOffset` of what `read` reads. Returns a
// VolumeState; anything but kVolumeClean means the bitmap cannot be trusted.
int CheckVolumeState(const TrimVolume *volume, int64_t volumeOffset, DiskReadFunction read, void *context);

// What was found and what the user can do, for a state other than clean.
const char *VolumeStateText(int state);

#endif
