#include "crafted_mft.h"

#include <string.h>

namespace {

const uint64_t kFirstDataCluster = 16;
const uint32_t kClustersPerFile = 2;

void Put16(uint8_t *p, uint16_t v) { p[0] = (uint8_t)v, p[1] = (uint8_t)(v >> 8); }
void Put32(uint8_t *p, uint32_t v) { Put16(p, (uint16_t)v), Put16(p + 2, (uint16_t)(v >> 16)); }
void Put64(uint8_t *p, uint64_t v) { Put32(p, (uint32_t)v), Put32(p + 4, (uint32_t)(v >> 32)); }

// One in-use record: $STANDARD_INFORMATION, $FILE_NAME and a non-resident
// $DATA of `clusters` clusters at `lcn`, sealed with its update sequence.
void MakeRecord(uint8_t *record, uint32_t number, uint64_t lcn, uint32_t clusters) {
    memset(record, 0, kCraftedMftRecordSize);
    memcpy(record, "FILE", 4);
    Put16(record + 0x04, 0x30);
    Put16(record + 0x06, 3);
    Put16(record + 0x10, 1);
    Put16(record + 0x14, 0x38);
    Put16(record + 0x16, 1);
    Put32(record + 0x1C, kCraftedMftRecordSize);
    Put32(record + 0x2C, number);
    uint32_t at = 0x38;
    Put32(record + at, 0x10), Put32(record + at + 4, 0x60), Put32(record + at + 0x10, 0x48), Put16(record + at + 0x14, 0x18);
    at += 0x60;
    Put32(record + at, 0x30), Put32(record + at + 4, 0x78), Put32(record + at + 0x10, 0x5A), Put16(record + at + 0x14, 0x18);
    record[at + 0x18 + 0x40] = 12;
    at += 0x78;
    uint8_t *data = record + at;
    Put32(data, 0x80), Put32(data + 4, 0x48);
    data[8] = 1;
    Put16(data + 0x0A, 0x40);
    Put64(data + 0x18, clusters - 1);
    Put16(data + 0x20, 0x40);
    Put64(data + 0x28, (uint64_t)clusters * kCraftedMftClusterSize);
    Put64(data + 0x30, (uint64_t)clusters * kCraftedMftClusterSize);
    Put64(data + 0x38, (uint64_t)clusters * kCraftedMftClusterSize);
    data[0x40] = 0x43;  // 3 bytes of length, 4 of offset
    for (int i = 0; i < 3; i++) data[0x41 + i] = (uint8_t)(clusters >> (8 * i));
    for (int i = 0; i < 4; i++) data[0x44 + i] = (uint8_t)(lcn >> (8 * i));
    at += 0x48;
    Put32(record + at, 0xFFFFFFFF);
    Put32(record + 0x18, at + 8);
    for (uint32_t stride = 1; stride <= 2; stride++) {
        memcpy(record + 0x30 + 2 * stride, record + stride * 512 - 2, 2);
        Put16(record + stride * 512 - 2, 1);
    }
    Put16(record + 0x30, 1);
}

}  // namespace

void PlanCraftedMft(uint32_t records, CraftedMftLayout *layout) {
    layout->records = records;
    layout->mftCluster = CraftedRecordCluster(records);
    layout->mftClusters = records / (kCraftedMftClusterSize / kCraftedMftRecordSize);
    layout->clusters = layout->mftCluster + layout->mftClusters + 16;
    layout->bitmapBytes = layout->clusters / 8 + 1;
}

void CraftMftRecords(const CraftedMftLayout *layout, uint32_t first, uint32_t count, uint8_t *out) {
    for (uint32_t i = 0; i < count; i++, out += kCraftedMftRecordSize) {
        uint32_t number = first + i;
        if (number == 0) {
            MakeRecord(out, 0, layout->mftCluster, layout->mftClusters);
        } else {
            MakeRecord(out, number, CraftedRecordCluster(number), kClustersPerFile);
        }
    }
}

uint64_t CraftedRecordCluster(uint32_t number) { return kFirstDataCluster + kClustersPerFile * (uint64_t)number; }
