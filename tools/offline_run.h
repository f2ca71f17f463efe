// The one offline run both front ends share (quillet-image on a disk image,
// quillet-disk on a partition): the command list, the engine's open, the
// volume's state, what the volume is, the question, the trim, the summary.
// The front end prepares its binding and says how to reach its input; the
// engine is called from here alone.
#ifndef QUILLET_HOST_OFFLINE_RUN_H
#define QUILLET_HOST_OFFLINE_RUN_H

#include <stdint.h>
#include <sys/stat.h>

#include <string>

#include "disk_read.h"
#include "json_report.h"
#include "tool_arguments.h"
#include "trim_engine.h"

struct OfflineTarget {
    const char *program;               // "quillet-image"
    const ToolCommonOptions *options;  // options->operand names the input
    int lockVolume;                    // the engine's lock: quillet-disk's exclusive open
    int ask;                           // ask before trimming (needs a terminal on stdin)
    int showDriveModel;
    struct stat input;                 // the command list must be neither this file nor a block device
    int imageFd;                       // an image's descriptor: its allocation is measured; -1 otherwise
    // Where the image is no file of ours (an NBD export): its allocation
    // as the server tells it (-1: unknown, then `allocationUnknown` says
    // why). Null: from imageFd.
    int64_t (*measureAllocation)(void *context);
    void *measureContext;
    const char *allocationUnknown;
    // Raw reads of the input, to say what lies there when the engine finds
    // no NTFS; `inputBytes` is its size (-1 unknown).
    DiskReadFunction readInput;
    void *readContext;
    int64_t volumeOffset;
    int64_t inputBytes;
    std::string pathTaken;  // for -v: how the commands reach the drive
    std::string subject;    // what messages name; empty: the operand
    // Several runs of one process (the partitions of a disk) write one
    // command list: set, it says whether an earlier run created the list
    // already (then this run appends), and is set once this run has.
    int *listCreated;
    // Hands on what the medium held back after the engine's last command
    // (an image store's tail); 0 when something did not go through.
    int (*finishTrims)(void *context);
    void *finishContext;
    int showPath;           // say it without -v too
    // The front end's open through its binding (both by drive and offset:
    // quillet-disk's block device, quillet-image's image): an OpenStatus, and on kOpenOk
    // the path the commands take and, when the drive takes none, why not
    // (empty: the plain reason). On any other status (an exit status then)
    // the last one may say what refused the volume, in place of the
    // status's own text.
    int (*openVolume)(void *context, TrimVolume **volume, std::string *pathTaken, std::string *noTrimReason);
    void *openContext;
    const char *keepsSpace;  // the image format's name when trims release nothing there
    std::string spaceNote;   // what the format gives back, and why it may be less than raw; may be empty
    // Walls the process in before its first trim, once the command list is
    // open (`commandsFd`, -1 without one); 0 with the reason when the wall
    // cannot be raised, and nothing is trimmed. Null: no wall.
    int (*enterWall)(void *context, int commandsFd, std::string *why);
    void *wallContext;
    // Every range the run sends (a dry run: would send), in bytes of the
    // input, in order; then, after a dry run, the bytes the image would
    // give back for the ranges handed on since the last ask (-1: cannot
    // tell), and in what pieces it gives them back. Null: not kept.
    void (*keepRange)(void *context, int64_t position, int64_t size);
    int64_t (*wouldRelease)(void *context);
    void *rangeContext;
    std::string releaseUnit;
    // What the run did, for --output=json: its outcome, reason, commands,
    // bytes and clusters. Null: not kept.
    VolumeResult *result;
};

// The whole run; returns the exit status (exit_status.h), also kept in
// target.result with the outcome.
int RunOfflineTrim(const OfflineTarget &target);

// The input's first bytes at `offset`, for DescribeFoundInstead: up to 4096
// bytes, fewer where the input ends. The count read.
size_t ReadInputHead(const OfflineTarget &target, uint8_t *bytes);

#endif
