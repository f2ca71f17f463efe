// quillet-disk: trims the free space of an unmounted NTFS partition of an
// ATA drive from Linux (a dual-boot machine, a rescue system). The engine
// runs on the Linux binding: the partition is locked by an exclusive open,
// the bitmap is read from the disk itself and TRIM goes to the drive
// through SG_IO. The run itself is quillet-image's (offline_run.h): nobody
// but us holds the partition, yet Windows may have left it hibernated or
// unclean.
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
#include "linux_binding.h"
#include "offline_run.h"

namespace {

const char kProgram[] = "quillet-disk";

// The engine opens volumes by letter; the binding maps this one to the
// partition given.
const char kVolumeLetter = 'Q';

int Fail(const char *partition, const std::string &text, int status) {
    fprintf(stderr, "%s: %s: %s\n", kProgram, partition, text.c_str());
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

// "/dev/sda" for a partition of sda, from sysfs; "" when it cannot be told.
std::string ParentDisk(const struct stat &partition) {
    char link[64], resolved[PATH_MAX];
    snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(partition.st_rdev), minor(partition.st_rdev));
    if (realpath(link, resolved) == 0) return "";
    std::string path = resolved;
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "";
    path.resize(slash);
    return "/dev/" + path.substr(path.rfind('/') + 1);
}

}  // namespace

int main(int argc, char **argv) {
    DiskToolOptions options;
    char error[160] = "";
    int parsed = ParseDiskToolArguments(argc, argv, &options, error, sizeof error);
    int status = kExitOk;
    if (ArgumentsEndTheRun(parsed, options.common, kProgram, error, kDiskToolUsage, &status)) return status;
    const char *partition = options.common.operand;
    // A dry run changes nothing and asks nothing.
    int ask = !options.yes && !options.common.dryRun;
    if (ask && !isatty(STDIN_FILENO)) {
        fprintf(stderr, "%s: no terminal to ask on; give --yes to trim without asking\n%s", kProgram, kDiskToolUsage);
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
    if (!LinuxBindVolume(kVolumeLetter, partition)) {
        return Fail(partition, "cannot be bound as the volume to trim", kExitNoInput);
    }

    target.program = kProgram;
    target.options = &options.common;
    target.volumeLetter = kVolumeLetter;
    target.lockVolume = 1;
    target.ask = ask;
    target.showDriveModel = 1;
    target.imageFd = -1;
    target.readInput = ReadPartition;
    target.readContext = (void *)partition;
    target.volumeOffset = 0;
    target.inputBytes = -1;
    std::string disk = ParentDisk(target.input);
    target.pathTaken = "ATA DATA SET MANAGEMENT through SG_IO to " + (disk.empty() ? "the parent disk" : disk) +
                       (options.common.dryRun ? " (dry run: TRIM is not sent)" : "");
    return RunOfflineTrim(target);
}
