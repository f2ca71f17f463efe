// The platform answers of Quillet.exe: Windows itself.
#include <windows.h>

#include <string.h>

#include "platform.h"

enum {
    kSmartRcvDriveData = 0x0007C088,
    kSendCmdInSize = 32,        // SENDCMDINPARAMS without its one-byte buffer
    kSendCmdCommandOffset = 10, // irDriveRegs.bCommandReg
    kSendCmdOutHeaderSize = 16, // SENDCMDOUTPARAMS up to bBuffer
    kAtaIdentifyDevice = 0xEC,
    kIdentifySize = 512,
};

int PreparePlatform() { return 1; }

int QueryFileSystemName(const char *rootPath, char *name, uint32_t nameSize) {
    memset(name, 0, nameSize);
    return GetVolumeInformationA(rootPath, NULL, 0, NULL, NULL, NULL, name, nameSize) != 0;
}

int QueryVolumeTotalBytes(const char *rootPath, uint64_t *totalBytes) {
    ULARGE_INTEGER total;
    if (!GetDiskFreeSpaceExA(rootPath, NULL, &total, NULL)) return 0;
    *totalBytes = total.QuadPart;
    return 1;
}

int QueryDriveIdentify(char driveLetter, uint8_t *identify) {
    char name[] = "\\\\.\\X:";
    name[4] = driveLetter;
    HANDLE volume = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (volume == INVALID_HANDLE_VALUE) return 0;
    uint8_t in[kSendCmdInSize + 1];
    uint8_t out[1024];
    memset(in, 0, sizeof in);
    memset(out, 0, sizeof out);
    in[kSendCmdCommandOffset] = kAtaIdentifyDevice;
    DWORD bufferSize = kIdentifySize;
    memcpy(out, &bufferSize, sizeof bufferSize);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(volume, kSmartRcvDriveData, in, kSendCmdInSize, out, sizeof out, &returned, NULL);
    CloseHandle(volume);
    if (!ok) return 0;
    memcpy(identify, out + kSendCmdOutHeaderSize, kIdentifySize);
    return 1;
}

typedef BOOL(WINAPI *DisableRedirectionFunction)(PVOID *);
typedef BOOL(WINAPI *RevertRedirectionFunction)(PVOID);

// Looked up at each use: Windows without WOW64 may lack both.
int DisableFileRedirection(void **oldValue) {
    DisableRedirectionFunction disable = (DisableRedirectionFunction)(void *)GetProcAddress(
        LoadLibraryA("Kernel32.dll"), "Wow64DisableWow64FsRedirection");
    return disable != NULL && disable(oldValue);
}

void RevertFileRedirection(void *oldValue) {
    RevertRedirectionFunction revert = (RevertRedirectionFunction)(void *)GetProcAddress(
        LoadLibraryA("Kernel32.dll"), "Wow64RevertWow64FsRedirection");
    if (revert != NULL) revert(oldValue);
}

int StartWorkerThread(WorkerFunction worker, void *parameter) {
    HANDLE thread = CreateThread(NULL, 0, worker, parameter, 0, NULL);
    if (thread == NULL) return 0;
    CloseHandle(thread);
    return 1;
}
