// What the desktop program asks the system about volumes and drives, apart
// from the engine. Quillet.exe answers from Windows (system_platform.cpp);
// the test-only variant answers from its emulated drives, configured the
// same way as the engine binding it links.
#ifndef QUILLET_DESKTOP_PLATFORM_H
#define QUILLET_DESKTOP_PLATFORM_H

#include <stdint.h>

// Runs first in WinMain; 0 stops the program (a test variant that cannot
// set up its drives).
int PreparePlatform();

// The file system name of a root path such as "C:\" (at most nameSize
// bytes with the zero); 0 when the volume information cannot be read.
int QueryFileSystemName(const char *rootPath, char *name, uint32_t nameSize);

// The volume's total size in bytes as available to the caller.
int QueryVolumeTotalBytes(const char *rootPath, uint64_t *totalBytes);

// The 512 bytes of IDENTIFY DEVICE data of the drive holding the volume of
// `driveLetter`, read with SMART_RCV_DRIVE_DATA; 0 when the request fails.
int QueryDriveIdentify(char driveLetter, uint8_t *identify);

// File system redirection of a 32-bit process on 64-bit Windows, for the
// calling thread only: while it is off, "system32" means the native system
// directory. 0 when it cannot be turned off (or Windows has no such switch).
int DisableFileRedirection(void **oldValue);
void RevertFileRedirection(void *oldValue);

// Starts `worker` on a thread of its own with `parameter`; 0 when no
// thread could be started.
typedef unsigned long(__stdcall *WorkerFunction)(void *parameter);
int StartWorkerThread(WorkerFunction worker, void *parameter);

#endif
