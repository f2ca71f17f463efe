#include "run_report.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "image_tool.h"
#include "trim_engine.h"

int OpenCommandList(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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

void NoteTrimAttempt(TrimOutcome *outcome, const TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount) {
    outcome->commandsAttempted++;
    // The command starts inside the chunk's first cluster and its count was
    // rounded down to clusters: two clusters more bound its end.
    uint64_t end = (uint64_t)volume->partitionOffset + ((uint64_t)firstCluster + clusterCount + 2) * volume->bytesPerCluster;
    outcome->attemptedEndLimit = end / 512;
}

void DescribeTrimFailure(const TrimOutcome *outcome, char *text, uint32_t textSize) {
    const uint64_t lbaLimit = (uint64_t)1 << 48;
    if (outcome->listError != 0) {
        snprintf(text, textSize, "writing the command list failed after TRIM command %u (%s); the run stopped",
                 outcome->commandsSent, strerror(outcome->listError));
    } else if (!outcome->trimSupported) {
        snprintf(text, textSize, "the drive does not support TRIM; no command was sent");
    } else if (outcome->commandsAttempted > outcome->commandsSent && outcome->attemptedEndLimit > lbaLimit) {
        snprintf(text, textSize,
                 "TRIM command %u would reach past LBA 2^48, the limit of an ATA range entry; it was not sent",
                 outcome->commandsAttempted);
    } else if (outcome->commandsAttempted > outcome->commandsSent) {
        snprintf(text, textSize, "TRIM command %u could not be sent: the pass-through request failed",
                 outcome->commandsAttempted);
    } else if (outcome->lastRefused) {
        snprintf(text, textSize, "the drive refused TRIM command %u (LBA %llu, %u blocks)", outcome->commandsSent,
                 (unsigned long long)outcome->lastLba, outcome->lastBlocks);
    } else {
        snprintf(text, textSize, "the trim failed after %u TRIM commands", outcome->commandsSent);
    }
}

void FormatTrimSummary(char *text, uint32_t textSize, uint32_t commandsSent, uint64_t bytesTrimmed,
                       const char *note) {
    snprintf(text, textSize, "%u TRIM commands sent, %llu bytes trimmed%s\n", commandsSent,
             (unsigned long long)bytesTrimmed, note);
}

void StartTrimRun(TrimRun *run, const char *program, const char *subject) {
    memset(run, 0, sizeof *run);
    run->program = program;
    run->subject = subject;
    run->commands = -1;
    run->lastPercent = -1;
}

void ReportRunFailure(const TrimRun *run, const char *format, const char *detail) {
    fprintf(stderr, "%s: %s: ", run->program, run->subject);
    fprintf(stderr, format, detail);
    fputc('\n', stderr);
}

int RecordTrimCommand(TrimRun *run, uint64_t lba, uint32_t blockCount, int accepted) {
    TrimOutcome *outcome = &run->outcome;
    outcome->commandsSent++;
    outcome->lastRefused = !accepted;
    outcome->lastLba = lba;
    outcome->lastBlocks = blockCount;
    if (!accepted) return 1;
    run->bytesTrimmed += (uint64_t)blockCount * 512;
    if (run->commands < 0) return 1;
    if (outcome->listError == 0 && !WriteCommandLine(run->commands, lba, blockCount)) outcome->listError = errno;
    return outcome->listError == 0;
}

void ShowRunProgress(TrimRun *run, const TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount) {
    NoteTrimAttempt(&run->outcome, volume, firstCluster, clusterCount);
    int percent = ProgressPercent(firstCluster, volume->totalClusters);
    if (percent == run->lastPercent) return;
    char line[kProgressLineSize];
    FormatProgressLine(line, firstCluster, volume->totalClusters);
    fputs(line, stdout);
    fflush(stdout);
    run->lastPercent = percent;
    run->barShown = 1;
}

int FinishTrimRun(TrimRun *run, int trimmed, const char *note) {
    TrimOutcome *outcome = &run->outcome;
    if (run->commands >= 0 && close(run->commands) != 0 && outcome->listError == 0) outcome->listError = errno;
    run->commands = -1;
    if (trimmed && outcome->listError == 0) {
        fputs(kProgressDoneLine, stdout);
    } else {
        if (run->barShown) putchar('\n');
        fflush(stdout);
        char reason[192];
        DescribeTrimFailure(outcome, reason, sizeof reason);
        ReportRunFailure(run, "Trim error! %s", reason);
        trimmed = 0;
    }
    char summary[160];
    FormatTrimSummary(summary, sizeof summary, outcome->commandsSent, run->bytesTrimmed, note);
    fputs(summary, stdout);
    return trimmed ? kExitOk : kExitTrimFailed;
}
