// Linux binding of the engine: the drive is a whole-disk block device read
// without the page cache; TRIM goes out as SG_IO ATA PASS-THROUGH (16) to
// a disk that answers IDENTIFY that way, otherwise as the kernel's discard.
#include "linux_binding.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "ata_request.h"
#include "binding.h"
#include "bytes.h"
#include "sat_pass_through.h"

namespace {

enum {
    kDirectAlignment = 4096,       // covers 512-byte and 4096-byte logical blocks
    kDirectChunk = 1 << 20,
    kStatusReady = 0x50,           // DRDY | DSC
    kDriverStatusError = 0x07,     // the driver byte less DRIVER_SENSE
    kScsiGood = 0x00,
    kLogicalBlock = 512,           // the engine's ranges count 512-byte blocks
};

struct LinuxDevice {
    int fd;
    int trimPath;       // LinuxTrimPath, once IDENTIFY was tried
    SysfsDisk disk;     // disks: what sysfs says of discards
};

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

// "MAJOR:MINOR" and nothing else.
int ParseDeviceNumber(const char *text, uint32_t *major_, uint32_t *minor_) {
    unsigned int a = 0, b = 0;
    char tail = 0;
    if (text[0] < '0' || text[0] > '9' || sscanf(text, "%u:%u%c", &a, &b, &tail) != 2) return 0;
    *major_ = a;
    *minor_ = b;
    return 1;
}

// ROOT/dev/block/MAJOR:MINOR/ITEM into `path`; 0 when it does not fit.
int SysfsPath(char *path, size_t size, const char *root, uint32_t major_, uint32_t minor_, const char *item) {
    int length = snprintf(path, size, "%s/dev/block/%u:%u/%s", root, major_, minor_, item);
    return length > 0 && (size_t)length < size;
}

DeviceHandle NewDevice(int fd) {
    LinuxDevice *handle = (LinuxDevice *)calloc(1, sizeof(LinuxDevice));
    if (handle == 0) {
        close(fd);
        errno = ENOMEM;
        return 0;
    }
    handle->fd = fd;
    return handle;
}

// Opens `path` and checks it is the block device MAJOR:MINOR.
int OpenBlockDevice(const char *path, int flags, uint32_t major_, uint32_t minor_) {
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode) || info.st_rdev != makedev(major_, minor_)) {
        close(fd);
        errno = ENODEV;
        return -1;
    }
    return fd;
}

// The command as SG_IO ATA PASS-THROUGH (16), its data straight from and
// into the command's buffer.
int PassThrough(LinuxDevice *drive, AtaCommand *command) {
    SatCommand sat;
    if (!TranslateAtaCommand(command, &sat)) return 0;
    uint8_t sense[64];
    memset(sense, 0, sizeof sense);
    sg_io_hdr_t request;
    memset(&request, 0, sizeof request);
    request.interface_id = 'S';
    request.cmd_len = sizeof sat.cdb;
    request.cmdp = sat.cdb;
    request.dxfer_direction = command->direction == kAtaDataIn    ? SG_DXFER_FROM_DEV
                              : command->direction == kAtaDataOut ? SG_DXFER_TO_DEV
                                                                  : SG_DXFER_NONE;
    request.dxferp = command->dataLength != 0 ? command->data : 0;
    request.dxfer_len = command->dataLength;
    request.sbp = sense;
    request.mx_sb_len = sizeof sense;
    request.timeout = sat.timeoutMilliseconds;
    if (ioctl(drive->fd, SG_IO, &request) != 0) return 0;
    if (request.host_status != 0 || (request.driver_status & kDriverStatusError) != 0) return 0;
    if (request.status == kScsiGood && request.sb_len_wr == 0) {
        // GOOD means the command completed without error; no registers
        // come with it, so the status is the one such a completion leaves.
        command->current[kAtaRegisterFeatures] = 0;
        command->current[kAtaRegisterCommand] = kStatusReady;
    } else if (!StoreAtaStatusReturn(sense, request.sb_len_wr, command)) {
        // A failure whose registers did not come back: nothing tells what
        // the drive did, so the call counts as failed.
        return 0;
    }
    if (command->direction == kAtaDataIn && request.resid != 0) return 0;
    return 1;
}

int SendDiscard(void *context, uint64_t start, uint64_t length) {
    uint64_t range[2] = {start, length};
    return ioctl(*(int *)context, BLKDISCARD, range) == 0;
}

int DiscardRanges(LinuxDevice *drive, const TrimRange *ranges, uint32_t count) {
    uint64_t unit = drive->disk.discardGranularity;
    if (unit < drive->disk.logicalBlockSize) unit = drive->disk.logicalBlockSize;
    errno = 0;
    if (PlanDiscards(ranges, count, drive->disk.discardMaxBytes, unit, SendDiscard, &drive->fd)) {
        return kTrimBatchAccepted;
    }
    // The device failed it; anything else (a request the kernel refused)
    // never reached it.
    return errno == EIO || errno == EREMOTEIO ? kTrimBatchRefused : kTrimBatchFailed;
}

}  // namespace

int ParseSysfsPartition(const char *root, uint32_t major_, uint32_t minor_, SysfsPartition *partition) {
    memset(partition, 0, sizeof *partition);
    char path[PATH_MAX], text[512];
    uint64_t number = 0, start = 0, sectors = 0;
    // A whole disk has no partition file (or 0 in it): it is no partition.
    if (!SysfsPath(path, sizeof path, root, major_, minor_, "partition") || !ReadSysfsNumber(path, &number) ||
        number == 0) {
        return 0;
    }
    if (!SysfsPath(path, sizeof path, root, major_, minor_, "start") || !ReadSysfsNumber(path, &start)) return 0;
    if (!SysfsPath(path, sizeof path, root, major_, minor_, "size") || !ReadSysfsNumber(path, &sectors)) return 0;
    if (sectors == 0 || start > (uint64_t)INT64_MAX / 512 || sectors > (uint64_t)INT64_MAX / 512 - start) return 0;
    // The parent folder is the disk the partition belongs to.
    if (!SysfsPath(path, sizeof path, root, major_, minor_, "../dev") || !ReadSysfsText(path, text, sizeof text) ||
        !ParseDeviceNumber(text, &partition->diskMajor, &partition->diskMinor)) {
        return 0;
    }
    if (!SysfsPath(path, sizeof path, root, major_, minor_, "../uevent") || !ReadSysfsText(path, text, sizeof text)) {
        return 0;
    }
    const char *name = strstr(text, "DEVNAME=");
    if (name == 0 || (name != text && name[-1] != '\n')) return 0;
    name += 8;
    size_t length = strcspn(name, "\n");
    // A name that could lead out of /dev is no disk of ours.
    if (length == 0 || length >= sizeof partition->diskName || memchr(name, '/', length) != 0 ||
        (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.')))) {
        return 0;
    }
    memcpy(partition->diskName, name, length);
    partition->diskName[length] = 0;
    partition->offset = (int64_t)(start * 512);
    partition->length = (int64_t)(sectors * 512);
    return 1;
}

int ParseSysfsDisk(const char *root, uint32_t major_, uint32_t minor_, SysfsDisk *disk) {
    memset(disk, 0, sizeof *disk);
    char path[PATH_MAX], text[64];
    uint64_t blockSize = 0, sectors = 0;
    if (!SysfsPath(path, sizeof path, root, major_, minor_, "size") || !ReadSysfsNumber(path, &sectors) ||
        sectors > UINT64_MAX / 512 ||
        !SysfsPath(path, sizeof path, root, major_, minor_, "queue/discard_max_bytes") ||
        !ReadSysfsNumber(path, &disk->discardMaxBytes) ||
        !SysfsPath(path, sizeof path, root, major_, minor_, "queue/discard_granularity") ||
        !ReadSysfsNumber(path, &disk->discardGranularity) ||
        !SysfsPath(path, sizeof path, root, major_, minor_, "queue/logical_block_size") ||
        !ReadSysfsNumber(path, &blockSize)) {
        return 0;
    }
    if (blockSize < 512 || blockSize > 65536 || (blockSize & (blockSize - 1)) != 0) return 0;
    disk->logicalBlockSize = (uint32_t)blockSize;
    disk->bytes = sectors * 512;
    if (SysfsPath(path, sizeof path, root, major_, minor_, "device/model") && ReadSysfsText(path, text, sizeof text)) {
        uint32_t length = 0;
        for (uint32_t i = 0; text[i] != 0 && i < sizeof disk->model - 1; i++) {
            const unsigned char c = (unsigned char)text[i];
            disk->model[i] = c >= 0x20 && c < 0x7F ? (char)c : '?';
            if (c != ' ') length = i + 1;
        }
        disk->model[length] = 0;
    }
    return 1;
}

DeviceHandle LinuxOpenDisk(const char *path, uint32_t major_, uint32_t minor_, const SysfsDisk *disk) {
    // O_DIRECT: what the drive holds, not what the page cache remembers of
    // it; a stale bitmap would trim clusters in use.
    int fd = OpenBlockDevice(path, O_RDWR | O_DIRECT, major_, minor_);
    if (fd < 0) return 0;
    LinuxDevice *device = (LinuxDevice *)NewDevice(fd);
    if (device != 0) device->disk = *disk;
    return device;
}

DeviceHandle LinuxLockPartition(const char *path, uint32_t major_, uint32_t minor_) {
    int fd = OpenBlockDevice(path, O_RDONLY | O_EXCL, major_, minor_);
    return fd < 0 ? 0 : NewDevice(fd);
}

int LinuxTrimPathOf(DeviceHandle drive) { return drive == 0 ? kLinuxTrimUnknown : ((LinuxDevice *)drive)->trimPath; }

int LinuxReadAligned(int fd, int64_t position, void *buffer, uint32_t size) {
    if (position < 0) return 0;
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
            ssize_t n = pread(fd, (uint8_t *)bounce + got, span - got, alignedStart + got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the end of the disk, or an error
            got += (uint32_t)n;
        }
        // The bytes asked for end at skip + want: fewer would leave stale
        // bounce bytes in the copy, and stale bitmap bytes read as free.
        if (got < skip + want) {
            ok = 0;
        } else {
            memcpy(target + done, (uint8_t *)bounce + skip, want);
            done += want;
        }
    }
    free(bounce);
    return ok;
}

int PlanDiscards(const TrimRange *ranges, uint32_t count, uint64_t maxBytes, uint64_t unit, DiscardSender send,
                 void *context) {
    if (unit == 0) return 0;
    const uint64_t piece = maxBytes / unit * unit;
    if (piece == 0) return 0;
    for (uint32_t i = 0; i < count;) {
        uint64_t start = ranges[i].lba * kLogicalBlock;
        uint64_t end = start + (uint64_t)ranges[i].blockCount * kLogicalBlock;
        for (i++; i < count && ranges[i].lba * kLogicalBlock == end; i++) {
            end += (uint64_t)ranges[i].blockCount * kLogicalBlock;
        }
        // Inwards: a unit only partly free must stay.
        start = (start + unit - 1) / unit * unit;
        end = end / unit * unit;
        for (; start < end; start += piece) {
            const uint64_t length = end - start < piece ? end - start : piece;
            if (!send(context, start, length)) return 0;
        }
    }
    return 1;
}

int AtaDriveIsTheDisk(const DriveIdentity *identity, uint64_t diskBytes) {
    return identity->sectors != 0 && identity->sectors <= UINT64_MAX / 512 && identity->sectors * 512 == diskBytes;
}

int BindingIdentifyDrive(DeviceHandle handle, DriveIdentity *identity) {
    LinuxDevice *drive = (LinuxDevice *)handle;
    if (AtaIdentifyDrive(handle, identity) && AtaDriveIsTheDisk(identity, drive->disk.bytes)) {
        drive->trimPath = kLinuxTrimAta;
        return 1;
    }
    // No ATA behind this disk (or not this disk's): the kernel's discard is
    // the way to it. The engine's ranges stay in 512-byte blocks and become byte ranges, so
    // the disk's own sector size plays no part here.
    ZeroBytes(identity, sizeof *identity);
    drive->trimPath = kLinuxTrimDiscard;
    identity->trimBit = drive->disk.discardMaxBytes != 0;
    identity->rangeBlocks = kMaxTrimPayloadBlocks;
    identity->logicalSectorSize = kLogicalBlock;
    memcpy(identity->model, drive->disk.model, sizeof identity->model);
    return 1;
}

int BindingTrimRanges(DeviceHandle handle, const TrimRange *ranges, uint32_t count) {
    LinuxDevice *drive = (LinuxDevice *)handle;
    if (drive == 0) return kTrimBatchFailed;
    if (drive->trimPath == kLinuxTrimAta) return AtaTrimRanges(handle, ranges, count);
    if (drive->trimPath != kLinuxTrimDiscard || count == 0 || count > kMaxTrimRangesPerCommand) {
        return kTrimBatchFailed;
    }
    // The same bounds as an ATA range entry: what the engine hands over is
    // the same either way.
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t blocks = ranges[i].blockCount;
        if (blocks == 0 || blocks > 0xFFFF || ranges[i].lba > ((uint64_t)1 << 48) - blocks) return kTrimBatchFailed;
    }
    return DiscardRanges(drive, ranges, count);
}

int BindingAtaCommand(DeviceHandle handle, AtaCommand *command) {
    LinuxDevice *device = (LinuxDevice *)handle;
    return device != 0 && PassThrough(device, command);
}

int BindingReadAt(DeviceHandle handle, int64_t position, void *buffer, uint32_t size) {
    LinuxDevice *device = (LinuxDevice *)handle;
    return device != 0 && LinuxReadAligned(device->fd, position, buffer, size);
}

void *BindingAllocate(uint32_t size) { return malloc(size == 0 ? 1 : size); }

void BindingFree(void *block) { free(block); }

void BindingClose(DeviceHandle handle) {
    LinuxDevice *device = (LinuxDevice *)handle;
    if (device == 0) return;
    close(device->fd);
    free(device);
}
