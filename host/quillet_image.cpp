// quillet-image: runs the trim engine on a disk image, the image standing
// for the physical drive and an emulated SSD answering the ATA commands.
//
// Nobody has locked the volume for us, so before the engine may trust the
// bitmap the image must be ours alone (not mounted, not behind a loop
// device, not in another run) and Windows must have left the volume closed.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulated_ssd.h"
#include "image_in_use.h"
#include "image_tool.h"
#include "offline_checks.h"
#include "partition_table.h"
#include "run_report.h"
#include "tool_arguments.h"
#include "trim_engine.h"

namespace {

const char kDriveLetter = 'Q';

TrimRun run;

void Fail(const char *format, const char *detail) { ReportRunFailure(&run, format, detail); }

int RecordCommand(void *, uint64_t lba, uint32_t blockCount, int accepted) {
    return RecordTrimCommand(&run, lba, blockCount, accepted);
}

void ShowProgress(TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount) {
    ShowRunProgress(&run, volume, firstCluster, clusterCount);
}

// The partition's place from the MBR; 0 after saying why it is refused.
int ResolvePartition(int fd, int64_t imageBytes, ImageToolOptions *options) {
    if (options->partition == 0) return 1;
    uint8_t sector[512];
    int other = 0;
    int check = ReadFromDescriptor(&fd, 0, sector, sizeof sector)
                    ? CheckMbrPartition(sector, options->partition, imageBytes, &options->offset, &options->length, &other)
                    : kPartitionNoMbr;
    if (check == kPartitionOk) return 1;
    char reason[128];
    DescribePartitionCheck(check, options->partition, other, reason, sizeof reason);
    Fail("%s", reason);
    return 0;
}

int TrimOpenedVolume(TrimVolume *volume, const ImageToolOptions &options) {
    printf("Trim support: %d\n", volume->trimSupported);
    printf("Bitmap size: %u bytes\n", volume->bitmapSize);
    run.outcome.trimSupported = volume->trimSupported;
    int trimmed = TrimFreeSpace(volume, ShowProgress);
    return FinishTrimRun(&run, trimmed, options.dryRun ? " (dry run: image unchanged)" : "");
}

}  // namespace

int main(int argc, char **argv) {
    ImageToolOptions options;
    char error[160] = "";
    int parsed = ParseImageToolArguments(argc, argv, &options, error, sizeof error);
    int finished = FinishArguments(parsed, parsed && options.help, "quillet-image", error, kImageToolUsage);
    if (finished >= 0) return finished;
    StartTrimRun(&run, "quillet-image", options.image);
    // This descriptor holds the run's lock and serves the checks' reads.
    int imageFd = open(options.image, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (imageFd < 0 || fstat(imageFd, &info) != 0 || !S_ISREG(info.st_mode)) {
        Fail("%s", "not a readable image file");
        return kExitUsage;
    }
    if (!LockImageExclusively(imageFd)) {
        Fail("%s Another quillet-image run is using the image.", OpenStatusText(kOpenLockFailed));
        return kOpenLockFailed;
    }
    char where[4200];
    if (FindImageInUse(imageFd, where, sizeof where)) {
        char reason[4400];
        snprintf(reason, sizeof reason, "%s The image is in use: %s. Unmount it (or detach the loop device) first.",
                 OpenStatusText(kOpenLockFailed), where);
        Fail("%s", reason);
        return kOpenLockFailed;
    }
    if (!ResolvePartition(imageFd, (int64_t)info.st_size, &options)) return kExitUsage;

    struct stat listInfo;
    if (options.commandsFile != 0 && stat(options.commandsFile, &listInfo) == 0 &&
        listInfo.st_dev == info.st_dev && listInfo.st_ino == info.st_ino) {
        // Opening the list for writing would truncate the image itself.
        fprintf(stderr, "quillet-image: %s: the command list cannot be the image\n", options.commandsFile);
        return kExitUsage;
    }

    HostReset();
    if (!HostAttachDisk(0, options.image, !options.dryRun)) {
        Fail("cannot open %s", options.dryRun ? "for reading" : "for reading and writing");
        return kExitUsage;
    }
    HostAttachVolume(kDriveLetter, 0, options.offset)->extentLength = options.length;
    EmulatedDrive *drive = HostDrive();
    drive->dryRun = options.dryRun;
    drive->trimSupported = !options.noTrim;
    drive->failTrimAt = options.failAt;
    HostObserveTrim(RecordCommand, 0);

    TrimVolume *volume = 0;
    int status = OpenTrimVolume(kDriveLetter, &volume, 0);
    if (status != kOpenOk) {
        Fail("%s", OpenStatusText(status));
        return status;
    }
    int state = CheckVolumeState(volume, options.offset, ReadFromDescriptor, &imageFd);
    if (state != kVolumeClean) {
        char reason[512];
        snprintf(reason, sizeof reason, "%s %s.", OpenStatusText(kOpenLockFailed), VolumeStateText(state));
        Fail("%s", reason);
        ReleaseTrimVolume(volume);
        return kOpenLockFailed;
    }
    if (options.commandsFile != 0) {
        run.commands = OpenCommandList(options.commandsFile);
        if (run.commands < 0) {
            fprintf(stderr, "quillet-image: %s: cannot write the command list (%s)\n", options.commandsFile,
                    strerror(errno));
            ReleaseTrimVolume(volume);
            return kExitUsage;
        }
    }
    int result = TrimOpenedVolume(volume, options);
    ReleaseTrimVolume(volume);
    return result;
}
