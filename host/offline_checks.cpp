#include "offline_checks.h"

#include <stdlib.h>
#include <string.h>

#include "../engine/bytes.h"
#include "../engine/mft_record.h"
#include "../engine/ntfs_layout.h"
#include "trim_engine.h"

namespace {

// The log and the index layouts only these checks read; the rest of NTFS
// is in ntfs_layout.h.
enum {
    kVolumeIsDirty = 0x0001,  // $VOLUME_INFORMATION flags

    // Restart pages at the start of $LogFile.
    kLogScanBytes = 128 * 1024,   // two restart pages of the largest size
    kLogMinBytes = 8192,
    kRestartSystemPageSize = 0x10,  // 32-bit
    kRestartLogPageSize = 0x14,     // 32-bit
    kRestartAreaOffset = 0x18,      // 16-bit
    kRestartMinorVersion = 0x1A,    // 16-bit
    kRestartMajorVersion = 0x1C,    // 16-bit
    kRestartAreaFields = 0x10,      // current LSN, clients, free list, in-use list, flags
    kAreaCurrentLsn = 0x00,         // 64-bit
    kAreaLogClients = 0x08,         // 16-bit
    kAreaClientInUseList = 0x0C,    // 16-bit
    kAreaFlags = 0x0E,              // 16-bit
    kAreaVolumeIsClean = 0x0002,
    kLogNoClient = 0xFFFF,

    // Directory indexes.
    kIndexRootHeader = 0x10,      // index header within the $INDEX_ROOT value
    kIndexBlockHeader = 0x18,     // index header within an INDX block
    kIndexEntriesOffset = 0x00,   // 32-bit, from the index header
    kIndexLength = 0x04,          // 32-bit, from the index header
    kIndexFlags = 0x0C,           // 8-bit: 1 when index blocks exist
    kIndexHasBlocks = 0x01,
    kEntryLength = 0x08,          // 16-bit
    kEntryKeyLength = 0x0A,       // 16-bit
    kEntryFlags = 0x0C,           // 16-bit
    kEntryIsLast = 0x0002,
    kEntryKey = 0x10,
    kMaxIndexBlocks = 1 << 20,

    // The start of hiberfil.sys.
    kHibernationHeader = 4096,
    kMaxAttributeList = 256 * 1024,
};

const uint32_t kRestartSignature = 0x52545352;  // "RSTR"
const uint32_t kChkdskSignature = 0x444B4843;   // "CHKD": a restart page chkdsk left
const uint32_t kLogRecordSignature = 0x44524352;  // "RCRD"
const uint32_t kIndexSignature = 0x58444E49;    // "INDX"
const uint32_t kEmptyLogPage = 0xFFFFFFFF;

struct VolumeReader {
    DiskReadFunction read;
    void *context;
    int64_t volumeOffset;
    uint64_t bytesPerCluster;
    uint64_t totalClusters;
    uint32_t recordSize;
    uint8_t mft[kMaxMftRecordSize];  // $MFT's own record, which maps the others
    uint32_t mftData;                // its $DATA attribute
};

// Reads `size` bytes at byte `offset` of the non-resident attribute at
// `at`, sparse runs as zeros. Only the runs this record holds are known.
int ReadNonResidentBytes(const VolumeReader *reader, const uint8_t *record, uint32_t at, uint64_t offset,
                         uint32_t size, uint8_t *buffer) {
    NonResidentAttribute attribute;
    if (!ReadNonResident(record, at, &attribute) || attribute.firstVcn != 0) return 0;
    uint32_t position = attribute.pairsAt;
    uint64_t vcn = 0;
    int64_t lcn = 0;
    uint32_t done = 0;
    const uint64_t clusterBytes = reader->bytesPerCluster;
    while (done < size) {
        uint64_t count = 0;
        int sparse = 0;
        if (!NextDataRun(record, &position, attribute.pairsEnd, &count, &lcn, &sparse)) return 0;
        if (count > reader->totalClusters) return 0;
        if (!sparse && (lcn < 0 || (uint64_t)lcn + count > reader->totalClusters)) return 0;
        // vcn stays below 2^43 (at most 2048 runs of fewer than 2^32 clusters).
        uint64_t runStart = vcn * clusterBytes;
        uint64_t runEnd = (vcn + count) * clusterBytes;
        vcn += count;
        uint64_t want = offset + done;
        if (want >= runEnd) continue;
        uint32_t piece = (uint32_t)(runEnd - want < size - done ? runEnd - want : size - done);
        if (sparse) {
            memset(buffer + done, 0, piece);
        } else if (!reader->read(reader->context,
                                 reader->volumeOffset + (int64_t)((uint64_t)lcn * clusterBytes + want - runStart),
                                 buffer + done, piece)) {
            return 0;
        }
        done += piece;
    }
    return 1;
}

// The value size of the attribute at `at`, resident or not.
int AttributeSize(const uint8_t *record, uint32_t at, uint64_t *size) {
    uint32_t valueAt = 0, valueLength = 0;
    NonResidentAttribute attribute;
    if (ResidentValue(record, at, &valueAt, &valueLength)) {
        *size = valueLength;
        return 1;
    }
    if (!ReadNonResident(record, at, &attribute)) return 0;
    *size = attribute.realSize;
    return 1;
}

int ReadAttributeBytes(const VolumeReader *reader, const uint8_t *record, uint32_t at, uint64_t offset,
                       uint32_t size, uint8_t *buffer) {
    uint32_t valueAt = 0, valueLength = 0;
    if (ResidentValue(record, at, &valueAt, &valueLength)) {
        if (offset > valueLength || size > valueLength - offset) return 0;
        memcpy(buffer, record + valueAt + offset, size);
        return 1;
    }
    return ReadNonResidentBytes(reader, record, at, offset, size, buffer);
}

// Reads MFT record `number` and checks it; 1 when it is in use.
int ReadRecord(const VolumeReader *reader, uint64_t number, uint8_t *record, uint32_t *used) {
    if (number > reader->totalClusters * reader->bytesPerCluster / reader->recordSize) return 0;
    return ReadNonResidentBytes(reader, reader->mft, reader->mftData, number * reader->recordSize, reader->recordSize,
                                record) &&
           CheckMftRecord(record, reader->recordSize, used) && (LoadLe16(record + kRecordFlags) & kRecordInUse) != 0;
}

int ReadRestartPage(const uint8_t *page, uint32_t available, uint32_t position, uint64_t *lsn, int *state) {
    uint32_t systemPageSize = LoadLe32(page + kRestartSystemPageSize);
    uint32_t logPageSize = LoadLe32(page + kRestartLogPageSize);
    if (systemPageSize < 512 || systemPageSize > 65536 || (systemPageSize & (systemPageSize - 1)) != 0 ||
        logPageSize < 512 || logPageSize > 65536 || (logPageSize & (logPageSize - 1)) != 0) {
        return 0;
    }
    // The second copy follows the first at one system page.
    if ((position != 0 && position != systemPageSize) || systemPageSize > available) return 0;
    uint8_t *copy = (uint8_t *)malloc(systemPageSize);
    if (copy == 0) return 0;
    memcpy(copy, page, systemPageSize);
    int valid = ApplyUpdateSequence(copy, systemPageSize);
    int16_t major = (int16_t)LoadLe16(copy + kRestartMajorVersion);
    int16_t minor = (int16_t)LoadLe16(copy + kRestartMinorVersion);
    uint32_t areaAt = LoadLe16(copy + kRestartAreaOffset);
    uint32_t sequenceEnd = LoadLe16(copy + kRecordUpdateSequenceOffset) + 2u * LoadLe16(copy + kRecordUpdateSequenceCount);
    valid = valid && ((major == 1 && minor == 1) || (major == 2 && minor == 0)) && areaAt % 8 == 0 &&
            areaAt >= sequenceEnd && areaAt + kRestartAreaFields <= systemPageSize;
    if (valid) {
        const uint8_t *area = copy + areaAt;
        uint32_t inUse = LoadLe16(area + kAreaClientInUseList);
        valid = inUse == kLogNoClient || inUse < LoadLe16(area + kAreaLogClients);
        *lsn = LoadLe64(area + kAreaCurrentLsn);
        // Version 2.0 means Windows may hold the metadata in its cache for
        // fast start-up, however clean the area looks.
        if (major == 2) {
            *state = kVolumeLogCached;
        } else if (inUse != kLogNoClient && (LoadLe16(area + kAreaFlags) & kAreaVolumeIsClean) == 0) {
            *state = kVolumeLogNotClean;
        } else {
            *state = kVolumeClean;
        }
    }
    free(copy);
    return valid;
}

// The newer of the two restart pages at the start of $LogFile decides. A
// log of nothing but empty pages (as mkntfs and a reset leave it) is clean.
int CheckLogFile(const VolumeReader *reader) {
    uint8_t record[kMaxMftRecordSize];
    uint32_t used = 0, at = 0;
    uint64_t logSize = 0;
    if (!ReadRecord(reader, kMftRecordLogFile, record, &used) ||
        !FindNamedAttribute(record, used, kAttributeData, "", &at) || !AttributeSize(record, at, &logSize) ||
        logSize < kLogMinBytes) {
        return kVolumeLogUnreadable;
    }
    uint32_t scanned = logSize < kLogScanBytes ? (uint32_t)logSize : (uint32_t)kLogScanBytes;
    uint8_t *log = (uint8_t *)malloc(scanned);
    if (log == 0 || !ReadAttributeBytes(reader, record, at, 0, scanned, log)) {
        free(log);
        return kVolumeLogUnreadable;
    }
    int empty = 1, pages = 0, result = kVolumeLogUnreadable;
    uint64_t newest = 0;
    for (uint32_t position = 0; position + kNtfsBootSectorSize <= scanned;
         position = position == 0 ? (uint32_t)kNtfsBootSectorSize : position * 2) {
        uint32_t magic = LoadLe32(log + position);
        if (magic == kEmptyLogPage) continue;
        empty = 0;
        if (magic == kLogRecordSignature || magic == kChkdskSignature) break;
        uint64_t lsn = 0;
        int state = 0;
        if (magic != kRestartSignature || !ReadRestartPage(log + position, scanned - position, position, &lsn, &state)) {
            continue;
        }
        if (pages == 0 || lsn > newest) {
            newest = lsn;
            result = state;
        }
        if (++pages == 2) break;
    }
    free(log);
    if (pages == 0) return empty ? kVolumeClean : kVolumeLogUnreadable;
    return result;
}

int CheckVolumeFlags(const VolumeReader *reader) {
    uint8_t record[kMaxMftRecordSize];
    uint32_t used = 0, at = 0, valueAt = 0, valueLength = 0;
    if (!ReadRecord(reader, kMftRecordVolume, record, &used) ||
        !FindNamedAttribute(record, used, kAttributeVolumeInformation, "", &at) ||
        !ResidentValue(record, at, &valueAt, &valueLength) || valueLength < 12) {
        return kVolumeFlagsUnreadable;
    }
    return (LoadLe16(record + valueAt + 10) & kVolumeIsDirty) != 0 ? kVolumeDirty : kVolumeClean;
}

int IsHiberfilName(const uint8_t *name, uint32_t length) {
    static const char kName[] = "hiberfil.sys";
    if (length != sizeof kName - 1) return 0;
    for (uint32_t i = 0; i < length; i++) {
        uint16_t unit = LoadLe16(name + 2 * i);
        if (unit >= 'A' && unit <= 'Z') unit = (uint16_t)(unit - 'A' + 'a');
        if (unit != (uint8_t)kName[i]) return 0;
    }
    return 1;
}

// Walks the index entries in [position, end) of `bytes` for hiberfil.sys.
// 1 when the entries are sound (*reference set when it was found).
int ScanIndexEntries(const uint8_t *bytes, uint32_t position, uint32_t end, uint64_t *reference) {
    for (;;) {
        if (position > end || end - position < kEntryKey) return 0;
        const uint8_t *entry = bytes + position;
        uint32_t length = LoadLe16(entry + kEntryLength);
        uint32_t keyLength = LoadLe16(entry + kEntryKeyLength);
        if (length < kEntryKey || length > end - position) return 0;
        if ((LoadLe16(entry + kEntryFlags) & kEntryIsLast) != 0) return 1;
        if (keyLength < kFileNameText || keyLength > length - kEntryKey) return 0;
        const uint8_t *key = entry + kEntryKey;
        uint32_t nameLength = key[kFileNameLength];
        if (kFileNameText + 2 * nameLength > keyLength) return 0;
        if (IsHiberfilName(key + kFileNameText, nameLength)) {
            *reference = LoadLe64(entry);
            return 1;
        }
        position += length;
    }
}

// hiberfil.sys in the root folder, from the index root and every index
// block in use, in any order: no name collation is needed.
int FindHiberfil(const VolumeReader *reader, uint64_t *reference) {
    uint8_t record[kMaxMftRecordSize];
    uint32_t used = 0, at = 0, valueAt = 0, valueLength = 0;
    if (!ReadRecord(reader, kMftRecordRoot, record, &used) || !IsBaseRecordInUse(record) ||
        !FindNamedAttribute(record, used, kAttributeIndexRoot, "$I30", &at) ||
        !ResidentValue(record, at, &valueAt, &valueLength) || valueLength < kIndexRootHeader + 16) {
        return 0;
    }
    const uint8_t *root = record + valueAt;
    uint32_t blockSize = LoadLe32(root + 8);
    const uint8_t *header = root + kIndexRootHeader;
    uint32_t entriesAt = LoadLe32(header + kIndexEntriesOffset);
    uint32_t indexLength = LoadLe32(header + kIndexLength);
    if (indexLength > valueLength - kIndexRootHeader ||
        !ScanIndexEntries(header, entriesAt, indexLength, reference)) {
        return 0;
    }
    if (*reference != 0 || (header[kIndexFlags] & kIndexHasBlocks) == 0) return 1;

    uint32_t allocationAt = 0, bitmapAt = 0;
    uint64_t allocationSize = 0, bitmapSize = 0;
    if (blockSize < 512 || blockSize > 65536 || (blockSize & (blockSize - 1)) != 0 ||
        !FindNamedAttribute(record, used, kAttributeIndexAllocation, "$I30", &allocationAt) ||
        !FindNamedAttribute(record, used, kAttributeBitmap, "$I30", &bitmapAt) ||
        !AttributeSize(record, allocationAt, &allocationSize) || !AttributeSize(record, bitmapAt, &bitmapSize)) {
        return 0;
    }
    uint64_t blocks = allocationSize / blockSize;
    if (blocks > kMaxIndexBlocks || bitmapSize < (blocks + 7) / 8) return 0;
    uint32_t bitmapBytes = (uint32_t)((blocks + 7) / 8);
    uint8_t *bitmap = (uint8_t *)malloc(bitmapBytes + 1);
    uint8_t *block = (uint8_t *)malloc(blockSize);
    int sound = bitmap != 0 && block != 0 && ReadAttributeBytes(reader, record, bitmapAt, 0, bitmapBytes, bitmap);
    for (uint32_t i = 0; sound && *reference == 0 && i < blocks; i++) {
        if ((bitmap[i / 8] >> (i % 8) & 1) == 0) continue;
        sound = ReadNonResidentBytes(reader, record, allocationAt, (uint64_t)i * blockSize, blockSize, block) &&
                LoadLe32(block) == kIndexSignature && ApplyUpdateSequence(block, blockSize);
        if (!sound) break;
        uint32_t blockEntries = LoadLe32(block + kIndexBlockHeader + kIndexEntriesOffset);
        uint32_t blockLength = LoadLe32(block + kIndexBlockHeader + kIndexLength);
        sound = blockLength <= blockSize - kIndexBlockHeader &&
                ScanIndexEntries(block + kIndexBlockHeader, blockEntries, blockLength, reference);
    }
    free(bitmap);
    free(block);
    return sound;
}

// The unnamed $DATA of the file whose base record is in `record`, which
// it may replace with the extension record that holds the attribute's
// start when an attribute list sends it elsewhere.
int FindFileData(const VolumeReader *reader, uint8_t *record, uint32_t *used, uint32_t *at) {
    if (FindNamedAttribute(record, *used, kAttributeData, "", at)) return 1;
    uint32_t listAt = 0;
    uint64_t listSize = 0;
    if (!FindNamedAttribute(record, *used, kAttributeList, "", &listAt) || !AttributeSize(record, listAt, &listSize) ||
        listSize > kMaxAttributeList) {
        return 0;
    }
    uint8_t *list = (uint8_t *)malloc(listSize + 1);
    uint64_t extension = 0;
    int found = list != 0 && ReadAttributeBytes(reader, record, listAt, 0, (uint32_t)listSize, list);
    for (uint32_t position = 0; found && extension == 0;) {
        if (listSize - position < 26) {
            found = 0;
            break;
        }
        const uint8_t *entry = list + position;
        uint32_t length = LoadLe16(entry + 4);
        if (length < 26 || length > listSize - position) {
            found = 0;
            break;
        }
        if (LoadLe32(entry) == kAttributeData && entry[6] == 0 && LoadLe64(entry + 8) == 0) {
            extension = LoadLe64(entry + 16) & 0xFFFFFFFFFFFFull;
        }
        position += length;
    }
    free(list);
    return found && extension != 0 && ReadRecord(reader, extension, record, used) &&
           FindNamedAttribute(record, *used, kAttributeData, "", at);
}

// Windows writes "hibr" (or "HIBR" since Windows 8) at the start of
// hiberfil.sys when it hibernates and clears it on resume; a file too short
// to hold the header cannot tell, and ntfs-3g refuses it as hibernated too.
int CheckHibernation(const VolumeReader *reader) {
    uint64_t reference = 0;
    if (!FindHiberfil(reader, &reference)) return kVolumeRootUnreadable;
    if (reference == 0) return kVolumeClean;
    uint8_t record[kMaxMftRecordSize];
    uint32_t used = 0, at = 0;
    uint64_t size = 0;
    uint16_t sequence = (uint16_t)(reference >> 48);
    if (!ReadRecord(reader, reference & 0xFFFFFFFFFFFFull, record, &used) || !IsBaseRecordInUse(record) ||
        (sequence != 0 && LoadLe16(record + kRecordSequence) != sequence) ||
        !FindFileData(reader, record, &used, &at) || !AttributeSize(record, at, &size)) {
        return kVolumeRootUnreadable;
    }
    if (size < kHibernationHeader) return kVolumeHibernated;
    uint8_t signature[4] = {0, 0, 0, 0};
    NonResidentAttribute attribute;
    int uninitialized = ReadNonResident(record, at, &attribute) && attribute.initializedSize < sizeof signature;
    if (!uninitialized && !ReadAttributeBytes(reader, record, at, 0, sizeof signature, signature)) {
        return kVolumeRootUnreadable;
    }
    return memcmp(signature, "hibr", 4) == 0 || memcmp(signature, "HIBR", 4) == 0 ? kVolumeHibernated : kVolumeClean;
}

}  // namespace

int CheckVolumeState(const TrimVolume *volume, int64_t volumeOffset, DiskReadFunction read, void *context) {
    VolumeReader *reader = (VolumeReader *)calloc(1, sizeof(VolumeReader));
    if (reader == 0) return kVolumeLogUnreadable;
    reader->read = read;
    reader->context = context;
    reader->volumeOffset = volumeOffset;
    reader->bytesPerCluster = volume->bytesPerCluster;
    reader->totalClusters = (uint64_t)volume->totalClusters;
    reader->recordSize = volume->mftRecordSize;
    uint32_t used = 0;
    int state = kVolumeLogUnreadable;
    if (read(context, volumeOffset + (int64_t)(volume->mftCluster * volume->bytesPerCluster), reader->mft,
             reader->recordSize) &&
        CheckMftRecord(reader->mft, reader->recordSize, &used) &&
        FindNamedAttribute(reader->mft, used, kAttributeData, "", &reader->mftData)) {
        state = CheckHibernation(reader);
        if (state == kVolumeClean) state = CheckLogFile(reader);
        if (state == kVolumeClean) state = CheckVolumeFlags(reader);
    }
    free(reader);
    return state;
}

const char *VolumeStateText(int state) {
    switch (state) {
    case kVolumeHibernated:
        return "Windows is hibernated on the volume (hiberfil.sys in its root folder holds a hibernation image): "
               "start that Windows and shut it down fully (no hibernation, no fast start-up), then try again";
    case kVolumeLogNotClean:
        return "Windows did not close the volume cleanly (its $LogFile still has to be replayed): start Windows "
               "and shut it down fully, or run its disk check (chkdsk /f), then try again";
    case kVolumeLogCached:
        return "Windows keeps the volume's metadata cached for fast start-up (its $LogFile is version 2.0): "
               "start Windows and shut it down fully (no fast start-up), then try again";
    case kVolumeDirty:
        return "The volume is marked dirty ($Volume schedules a disk check): run its disk check (chkdsk /f) in "
               "Windows, then try again";
    case kVolumeLogUnreadable:
        return "The volume's $LogFile cannot be read to check that Windows closed it cleanly: run its disk check "
               "(chkdsk /f) in Windows, then try again";
    case kVolumeFlagsUnreadable:
        return "The volume's $Volume flags cannot be read to check that it is not marked dirty: run its disk "
               "check (chkdsk /f) in Windows, then try again";
    case kVolumeRootUnreadable:
        return "The volume's root folder cannot be read to check for a hibernated Windows: run its disk check "
               "(chkdsk /f) in Windows, then try again";
    default:
        return 0;
    }
}
