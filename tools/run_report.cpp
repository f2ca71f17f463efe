#include "run_report.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "exit_status.h"
#include "bytes.h"
#include "fat_volume.h"
#include "image_header.h"
#include "json_report.h"
#include "ntfs_layout.h"
#include "run_texts.h"
#include "trim_engine.h"

int OpenCommandList(const char *path, int append) {
    int fd = open(path, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC) | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    // An empty write reaches the file's own write path: /dev/full and the
    // like refuse it, a regular file takes it.
    if (write(fd, "", 0) < 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int WriteCommandLine(int fd, uint64_t lba, uint32_t blockCount) {
    char line[48];
    int length = snprintf(line, sizeof line, "%llu %u\n", (unsigned long long)lba, blockCount);
    for (int done = 0; done < length;) {
        ssize_t written = write(fd, line + done, (size_t)(length - done));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return 0;
        }
        done += (int)written;
    }
    return 1;
}

std::string MissingTrimReason(const DriveIdentity &identity) {
    if (!identity.trimBit || identity.logicalSectorSize == 512) return "";
    return "the drive's logical sectors are " + std::to_string(identity.logicalSectorSize) +
           " bytes; ATA TRIM is sent only to drives of 512-byte sectors";
}

int DescribeTrimFailure(const TrimRunReport *report, int listError, int listCloseError, char *text,
                        uint32_t textSize) {
    if (listError != 0) {
        snprintf(text, textSize, "writing the command list failed after TRIM command %u (%s); the run stopped",
                 report->commandsSent, strerror(listError));
        return kExitIoError;
    }
    if (listCloseError != 0) {
        snprintf(text, textSize, "closing the command list failed (%s); it may lack lines", strerror(listCloseError));
        return kExitIoError;
    }
    const unsigned long long lba = (unsigned long long)report->failedRange.lba;
    const unsigned blocks = report->failedRange.blockCount;
    char more[48] = "";
    if (report->failedRangeCount > 1) snprintf(more, sizeof more, ", the first of %u ranges", report->failedRangeCount);
    switch (report->outcome) {
    case kTrimNotSupported:
        snprintf(text, textSize, "the drive does not support TRIM; no command was sent");
        break;
    case kTrimPastLbaLimit:
        snprintf(text, textSize,
                 "TRIM command %u would reach past LBA 2^48, the limit of an ATA range entry (LBA %llu, %u blocks); "
                 "it was not sent",
                 report->failedCommand, lba, blocks);
        break;
    case kTrimPassThroughFailed:
        snprintf(text, textSize, "TRIM command %u could not be sent: the pass-through request failed",
                 report->failedCommand);
        return kExitIoError;
    case kTrimRefused:
        snprintf(text, textSize, "the drive refused TRIM command %u (LBA %llu, %u blocks%s)", report->failedCommand,
                 lba, blocks, more);
        break;
    default:
        snprintf(text, textSize, "the trim failed after %u TRIM commands", report->commandsSent);
        break;
    }
    return kExitTrimFailed;
}

std::string DescribeNtfsGeometry(const uint8_t *sector) {
    BootGeometry geometry;
    const int fault = DecodeBootGeometry(sector, &geometry);
    const unsigned long long total = LoadLe64(sector + kBootTotalSectors);
    char text[256];
    switch (fault) {
    case kGeometryBytesPerSector:
        snprintf(text, sizeof text, "its bytes per sector (offset 0x0B) reads %u, not a power of two from 256 to 4096",
                 LoadLe16(sector + kBootBytesPerSector));
        break;
    case kGeometrySectorsPerCluster:
        snprintf(text, sizeof text,
                 "its sectors per cluster (offset 0x0D) reads 0x%02X, which gives no cluster of one sector to 2 MiB "
                 "(a power of two up to 0x80, or 0xF4 to 0xFF for 2^12 down to 2^1 sectors)",
                 sector[kBootSectorsPerCluster]);
        break;
    case kGeometryTotalSectors:
        snprintf(text, sizeof text, "its total sectors (offset 0x28) reads %llu: not one cluster, or 2^32 clusters or more",
                 total);
        break;
    case kGeometryClustersPerRecord:
        snprintf(text, sizeof text, "its clusters per MFT record (offset 0x40) reads 0x%02X: no record of 512 to 4096 bytes",
                 sector[kBootClustersPerRecord]);
        break;
    case kGeometryMftCluster:
    case kGeometryMftMirrorCluster:
        snprintf(text, sizeof text, "its %s cluster (offset 0x%02X) reads %llu, past the volume's end",
                 fault == kGeometryMftCluster ? "$MFT" : "$MFTMirr",
                 fault == kGeometryMftCluster ? kBootMftCluster : kBootMftMirrorCluster,
                 (unsigned long long)LoadLe64(sector + (fault == kGeometryMftCluster ? kBootMftCluster
                                                                                     : kBootMftMirrorCluster)));
        break;
    default:
        // The one other reason the open has: the partition is smaller.
        snprintf(text, sizeof text, "its %llu sectors of %u bytes reach past the end of its partition", total,
                 geometry.bytesPerSector);
        break;
    }
    return text;
}

std::string DescribeFatFinding(const FatFinding &finding, const uint8_t *sector, int64_t offset, int *status) {
    char text[320];
    const std::string at = " at byte " + std::to_string(offset);
    const std::string volume = finding.fatBits != 0 ? "FAT" + std::to_string(finding.fatBits) + " volume" : "FAT volume";
    const std::string owner = finding.name[0] != 0 ? std::string(finding.name) : "the root folder";
    const char *check = " Run fsck.fat or chkdsk on it first; nothing was trimmed.";
    *status = kExitDamaged;
    switch (finding.problem) {
    case kFatNoMemory:
        *status = kOpenNoMemory;
        return OpenStatusText(kOpenNoMemory);
    case kFatReadFailed:
        *status = kExitIoError;
        return std::string(OpenStatusText(kOpenBootSectorFailed)) + " The disk refused a read of the " + volume + at +
               " (its boot sector, FAT or folders); nothing was trimmed.";
    case kFatBootUnsound: {
        *status = kExitNotNtfs;
        const struct {
            uint32_t fault, field, width;
            const char *should;
        } kFields[] = {
            {kFatBootBytesPerSector, 0x0B, 2, "not a power of two from 512 to 4096"},
            {kFatBootSectorsPerCluster, 0x0D, 1, "not a power of two from 1 to 128"},
            {kFatBootReservedSectors, 0x0E, 2, "no sector for the boot sector"},
            {kFatBootFatCount, 0x10, 1, "not 1 or 2 copies of the FAT"},
            {kFatBootRootEntries, 0x11, 2, "not what the FAT type needs (0 on FAT32 alone)"},
            {kFatBootTotalSectors, 0x13, 2, "no size, or one the field at 0x20 contradicts"},
            {kFatBootMedia, 0x15, 1, "no media byte (0xF0, 0xF8 to 0xFF)"},
            {kFatBootFatSize, 0x16, 2, "no FAT that holds every cluster's entry (or a FAT past 1 GiB)"},
            {kFatBootNoClusters, 0x0E, 2, "reserved sectors, FATs and root folder that leave no cluster"},
            {kFatBootFat32Fields, 0x28, 2, "FAT mirroring turned off, or a FAT32 version other than 0"},
            {kFatBootRootCluster, 0x2C, 4, "a root folder cluster outside the clusters"},
        };
        std::string why = "it reaches past the end of its partition";
        for (const auto &field : kFields) {
            if (field.fault != finding.fault) continue;
            snprintf(text, sizeof text, "its field at offset 0x%02X reads %llu: %s", field.field,
                     (unsigned long long)LoadLeUnsigned(sector + field.field, field.width), field.should);
            why = text;
        }
        if (finding.fault == kFatBootSignature) why = "it has no jump at byte 0 or no 0x55 0xAA at byte 510";
        if (finding.fault == kFatBootTypeMismatch && finding.value != 0) {
            snprintf(text, sizeof text, "its %u clusters make it FAT%u, yet it is laid out as FAT%s (offset 0x16 reads %u)",
                     finding.cluster, finding.value, LoadLe16(sector + 0x16) == 0 ? "32" : "12/16",
                     LoadLe16(sector + 0x16));
            why = text;
        }
        return std::string(OpenStatusText(kOpenNotNtfs)) + " Found a FAT boot sector" + at +
               " whose fields cannot be used: " + why + "; nothing was trimmed.";
    }
    case kFatCopiesDiffer:
        snprintf(text, sizeof text, "copy %u of the FAT differs from the first at byte %llu of the FAT: which one "
                 "is right cannot be told.", finding.copy, (unsigned long long)finding.byte);
        break;
    case kFatMediaMismatch:
        snprintf(text, sizeof text, "FAT[0] reads 0x%X, not the boot sector's media byte 0x%02X.", finding.value,
                 sector[0x15]);
        break;
    case kFatDirty:
        *status = kExitInUse;
        return "The " + volume + at + " was not closed cleanly (" +
               (finding.value == 1   ? "FAT[1]'s clean bit is cleared"
                : finding.value == 2 ? "the boot sector's dirty flag is set"
                                     : "FAT[1] records disk errors") +
               "): the system that used it last may have left clusters the FAT does not show. Let Windows check it "
               "(chkdsk), or run fsck.fat -a; nothing was trimmed.";
    case kFatEntryOutOfRange:
        snprintf(text, sizeof text, "the FAT entry of cluster %u reads 0x%X, which names no cluster.", finding.cluster,
                 finding.value);
        break;
    case kFatRootFree:
        snprintf(text, sizeof text, "the root folder's cluster %u is free in the FAT.", finding.cluster);
        break;
    case kFatChainThroughFree:
        snprintf(text, sizeof text, "cluster %u of %s's chain is free in the FAT.", finding.cluster, owner.c_str());
        break;
    case kFatChainLoop:
        snprintf(text, sizeof text, "the cluster chain of %s loops back to cluster %u.", owner.c_str(), finding.cluster);
        break;
    case kFatClusterShared:
        snprintf(text, sizeof text, "cluster %u of %s's chain is in another chain too.", finding.cluster, owner.c_str());
        break;
    case kFatChainBad:
        snprintf(text, sizeof text, "the cluster chain of %s runs into cluster %u, marked bad.", owner.c_str(),
                 finding.cluster);
        break;
    case kFatEntryCluster:
        snprintf(text, sizeof text, "the first cluster of %s reads %u, outside the volume's clusters.", owner.c_str(),
                 finding.value);
        break;
    case kFatTooDeep:
        snprintf(text, sizeof text, "folders nest deeper than %u levels at %s.", (unsigned)kFatMaxDepth, owner.c_str());
        break;
    default:
        snprintf(text, sizeof text, "the FAT cannot be trusted.");
        break;
    }
    return std::string(OpenStatusText(kOpenBitmapFailed)) + " The " + volume + at + " contradicts itself: " + text +
           check;
}

std::string DescribeFoundInstead(const uint8_t *bytes, size_t size) {
    if (size == 0) return "nothing";
    size_t zeros = 0;
    while (zeros < size && bytes[zeros] == 0) zeros++;
    if (zeros == size) return "only zeros";
    // An image format's header where a raw volume was asked for.
    const int format = size >= 512 ? DetectImageFormat(bytes) : kFormatRaw;
    if (format != kFormatRaw) {
        return std::string("a ") + ImageFormatName(format) + " image header (read as raw: leave out --format raw)";
    }
    const struct {
        size_t at;
        const char *magic;
        const char *found;
    } kMagics[] = {
        // BitLocker keeps its own signature where NTFS keeps "NTFS    ".
        {3, "-FVE-FS-",
         "a BitLocker-encrypted volume (its bitmap is encrypted and cannot be read from outside Windows; "
         "let the guest trim it, or turn BitLocker off there)"},
        {3, "EXFAT   ", "an exFAT file system"},
        {54, "FAT1", "a FAT file system"},
        {82, "FAT32   ", "a FAT file system"},
        {1080, "\x53\xef", "an ext2/3/4 file system"},
    };
    if (size >= 512 && memcmp(bytes + kBootOemId, "NTFS    ", 8) == 0) {
        return "an NTFS boot sector whose geometry cannot be used: " + DescribeNtfsGeometry(bytes);
    }
    for (const auto &magic : kMagics) {
        size_t length = strlen(magic.magic);
        if (magic.at + length <= size && memcmp(bytes + magic.at, magic.magic, length) == 0) return magic.found;
    }
    if (size >= 512 && bytes[510] == 0x55 && bytes[511] == 0xAA) {
        int types = 0;
        for (int entry = 0; entry < 4; entry++) {
            uint8_t type = bytes[446 + 16 * entry + 4];
            if (type == 0xEE) return "a GPT disk's protective MBR";
            types |= type;
        }
        return types != 0 ? "an MBR partition table (the volume lies inside one of its partitions)"
                          : "a boot sector of another kind";
    }
    return "data of an unknown kind";
}

std::string DescribeDriveLimits(const DriveIdentity &identity) {
    char text[256];
    snprintf(text, sizeof text, "Logical sector size: %u bytes\n", identity.logicalSectorSize);
    std::string out = text;
    if (!identity.trimBit) return out + "TRIM: not reported by the drive\n";
    snprintf(text, sizeof text, "TRIM: supported; up to %u block%s of range entries (%u ranges) per command\n",
             identity.rangeBlocks, identity.rangeBlocks == 1 ? "" : "s", identity.rangeBlocks * 64);
    out += text;
    switch (identity.readsAfterTrim) {
    case kTrimReadsNotDeterministic:
        return out + "Reads after TRIM: not deterministic\n";
    case kTrimReadsDeterministic:
        return out + "Reads after TRIM: deterministic\n";
    case kTrimReadsZeros:
        return out + "Reads after TRIM: zeros\n";
    default:
        return out;
    }
}

std::string FormatTrimSummary(const TrimSummary &summary) {
    char text[256];
    if (summary.dryRun) {
        snprintf(text, sizeof text, "Dry run: would send %u TRIM commands for %llu bytes; nothing was sent\n",
                 summary.commandsSent, (unsigned long long)summary.bytesAccepted);
        std::string out = text;
        if (summary.releaseKnown && summary.allocatedBefore >= 0) {
            const int unit = summary.releaseUnit != 0 && summary.releaseUnit[0] != 0;
            snprintf(text, sizeof text, "Image allocation: %lld bytes; the run would release %lld of them%s%s\n",
                     (long long)summary.allocatedBefore, (long long)summary.wouldRelease, unit ? ", in " : "",
                     unit ? summary.releaseUnit : "");
            out += text;
        }
        return out;
    }
    snprintf(text, sizeof text, "%u TRIM commands sent; the drive accepted %llu bytes\n", summary.commandsSent,
             (unsigned long long)summary.bytesAccepted);
    std::string out = text;
    if (summary.allocatedBefore >= 0 && summary.allocatedAfter >= 0) {
        int64_t released = summary.allocatedBefore - summary.allocatedAfter;
        int shown = snprintf(text, sizeof text, "Image allocation: %lld bytes before, %lld after: ",
                             (long long)summary.allocatedBefore, (long long)summary.allocatedAfter);
        if (summary.keepsSpace != 0) {
            snprintf(text + shown, sizeof text - shown, "the %s format releases no space for trimmed ranges\n",
                     summary.keepsSpace);
        } else if (released >= 0) {
            snprintf(text + shown, sizeof text - shown, "%lld bytes released\n", (long long)released);
        } else {
            // The format's own tables can grow; that is no release.
            snprintf(text + shown, sizeof text - shown, "nothing released, the image grew by %lld bytes\n",
                     (long long)-released);
        }
        out += text;
        if (summary.spaceNote != 0) out += summary.spaceNote;
    } else if (summary.allocationUnknown != 0) {
        out += std::string("Image allocation: unknown (") + summary.allocationUnknown + ")\n";
    }
    return out;
}

void StartTrimRun(TrimRun *run, const char *program, const char *subject) {
    memset(run, 0, sizeof *run);
    run->program = program;
    run->subject = subject;
    run->commands = -1;
    run->lastPercent = -1;
}

void ReportRunFailure(const TrimRun *run, const std::string &text) {
    fprintf(stderr, "%s: %s: %s\n", run->program, run->subject, text.c_str());
    if (run->failures != 0) AddReason(run->failures, text);
}

int RecordTrimCommand(void *context, const TrimRange *ranges, uint32_t rangeCount, int accepted) {
    TrimRun *run = (TrimRun *)context;
    if (!accepted || run->commands < 0) return 1;
    for (uint32_t i = 0; i < rangeCount && run->listError == 0; i++) {
        if (!WriteCommandLine(run->commands, ranges[i].lba, ranges[i].blockCount)) run->listError = errno;
    }
    return run->listError == 0;
}

void ShowRunProgress(void *context, TrimVolume *volume, uint32_t firstCluster, uint32_t) {
    TrimRun *run = (TrimRun *)context;
    if (!run->showProgress) return;
    int percent = ProgressPercent(firstCluster, volume->totalClusters);
    if (percent == run->lastPercent) return;
    char line[kProgressLineSize];
    FormatProgressLine(line, firstCluster, volume->totalClusters);
    fputs(line, stderr);
    run->lastPercent = percent;
    run->barShown = 1;
}

int FinishTrimRun(TrimRun *run, const TrimRunReport *report) {
    // Data the kernel has not written yet can still fail at close (NFS, a
    // full quota): a list that lacks lines must not pass for a whole one.
    if (run->commands >= 0 && close(run->commands) != 0) run->listCloseError = errno;
    run->commands = -1;
    if (report->outcome == kTrimDone && run->listError == 0 && run->listCloseError == 0) {
        if (run->showProgress) fputs(kProgressDoneLine, stderr);
        return kExitOk;
    }
    if (run->barShown) fputc('\n', stderr);
    fflush(stdout);
    char reason[224];
    int status = DescribeTrimFailure(report, run->listError, run->listCloseError, reason, sizeof reason);
    if (report->outcome == kTrimNotSupported && run->noTrimReason != 0 && run->noTrimReason[0] != 0) {
        snprintf(reason, sizeof reason, "%s; no command was sent", run->noTrimReason);
    }
    ReportRunFailure(run, std::string("Trim error! ") + reason);
    return status;
}
