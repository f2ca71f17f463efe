// Whether a disk image is someone else's right now: mounted, behind a loop
// device, in another quillet-image run, open in QEMU, held open by any
// other process, or locked by VMware. Each check either
// finds nothing or names what it found.
#ifndef QUILLET_HOST_IMAGE_IN_USE_H
#define QUILLET_HOST_IMAGE_IN_USE_H

#include <stdint.h>

#include <string>

// 1 when the file open on `fd` is in use by the system: the source of a
// mount (an ntfs-3g FUSE mount names the image itself) or the backing file
// of a loop device. `where` gets the mount point or the loop device, or
// why it could not be told (then the result is 1 as well).
int FindImageInUse(int fd, std::string *where);

// Takes an exclusive advisory lock on `fd` without waiting; it lasts until
// the descriptor is closed. 1 when taken.
int LockImageExclusively(int fd);

// 1 when another open file description holds one of QEMU's image locks
// (OFD byte-range locks) on the file, or when that cannot be told; `why`
// says which. Our own locks on `fd` do not count.
int FindQemuLock(int fd, std::string *why);

// Takes QEMU's image locks on `fd` as a writer that lets others read but
// not write or resize: while `fd` stays open no virtual machine, qemu-img
// or qemu-nbd can open the image for writing. 1 when taken and nobody else
// holds any; otherwise 0 with the reason, and none of ours is left.
int TakeQemuLocks(int fd, std::string *why);

// 1 when a process other than this one holds the file open on `fd` (as
// fuser finds it through /proc/*/fd), or when that cannot be told; `who`
// names the process by its pid and command name. A virtual machine run
// without QEMU's locks (file.locking=off) or by another hypervisor is
// found this way.
int FindProcessHolding(int fd, std::string *who);

// 1 when the lock folder VMware keeps beside an image it runs
// (NAME.vmdk.lck) exists for the image at `path`; `what` names it.
int FindVmwareLock(const char *path, std::string *what);

#endif
