// The NTFS reader. Everything read from the disk is checked before it is
// used, every walk is bounded by the bytes it walks over or by $MFT's own
// size, and every failure names its cause in reader->problem.
#include "ntfs_reader.h"

#include "binding.h"
#include "bytes.h"
#include "mft_record.h"
#include "ntfs_layout.h"

enum {
    kRecordNumber = 0x2C,          // 32-bit, in records of NTFS 3.1 and later
    kRecordNumberedLayout = 0x30,  // such records keep their sequence array here or later
    kAttributeId = 0x0E,           // 16-bit
    kListType = 0x00,
    kListLength = 0x04,
    kListNameLength = 0x06,
    kListNameOffset = 0x07,
    kListFirstVcn = 0x08,
    kListReference = 0x10,
    kListAttributeId = 0x18,
    kListMinEntry = 0x1A,
    kMaxAttributeList = 256 * 1024,
    kMaxExtents = 1 << 22,
    kMaxIndexBlocks = 1 << 20,
    // Index layouts.
    kIndexRootBlockSize = 0x08,
    kIndexRootHeader = 0x10,
    kIndexBlockHeader = 0x18,
    kIndexEntriesOffset = 0x00,
    kIndexLength = 0x04,
    kIndexFlags = 0x0C,
    kIndexHasBlocks = 0x01,
    kEntryLength = 0x08,
    kEntryKeyLength = 0x0A,
    kEntryFlags = 0x0C,
    kEntryIsLast = 0x0002,
    kEntryKey = 0x10,
    // The bitmap check reads $MFT in pieces of this size.
    kClaimPiece = 1 << 20,
};

static const uint32_t kIndexSignature = 0x58444E49;        // "INDX"
static const uint32_t kEndMarker = 0xFFFFFFFF;

static int Fail(NtfsReader *reader, uint32_t problem, uint64_t record) {
    reader->problem = problem;
    reader->problemRecord = record;
    return 0;
}

// Extent lists grow by doubling, within kMaxExtents.
struct ExtentList {
    NtfsExtent *items;
    uint32_t count;
    uint32_t capacity;
};

static int AppendExtent(ExtentList *list, uint64_t vcn, uint64_t lcn, uint64_t count) {
    if (list->count == list->capacity) {
        uint32_t capacity = list->capacity == 0 ? 16 : list->capacity * 2;
        if (capacity > kMaxExtents) return 0;
        NtfsExtent *items = (NtfsExtent *)BindingAllocate(capacity * (uint32_t)sizeof(NtfsExtent));
        if (items == 0) return 0;
        if (list->count != 0) __builtin_memcpy(items, list->items, list->count * sizeof(NtfsExtent));
        if (list->items != 0) BindingFree(list->items);
        list->items = items;
        list->capacity = capacity;
    }
    NtfsExtent *extent = &list->items[list->count++];
    extent->vcn = vcn;
    extent->lcn = lcn;
    extent->count = count;
    return 1;
}

// Decodes the runs of the non-resident attribute segment at `at` into
// `list`, starting at VCN *nextVcn, which moves past the segment. Stored
// runs must lie inside the volume and the runs must end where the segment
// says it does.
static int DecodeSegment(NtfsReader *reader, const uint8_t *record, uint32_t at, uint64_t *nextVcn,
                         ExtentList *list, uint64_t recordNumber) {
    SegmentRuns runs;
    if (!StartSegmentRuns(record, at, &runs) || runs.header.firstVcn != *nextVcn) {
        return Fail(reader, kNtfsDamaged, recordNumber);
    }
    uint64_t vcn = 0, count = 0;
    int64_t lcn = 0;
    int sparse = 0;
    while (NextSegmentRun(record, &runs, &vcn, &count, &lcn, &sparse)) {
        if (!sparse && (lcn < 0 || (uint64_t)lcn >= reader->totalClusters ||
                        count > reader->totalClusters - (uint64_t)lcn)) {
            return Fail(reader, kNtfsDamaged, recordNumber);
        }
        if (!AppendExtent(list, vcn, sparse ? kSparseLcn : (uint64_t)lcn, count)) {
            return Fail(reader, kNtfsNoMemory, recordNumber);
        }
    }
    if (!SegmentRunsSound(record, &runs)) return Fail(reader, kNtfsDamaged, recordNumber);
    *nextVcn = runs.vcn;
    return 1;
}

// The extent that holds `vcn`, by halving (the list is in VCN order).
static const NtfsExtent *FindExtent(const NtfsExtent *extents, uint32_t count, uint64_t vcn) {
    uint32_t low = 0, high = count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        const NtfsExtent *extent = &extents[middle];
        if (vcn < extent->vcn) {
            high = middle;
        } else if (vcn - extent->vcn >= extent->count) {
            low = middle + 1;
        } else {
            return extent;
        }
    }
    return 0;
}

// Reads `size` bytes at byte `offset` of the data the extents map, one
// read per extent crossed. 0 when a byte is not mapped or a read fails.
static int ReadMapped(NtfsReader *reader, const NtfsExtent *extents, uint32_t count, uint64_t offset,
                      uint32_t size, uint8_t *buffer, uint64_t recordNumber) {
    const uint64_t clusterBytes = reader->bytesPerCluster;
    while (size > 0) {
        const NtfsExtent *extent = FindExtent(extents, count, offset / clusterBytes);
        if (extent == 0) return Fail(reader, kNtfsDamaged, recordNumber);
        uint64_t within = offset - extent->vcn * clusterBytes;
        uint64_t available = extent->count * clusterBytes - within;
        uint32_t piece = available < size ? (uint32_t)available : size;
        if (extent->lcn == kSparseLcn) {
            ZeroBytes(buffer, piece);
        } else if (!reader->read(reader->context,
                                 reader->volumeOffset + (int64_t)(extent->lcn * clusterBytes + within), buffer,
                                 piece)) {
            return Fail(reader, kNtfsReadFailed, recordNumber);
        }
        offset += piece;
        buffer += piece;
        size -= piece;
    }
    return 1;
}

static int ReadMftBytes(NtfsReader *reader, uint64_t offset, uint32_t size, uint8_t *buffer) {
    return ReadMapped(reader, reader->mftExtents, reader->mftExtentCount, offset, size, buffer,
                      offset / reader->recordSize);
}

// Checks a record read whole: its update sequence, its layout and, where
// the record carries it, its own number (a misplaced $MFT extent shows
// here).
static int CheckRecordAt(uint8_t *record, uint32_t recordSize, uint64_t number, uint32_t *used) {
    if (!CheckMftRecord(record, recordSize, used)) return 0;
    return LoadLe16(record + kRecordUpdateSequenceOffset) < kRecordNumberedLayout ||
           LoadLe32(record + kRecordNumber) == (uint32_t)number;
}

// The record as read before, or null.
static const uint8_t *CachedRecord(const NtfsReader *reader, uint64_t number) {
    for (uint32_t slot = 0; slot < reader->cachedCount; slot++) {
        if (reader->cachedNumbers[slot] == number) return reader->cachedBytes + slot * reader->recordSize;
    }
    return 0;
}

// The lowest record number at or after `number` that the cache holds, or
// ~0 when none is.
static uint64_t NextCachedRecord(const NtfsReader *reader, uint64_t number) {
    uint64_t next = ~(uint64_t)0;
    for (uint32_t slot = 0; slot < reader->cachedCount; slot++) {
        const uint64_t cached = reader->cachedNumbers[slot];
        if (cached >= number && cached < next) next = cached;
    }
    return next;
}

// Keeps the record's bytes as the disk gave them.
static void KeepRecord(NtfsReader *reader, uint64_t number, const uint8_t *record) {
    uint32_t slot = reader->cachedCount;
    if (slot == kRecordCacheSlots) {
        slot = reader->cacheNext;
        reader->cacheNext = (slot + 1) % kRecordCacheSlots;
    } else {
        reader->cachedCount++;
    }
    reader->cachedNumbers[slot] = number;
    __builtin_memcpy(reader->cachedBytes + slot * reader->recordSize, record, reader->recordSize);
}

int ReadNtfsRecord(NtfsReader *reader, uint64_t number, uint8_t *record, uint32_t *used) {
    if (number >= reader->mftRecords) return Fail(reader, kNtfsNotFound, number);
    const uint8_t *cached = CachedRecord(reader, number);
    if (cached != 0) {
        __builtin_memcpy(record, cached, reader->recordSize);
    } else {
        if (!ReadMftBytes(reader, number * reader->recordSize, reader->recordSize, record)) return 0;
        KeepRecord(reader, number, record);
    }
    if (!CheckRecordAt(record, reader->recordSize, number, used)) return Fail(reader, kNtfsDamaged, number);
    return 1;
}

// Reads `count` records from `first` on into `buffer` as the disk holds
// them: the ones read before from the cache, the rest in as few reads as
// the cached ones leave.
static int ReadMftRecords(NtfsReader *reader, uint64_t first, uint32_t count, uint8_t *buffer) {
    const uint32_t size = reader->recordSize;
    const uint64_t end = first + count;
    for (uint64_t number = first; number < end;) {
        const uint64_t cached = NextCachedRecord(reader, number);
        const uint64_t stop = cached < end ? cached : end;
        if (stop > number &&
            !ReadMftBytes(reader, number * size, (uint32_t)(stop - number) * size, buffer + (number - first) * size)) {
            return 0;
        }
        if (stop == end) break;
        __builtin_memcpy(buffer + (stop - first) * size, CachedRecord(reader, stop), size);
        number = stop + 1;
    }
    return 1;
}

// Takes one segment of the attribute: the first decides whether it is
// resident and gives the sizes; a resident attribute has no other.
static int TakeSegment(NtfsReader *reader, const uint8_t *record, uint32_t at, NtfsAttribute *attribute,
                       ExtentList *list, uint64_t *nextVcn, int first, uint64_t recordNumber) {
    uint32_t valueAt = 0, valueLength = 0;
    if (record[at + kAttributeNonResident] == 0) {
        if (!first || !ResidentValue(record, at, &valueAt, &valueLength)) {
            return Fail(reader, kNtfsDamaged, recordNumber);
        }
        attribute->resident = 1;
        attribute->value = (uint8_t *)BindingAllocate(valueLength + 1);
        if (attribute->value == 0) return Fail(reader, kNtfsNoMemory, recordNumber);
        if (valueLength != 0) __builtin_memcpy(attribute->value, record + valueAt, valueLength);
        attribute->valueLength = valueLength;
        attribute->allocatedSize = attribute->realSize = attribute->initializedSize = valueLength;
        return 1;
    }
    if (attribute->resident) return Fail(reader, kNtfsDamaged, recordNumber);
    if (first) {
        NonResidentAttribute header;
        if (!ReadNonResident(record, at, &header)) return Fail(reader, kNtfsDamaged, recordNumber);
        attribute->allocatedSize = header.allocatedSize;
        attribute->realSize = header.realSize;
        attribute->initializedSize = header.initializedSize;
    }
    return DecodeSegment(reader, record, at, nextVcn, list, recordNumber);
}

// The attribute's value when it is resident, else its mapped bytes.
int ReadNtfsAttribute(NtfsReader *reader, const NtfsAttribute *attribute, uint64_t offset, uint32_t size,
                      uint8_t *buffer) {
    if (offset > attribute->realSize || size > attribute->realSize - offset) {
        return Fail(reader, kNtfsDamaged, reader->problemRecord);
    }
    if (attribute->resident) {
        if (size != 0) __builtin_memcpy(buffer, attribute->value + offset, size);
        return 1;
    }
    // What lies past the initialized size reads as zeros, whatever the disk holds.
    uint64_t initialized = attribute->initializedSize;
    uint32_t stored = offset >= initialized ? 0 : (initialized - offset < size ? (uint32_t)(initialized - offset) : size);
    if (stored < size) ZeroBytes(buffer + stored, size - stored);
    return stored == 0 ||
           ReadMapped(reader, attribute->extents, attribute->extentCount, offset, stored, buffer, reader->problemRecord);
}

void ReleaseNtfsAttribute(NtfsAttribute *attribute) {
    if (attribute->value != 0) BindingFree(attribute->value);
    if (attribute->extents != 0) BindingFree(attribute->extents);
    ZeroBytes(attribute, sizeof *attribute);
}

// An attribute list kept by the reader, or null.
static const uint8_t *CachedList(const NtfsReader *reader, uint64_t number, uint32_t size) {
    uint32_t offset = 0;
    for (uint32_t slot = 0; slot < reader->cachedListCount; slot++) {
        if (reader->cachedListRecords[slot] == number && reader->cachedListSizes[slot] == size) {
            return reader->cachedLists + offset;
        }
        offset += reader->cachedListSizes[slot];
    }
    return 0;
}

static void KeepList(NtfsReader *reader, uint64_t number, const uint8_t *entries, uint32_t size) {
    if (reader->cachedListCount == kListCacheSlots || size > kListCacheBytes - reader->cachedListBytes) return;
    __builtin_memcpy(reader->cachedLists + reader->cachedListBytes, entries, size);
    reader->cachedListRecords[reader->cachedListCount] = number;
    reader->cachedListSizes[reader->cachedListCount++] = size;
    reader->cachedListBytes += size;
}

// The entries of the attribute list at `listAt` of base record `number`,
// as an owned copy of *size bytes: from the record when it is resident,
// else from its clusters, once per reader where the cache has room.
static int LoadAttributeList(NtfsReader *reader, uint64_t number, const uint8_t *base, uint32_t listAt,
                             uint8_t **entries, uint32_t *size) {
    *entries = 0;
    *size = 0;
    // The list itself is never listed: its value is in the base record.
    NtfsAttribute list;
    ZeroBytes(&list, sizeof list);
    ExtentList listExtents = {0, 0, 0};
    uint64_t listVcn = 0;
    int ok = TakeSegment(reader, base, listAt, &list, &listExtents, &listVcn, 1, number);
    list.extents = listExtents.items;
    list.extentCount = listExtents.count;
    const uint32_t length = (uint32_t)list.realSize;
    if (ok && list.realSize > kMaxAttributeList) ok = Fail(reader, kNtfsDamaged, number);
    if (ok) {
        *entries = (uint8_t *)BindingAllocate(length + 1);
        if (*entries == 0) ok = Fail(reader, kNtfsNoMemory, number);
    }
    const uint8_t *kept = ok && !list.resident ? CachedList(reader, number, length) : 0;
    if (kept != 0) {
        __builtin_memcpy(*entries, kept, length);
    } else if (ok) {
        reader->problemRecord = number;
        ok = ReadNtfsAttribute(reader, &list, 0, length, *entries);
        if (ok && !list.resident) KeepList(reader, number, *entries, length);
    }
    ReleaseNtfsAttribute(&list);
    if (!ok && *entries != 0) {
        BindingFree(*entries);
        *entries = 0;
    }
    if (ok) *size = length;
    return ok;
}

// Whether the attribute list entry at `position` of the `size` bytes of
// `entries` fits, its name too; *length gets its length.
static int ListEntryFits(const uint8_t *entries, uint32_t size, uint32_t position, uint32_t *length) {
    const uint8_t *entry = entries + position;
    const uint32_t entryLength = size - position < kListMinEntry ? 0 : LoadLe16(entry + kListLength);
    if (entryLength < kListMinEntry || entryLength > size - position) return 0;
    const uint32_t nameAt = entry[kListNameOffset], nameLength = entry[kListNameLength];
    if (nameAt > entryLength || 2 * nameLength > entryLength - nameAt) return 0;
    *length = entryLength;
    return 1;
}

// One file's attributes wherever they lie: its base record and, through
// its attribute list, its extension records. The base record is read and
// the list loaded once, for every attribute looked up after.
struct AttributeSearch {
    NtfsReader *reader;
    uint64_t number;  // of the base record
    alignas(16) uint8_t base[kMaxMftRecordSize];
    uint32_t used;
    uint8_t *list;    // owned: the attribute list's entries; null without one
    uint32_t listSize;
    alignas(16) uint8_t extension[kMaxMftRecordSize];
};

static int OpenAttributeSearch(NtfsReader *reader, uint64_t number, AttributeSearch *search) {
    search->reader = reader;
    search->number = number;
    search->list = 0;
    search->listSize = 0;
    if (!ReadNtfsRecord(reader, number, search->base, &search->used)) return 0;
    if (!IsBaseRecordInUse(search->base)) return Fail(reader, kNtfsNotFound, number);
    uint32_t listAt = 0;
    if (!FindAttribute(search->base, search->used, kAttributeList, &listAt)) return 1;
    return LoadAttributeList(reader, number, search->base, listAt, &search->list, &search->listSize);
}

static void ReleaseAttributeSearch(AttributeSearch *search) {
    if (search->list != 0) BindingFree(search->list);
    search->list = 0;
}

// The segment that the list entry at `entry` names, in *record at *at
// (the base record or the extension record, which must belong to it).
static int LocateListedSegment(AttributeSearch *search, const uint8_t *entry, uint32_t type, const char *name,
                               const uint8_t **record, uint32_t *at, uint64_t *holder) {
    NtfsReader *reader = search->reader;
    *holder = LoadLe64(entry + kListReference) & kFileReferenceMask;
    *record = search->base;
    uint32_t used = search->used;
    if (*holder != search->number) {
        if (!ReadNtfsRecord(reader, *holder, search->extension, &used)) return 0;
        // An extension record belongs to its base record and is in use.
        if ((LoadLe16(search->extension + kRecordFlags) & kRecordInUse) == 0 ||
            (LoadLe64(search->extension + kRecordBaseReference) & kFileReferenceMask) != search->number) {
            return Fail(reader, kNtfsDamaged, *holder);
        }
        *record = search->extension;
    }
    // The segment is the attribute of that type, name and id.
    const uint32_t id = LoadLe16(entry + kListAttributeId);
    *at = 0;
    int located = FindNamedAttribute(*record, used, type, name, at);
    while (located && LoadLe16(*record + *at + kAttributeId) != id) {
        *at += LoadLe32(*record + *at + kAttributeLength);
        located = FindNamedAttribute(*record, used, type, name, at);
    }
    return located ? 1 : Fail(reader, kNtfsDamaged, *holder);
}

// Loads the attribute of `type` and `name` of the search's file: from the
// base record, or every segment the list names, in list order (which is
// VCN order for one attribute).
static int SearchAttribute(AttributeSearch *search, uint32_t type, const char *name, NtfsAttribute *attribute) {
    NtfsReader *reader = search->reader;
    ZeroBytes(attribute, sizeof *attribute);
    ExtentList extents = {0, 0, 0};
    uint64_t nextVcn = 0;
    int ok = 1, found = 0;
    if (search->list == 0) {
        uint32_t at = 0;
        found = FindNamedAttribute(search->base, search->used, type, name, &at);
        ok = !found || TakeSegment(reader, search->base, at, attribute, &extents, &nextVcn, 1, search->number);
    }
    uint32_t length = 0;
    for (uint32_t position = 0; ok && search->list != 0 && position < search->listSize; position += length) {
        if (!ListEntryFits(search->list, search->listSize, position, &length)) {
            ok = Fail(reader, kNtfsDamaged, search->number);
            break;
        }
        const uint8_t *entry = search->list + position;
        if (LoadLe32(entry + kListType) != type ||
            !NameUnitsAre(entry + entry[kListNameOffset], entry[kListNameLength], name)) {
            continue;
        }
        const uint8_t *record = 0;
        uint32_t at = 0;
        uint64_t holder = 0;
        ok = LocateListedSegment(search, entry, type, name, &record, &at, &holder);
        if (ok && record[at + kAttributeNonResident] != 0 && LoadLe64(entry + kListFirstVcn) != nextVcn) {
            ok = Fail(reader, kNtfsDamaged, holder);
        }
        ok = ok && TakeSegment(reader, record, at, attribute, &extents, &nextVcn, !found, holder);
        found = 1;
    }
    if (ok && !found) ok = Fail(reader, kNtfsNotFound, search->number);
    attribute->extents = extents.items;
    attribute->extentCount = extents.count;
    if (ok) reader->problemRecord = search->number;
    return ok;
}

int LoadNtfsAttribute(NtfsReader *reader, uint64_t baseRecord, uint32_t type, const char *name,
                      NtfsAttribute *attribute) {
    AttributeSearch search;
    int ok = OpenAttributeSearch(reader, baseRecord, &search);
    if (ok) {
        ok = SearchAttribute(&search, type, name, attribute);
    } else {
        ZeroBytes(attribute, sizeof *attribute);
    }
    ReleaseAttributeSearch(&search);
    return ok;
}

int OpenNtfsReader(NtfsReader *reader, NtfsReadFunction read, void *context, int64_t volumeOffset,
                   uint32_t bytesPerCluster, uint64_t totalClusters, uint32_t recordSize, uint64_t mftCluster) {
    ZeroBytes(reader, sizeof *reader);
    reader->read = read;
    reader->context = context;
    reader->volumeOffset = volumeOffset;
    reader->bytesPerCluster = bytesPerCluster;
    reader->totalClusters = totalClusters;
    reader->recordSize = recordSize;
    reader->mftCluster = mftCluster;
    if (bytesPerCluster == 0 || recordSize < kMinMftRecordSize || recordSize > kMaxMftRecordSize ||
        mftCluster >= totalClusters) {
        return Fail(reader, kNtfsDamaged, 0);
    }
    reader->cachedBytes = (uint8_t *)BindingAllocate(kRecordCacheSlots * recordSize + kListCacheBytes);
    if (reader->cachedBytes == 0) return Fail(reader, kNtfsNoMemory, 0);
    reader->cachedLists = reader->cachedBytes + kRecordCacheSlots * recordSize;
    // Record 0 maps the start of $MFT itself; that map must start where the
    // boot sector puts $MFT, and serves to read the extension records that
    // hold the rest of the map.
    alignas(16) uint8_t record[kMaxMftRecordSize];
    uint32_t used = 0, at = 0;
    if (!read(context, volumeOffset + (int64_t)(mftCluster * bytesPerCluster), record, recordSize)) {
        return Fail(reader, kNtfsReadFailed, 0);
    }
    KeepRecord(reader, 0, record);
    if (!CheckRecordAt(record, recordSize, 0, &used) || !IsBaseRecordInUse(record)) {
        return Fail(reader, kNtfsDamaged, 0);
    }
    int located = FindNamedAttribute(record, used, kAttributeData, "", &at);
    while (located && (record[at + kAttributeNonResident] != 1 || LoadLe64(record + at + kAttributeFirstVcn) != 0)) {
        at += LoadLe32(record + at + kAttributeLength);
        located = FindNamedAttribute(record, used, kAttributeData, "", &at);
    }
    ExtentList first = {0, 0, 0};
    uint64_t nextVcn = 0;
    if (!located || !DecodeSegment(reader, record, at, &nextVcn, &first, 0) || first.count == 0 ||
        first.items[0].lcn != mftCluster) {
        if (first.items != 0) BindingFree(first.items);
        return reader->problem != kNtfsSound ? 0 : Fail(reader, kNtfsDamaged, 0);
    }
    reader->mftExtents = first.items;
    reader->mftExtentCount = first.count;
    reader->mftRecords = nextVcn * bytesPerCluster / recordSize;
    uint32_t listAt = 0;
    if (!FindAttribute(record, used, kAttributeList, &listAt)) {
        // Record 0 maps all of $MFT; what lies past its initialized size
        // holds no record.
        uint64_t mapped = nextVcn * bytesPerCluster;
        uint64_t initialized = LoadLe64(record + at + kAttributeInitializedSize);
        reader->mftRecords = (initialized < mapped ? initialized : mapped) / recordSize;
        return 1;
    }

    NtfsAttribute data;
    if (!LoadNtfsAttribute(reader, 0, kAttributeData, "", &data) || data.resident || data.extentCount == 0 ||
        data.extents[0].lcn != mftCluster) {
        ReleaseNtfsAttribute(&data);
        return reader->problem != kNtfsSound ? 0 : Fail(reader, kNtfsDamaged, 0);
    }
    BindingFree(reader->mftExtents);
    const NtfsExtent *last = &data.extents[data.extentCount - 1];
    uint64_t mapped = (last->vcn + last->count) * bytesPerCluster;
    uint64_t stored = data.initializedSize < mapped ? data.initializedSize : mapped;
    reader->mftExtents = data.extents;
    reader->mftExtentCount = data.extentCount;
    reader->mftRecords = stored / recordSize;
    data.extents = 0;
    ReleaseNtfsAttribute(&data);
    return 1;
}

void ReleaseNtfsReader(NtfsReader *reader) {
    if (reader->mftExtents != 0) BindingFree(reader->mftExtents);
    if (reader->cachedBytes != 0) BindingFree(reader->cachedBytes);
    reader->mftExtents = 0;
    reader->mftExtentCount = 0;
    reader->cachedBytes = 0;
    reader->cachedLists = 0;
    reader->cachedCount = 0;
    reader->cachedListCount = 0;
}

// Index entries in [position, end) of `bytes`. 1 when they are sound up to
// the last entry or the visitor stopped (*stopped).
static int VisitIndexEntries(const uint8_t *bytes, uint32_t position, uint32_t end, NtfsIndexVisitor visit,
                             void *context, int *stopped) {
    for (;;) {
        if (position > end || end - position < kEntryKey) return 0;
        const uint8_t *entry = bytes + position;
        uint32_t length = LoadLe16(entry + kEntryLength);
        uint32_t keyLength = LoadLe16(entry + kEntryKeyLength);
        if (length < kEntryKey || length > end - position) return 0;
        if ((LoadLe16(entry + kEntryFlags) & kEntryIsLast) != 0) return 1;
        if (keyLength > length - kEntryKey) return 0;
        if (!visit(context, entry + kEntryKey, keyLength, LoadLe64(entry))) {
            *stopped = 1;
            return 1;
        }
        position += length;
    }
}

int WalkNtfsIndex(NtfsReader *reader, uint64_t record, const char *name, NtfsIndexVisitor visit, void *context) {
    NtfsAttribute root, allocation, bitmap;
    ZeroBytes(&root, sizeof root);
    ZeroBytes(&allocation, sizeof allocation);
    ZeroBytes(&bitmap, sizeof bitmap);
    // One search for the index's three attributes: the record and its
    // attribute list are read once.
    AttributeSearch search;
    if (!OpenAttributeSearch(reader, record, &search) || !SearchAttribute(&search, kAttributeIndexRoot, name, &root)) {
        ReleaseNtfsAttribute(&root);
        ReleaseAttributeSearch(&search);
        return 0;
    }
    int stopped = 0;
    int ok = root.resident && root.valueLength >= kIndexRootHeader + 16;
    uint32_t blockSize = ok ? LoadLe32(root.value + kIndexRootBlockSize) : 0;
    int hasBlocks = 0;
    if (ok) {
        const uint8_t *header = root.value + kIndexRootHeader;
        uint32_t indexLength = LoadLe32(header + kIndexLength);
        ok = indexLength <= root.valueLength - kIndexRootHeader &&
             VisitIndexEntries(header, LoadLe32(header + kIndexEntriesOffset), indexLength, visit, context, &stopped);
        hasBlocks = ok && (header[kIndexFlags] & kIndexHasBlocks) != 0;
    }
    if (!ok) Fail(reader, kNtfsDamaged, record);
    ReleaseNtfsAttribute(&root);
    if (ok && !stopped && hasBlocks && (blockSize < 512 || blockSize > 65536 || (blockSize & (blockSize - 1)) != 0)) {
        ok = Fail(reader, kNtfsDamaged, record);
    }
    if (!ok || stopped || !hasBlocks) {
        ReleaseAttributeSearch(&search);
        return ok;
    }
    uint8_t *inUse = 0, *block = 0;
    ok = SearchAttribute(&search, kAttributeIndexAllocation, name, &allocation) &&
         SearchAttribute(&search, kAttributeBitmap, name, &bitmap);
    ReleaseAttributeSearch(&search);
    uint64_t blocks = allocation.realSize / blockSize;
    uint32_t bitmapBytes = (uint32_t)((blocks + 7) / 8);
    if (ok && (blocks > kMaxIndexBlocks || bitmap.realSize < bitmapBytes)) ok = Fail(reader, kNtfsDamaged, record);
    if (ok) {
        inUse = (uint8_t *)BindingAllocate(bitmapBytes + 1);
        block = (uint8_t *)BindingAllocate(blockSize);
        if (inUse == 0 || block == 0) ok = Fail(reader, kNtfsNoMemory, record);
    }
    ok = ok && ReadNtfsAttribute(reader, &bitmap, 0, bitmapBytes, inUse);
    for (uint32_t i = 0; ok && !stopped && i < blocks; i++) {
        if ((inUse[i / 8] >> (i % 8) & 1) == 0) continue;
        ok = ReadNtfsAttribute(reader, &allocation, (uint64_t)i * blockSize, blockSize, block);
        if (!ok) break;
        uint32_t entriesAt = LoadLe32(block + kIndexBlockHeader + kIndexEntriesOffset);
        uint32_t length = LoadLe32(block + kIndexBlockHeader + kIndexLength);
        ok = LoadLe32(block) == kIndexSignature && ApplyUpdateSequence(block, blockSize) &&
             length <= blockSize - kIndexBlockHeader &&
             VisitIndexEntries(block + kIndexBlockHeader, entriesAt, length, visit, context, &stopped);
        if (!ok) Fail(reader, kNtfsDamaged, record);
    }
    if (inUse != 0) BindingFree(inUse);
    if (block != 0) BindingFree(block);
    ReleaseNtfsAttribute(&allocation);
    ReleaseNtfsAttribute(&bitmap);
    return ok;
}

// The bitmap check.

struct ClaimCheck {
    const uint8_t *bitmap;
    uint8_t *claimed;  // one bit per cluster, set once an attribute claims it
    uint64_t clusters;
    // Per record, 1 + the base record: the one whose attribute list names
    // it, and the one it says it belongs to (0: none).
    uint32_t *listedBy;
    uint32_t *belongsTo;
    uint64_t records;
    ClaimFinding *finding;
    NtfsReader *reader;  // for attribute lists in clusters of their own
    uint32_t stopped;    // the kind that ends the check: unreadable, no memory
};

// Counts a difference and names it among the first few, joining it to the
// last one named when it continues that run.
static void Differ(ClaimCheck *check, uint32_t kind, uint64_t cluster, uint64_t record) {
    ClaimFinding *finding = check->finding;
    if (finding->differences++ == 0) {
        finding->kind = kind;
        finding->cluster = cluster;
        finding->record = record;
    }
    if (finding->named != 0) {
        ClaimDifference *last = &finding->first[finding->named - 1];
        if (last->kind == kind && last->record == record && (kind == kClaimFree || kind == kClaimTwice) &&
            last->cluster + last->count == cluster) {
            last->count++;
            return;
        }
    }
    if (finding->named < kClaimsNamed) finding->first[finding->named++] = {kind, cluster, 1, record};
}

// Ends the check: a read that failed or no memory is no difference.
static int Stop(ClaimCheck *check, uint32_t kind, uint64_t record) {
    check->finding->kind = kind;
    check->finding->cluster = 0;
    check->finding->record = record;
    return 0;
}

// One cluster: marked used, claimed for the first time. A free one is
// claimed all the same, so that a second claim counts too.
static void ClaimCluster(ClaimCheck *check, uint64_t cluster, uint64_t record) {
    uint8_t bit = (uint8_t)(1u << (cluster % 8));
    if ((check->bitmap[cluster / 8] & bit) == 0) Differ(check, kClaimFree, cluster, record);
    if ((check->claimed[cluster / 8] & bit) != 0) Differ(check, kClaimTwice, cluster, record);
    check->claimed[cluster / 8] |= bit;
}

// A run, whole bytes at a time where it can (large files are long runs);
// the part inside the volume is claimed, a part past its end counted once.
static void ClaimRun(ClaimCheck *check, uint64_t first, uint64_t count, uint64_t record) {
    if (first >= check->clusters) {
        Differ(check, kClaimPastEnd, first, record);
        return;
    }
    uint64_t cluster = first, end = first + count;
    if (count > check->clusters - first) {
        Differ(check, kClaimPastEnd, check->clusters, record);
        end = check->clusters;
    }
    for (; cluster < end && cluster % 8 != 0; cluster++) ClaimCluster(check, cluster, record);
    for (; end - cluster >= 8; cluster += 8) {
        uint64_t at = cluster / 8;
        if (check->bitmap[at] != 0xFF || check->claimed[at] != 0) break;
        check->claimed[at] = 0xFF;
    }
    for (; cluster < end; cluster++) ClaimCluster(check, cluster, record);
}

// The extension records a resident attribute list names, for the check
// at the end that each belongs to this base record.
static int NoteListedExtensions(ClaimCheck *check, const uint8_t *entries, uint32_t size, uint64_t number) {
    uint32_t length = 0;
    for (uint32_t position = 0; position < size; position += length) {
        if (!ListEntryFits(entries, size, position, &length)) return 0;
        uint64_t holder = LoadLe64(entries + position + kListReference) & kFileReferenceMask;
        if (holder != number && holder < check->records) {
            uint32_t &listed = check->listedBy[holder];
            // Two base records naming one extension: one of them is wrong.
            if (listed != 0 && listed != (uint32_t)number + 1) Differ(check, kClaimForeignExtension, number, holder);
            listed = (uint32_t)number + 1;
        }
    }
    return 1;
}

// The extensions the base record's attribute list at `at` names, wherever
// the list lies. 0 when it is damaged or could not be read (then
// check->stopped says so).
static int NoteAttributeList(ClaimCheck *check, const uint8_t *record, uint32_t at, uint64_t number) {
    uint32_t valueAt = 0, size = 0;
    if (record[at + kAttributeNonResident] == 0) {
        return ResidentValue(record, at, &valueAt, &size) && NoteListedExtensions(check, record + valueAt, size, number);
    }
    uint8_t *entries = 0;
    if (!LoadAttributeList(check->reader, number, record, at, &entries, &size)) {
        const uint32_t problem = check->reader->problem;
        if (problem == kNtfsReadFailed || problem == kNtfsNoMemory) {
            check->stopped = problem == kNtfsNoMemory ? kClaimNoMemory : kClaimUnreadable;
        }
        return 0;
    }
    const int sound = NoteListedExtensions(check, entries, size, number);
    BindingFree(entries);
    return sound;
}

// Every cluster the record's non-resident attributes store data in. The
// record is in use and checked; its walk ends at the end marker. 0 when the
// record turned out damaged (counted) or its list could not be read.
static int ClaimRecord(ClaimCheck *check, const uint8_t *record, uint32_t used, uint64_t number) {
    uint32_t position = LoadLe16(record + kRecordFirstAttribute);
    const int isBase = LoadLe64(record + kRecordBaseReference) == 0;
    for (;;) {
        if (position > used || used - position < 4) break;
        uint32_t type = LoadLe32(record + position + kAttributeType);
        if (type == kEndMarker) return 1;
        uint32_t length = used - position < 16 ? 0 : LoadLe32(record + position + kAttributeLength);
        if (length < 16 || length > used - position) break;
        if (record[position + kAttributeNonResident] != 0) {
            SegmentRuns runs;
            if (!StartSegmentRuns(record, position, &runs)) break;
            uint64_t vcn = 0, count = 0;
            int64_t lcn = 0;
            int sparse = 0;
            while (NextSegmentRun(record, &runs, &vcn, &count, &lcn, &sparse)) {
                if (sparse) continue;
                if (lcn < 0) {
                    Differ(check, kClaimPastEnd, check->clusters, number);  // before the volume's start
                } else {
                    ClaimRun(check, (uint64_t)lcn, count, number);
                }
            }
            if (!SegmentRunsSound(record, &runs)) break;
        }
        if (type == kAttributeList && isBase && !NoteAttributeList(check, record, position, number)) {
            if (check->stopped != 0) return 0;
            break;
        }
        position += length;
    }
    Differ(check, kClaimRecordDamaged, 0, number);
    return 0;
}

int CheckClusterClaims(NtfsReader *reader, const uint8_t *bitmap, uint64_t clusters, ClaimFinding *finding) {
    ZeroBytes(finding, sizeof *finding);
    ClaimCheck check = {bitmap, 0, clusters, 0, 0, reader->mftRecords, finding, reader, 0};
    const uint32_t recordSize = reader->recordSize;
    uint8_t *piece = 0;
    const uint64_t perRecord = 2 * sizeof(uint32_t);
    if (clusters / 8 + 1 <= 0xFFFFFFFFu) check.claimed = (uint8_t *)BindingAllocate((uint32_t)(clusters / 8 + 1));
    if (check.records < 0xFFFFFFFFu / perRecord) {
        check.listedBy = (uint32_t *)BindingAllocate((uint32_t)(check.records * perRecord) + 8);
        check.belongsTo = check.listedBy != 0 ? check.listedBy + check.records + 1 : 0;
    }
    if (check.claimed != 0 && check.listedBy != 0) piece = (uint8_t *)BindingAllocate(kClaimPiece);
    if (check.claimed == 0 || check.listedBy == 0 || piece == 0) {
        if (check.claimed != 0) BindingFree(check.claimed);
        if (check.listedBy != 0) BindingFree(check.listedBy);
        return Stop(&check, kClaimNoMemory, 0);
    }
    ZeroBytes(check.claimed, (uint32_t)(clusters / 8 + 1));
    ZeroBytes(check.listedBy, (uint32_t)(check.records * perRecord) + 8);
    int going = 1;
    const uint64_t total = reader->mftRecords * recordSize;
    for (uint64_t offset = 0; going && offset < total; offset += kClaimPiece) {
        uint32_t size = total - offset < kClaimPiece ? (uint32_t)(total - offset) : (uint32_t)kClaimPiece;
        if (!ReadMftRecords(reader, offset / recordSize, size / recordSize, piece)) {
            // $MFT's own map failing is damage; the rest ends the check.
            if (reader->problem == kNtfsDamaged) {
                Differ(&check, kClaimRecordDamaged, 0, reader->problemRecord);
            } else {
                Stop(&check, reader->problem == kNtfsNoMemory ? kClaimNoMemory : kClaimUnreadable,
                     reader->problemRecord);
            }
            going = 0;
            break;
        }
        for (uint32_t at = 0; at < size; at += recordSize) {
            uint8_t *record = piece + at;
            uint64_t number = (offset + at) / recordSize;
            uint32_t signature = LoadLe32(record);
            // Never-used records are zeros; anything else that is not a
            // record may have been one, in use: damage, never passed over.
            if (signature != kRecordSignature) {
                if (signature != 0) Differ(&check, kClaimRecordDamaged, 0, number);
                continue;
            }
            if ((LoadLe16(record + kRecordFlags) & kRecordInUse) == 0) continue;
            uint32_t used = 0;
            if (!CheckRecordAt(record, recordSize, number, &used)) {
                Differ(&check, kClaimRecordDamaged, 0, number);
                continue;
            }
            // An extension record of record 0 refers to it with a sequence
            // number: only a base record has no reference at all.
            const uint64_t base = LoadLe64(record + kRecordBaseReference);
            if (base != 0) check.belongsTo[number] = (uint32_t)(base & kFileReferenceMask) + 1;
            if (!ClaimRecord(&check, record, used, number) && check.stopped != 0) {
                Stop(&check, check.stopped, number);
                going = 0;
                break;
            }
        }
    }
    // Each listed extension record must say it belongs to the base that
    // lists it, else that base's attributes are read from another file.
    for (uint64_t number = 0; going && number < check.records; number++) {
        if (check.listedBy[number] != 0 && check.belongsTo[number] != check.listedBy[number]) {
            Differ(&check, kClaimForeignExtension, check.listedBy[number] - 1, number);
        }
    }
    BindingFree(piece);
    BindingFree(check.claimed);
    BindingFree(check.listedBy);
    return finding->differences == 0 && finding->kind == kClaimsSound;
}
