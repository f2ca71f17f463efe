// The ntdll entry points and types that bootsift's start-up, screen,
// keyboard and registry calls use beyond those of the engine's binding.
#ifndef QUILLET_BOOT_NATIVE_BOOT_API_H
#define QUILLET_BOOT_NATIVE_BOOT_API_H

#include "native_api.h"

#ifndef FILE_DIRECTORY_FILE
#define FILE_DIRECTORY_FILE 0x00000001
#endif

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION;

extern "C" {
NTSYSAPI NTSTATUS NTAPI ZwReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apcContext,
                                   PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                                   PLARGE_INTEGER byteOffset, PULONG key);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSYSAPI NTSTATUS NTAPI NtCancelIoFile(HANDLE file, PIO_STATUS_BLOCK ioStatus);
NTSYSAPI NTSTATUS NTAPI NtCreateEvent(PHANDLE event, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                      EVENT_TYPE type, BOOLEAN initialState);
NTSYSAPI NTSTATUS NTAPI NtDisplayString(PUNICODE_STRING text);
NTSYSAPI NTSTATUS NTAPI NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval);
NTSYSAPI NTSTATUS NTAPI NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSYSAPI NTSTATUS NTAPI NtQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind,
                                        PVOID information, ULONG length, PULONG resultLength);
NTSYSAPI NTSTATUS NTAPI NtSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG titleIndex, ULONG type,
                                      PVOID data, ULONG size);
NTSYSAPI NTSTATUS NTAPI NtTerminateProcess(HANDLE process, NTSTATUS status);
NTSYSAPI PRTL_USER_PROCESS_PARAMETERS NTAPI RtlNormalizeProcessParams(PRTL_USER_PROCESS_PARAMETERS parameters);
}

#endif
