// The check of the bitmap against every MFT record, over a $MFT of a
// million 1 KiB records (1 GiB) made in memory: every record in use, with
// a name and one data run of its own. What a large system volume costs
// before its first TRIM; an SSD reads 1 GiB in about a second.
//   claims_benchmark --benchmark_filter=/1048576
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "emulated_ssd.h"
#include "ntfs_reader.h"

namespace {

const uint32_t kRecordSize = 1024;
const uint32_t kClusterSize = 4096;
const uint64_t kFirstDataCluster = 16;

void Put16(uint8_t *p, uint16_t v) { p[0] = (uint8_t)v, p[1] = (uint8_t)(v >> 8); }
void Put32(uint8_t *p, uint32_t v) { Put16(p, (uint16_t)v), Put16(p + 2, (uint16_t)(v >> 16)); }
void Put64(uint8_t *p, uint64_t v) { Put32(p, (uint32_t)v), Put32(p + 4, (uint32_t)(v >> 32)); }

// One in-use record: $STANDARD_INFORMATION, $FILE_NAME and a non-resident
// $DATA of `clusters` clusters at `lcn`, sealed with its update sequence.
void MakeRecord(uint8_t *record, uint32_t number, uint64_t lcn, uint32_t clusters) {
    memset(record, 0, kRecordSize);
    memcpy(record, "FILE", 4);
    Put16(record + 0x04, 0x30);
    Put16(record + 0x06, 3);
    Put16(record + 0x10, 1);
    Put16(record + 0x14, 0x38);
    Put16(record + 0x16, 1);
    Put32(record + 0x1C, kRecordSize);
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
    Put64(data + 0x28, (uint64_t)clusters * kClusterSize);
    Put64(data + 0x30, (uint64_t)clusters * kClusterSize);
    Put64(data + 0x38, (uint64_t)clusters * kClusterSize);
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

struct MemoryMft {
    std::vector<uint8_t> mft;
    int64_t mftAt;
};

int ReadMemory(void *context, int64_t position, void *buffer, uint32_t size) {
    const MemoryMft *memory = (const MemoryMft *)context;
    if (position < memory->mftAt || (uint64_t)(position - memory->mftAt) + size > memory->mft.size()) return 0;
    memcpy(buffer, memory->mft.data() + (position - memory->mftAt), size);
    return 1;
}

void CheckWholeMft(benchmark::State &state) {
    const uint32_t records = (uint32_t)state.range(0);
    const uint64_t mftCluster = kFirstDataCluster + 2 * (uint64_t)records;
    const uint32_t mftClusters = records * kRecordSize / kClusterSize;
    const uint64_t clusters = mftCluster + mftClusters + 16;
    MemoryMft memory;
    memory.mft.resize((size_t)records * kRecordSize);
    memory.mftAt = (int64_t)(mftCluster * kClusterSize);
    MakeRecord(memory.mft.data(), 0, mftCluster, mftClusters);
    for (uint32_t i = 1; i < records; i++) {
        MakeRecord(memory.mft.data() + (size_t)i * kRecordSize, i, kFirstDataCluster + 2 * (uint64_t)i, 2);
    }
    std::vector<uint8_t> bitmap((size_t)(clusters / 8 + 1), 0xFF);
    HostReset();
    for (auto _ : state) {
        NtfsReader reader;
        ClaimFinding finding;
        int sound = OpenNtfsReader(&reader, ReadMemory, &memory, 0, kClusterSize, clusters, kRecordSize, mftCluster) &&
                    CheckClusterClaims(&reader, bitmap.data(), clusters, &finding);
        ReleaseNtfsReader(&reader);
        if (!sound) state.SkipWithError("the crafted $MFT does not pass the check");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)memory.mft.size());
}
BENCHMARK(CheckWholeMft)->Arg(16384)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
