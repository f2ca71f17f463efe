// The reporting side of an offline trim run, shared by the front ends
// (quillet-image, quillet-disk): the command list, what was found instead
// of NTFS, why a trim failed, the drive's limits and the summary.
#ifndef QUILLET_HOST_RUN_REPORT_H
#define QUILLET_HOST_RUN_REPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "trim_engine.h"

// Creates or truncates (`append`: appends to) the command list at `path`
// and checks that it takes writes, so a list that cannot be written fails
// before the first command. The descriptor, or -1 with errno set.
int OpenCommandList(const char *path, int append);

// Appends "LBA COUNT\n" unbuffered. 1 when the whole line was written.
int WriteCommandLine(int fd, uint64_t lba, uint32_t blockCount);

// Why the trim failed, as one line, from the engine's report and the
// command list's state (`listError`, `listCloseError`: errno of a failed
// write or close, 0 when none failed): no TRIM support; command N (its
// first range) refused by the drive; a range past the 48 bits of LBA an ATA
// range entry holds; a request that never reached the drive; a list write
// or close error. Returns the exit status: kExitTrimFailed for what the
// drive refused or cannot do, kExitIoError when a request or the list
// failed.
int DescribeTrimFailure(const TrimRunReport *report, int listError, int listCloseError, char *text,
                        uint32_t textSize);

// Why a drive that announces TRIM still gets none, from its IDENTIFY: its
// logical sectors are not the 512 bytes a range entry counts. Empty when
// "does not support TRIM" is the whole truth.
std::string MissingTrimReason(const DriveIdentity &identity);

// Why the FAT open refused the volume whose boot sector is `sector` (512
// bytes) at byte `offset`, with what the user can do; and the exit status
// that goes with it (*status): unclean (kExitInUse, as for NTFS), a read
// refused (kExitIoError), fields that cannot be used (kExitNotNtfs), or a
// FAT that contradicts itself or the folders (kExitDamaged).
struct FatFinding;
std::string DescribeFatFinding(const FatFinding &finding, const uint8_t *sector, int64_t offset, int *status);

// What the first bytes at a volume's place hold when the engine found no
// NTFS there: "a FAT file system", "an ext2/3/4 file system", "a qcow2
// image header", "an MBR partition table", "only zeros", "nothing" (the
// input ends before it)... `size` is how many bytes could be read there
// (0 to 4096); an ext superblock lies at byte 1024.
std::string DescribeFoundInstead(const uint8_t *bytes, size_t size);

// Why the open refused the NTFS boot sector `sector` (512 bytes): the
// field that makes its geometry unusable, with what it reads, or, when
// every field is sound, that the volume is larger than its partition.
std::string DescribeNtfsGeometry(const uint8_t *sector);

// The drive's identity as the open decoded it, in words for -v: logical
// sector size, TRIM and how many 512-byte blocks of range entries one
// command may carry, what trimmed blocks read as.
std::string DescribeDriveLimits(const DriveIdentity &identity);

// The summary line(s): what was sent (or, on a dry run, would be sent) and
// for how many bytes; for an image also what its allocation gave back.
struct TrimSummary {
    uint32_t commandsSent;
    uint64_t bytesAccepted;  // of accepted commands
    int dryRun;
    int64_t allocatedBefore, allocatedAfter;  // bytes (st_blocks); -1 when not an image
    // The image format's name when its trims give nothing back: then no
    // change of allocation passes for bytes released. 0 otherwise.
    const char *keepsSpace;
    const char *spaceNote;  // a line on what the format gives back and why it may be less; 0 or "" for none
    // Why the allocation cannot be told (an NBD server without block
    // status): said instead of the figures. 0 for a medium that is no image.
    const char *allocationUnknown;
    // A dry run on an image: what the image would give back (its format's
    // granularity, only where it holds data) and in what pieces.
    int releaseKnown;
    int64_t wouldRelease;
    const char *releaseUnit;  // "whole clusters of 65536 bytes"; 0 or "" for none
};
std::string FormatTrimSummary(const TrimSummary &summary);

// One front end's run on the console: its messages, its command list, the
// progress bar and what it saw of its commands.
struct TrimRun {
    const char *program;  // for messages: "program: subject: ..."
    const char *subject;  // the image or the partition
    int commands;         // the command list's descriptor, or -1
    int listError;        // errno of the command-list write that failed; 0 when none did
    int listCloseError;   // errno of closing the list after every line was written
    int showProgress;  // stderr is a terminal and the run is not quiet
    int lastPercent;
    int barShown;
    const char *noTrimReason;  // why the drive takes no TRIM, when more is known than that; null otherwise
    std::string *failures;     // each failure's text is also added here, one per line; null: stderr alone
};

void StartTrimRun(TrimRun *run, const char *program, const char *subject);

// "program: subject: " and `text`, on stderr (and into run->failures).
void ReportRunFailure(const TrimRun *run, const std::string &text);

// The run's command observer (context: the TrimRun): lists each range of
// an accepted command, one line each. 0 when the list stopped taking
// lines: the run must then stop, since it can no longer say what it sent.
int RecordTrimCommand(void *run, const TrimRange *ranges, uint32_t rangeCount, int accepted);

// The run's progress sink (context: the TrimRun): on a terminal, redraws
// the bar on stderr when the percentage changes.
void ShowRunProgress(void *run, TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount);

// Ends the trim: closes the command list (a failing close fails the run),
// ends the bar, reports a failure and its reason. Returns the exit status.
int FinishTrimRun(TrimRun *run, const TrimRunReport *report);

#endif
