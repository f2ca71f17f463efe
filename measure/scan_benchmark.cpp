// ScanFreeRuns against the bit-by-bit walk over the bitmap of a 2 TiB
// volume of 4 KiB clusters (64 MiB): all free, all used, fragmented like a
// volume long in use (and a harsher "heavy" variant), and alternating bits
// (the most runs a bitmap can hold).
// Both scans visit the same runs or the program fails; at the end it prints
// how many times faster the word-skipping scan was.
//   scan_benchmark [--benchmark_filter=/67108864]
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "free_runs.h"
#include "reference_scan.h"

namespace {

enum Pattern { kEmpty, kFull, kFragmented, kHeavy, kAlternating };
const char *const kPatternNames[] = {"empty", "full", "fragmented", "heavy", "alternating"};

const int64_t kVolumeBitmap = (int64_t)64 << 20;  // 2 TiB / 4 KiB / 8
const int64_t kSmokeBitmap = (int64_t)1 << 20;

void SetBits(std::vector<uint8_t> *bitmap, uint64_t first, uint64_t end) {
    while (first < end && (first & 7) != 0) {
        (*bitmap)[first >> 3] |= (uint8_t)(1u << (first & 7));
        first++;
    }
    if (end - first >= 8) {
        memset(bitmap->data() + (first >> 3), 0xFF, (end - first) >> 3);
        first += (end - first) & ~(uint64_t)7;
    }
    for (; first < end; first++) (*bitmap)[first >> 3] |= (uint8_t)(1u << (first & 7));
}

// Used and free runs whose lengths follow a heavy-tailed (log-normal) law:
// mostly short runs, now and then very long ones (large files, large
// holes), as on a volume that has been written and deleted for years.
//   fragmented: used median 55 clusters (mean 400), free median 20 (mean
//               150): about 964,000 free runs, 27% free
//   heavy:      used median 20 (mean 150), free median 12 (mean 140):
//               about 1.87 million free runs, 48% free
std::vector<uint8_t> Fragmented(size_t bytes, double usedMedianLog, double freeMedianLog, double freeSpread) {
    std::vector<uint8_t> bitmap(bytes, 0);
    std::mt19937_64 random(0x5eed);
    std::lognormal_distribution<double> usedLength(usedMedianLog, 2.0);
    std::lognormal_distribution<double> freeLength(freeMedianLog, freeSpread);
    const uint64_t bits = (uint64_t)bytes * 8;
    uint64_t cluster = 0;
    while (cluster < bits) {
        uint64_t used = 1 + (uint64_t)usedLength(random);
        uint64_t end = cluster + used < bits ? cluster + used : bits;
        SetBits(&bitmap, cluster, end);
        cluster = end + 1 + (uint64_t)freeLength(random);
    }
    return bitmap;
}

const std::vector<uint8_t> &BitmapOf(Pattern pattern, int64_t bytes) {
    static std::map<std::pair<int, int64_t>, std::vector<uint8_t>> cache;
    std::vector<uint8_t> &bitmap = cache[{pattern, bytes}];
    if (bitmap.empty()) {
        switch (pattern) {
        case kEmpty: bitmap.assign((size_t)bytes, 0x00); break;
        case kFull: bitmap.assign((size_t)bytes, 0xFF); break;
        case kFragmented: bitmap = Fragmented((size_t)bytes, 4.0, 3.0, 2.0); break;
        case kHeavy: bitmap = Fragmented((size_t)bytes, 3.0, 2.5, 2.2); break;
        case kAlternating: bitmap.assign((size_t)bytes, 0xAA); break;
        }
    }
    return bitmap;
}

struct Tally {
    uint64_t runs;
    uint64_t clusters;
};

int Count(void *context, uint32_t, uint32_t clusterCount) {
    Tally *tally = (Tally *)context;
    tally->runs++;
    tally->clusters += clusterCount;
    return 1;
}

typedef int (*ScanFunction)(const uint8_t *, uint32_t, uint32_t, FreeRunVisitor, void *);

bool gMismatch = false;

void Scan(benchmark::State &state, Pattern pattern, ScanFunction scan) {
    const std::vector<uint8_t> &bitmap = BitmapOf(pattern, state.range(0));
    const uint32_t bytes = (uint32_t)bitmap.size();
    // Both scans must agree before either is timed.
    Tally fast = {0, 0}, slow = {0, 0};
    ScanFreeRuns(bitmap.data(), bytes, 1, Count, &fast);
    ReferenceFreeRuns(bitmap.data(), bytes, 1, Count, &slow);
    if (fast.runs != slow.runs || fast.clusters != slow.clusters) {
        gMismatch = true;
        state.SkipWithError("ScanFreeRuns and the bit-by-bit walk disagree");
        return;
    }
    // Hidden from the optimiser: inlined into the header-only reference, the
    // visitor would cost it nothing while the engine pays for every call.
    FreeRunVisitor visitor = Count;
    benchmark::DoNotOptimize(scan);
    benchmark::DoNotOptimize(visitor);
    Tally tally = {0, 0};
    for (auto _ : state) {
        tally = {0, 0};
        scan(bitmap.data(), bytes, 1, visitor, &tally);
        benchmark::DoNotOptimize(tally);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * bytes);
    state.counters["runs"] = (double)tally.runs;
}

#define SCAN_BENCHMARKS(pattern, name)                                                            \
    BENCHMARK_CAPTURE(Scan, fast_##name, pattern, ScanFreeRuns)                                   \
        ->Arg(kVolumeBitmap)->Arg(kSmokeBitmap)->Unit(benchmark::kMillisecond);                   \
    BENCHMARK_CAPTURE(Scan, reference_##name, pattern, ReferenceFreeRuns)                         \
        ->Arg(kVolumeBitmap)->Arg(kSmokeBitmap)->Unit(benchmark::kMillisecond)

SCAN_BENCHMARKS(kEmpty, empty);
SCAN_BENCHMARKS(kFull, full);
SCAN_BENCHMARKS(kFragmented, fragmented);
SCAN_BENCHMARKS(kHeavy, heavy);
SCAN_BENCHMARKS(kAlternating, alternating);

// Keeps the console output and remembers each run's CPU time per
// iteration (steadier than wall time on a shared machine).
class SpeedupReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (!run.error_occurred) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 64;
    SpeedupReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char *name : kPatternNames) {
        for (int64_t bytes : {kVolumeBitmap, kSmokeBitmap}) {
            std::string suffix = std::string(name) + "/" + std::to_string(bytes);
            auto fast = reporter.times.find("Scan/fast_" + suffix);
            auto slow = reporter.times.find("Scan/reference_" + suffix);
            if (fast == reporter.times.end() || slow == reporter.times.end() || fast->second <= 0) continue;
            printf("speedup %-12s %9lld bytes: %8.1fx\n", name, (long long)bytes, slow->second / fast->second);
        }
    }
    benchmark::Shutdown();
    if (gMismatch) {
        fprintf(stderr, "scan_benchmark: the scans found different runs\n");
        return 1;
    }
    return 0;
}
