// The reporting side of an offline trim run, shared by the front ends
// (quillet-image, quillet-disk): the command list, why a trim failed and
// the summary line.
#ifndef QUILLET_HOST_RUN_REPORT_H
#define QUILLET_HOST_RUN_REPORT_H

#include <stdint.h>

struct TrimVolume;

// Creates or truncates the command list at `path` and checks that it takes
// writes, so a list that cannot be written fails before the first command.
// The descriptor, or -1 with errno set.
int OpenCommandList(const char *path);

// Appends "LBA COUNT\n" unbuffered. 1 when the whole line was written.
int WriteCommandLine(int fd, uint64_t lba, uint32_t blockCount);

// What a run saw of its commands; the front end fills it from the progress
// sink (NoteTrimAttempt) and from what its drive reports.
struct TrimOutcome {
    int trimSupported;           // as the open found it
    uint32_t commandsAttempted;  // progress calls: one before each command
    uint32_t commandsSent;       // commands that reached the drive, a refused one included
    int lastRefused;             // the drive refused the last command it received
    uint64_t lastLba;            // that command's range
    uint32_t lastBlocks;
    uint64_t attemptedEndLimit;  // a bound on where the last attempted command ends, in 512-byte blocks
    int listError;               // errno of the command-list write that failed; 0 when none did
};

// Counts the chunk the engine is about to send; call it from the sink.
void NoteTrimAttempt(TrimOutcome *outcome, const TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount);

// Why the trim failed, as one line: no TRIM support; command N (its LBA and
// count) refused by the drive; a range past the 48 bits of LBA an ATA range
// entry holds; a request that never reached the drive; a list write error.
void DescribeTrimFailure(const TrimOutcome *outcome, char *text, uint32_t textSize);

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
    TrimOutcome outcome;
    uint64_t bytesTrimmed;  // of accepted commands
    int lastPercent;
    int barShown;
};

void StartTrimRun(TrimRun *run, const char *program, const char *subject);

// "program: subject: " and `format` with `detail`, on stderr.
void ReportRunFailure(const TrimRun *run, const char *format, const char *detail);

// Counts a command that reached the drive (`accepted` 0: it ended with
// ERR) and lists an accepted one. 0 when the list stopped taking lines:
// the front end must then stop the run, since it can no longer say what it
// sent.
int RecordTrimCommand(TrimRun *run, uint64_t lba, uint32_t blockCount, int accepted);

// The progress sink's work: counts the chunk about to be sent and redraws
// the bar when the percentage changes.
void ShowRunProgress(TrimRun *run, const TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount);

// Ends the run: closes the command list, prints "Done." or the failure and
// its reason, then the summary with `note`. Returns the exit status.
int FinishTrimRun(TrimRun *run, int trimmed, const char *note);

#endif
