// The engine on a disk image: the image's store is the drive. Reads go to
// the store, and a batch of TRIM ranges becomes one store trim per range;
// no device name, no ATA request block on the way.
#ifndef QUILLET_BINDINGS_IMAGE_BINDING_H
#define QUILLET_BINDINGS_IMAGE_BINDING_H

#include <stdint.h>

#include "image_store.h"
#include "trim_engine.h"

// The drive an image stands for. Outlives every volume opened on it:
// closing the handle the engine holds leaves the drive and its store.
struct ImageDrive {
    ImageStore *store;     // not owned
    // Test hooks of quillet-image, for its failed-trim paths.
    int noTrim;            // IDENTIFY reports no TRIM support
    uint32_t failTrimAt;   // the N-th TRIM command of the drive (1-based) ends with ERR; 0 never
    uint32_t trimCommands; // that reached the drive so far
};

// The drive as the engine's DeviceHandle, for OpenTrimVolumeOnDrive.
DeviceHandle ImageDriveHandle(ImageDrive *drive);

#endif
