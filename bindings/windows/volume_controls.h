// The volume device controls the engine sends, and the layout of the
// extents record that answers IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, for
// the engine and for bindings that answer the controls themselves.
#ifndef QUILLET_ENGINE_VOLUME_CONTROLS_H
#define QUILLET_ENGINE_VOLUME_CONTROLS_H

enum {
    kIoctlVolumeGetVolumeDiskExtents = 0x560000,
    kFsctlLockVolume = 0x90018,

    // VOLUME_DISK_EXTENTS: the count, then DISK_EXTENT records.
    kExtentsCount = 0,               // 32-bit
    kExtentsFirstDiskNumber = 8,     // 32-bit
    kExtentsFirstStartingOffset = 16,  // 64-bit, bytes
    kExtentsFirstLength = 24,        // 64-bit, bytes
    kExtentsOneExtentSize = 32,      // the record with one extent
};

#endif
