// Win32 binding of the engine: kernel32 device files and the C runtime heap,
// under the Windows volume open of bindings/windows/.
#include <windows.h>
#include <winioctl.h>

#include <stddef.h>
#include <stdlib.h>

#include "ata_request.h"
#include "binding.h"
#include "volume_controls.h"
#include "windows_device.h"

// The engine encodes these by hand; the platform's headers are the referee.
static_assert(kIoctlVolumeGetVolumeDiskExtents == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, "extents control");
static_assert(kFsctlLockVolume == FSCTL_LOCK_VOLUME, "lock control");
static_assert(kExtentsCount == offsetof(VOLUME_DISK_EXTENTS, NumberOfDiskExtents), "extent count");
static_assert(kExtentsFirstDiskNumber == offsetof(VOLUME_DISK_EXTENTS, Extents) + offsetof(DISK_EXTENT, DiskNumber),
              "disk number");
static_assert(kExtentsFirstStartingOffset ==
                  offsetof(VOLUME_DISK_EXTENTS, Extents) + offsetof(DISK_EXTENT, StartingOffset),
              "starting offset");
static_assert(kExtentsFirstLength == offsetof(VOLUME_DISK_EXTENTS, Extents) + offsetof(DISK_EXTENT, ExtentLength),
              "extent length");
static_assert(kExtentsOneExtentSize == sizeof(VOLUME_DISK_EXTENTS), "one-extent record");

const char kDeviceNamePrefix[] = "\\\\.\\";

DeviceHandle WindowsOpenDevice(const char *name) {
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    // The engine's "not opened" is null; the platform's is all ones.
    return handle == INVALID_HANDLE_VALUE ? 0 : handle;
}

int WindowsDeviceControl(DeviceHandle device, uint32_t code, void *input, uint32_t inputSize, void *output,
                         uint32_t outputSize) {
    DWORD returned = 0;
    return DeviceIoControl(device, code, input, inputSize, output, outputSize, &returned, NULL) != 0;
}

int BindingReadAt(DeviceHandle device, int64_t position, void *buffer, uint32_t size) {
    LONG high = (LONG)(position >> 32);
    DWORD low = SetFilePointer(device, (LONG)(uint32_t)position, &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 0;
    DWORD read = 0;
    if (!ReadFile(device, buffer, size, &read, NULL)) return 0;
    return read == size;
}

void *BindingAllocate(uint32_t size) { return malloc(size); }

void BindingFree(void *block) { free(block); }

void BindingClose(DeviceHandle device) { CloseHandle(device); }
