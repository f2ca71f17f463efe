// The reporting side of an offline trim run, shared by the front ends
// (quillet-image, quillet-disk): the command list, why a trim failed and
// the summary line.
#ifndef QUILLET_HOST_RUN_REPORT_H
#define QUILLET_HOST_RUN_REPORT_H

#include <stdint.h>

#include "trim_engine.h"

// Creates or truncates the command list at `path` and checks that it takes
// writes, so a list that cannot be written fails before the first command.
// The descriptor, or -1 with errno set.
int OpenCommandList(const char *path);

// Appends "LBA COUNT\n" unbuffered. 1 when the whole line was written.
int WriteCommandLine(int fd, uint64_t lba, uint32_t blockCount);

// Why the trim failed, as one line, from the engine's report: no TRIM
// support; command N (its first range) refused by the drive; a range past
// the 48 bits of LBA an ATA range entry holds; a request that never
// reached the drive; or, when `listError` is not 0, the list write that
// failed (errno).
void DescribeTrimFailure(const TrimRunReport *report, int listError, char *text, uint32_t textSize);

// "N TRIM commands sent, B bytes trimmed", the front end's `note` (such as
// what a dry run left alone; "" for none) and a newline.
void FormatTrimSummary(char *text, uint32_t textSize, uint32_t commandsSent, uint64_t bytesTrimmed,
                       const char *note);

// One front end's run on the console: its messages, its command list, the
// progress bar and what it saw of its commands.
struct TrimRun {
    const char *program;  // for messages: "program: subject: ..."
    const char *subject;  // the image or the partition
    int commands;         // the command list's descriptor, or -1
    int listError;        // errno of the command-list write that failed; 0 when none did
    int lastPercent;
    int barShown;
};

void StartTrimRun(TrimRun *run, const char *program, const char *subject);

// "program: subject: " and `format` with `detail`, on stderr.
void ReportRunFailure(const TrimRun *run, const char *format, const char *detail);

// The run's observer (context: the TrimRun): lists each range of an
// accepted command, one line each. 0 when the list stopped taking lines:
// the run must then stop, since it can no longer say what it sent.
int RecordTrimCommand(void *run, const TrimRange *ranges, uint32_t rangeCount, int accepted);

// The run's progress sink (context: the TrimRun): redraws the bar when the
// percentage changes.
void ShowRunProgress(void *run, TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount);

// Trims with the drive's own limits, the bar and the command list.
int TrimWithDriveLimits(TrimRun *run, TrimVolume *volume, int dryRun, TrimRunReport *report);

// Ends the run: closes the command list, prints "Done." or the failure and
// its reason, then the summary with `note`. Returns the exit status.
int FinishTrimRun(TrimRun *run, const TrimRunReport *report, const char *note);

#endif
