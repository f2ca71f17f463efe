// The few ntdll entry points and types the native binding uses that
// mingw's headers do not declare.
#ifndef QUILLET_ENGINE_NATIVE_NATIVE_API_H
#define QUILLET_ENGINE_NATIVE_NATIVE_API_H

#include <windows.h>
#include <winternl.h>

#ifndef NT_SUCCESS
#define NT_SUCCESS(status) ((NTSTATUS)(status) >= 0)
#endif

#ifndef FILE_OPEN
#define FILE_OPEN 0x00000001
#endif
#ifndef FILE_SYNCHRONOUS_IO_NONALERT
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#endif
#ifndef FILE_NON_DIRECTORY_FILE
#define FILE_NON_DIRECTORY_FILE 0x00000040
#endif
#ifndef HEAP_GROWABLE
#define HEAP_GROWABLE 0x00000002
#endif

// winternl.h declares the Rtl string and heap routines; these are missing.
extern "C" {
NTSYSAPI NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apcContext,
                                   PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                                   PLARGE_INTEGER byteOffset, PULONG key);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE handle);
}

#endif
