#include "volume_state.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bytes.h"
#include "mft_record.h"
#include "ntfs_layout.h"
#include "ntfs_reader.h"
#include "run_texts.h"
#include "trim_engine.h"

namespace {

// The log layouts only these checks read; the rest of NTFS is in
// ntfs_layout.h and the reader.
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

    // The start of hiberfil.sys.
    kHibernationHeader = 4096,
};

const uint32_t kRestartSignature = 0x52545352;  // "RSTR"
const uint32_t kChkdskSignature = 0x444B4843;   // "CHKD": a restart page chkdsk left
const uint32_t kLogRecordSignature = 0x44524352;  // "RCRD"
const uint32_t kEmptyLogPage = 0xFFFFFFFF;

// The state for a part the reader could not read: damaged, or not read.
int Unreadable(const NtfsReader *reader, int damaged, int readFailed) {
    if (reader->problem == kNtfsReadFailed) return readFailed;
    if (reader->problem == kNtfsNoMemory) return kVolumeNoMemory;
    return damaged;
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
    // The update sequence is applied to a copy: the caller's bytes stay.
    std::vector<uint8_t> pageCopy(page, page + systemPageSize);
    uint8_t *copy = pageCopy.data();
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
    return valid;
}

// The newer of the two restart pages at the start of $LogFile decides. A
// log of nothing but empty pages (as mkntfs and a reset leave it) is clean.
int CheckLogFile(NtfsReader *reader) {
    NtfsAttribute data;
    int loaded = LoadNtfsAttribute(reader, kMftRecordLogFile, kAttributeData, "", &data);
    if (!loaded || data.realSize < kLogMinBytes) {
        ReleaseNtfsAttribute(&data);
        return loaded ? kVolumeLogUnreadable : Unreadable(reader, kVolumeLogUnreadable, kVolumeLogReadFailed);
    }
    uint32_t scanned = data.realSize < kLogScanBytes ? (uint32_t)data.realSize : (uint32_t)kLogScanBytes;
    std::vector<uint8_t> bytes(scanned);
    const uint8_t *log = bytes.data();
    int read = ReadNtfsAttribute(reader, &data, 0, scanned, bytes.data());
    ReleaseNtfsAttribute(&data);
    if (!read) return Unreadable(reader, kVolumeLogUnreadable, kVolumeLogReadFailed);
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
    if (pages == 0) return empty ? kVolumeClean : kVolumeLogUnreadable;
    return result;
}

int CheckVolumeFlags(NtfsReader *reader) {
    NtfsAttribute information;
    int state = kVolumeFlagsUnreadable;
    if (!LoadNtfsAttribute(reader, kMftRecordVolume, kAttributeVolumeInformation, "", &information)) {
        state = Unreadable(reader, kVolumeFlagsUnreadable, kVolumeFlagsReadFailed);
    } else if (information.resident && information.valueLength >= 12) {
        state = (LoadLe16(information.value + 10) & kVolumeIsDirty) != 0 ? kVolumeDirty : kVolumeClean;
    }
    ReleaseNtfsAttribute(&information);
    return state;
}

// Windows writes the name as the user's tools spell it; NTFS names are
// case-insensitive, so any spelling counts.
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

struct HiberfilSearch {
    uint64_t reference;  // 0 until found
    int damaged;         // a key that is no $FILE_NAME
};

int VisitRootEntry(void *context, const uint8_t *key, uint32_t keyLength, uint64_t reference) {
    HiberfilSearch *search = (HiberfilSearch *)context;
    if (keyLength < kFileNameText || (uint32_t)kFileNameText + 2u * key[kFileNameLength] > keyLength) {
        search->damaged = 1;
        return 0;
    }
    if (!IsHiberfilName(key + kFileNameText, key[kFileNameLength])) return 1;
    search->reference = reference;
    return 0;
}

// Windows writes "hibr" (or "HIBR" since Windows 8) at the start of
// hiberfil.sys when it hibernates and clears it on resume; a file too short
// to hold the header cannot tell, and ntfs-3g refuses it as hibernated too.
int CheckHibernation(NtfsReader *reader) {
    HiberfilSearch search = {0, 0};
    if (!WalkNtfsIndex(reader, kMftRecordRoot, "$I30", VisitRootEntry, &search)) {
        return Unreadable(reader, kVolumeRootUnreadable, kVolumeRootReadFailed);
    }
    if (search.damaged) return kVolumeRootUnreadable;
    if (search.reference == 0) return kVolumeClean;
    uint64_t number = search.reference & kFileReferenceMask;
    uint16_t sequence = (uint16_t)(search.reference >> 48);
    uint8_t record[kMaxMftRecordSize];
    uint32_t used = 0;
    if (!ReadNtfsRecord(reader, number, record, &used)) {
        return Unreadable(reader, kVolumeRootUnreadable, kVolumeRootReadFailed);
    }
    // The entry must name the file that lives in that record now.
    if (!IsBaseRecordInUse(record) || (sequence != 0 && LoadLe16(record + kRecordSequence) != sequence)) {
        return kVolumeRootUnreadable;
    }
    NtfsAttribute data;
    uint8_t signature[4] = {0, 0, 0, 0};
    int state = kVolumeClean;
    if (!LoadNtfsAttribute(reader, number, kAttributeData, "", &data)) {
        state = Unreadable(reader, kVolumeRootUnreadable, kVolumeRootReadFailed);
    } else if (data.realSize < kHibernationHeader) {
        state = kVolumeHibernated;
    } else if (!ReadNtfsAttribute(reader, &data, 0, sizeof signature, signature)) {
        state = Unreadable(reader, kVolumeRootUnreadable, kVolumeRootReadFailed);
    } else if (memcmp(signature, "hibr", 4) == 0 || memcmp(signature, "HIBR", 4) == 0) {
        state = kVolumeHibernated;
    }
    ReleaseNtfsAttribute(&data);
    return state;
}

}  // namespace

int CheckVolumeState(TrimVolume *volume) {
    // The reader the open mapped $MFT with: no record is read twice.
    NtfsReader *reader = &volume->context->reader;
    int state = CheckHibernation(reader);
    if (state == kVolumeClean) state = CheckLogFile(reader);
    if (state == kVolumeClean) state = CheckVolumeFlags(reader);
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
        return "The volume's $LogFile is damaged, so it cannot tell whether Windows closed the volume cleanly: "
               "run its disk check (chkdsk /f) in Windows, then try again";
    case kVolumeFlagsUnreadable:
        return "The volume's $Volume record is damaged, so its flags cannot tell whether it is marked dirty: run "
               "its disk check (chkdsk /f) in Windows, then try again";
    case kVolumeRootUnreadable:
        return "The volume's root folder is damaged, so it cannot tell whether Windows is hibernated: run its "
               "disk check (chkdsk /f) in Windows, then try again";
    case kVolumeLogReadFailed:
        return "The volume's $LogFile could not be read to check that Windows closed it cleanly: the disk "
               "refused a read; check the disk and its connection, then try again";
    case kVolumeFlagsReadFailed:
        return "The volume's $Volume record could not be read to check that it is not marked dirty: the disk "
               "refused a read; check the disk and its connection, then try again";
    case kVolumeRootReadFailed:
        return "The volume's root folder could not be read to check for a hibernated Windows: the disk refused "
               "a read; check the disk and its connection, then try again";
    case kVolumeNoMemory:
        return "There is not enough memory to check how Windows left the volume";
    default:
        return 0;
    }
}

int VolumeStateReadFailed(int state) { return state >= kVolumeLogReadFailed && state <= kVolumeNoMemory; }

int VolumeStateDamaged(int state) { return state >= kVolumeLogUnreadable && state <= kVolumeRootUnreadable; }

int CheckBitmapClaims(TrimVolume *volume, char *reason, uint32_t reasonSize, int *readFailed) {
    ClaimFinding finding;
    *readFailed = 0;
    if (CheckVolumeClaims(volume, &finding)) return 1;
    *readFailed = finding.kind == kClaimUnreadable || finding.kind == kClaimNoMemory;
    char text[640];
    FormatClaimFinding(text, sizeof text, &finding);
    snprintf(reason, reasonSize, "%s %s.", OpenStatusText(kOpenBitmapFailed), text);
    return 0;
}
