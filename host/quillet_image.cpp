// quillet-image: runs the trim engine on a disk image, the image standing
// for the physical drive and an emulated SSD answering the ATA commands.
//
// Nobody has locked the volume for us, so before the engine may trust the
// bitmap the image must be ours alone (not mounted, not behind a loop
// device, not in another run) and Windows must have left the volume closed.
// The image is opened once: that descriptor holds the run's lock, serves
// the partition table and becomes the emulated drive's medium.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "emulated_ssd.h"
#include "exit_status.h"
#include "image_tool.h"
#include "offline_checks.h"
#include "offline_run.h"
#include "run_texts.h"
#include "trim_engine.h"

namespace {

const char kProgram[] = "quillet-image";
const char kDriveLetter = 'Q';

int Fail(const char *image, const std::string &text, int status) {
    fprintf(stderr, "%s: %s: %s\n", kProgram, image, text.c_str());
    return status;
}

// The partition's place from the MBR; kExitOk, or the status after saying
// why it is refused.
int ResolvePartition(int fd, int64_t imageBytes, ImageToolOptions *options) {
    if (options->partition == 0) return kExitOk;
    uint8_t sector[512];
    int other = 0;
    int check = ReadFromDescriptor(&fd, 0, sector, sizeof sector)
                    ? CheckMbrPartition(sector, options->partition, imageBytes, &options->offset, &options->length, &other)
                    : kPartitionNoMbr;
    if (check == kPartitionOk) return kExitOk;
    char reason[128];
    DescribePartitionCheck(check, options->partition, other, reason, sizeof reason);
    return Fail(options->common.operand, reason, kExitNoInput);
}

}  // namespace

int main(int argc, char **argv) {
    ImageToolOptions options;
    char error[160] = "";
    int parsed = ParseImageToolArguments(argc, argv, &options, error, sizeof error);
    int status = kExitOk;
    if (ArgumentsEndTheRun(parsed, options.common, kProgram, error, kImageToolUsage, &status)) return status;
    const char *image = options.common.operand;

    // A dry run punches no holes: reading is all it needs.
    int fd = open(image, (options.common.dryRun ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0) {
        int cause = errno;
        return Fail(image, std::string("cannot open the image (") + strerror(cause) + ")", ExitStatusForErrno(cause));
    }
    OfflineTarget target = {};
    if (fstat(fd, &target.input) != 0 || !S_ISREG(target.input.st_mode)) {
        close(fd);
        return Fail(image, "not a regular file; for a block device use quillet-disk", kExitNoInput);
    }
    if (!LockImageExclusively(fd)) {
        close(fd);
        return Fail(image, std::string(OpenStatusText(kOpenLockFailed)) + " Another quillet-image run is using the image.",
                    kExitInUse);
    }
    char where[4200];
    if (FindImageInUse(fd, where, sizeof where)) {
        close(fd);
        return Fail(image,
                    std::string(OpenStatusText(kOpenLockFailed)) + " The image is in use: " + where +
                        ". Unmount it (or detach the loop device) first.",
                    kExitInUse);
    }
    status = ResolvePartition(fd, (int64_t)target.input.st_size, &options);
    if (status != kExitOk) {
        close(fd);
        return status;
    }

    HostReset();
    if (!HostAttachDiskFile(0, fd, !options.common.dryRun)) {
        return Fail(image, "cannot measure the image", kExitIoError);
    }
    HostAttachVolume(kDriveLetter, 0, options.offset)->extentLength = options.length;
    EmulatedDrive *drive = HostDrive();
    drive->trimSupported = !options.noTrim;
    drive->failTrimAt = options.failAt;

    target.program = kProgram;
    target.options = &options.common;
    target.volumeLetter = kDriveLetter;
    target.imageFd = fd;
    target.readInput = ReadFromDescriptor;
    target.readContext = &fd;
    target.volumeOffset = options.offset;
    target.inputBytes = (int64_t)target.input.st_size;
    target.pathTaken = std::string("the emulated SSD over ") + image +
                       (options.common.dryRun ? ", read only (dry run)" : "; TRIM punches holes (fallocate)");
    if (options.partition != 0) target.pathTaken += "; MBR partition " + std::to_string(options.partition);
    status = RunOfflineTrim(target);
    HostReset();  // closes the image, ending the lock
    return status;
}
