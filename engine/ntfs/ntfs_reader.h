// A read-only NTFS reader over a read callback: MFT records by number
// through every extent of $MFT, any attribute of a file wherever its
// attribute list puts it, directory index walks, and the check that the
// bitmap marks every cluster a file claims. Pure and bounded like
// mft_record: no platform header, no runtime; memory comes from the
// binding's BindingAllocate/BindingFree.
#ifndef QUILLET_ENGINE_NTFS_READER_H
#define QUILLET_ENGINE_NTFS_READER_H

#include <stdint.h>

// Reads exactly `size` bytes at absolute byte `position` of the disk (or
// partition, or image) the context stands for. 1 on success.
typedef int (*NtfsReadFunction)(void *context, int64_t position, void *buffer, uint32_t size);

// Why the reader stopped; the front ends word it.
enum NtfsProblem {
    kNtfsSound = 0,
    kNtfsReadFailed,     // the disk refused a read
    kNtfsNoMemory,
    kNtfsDamaged,        // a record or structure fails its checks
    kNtfsNotFound,       // the record or attribute asked for does not exist
};

// One run of a non-resident attribute: `count` clusters from `vcn` on,
// stored at `lcn` (kSparseLcn: not stored, reads as zeros).
struct NtfsExtent {
    uint64_t vcn;
    uint64_t lcn;
    uint64_t count;
};
static const uint64_t kSparseLcn = ~(uint64_t)0;

enum {
    kRecordCacheSlots = 32,  // more than one open and its checks read one by one
    kListCacheSlots = 4,
    kListCacheBytes = 16384,
};

struct NtfsReader {
    NtfsReadFunction read;
    void *context;
    int64_t volumeOffset;       // where the volume starts for `read`
    uint32_t bytesPerCluster;
    uint64_t totalClusters;
    uint32_t recordSize;
    uint64_t mftCluster;
    NtfsExtent *mftExtents;     // owned: all of $MFT's $DATA
    uint32_t mftExtentCount;
    uint64_t mftRecords;        // records in $MFT's initialized data
    uint32_t problem;           // NtfsProblem of the last failure
    uint64_t problemRecord;     // the MFT record it concerns
    // The records read one by one, as the disk holds them (before their
    // update sequence), so that each is read once: owned, kRecordCacheSlots
    // records; once all are taken the oldest gives way.
    uint8_t *cachedBytes;
    uint64_t cachedNumbers[kRecordCacheSlots];
    uint32_t cachedCount;
    uint32_t cacheNext;
    // Attribute lists too long for their base record, read from their
    // clusters once as well: kListCacheBytes in all (in the same block);
    // those that no longer fit are read each time.
    uint8_t *cachedLists;
    uint64_t cachedListRecords[kListCacheSlots];
    uint32_t cachedListSizes[kListCacheSlots];
    uint32_t cachedListCount;
    uint32_t cachedListBytes;
};

// What one open read of a volume's NTFS, kept by its TrimVolume for the
// checks after it (the volume's state, the claims check): the boot sector,
// $MFT's map and the records read, so that none of them is read again.
struct VolumeContext {
    uint8_t bootSector[512];
    NtfsReader reader;
};

// An attribute, whole: a copy of a resident value, or the runs of all its
// segments (sizes from the first one).
struct NtfsAttribute {
    int resident;
    uint8_t *value;             // owned, resident only
    uint32_t valueLength;
    NtfsExtent *extents;        // owned, non-resident only
    uint32_t extentCount;
    uint64_t allocatedSize;
    uint64_t realSize;
    uint64_t initializedSize;
};

// Sets the reader up from the volume's geometry and maps all of $MFT:
// record 0's own $DATA, then, when record 0 has an attribute list, the
// segments in its extension records, which must lie in the part record 0
// maps itself, in VCN order and contiguous. 1 when $MFT is mapped;
// otherwise reader->problem says why. ReleaseNtfsReader in both cases
// (also on a zero-filled reader).
int OpenNtfsReader(NtfsReader *reader, NtfsReadFunction read, void *context, int64_t volumeOffset,
                   uint32_t bytesPerCluster, uint64_t totalClusters, uint32_t recordSize, uint64_t mftCluster);
void ReleaseNtfsReader(NtfsReader *reader);

// Reads MFT record `number` (recordSize bytes) and checks it whole; *used
// gets its bytes in use. A record past $MFT's initialized data is not found.
int ReadNtfsRecord(NtfsReader *reader, uint64_t number, uint8_t *record, uint32_t *used);


// Loads the attribute of `type` named `name` (ASCII, "" for the unnamed
// one) of the file whose base record is `baseRecord`, through the base
// record's attribute list when it has one. Release it with
// ReleaseNtfsAttribute, whatever the result.
int LoadNtfsAttribute(NtfsReader *reader, uint64_t baseRecord, uint32_t type, const char *name,
                      NtfsAttribute *attribute);
void ReleaseNtfsAttribute(NtfsAttribute *attribute);

// Reads `size` bytes at `offset` of the attribute's value. Sparse runs and
// bytes past the initialized size read as zeros; bytes past the real size
// cannot be read.
int ReadNtfsAttribute(NtfsReader *reader, const NtfsAttribute *attribute, uint64_t offset, uint32_t size,
                      uint8_t *buffer);

// Calls `visit` for each entry of the index `name` ("$I30" for a folder) of
// file `record`: its root and every index block its bitmap calls in use,
// in on-disk order (no collation). The key is the entry's key bytes, the
// reference its file reference. `visit` returns 0 to stop the walk.
typedef int (*NtfsIndexVisitor)(void *context, const uint8_t *key, uint32_t keyLength, uint64_t reference);
int WalkNtfsIndex(NtfsReader *reader, uint64_t record, const char *name, NtfsIndexVisitor visit, void *context);

// What the bitmap check found.
enum ClaimFindingKind {
    kClaimsSound = 0,
    kClaimFree,           // a claimed cluster is marked free in the bitmap
    kClaimTwice,          // a cluster claimed by two attributes
    kClaimPastEnd,        // a run reaching past the volume's end
    kClaimRecordDamaged,  // an in-use record (or $MFT's map) fails its checks
    kClaimForeignExtension,  // an attribute list names an extension record of another base
    kClaimUnreadable,     // $MFT could not be read
    kClaimNoMemory,
};

// One difference, or a run of them: `count` clusters from `cluster` (a run
// past the end: its first cluster past it, count 1) of MFT record `record`;
// for a foreign extension, `record` is the extension record and `cluster`
// the base record whose attribute list names it.
struct ClaimDifference {
    uint32_t kind;
    uint64_t cluster;
    uint64_t count;
    uint64_t record;
};

enum { kClaimsNamed = 4 };

// As e2fsck's pass 5 reports: every difference is counted before the check
// refuses, and the first few are named.
struct ClaimFinding {
    uint32_t kind;       // the first difference's kind, or unreadable / no memory
    uint64_t cluster;    // and its cluster and record
    uint64_t record;
    uint64_t differences;  // in all: clusters free or claimed twice, runs past the end, records
    uint32_t named;        // entries of first[]
    ClaimDifference first[kClaimsNamed];
};

// Reads all of $MFT in large sequential pieces and checks every in-use
// base and extension record whole: every cluster any non-resident
// attribute claims must lie in the volume's `clusters`, be marked used in
// `bitmap` and be claimed once, every record in use must pass its checks,
// and every extension record a base record's attribute list names (in
// the record or in clusters of its own) must belong to that base record.
// 1 when nothing contradicts the
// bitmap; otherwise *finding counts and names what did. A failed read or
// a lack of memory ends the check at once, with its own kind.
int CheckClusterClaims(NtfsReader *reader, const uint8_t *bitmap, uint64_t clusters, ClaimFinding *finding);

#endif
