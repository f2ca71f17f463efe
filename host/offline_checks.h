// Checks the offline front ends (quillet-image, quillet-disk) make before
// they trust a volume that nobody has locked for them: the partition table
// and whether the image is in use by the system. What Windows left on the
// volume is volume_state.h's.
//
// On Windows the engine works on a volume it has locked, or before anything
// else runs; these checks stand in for that and live here, not in the
// engine, because a locked volume is legitimately mounted there.
#ifndef QUILLET_HOST_OFFLINE_CHECKS_H
#define QUILLET_HOST_OFFLINE_CHECKS_H

#include <stdint.h>

// Reads exactly `size` bytes at byte `position` of whatever the caller
// opened (a disk image, a partition's block device). 1 on success.
typedef int (*DiskReadFunction)(void *context, int64_t position, void *buffer, uint32_t size);

// A DiskReadFunction over a file descriptor; `context` points to the int.
int ReadFromDescriptor(void *context, int64_t position, void *buffer, uint32_t size);

// MBR partition entries.
enum PartitionCheck {
    kPartitionOk = 0,
    kPartitionNoMbr,       // the sector has no boot signature
    kPartitionEmpty,       // no type, no sectors or starting at sector 0
    kPartitionGpt,         // a protective 0xEE entry: the disk is GPT
    kPartitionExtended,    // a container of logical partitions, not a volume
    kPartitionPastEnd,     // ends beyond the disk
    kPartitionOverlaps,    // shares sectors with another entry
};

// Checks entry `number` (1 to 4) of the MBR in `sector` on a disk of
// `diskBytes` and gives its byte offset and length when it is sound.
// Returns a PartitionCheck; *other gets the entry it overlaps.
int CheckMbrPartition(const uint8_t *sector, int number, int64_t diskBytes, int64_t *offset, int64_t *length,
                      int *other);

// One line that says why entry `number` was refused.
void DescribePartitionCheck(int check, int number, int other, char *text, uint32_t textSize);

// 1 when the file open on `fd` is in use by the system: the source of a
// mount (an ntfs-3g FUSE mount names the image itself) or the backing file
// of a loop device. `where` gets the mount point or the loop device, or
// why it could not be told (then the result is 1 as well).
int FindImageInUse(int fd, char *where, uint32_t whereSize);

// Takes an exclusive advisory lock on `fd` without waiting; it lasts until
// the descriptor is closed. 1 when taken.
int LockImageExclusively(int fd);

#endif
