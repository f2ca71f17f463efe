// What Windows left on a volume that nobody has locked for us, and whether
// its bitmap agrees with its MFT: the checks the offline front ends make
// before they trust the bitmap. The NTFS reading is the engine's reader.
#ifndef QUILLET_HOST_VOLUME_STATE_H
#define QUILLET_HOST_VOLUME_STATE_H

#include <stdint.h>

struct TrimVolume;

enum VolumeState {
    kVolumeClean = 0,
    kVolumeHibernated,       // hiberfil.sys in the root holds a hibernation image
    kVolumeLogNotClean,      // $LogFile still has to be replayed
    kVolumeLogCached,        // $LogFile version 2.0: metadata kept for fast start-up
    kVolumeDirty,            // $Volume is marked for a disk check
    // Damaged: what the checks need fails its own checks.
    kVolumeLogUnreadable,
    kVolumeFlagsUnreadable,
    kVolumeRootUnreadable,
    // Not damaged as far as we know: the disk refused a read, or memory ran out.
    kVolumeLogReadFailed,
    kVolumeFlagsReadFailed,
    kVolumeRootReadFailed,
    kVolumeNoMemory,
};

// Checks the opened `volume` through the reader its open left in its
// context. Returns a VolumeState; anything but kVolumeClean means the
// bitmap cannot be trusted.
int CheckVolumeState(TrimVolume *volume);

// What was found and what the user can do, for a state other than clean.
const char *VolumeStateText(int state);

// The engine's check of the loaded bitmap against every record of $MFT.
// 1 when it holds; otherwise `reason` gets the open status's message and
// what contradicts the bitmap, and *readFailed says whether the disk
// refused a read or memory ran out (nothing known to be damaged).
int CheckBitmapClaims(TrimVolume *volume, char *reason, uint32_t reasonSize, int *readFailed);

// 1 for the states in which the checks could not read what they need
// (the disk refused a read, or memory ran out) rather than found damage.
int VolumeStateReadFailed(int state);

// 1 for the states in which what the checks need fails its own checks.
int VolumeStateDamaged(int state);

#endif
