// The test double of a Windows machine's devices under the one Windows
// volume open: device names map to disk-image files, and the physical drive
// is an emulated SSD that checks every ATA pass-through request strictly and
// executes TRIM by punching holes into the image. The engine tests, the fuzz
// targets, the benchmarks and the test variants of the Windows programs run
// on it; no shipped program does.
//
// The binding interface is free functions, so the set-up lives in one
// process-wide state; HostReset() starts afresh.
#ifndef QUILLET_TESTS_EMULATED_SSD_H
#define QUILLET_TESTS_EMULATED_SSD_H

#include <stdint.h>

#include "trim_engine.h"

// How the emulated drive behaves.
struct EmulatedDrive {
    char model[41];              // IDENTIFY words 27-46
    int rejectPassThrough;       // the control call fails, as behind a bridge
    int trimSupported;           // IDENTIFY word 169 bit 0
    int identifyError;           // IDENTIFY completes with ERR set
    uint32_t logicalSectorSize;  // 512, or larger for a 4Kn drive
    uint32_t failTrimAt;         // the N-th TRIM ends with ERR (1-based; 0 never)
    uint32_t headerSize;         // the ATA header layout it accepts: 40 or 48
    uint32_t rangeBlocks;        // IDENTIFY word 105: blocks of range entries per TRIM
    // Called as the N-th TRIM command (1-based) arrives, before the drive
    // works on it: a slow drive, for tests that look at a run midway.
    void (*trimArriving)(uint32_t commandNumber);
};

// How the volume device behaves.
struct EmulatedVolume {
    char letter;
    uint32_t diskNumber;
    int64_t partitionOffset;
    int64_t extentLength;  // 0: from partitionOffset to the end of the image
    uint32_t extentCount;  // reported by the extents query; 1 normally
    int extentsFail;       // the extents query is refused
    int lockFails;         // FSCTL_LOCK_VOLUME is refused (volume in use)
    int openFails;         // the volume device cannot be opened
};

struct HostCounters {
    int openHandles;              // devices opened and not yet closed
    int liveBlocks;               // allocations not yet freed
    uint32_t reads;               // successful reads
    uint32_t identifyCommands;
    uint32_t trimCommands;        // TRIM commands that reached the drive
    uint32_t trimRanges;          // their range entries
    uint64_t trimmedBytes;        // bytes of accepted TRIM commands
    uint32_t malformedRequests;   // pass-through requests the drive refused as malformed
    uint32_t locksTaken;
};

// Forgets every disk and volume, restores the default drive and zeroes the
// counters. Close every device before the reset.
void HostReset();

// Disk `diskNumber` ("PhysicalDriveN") is the image file at `path`.
// `writable` lets TRIM punch holes; on a read-only image the drive takes
// TRIM and leaves the blocks as they were. 1 when the image could be opened.
int HostAttachDisk(uint32_t diskNumber, const char *path, int writable);

// Adds (or replaces) a volume; returns its settings for further changes.
EmulatedVolume *HostAttachVolume(char letter, uint32_t diskNumber, int64_t partitionOffset);

EmulatedDrive *HostDrive();
HostCounters *HostCountersNow();

// Fails the N-th read from now (1-based; 0 never).
void HostFailReadAt(uint32_t readNumber);
// Tells `watch` of every read the drive serves, its place and size (null:
// none), until the next reset.
void HostWatchReads(void (*watch)(int64_t position, uint32_t size));
// Fails the N-th allocation from now (1-based; 0 never).
void HostFailAllocationAt(uint32_t allocationNumber);

// The ranges of the TRIM commands the drive accepted, in order (`count`
// gets their number).
const TrimRange *HostTrimmedRanges(uint32_t *count);

// The device names opened so far, newline-separated (for name checks).
const char *HostOpenedNames();

#endif
