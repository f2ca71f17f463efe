#include "mft_record.h"

#include "bytes.h"
#include "ntfs_layout.h"

enum {
    kStride = 512,  // the update sequence covers every 512 bytes
    kMinAttributeLength = 16,
    kResidentHeader = 0x18,
    kNonResidentHeader = 0x40,
};

static const uint32_t kAttributeEndMarker = 0xFFFFFFFF;

int DecodeMftRecordSize(uint8_t clustersPerRecord, uint32_t bytesPerCluster, uint32_t *recordSize) {
    uint64_t size = 0;
    if (clustersPerRecord >= 0x80) {
        uint32_t shift = 256 - clustersPerRecord;
        if (shift > 31) return 0;
        size = (uint64_t)1 << shift;
    } else {
        size = (uint64_t)clustersPerRecord * bytesPerCluster;
    }
    if (size < kMinMftRecordSize || size > kMaxMftRecordSize || (size & (size - 1)) != 0) return 0;
    *recordSize = (uint32_t)size;
    return 1;
}

int ApplyUpdateSequence(uint8_t *block, uint32_t size) {
    if (size < kStride || size % kStride != 0) return 0;
    uint32_t strides = size / kStride;
    uint32_t sequenceAt = LoadLe16(block + kRecordUpdateSequenceOffset);
    uint32_t count = LoadLe16(block + kRecordUpdateSequenceCount);
    if (count != strides + 1 || (sequenceAt & 1) != 0 || sequenceAt < 8 || sequenceAt + 2 * count > kStride - 2) {
        return 0;
    }
    const uint8_t *sequence = block + sequenceAt;
    for (uint32_t i = 0; i < strides; i++) {
        const uint8_t *tail = block + (i + 1) * kStride - 2;
        if (tail[0] != sequence[0] || tail[1] != sequence[1]) return 0;
    }
    for (uint32_t i = 0; i < strides; i++) {
        uint8_t *tail = block + (i + 1) * kStride - 2;
        tail[0] = sequence[2 + 2 * i];
        tail[1] = sequence[3 + 2 * i];
    }
    return 1;
}

int CheckMftRecord(uint8_t *record, uint32_t recordSize, uint32_t *usedSize) {
    if (recordSize < kMinMftRecordSize || recordSize > kMaxMftRecordSize) return 0;
    if (LoadLe32(record) != kRecordSignature) return 0;
    // The array starts after the record header's fixed fields.
    uint32_t sequenceAt = LoadLe16(record + kRecordUpdateSequenceOffset);
    if (sequenceAt < 0x28 || !ApplyUpdateSequence(record, recordSize)) return 0;
    uint32_t sequenceEnd = sequenceAt + 2 * LoadLe16(record + kRecordUpdateSequenceCount);
    uint32_t used = LoadLe32(record + kRecordUsedSize);
    uint32_t firstAttribute = LoadLe16(record + kRecordFirstAttribute);
    if (LoadLe32(record + kRecordAllocatedSize) != recordSize || used > recordSize || firstAttribute < sequenceEnd ||
        firstAttribute + 4 > used) {
        return 0;
    }
    *usedSize = used;
    return 1;
}

int IsBaseRecordInUse(const uint8_t *record) {
    return (LoadLe16(record + kRecordFlags) & kRecordInUse) != 0 && LoadLe64(record + kRecordBaseReference) == 0;
}

int FindAttribute(const uint8_t *record, uint32_t usedSize, uint32_t type, uint32_t *at) {
    uint32_t position = *at != 0 ? *at : LoadLe16(record + kRecordFirstAttribute);
    for (;;) {
        if (position > usedSize || usedSize - position < 4) return 0;
        uint32_t found = LoadLe32(record + position + kAttributeType);
        if (found == kAttributeEnd || found == kAttributeEndMarker) return 0;
        if (usedSize - position < kMinAttributeLength) return 0;
        uint32_t length = LoadLe32(record + position + kAttributeLength);
        if (length < kMinAttributeLength || length > usedSize - position) return 0;
        if (found == type) break;
        position += length;
    }
    *at = position;
    return 1;
}

int NameUnitsAre(const uint8_t *units, uint32_t length, const char *name) {
    // Unit by unit, so the name needs no length of its own (no runtime).
    for (uint32_t i = 0; i < length; i++) {
        if (name[i] == 0 || LoadLe16(units + 2 * i) != (uint8_t)name[i]) return 0;
    }
    return name[length] == 0;
}

int FindNamedAttribute(const uint8_t *record, uint32_t used, uint32_t type, const char *name, uint32_t *at) {
    uint32_t position = *at;
    while (FindAttribute(record, used, type, &position)) {
        const uint8_t *attribute = record + position;
        uint32_t length = LoadLe32(attribute + kAttributeLength);
        uint32_t nameAt = LoadLe16(attribute + kAttributeNameOffset);
        uint32_t nameLength = attribute[kAttributeNameLength];
        if (nameAt <= length && 2 * nameLength <= length - nameAt &&
            NameUnitsAre(attribute + nameAt, nameLength, name)) {
            *at = position;
            return 1;
        }
        position += length;  // FindAttribute checked that it fits
    }
    return 0;
}

int ResidentValue(const uint8_t *record, uint32_t at, uint32_t *valueAt, uint32_t *valueLength) {
    const uint8_t *attribute = record + at;
    uint32_t length = LoadLe32(attribute + kAttributeLength);
    if (attribute[kAttributeNonResident] != 0 || length < kResidentHeader) return 0;
    uint32_t offset = LoadLe16(attribute + kAttributeValueOffset);
    uint32_t size = LoadLe32(attribute + kAttributeValueLength);
    if (offset < kResidentHeader || offset > length || size > length - offset) return 0;
    *valueAt = at + offset;
    *valueLength = size;
    return 1;
}

int ReadNonResident(const uint8_t *record, uint32_t at, NonResidentAttribute *attribute) {
    const uint8_t *header = record + at;
    uint32_t length = LoadLe32(header + kAttributeLength);
    if (header[kAttributeNonResident] != 1 || length < kNonResidentHeader) return 0;
    uint32_t pairs = LoadLe16(header + kAttributeMappingPairs);
    if (pairs < kNonResidentHeader || pairs >= length) return 0;
    attribute->nameLength = header[kAttributeNameLength];
    attribute->firstVcn = LoadLe64(header + kAttributeFirstVcn);
    attribute->lastVcn = LoadLe64(header + kAttributeLastVcn);
    attribute->pairsAt = at + pairs;
    attribute->pairsEnd = at + length;
    attribute->allocatedSize = LoadLe64(header + kAttributeAllocatedSize);
    attribute->realSize = LoadLe64(header + kAttributeRealSize);
    attribute->initializedSize = LoadLe64(header + kAttributeInitializedSize);
    return attribute->allocatedSize >= attribute->initializedSize &&
           attribute->allocatedSize >= attribute->realSize;
}

int NextDataRun(const uint8_t *record, uint32_t *at, uint32_t pairsEnd, uint64_t *clusterCount, int64_t *lcn,
                int *sparse) {
    // The header byte holds the two field widths; wider than 8 bytes do
    // not exist.
    if (*at >= pairsEnd || record[*at] == 0) return 0;
    const uint32_t lengthWidth = record[*at] & 0x0F, offsetWidth = record[*at] >> 4;
    if (lengthWidth == 0 || lengthWidth > 8 || offsetWidth > 8) return 0;
    const uint32_t next = *at + 1 + lengthWidth + offsetWidth;
    if (next > pairsEnd) return 0;
    const uint64_t length = LoadLeUnsigned(record + *at + 1, lengthWidth);
    uint64_t raw = LoadLeUnsigned(record + *at + 1 + lengthWidth, offsetWidth);
    if (length == 0 || length > (uint64_t)INT64_MAX) return 0;
    if (offsetWidth != 0) {
        // Sign-extend the offset from its stored width: the first run's
        // too, so 0x8000 in two bytes is -32768 wherever it stands.
        if (offsetWidth < 8 && (raw >> (8 * offsetWidth - 1)) != 0) raw |= ~(uint64_t)0 << (8 * offsetWidth);
        *lcn = (int64_t)((uint64_t)*lcn + raw);
    }
    *clusterCount = length;
    *sparse = offsetWidth == 0;
    *at = next;
    return 1;
}
