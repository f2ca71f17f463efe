// What the engine needs from a platform. Each binding (Win32, NT native,
// host images) implements these in one file of platform calls.
#ifndef QUILLET_ENGINE_BINDING_H
#define QUILLET_ENGINE_BINDING_H

#include <stdint.h>

#include "trim_engine.h"

// Prefix of device names: "\\.\" (Win32) or "\??\" (native).
extern const char kDeviceNamePrefix[];

// Opens a device for reading and writing, shared for both. Returns null
// when the open fails (bindings translate the platform's invalid value).
DeviceHandle BindingOpenDevice(const char *name);

// Synchronous device control; 1 when the platform accepted the call.
int BindingDeviceControl(DeviceHandle device, uint32_t code, void *input, uint32_t inputSize,
                         void *output, uint32_t outputSize);

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
