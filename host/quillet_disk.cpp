// quillet-disk: trims the free space of an unmounted NTFS partition of an
// ATA drive from Linux (a dual-boot machine, a rescue system). The engine
// runs on the Linux binding: the partition is locked by an exclusive open,
// the bitmap is read from the disk itself and TRIM goes to the drive
// through SG_IO.
//
// The run, step by step: arguments, the command list, open with the lock,
// what the volume is, the question, the trim, the summary. Each step is one
// function that returns an exit status or goes on.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ata_request.h"
#include "disk_tool.h"
#include "image_tool.h"
#include "linux_binding.h"
#include "trim_engine.h"

namespace {

// The engine opens volumes by letter; the binding maps this one to the
// partition given.
const char kVolumeLetter = 'Q';

struct Run {
    DiskToolOptions options;
    FILE *commands;
    int commandsFailed;
    uint32_t commandCount;
    uint64_t trimmedBytes;
    int lastPercent;
    int barShown;
};

Run run;

void RecordCommand(void *context, uint64_t lba, uint32_t blockCount) {
    Run *state = (Run *)context;
    state->commandCount++;
    state->trimmedBytes += (uint64_t)blockCount * 512;
    if (state->commands != 0 && fprintf(state->commands, "%llu %u\n", (unsigned long long)lba, blockCount) < 0) {
        state->commandsFailed = 1;
    }
}

void ShowProgress(TrimVolume *volume, uint32_t firstCluster, uint32_t) {
    int percent = ProgressPercent(firstCluster, volume->totalClusters);
    if (percent == run.lastPercent) return;
    char line[64];
    FormatProgressLine(line, firstCluster, volume->totalClusters);
    fputs(line, stdout);
    fflush(stdout);
    run.lastPercent = percent;
    run.barShown = 1;
}

int Fail(const char *what, int status) {
    fprintf(stderr, "quillet-disk: %s: %s\n", run.options.partition, what);
    return status;
}

// Arguments and the things that can be checked before the disk is touched.
int CheckArguments(int argc, char **argv) {
    char error[160];
    if (!ParseDiskToolArguments(argc, argv, &run.options, error, sizeof error)) {
        fprintf(stderr, "quillet-disk: %s\n%s", error, kDiskToolUsage);
        return kExitUsage;
    }
    if (!run.options.yes && !isatty(STDIN_FILENO)) {
        fprintf(stderr, "quillet-disk: no terminal to ask on; give --yes to trim without asking\n%s",
                kDiskToolUsage);
        return kExitUsage;
    }
    struct stat info;
    if (stat(run.options.partition, &info) != 0 || !S_ISBLK(info.st_mode)) {
        return Fail("not a block device", kExitUsage);
    }
    return kExitOk;
}

int OpenCommandList() {
    const char *path = run.options.commandsFile;
    if (path == 0) return kExitOk;
    struct stat info;
    if (stat(path, &info) == 0 && S_ISBLK(info.st_mode)) {
        // Writing the list there would overwrite a disk.
        fprintf(stderr, "quillet-disk: %s: the command list cannot be a block device\n", path);
        return kExitUsage;
    }
    run.commands = fopen(path, "w");
    if (run.commands == 0) {
        fprintf(stderr, "quillet-disk: %s: cannot write the command list\n", path);
        return kExitUsage;
    }
    return kExitOk;
}

// Opens with the lock: a mounted or otherwise claimed partition fails with 4.
int OpenVolume(TrimVolume **volume) {
    LinuxBindVolume(kVolumeLetter, run.options.partition);
    LinuxObserveTrim(RecordCommand, &run, !run.options.dryRun);
    int status = OpenTrimVolume(kVolumeLetter, volume, 1);
    return status == kOpenOk ? kExitOk : Fail(OpenStatusText(status), status);
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
    if (run.options.yes) return 1;
    printf("Trim the free space of %s%s? [y/N] ", run.options.partition,
           run.options.dryRun ? " (dry run: nothing is sent)" : "");
    fflush(stdout);
    char line[64];
    return fgets(line, sizeof line, stdin) != 0 && AnswerIsYes(line);
}

int Trim(TrimVolume *volume) {
    if (!volume->trimSupported) return Fail(OpenStatusText(kOpenNoTrimSupport), kExitTrimFailed);
    int trimmed = TrimFreeSpace(volume, ShowProgress);
    if (trimmed) {
        printf("\rTrimming: [==================================] Done.\n");
    } else {
        printf("%sTrim error!\n", run.barShown ? "\n" : "");
    }
    return trimmed ? kExitOk : kExitTrimFailed;
}

int CloseCommandList(int status) {
    if (run.commands != 0 && (fclose(run.commands) != 0 || run.commandsFailed)) {
        fprintf(stderr, "quillet-disk: %s: writing the command list failed\n", run.options.commandsFile);
        if (status == kExitOk) status = kExitTrimFailed;
    }
    run.commands = 0;
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    run.lastPercent = -1;
    int status = CheckArguments(argc, argv);
    if (status == kExitOk) status = OpenCommandList();
    if (status != kExitOk) return status;

    TrimVolume *volume = 0;
    status = OpenVolume(&volume);
    if (status != kExitOk) return CloseCommandList(status);
    Describe(volume);
    if (!Confirmed()) {
        ReleaseTrimVolume(volume);
        printf("Nothing trimmed.\n");
        return CloseCommandList(kExitOk);
    }
    status = Trim(volume);
    ReleaseTrimVolume(volume);
    status = CloseCommandList(status);
    printf("%u TRIM commands sent, %llu bytes trimmed%s\n", run.commandCount,
           (unsigned long long)run.trimmedBytes, run.options.dryRun ? " (dry run: nothing sent)" : "");
    return status;
}
