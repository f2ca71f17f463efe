// The exit statuses of the offline front ends (quillet-image, quillet-disk),
// in one table so that a script can tell the outcomes apart. 1 to 9 are the
// engine's open statuses (OpenStatus); the others follow sysexits.h.
#ifndef QUILLET_HOST_EXIT_STATUS_H
#define QUILLET_HOST_EXIT_STATUS_H

#include <errno.h>

enum ExitStatus {
    kExitOk = 0,            // trimmed, answered no, or --help / --version
    kExitInUse = 4,         // in use, locked by another run or by QEMU, or left unsafe by Windows
    kExitNotNtfs = 8,       // no NTFS volume there
    kExitDamaged = 9,       // the volume's metadata cannot be trusted
    kExitTrimFailed = 10,   // no TRIM, or the drive refused a command
    kExitUsage = 64,        // a mistake on the command line, and nothing else
    kExitNoInput = 66,      // the image, partition, partition table or entry does not exist or cannot be read
    kExitSoftware = 70,     // one image's run ended without an exit status of its own (a signal)
    kExitCannotCreate = 73, // the command list (or a copy) cannot be created
    kExitIoError = 74,      // reading, sending or writing the command list failed
    kExitNoPermission = 77, // the system refused access
};

// The status for an open() or read that failed with `error` (an errno):
// no permission (also a read-only file system or an immutable file), an
// I/O error, or input that is missing or of the wrong kind.
inline int ExitStatusForErrno(int error) {
    switch (error) {
    case EPERM:  // an immutable file
    case EACCES:
    case EROFS:
        return kExitNoPermission;
    case EIO:
        return kExitIoError;
    default:
        return kExitNoInput;
    }
}

#endif
