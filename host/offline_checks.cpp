#include "offline_checks.h"

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

#include "../engine/bytes.h"

int ReadFromDescriptor(void *context, int64_t position, void *buffer, uint32_t size) {
    int fd = *(int *)context;
    uint8_t *bytes = (uint8_t *)buffer;
    uint32_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, bytes + done, size - done, (off_t)(position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return 0;
        done += (uint32_t)got;
    }
    return 1;
}

// Partition tables.

namespace {

enum {
    kMbrFirstEntry = 446,
    kMbrEntrySize = 16,
    kMbrEntryCount = 4,
    kSectorBytes = 512,
};

struct MbrEntry {
    uint8_t type;
    uint32_t firstSector;
    uint32_t sectorCount;
};

MbrEntry ReadMbrEntry(const uint8_t *sector, int number) {
    const uint8_t *entry = sector + kMbrFirstEntry + kMbrEntrySize * (number - 1);
    MbrEntry result = {entry[4], LoadLe32(entry + 8), LoadLe32(entry + 12)};
    return result;
}

int IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

}  // namespace

int CheckMbrPartition(const uint8_t *sector, int number, int64_t diskBytes, int64_t *offset, int64_t *length,
                      int *other) {
    if (number < 1 || number > kMbrEntryCount || sector[510] != 0x55 || sector[511] != 0xAA) return kPartitionNoMbr;
    for (int i = 1; i <= kMbrEntryCount; i++) {
        if (ReadMbrEntry(sector, i).type == 0xEE) return kPartitionGpt;
    }
    MbrEntry entry = ReadMbrEntry(sector, number);
    if (entry.type == 0 || entry.sectorCount == 0 || entry.firstSector == 0) return kPartitionEmpty;
    if (IsExtendedType(entry.type)) return kPartitionExtended;
    uint64_t end = (uint64_t)entry.firstSector + entry.sectorCount;
    if (diskBytes < 0 || end * kSectorBytes > (uint64_t)diskBytes) return kPartitionPastEnd;
    for (int i = 1; i <= kMbrEntryCount; i++) {
        MbrEntry next = ReadMbrEntry(sector, i);
        if (i == number || next.type == 0 || next.sectorCount == 0) continue;
        uint64_t nextEnd = (uint64_t)next.firstSector + next.sectorCount;
        if (next.firstSector < end && entry.firstSector < nextEnd) {
            *other = i;
            return kPartitionOverlaps;
        }
    }
    *offset = (int64_t)entry.firstSector * kSectorBytes;
    *length = (int64_t)entry.sectorCount * kSectorBytes;
    return kPartitionOk;
}

void DescribePartitionCheck(int check, int number, int other, char *text, uint32_t textSize) {
    switch (check) {
    case kPartitionGpt:
        snprintf(text, textSize, "GPT is not supported (the MBR holds a protective 0xEE entry)");
        break;
    case kPartitionExtended:
        snprintf(text, textSize, "MBR partition %d is an extended partition, not a volume", number);
        break;
    case kPartitionPastEnd:
        snprintf(text, textSize, "MBR partition %d ends past the end of the disk", number);
        break;
    case kPartitionOverlaps:
        snprintf(text, textSize, "MBR partition %d overlaps partition %d", number, other);
        break;
    default:
        snprintf(text, textSize, "no MBR partition %d", number);
        break;
    }
}

// Images in use.

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
int FindMountOf(const char *tablePath, int isMountinfo, const struct stat &image, char *where, uint32_t whereSize) {
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
            snprintf(where, whereSize, "it is mounted at %s", mountPoint);
            found = 1;
        }
    }
    free(line);
    fclose(table);
    return found;
}

// A loop device backed by the image, by its backing file's name or by the
// device and inode the driver holds (names can differ between namespaces).
int FindLoopDeviceOf(const struct stat &image, char *where, uint32_t whereSize) {
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
        if (found) snprintf(where, whereSize, "loop device %s is backed by it", path);
    }
    closedir(devices);
    return found;
}

}  // namespace

int FindImageInUse(int fd, char *where, uint32_t whereSize) {
    struct stat image;
    if (fstat(fd, &image) != 0) {
        snprintf(where, whereSize, "it cannot be examined");
        return 1;
    }
    int mounted = FindMountOf("/proc/self/mountinfo", 1, image, where, whereSize);
    if (mounted < 0) mounted = FindMountOf("/proc/mounts", 0, image, where, whereSize);
    if (mounted < 0) {
        snprintf(where, whereSize, "the mount table cannot be read to tell whether it is mounted");
        return 1;
    }
    return mounted || FindLoopDeviceOf(image, where, whereSize);
}

int LockImageExclusively(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return 0;
    }
    return 1;
}
