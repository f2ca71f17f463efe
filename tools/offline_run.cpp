#include "offline_run.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "binding.h"
#include "disk_tool.h"
#include "exit_status.h"
#include "run_report.h"
#include "run_texts.h"
#include "trim_engine.h"
#include "volume_state.h"

namespace {

// Writing the list onto the input would overwrite the volume; onto a block
// device, a disk.
int CheckListPlace(const OfflineTarget &target, const TrimRun &run) {
    const char *path = target.options->commandsFile;
    struct stat info;
    if (path == 0 || stat(path, &info) != 0) return kExitOk;
    if (S_ISBLK(info.st_mode)) {
        ReportRunFailure(&run, std::string("the command list ") + path + " cannot be a block device");
        return kExitUsage;
    }
    if (info.st_dev == target.input.st_dev && info.st_ino == target.input.st_ino) {
        ReportRunFailure(&run, std::string("the command list ") + path + " cannot be the input itself");
        return kExitUsage;
    }
    return kExitOk;
}

// The open status's own text, then what was found or why.
std::string OpenFailure(const OfflineTarget &target, int status) {
    std::string text = OpenStatusText(status);
    if (status == kOpenBootSectorFailed || status == kOpenNotNtfs) {
        uint8_t head[4096];
        size_t got = ReadInputHead(target, head);
        const std::string at = " at byte " + std::to_string(target.volumeOffset);
        if (got >= 512 && memcmp(head + 3, "NTFS    ", 8) == 0) {
            // It is NTFS: what makes it unusable, or, when the boot
            // sector reads well now, the read that failed after it.
            text += status == kOpenNotNtfs
                        ? " Found an NTFS boot sector" + at + " whose geometry cannot be used: " +
                              DescribeNtfsGeometry(head) + "."
                        : " The disk refused a read of the volume's metadata ($MFT or $Bitmap) after its boot sector" +
                              at + ".";
            return text;
        }
        std::string found = got > 0 && got < 512 ? "only " + std::to_string(got) + " bytes" : DescribeFoundInstead(head, got);
        text += " Found " + found + at;
        if (got == 0 && target.inputBytes >= 0) text += ": the input has " + std::to_string(target.inputBytes) + " bytes";
        text += got == 0 ? "." : ", not an NTFS boot sector.";
    } else if (status == kOpenLockFailed && target.lockVolume) {
        text += " The partition is mounted or another program holds it.";
    } else if (status == kOpenExtentsFailed && target.lockVolume) {
        text += " Give a partition (such as /dev/sda2) that sysfs describes, not a whole disk.";
    } else if (status == kOpenDriveFailed && geteuid() != 0) {
        text += " Reaching the drive for ATA commands needs root.";
    }
    return text;
}

int64_t AllocatedBytes(int fd) {
    struct stat info;
    return fd >= 0 && fstat(fd, &info) == 0 ? (int64_t)info.st_blocks * 512 : -1;
}

// The clear bits of the volume's bitmap: its free clusters.
int64_t FreeClusters(const TrimVolume *volume) {
    int64_t free = 0;
    for (int64_t bit = 0; bit < (int64_t)volume->bitmapSize * 8; bit++) free += !(volume->bitmap[bit / 8] >> (bit % 8) & 1);
    return free;
}

void Describe(const OfflineTarget &target, TrimVolume *volume, const std::string &pathTaken) {
    const ToolCommonOptions &options = *target.options;
    if (options.quiet) return;
    if (target.showDriveModel || options.verbose) {
        printf("Drive model: %s\n", volume->identity.model[0] != 0 ? volume->identity.model : "unknown");
    }
    printf("TRIM: %s\n", volume->trimSupported ? "supported" : "not supported");
    // A FAT volume's bitmap is the open's, made from the FAT: its clusters
    // start at cluster 2, at partitionOffset.
    if (volume->fatBits != 0) {
        printf("FAT%u: %u clusters of %u bytes, %lld free\n", volume->fatBits, volume->fatClusters,
               volume->bytesPerCluster, (long long)FreeClusters(volume));
    } else {
        printf("Bitmap size: %u bytes\n", volume->bitmapSize);
    }
    if (options.verbose) {
        // As the open decoded it; all zero when the drive answered none.
        if (volume->identity.logicalSectorSize != 0) fputs(DescribeDriveLimits(volume->identity).c_str(), stdout);
        if (volume->fatBits != 0) {
            printf("Volume: cluster 2 at byte %lld\n", (long long)volume->partitionOffset);
        } else {
            printf("Volume: at byte %lld, %lld clusters of %u bytes\n", (long long)volume->partitionOffset,
                   (long long)volume->totalClusters, volume->bytesPerCluster);
        }
    }
    if (options.verbose || target.showPath) printf("Path: %s\n", pathTaken.c_str());
    fflush(stdout);
}

// 1 when the user agreed; asked only on a terminal (the front end made sure).
int Confirmed(const OfflineTarget &target) {
    if (!target.ask) return 1;
    printf("Trim the free space of %s? [y/N] ", target.options->operand);
    fflush(stdout);
    char line[64];
    return fgets(line, sizeof line, stdin) != 0 && AnswerIsYes(line);
}

// The command list's observer, with every accepted range also handed to
// the front end.
struct RunObserver {
    TrimRun *run;
    const OfflineTarget *target;
};

int ObserveCommand(void *context, const TrimRange *ranges, uint32_t rangeCount, int accepted) {
    RunObserver *observer = (RunObserver *)context;
    const int goOn = RecordTrimCommand(observer->run, ranges, rangeCount, accepted);
    if (accepted && observer->target->keepRange != 0) {
        for (uint32_t i = 0; i < rangeCount; i++) {
            observer->target->keepRange(observer->target->rangeContext, (int64_t)(ranges[i].lba * 512),
                                        (int64_t)ranges[i].blockCount * 512);
        }
    }
    return goOn;
}

}  // namespace

size_t ReadInputHead(const OfflineTarget &target, uint8_t *bytes) {
    if (target.readInput == 0) return 0;
    int64_t size = 4096;
    if (target.inputBytes >= 0) {
        int64_t left = target.inputBytes - target.volumeOffset;
        size = left < 0 ? 0 : left < size ? left : size;
    }
    for (; size > 0; size = size > 512 ? 512 : 0) {
        if (target.readInput(target.readContext, target.volumeOffset, bytes, (uint32_t)size)) return (size_t)size;
    }
    return 0;
}

namespace {

// The trim itself; RunOfflineTrim keeps its outcome and status.
int RunOfflineTrimOnce(const OfflineTarget &target) {
    const ToolCommonOptions &options = *target.options;
    TrimRun run;
    StartTrimRun(&run, target.program, target.subject.empty() ? options.operand : target.subject.c_str());
    run.showProgress = !options.quiet && isatty(STDERR_FILENO);
    if (target.result != 0) run.failures = &target.result->reason;
    int status = CheckListPlace(target, run);
    if (status != kExitOk) return status;

    TrimVolume *volume = 0;
    std::string pathTaken = target.pathTaken, noTrimReason;
    status = target.openVolume(target.openContext, &volume, &pathTaken, &noTrimReason);
    if (status != kOpenOk) {
        ReportRunFailure(&run, noTrimReason.empty() ? OpenFailure(target, status) : noTrimReason);
        return status;
    }
    // Released (ending the lock) on every way out.
    const std::unique_ptr<TrimVolume, void (*)(TrimVolume *)> opened(volume, ReleaseTrimVolume);
    // A hibernated or uncleanly closed Windows may own clusters its bitmap
    // on the disk does not show yet. A FAT volume's open made its own checks.
    int state = volume->fatBits != 0 ? kVolumeClean : CheckVolumeState(volume);
    if (state != kVolumeClean) {
        // Windows still owns the volume, or what the checks need cannot be
        // read or is damaged: each its own status.
        int readFailed = VolumeStateReadFailed(state), damaged = VolumeStateDamaged(state);
        // Windows holding the volume is no failure to lock: say what holds it.
        const std::string prefix = readFailed || damaged ? std::string(OpenStatusText(kOpenBitmapFailed)) + " " : "";
        ReportRunFailure(&run, prefix + VolumeStateText(state) + ".");
        return readFailed ? kExitIoError : damaged ? kExitDamaged : kExitInUse;
    }
    // Every cluster a file claims must be in use in the bitmap we loaded:
    // a bitmap that lies would send TRIM into that file.
    char claims[768];
    int readFailed = 0;
    if (volume->fatBits == 0 && !CheckBitmapClaims(volume, claims, sizeof claims, &readFailed)) {
        ReportRunFailure(&run, claims);
        return readFailed ? kExitIoError : kExitDamaged;
    }
    if (options.commandsFile != 0) {
        int append = target.listCreated != 0 && *target.listCreated;
        run.commands = OpenCommandList(options.commandsFile, append);
        if (run.commands < 0) {
            ReportRunFailure(&run, std::string("cannot create the command list ") + options.commandsFile + " (" +
                                       strerror(errno) + ")");
                return kExitCannotCreate;
        }
        if (target.listCreated != 0) *target.listCreated = 1;
    }
    Describe(target, volume, pathTaken);
    if (noTrimReason.empty()) noTrimReason = MissingTrimReason(volume->identity);
    run.noTrimReason = noTrimReason.c_str();
    // Said before the question when there is nothing to agree to.
    if (volume->trimSupported && !Confirmed(target)) {
        if (target.result != 0) {
            target.result->outcome = "skipped";
            target.result->reason = "not confirmed";
        }
        if (!options.quiet) printf("Nothing trimmed.\n");
        if (run.commands >= 0) close(run.commands);
        return kExitOk;
    }
    std::string unwalled;
    if (target.enterWall != 0 && !target.enterWall(target.wallContext, run.commands, &unwalled)) {
        ReportRunFailure(&run, unwalled);
        if (run.commands >= 0) close(run.commands);
        return kExitNoPermission;
    }
    // The drive's own limits: as many ranges per command as it takes.
    TrimRunOptions trim = {};
    trim.progress = ShowRunProgress;
    trim.progressContext = &run;
    RunObserver observer = {&run, &target};
    trim.observer = ObserveCommand;
    trim.observerContext = &observer;
    trim.dryRun = options.dryRun;
    trim.limits = DriveTrimLimits(volume);
    TrimRunReport report;
    int64_t before = target.measureAllocation != 0 ? target.measureAllocation(target.measureContext)
                                                   : AllocatedBytes(target.imageFd);
    TrimFreeSpaceWith(volume, &trim, &report);
    int finished = target.finishTrims == 0 || options.dryRun || target.finishTrims(target.finishContext);
    int64_t after = target.measureAllocation != 0 ? target.measureAllocation(target.measureContext)
                                                  : AllocatedBytes(target.imageFd);
    status = FinishTrimRun(&run, &report);
    const int64_t wouldRelease =
        options.dryRun && target.wouldRelease != 0 ? target.wouldRelease(target.rangeContext) : -1;
    if (target.result != 0) {
        target.result->commands = report.commandsSent;
        target.result->bytesTrimmed = report.blocksTrimmed * 512;
        target.result->clusterSize = volume->bytesPerCluster;
        target.result->clusters = volume->bytesPerCluster != 0 ? report.blocksTrimmed * 512 / volume->bytesPerCluster : 0;
        target.result->releaseKnown = wouldRelease >= 0;
        target.result->wouldRelease = wouldRelease;
    }
    if (!finished && status == kExitOk) {
        ReportRunFailure(&run, "the image did not take every trim: the last ones did not reach it");
        status = kExitTrimFailed;
    }
    if (!options.quiet) {
        TrimSummary summary = {report.commandsSent, report.blocksTrimmed * 512, options.dryRun, before, after,
                               target.keepsSpace, target.spaceNote.c_str(),
                               before < 0 || after < 0 ? target.allocationUnknown : 0, wouldRelease >= 0, wouldRelease,
                               target.releaseUnit.c_str()};
        fputs(FormatTrimSummary(summary).c_str(), stdout);
    }
    return status;
}

}  // namespace

int RunOfflineTrim(const OfflineTarget &target) {
    if (target.result != 0) target.result->outcome = "trimmed";
    const int status = RunOfflineTrimOnce(target);
    if (target.result != 0) {
        target.result->status = status;
        if (status != kExitOk) target.result->outcome = "refused";
    }
    return status;
}
