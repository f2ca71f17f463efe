// quillet-disk: trims the free space of an unmounted NTFS partition from
// Linux (a dual-boot machine, a rescue system). The engine runs on the
// Linux binding: the partition's place and parent disk come from sysfs, the
// partition is locked by an exclusive open, the bitmap is read from the
// disk itself and TRIM goes to the drive as ATA through SG_IO or, where no
// ATA answers, as the kernel's discard. The run itself is quillet-image's
// (offline_run.h): nobody but us holds the partition, yet Windows may have
// left it hibernated or unclean.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

#include "disk_tool.h"
#include "exit_status.h"
#include "json_report.h"
#include "binding.h"
#include "linux_binding.h"
#include "offline_run.h"
#include "trim_engine.h"

namespace {

const char kProgram[] = "quillet-disk";
const char kSysfs[] = "/sys";

// Where Fail's texts are also kept for --output=json; null: stderr alone.
std::string *gReasons = 0;

int Fail(const char *partition, const std::string &text, int status) {
    fprintf(stderr, "%s: %s: %s\n", kProgram, partition, text.c_str());
    if (gReasons != 0) AddReason(gReasons, text);
    return status;
}

// Plain reads of the partition, only to say what it holds when the engine
// finds no NTFS there.
int ReadPartition(void *context, int64_t position, void *buffer, uint32_t size) {
    int fd = open((const char *)context, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t got = pread(fd, buffer, size, (off_t)position);
    close(fd);
    return got == (ssize_t)size;
}

struct PartitionOpen {
    const char *partition;
    dev_t device;
    int dryRun;
};

// The partition's place and disk from sysfs, its lock, the disk, then the
// engine; an OpenStatus.
int OpenPartition(void *context, TrimVolume **volume, std::string *pathTaken, std::string *noTrimReason) {
    const PartitionOpen &request = *(const PartitionOpen *)context;
    *volume = 0;
    SysfsPartition place;
    if (!ParseSysfsPartition(kSysfs, major(request.device), minor(request.device), &place)) return kOpenExtentsFailed;
    DeviceHandle lock = LinuxLockPartition(request.partition, major(request.device), minor(request.device));
    if (lock == 0) return kOpenLockFailed;
    SysfsDisk disk;
    const std::string diskPath = std::string("/dev/") + place.diskName;
    DeviceHandle drive = ParseSysfsDisk(kSysfs, place.diskMajor, place.diskMinor, &disk)
                             ? LinuxOpenDisk(diskPath.c_str(), place.diskMajor, place.diskMinor, &disk)
                             : 0;
    if (drive == 0) {
        BindingClose(lock);
        return kOpenDriveFailed;
    }
    int status = OpenTrimVolumeOnDrive(drive, lock, place.offset, place.length, volume);
    if (status != kOpenOk) return status;
    if (LinuxTrimPathOf((*volume)->driveHandle) == kLinuxTrimAta) {
        *pathTaken = "ATA TRIM through SCSI-ATA translation (SG_IO) to " + diskPath;
    } else if (disk.discardMaxBytes == 0) {
        *pathTaken = "kernel discard (BLKDISCARD) on " + diskPath + ", which takes none";
        *noTrimReason = "the kernel reports no discard for " + diskPath + " (discard_max_bytes is 0)";
    } else {
        *pathTaken = "kernel discard (BLKDISCARD) on " + diskPath + ", at most " +
                     std::to_string(disk.discardMaxBytes) + " bytes each, in units of " +
                     std::to_string(disk.discardGranularity > disk.logicalBlockSize ? disk.discardGranularity
                                                                                     : disk.logicalBlockSize) +
                     " bytes";
    }
    if (request.dryRun) *pathTaken += " (dry run: TRIM is not sent)";
    return kOpenOk;
}

// The partition's whole run; `result` (null: not kept) gets what
// --output=json reports.
int TrimPartition(const DiskToolOptions &options, InputResult *result) {
    const char *partition = options.common.operand;
    // A dry run changes nothing and asks nothing.
    int ask = !options.yes && !options.common.dryRun;
    if (ask && !isatty(STDIN_FILENO)) {
        fprintf(stderr, "%s: no terminal to ask on; give --yes to trim without asking\n", kProgram);
        return kExitUsage;
    }

    OfflineTarget target = {};
    if (stat(partition, &target.input) != 0) {
        int cause = errno;
        return Fail(partition, strerror(cause), ExitStatusForErrno(cause));
    }
    if (!S_ISBLK(target.input.st_mode)) {
        return Fail(partition, "not a block device; for a disk image use quillet-image", kExitNoInput);
    }
    // The engine's open says only that it failed; ask the system why first.
    int probe = open(partition, O_RDONLY | O_CLOEXEC);
    if (probe < 0) {
        int cause = errno;
        return Fail(partition, std::string("cannot open the partition (") + strerror(cause) + ")",
                    ExitStatusForErrno(cause));
    }
    close(probe);
    PartitionOpen place = {partition, target.input.st_rdev, options.common.dryRun};

    target.program = kProgram;
    target.options = &options.common;
    target.lockVolume = 1;
    target.openVolume = OpenPartition;
    target.openContext = &place;
    target.showPath = 1;
    target.ask = ask;
    target.showDriveModel = 1;
    target.imageFd = -1;
    target.readInput = ReadPartition;
    target.readContext = (void *)partition;
    target.volumeOffset = 0;
    target.inputBytes = -1;
    VolumeResult volume = {};
    if (result != 0) target.result = &volume;
    const int status = RunOfflineTrim(target);
    if (result != 0) result->volumes.push_back(volume);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    DiskToolOptions options;
    char error[160] = "";
    int parsed = ParseDiskToolArguments(argc, argv, &options, error, sizeof error);
    int status = kExitOk;
    if (ArgumentsEndTheRun(parsed, options.common, kProgram, error, kDiskToolUsage, &status)) return status;
    if (!options.common.json) return TrimPartition(options, 0);
    // The document alone on stdout: the prose is left out, errors stay on stderr.
    options.common.quiet = 1;
    InputResult result = {};
    result.path = options.common.operand;
    result.size = result.allocationBefore = result.allocationAfter = -1;
    gReasons = &result.reason;
    status = result.status = TrimPartition(options, &result);
    fputs(FormatRunJson(kProgram, options.common.dryRun, status, "partitions", {FormatInputJson(result)}).c_str(),
          stdout);
    return status;
}
