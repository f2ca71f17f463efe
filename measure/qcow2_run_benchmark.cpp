// A whole quillet-image run on an empty NTFS volume in a qcow2 image, as a
// user runs it: qemu-nbd started and served through libnbd, the volume
// opened and checked, every free range sent as write-zeroes, the image's
// allocation read before and after. Wall time; each run gets a fresh copy.
//   qcow2_run_benchmark --benchmark_filter=/68719476736
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "ntfs_volumes.h"

namespace {

void QuilletImageOnQcow2(benchmark::State &state) {
    const int64_t bytes = state.range(0);
    std::string scratch = MakeScratchDirectory("qcow2-run-");
    std::string raw = scratch + "/volume.raw", made = scratch + "/volume.qcow2", image = scratch + "/run.qcow2";
    if (scratch.empty() || !CopySparse("/dev/zero", 0, raw, 0, 0) || truncate(raw.c_str(), bytes) != 0 ||
        RunTool({"mkntfs", "-F", "-f", "-q", "-s", "512", "-c", "4096", raw}).status != 0 ||
        RunTool({"qemu-img", "convert", "-f", "raw", "-O", "qcow2", raw, made}).status != 0) {
        state.SkipWithError("cannot make the qcow2 image (mkntfs, qemu-img)");
    }
    unlink(raw.c_str());
    uint64_t commands = 0;
    for (auto _ : state) {
        state.PauseTiming();
        unlink(image.c_str());
        int copied = CopySparse(made, 0, image, 0, FileSize(made));
        state.ResumeTiming();
        ToolRun run = RunTool({QUILLET_IMAGE_PROGRAM, image});
        if (!copied || run.status != 0) {
            state.SkipWithError(("quillet-image failed: " + run.err).c_str());
            break;
        }
        size_t summary = run.out.rfind('\n', run.out.rfind(" TRIM commands sent"));
        commands = std::stoull(run.out.substr(summary == std::string::npos ? 0 : summary + 1));
    }
    state.counters["commands"] = (double)commands;
    RemoveScratchDirectory(scratch);
}

BENCHMARK(QuilletImageOnQcow2)->Arg((int64_t)1 << 30)->Arg((int64_t)64 << 30)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
