// Plain reads of whatever an offline front end opened: a disk image, a
// partition's block device, an image behind an NBD connection.
#ifndef QUILLET_HOST_DISK_READ_H
#define QUILLET_HOST_DISK_READ_H

#include <stdint.h>

// Reads exactly `size` bytes at byte `position` of whatever the caller
// opened. 1 on success.
typedef int (*DiskReadFunction)(void *context, int64_t position, void *buffer, uint32_t size);

// A DiskReadFunction over a file descriptor; `context` points to the int.
int ReadFromDescriptor(void *context, int64_t position, void *buffer, uint32_t size);

#endif
