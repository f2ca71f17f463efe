// The check of the bitmap against every MFT record, over a $MFT of a
// million 1 KiB records (1 GiB) made in memory: every record in use, with
// a name and one data run of its own. What a large system volume costs
// before its first TRIM; an SSD reads 1 GiB in about a second.
//   claims_benchmark --benchmark_filter=/1048576
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "crafted_mft.h"
#include "emulated_ssd.h"
#include "ntfs_reader.h"

namespace {

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
    CraftedMftLayout layout;
    PlanCraftedMft((uint32_t)state.range(0), &layout);
    MemoryMft memory;
    memory.mft.resize((size_t)layout.records * kCraftedMftRecordSize);
    memory.mftAt = (int64_t)(layout.mftCluster * kCraftedMftClusterSize);
    CraftMftRecords(&layout, 0, layout.records, memory.mft.data());
    std::vector<uint8_t> bitmap((size_t)layout.bitmapBytes, 0xFF);
    HostReset();
    for (auto _ : state) {
        NtfsReader reader;
        ClaimFinding finding;
        int sound = OpenNtfsReader(&reader, ReadMemory, &memory, 0, kCraftedMftClusterSize, layout.clusters,
                                   kCraftedMftRecordSize, layout.mftCluster) &&
                    CheckClusterClaims(&reader, bitmap.data(), layout.clusters, &finding);
        ReleaseNtfsReader(&reader);
        if (!sound) state.SkipWithError("the crafted $MFT does not pass the check");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)memory.mft.size());
}
BENCHMARK(CheckWholeMft)->Arg(16384)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
