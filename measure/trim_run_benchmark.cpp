// A whole trim run on an empty 2 TiB volume of 4 KiB clusters, the emulated
// drive over a read-only image (it takes TRIM and punches nothing): about a million TRIM commands of 2 MiB each, so
// this measures the per-command path (request encoding, the drive's checks
// of each request), not the scan.
//   trim_run_benchmark [--benchmark_min_time=3]
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "crafted_volume.h"
#include "emulated_ssd.h"
#include "trim_engine.h"

namespace {

const int64_t kClusters = (int64_t)1 << 29;  // 2 TiB of 4 KiB clusters

void WholeRun(benchmark::State &state) {
    const int64_t clusters = state.range(0);
    CraftedGeometry geometry = StandardGeometry(512, 8, clusters);
    std::vector<uint8_t> bitmap((size_t)(clusters / 8), 0);
    // The boot sector, the MFT and the bitmap itself are in use.
    MarkClusters(&bitmap, 0, geometry.bitmapCluster + (bitmap.size() + 4095) / 4096, 1);
    CraftedVolume crafted;
    BuildVolume(&crafted, geometry, bitmap);
    std::string image = MakeTemporaryFile("trim-run");
    HostReset();
    TrimVolume *volume = 0;
    if (image.empty() || !WriteDiskImage(crafted, 0, image.c_str()) || !HostAttachDisk(0, image.c_str(), 0)) {
        state.SkipWithError("cannot make the image");
    } else {
        HostAttachVolume('Q', 0, 0);
        if (OpenTrimVolume('Q', &volume, 0) != kOpenOk) state.SkipWithError("the volume does not open");
    }
    uint32_t commands = 0;
    for (auto _ : state) {
        if (volume == 0) break;
        HostCountersNow()->trimCommands = 0;
        if (!TrimFreeSpace(volume, 0)) state.SkipWithError("the trim failed");
        commands = HostCountersNow()->trimCommands;
    }
    state.counters["commands"] = commands;
    state.counters["s/command"] = benchmark::Counter(
        commands, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    ReleaseTrimVolume(volume);
    HostReset();
    if (!image.empty()) unlink(image.c_str());
}

BENCHMARK(WholeRun)->Arg(kClusters)->Arg((int64_t)1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
