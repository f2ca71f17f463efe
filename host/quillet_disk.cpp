// quillet-disk: trims the free space of an unmounted NTFS partition of an
// ATA drive from Linux (a dual-boot machine, a rescue system). The engine
// runs on the Linux binding: the partition is locked by an exclusive open,
// the bitmap is read from the disk itself and TRIM goes to the drive
// through SG_IO.
//
// The run, step by step: arguments, the command list, open with the lock,
// the volume's state, what the volume is, the question, the trim, the
// summary. Each step is one function that returns an exit status or goes
// on. The checks and reports are quillet-image's (offline_checks.h,
// run_report.h): nobody but us holds the partition, yet Windows may have
// left it hibernated or unclean.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ata_request.h"
#include "binding.h"
#include "disk_tool.h"
#include "image_tool.h"
#include "linux_binding.h"
#include "offline_checks.h"
#include "run_report.h"
#include "tool_arguments.h"
#include "trim_engine.h"
#include "volume_state.h"

namespace {

// The engine opens volumes by letter; the binding maps this one to the
// partition given.
const char kVolumeLetter = 'Q';

// CheckArguments' answer to --help: the usage is printed, the run ends well.
const int kExitHelp = -1;

DiskToolOptions options;
TrimRun run;

int RecordCommand(void *, uint64_t lba, uint32_t blockCount, int accepted) {
    return RecordTrimCommand(&run, lba, blockCount, accepted);
}

void ShowProgress(TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount) {
    ShowRunProgress(&run, volume, firstCluster, clusterCount);
}

int Fail(const char *what, int status) {
    ReportRunFailure(&run, "%s", what);
    return status;
}

// Arguments and the things that can be checked before the disk is touched.
int CheckArguments(int argc, char **argv) {
    char error[160] = "";
    int parsed = ParseDiskToolArguments(argc, argv, &options, error, sizeof error);
    int finished = FinishArguments(parsed, parsed && options.help, "quillet-disk", error, kDiskToolUsage);
    if (finished >= 0) return finished == kExitOk ? kExitHelp : finished;
    StartTrimRun(&run, "quillet-disk", options.partition);
    if (!options.yes && !isatty(STDIN_FILENO)) {
        fprintf(stderr, "quillet-disk: no terminal to ask on; give --yes to trim without asking\n%s",
                kDiskToolUsage);
        return kExitUsage;
    }
    struct stat info;
    if (stat(options.partition, &info) != 0 || !S_ISBLK(info.st_mode)) {
        return Fail("not a block device", kExitUsage);
    }
    return kExitOk;
}

int OpenList() {
    const char *path = options.commandsFile;
    if (path == 0) return kExitOk;
    struct stat info;
    if (stat(path, &info) == 0 && S_ISBLK(info.st_mode)) {
        // Writing the list there would overwrite a disk.
        fprintf(stderr, "quillet-disk: %s: the command list cannot be a block device\n", path);
        return kExitUsage;
    }
    run.commands = OpenCommandList(path);
    if (run.commands < 0) {
        fprintf(stderr, "quillet-disk: %s: cannot write the command list (%s)\n", path, strerror(errno));
        return kExitUsage;
    }
    return kExitOk;
}

// Opens with the lock: a mounted or otherwise claimed partition fails with 4.
int OpenVolume(TrimVolume **volume) {
    LinuxBindVolume(kVolumeLetter, options.partition);
    LinuxObserveTrim(RecordCommand, 0, !options.dryRun);
    int status = OpenTrimVolume(kVolumeLetter, volume, 1);
    return status == kOpenOk ? kExitOk : Fail(OpenStatusText(status), status);
}

int ReadThroughDrive(void *context, int64_t position, void *buffer, uint32_t size) {
    return BindingReadAt(((TrimVolume *)context)->driveHandle, position, buffer, size);
}

// A hibernated or uncleanly closed Windows may own clusters its bitmap on
// the disk does not show yet.
int CheckState(TrimVolume *volume) {
    int state = CheckVolumeState(volume, volume->partitionOffset, ReadThroughDrive, volume);
    char reason[512];
    if (state == kVolumeClean) {
        return CheckBitmapClaims(volume, reason, sizeof reason) ? kExitOk : Fail(reason, kOpenBitmapFailed);
    }
    snprintf(reason, sizeof reason, "%s %s.", OpenStatusText(kOpenLockFailed), VolumeStateText(state));
    return Fail(reason, kOpenLockFailed);
}

void Describe(TrimVolume *volume) {
    uint8_t identify[kAtaDataSize];
    char model[41] = "unknown";
    if (AtaReadIdentify(volume->driveHandle, identify)) IdentifyModel(identify, model);
    printf("Drive model: %s\n", model);
    printf("Trim support: %d\n", volume->trimSupported);
    printf("Bitmap size: %u bytes\n", volume->bitmapSize);
    fflush(stdout);
}

// 1 when the user agreed (or --yes was given).
int Confirmed() {
    if (options.yes) return 1;
    printf("Trim the free space of %s%s? [y/N] ", options.partition,
           options.dryRun ? " (dry run: nothing is sent)" : "");
    fflush(stdout);
    char line[64];
    return fgets(line, sizeof line, stdin) != 0 && AnswerIsYes(line);
}

int Trim(TrimVolume *volume) {
    run.outcome.trimSupported = volume->trimSupported;
    int trimmed = volume->trimSupported && TrimFreeSpace(volume, ShowProgress);
    return FinishTrimRun(&run, trimmed, options.dryRun ? " (dry run: nothing sent)" : "");
}

}  // namespace

int main(int argc, char **argv) {
    int status = CheckArguments(argc, argv);
    if (status == kExitHelp) return kExitOk;
    if (status == kExitOk) status = OpenList();
    if (status != kExitOk) return status;

    TrimVolume *volume = 0;
    status = OpenVolume(&volume);
    if (status == kExitOk) status = CheckState(volume);
    if (status != kExitOk) {
        ReleaseTrimVolume(volume);
        if (run.commands >= 0) close(run.commands);
        return status;
    }
    Describe(volume);
    if (!volume->trimSupported) {
        // Said before the question: there is nothing to agree to.
        status = Trim(volume);
    } else if (!Confirmed()) {
        printf("Nothing trimmed.\n");
        if (run.commands >= 0) close(run.commands);
        status = kExitOk;
    } else {
        status = Trim(volume);
    }
    ReleaseTrimVolume(volume);
    return status;
}
