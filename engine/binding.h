// What the engine asks of a platform: read at a position, identify the
// drive, trim a batch of ranges, memory, and closing what it was handed.
// Each binding implements these in one file of platform calls; how a volume
// is found (a Windows letter, a Linux partition, an image) is the binding's
// own, and it hands the engine the opened drive.
#ifndef QUILLET_ENGINE_BINDING_H
#define QUILLET_ENGINE_BINDING_H

#include <stdint.h>

#include "trim_engine.h"

// Reads exactly `size` bytes at absolute byte `position`; 1 on success.
// A short read is a failure: a half-filled buffer must never be taken
// for disk contents.
int BindingReadAt(DeviceHandle device, int64_t position, void *buffer, uint32_t size);

// IDENTIFY DEVICE, decoded. 1 when the drive answered without error;
// on 0 *identity is all zero.
int BindingIdentifyDrive(DeviceHandle drive, DriveIdentity *identity);

// Sends one DATA SET MANAGEMENT TRIM command holding `count` ranges
// (1 to kMaxTrimRangesPerCommand, each 1 to 65535 blocks below LBA 2^48).
enum TrimBatchResult { kTrimBatchFailed = 0, kTrimBatchAccepted = 1, kTrimBatchRefused = 2 };
int BindingTrimRanges(DeviceHandle drive, const TrimRange *ranges, uint32_t count);

void *BindingAllocate(uint32_t size);  // null when out of memory
void BindingFree(void *block);
void BindingClose(DeviceHandle device);

#endif
