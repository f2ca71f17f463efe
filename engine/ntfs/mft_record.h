// MFT file records and their attributes, read from a buffer that holds one
// whole record. Nothing here trusts a field before the fields it depends on
// have been checked: every offset is kept inside the record's bytes in use.
// Pure functions over bytes, shared by the bitmap locator and the tools
// that look at other metafiles.
#ifndef QUILLET_ENGINE_MFT_RECORD_H
#define QUILLET_ENGINE_MFT_RECORD_H

#include <stdint.h>

enum {
    kMinMftRecordSize = 512,
    kMaxMftRecordSize = 4096,  // one read per record
};

// The record size from the boot sector's clusters-per-record byte: a
// positive value counts clusters, a negative one is a power of two in
// bytes. 1 when the size is a power of two from 512 to 4096 bytes.
int DecodeMftRecordSize(uint8_t clustersPerRecord, uint32_t bytesPerCluster, uint32_t *recordSize);

// Checks a record of `recordSize` bytes as read from the disk and applies
// its update sequence to every 512-byte stride. 1 when the signature is
// "FILE", the sequence array fits the record and every stride ends with the
// sequence number (no torn write), the record's own size equals
// `recordSize` and its first attribute and bytes in use lie inside it.
// *usedSize gets the bytes in use, which bound every attribute walk.
int CheckMftRecord(uint8_t *record, uint32_t recordSize, uint32_t *usedSize);

// 1 when the record is in use and is a base record (no base reference).
int IsBaseRecordInUse(const uint8_t *record);

// Moves *at (0: the record's first attribute) to the first attribute of
// `type` at or after *at. 0 when the attribute list ends first, or when an
// attribute header or length does not fit within the bytes in use.
int FindAttribute(const uint8_t *record, uint32_t usedSize, uint32_t type, uint32_t *at);

// Like FindAttribute, for the attribute of `type` whose name is the ASCII
// `name` ("" for the unnamed one); attributes of another name are passed
// over. The one lookup within a record: the locator, the reader and its
// attribute search all go through it.
int FindNamedAttribute(const uint8_t *record, uint32_t usedSize, uint32_t type, const char *name, uint32_t *at);

// 1 when the `length` UTF-16 units at `units` are the ASCII `name` unit for
// unit, as NTFS matches attribute names: the one name comparison, for
// attribute headers and attribute list entries.
int NameUnitsAre(const uint8_t *units, uint32_t length, const char *name);

// The value of the resident attribute at `at`: 1 with its offset within the
// record and its length when the attribute is resident and the value lies
// inside the attribute.
int ResidentValue(const uint8_t *record, uint32_t at, uint32_t *valueAt, uint32_t *valueLength);

// The header fields of a non-resident attribute.
struct NonResidentAttribute {
    uint32_t nameLength;        // UTF-16 units; 0 for the unnamed stream
    uint64_t firstVcn;
    uint64_t lastVcn;
    uint32_t pairsAt;           // mapping pairs: offset within the record
    uint32_t pairsEnd;          // and the end of the attribute
    uint64_t allocatedSize;
    uint64_t realSize;
    uint64_t initializedSize;
};

// Reads the header of the non-resident attribute at `at`. 1 when it is
// non-resident, its mapping pairs start inside it and its sizes are in
// order (allocated >= initialized, allocated >= real).
int ReadNonResident(const uint8_t *record, uint32_t at, NonResidentAttribute *attribute);

// The update sequence of any multi-sector block (MFT records, index
// blocks, log restart pages): checks that every 512-byte stride of the
// `size` bytes ends with the sequence number and puts the saved bytes
// back. 1 when the array lies in the first stride and covers every stride
// exactly and no stride is torn; the signature is the caller's to check.
int ApplyUpdateSequence(uint8_t *block, uint32_t size);

// Decodes the run of the mapping pairs at *at, before pairsEnd. The run's
// offset is signed and relative to *lcn (0 before the first run); *lcn
// moves to the run's first cluster unless the run is sparse (no offset).
// *at moves to the next run. 0 at the list's end (a zero header byte) and
// when the run does not fit, has no length or fields wider than 8 bytes.
// The one decoder of data runs: the bitmap locator, the reader and the
// claims check all read runs through it.
int NextDataRun(const uint8_t *record, uint32_t *at, uint32_t pairsEnd, uint64_t *clusterCount, int64_t *lcn,
                int *sparse);

// The runs of one non-resident attribute segment, walked in order with
// their VCNs: the one walk over a run list and its checks, for the reader
// and the claims check.
struct SegmentRuns {
    NonResidentAttribute header;
    uint32_t at;   // the next mapping pair
    uint64_t vcn;  // of the next run
    int64_t lcn;   // of the last stored run
    int broken;    // a run's length ran past the last VCN there is
};

// Inline: the claims check walks the runs of every record of $MFT.

// Starts the walk over the non-resident attribute at `at`; 0 when its
// header is not sound (ReadNonResident).
inline int StartSegmentRuns(const uint8_t *record, uint32_t at, SegmentRuns *runs) {
    if (!ReadNonResident(record, at, &runs->header)) return 0;
    runs->at = runs->header.pairsAt;
    runs->vcn = runs->header.firstVcn;
    runs->lcn = 0;
    runs->broken = 0;
    return 1;
}

// The next run: its first VCN, its length, its first cluster (signed: a
// damaged list may point before the volume) and whether it is sparse. 0
// at the end of the list, and for a run that would wrap the VCNs.
inline int NextSegmentRun(const uint8_t *record, SegmentRuns *runs, uint64_t *vcn, uint64_t *count, int64_t *lcn,
                          int *sparse) {
    // Each run takes at least two bytes of the attribute: bounded.
    if (runs->broken || !NextDataRun(record, &runs->at, runs->header.pairsEnd, count, &runs->lcn, sparse)) return 0;
    if (*count > ~(uint64_t)0 - runs->vcn) {
        runs->broken = 1;
        return 0;
    }
    *vcn = runs->vcn;
    *lcn = runs->lcn;
    runs->vcn += *count;
    return 1;
}

// Once NextSegmentRun gave 0: 1 when the list ended at its end marker (or
// at the attribute's end) with the segment's last VCN, nothing broken.
inline int SegmentRunsSound(const uint8_t *record, const SegmentRuns *runs) {
    return !runs->broken && (runs->at >= runs->header.pairsEnd || record[runs->at] == 0) &&
           runs->vcn == runs->header.lastVcn + 1;
}

#endif
