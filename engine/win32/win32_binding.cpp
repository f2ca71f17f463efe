// Win32 binding of the engine: kernel32 device files and the C runtime heap.
#include <windows.h>

#include <stdlib.h>

#include "../binding.h"

const char kDeviceNamePrefix[] = "\\\\.\\";

DeviceHandle BindingOpenDevice(const char *name) {
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    // The engine's "not opened" is null; the platform's is all ones.
    return handle == INVALID_HANDLE_VALUE ? 0 : handle;
}

int BindingDeviceControl(DeviceHandle device, uint32_t code, void *input, uint32_t inputSize,
                         void *output, uint32_t outputSize) {
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
