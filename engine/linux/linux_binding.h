// The Linux binding's set-up calls, for its front end (quillet-disk).
//
// The engine names a volume by drive letter and its drive by disk number.
// Here a front end first binds a letter to a partition block device
// (/dev/sdXN). The extents query of that volume reports its start and size
// from sysfs and, as disk number, the parent disk's device number
// (major << 20 | minor); "PhysicalDrive<N>" opens that disk again through
// sysfs and checks it is the same device. No table, no guessing by name.
#ifndef QUILLET_ENGINE_LINUX_LINUX_BINDING_H
#define QUILLET_ENGINE_LINUX_LINUX_BINDING_H

#include <stdint.h>

// Binds `letter` ('A' to 'Z') to the block device at `partitionPath`, which
// must stay valid while the volume is open. 1 on success.
int LinuxBindVolume(char letter, const char *partitionPath);

// The disk number under which the engine opens the block device at
// `diskPath`. 1 on success.
int LinuxDiskNumber(const char *diskPath, uint32_t *diskNumber);

#endif
