// quillet-image: runs the trim engine on a disk image, the image standing
// for the physical drive and an emulated SSD answering the ATA commands.
// Raw images are read directly; QEMU's formats through qemu-nbd.
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

#include <string>
#include <vector>

#include "emulated_ssd.h"
#include "image_in_use.h"
#include "image_store.h"
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

int TrimOpenedVolume(TrimVolume *volume, const ImageToolOptions &options) {
    printf("Trim support: %d\n", volume->trimSupported);
    printf("Bitmap size: %u bytes\n", volume->bitmapSize);
    run.outcome.trimSupported = volume->trimSupported;
    int trimmed = TrimFreeSpace(volume, ShowProgress);
    return FinishTrimRun(&run, trimmed, options.dryRun ? " (dry run: image unchanged)" : "");
}

// One volume at `offset` (`length` 0: to the end of the disk), from its
// open to its summary. Returns its exit status.
int TrimVolumeAt(const ImageToolOptions &options, int64_t offset, int64_t length, int listFd, DiskReadFunction read,
                 void *readContext) {
    HostAttachVolume(kDriveLetter, 0, offset)->extentLength = length;
    TrimVolume *volume = 0;
    int status = OpenTrimVolume(kDriveLetter, &volume, 0);
    if (status != kOpenOk) {
        Fail("%s", OpenStatusText(status));
        return status;
    }
    int state = CheckVolumeState(volume, offset, read, readContext);
    if (state != kVolumeClean) {
        char reason[512];
        snprintf(reason, sizeof reason, "%s %s.", OpenStatusText(kOpenLockFailed), VolumeStateText(state));
        Fail("%s", reason);
        ReleaseTrimVolume(volume);
        return kOpenLockFailed;
    }
    run.commands = listFd < 0 ? -1 : dup(listFd);
    int result = TrimOpenedVolume(volume, options);
    ReleaseTrimVolume(volume);
    return result;
}

int ReadFromStore(void *context, int64_t position, void *buffer, uint32_t size) {
    ImageStore *store = (ImageStore *)context;
    return store->read(store, position, buffer, size);
}

}  // namespace

int main(int argc, char **argv) {
    ImageToolOptions options;
    char error[160] = "";
    int parsed = ParseImageToolArguments(argc, argv, &options, error, sizeof error);
    int finished = FinishArguments(parsed, parsed && options.help, "quillet-image", error, kImageToolUsage);
    if (finished >= 0) return finished;
    StartTrimRun(&run, "quillet-image", options.image);
    // This descriptor holds the run's locks and serves the checks' reads.
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
    uint8_t header[512] = {0};
    int format = options.format != 0 ? ImageFormatByName(options.format)
                                     : (ReadFromDescriptor(&imageFd, 0, header, sizeof header) ? DetectImageFormat(header)
                                                                                                : kFormatRaw);
    if (format == kFormatUnknown) {
        Fail("--format %s: not one of raw, qcow2, vmdk, vhdx, vdi", options.format);
        return kExitUsage;
    }
    // Raw images are ours under QEMU's locks for the whole run; qemu-nbd
    // takes the same locks itself for the other formats, so there they are
    // only tested, to say plainly why an image is refused.
    char why[256];
    if (format == kFormatRaw ? !TakeQemuLocks(imageFd, why, sizeof why) : FindQemuLock(imageFd, why, sizeof why)) {
        char reason[512];
        snprintf(reason, sizeof reason, "%s The image is in use: %s. Stop the virtual machine (or the QEMU tool) first.",
                 OpenStatusText(kOpenLockFailed), why);
        Fail("%s", reason);
        return kOpenLockFailed;
    }

    struct stat listInfo;
    if (options.commandsFile != 0 && stat(options.commandsFile, &listInfo) == 0 &&
        listInfo.st_dev == info.st_dev && listInfo.st_ino == info.st_ino) {
        // Opening the list for writing would truncate the image itself.
        fprintf(stderr, "quillet-image: %s: the command list cannot be the image\n", options.commandsFile);
        return kExitUsage;
    }

    HostReset();
    ImageStore *store = 0;
    DiskReadFunction read = ReadFromDescriptor;
    void *readContext = &imageFd;
    int64_t diskBytes = (int64_t)info.st_size;
    int64_t allocatedBefore = AllocatedBytes(options.image);
    if (format == kFormatRaw) {
        if (!HostAttachDisk(0, options.image, !options.dryRun)) {
            Fail("cannot open %s", options.dryRun ? "for reading" : "for reading and writing");
            return kExitUsage;
        }
    } else {
        char reason[512];
        store = OpenNbdImageStore(options.image, format, !options.dryRun, reason, sizeof reason);
        if (store == 0 || !HostAttachStore(0, store)) {
            char message[640];
            snprintf(message, sizeof message, "%s %s", OpenStatusText(kOpenLockFailed), reason);
            Fail("%s", message);
            ReleaseImageStore(store);
            return kOpenLockFailed;
        }
        read = ReadFromStore;
        readContext = store;
        diskBytes = store->size;
    }
    EmulatedDrive *drive = HostDrive();
    drive->dryRun = options.dryRun;
    drive->trimSupported = !options.noTrim;
    drive->failTrimAt = options.failAt;
    HostObserveTrim(RecordCommand, 0);

    // The volumes: at --offset, partition N, or every NTFS partition.
    PartitionTable table;
    std::string reason;
    std::vector<DiskPartition> targets;
    int status = kExitOk;
    if (options.partition != 0 || options.offset == 0) {
        if (!ReadPartitionTable(read, readContext, diskBytes, &table, &reason)) {
            Fail("%s", reason.c_str());
            status = kExitUsage;
        } else if (options.partition != 0) {
            const DiskPartition *partition = FindPartition(table, options.partition);
            if (partition == 0 || partition->check != kPartitionOk) {
                Fail("%s", DescribePartitionCheck(table, options.partition, partition).c_str());
                status = kExitUsage;
            } else {
                targets.push_back(*partition);
            }
        } else {
            targets = table.partitions;
        }
    }
    if (status == kExitOk && targets.empty() && (options.partition == 0 && table.partitions.empty())) {
        DiskPartition whole = {};
        whole.offset = options.offset;
        targets.push_back(whole);
    }
    int listFd = -1;
    if (status == kExitOk && options.commandsFile != 0) {
        listFd = OpenCommandList(options.commandsFile);
        if (listFd < 0) {
            fprintf(stderr, "quillet-image: %s: cannot write the command list (%s)\n", options.commandsFile,
                    strerror(errno));
            status = kExitUsage;
        }
    }
    const int eachPartition = options.partition == 0 && !table.partitions.empty();
    const size_t count = status == kExitOk ? targets.size() : 0;
    for (size_t i = 0; i < count; i++) {
        const DiskPartition &target = targets[i];
        if (!eachPartition) {
            status = TrimVolumeAt(options, target.offset, target.length, listFd, read, readContext);
            break;
        }
        // Every partition by itself: its own checks, its own summary.
        std::string type = PartitionTypeName(table, target);
        uint8_t sector[512];
        if (target.check == kPartitionExtended || target.check == kPartitionEmpty) continue;
        if (target.check != kPartitionOk) {
            Fail("%s", DescribePartitionCheck(table, target.number, &target).c_str());
            status = kExitUsage;
            continue;
        }
        if (!read(readContext, target.offset, sector, sizeof sector) || !IsNtfsBootSector(sector)) {
            printf("Partition %d (%s): no NTFS volume, skipped\n", target.number, type.c_str());
            continue;
        }
        printf("Partition %d (%s):\n", target.number, type.c_str());
        fflush(stdout);
        std::string subject = std::string(options.image) + " partition " + std::to_string(target.number);
        StartTrimRun(&run, "quillet-image", subject.c_str());
        int result = TrimVolumeAt(options, target.offset, target.length, listFd, read, readContext);
        if (result > status) status = result;
    }
    if (listFd >= 0) close(listFd);
    if (store != 0) {
        if (!FinishImageStore(store) && status == kExitOk) {
            Fail("%s", "Trim error! qemu-nbd did not take every trim");
            status = kExitTrimFailed;
        }
        ReleaseImageStore(store);
        if (!options.dryRun) {
            printf("Image %s: %lld bytes allocated before, %lld after\n", ImageFormatName(format),
                   (long long)allocatedBefore, (long long)AllocatedBytes(options.image));
        }
    }
    HostReset();
    return status;
}
