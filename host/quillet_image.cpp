// quillet-image: runs the trim engine on a disk image, the image standing
// for the physical drive and an emulated SSD answering the ATA commands.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulated_ssd.h"
#include "image_tool.h"
#include "trim_engine.h"

namespace {

const char kDriveLetter = 'Q';

struct Run {
    FILE *commands;
    int commandsFailed;
    uint32_t commandCount;
    int lastPercent;
    int barShown;
};

Run run = {0, 0, 0, -1, 0};

void RecordCommand(void *context, uint64_t lba, uint32_t blockCount) {
    Run *state = (Run *)context;
    state->commandCount++;
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

int ResolveOffset(ImageToolOptions *options) {
    if (options->partition == 0) return 1;
    uint8_t sector[512];
    int fd = open(options->image, O_RDONLY);
    ssize_t got = fd >= 0 ? pread(fd, sector, sizeof sector, 0) : -1;
    if (fd >= 0) close(fd);
    if (got != (ssize_t)sizeof sector || !MbrPartitionExtent(sector, options->partition, &options->offset, &options->length)) {
        fprintf(stderr, "quillet-image: %s: no MBR partition %d\n", options->image, options->partition);
        return 0;
    }
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    ImageToolOptions options;
    char error[160];
    if (!ParseImageToolArguments(argc, argv, &options, error, sizeof error)) {
        fprintf(stderr, "quillet-image: %s\n%s", error, kImageToolUsage);
        return kExitUsage;
    }
    struct stat info;
    if (stat(options.image, &info) != 0 || !S_ISREG(info.st_mode)) {
        fprintf(stderr, "quillet-image: %s: not a readable image file\n", options.image);
        return kExitUsage;
    }
    if (!ResolveOffset(&options)) return kExitUsage;

    HostReset();
    if (!HostAttachDisk(0, options.image, !options.dryRun)) {
        fprintf(stderr, "quillet-image: %s: cannot open %s\n", options.image,
                options.dryRun ? "for reading" : "for reading and writing");
        return kExitUsage;
    }
    HostAttachVolume(kDriveLetter, 0, options.offset)->extentLength = options.length;
    EmulatedDrive *drive = HostDrive();
    drive->dryRun = options.dryRun;
    drive->trimSupported = !options.noTrim;
    drive->failTrimAt = options.failAt;

    struct stat listInfo;
    if (options.commandsFile != 0 && stat(options.commandsFile, &listInfo) == 0 &&
        listInfo.st_dev == info.st_dev && listInfo.st_ino == info.st_ino) {
        // Opening the list for writing would truncate the image itself.
        fprintf(stderr, "quillet-image: %s: the command list cannot be the image\n", options.commandsFile);
        return kExitUsage;
    }
    if (options.commandsFile != 0) {
        run.commands = fopen(options.commandsFile, "w");
        if (run.commands == 0) {
            fprintf(stderr, "quillet-image: %s: cannot write the command list\n", options.commandsFile);
            return kExitUsage;
        }
    }
    HostObserveTrim(RecordCommand, &run);

    TrimVolume *volume = 0;
    int status = OpenTrimVolume(kDriveLetter, &volume, 0);
    if (status != kOpenOk) {
        fprintf(stderr, "quillet-image: %s: %s\n", options.image, OpenStatusText(status));
        if (run.commands != 0) fclose(run.commands);
        return status;
    }
    printf("Trim support: %d\n", volume->trimSupported);
    printf("Bitmap size: %u bytes\n", volume->bitmapSize);
    int trimmed = TrimFreeSpace(volume, ShowProgress);
    if (trimmed) {
        printf("\rTrimming: [==================================] Done.\n");
    } else {
        printf("%sTrim error!\n", run.barShown ? "\n" : "");
    }
    ReleaseTrimVolume(volume);

    if (run.commands != 0 && (fclose(run.commands) != 0 || run.commandsFailed)) {
        fprintf(stderr, "quillet-image: %s: writing the command list failed\n", options.commandsFile);
        trimmed = 0;
    }
    const HostCounters *counters = HostCountersNow();
    printf("%u TRIM commands sent, %llu bytes trimmed%s\n", run.commandCount,
           (unsigned long long)counters->trimmedBytes, options.dryRun ? " (dry run: image unchanged)" : "");
    return trimmed ? kExitOk : kExitTrimFailed;
}
