// Linux binding of the engine: a volume is a partition block device, its
// drive the parent disk. The extents query comes from sysfs, the lock is an
// exclusive open (refused while the partition is mounted or otherwise
// claimed), reads bypass the page cache, and ATA pass-through goes out as
// SG_IO ATA PASS-THROUGH (16).
#include "linux_binding.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "../ata_request.h"
#include "../binding.h"
#include "../bytes.h"
#include "../volume_controls.h"
#include "sat_pass_through.h"

const char kDeviceNamePrefix[] = "";

namespace {

enum {
    kDirectAlignment = 4096,       // covers 512-byte and 4096-byte logical blocks
    kDirectChunk = 1 << 20,
    kStatusReady = 0x50,           // DRDY | DSC
    kDriverStatusError = 0x07,     // the driver byte less DRIVER_SENSE
    kScsiGood = 0x00,
};

struct LinuxDevice {
    int fd;
    int exclusiveFd;       // the lock: an exclusive open of the partition
    const char *path;      // volumes: the bound partition
    dev_t device;
    int isVolume;
};

const char *boundVolumes[26];

int LetterIndex(char letter) {
    if (letter >= 'a' && letter <= 'z') letter = (char)(letter - 'a' + 'A');
    return letter >= 'A' && letter <= 'Z' ? letter - 'A' : -1;
}

// Reads a small sysfs file into `text` without its line end. 1 on success.
int ReadSysfsText(const char *path, char *text, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t got = read(fd, text, size - 1);
    close(fd);
    if (got <= 0) return 0;
    text[got] = 0;
    while (got > 0 && (text[got - 1] == '\n' || text[got - 1] == ' ')) text[--got] = 0;
    return 1;
}

int ReadSysfsNumber(const char *path, uint64_t *value) {
    char text[32];
    if (!ReadSysfsText(path, text, sizeof text) || text[0] < '0' || text[0] > '9') return 0;
    char *end = 0;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != 0) return 0;
    *value = parsed;
    return 1;
}

int ParseDeviceNumber(const char *text, dev_t *device) {
    unsigned int major_ = 0, minor_ = 0;
    char tail = 0;
    if (sscanf(text, "%u:%u%c", &major_, &minor_, &tail) != 2) return 0;
    *device = makedev(major_, minor_);
    return 1;
}

int EncodeDiskNumber(dev_t device, uint32_t *number) {
    if (major(device) >= (1u << 12) || minor(device) >= (1u << 20)) return 0;
    *number = (uint32_t)(major(device) << 20 | minor(device));
    return 1;
}

DeviceHandle NewDevice(int fd, dev_t device, const char *path, int isVolume) {
    LinuxDevice *handle = (LinuxDevice *)calloc(1, sizeof(LinuxDevice));
    if (handle == 0) {
        close(fd);
        return 0;
    }
    handle->fd = fd;
    handle->exclusiveFd = -1;
    handle->path = path;
    handle->device = device;
    handle->isVolume = isVolume;
    return handle;
}

// Opens `path` and checks it is the block device `expected` (0: any).
int OpenBlockDevice(const char *path, int flags, dev_t expected, dev_t *device) {
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode) || (expected != 0 && info.st_rdev != expected)) {
        close(fd);
        return -1;
    }
    *device = info.st_rdev;
    return fd;
}

DeviceHandle OpenVolume(char letter) {
    int index = LetterIndex(letter);
    if (index < 0 || boundVolumes[index] == 0) return 0;
    dev_t device = 0;
    int fd = OpenBlockDevice(boundVolumes[index], O_RDONLY, 0, &device);
    return fd < 0 ? 0 : NewDevice(fd, device, boundVolumes[index], 1);
}

DeviceHandle OpenDrive(const char *digits) {
    char *end = 0;
    errno = 0;
    unsigned long number = strtoul(digits, &end, 10);
    if (*digits < '0' || *digits > '9' || *end != 0 || errno != 0 || number > 0xFFFFFFFFul) return 0;
    const dev_t expected = makedev((unsigned)(number >> 20), (unsigned)(number & 0xFFFFF));
    char path[PATH_MAX], uevent[512];
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/uevent", major(expected), minor(expected));
    if (!ReadSysfsText(path, uevent, sizeof uevent)) return 0;
    const char *name = strstr(uevent, "DEVNAME=");
    if (name == 0) return 0;
    name += 8;
    size_t length = strcspn(name, "\n");
    if (length == 0 || length > 200 || memchr(name, '/', length) != 0) return 0;
    snprintf(path, sizeof path, "/dev/%.*s", (int)length, name);
    // O_DIRECT: what the drive holds, not what the page cache remembers of
    // it; a stale bitmap would trim clusters in use.
    dev_t device = 0;
    int fd = OpenBlockDevice(path, O_RDWR | O_DIRECT, expected, &device);
    return fd < 0 ? 0 : NewDevice(fd, device, 0, 0);
}

// VOLUME_DISK_EXTENTS with one extent: the partition's parent disk, start
// and length, all from sysfs (start and size in 512-byte units).
int QueryExtents(const LinuxDevice *volume, uint8_t *out, uint32_t outSize) {
    if (out == 0 || outSize < kExtentsOneExtentSize) return 0;
    char base[64], path[PATH_MAX], text[32];
    snprintf(base, sizeof base, "/sys/dev/block/%u:%u", major(volume->device), minor(volume->device));
    uint64_t partition = 0, start = 0, sectors = 0;
    snprintf(path, sizeof path, "%s/partition", base);
    if (!ReadSysfsNumber(path, &partition) || partition == 0) return 0;  // a whole disk is no partition
    snprintf(path, sizeof path, "%s/start", base);
    if (!ReadSysfsNumber(path, &start)) return 0;
    snprintf(path, sizeof path, "%s/size", base);
    if (!ReadSysfsNumber(path, &sectors)) return 0;
    snprintf(path, sizeof path, "%s/../dev", base);
    dev_t disk = 0;
    uint32_t diskNumber = 0;
    if (!ReadSysfsText(path, text, sizeof text) || !ParseDeviceNumber(text, &disk) ||
        !EncodeDiskNumber(disk, &diskNumber)) {
        return 0;
    }
    if (start > (uint64_t)INT64_MAX / 512 || sectors > (uint64_t)INT64_MAX / 512) return 0;
    memset(out, 0, kExtentsOneExtentSize);
    StoreLe32(out + kExtentsCount, 1);
    StoreLe32(out + kExtentsFirstDiskNumber, diskNumber);
    StoreLe64(out + kExtentsFirstStartingOffset, start * 512);
    StoreLe64(out + kExtentsFirstLength, sectors * 512);
    return 1;
}

int LockVolume(LinuxDevice *volume) {
    if (volume->exclusiveFd >= 0) return 1;
    dev_t device = 0;
    int fd = OpenBlockDevice(volume->path, O_RDONLY | O_EXCL, volume->device, &device);
    if (fd < 0) return 0;
    volume->exclusiveFd = fd;
    return 1;
}

int PassThrough(LinuxDevice *drive, const uint8_t *in, uint32_t inSize, uint8_t *out, uint32_t outSize) {
    SatCommand command;
    if (in == 0 || out == 0 || outSize < inSize || !TranslateAtaPassThrough(in, inSize, &command)) return 0;
    if (out != in) memmove(out, in, inSize);
    uint8_t *data = out + command.dataOffset;
    const AtaLayout layout = AtaLayoutFor(ATA_NATIVE_HEADER_SIZE);

    uint8_t sense[64];
    memset(sense, 0, sizeof sense);
    sg_io_hdr_t request;
    memset(&request, 0, sizeof request);
    request.interface_id = 'S';
    request.cmd_len = sizeof command.cdb;
    request.cmdp = command.cdb;
    request.dxfer_direction = command.direction == kSatFromDevice ? SG_DXFER_FROM_DEV
                              : command.direction == kSatToDevice ? SG_DXFER_TO_DEV
                                                                  : SG_DXFER_NONE;
    request.dxferp = command.dataLength != 0 ? data : 0;
    request.dxfer_len = command.dataLength;
    request.sbp = sense;
    request.mx_sb_len = sizeof sense;
    request.timeout = command.timeoutMilliseconds;
    if (ioctl(drive->fd, SG_IO, &request) != 0) return 0;
    if (request.host_status != 0 || (request.driver_status & kDriverStatusError) != 0) return 0;
    if (request.status == kScsiGood && request.sb_len_wr == 0) {
        // GOOD means the command completed without error; no registers
        // come with it, so the status is the one such a completion leaves.
        out[layout.currentTaskFile + 0] = 0;
        out[layout.currentTaskFile + 6] = kStatusReady;
    } else if (!StoreAtaStatusReturn(sense, request.sb_len_wr, out)) {
        // A failure whose registers did not come back: nothing tells what
        // the drive did, so the call counts as failed.
        return 0;
    }
    if (command.direction == kSatFromDevice && request.resid != 0) return 0;
    return 1;
}

}  // namespace

int LinuxBindVolume(char letter, const char *partitionPath) {
    int index = LetterIndex(letter);
    if (index < 0 || partitionPath == 0) return 0;
    boundVolumes[index] = partitionPath;
    return 1;
}

int LinuxDiskNumber(const char *diskPath, uint32_t *diskNumber) {
    struct stat info;
    if (stat(diskPath, &info) != 0 || !S_ISBLK(info.st_mode)) return 0;
    return EncodeDiskNumber(info.st_rdev, diskNumber);
}

int BindingIdentifyDrive(DeviceHandle drive, DriveIdentity *identity) { return AtaIdentifyDrive(drive, identity); }

int BindingTrimRanges(DeviceHandle drive, const TrimRange *ranges, uint32_t count) {
    return AtaTrimRanges(drive, ranges, count);
}

DeviceHandle BindingOpenDevice(const char *name) {
    size_t prefix = strlen(kDeviceNamePrefix);
    if (strncmp(name, kDeviceNamePrefix, prefix) != 0) return 0;
    const char *rest = name + prefix;
    if (rest[0] != 0 && rest[1] == ':' && rest[2] == 0) return OpenVolume(rest[0]);
    if (strncmp(rest, "PhysicalDrive", 13) == 0) return OpenDrive(rest + 13);
    return 0;
}

int BindingDeviceControl(DeviceHandle handle, uint32_t code, void *input, uint32_t inputSize, void *output,
                         uint32_t outputSize) {
    LinuxDevice *device = (LinuxDevice *)handle;
    if (device == 0) return 0;
    if (device->isVolume) {
        if (code == kIoctlVolumeGetVolumeDiskExtents) return QueryExtents(device, (uint8_t *)output, outputSize);
        if (code == kFsctlLockVolume) return LockVolume(device);
        return 0;
    }
    if (code != kIoctlAtaPassThrough) return 0;
    return PassThrough(device, (const uint8_t *)input, inputSize, (uint8_t *)output, outputSize);
}

int BindingReadAt(DeviceHandle handle, int64_t position, void *buffer, uint32_t size) {
    LinuxDevice *device = (LinuxDevice *)handle;
    if (device == 0 || device->isVolume || position < 0) return 0;
    // Direct I/O wants aligned positions, lengths and memory: read whole
    // aligned pieces into a bounce buffer and copy out the part asked for.
    uint64_t bounceSize = ((uint64_t)size + 2 * kDirectAlignment - 1) & ~(uint64_t)(kDirectAlignment - 1);
    if (bounceSize > kDirectChunk) bounceSize = kDirectChunk;
    void *bounce = 0;
    if (posix_memalign(&bounce, kDirectAlignment, (size_t)bounceSize) != 0) return 0;
    uint8_t *target = (uint8_t *)buffer;
    uint32_t done = 0;
    int ok = 1;
    while (ok && done < size) {
        const int64_t at = position + done;
        const int64_t alignedStart = at & ~(int64_t)(kDirectAlignment - 1);
        const uint32_t skip = (uint32_t)(at - alignedStart);
        uint32_t want = size - done;
        if (want > bounceSize - skip) want = (uint32_t)(bounceSize - skip);
        const uint32_t span = (skip + want + kDirectAlignment - 1) & ~(uint32_t)(kDirectAlignment - 1);
        uint32_t got = 0;
        while (got < skip + want) {
            ssize_t n = pread(device->fd, (uint8_t *)bounce + got, span - got, alignedStart + got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the end of the disk, or an error
            got += (uint32_t)n;
        }
        if (got < skip + want) {
            ok = 0;  // a short read is a failed read
        } else {
            memcpy(target + done, (uint8_t *)bounce + skip, want);
            done += want;
        }
    }
    free(bounce);
    return ok;
}

void *BindingAllocate(uint32_t size) { return malloc(size == 0 ? 1 : size); }

void BindingFree(void *block) { free(block); }

void BindingClose(DeviceHandle handle) {
    LinuxDevice *device = (LinuxDevice *)handle;
    if (device == 0) return;
    if (device->exclusiveFd >= 0) close(device->exclusiveFd);
    close(device->fd);
    free(device);
}
