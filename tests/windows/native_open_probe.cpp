// A native-subsystem program that links the engine's native binding with
// ntdll alone and opens one volume: proof that the binding links without a
// runtime, and a smoke test under Wine. Exit status: the OpenStatus.
#include <windows.h>
#include <winternl.h>

#include "trim_engine.h"

extern "C" NTSYSAPI NTSTATUS NTAPI NtTerminateProcess(HANDLE process, NTSTATUS status);

extern "C" void NTAPI NativeProbeStart(void *) {
    TrimVolume *volume = 0;
    int status = OpenTrimVolume('C', &volume, 0);
    if (status == kOpenOk) {
        TrimFreeSpace(volume, 0);
        ReleaseTrimVolume(volume);
    }
    NtTerminateProcess((HANDLE)-1, status);
}
