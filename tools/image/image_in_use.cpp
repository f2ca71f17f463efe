#include "image_in_use.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

int IsSameFile(const char *path, const struct stat &image) {
    struct stat info;
    return path[0] == '/' && stat(path, &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == image.st_dev &&
           info.st_ino == image.st_ino;
}

// Undoes the octal escapes of the mount tables ("\040" for a space) in place.
void UnescapeMountField(char *field) {
    char *out = field;
    for (const char *in = field; *in != 0; in++) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' && in[3] >= '0' &&
            in[3] <= '7') {
            *out++ = (char)((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 3;
        } else {
            *out++ = *in;
        }
    }
    *out = 0;
}

// Looks through a mount table for a mount whose source is the image. In
// mountinfo the source follows the "-" field; in /proc/mounts it comes first.
// -1 when the table cannot be read.
int FindMountOf(const char *tablePath, int isMountinfo, const struct stat &image, std::string *where) {
    FILE *table = fopen(tablePath, "re");
    if (table == 0) return -1;
    char *line = 0;
    size_t capacity = 0;
    int found = 0;
    while (!found && getline(&line, &capacity, table) > 0) {
        char *fields[64];
        int count = 0;
        for (char *token = strtok(line, " \n"); token != 0 && count < 64; token = strtok(0, " \n")) {
            fields[count++] = token;
        }
        char *source = 0;
        char *mountPoint = 0;
        if (isMountinfo) {
            for (int i = 6; i + 2 < count && source == 0; i++) {
                if (strcmp(fields[i], "-") == 0) source = fields[i + 2];
            }
            if (count > 4) mountPoint = fields[4];
        } else if (count >= 2) {
            source = fields[0];
            mountPoint = fields[1];
        }
        if (source == 0 || mountPoint == 0) continue;
        UnescapeMountField(source);
        UnescapeMountField(mountPoint);
        if (IsSameFile(source, image)) {
            *where = std::string("it is mounted at ") + mountPoint;
            found = 1;
        }
    }
    free(line);
    fclose(table);
    return found;
}

// A loop device backed by the image, by its backing file's name or by the
// device and inode the driver holds (names can differ between namespaces).
int FindLoopDeviceOf(const struct stat &image, std::string *where) {
    DIR *devices = opendir("/sys/block");
    if (devices == 0) return 0;  // no sysfs: no loop device can be set up either
    int found = 0;
    for (struct dirent *device = readdir(devices); device != 0 && !found; device = readdir(devices)) {
        if (strncmp(device->d_name, "loop", 4) != 0) continue;
        char path[320];
        snprintf(path, sizeof path, "/sys/block/%s/loop/backing_file", device->d_name);
        FILE *backing = fopen(path, "re");
        if (backing == 0) continue;  // not bound to a file
        char name[4096] = "";
        if (fgets(name, sizeof name, backing) != 0) name[strcspn(name, "\n")] = 0;
        fclose(backing);
        found = IsSameFile(name, image);
        snprintf(path, sizeof path, "/dev/%s", device->d_name);
        int fd = found ? -1 : open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct loop_info64 status;
        if (fd >= 0 && ioctl(fd, LOOP_GET_STATUS64, &status) == 0) {
            uint64_t dev = status.lo_device;  // the kernel's encoding of dev_t
            unsigned devMajor = (unsigned)((dev & 0xFFF00) >> 8);
            unsigned devMinor = (unsigned)((dev & 0xFF) | ((dev >> 12) & 0xFFF00));
            found = status.lo_inode == (uint64_t)image.st_ino && devMajor == major(image.st_dev) &&
                    devMinor == minor(image.st_dev);
        }
        if (fd >= 0) close(fd);
        if (found) *where = std::string("loop device ") + path + " is backed by it";
    }
    closedir(devices);
    return found;
}

}  // namespace

int FindImageInUse(int fd, std::string *where) {
    struct stat image;
    if (fstat(fd, &image) != 0) {
        *where = "it cannot be examined";
        return 1;
    }
    int mounted = FindMountOf("/proc/self/mountinfo", 1, image, where);
    if (mounted < 0) mounted = FindMountOf("/proc/mounts", 0, image, where);
    if (mounted < 0) {
        *where = "the mount table cannot be read to tell whether it is mounted";
        return 1;
    }
    return mounted || FindLoopDeviceOf(image, where);
}

int LockImageExclusively(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return 0;
    }
    return 1;
}


// QEMU's image locks.

namespace {

// QEMU (the emulators, qemu-img, qemu-nbd, qemu-storage-daemon) takes read
// locks through the image's open file description: byte 100 + n for each
// permission n it holds, byte 200 + n for each it denies the others (n: 0
// consistent read, 1 write, 2 write unchanged, 3 resize). A running VM on a
// raw image holds 100 and 101; on qcow2 it also denies 201 and 203. Any of
// the two hundred bytes counts, so that a permission added later does too.
enum {
    kQemuPermissionBase = 100,
    kQemuDeniedBase = 200,
    kQemuLockEnd = 300,
    kPermissionConsistentRead = 0,
    kPermissionWrite = 1,
    kPermissionWriteUnchanged = 2,
    kPermissionResize = 3,
};

int SetQemuLocks(int fd, short type, off_t first, off_t count) {
    struct flock lock;
    memset(&lock, 0, sizeof lock);  // OFD locks want l_pid 0
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = first;
    lock.l_len = count;
    while (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) return 0;
    }
    return 1;
}

void ReleaseQemuLocks(int fd) { SetQemuLocks(fd, F_UNLCK, kQemuPermissionBase, kQemuLockEnd - kQemuPermissionBase); }

}  // namespace

int FindQemuLock(int fd, std::string *why) {
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kQemuPermissionBase;
    lock.l_len = kQemuLockEnd - kQemuPermissionBase;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) {
        *why = std::string("QEMU's image locks cannot be tested on it (") + strerror(errno) + ")";
        return 1;
    }
    if (lock.l_type == F_UNLCK) return 0;
    *why = "a QEMU process (a virtual machine, qemu-img or qemu-nbd) holds QEMU's image lock on byte " +
           std::to_string((long long)lock.l_start) + " of it";
    return 1;
}

int TakeQemuLocks(int fd, std::string *why) {
    // Ours first, then the test: of two processes that start at once, at
    // least one sees the other's locks, as QEMU does it.
    const int held[] = {kQemuPermissionBase + kPermissionConsistentRead, kQemuPermissionBase + kPermissionWrite,
                        kQemuDeniedBase + kPermissionWrite, kQemuDeniedBase + kPermissionWriteUnchanged,
                        kQemuDeniedBase + kPermissionResize};
    for (int byte : held) {
        if (!SetQemuLocks(fd, F_RDLCK, byte, 1)) {
            *why = std::string("QEMU's image locks cannot be taken on it (") + strerror(errno) + ")";
            ReleaseQemuLocks(fd);
            return 0;
        }
    }
    if (!FindQemuLock(fd, why)) return 1;
    ReleaseQemuLocks(fd);
    return 0;
}


// Processes that hold the image open without any lock.

int FindProcessHolding(int fd, std::string *who) {
    struct stat image;
    if (fstat(fd, &image) != 0) {
        *who = "it cannot be examined";
        return 1;
    }
    DIR *processes = opendir("/proc");
    if (processes == 0) {
        *who = "/proc cannot be read to tell which processes hold it open";
        return 1;
    }
    const long self = (long)getpid();
    int found = 0;
    for (struct dirent *process = readdir(processes); process != 0 && !found; process = readdir(processes)) {
        char *end = 0;
        long pid = strtol(process->d_name, &end, 10);
        if (*end != 0 || pid <= 0 || pid == self) continue;
        char path[96];
        snprintf(path, sizeof path, "/proc/%ld/fd", pid);
        DIR *descriptors = opendir(path);
        if (descriptors == 0) continue;  // gone, or a kernel thread
        for (struct dirent *entry = readdir(descriptors); entry != 0 && !found; entry = readdir(descriptors)) {
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            struct stat info;
            if (fstatat(dirfd(descriptors), entry->d_name, &info, 0) != 0) continue;
            found = info.st_dev == image.st_dev && info.st_ino == image.st_ino;
        }
        closedir(descriptors);
        if (!found) continue;
        char name[64] = "?";
        snprintf(path, sizeof path, "/proc/%ld/comm", pid);
        FILE *comm = fopen(path, "re");
        if (comm != 0) {
            if (fgets(name, sizeof name, comm) != 0) name[strcspn(name, "\n")] = 0;
            fclose(comm);
        }
        *who = "process " + std::to_string(pid) + " (" + name + ") holds it open";
    }
    closedir(processes);
    return found;
}

int FindVmwareLock(const char *path, std::string *what) {
    std::string folder = std::string(path) + ".lck";
    struct stat info;
    if (lstat(folder.c_str(), &info) != 0) return 0;
    *what = "VMware's lock folder " + folder + " exists beside it";
    return 1;
}
