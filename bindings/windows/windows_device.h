// What the Windows bindings (Win32, NT native, and the emulated SSD that
// stands in for Windows devices in tests) supply to the one Windows volume
// open of windows_volume.cpp: device names and device control.
#ifndef QUILLET_BINDINGS_WINDOWS_DEVICE_H
#define QUILLET_BINDINGS_WINDOWS_DEVICE_H

#include <stdint.h>

#include "trim_engine.h"

// Prefix of device names: "\\.\" (Win32) or "\??\" (native).
extern const char kDeviceNamePrefix[];

// Opens a device for reading and writing, shared for both. Returns null
// when the open fails (bindings translate the platform's invalid value).
DeviceHandle WindowsOpenDevice(const char *name);

// Synchronous device control; 1 when the platform accepted the call.
int WindowsDeviceControl(DeviceHandle device, uint32_t code, void *input, uint32_t inputSize, void *output,
                         uint32_t outputSize);

#endif
