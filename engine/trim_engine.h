// The trim engine: opens one NTFS volume, finds its physical drive, loads the
// volume bitmap straight from the disk and sends ATA TRIM for its free runs.
// Plain records and free functions; no Windows header, no exceptions, no
// runtime library. Each platform supplies the calls of binding.h.
#ifndef QUILLET_ENGINE_TRIM_ENGINE_H
#define QUILLET_ENGINE_TRIM_ENGINE_H

#include <stdint.h>

struct VolumeContext;  // ntfs_reader.h

// A device handle as the platform hands it out (HANDLE on Windows). Null
// means "not opened"; a binding never returns null for a device it opened.
typedef void *DeviceHandle;

// What the drive's IDENTIFY DEVICE data say, decoded once at opening.
struct DriveIdentity {
    int32_t trimBit;             // word 169 bit 0
    uint32_t rangeBlocks;        // word 105: 512-byte blocks of range entries one command may carry (0 counts as 1)
    uint32_t logicalSectorSize;  // bytes; 512 unless words 106 and 117-118 say otherwise
    char model[41];              // words 27-46 without trailing blanks
    uint64_t sectors;            // user-addressable sectors: words 100-103, or 60-61 without 48-bit addressing
    int32_t readsAfterTrim;      // word 69: a TrimReads value
};

// What a trimmed block reads as afterwards (IDENTIFY word 69).
enum TrimReads {
    kTrimReadsUntold = 0,
    kTrimReadsNotDeterministic = 1,
    kTrimReadsDeterministic = 2,
    kTrimReadsZeros = 3,
};

struct TrimVolume {
    DeviceHandle volumeHandle;   // holds the volume lock when one was taken
    uint32_t diskNumber;         // disk of the volume's (only) extent
    int64_t partitionOffset;     // byte offset of the volume on that disk
    DeviceHandle driveHandle;    // the physical drive: every read and command
    int32_t trimSupported;       // IDENTIFY word 169 bit 0, 512-byte sectors
    uint32_t oemId;              // first four OEM id bytes, little-endian
    uint32_t bytesPerSector;
    uint32_t sectorsPerCluster;
    uint32_t minRunClusters;     // shortest free run that can hold 4096 bytes
    int64_t totalSectors;
    int64_t totalClusters;       // the bitmap must cover every one
    uint32_t bytesPerCluster;
    int64_t mftPosition;         // absolute; left on the $Bitmap record
    uint64_t mftCluster;         // where the boot sector puts $MFT
    uint64_t mftMirrorCluster;   // and $MFTMirr
    uint32_t mftRecordSize;      // 512 to 4096 bytes
    uint8_t *bitmap;             // owned
    uint32_t bitmapSize;         // bytes that cover the volume
    uint32_t bytesPerCell;       // the desktop map's own fields; the engine
    uint32_t clustersPerCell;    // never reads or writes them
    DriveIdentity identity;      // all zero when IDENTIFY failed
    // Owned: what the open read of the volume's NTFS (boot sector, $MFT's
    // map, the records read), for the checks that follow it.
    VolumeContext *context;
    // 12, 16 or 32 for a FAT volume (fat/fat_volume.h), whose open made
    // its checks already, and its data clusters (the bitmap's bits past
    // them are set); 0 for NTFS.
    uint32_t fatBits;
    uint32_t fatClusters;
};

// Result of OpenTrimVolume: 0 opened, otherwise the step that failed.
enum OpenStatus {
    kOpenOk = 0,
    kOpenNoMemory = 1,
    kOpenVolumeFailed = 2,
    kOpenExtentsFailed = 3,
    kOpenLockFailed = 4,
    kOpenDriveFailed = 5,
    // 6 is no open status: a drive without TRIM opens, with trimSupported 0
    // (the status texts keep its words at 6).
    kOpenBootSectorFailed = 7,
    kOpenNotNtfs = 8,
    kOpenBitmapFailed = 9,
};

// Called before each TRIM command with the chunk's first cluster and its
// length in clusters, on the thread that runs TrimFreeSpace.
typedef void (*TrimProgressSink)(TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount);

// One range of 512-byte blocks for DATA SET MANAGEMENT.
struct TrimRange {
    uint64_t lba;
    uint32_t blockCount;
};

// How much one command may carry. All zero: one range of at most 4096
// blocks, the Windows programs' commands. Otherwise blocksPerRange is cut
// to a multiple of 8 from 8 to 65528 and rangesPerCommand to 1 to
// kMaxTrimRangesPerCommand.
struct TrimLimits {
    uint32_t blocksPerRange;
    uint32_t rangesPerCommand;
};

enum { kMaxTrimPayloadBlocks = 8, kTrimRangesPerBlock = 64, kMaxTrimRangesPerCommand = 512 };

// The progress sink of a run: called before each command, in ascending
// order, with the first cluster its ranges cover and the clusters from
// there to the end of its last range (at least 1).
typedef void (*TrimProgressFunction)(void *context, TrimVolume *volume, uint32_t firstCluster,
                                     uint32_t clusterCount);

// Told of each command after the drive answered (`accepted` 0: it ended
// with ERR), with its ranges in order; in a dry run, of each command that
// would have been sent. Returning 0 stops the run before the next command.
typedef int (*TrimCommandObserver)(void *context, const TrimRange *ranges, uint32_t rangeCount, int accepted);

struct TrimRunOptions {
    TrimProgressFunction progress;  // may be null
    void *progressContext;
    TrimCommandObserver observer;   // may be null
    void *observerContext;
    int dryRun;                     // nothing reaches the drive; every command counts as accepted
    TrimLimits limits;
};

enum TrimRunOutcome {
    kTrimDone = 0,
    kTrimNotSupported = 1,      // no command was sent
    kTrimPastLbaLimit = 2,      // a range would reach past LBA 2^48; not sent
    kTrimPassThroughFailed = 3, // the request never reached the drive
    kTrimRefused = 4,           // the drive ended a command with ERR
    kTrimStopped = 5,           // the observer stopped the run
};

struct TrimRunReport {
    TrimRunOutcome outcome;
    uint32_t commandsSent;     // that reached the drive, a refused one included
    uint64_t rangesSent;       // in those commands
    uint64_t blocksTrimmed;    // of accepted commands
    uint32_t failedCommand;    // 1-based number of the command that failed; 0 when none did
    TrimRange failedRange;     // its first range, or the range past 2^48
    uint32_t failedRangeCount; // ranges the failed command held
};

// Opens the volume of `driveLetter` ('A' to 'Z'). Sets *result to null first
// and, on kOpenOk, to a record the caller owns and gives back with
// ReleaseTrimVolume. A failed open leaves nothing to release. Windows names
// volumes by letter: the Windows bindings supply this step
// (bindings/windows/), and it ends in OpenTrimVolumeOnDrive.
int OpenTrimVolume(char driveLetter, TrimVolume **result, int lockVolume);

// Opens the volume that starts at byte `offset` of an opened `drive` and
// spans `length` bytes (its partition), where the platform names no volume
// by letter. `lock` is what keeps others off the volume while it is open
// (may be null). The record takes both handles, as volumeHandle and
// driveHandle; a failed open closes them. The steps from IDENTIFY on are
// OpenTrimVolume's.
int OpenTrimVolumeOnDrive(DeviceHandle drive, DeviceHandle lock, int64_t offset, int64_t length,
                          TrimVolume **result);

// Closes both handles (ending any lock), frees the bitmap and the record.
// A null volume is ignored.
void ReleaseTrimVolume(TrimVolume *volume);

// Trims every free run of at least minRunClusters clusters. 1 when every
// command was accepted (or none was needed), 0 when the drive lacks TRIM
// or a command failed. `sink` may be null.
int TrimFreeSpace(TrimVolume *volume, TrimProgressSink sink);

// The run behind TrimFreeSpace: the same free runs and alignment, commands
// within options->limits, dry run and observer as asked. Fills *report
// and returns 1 when it ended with kTrimDone.
int TrimFreeSpaceWith(TrimVolume *volume, const TrimRunOptions *options, TrimRunReport *report);

// The limits the drive announced: whole ranges of 65528 blocks, 64 of them
// per block of entries the drive takes (at most kMaxTrimPayloadBlocks).
TrimLimits DriveTrimLimits(const TrimVolume *volume);

// The geometry of an NTFS boot sector, decoded and checked.
struct BootGeometry {
    uint32_t bytesPerSector;
    uint32_t sectorsPerCluster;  // decoded: 1 to 2^21 / bytesPerSector
    uint32_t bytesPerCluster;    // 256 bytes (256-byte sectors) to 2 MiB
    int64_t totalSectors;
    int64_t totalClusters;
    uint64_t mftCluster;
    uint64_t mftMirrorCluster;
    uint32_t mftRecordSize;
};

// The first boot sector field that makes a geometry unusable.
enum BootGeometryFault {
    kGeometrySound = 0,
    kGeometryBytesPerSector,     // 0x0B: not a power of two from 256 to 4096
    kGeometrySectorsPerCluster,  // 0x0D: no power of two, or a cluster past 2 MiB
    kGeometryTotalSectors,       // 0x28: no cluster, or 2^32 clusters or more
    kGeometryClustersPerRecord,  // 0x40: no MFT record of 512 to 4096 bytes
    kGeometryMftCluster,         // 0x30: past the volume's end
    kGeometryMftMirrorCluster,   // 0x38: past the volume's end
};

enum { kMaxBytesPerCluster = 2 * 1024 * 1024 };  // the largest Windows formats

// The sectors-per-cluster byte: 1 to 128 as a power of two, above 0x80 a
// negative exponent (sectors = 2^(256 - byte)). 1 when it is one of those
// (at most 2^21 sectors); the caller bounds the cluster's bytes.
int DecodeSectorsPerCluster(uint8_t stored, uint32_t *sectors);

// Decodes the 512-byte NTFS boot sector `sector` (its OEM id is the
// caller's to check). Returns a BootGeometryFault; *geometry is filled on
// kGeometrySound and all zero otherwise.
int DecodeBootGeometry(const uint8_t *sector, BootGeometry *geometry);

// The open's last step, on the boot sector's geometry: finds $Bitmap through
// the volume's context and loads it. 0 when it cannot; *problem gets an
// NtfsProblem (ntfs_reader.h): a refused read, no memory, or damage.
int LocateBitmap(TrimVolume *volume, uint32_t *problem);

// Before trimming a volume nobody else writes to: reads all of $MFT and
// checks that the loaded bitmap marks every cluster any in-use record
// claims, once each, inside the volume. 1 when it does; otherwise
// *finding (ntfs_reader.h) says what contradicts it, and the caller
// refuses with kOpenBitmapFailed.
struct ClaimFinding;
int CheckVolumeClaims(TrimVolume *volume, ClaimFinding *finding);

#endif
