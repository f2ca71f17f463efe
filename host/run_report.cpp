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

void DescribeTrimFailure(const TrimRunReport *report, int listError, char *text, uint32_t textSize) {
    const unsigned long long lba = (unsigned long long)report->failedRange.lba;
    const unsigned blocks = report->failedRange.blockCount;
    char more[48] = "";
    if (report->failedRangeCount > 1) snprintf(more, sizeof more, ", the first of %u ranges", report->failedRangeCount);
    if (listError != 0) {
        snprintf(text, textSize, "writing the command list failed after TRIM command %u (%s); the run stopped",
                 report->commandsSent, strerror(listError));
        return;
    }
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
        break;
    case kTrimRefused:
        snprintf(text, textSize, "the drive refused TRIM command %u (LBA %llu, %u blocks%s)", report->failedCommand,
                 lba, blocks, more);
        break;
    default:
        snprintf(text, textSize, "the trim failed after %u TRIM commands", report->commandsSent);
        break;
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
    int percent = ProgressPercent(firstCluster, volume->totalClusters);
    if (percent == run->lastPercent) return;
    char line[kProgressLineSize];
    FormatProgressLine(line, firstCluster, volume->totalClusters);
    fputs(line, stdout);
    fflush(stdout);
    run->lastPercent = percent;
    run->barShown = 1;
}

int TrimWithDriveLimits(TrimRun *run, TrimVolume *volume, int dryRun, TrimRunReport *report) {
    TrimRunOptions options;
    memset(&options, 0, sizeof options);
    options.progress = ShowRunProgress;
    options.progressContext = run;
    options.observer = RecordTrimCommand;
    options.observerContext = run;
    options.dryRun = dryRun;
    options.limits = DriveTrimLimits(volume);
    return TrimFreeSpaceWith(volume, &options, report);
}

int FinishTrimRun(TrimRun *run, const TrimRunReport *report, const char *note) {
    if (run->commands >= 0 && close(run->commands) != 0 && run->listError == 0) run->listError = errno;
    run->commands = -1;
    int trimmed = report->outcome == kTrimDone;
    if (trimmed && run->listError == 0) {
        fputs(kProgressDoneLine, stdout);
    } else {
        if (run->barShown) putchar('\n');
        fflush(stdout);
        char reason[192];
        DescribeTrimFailure(report, run->listError, reason, sizeof reason);
        ReportRunFailure(run, "Trim error! %s", reason);
        trimmed = 0;
    }
    char summary[160];
    FormatTrimSummary(summary, sizeof summary, report->commandsSent, report->blocksTrimmed * 512, note);
    fputs(summary, stdout);
    return trimmed ? kExitOk : kExitTrimFailed;
}
