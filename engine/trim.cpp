// Trimming the free space of an opened volume.
#include "binding.h"
#include "bytes.h"
#include "free_runs.h"
#include "trim_engine.h"

enum {
    kAlignment = 4096,        // the disk's blocks we may tell the drive about
    kLogicalBlock = 512,      // ATA LBAs and counts are 512-byte units
    kAlignmentBlocks = kAlignment / kLogicalBlock,
    kWindowsChunkBlocks = 4096,  // 2 MiB per command, one range
    kMaxRangeBlocks = 0xFFFF & ~(kAlignmentBlocks - 1),  // a range entry's count, cut to whole 4096-byte blocks
};

// A run in progress: the ranges of the next command, gathered until the
// limits say it is full.
struct TrimBatch {
    TrimVolume *volume;
    const TrimRunOptions *options;
    TrimRunReport *report;
    uint32_t blocksPerRange;
    uint32_t rangesPerCommand;
    uint32_t count;
    TrimRange ranges[kMaxTrimRangesPerCommand];
};

static void Fail(TrimBatch *batch, TrimRunOutcome outcome, const TrimRange &range) {
    TrimRunReport *report = batch->report;
    report->outcome = outcome;
    report->failedCommand = report->commandsSent + 1;
    report->failedRange = range;
    report->failedRangeCount = batch->count;
}

// Sends the gathered ranges as one command, the progress sink first.
static int SendBatch(TrimBatch *batch) {
    if (batch->count == 0) return 1;
    TrimVolume *volume = batch->volume;
    const TrimRunOptions *options = batch->options;
    TrimRunReport *report = batch->report;
    const TrimRange &first = batch->ranges[0];
    const TrimRange &last = batch->ranges[batch->count - 1];
    if (options->progress != 0) {
        const uint64_t start = first.lba * kLogicalBlock - (uint64_t)volume->partitionOffset;
        const uint64_t end = (last.lba + last.blockCount) * kLogicalBlock - (uint64_t)volume->partitionOffset;
        // A command shorter than one cluster (a 2 MiB cluster cut inwards
        // to the disk's 4096-byte blocks) still moves the progress on.
        const uint64_t clusters = (end - start) / volume->bytesPerCluster;
        options->progress(options->progressContext, volume, (uint32_t)(start / volume->bytesPerCluster),
                          clusters != 0 ? (uint32_t)clusters : 1);
    }
    // The range entry holds 48 bits of LBA: a range reaching past them
    // would go out with its top bits cut off and name blocks near the
    // disk's start. Ranges ascend, so the last one tells.
    if (last.lba + last.blockCount > (uint64_t)1 << 48) {
        for (uint32_t i = 0; i < batch->count; i++) {
            if (batch->ranges[i].lba + batch->ranges[i].blockCount > (uint64_t)1 << 48) {
                Fail(batch, kTrimPastLbaLimit, batch->ranges[i]);
                return 0;
            }
        }
    }
    const int result = options->dryRun ? kTrimBatchAccepted
                                       : BindingTrimRanges(volume->driveHandle, batch->ranges, batch->count);
    if (result != kTrimBatchAccepted && result != kTrimBatchRefused) {
        Fail(batch, kTrimPassThroughFailed, first);
        return 0;
    }
    const int accepted = result == kTrimBatchAccepted;
    if (!accepted) Fail(batch, kTrimRefused, first);
    report->commandsSent++;
    report->rangesSent += batch->count;
    if (accepted) {
        for (uint32_t i = 0; i < batch->count; i++) report->blocksTrimmed += batch->ranges[i].blockCount;
    }
    const int goOn = options->observer == 0 ||
                     options->observer(options->observerContext, batch->ranges, batch->count, accepted);
    if (!accepted) return 0;
    batch->count = 0;
    if (!goOn) {
        report->outcome = kTrimStopped;
        return 0;
    }
    return 1;
}

// Aligns a free run inwards to whole 4096-byte blocks of the disk and adds
// it in ranges of at most blocksPerRange, sending each command as it fills.
static int AddFreeRun(TrimBatch *batch, uint64_t firstCluster, uint32_t clusterCount) {
    const TrimVolume *volume = batch->volume;
    int64_t start = volume->partitionOffset + (int64_t)(firstCluster * volume->bytesPerCluster);
    int64_t end = start + (int64_t)clusterCount * volume->bytesPerCluster;
    // Inwards: a partly free block must stay.
    start = (start + (kAlignment - 1)) & ~(int64_t)(kAlignment - 1);
    end &= ~(int64_t)(kAlignment - 1);
    if (end <= start) return 1;

    uint64_t lba = (uint64_t)start / kLogicalBlock;
    uint64_t blocks = (uint64_t)(end - start) / kLogicalBlock;
    while (blocks > 0) {
        const uint32_t piece = blocks > batch->blocksPerRange ? batch->blocksPerRange : (uint32_t)blocks;
        batch->ranges[batch->count].lba = lba;
        batch->ranges[batch->count].blockCount = piece;
        batch->count++;
        if (batch->count == batch->rangesPerCommand && !SendBatch(batch)) return 0;
        lba += piece;
        blocks -= piece;
    }
    return 1;
}

static void StartBatch(TrimBatch *batch, TrimVolume *volume, const TrimRunOptions *options, TrimRunReport *report) {
    ZeroBytes(report, sizeof *report);
    batch->volume = volume;
    batch->options = options;
    batch->report = report;
    batch->count = 0;
    uint32_t blocks = options->limits.blocksPerRange;
    uint32_t ranges = options->limits.rangesPerCommand;
    if (blocks == 0 && ranges == 0) {
        blocks = kWindowsChunkBlocks;
        ranges = 1;
    }
    // Cut points on whole 4096-byte blocks keep every range aligned.
    if (blocks > kMaxRangeBlocks) blocks = kMaxRangeBlocks;
    blocks &= ~(uint32_t)(kAlignmentBlocks - 1);
    if (blocks == 0) blocks = kAlignmentBlocks;
    if (ranges > kMaxTrimRangesPerCommand) ranges = kMaxTrimRangesPerCommand;
    if (ranges == 0) ranges = 1;
    batch->blocksPerRange = blocks;
    batch->rangesPerCommand = ranges;
}

static int VisitFreeRun(void *context, uint32_t firstCluster, uint32_t clusterCount) {
    return AddFreeRun((TrimBatch *)context, firstCluster, clusterCount);
}

int TrimFreeSpaceWith(TrimVolume *volume, const TrimRunOptions *options, TrimRunReport *report) {
    TrimBatch batch;
    StartBatch(&batch, volume, options, report);
    if (volume->trimSupported == 0) {
        report->outcome = kTrimNotSupported;
        return 0;
    }
    uint32_t byteCount = (uint32_t)(volume->totalClusters / 8);
    // Opening keeps bitmapSize == totalClusters / 8 within the buffer; a
    // caller that changed the record must not make us read past it.
    if (byteCount > volume->bitmapSize) byteCount = volume->bitmapSize;
    if (!ScanFreeRuns(volume->bitmap, byteCount, volume->minRunClusters, VisitFreeRun, &batch)) return 0;
    return SendBatch(&batch) && report->outcome == kTrimDone;
}

TrimLimits DriveTrimLimits(const TrimVolume *volume) {
    uint32_t payloadBlocks = volume->identity.rangeBlocks;
    if (payloadBlocks == 0) payloadBlocks = 1;
    if (payloadBlocks > kMaxTrimPayloadBlocks) payloadBlocks = kMaxTrimPayloadBlocks;
    TrimLimits limits = {kMaxRangeBlocks, payloadBlocks * kTrimRangesPerBlock};
    return limits;
}

// The Windows programs' sink has no context of its own.
struct SinkCall {
    TrimProgressSink sink;
};

static void CallSink(void *context, TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount) {
    ((SinkCall *)context)->sink(volume, firstCluster, clusterCount);
}

static void WindowsOptions(TrimRunOptions *options, SinkCall *call) {
    options->progress = call->sink != 0 ? CallSink : 0;
    options->progressContext = call;
    options->observer = 0;
    options->observerContext = 0;
    options->dryRun = 0;
    options->limits.blocksPerRange = 0;  // one range of at most 4096 blocks
    options->limits.rangesPerCommand = 0;
}

int TrimFreeSpace(TrimVolume *volume, TrimProgressSink sink) {
    SinkCall call = {sink};
    TrimRunOptions options;
    WindowsOptions(&options, &call);
    TrimRunReport report;
    return TrimFreeSpaceWith(volume, &options, &report);
}
