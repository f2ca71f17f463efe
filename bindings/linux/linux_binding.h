// The Linux binding's own calls, for its front end (quillet-disk).
//
// Linux names no volume by letter: the front end finds the partition's
// parent disk and place in sysfs, locks the partition by an exclusive open,
// opens the disk and hands both to OpenTrimVolumeOnDrive. TRIM then goes
// out as ATA DATA SET MANAGEMENT through SCSI-ATA translation (SG_IO) when
// the disk answers IDENTIFY that way, and as the kernel's discard
// (BLKDISCARD) when it does not (NVMe, virtio, SCSI or USB without a SAT
// bridge).
#ifndef QUILLET_ENGINE_LINUX_LINUX_BINDING_H
#define QUILLET_ENGINE_LINUX_LINUX_BINDING_H

#include <stdint.h>

#include "trim_engine.h"

// Where a partition lies on its disk.
struct SysfsPartition {
    uint32_t diskMajor, diskMinor;
    char diskName[64];  // the kernel's name of the parent disk: /dev/<diskName>
    int64_t offset;     // bytes from the disk's start
    int64_t length;     // bytes
};

// Reads partition MAJOR:MINOR from the sysfs tree at `root` ("/sys"):
// dev/block/M:m/{partition,start,size} (start and size count 512-byte
// units whatever the disk's sector size) and the parent folder's dev and
// uevent (DEVNAME). 0 for a whole disk and for anything missing, malformed
// or out of range.
int ParseSysfsPartition(const char *root, uint32_t major, uint32_t minor, SysfsPartition *partition);

// What the kernel says of a disk: size, queue/discard_max_bytes,
// queue/discard_granularity, queue/logical_block_size and device/model
// (empty when the disk has none, as virtio-blk).
struct SysfsDisk {
    uint64_t bytes;              // size, counted in 512-byte units there
    uint64_t discardMaxBytes;    // 0: the disk takes no discard
    uint64_t discardGranularity;
    uint32_t logicalBlockSize;
    char model[41];
};
int ParseSysfsDisk(const char *root, uint32_t major, uint32_t minor, SysfsDisk *disk);

// Opens the disk block device at `path`, which must be MAJOR:MINOR, for
// reading and writing without the page cache. `disk` says how it takes
// discards. Null on failure (errno set).
DeviceHandle LinuxOpenDisk(const char *path, uint32_t major, uint32_t minor, const SysfsDisk *disk);

// The partition's lock: an exclusive open, refused while it is mounted or
// another program holds it. Closing the handle ends it. Null on failure.
DeviceHandle LinuxLockPartition(const char *path, uint32_t major, uint32_t minor);

// 1 when the drive that answered IDENTIFY is as large as the block device:
// its user-addressable sectors times 512 are `diskBytes`. A RAID
// controller or bridge that passes ATA commands to a drive other than the
// one the kernel maps would have TRIM land on other blocks; such a disk
// gets the kernel's discard, which the kernel maps itself.
int AtaDriveIsTheDisk(const DriveIdentity *identity, uint64_t diskBytes);

// How TRIM reaches a disk, known once BindingIdentifyDrive ran.
enum LinuxTrimPath { kLinuxTrimUnknown = 0, kLinuxTrimAta = 1, kLinuxTrimDiscard = 2 };
int LinuxTrimPathOf(DeviceHandle drive);

// Reads `size` bytes at `position` of `fd` in whole 4096-byte pieces at
// aligned places (what direct I/O asks), through an aligned bounce buffer.
// 1 only when every byte asked for was read.
int LinuxReadAligned(int fd, int64_t position, void *buffer, uint32_t size);

// The byte ranges one BLKDISCARD each for `ranges` (512-byte blocks):
// touching ranges joined, each aligned inwards to `unit` (the discard
// granularity, at least the logical block size) and cut into pieces of at
// most `maxBytes`, rounded down to whole units. `send` is called for each
// piece in order; 0 from it stops the walk. 1 when every piece was sent;
// 0 also when maxBytes holds no whole unit.
typedef int (*DiscardSender)(void *context, uint64_t start, uint64_t length);
int PlanDiscards(const TrimRange *ranges, uint32_t count, uint64_t maxBytes, uint64_t unit, DiscardSender send,
                 void *context);

#endif
