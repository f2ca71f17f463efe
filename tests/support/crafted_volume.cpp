#include "crafted_volume.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "bytes.h"

namespace {

enum {
    kStride = 512,
    kUpdateSequenceOffset = 0x30,
    kStandardInformationLength = 0x60,
    kFileNameValueFixed = 66,  // $FILE_NAME value up to its name
    kDataHeader = 0x40,        // non-resident header up to the mapping pairs
    kEndMarker = 0xFFFFFFFF,
    kCraftedMirrorRecords = 4,  // $MFTMirr holds records 0 to 3
};

uint32_t Align8(uint32_t value) { return (value + 7) & ~7u; }

uint64_t CeilDiv(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit; }

// Narrowest little-endian field that holds `value` as a positive signed number.
uint32_t SignedWidth(uint64_t value) {
    uint32_t width = 1;
    while (width < 8 && value >= ((uint64_t)1 << (8 * width - 1))) width++;
    return width;
}

// Mapping pairs of one run with the narrowest signed fields, as NTFS writes
// them, followed by the terminating 0. Returns the bytes written.
uint32_t EncodeSingleRun(uint8_t *pairs, uint64_t clusterCount, uint64_t firstCluster) {
    uint32_t lengthWidth = SignedWidth(clusterCount);
    uint32_t offsetWidth = SignedWidth(firstCluster);
    pairs[0] = (uint8_t)(offsetWidth << 4 | lengthWidth);
    for (uint32_t i = 0; i < lengthWidth; i++) pairs[1 + i] = (uint8_t)(clusterCount >> (8 * i));
    for (uint32_t i = 0; i < offsetWidth; i++) pairs[1 + lengthWidth + i] = (uint8_t)(firstCluster >> (8 * i));
    pairs[1 + lengthWidth + offsetWidth] = 0;
    return 2 + lengthWidth + offsetWidth;
}

const char *const kMetafileNames[kCraftedRecords] = {"$MFT",    "$MFTMirr", "$LogFile", "$Volume",
                                                     "$AttrDef", ".",       "$Bitmap"};

}  // namespace

uint32_t BytesPerCluster(const CraftedGeometry &geometry) {
    return geometry.bytesPerSector * geometry.sectorsPerCluster;
}

CraftedGeometry StandardGeometry(uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t totalClusters,
                                 uint32_t recordSize) {
    CraftedGeometry geometry;
    geometry.bytesPerSector = bytesPerSector;
    geometry.sectorsPerCluster = sectorsPerCluster;
    geometry.totalSectors = totalClusters * sectorsPerCluster;
    geometry.recordSize = recordSize;
    const uint32_t cluster = bytesPerSector * sectorsPerCluster;
    geometry.mftCluster = CeilDiv(kStride, cluster);
    geometry.mftMirrorCluster = geometry.mftCluster + CeilDiv(kCraftedRecords * recordSize, cluster);
    geometry.bitmapCluster = geometry.mftMirrorCluster + CeilDiv(kCraftedMirrorRecords * recordSize, cluster);
    return geometry;
}

void WriteBootSector(uint8_t *sector, const CraftedGeometry &geometry) {
    memset(sector, 0, kStride);
    sector[0] = 0xEB;
    sector[1] = 0x52;
    sector[2] = 0x90;
    memcpy(sector + 3, "NTFS    ", 8);
    StoreLe16(sector + 0x0B, (uint16_t)geometry.bytesPerSector);
    // Above 128 sectors the byte is a negative exponent, as Windows writes it.
    uint32_t exponent = 0;
    while (exponent < 31 && (1u << exponent) < geometry.sectorsPerCluster) exponent++;
    sector[0x0D] = geometry.sectorsPerCluster <= 128 ? (uint8_t)geometry.sectorsPerCluster : (uint8_t)(256 - exponent);
    sector[0x15] = 0xF8;
    StoreLe64(sector + 0x28, (uint64_t)geometry.totalSectors);
    StoreLe64(sector + 0x30, geometry.mftCluster);
    StoreLe64(sector + 0x38, geometry.mftMirrorCluster);
    // Clusters per record: a negative byte means 2^-n bytes.
    uint32_t cluster = BytesPerCluster(geometry);
    if (cluster != 0 && geometry.recordSize >= cluster) {
        sector[0x40] = (uint8_t)(geometry.recordSize / cluster);
    } else {
        uint32_t shift = 0;
        while (shift < 31 && (1u << shift) < geometry.recordSize) shift++;
        sector[0x40] = (uint8_t)(256 - shift);
    }
    sector[0x44] = 1;
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

void WriteFileRecord(uint8_t *record, uint32_t recordSize, uint32_t number, const char *name,
                     uint64_t firstCluster, uint64_t runClusters, uint32_t bytesPerCluster, uint64_t realSize) {
    memset(record, 0, recordSize);
    memcpy(record, "FILE", 4);
    // The update sequence: its number, then one entry per 512-byte stride.
    const uint32_t sequenceCount = recordSize / kStride + 1;
    const uint32_t firstAttribute = Align8(kUpdateSequenceOffset + 2 * sequenceCount);
    StoreLe16(record + 0x04, kUpdateSequenceOffset);
    StoreLe16(record + 0x06, (uint16_t)sequenceCount);
    StoreLe16(record + 0x10, 1);  // sequence number
    StoreLe16(record + 0x12, 1);  // links
    StoreLe16(record + 0x14, (uint16_t)firstAttribute);
    StoreLe16(record + 0x16, 1);  // in use
    StoreLe32(record + 0x1C, recordSize);
    StoreLe32(record + 0x2C, number);

    uint32_t at = firstAttribute;
    uint8_t *attribute = record + at;
    StoreLe32(attribute + 0, kCraftedAttributeStandardInformation);
    StoreLe32(attribute + 4, kStandardInformationLength);
    StoreLe32(attribute + 0x10, kStandardInformationLength - 0x18);
    StoreLe16(attribute + 0x14, 0x18);
    at += kStandardInformationLength;

    const uint64_t allocatedSize = runClusters * bytesPerCluster;
    const uint32_t nameLength = (uint32_t)strlen(name);
    const uint32_t valueLength = kFileNameValueFixed + 2 * nameLength;
    const uint32_t fileNameLength = Align8(0x18 + valueLength);
    attribute = record + at;
    StoreLe32(attribute + 0, kCraftedAttributeFileName);
    StoreLe32(attribute + 4, fileNameLength);
    StoreLe16(attribute + 0x0E, 3);  // attribute id
    StoreLe32(attribute + 0x10, valueLength);
    StoreLe16(attribute + 0x14, 0x18);
    attribute[0x16] = 1;  // indexed
    uint8_t *value = attribute + 0x18;
    StoreLe64(value + 0x00, 5 | ((uint64_t)5 << 48));  // parent: the root folder
    StoreLe64(value + 0x28, allocatedSize);
    StoreLe64(value + 0x30, realSize);
    StoreLe32(value + 0x38, 0x06);  // hidden, system
    value[0x40] = (uint8_t)nameLength;
    value[0x41] = 3;  // Win32 and DOS name space
    for (uint32_t i = 0; i < nameLength; i++) StoreLe16(value + 0x42 + 2 * i, (uint8_t)name[i]);
    at += fileNameLength;

    if (runClusters != 0) {
        uint8_t pairs[20];
        const uint32_t pairsSize = EncodeSingleRun(pairs, runClusters, firstCluster);
        const uint32_t dataLength = Align8(kDataHeader + pairsSize);
        attribute = record + at;
        StoreLe32(attribute + 0, kCraftedAttributeData);
        StoreLe32(attribute + 4, dataLength);
        attribute[8] = 1;  // non-resident
        StoreLe16(attribute + 0x0A, kDataHeader);  // name offset (no name)
        StoreLe16(attribute + 0x0E, 1);
        StoreLe64(attribute + 0x18, runClusters - 1);  // last VCN
        StoreLe16(attribute + 0x20, kDataHeader);
        StoreLe64(attribute + 0x28, allocatedSize);
        StoreLe64(attribute + 0x30, realSize);
        StoreLe64(attribute + 0x38, realSize);
        memcpy(attribute + kDataHeader, pairs, pairsSize);
        at += dataLength;
    }
    StoreLe32(record + at, kEndMarker);
    StoreLe32(record + 0x18, at + 8);  // bytes in use
}

void InsertAttribute(uint8_t *record, uint32_t type, uint32_t length) {
    uint32_t at = LoadLe16(record + 0x14);
    while (LoadLe32(record + at) != kEndMarker && LoadLe32(record + at) <= type) at += LoadLe32(record + at + 4);
    const uint32_t used = LoadLe32(record + 0x18);
    memmove(record + at + length, record + at, used - at);
    memset(record + at, 0, length);
    StoreLe32(record + at, type);
    StoreLe32(record + at + 4, length);
    StoreLe32(record + at + 0x10, length - 0x18);
    StoreLe16(record + at + 0x14, 0x18);
    StoreLe32(record + 0x18, used + length);
}

void SealRecord(uint8_t *record, uint32_t recordSize) {
    uint32_t offset = LoadLe16(record + 0x04);
    uint32_t count = LoadLe16(record + 0x06);
    uint16_t sequence = (uint16_t)(LoadLe16(record + offset) + 1);
    StoreLe16(record + offset, sequence);
    for (uint32_t i = 1; i < count && i * kStride <= recordSize; i++) {
        uint8_t *tail = record + i * kStride - 2;
        memcpy(record + offset + 2 * i, tail, 2);
        StoreLe16(tail, sequence);
    }
}

uint8_t *FindAttribute(uint8_t *record, uint32_t type) {
    uint32_t at = LoadLe16(record + 0x14);
    const uint32_t used = LoadLe32(record + 0x18);
    while (at + 8 <= used) {
        uint32_t found = LoadLe32(record + at);
        if (found == type) return record + at;
        uint32_t length = LoadLe32(record + at + 4);
        if (found == kEndMarker || found == 0 || length == 0) return 0;
        at += length;
    }
    return 0;
}

uint8_t *RecordOf(CraftedVolume *volume, uint32_t index) {
    const CraftedGeometry &geometry = volume->geometry;
    return volume->head.data() + geometry.mftCluster * BytesPerCluster(geometry) +
           (uint64_t)index * geometry.recordSize;
}

void BuildVolume(CraftedVolume *volume, const CraftedGeometry &geometry, const std::vector<uint8_t> &bitmap) {
    volume->geometry = geometry;
    volume->bitmap = bitmap;
    const uint32_t cluster = BytesPerCluster(geometry);
    const uint64_t mftClusters = CeilDiv(kCraftedRecords * geometry.recordSize, cluster);
    const uint64_t bitmapClusters = CeilDiv(bitmap.size(), cluster);
    volume->head.assign((geometry.mftCluster + mftClusters) * cluster, 0);
    WriteBootSector(volume->head.data(), geometry);
    for (uint32_t i = 0; i < kCraftedRecords; i++) {
        uint8_t *record = RecordOf(volume, i);
        if (i == 0) {
            WriteFileRecord(record, geometry.recordSize, i, kMetafileNames[i], geometry.mftCluster, mftClusters,
                            cluster, kCraftedRecords * geometry.recordSize);
        } else if (i == kCraftedRecords - 1) {
            WriteFileRecord(record, geometry.recordSize, i, kMetafileNames[i], geometry.bitmapCluster,
                            bitmapClusters, cluster, bitmap.size());
        } else {
            WriteFileRecord(record, geometry.recordSize, i, kMetafileNames[i], 0, 0, cluster, 0);
        }
        SealRecord(record, geometry.recordSize);
    }
    // What the volume's own metadata occupies is in use.
    const uint64_t covered = volume->bitmap.size() * 8;
    const struct {
        uint64_t first, count;
    } used[] = {{0, CeilDiv(kStride, cluster)},
                {geometry.mftCluster, mftClusters},
                {geometry.mftMirrorCluster, CeilDiv(kCraftedMirrorRecords * geometry.recordSize, cluster)},
                {geometry.bitmapCluster, bitmapClusters}};
    for (const auto &range : used) {
        if (range.first < covered) {
            MarkClusters(&volume->bitmap, range.first, std::min(range.count, covered - range.first), 1);
        }
    }
}

void MarkClusters(std::vector<uint8_t> *bitmap, uint64_t first, uint64_t count, int used) {
    for (uint64_t cluster = first; cluster < first + count; cluster++) {
        uint8_t bit = (uint8_t)(1u << (cluster & 7));
        if (used) {
            (*bitmap)[cluster >> 3] |= bit;
        } else {
            (*bitmap)[cluster >> 3] &= (uint8_t)~bit;
        }
    }
}

std::vector<uint8_t> DiskBytes(const CraftedVolume &volume, int64_t partitionOffset) {
    const uint64_t bitmapStart = volume.geometry.bitmapCluster * BytesPerCluster(volume.geometry);
    uint64_t end = volume.head.size();
    if (!volume.bitmap.empty() && bitmapStart + volume.bitmap.size() > end) {
        end = bitmapStart + volume.bitmap.size();
    }
    std::vector<uint8_t> disk((size_t)(partitionOffset + end), 0);
    memcpy(disk.data() + partitionOffset, volume.head.data(), volume.head.size());
    if (!volume.bitmap.empty()) {
        memcpy(disk.data() + partitionOffset + bitmapStart, volume.bitmap.data(), volume.bitmap.size());
    }
    return disk;
}

static int WriteAll(int fd, const uint8_t *bytes, size_t size, int64_t position) {
    while (size > 0) {
        ssize_t written = pwrite(fd, bytes, size, (off_t)position);
        if (written <= 0) return 0;
        bytes += written;
        size -= (size_t)written;
        position += written;
    }
    return 1;
}

int WriteDiskImage(const CraftedVolume &volume, int64_t partitionOffset, const char *path,
                   int64_t diskSize) {
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    const CraftedGeometry &geometry = volume.geometry;
    if (diskSize < 0) diskSize = partitionOffset + geometry.totalSectors * (int64_t)geometry.bytesPerSector;
    int ok = ftruncate(fd, (off_t)diskSize) == 0 &&
             WriteAll(fd, volume.head.data(), volume.head.size(), partitionOffset);
    if (ok && !volume.bitmap.empty()) {
        int64_t at = partitionOffset + (int64_t)(geometry.bitmapCluster * BytesPerCluster(geometry));
        ok = WriteAll(fd, volume.bitmap.data(), volume.bitmap.size(), at);
    }
    // Writing past the intended size grew the file; the size is part of the test.
    if (ok) ok = ftruncate(fd, (off_t)diskSize) == 0;
    close(fd);
    return ok;
}

std::string MakeTemporaryFile(const char *stem) {
    const char *directory = getenv("TMPDIR");
    std::string path = std::string(directory != 0 && *directory != 0 ? directory : "/tmp") + "/" + stem +
                       ".XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd < 0) return std::string();
    close(fd);
    return path;
}
