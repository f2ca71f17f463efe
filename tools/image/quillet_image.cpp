// quillet-image: runs the trim engine on a disk image, the image's store
// standing for the physical drive (the image binding): reads and trimmed
// ranges go straight to the store. Raw images are read and punched
// directly; QEMU's formats go through qemu-nbd.
//
// Nobody has locked the volume for us, so before the engine may trust the
// bitmap the image must be ours alone (not mounted, not behind a loop
// device, not in another run, not open in QEMU) and Windows must have left
// the volume closed. The image is opened once: that descriptor holds the
// run's locks and, for a raw image, serves the partition table and is the
// store the engine reads and trims.
//
// Several images are trimmed one child process each: the Landlock wall a
// run enters cannot be left, and it lets the run write its own image alone.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "exit_status.h"
#include "fat_volume.h"
#include "image_copy.h"
#include "image_binding.h"
#include "image_header.h"
#include "image_in_use.h"
#include "image_punch.h"
#include "image_stores.h"
#include "image_tool.h"
#include "json_report.h"
#include "landlock_wall.h"
#include "libvirt_domain.h"
#include "offline_run.h"
#include "partition_table.h"
#include "run_report.h"
#include "run_texts.h"
#include "trim_engine.h"

namespace {

const char kProgram[] = "quillet-image";

// The copy a --copy-to run writes (its temporary file made by the parent
// process, which names it once the run is done); null: no copy.
CopyTarget *gCopy = 0;

// Where Fail's texts are also kept for --output=json: the image's reason,
// or the partition's while one is looked at. Null: stderr alone.
std::string *gReasons = 0;

int Fail(const char *image, const std::string &text, int status) {
    fprintf(stderr, "%s: %s: %s\n", kProgram, image, text.c_str());
    if (gReasons != 0) AddReason(gReasons, text);
    return status;
}

std::string InUse(const std::string &what, const char *advice) {
    return "The image is in use: " + what + ". " + advice;
}

int ReadFromStore(void *context, int64_t position, void *buffer, uint32_t size) {
    ImageStore *store = (ImageStore *)context;
    return store->read(store, position, buffer, size);
}

int FinishStore(void *context) { return FinishImageStore((ImageStore *)context); }

// The image drive and the place of the volume to open on it.
struct ImageVolume {
    ImageDrive *drive;
    int64_t offset;
    int64_t length;  // 0: up to the end of the disk
};

// The volume at its place on the image drive, as quillet-disk opens a
// partition on its drive. Nobody else locks an image: the run's own locks
// were taken before. A boot sector that names itself FAT is opened through
// the FAT (a partition, -p, --offset or a bare volume alike); on a refusal
// `refusal` says why, and the status is the exit status that goes with it.
int OpenImageVolume(void *context, TrimVolume **volume, std::string *, std::string *refusal) {
    const ImageVolume *place = (const ImageVolume *)context;
    int64_t length = place->length != 0 ? place->length : place->drive->store->size - place->offset;
    // An offset at or past the disk's end leaves the volume no room; it
    // goes on as one byte, so that the boot sector's read refuses it.
    if (length <= 0) length = 1;
    uint8_t sector[512];
    ImageStore *store = place->drive->store;
    if (length >= (int64_t)sizeof sector && store->read(store, place->offset, sector, sizeof sector) &&
        IsFatBootSector(sector)) {
        FatFinding finding;
        const int status = OpenFatTrimVolumeOnDrive(ImageDriveHandle(place->drive), place->offset, length, volume,
                                                    &finding);
        if (status == kOpenOk) return kOpenOk;
        int exitStatus = status;
        *refusal = DescribeFatFinding(finding, sector, place->offset, &exitStatus);
        return exitStatus;
    }
    return OpenTrimVolumeOnDrive(ImageDriveHandle(place->drive), 0, place->offset, length, volume);
}

// The test hook between the checks and the serving: a test re-points a
// name meanwhile, then writes to the FIFO.
void WaitForTest(const char *fifo) {
    int fd = open(fifo, O_RDONLY | O_CLOEXEC);
    char bytes[64];
    while (fd >= 0 && read(fd, bytes, sizeof bytes) > 0) {
    }
    if (fd >= 0) close(fd);
}

// The wall of this process, raised before its first trim.
struct ImageWall {
    int imageFd;
    int copyFd;       // the copy being written, -1: none
    int qemuRuleset;  // qemu-nbd's, until it has started
    int entered;
};

int EnterImageWall(void *context, int commandsFd, std::string *why) {
    ImageWall *wall = (ImageWall *)context;
    if (wall->entered) return 1;
    // An NBD export has no descriptor here: the run writes nothing on the host
    // then but the command list.
    int writable[3], count = 0;
    if (wall->imageFd >= 0) writable[count++] = wall->imageFd;
    if (wall->copyFd >= 0) writable[count++] = wall->copyFd;
    if (commandsFd >= 0) writable[count++] = commandsFd;
    int ruleset = -1;
    if (BuildWall(writable, count, &ruleset, why) != kWallRaised || !EnterWall(ruleset)) {
        if (why->empty()) *why = "the Landlock wall cannot be raised";
        return 0;
    }
    wall->entered = 1;
    return 1;
}

// Where the disk's bytes come from: the image file, or qemu-nbd.
struct DiskSource {
    DiskReadFunction read;
    void *context;
    int64_t bytes;
};

// The ranges a run trims (a dry run: would trim), joined: those of the
// volume since the last ask, for what the image would give back, and all
// of the run's, which a copy leaves out.
struct FreeRanges {
    ImageStore *store;
    std::vector<ByteRange> volume, all;
    // A qcow2 image's clusters in its file, for a dry run.
    PunchPlan map;
    int mapped;
    int64_t unit, fileBytes;
    int fd;
};

void KeepFreeRange(void *context, int64_t position, int64_t size) {
    FreeRanges *ranges = (FreeRanges *)context;
    AddByteRange(&ranges->volume, position, position + size);
    AddByteRange(&ranges->all, position, position + size);
}

int64_t WouldRelease(void *context) {
    FreeRanges *ranges = (FreeRanges *)context;
    int64_t total = 0;
    int told = 1;
    for (size_t i = 0; told && i < ranges->volume.size(); i++) {
        const int64_t start = ranges->volume[i].start, size = ranges->volume[i].end - start;
        int64_t some = -1;
        if (!ranges->mapped) {
            told = (some = ranges->store->released(ranges->store, start, size)) >= 0;
            total += some;
            continue;
        }
        // qcow2 frees the clusters the range covers whole; in those it covers
        // in part it writes zeros, which allocates the holes of the file
        // under them.
        const int64_t unit = ranges->unit, end = start + size;
        const int64_t first = (start + unit - 1) / unit * unit, last = std::max(end / unit * unit, first);
        const int64_t head = HolesUnder(ranges->fd, ranges->map, ranges->fileBytes, start, std::min(first, end));
        const int64_t tail = last < end ? HolesUnder(ranges->fd, ranges->map, ranges->fileBytes, std::max(last, start), end) : 0;
        told = head >= 0 && tail >= 0 &&
               ReleasedFromPlan(ranges->fd, ranges->map, unit, ranges->fileBytes, start, size, &some);
        total += some - head - tail;
    }
    ranges->volume.clear();
    // Zeros written into holes can outweigh what is freed: nothing is given back then.
    return told ? std::max<int64_t>(total, 0) : -1;
}

// An NTFS or FAT boot sector at byte 0 whose bytes 446 to 509 also read as
// sound MBR entries (boot flag 0 or 0x80, inside the disk, no overlap):
// fdisk shows partitions where we would see a bare volume. 1 with the reason.
int BootSectorAlsoHoldsPartitions(const DiskSource &disk, std::string *reason) {
    uint8_t sector[512];
    if (disk.bytes < 512 || !disk.read(disk.context, 0, sector, sizeof sector)) return 0;
    const int ntfs = IsNtfsBootSector(sector);
    if (!ntfs && !IsFatBootSector(sector)) return 0;
    for (int number = 1; number <= 4; number++) {
        const uint8_t bootFlag = sector[446 + 16 * (number - 1)];
        int64_t offset = 0, length = 0;
        int other = 0;
        if ((bootFlag == 0 || bootFlag == 0x80) &&
            CheckMbrPartition(sector, number, disk.bytes, &offset, &length, &other) == kPartitionOk) {
            *reason = std::string("byte 0 holds ") + (ntfs ? "an NTFS" : "a FAT") +
                      " boot sector that also reads as an MBR partition table (partition " +
                      std::to_string(number) + " at byte " + std::to_string(offset) +
                      "): say which is meant, --offset 0 for the volume or --offset " + std::to_string(offset) +
                      " for the partition";
            return 1;
        }
    }
    return 0;
}

// The volumes to trim: the one at --offset alone, partition N, or (with
// neither) every partition of the table, or the volume at byte 0 of a disk
// without one. *eachPartition tells the last case. kExitOk, or the status
// after saying why the table or the entry is refused.
int SelectVolumes(const ImageToolOptions &options, const DiskSource &disk, PartitionTable *table,
                  std::vector<DiskPartition> *volumes, int *eachPartition) {
    const char *image = options.common.operand;
    *eachPartition = 0;
    DiskPartition whole = {};
    whole.offset = options.offset;
    if (options.offsetGiven) {
        volumes->push_back(whole);
        return kExitOk;
    }
    std::string reason;
    if (!ReadPartitionTable(disk.read, disk.context, disk.bytes, table, &reason)) {
        return Fail(image, reason, kExitNoInput);
    }
    if (options.partition != 0) {
        const DiskPartition *partition = FindPartition(*table, options.partition);
        if (partition == 0 || partition->check != kPartitionOk) {
            return Fail(image, DescribePartitionCheck(*table, options.partition, partition), kExitNoInput);
        }
        volumes->push_back(*partition);
        return kExitOk;
    }
    if (table->partitions.empty()) {
        std::string both;
        if (BootSectorAlsoHoldsPartitions(disk, &both)) return Fail(image, both, kExitNoInput);
        volumes->push_back(whole);
        return kExitOk;
    }
    *volumes = table->partitions;
    *eachPartition = 1;
    return kExitOk;
}

// Whether partition `partition` is one to trim: 1 for an NTFS or FAT volume; 0
// when it is skipped (named on stdout unless quiet) or refused (*status
// raised after saying why).
int IsVolumeToTrim(const OfflineTarget &target, const PartitionTable &table, const DiskPartition &partition,
                   const DiskSource &disk, int *status) {
    const char *image = target.options->operand;
    // Extended containers and unused entries are no volumes.
    if (partition.check == kPartitionExtended || partition.check == kPartitionEmpty) return 0;
    int refused = kExitOk;
    uint8_t sector[512];
    if (partition.check != kPartitionOk) {
        refused = Fail(image, DescribePartitionCheck(table, partition.number, &partition), kExitNoInput);
    } else if (!disk.read(disk.context, partition.offset, sector, sizeof sector)) {
        refused = Fail(image, "partition " + std::to_string(partition.number) + " cannot be read", kExitIoError);
    }
    if (refused != kExitOk) {
        if (refused > *status) *status = refused;
        return 0;
    }
    std::string name = "Partition " + std::to_string(partition.number) + " (" + PartitionTypeName(table, partition) + ")";
    if (!IsNtfsBootSector(sector) && !IsFatBootSector(sector)) {
        if (!target.options->quiet) printf("%s: no NTFS or FAT volume, skipped\n", name.c_str());
        return 0;
    }
    if (!target.options->quiet) printf("%s:\n", name.c_str());
    fflush(stdout);
    return 1;
}

// A record for `volume` in `result` (null: none kept), which Fail's texts
// go to until the next; extended containers and empty entries get none.
VolumeResult *KeepVolumeResult(InputResult *result, const PartitionTable &table, const DiskPartition &volume,
                               int eachPartition) {
    if (result == 0) return 0;
    gReasons = &result->reason;
    if (volume.check == kPartitionExtended || volume.check == kPartitionEmpty) return 0;
    VolumeResult kept = {};
    kept.number = volume.number;
    kept.offset = volume.offset;
    kept.outcome = "skipped";
    if (eachPartition || volume.number != 0) kept.type = PartitionTypeName(table, volume);
    result->volumes.push_back(kept);
    gReasons = &result->volumes.back().reason;
    return &result->volumes.back();
}

// A partition IsVolumeToTrim turned down: refused with `status`, or
// skipped for holding neither NTFS nor FAT.
void SettleSkippedVolume(VolumeResult *volume, int status) {
    if (status != kExitOk) {
        volume->outcome = "refused";
        volume->status = status;
    } else {
        volume->reason = "no NTFS or FAT volume";
    }
}

// Every volume by itself: its own checks, its own summary. The worst
// status of them all.
int TrimVolumes(OfflineTarget *target, ImageVolume *place, const PartitionTable &table,
                const std::vector<DiskPartition> &volumes, int eachPartition, const DiskSource &disk,
                InputResult *result) {
    const char *image = target->options->operand;
    const std::string path = target->pathTaken;
    int listCreated = 0;
    target->listCreated = &listCreated;
    int status = kExitOk;
    int trimmed = 0;
    for (const DiskPartition &volume : volumes) {
        VolumeResult *kept = KeepVolumeResult(result, table, volume, eachPartition);
        target->result = kept;
        int turnedDown = kExitOk;
        if (eachPartition && !IsVolumeToTrim(*target, table, volume, disk, &turnedDown)) {
            if (turnedDown > status) status = turnedDown;
            if (kept != 0) SettleSkippedVolume(kept, turnedDown);
            continue;
        }
        place->offset = volume.offset;
        place->length = volume.length;
        target->volumeOffset = volume.offset;
        target->pathTaken = path;
        target->subject.clear();
        if (volume.number != 0) {
            target->pathTaken += std::string("; ") + (table.scheme == kSchemeGpt ? "GPT" : "MBR") + " partition " +
                                 std::to_string(volume.number);
            target->subject = std::string(image) + " partition " + std::to_string(volume.number);
        }
        int result = RunOfflineTrim(*target);
        if (result > status) status = result;
        trimmed++;
    }
    if (result != 0) gReasons = &result->reason;
    target->result = 0;
    if (eachPartition && trimmed == 0 && status == kExitOk) {
        status = Fail(image, std::string(OpenStatusText(kOpenNotNtfs)) + " No partition holds an NTFS or FAT volume.",
                      kExitNotNtfs);
    }
    return status;
}

int TrimDisk(const ImageToolOptions &options, OfflineTarget *partial, ImageStore *store, const DiskSource &disk,
             InputResult *result);

int64_t MeasureNbdAllocation(void *context) { return NbdAllocatedBytes((ImageStore *)context); }

// An image an NBD server serves: the server owns it, so none of the local
// in-use or lock checks apply; its capabilities decide what the run may do,
// and the same partition and NTFS checks run on what it serves.
int TrimNbdExport(const ImageToolOptions &options, InputResult *result) {
    const char *uri = options.common.operand;
    const int dryRun = options.common.dryRun;
    const size_t scheme = (size_t)(strstr(uri, "://") - uri);
    const std::string name(uri, scheme);
    if (name == "nbds" || name == "nbds+unix") {
        return Fail(uri,
                    "NBD over TLS needs key files, which quillet-image does not read: serve the export on a Unix "
                    "socket (nbd+unix://) or on a trusted network (nbd://)",
                    kExitNoInput);
    }
    if (name != "nbd" && name != "nbd+unix") {
        return Fail(uri, "only nbd:// and nbd+unix:// URIs are taken, not " + name + "://", kExitNoInput);
    }
    if (result != 0) result->format.clear();
    char reason[512] = "";
    int capability = 0;
    ImageStore *store = OpenNbdUriStore(uri, !dryRun, &capability, reason, sizeof reason);
    if (store == 0) return Fail(uri, reason, capability ? kExitTrimFailed : kExitNoInput);
    // Nothing on this host is written from here on but the command list.
    ImageWall wall = {-1, -1, -1, 0};
    std::string unwalled;
    int raised = BuildWall(0, 0, &wall.qemuRuleset, &unwalled);
    if (raised == kWallFailed) {
        ReleaseImageStore(store);
        return Fail(uri, unwalled, kExitNoPermission);
    }
    if (wall.qemuRuleset >= 0) close(wall.qemuRuleset);
    if (raised == kWallUnavailable && options.common.verbose) printf("Wall: none (%s)\n", unwalled.c_str());
    if (!options.common.quiet) {
        printf("The NBD server owns the image: no local in-use or lock checks apply; stop every virtual machine "
               "using it first\n");
    }
    OfflineTarget target = {};
    target.enterWall = raised == kWallRaised ? EnterImageWall : 0;
    target.wallContext = &wall;
    target.imageFd = -1;
    target.measureAllocation = MeasureNbdAllocation;
    target.measureContext = store;
    target.allocationUnknown = "the NBD server reports no block status";
    target.finishTrims = FinishStore;
    target.finishContext = store;
    target.pathTaken = std::string("over NBD from ") + uri +
                       (dryRun ? ", read only (dry run)" : "; TRIM becomes an NBD trim, which the server may turn "
                                                           "into freed space");
    if (result != 0) result->allocationBefore = NbdAllocatedBytes(store);
    DiskSource disk = {ReadFromStore, store, store->size};
    const int status = TrimDisk(options, &target, store, disk, result);
    ReleaseImageStore(store);
    return status;
}

// One image's whole run: its checks, refusals and summary. `result` (null:
// not kept) gets what --output=json reports.
int TrimImage(const ImageToolOptions &options, InputResult *result) {
    int status = kExitOk;
    const char *image = options.common.operand;
    if (result != 0) gReasons = &result->reason;
    const int dryRun = options.common.dryRun;
    if (IsNbdUri(image)) return TrimNbdExport(options, result);

    // The one open of the image by its name: everything after, qemu-nbd
    // included, goes through this descriptor. A dry run punches no holes:
    // reading is all it needs.
    int fd = open(image, (dryRun ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0) {
        int cause = errno;
        return Fail(image, std::string("cannot open the image (") + strerror(cause) + ")", ExitStatusForErrno(cause));
    }
    OfflineTarget target = {};
    if (fstat(fd, &target.input) != 0 || !S_ISREG(target.input.st_mode)) {
        close(fd);
        return Fail(image, "not a regular file; for a block device use quillet-disk", kExitNoInput);
    }
    // Another name of the same file is another way in that none of the
    // checks below (lock folders, holders by name) would see.
    if (!dryRun && target.input.st_nlink > 1) {
        close(fd);
        return Fail(image,
                    "the image has " + std::to_string((unsigned long long)target.input.st_nlink) +
                        " names (hard links): a virtual machine may use it under another one. Give it a name of its "
                        "own first (cp --sparse=always to a new file, then remove the old names)",
                    kExitNoInput);
    }
    if (result != 0) result->allocationBefore = (int64_t)target.input.st_blocks * 512;
    if (!LockImageExclusively(fd)) {
        close(fd);
        return Fail(image, "Another quillet-image run is using the image.",
                    kExitInUse);
    }
    std::string where;
    if (FindImageInUse(fd, &where)) {
        close(fd);
        return Fail(image, InUse(where, "Unmount it (or detach the loop device) first."), kExitInUse);
    }
    // A vmdk descriptor may be shorter than a sector.
    uint8_t header[512] = {0};
    const uint32_t headerBytes = target.input.st_size < (off_t)sizeof header ? (uint32_t)target.input.st_size : sizeof header;
    const int found = ReadFromDescriptor(&fd, 0, header, headerBytes) ? DetectImageFormat(header) : kFormatRaw;
    const int format = options.format != 0 ? ImageFormatByName(options.format) : found;
    if (result != 0) result->format = ImageFormatName(format);
    // A format named that the header contradicts would reach qemu-nbd as a
    // bare protocol error; -f raw stays allowed (the bytes read as they lie).
    if (format != kFormatRaw && found != format) {
        close(fd);
        const std::string given = ImageFormatName(format);
        if (options.formatSource != 0) {
            return Fail(image,
                        std::string(options.formatSource) + " names " + given + ", but " +
                            (found == kFormatRaw ? std::string("the image has no ") + given + " header at byte 0"
                                                 : std::string("the header is a ") + ImageFormatName(found) + " image's") +
                            ": correct the domain's driver type",
                        kExitNoInput);
        }
        return Fail(image,
                    found == kFormatRaw
                        ? "no " + given + " header at byte 0 (the image reads as raw): leave out -f " + given
                        : std::string("the header is a ") + ImageFormatName(found) + " image's, not " + given +
                              ": leave out -f, or give -f " + ImageFormatName(found),
                    kExitNoInput);
    }
    // A raw image is ours under QEMU's locks for the whole run (this
    // descriptor holds them); qemu-nbd takes the same locks itself for the
    // other formats, so there they are only tested, to say plainly why.
    std::string why;
    if (format == kFormatRaw ? !TakeQemuLocks(fd, &why) : FindQemuLock(fd, &why)) {
        close(fd);
        return Fail(image, InUse(why, "Stop the virtual machine (or the QEMU tool) first."), kExitInUse);
    }
    // A virtual machine without QEMU's locks, or another hypervisor.
    if (FindProcessHolding(fd, &why) || FindVmwareLock(image, &why)) {
        close(fd);
        return Fail(image, InUse(why, "Stop the virtual machine (or the program) first."), kExitInUse);
    }
    // What the header names is refused before QEMU reads a byte of it.
    if (!options.noHeaderCheck &&
        CheckImageHeader(ReadFromDescriptor, &fd, (int64_t)target.input.st_size, format, &why) != kHeaderSound) {
        close(fd);
        return Fail(image, why + ".", kExitNoInput);
    }
    if (options.waitFor != 0) WaitForTest(options.waitFor);

    // Landlock: qemu-nbd and this process may write the image and the
    // command list alone, whatever QEMU finds in the header.
    ImageWall wall = {fd, gCopy != 0 ? gCopy->fd : -1, -1, 0};
    std::string unwalled;
    int raised = BuildWall(&fd, 1, &wall.qemuRuleset, &unwalled);
    // qemu-img and qemu-nbd on the copy reach the copy alone.
    int copyRuleset = -1;
    if (raised == kWallRaised && gCopy != 0 && BuildWall(&gCopy->fd, 1, &copyRuleset, &unwalled) != kWallRaised) {
        raised = kWallFailed;
    }
    if (raised == kWallFailed) {
        if (wall.qemuRuleset >= 0) close(wall.qemuRuleset);
        close(fd);
        return Fail(image, unwalled, kExitNoPermission);
    }
    if (raised == kWallUnavailable && options.common.verbose) printf("Wall: none (%s)\n", unwalled.c_str());
    target.enterWall = raised == kWallRaised ? EnterImageWall : 0;
    target.wallContext = &wall;
    target.imageFd = fd;
    int64_t qcow2Unit = 0;

    DiskSource disk = {ReadFromDescriptor, &fd, (int64_t)target.input.st_size};
    ImageStore *store = 0;
    target.pathTaken = std::string("straight onto ") + image;
    if (format == kFormatRaw) {
        // The store reads and punches through the descriptor, which stays ours.
        store = OpenRawImageStoreOn(fd);
        if (store == 0) {
            if (wall.qemuRuleset >= 0) close(wall.qemuRuleset);
            close(fd);
            return Fail(image, "cannot measure the image", kExitIoError);
        }
        target.pathTaken += dryRun ? ", read only (dry run)" : "; TRIM punches holes (fallocate)";
        target.releaseUnit = "whole blocks of " + std::to_string(target.input.st_blksize) + " bytes of the host file system";
    } else {
        char reason[256] = "";
        // In place, QEMU only reads the image: its trims free nothing there.
        const int punches = FormatPunchesInPlace(format);
        store = OpenNbdImageStore(fd, format, !dryRun && !punches, wall.qemuRuleset, reason, sizeof reason);
        if (store != 0 && punches) {
            PunchPlan plan;
            std::string refused;
            if (!PlanInPlacePunch(fd, format, wall.qemuRuleset, (int64_t)target.input.st_size, store, &plan, &refused)) {
                ReleaseImageStore(store);
                if (wall.qemuRuleset >= 0) close(wall.qemuRuleset);
                close(fd);
                return Fail(image, std::string("the ") + ImageFormatName(format) +
                                       " image cannot be given its space back in place: " + refused + ".",
                            kExitNoInput);
            }
            target.spaceNote = DescribePunchedSpace(format, plan);
            target.releaseUnit = "whole blocks of " + std::to_string(plan.blockBytes) + " bytes of the host file system";
            store = OpenPunchImageStore(store, fd, plan, options.killAfterPunches);
        } else if (format == kFormatQcow2) {
            uint8_t bits[4] = {0};
            if (ReadFromDescriptor(&fd, 20, bits, sizeof bits) && bits[0] == 0 && bits[1] == 0 && bits[2] == 0 &&
                bits[3] >= 9 && bits[3] <= 21) {
                target.spaceNote = DescribeQcow2Space((int64_t)1 << bits[3]);
                if (store != 0) SetNbdReleaseUnit(store, (int64_t)1 << bits[3]);
                qcow2Unit = (int64_t)1 << bits[3];
                target.releaseUnit = "whole clusters of " + std::to_string(1 << bits[3]) + " bytes that hold data";
            }
        }
        if (store == 0) {
            if (wall.qemuRuleset >= 0) close(wall.qemuRuleset);
            close(fd);
            return Fail(image, std::string("cannot read the ") + ImageFormatName(format) + " image: " + reason,
                        kExitNoInput);
        }
        disk = {ReadFromStore, store, store->size};
        target.finishTrims = FinishStore;
        target.finishContext = store;
        const int releases = FormatReleasesSpace(format) || punches;
        if (!releases) target.keepsSpace = ImageFormatName(format);
        target.pathTaken += std::string(" (") + ImageFormatName(format) + ") through qemu-nbd" +
                            (dryRun     ? ", read only (dry run)"
                             : punches  ? ", read only; TRIM punches holes (fallocate) where the range's data lies in "
                                          "the file, no temporary space needed"
                             : releases ? "; TRIM becomes an NBD request that frees its clusters"
                                        : "; TRIM becomes an NBD trim, which QEMU drops for this format");
    }
    FreeRanges ranges;
    ranges.store = store;
    ranges.mapped = 0;
    ranges.unit = 0;
    ranges.fd = fd;
    ranges.fileBytes = (int64_t)target.input.st_size;
    if (dryRun && qcow2Unit > 0) {
        std::string unmapped;
        // Without the map, the clusters that hold data are counted whole.
        if (ReadImageMap(fd, format, wall.qemuRuleset, disk.bytes, &ranges.map, &unmapped)) {
            ranges.mapped = 1;
            ranges.unit = qcow2Unit;
        }
    }
    if (wall.qemuRuleset >= 0) close(wall.qemuRuleset);
    wall.qemuRuleset = -1;
    std::string copyWhy;
    ImageStore *copyStore = 0;
    if (gCopy != 0) {
        if (gCopy->format == kFormatUnknown) gCopy->format = format;
        if (!FormatCopyTarget(*gCopy, disk.bytes, copyRuleset, &copyWhy) ||
            ((copyStore = ServeCopyTarget(*gCopy, disk.bytes, copyRuleset, &copyWhy)) == 0 && gCopy->format != kFormatRaw)) {
            ReleaseImageStore(store);
            if (copyRuleset >= 0) close(copyRuleset);
            close(fd);
            return Fail(image, "no copy: " + copyWhy, kExitCannotCreate);
        }
    }
    // Kept for a dry run's figure and a copy (also a dry run) alone.
    target.keepRange = dryRun ? KeepFreeRange : 0;
    target.wouldRelease = store->released != 0 ? WouldRelease : 0;
    target.rangeContext = &ranges;
    status = TrimDisk(options, &target, store, disk, result);
    // The copy only of a disk whose every volume passed its checks: a
    // refused one's free space is not known.
    if (gCopy != 0) {
        int64_t written = 0;
        if (status != kExitOk) {
            ReleaseImageStore(copyStore);
            Fail(image, "no copy written: the image's checks did not all pass", status);
        } else if (!CopyHasRoom(*gCopy, disk.bytes, ranges.all, (int64_t)target.input.st_blocks * 512, &copyWhy)) {
            ReleaseImageStore(copyStore);
            status = Fail(image, "no copy: " + copyWhy, kExitCannotCreate);
        } else if (!WriteCompactCopy(store, ranges.all, *gCopy, copyStore, copyRuleset, options.killAfterPunches, &written,
                                     &copyWhy)) {
            status = Fail(image, "no copy: " + copyWhy, kExitIoError);
        } else if (!options.common.quiet) {
            printf("Copy: %lld bytes of data written, %lld bytes of free space left out\n", (long long)written,
                   (long long)[&] {
                       int64_t left = 0;
                       for (const ByteRange &range : ranges.all) left += range.end - range.start;
                       return left;
                   }());
        }
        if (copyRuleset >= 0) close(copyRuleset);
    }
    // qemu-nbd ends before the image's lock does.
    ReleaseImageStore(store);
    struct stat after;
    if (result != 0 && fstat(fd, &after) == 0) result->allocationAfter = (int64_t)after.st_blocks * 512;
    close(fd);
    return status;
}

// The disk's volumes on `store`, which stays the caller's to release.
int TrimDisk(const ImageToolOptions &options, OfflineTarget *partial, ImageStore *store, const DiskSource &disk,
             InputResult *result) {
    OfflineTarget &target = *partial;
    int status = kExitOk;
    if (result != 0) result->size = disk.bytes;
    ImageDrive drive = {store, options.noTrim, options.failAt, 0};
    ImageVolume place = {&drive, 0, 0};

    target.program = kProgram;
    target.options = &options.common;
    target.openVolume = OpenImageVolume;
    target.openContext = &place;
    target.readInput = disk.read;
    target.readContext = disk.context;
    target.inputBytes = disk.bytes;
    PartitionTable table;
    std::vector<DiskPartition> volumes;
    int eachPartition = 0;
    status = SelectVolumes(options, disk, &table, &volumes, &eachPartition);
    if (status == kExitOk) status = TrimVolumes(&target, &place, table, volumes, eachPartition, disk, result);
    // A server's answer is had while the connection lasts.
    if (result != 0 && target.measureAllocation != 0) result->allocationAfter = target.measureAllocation(target.measureContext);
    return status;
}

// One image of the run: a path or URI given, or a disk of a libvirt
// domain, with the format its XML names and, when the domain's disk is not
// one to trim, why (skipped: `skipped` set; refused: `status` too).
struct ImageItem {
    std::string name;
    std::string format;  // empty: -f or the header decides
    std::string domain, disk;
    std::string reason;
    int skipped;
    int status;  // kExitOk unless refused before its run
    int wholeDomain;  // the domain itself was refused (its state, its name): no disk
    int noPath;       // named for messages alone (a domain, a disk that is no file): JSON's path is null
};

// The record of a run that ended early is filled too (nothing was trimmed
// then, so the allocation stayed).
InputResult StartResult(const ImageItem &item) {
    InputResult result = {};
    if (!item.noPath) result.path = item.name;
    result.domain = item.domain;
    result.disk = item.disk;
    result.format = item.format;
    result.size = result.allocationBefore = result.allocationAfter = -1;
    return result;
}

// One image's run, for the JSON document.
std::string TrimImageForJson(const ImageToolOptions &options, const ImageItem &item, int *status) {
    InputResult result = StartResult(item);
    *status = result.status = TrimImage(options, &result);
    if (result.allocationAfter < 0) result.allocationAfter = result.allocationBefore;
    return FormatInputJson(result);
}

// The options of one item's run: its name as the operand, the domain's
// format as if given with -f, but named as the XML's in messages.
ImageToolOptions ItemOptions(ImageToolOptions options, const ImageItem &item) {
    options.common.operand = item.name.c_str();
    if (!item.format.empty()) {
        options.format = item.format.c_str();
        options.formatSource = "the domain's XML";
    }
    return options;
}

// A child trimming one image; with `capture`, its stdout and stderr go to
// files of its own for the parent to print whole, in the order given.
struct ImageChild {
    pid_t pid;
    int out, err;  // memory files, or -1 when the child writes straight out
    int status;    // once it ended
    int ended;
};

// Copies all `fd` holds to `to`. Output lost here cannot be told anyone.
void CopyOut(int fd, int to) {
    char bytes[65536];
    ssize_t got;
    if (fd < 0 || lseek(fd, 0, SEEK_SET) != 0) return;
    while ((got = read(fd, bytes, sizeof bytes)) > 0) {
        for (ssize_t done = 0; done < got;) {
            ssize_t written = write(to, bytes + done, (size_t)(got - done));
            if (written <= 0) return;
            done += written;
        }
    }
}

std::string WholeFile(int fd) {
    std::string text;
    char bytes[65536];
    ssize_t got;
    if (lseek(fd, 0, SEEK_SET) != 0) return text;
    while ((got = read(fd, bytes, sizeof bytes)) > 0) text.append(bytes, (size_t)got);
    return text;
}

// The child's part: the image's run, then its JSON object on stdout.
void RunImageChild(const ImageToolOptions &given, const ImageItem &item, const ImageChild &child) {
    if (child.out >= 0 && (dup2(child.out, STDOUT_FILENO) < 0 || dup2(child.err, STDERR_FILENO) < 0)) _exit(kExitIoError);
    const ImageToolOptions options = ItemOptions(given, item);
    int status = kExitOk;
    if (options.common.json) {
        fputs(TrimImageForJson(options, item, &status).c_str(), stdout);
    } else {
        status = TrimImage(options, 0);
    }
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

int StartImageChild(const ImageToolOptions &options, const ImageItem &item, int capture, ImageChild *child) {
    *child = {-1, -1, -1, kExitOk, 0};
    if (capture) {
        child->out = memfd_create("quillet-image-out", MFD_CLOEXEC);
        child->err = memfd_create("quillet-image-err", MFD_CLOEXEC);
        if (child->out < 0 || child->err < 0) return 0;
    }
    // Nothing buffered may be written twice, by the parent and the child.
    fflush(stdout);
    fflush(stderr);
    child->pid = fork();
    if (child->pid == 0) RunImageChild(options, item, *child);
    return child->pid > 0;
}

// Waits for one child to end; the exit status it gave, or for a child
// that did not end by itself, kExitSoftware after saying so.
void AwaitImageChild(std::vector<ImageChild> *children, const std::vector<ImageItem> &items) {
    int wait = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &wait, 0)) < 0 && errno == EINTR) {
    }
    for (size_t i = 0; i < children->size(); i++) {
        ImageChild &child = (*children)[i];
        if (child.pid != pid || child.ended) continue;
        child.ended = 1;
        child.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : kExitSoftware;
        if (!WIFEXITED(wait)) {
            const char *name = items[i].name.c_str();
            const std::string text = std::string("the run ended on signal ") + std::to_string(WTERMSIG(wait)) + " (" +
                                     strsignal(WTERMSIG(wait)) + ")";
            if (child.err >= 0) {
                dprintf(child.err, "%s: %s: %s\n", kProgram, name, text.c_str());
            } else {
                Fail(name, text, kExitSoftware);
            }
            // A document cut short would not parse: the parent says it.
            if (child.out >= 0) {
                InputResult result = StartResult(items[i]);
                result.status = kExitSoftware;
                result.reason = text;
                if (ftruncate(child.out, 0) == 0) dprintf(child.out, "%s", FormatInputJson(result).c_str());
            }
        }
        return;
    }
}

// What names an item in the header line before its output.
std::string ItemHeader(const ImageItem &item) {
    if (item.wholeDomain) return "domain: " + item.domain + "\n";
    std::string header = "image: " + item.name;
    if (!item.domain.empty()) header += " (domain " + item.domain + (item.disk.empty() ? "" : ", disk " + item.disk) + ")";
    return header + "\n";
}

// An item settled before any run: skipped (said on stdout) or refused (on
// stderr), with its JSON record.
std::string SettleItem(const ImageToolOptions &options, const ImageItem &item) {
    if (item.skipped) {
        std::string shown = item.reason;
        shown[0] = (char)toupper((unsigned char)shown[0]);
        if (!options.common.quiet) printf("%s\n", shown.c_str());
    } else {
        fprintf(stderr, "%s: %s: %s\n", kProgram, item.name.c_str(), item.reason.c_str());
    }
    InputResult result = StartResult(item);
    result.status = item.status;
    result.reason = item.reason;
    return FormatInputJson(result);
}

// Several images, each in a child of its own, `options.jobs` at a time.
// Each image's output is printed whole, in the order given, after a header
// line naming it (human output) or as one object of the document (JSON).
int TrimImages(const ImageToolOptions &options, const std::vector<ImageItem> &items) {
    const size_t count = items.size();
    const int json = options.common.json;
    const int capture = json || options.jobs > 1;
    std::vector<ImageChild> children(count);
    std::vector<std::string> objects;
    size_t started = 0, printed = 0;
    int running = 0, status = kExitOk;
    while (printed < count) {
        // Straight out, an item starts only once every one before it is printed.
        while (started < count && running < options.jobs && (capture || started == printed)) {
            const ImageItem &item = items[started];
            ImageChild &child = children[started];
            started++;
            if (!item.reason.empty()) {
                child = {-1, -1, -1, item.status, 1};
                continue;
            }
            // Straight out, one at a time: the header goes first.
            if (!capture && !options.common.quiet) printf("%s%s", started == 1 ? "" : "\n", ItemHeader(item).c_str());
            if (!StartImageChild(options, item, capture, &child)) {
                int cause = errno;
                child.ended = 1;
                child.status = Fail(item.name.c_str(), std::string("cannot start its run (") + strerror(cause) + ")",
                                    kExitIoError);
            } else {
                running++;
            }
        }
        if (running > 0 && !children[printed].ended) {
            AwaitImageChild(&children, items);
            running--;
            continue;
        }
        ImageChild &child = children[printed];
        const ImageItem &item = items[printed];
        if (child.status > status) status = child.status;
        if (!item.reason.empty()) {
            if (!json && !options.common.quiet) printf("%s%s", printed == 0 ? "" : "\n", ItemHeader(item).c_str());
            fflush(stdout);
            const std::string object = SettleItem(options, item);
            if (json) objects.push_back(object);
        } else if (json) {
            objects.push_back(child.out >= 0 ? WholeFile(child.out) : "");
            CopyOut(child.err, STDERR_FILENO);
        } else if (capture) {
            if (!options.common.quiet) printf("%s%s", printed == 0 ? "" : "\n", ItemHeader(item).c_str());
            fflush(stdout);
            CopyOut(child.out, STDOUT_FILENO);
            CopyOut(child.err, STDERR_FILENO);
        }
        fflush(stdout);
        if (child.out >= 0) close(child.out);
        if (child.err >= 0) close(child.err);
        printed++;
    }
    if (json) fputs(FormatRunJson(kProgram, options.common.dryRun, status, "images", objects).c_str(), stdout);
    return status;
}

// The items of one domain's disks; the count of those to trim.
int AddDomainDisks(const char *domain, const std::vector<DomainDisk> &disks, std::vector<ImageItem> *items) {
    int trimmed = 0;
    for (const DomainDisk &disk : disks) {
        ImageItem item = {};
        item.name = !disk.path.empty() ? disk.path : std::string("domain ") + domain + " disk " + disk.target;
        item.noPath = disk.path.empty();
        item.domain = domain;
        item.disk = disk.target;
        item.format = disk.format;
        if (disk.action != kDiskTrim) {
            item.reason = disk.reason;
            item.skipped = disk.action == kDiskSkip;
            item.status = item.skipped ? kExitOk : kExitNoInput;
        } else {
            trimmed++;
        }
        items->push_back(item);
    }
    return trimmed;
}

// The items of the domains' disks, each domain's in its order. A domain
// that cannot be listed, or is not shut off, is one refused item: it
// stops none of the others.
int DomainItems(const ImageToolOptions &options, std::vector<ImageItem> *items, int *status) {
    int trimmed = 0;
    std::vector<std::string> names(options.domains, options.domains + options.domainCount);
    std::string unlisted;
    if (options.allDomains && !ListDomainNames(options.connect, &names, &unlisted)) {
        fprintf(stderr, "%s: %s\n", kProgram, unlisted.c_str());
        *status = kExitNoInput;
        return 0;
    }
    for (const std::string &name : names) {
        const char *domain = name.c_str();
        std::vector<DomainDisk> disks;
        ImageItem whole = {};
        whole.name = std::string("domain ") + domain;
        whole.domain = domain;
        whole.wholeDomain = whole.noPath = 1;
        if (!ListDomainDisks(options.connect, domain, &disks, &whole.reason, &whole.status)) {
            // Asked for every domain, one that runs is no fault: it is named
            // and left alone.
            if (options.allDomains && whole.status == kExitInUse) {
                whole.reason = whole.reason.substr(0, whole.reason.find(':')) + ", skipped";
                whole.skipped = 1;
                whole.status = kExitOk;
            }
            items->push_back(whole);
            continue;
        }
        if (disks.empty()) {
            whole.reason = "the domain has no disk";
            whole.status = kExitNoInput;
            items->push_back(whole);
        }
        trimmed += AddDomainDisks(domain, disks, items);
    }
    // One list for several images would be truncated by each of them.
    if (options.common.commandsFile != 0 && trimmed > 1) {
        fprintf(stderr, "%s: --commands takes one image; the domains have %d disks to trim\n", kProgram, trimmed);
        *status = kExitUsage;
        return 0;
    }
    return 1;
}

pid_t gCopyChild = -1;

void ForwardToCopyChild(int signal) {
    if (gCopyChild > 0) kill(gCopyChild, signal);
}

// A compact copy: the image is read as a dry run reads it, in a child
// behind the walls, which writes the copy's temporary file; this process
// names the copy once the child is done, since the wall lets the child
// make no name.
int CopyImage(ImageToolOptions options) {
    const char *image = options.common.operand;
    int sourceFd = open(image, O_RDONLY | O_CLOEXEC);
    if (sourceFd < 0) {
        int cause = errno;
        return Fail(image, std::string("cannot open the image (") + strerror(cause) + ")", ExitStatusForErrno(cause));
    }
    CopyTarget copy;
    std::string why;
    // The copy's format: as given, or the image's own (as TrimImage finds it).
    uint8_t header[512] = {0};
    struct stat source;
    const int found = fstat(sourceFd, &source) == 0 &&
                              ReadFromDescriptor(&sourceFd, 0, header, source.st_size < 512 ? (uint32_t)source.st_size : 512)
                          ? DetectImageFormat(header)
                          : kFormatRaw;
    const int format = options.copyFormat != 0 ? ImageFormatByName(options.copyFormat)
                       : options.format != 0   ? ImageFormatByName(options.format)
                                               : found;
    int status = PrepareCopyTarget(sourceFd, options.copyTo, format, options.overwrite, &copy, &why);
    close(sourceFd);
    if (status != kExitOk) return Fail(image, why, status);
    options.common.dryRun = 1;  // the image is only read
    gCopy = &copy;
    // A signal to end the run ends the child's; this process stays to
    // remove the unfinished copy.
    const int ending[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction forward = {};
    forward.sa_handler = ForwardToCopyChild;
    for (int signal : ending) sigaction(signal, &forward, 0);
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        for (int signal : ending) ::signal(signal, SIG_DFL);
        if (!options.common.json) {
            status = TrimImage(options, 0);
            fflush(stdout);
            fflush(stderr);
            _exit(status);
        }
        ImageItem item = {};
        item.name = image;
        const std::string object = TrimImageForJson(options, item, &status);
        fputs(FormatRunJson(kProgram, 1, status, "images", {object}).c_str(), stdout);
        fflush(stdout);
        _exit(status);
    }
    gCopy = 0;
    gCopyChild = child;
    int wait = 0;
    while (child > 0 && waitpid(child, &wait, 0) < 0 && errno == EINTR) {
    }
    status = child < 0 ? kExitSoftware : WIFEXITED(wait) ? WEXITSTATUS(wait) : kExitSoftware;
    if (child < 0 || !WIFEXITED(wait)) {
        Fail(image, child < 0 ? std::string("cannot start the copy's run (") + strerror(errno) + ")"
                              : std::string("the copy's run ended on signal ") + std::to_string(WTERMSIG(wait)) +
                                    ": no copy written",
             status);
    }
    if (!SettleCopyTarget(&copy, status == kExitOk, options.overwrite, &why)) status = Fail(image, why, kExitCannotCreate);
    if (status == kExitOk && !options.common.quiet && !options.common.json) {
        struct stat made;
        if (stat(options.copyTo, &made) == 0) {
            printf("Copy: %s (%s), %lld bytes allocated\n", options.copyTo, ImageFormatName(copy.format),
                   (long long)made.st_blocks * 512);
        }
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    ImageToolOptions options;
    char error[160] = "";
    int parsed = ParseImageToolArguments(argc, argv, &options, error, sizeof error);
    int status = kExitOk;
    if (ArgumentsEndTheRun(parsed, options.common, kProgram, error, kImageToolUsage, &status)) return status;
    // The document alone on stdout: the prose is left out, errors stay on stderr.
    if (options.common.json) options.common.quiet = 1;
    if (options.copyTo != 0) return CopyImage(options);
    std::vector<ImageItem> items;
    if (options.domain != 0 || options.allDomains) {
        if (!DomainItems(options, &items, &status)) {
            if (options.common.json) fputs(FormatRunJson(kProgram, options.common.dryRun, status, "images", {}).c_str(), stdout);
            return status;
        }
        return TrimImages(options, items);
    }
    for (int i = 0; i < options.common.operandCount; i++) {
        ImageItem item = {};
        item.name = options.common.operands[i];
        items.push_back(item);
    }
    if (items.size() > 1) return TrimImages(options, items);
    if (!options.common.json) return TrimImage(options, 0);
    const std::string object = TrimImageForJson(options, items[0], &status);
    fputs(FormatRunJson(kProgram, options.common.dryRun, status, "images", {object}).c_str(), stdout);
    return status;
}
