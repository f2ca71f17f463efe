// NT native binding of the engine: ntdll alone, no C runtime, under the
// Windows volume open of bindings/windows/. Used by the boot-time program,
// which runs before the Win32 subsystem exists.
#include "native_api.h"

#include "binding.h"
#include "windows_device.h"

const char kDeviceNamePrefix[] = "\\??\\";

// The native program's private heap, created on the first allocation; the
// program allocates from it through the same two calls.
static PVOID privateHeap = 0;

DeviceHandle WindowsOpenDevice(const char *name) {
    ANSI_STRING ansiName;
    UNICODE_STRING unicodeName;
    RtlInitAnsiString(&ansiName, name);
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&unicodeName, &ansiName, TRUE))) return 0;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    HANDLE handle = 0;
    NTSTATUS status = NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                   &attributes, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    RtlFreeUnicodeString(&unicodeName);
    return NT_SUCCESS(status) ? handle : 0;
}

int WindowsDeviceControl(DeviceHandle device, uint32_t code, void *input, uint32_t inputSize, void *output,
                         uint32_t outputSize) {
    IO_STATUS_BLOCK ioStatus;
    // File-system controls (device type 9, FSCTL_LOCK_VOLUME among them) go
    // to the file system, not the device, as kernel32's DeviceIoControl does.
    NTSTATUS status = (code >> 16) == 9
                          ? NtFsControlFile(device, NULL, NULL, NULL, &ioStatus, code, input, inputSize, output,
                                            outputSize)
                          : NtDeviceIoControlFile(device, NULL, NULL, NULL, &ioStatus, code, input, inputSize,
                                                  output, outputSize);
    return NT_SUCCESS(status);
}

int BindingReadAt(DeviceHandle device, int64_t position, void *buffer, uint32_t size) {
    IO_STATUS_BLOCK ioStatus;
    LARGE_INTEGER offset;
    offset.QuadPart = position;
    NTSTATUS status = NtReadFile(device, NULL, NULL, NULL, &ioStatus, buffer, size, &offset, NULL);
    return NT_SUCCESS(status) && ioStatus.Information == size;
}

void *BindingAllocate(uint32_t size) {
    if (privateHeap == 0) privateHeap = RtlCreateHeap(HEAP_GROWABLE, 0, 0x400000, 0x1000, 0, 0);
    if (privateHeap == 0) return 0;  // the next call tries again
    return RtlAllocateHeap(privateHeap, 0, size);
}

void BindingFree(void *block) { RtlFreeHeap(privateHeap, 0, block); }

void BindingClose(DeviceHandle device) { ZwClose(device); }
