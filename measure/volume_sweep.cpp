// volume_sweep QUILLET-IMAGE [NAME-FILTER]
//
// Run by hand, as root with /dev/fuse. Makes sound volumes of many shapes
// with mkntfs and ntfs-3g's FUSE mount (sparse files: a 4 GiB or 1 TiB
// volume costs what is written), each one at a time: 512 B to 64 KiB
// clusters, MFT records of 1 to 4 KiB, root folders of 20 to 5,000
// entries and long names, named streams, hard links, compressed and sparse
// files (and 128 KiB to 2 MiB clusters, as Windows 10 formats them),
// pagefile.sys, hiberfil.sys of zeros or "wake", $MFT in pieces
// until record 0 needs an attribute list, nearly full volumes, and one of
// 1 TiB. The ntfs-3g tools referee each volume first: ntfsfix -n and
// ntfsinfo without complaint, and a read-write mount. Then quillet-image
// trims a copy; it must exit 0, trim exactly what ntfscat's $Bitmap calls
// free, leave every other byte as it was and every file readable through
// a mount. Prints a line per volume and every refusal or mismatch in full;
// exit status 1 when there was one. Only volumes whose name contains
// NAME-FILTER are made, when given.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "ntfs_volumes.h"

namespace {

struct Sweep {
    std::string name;
    NtfsRecipe recipe;
};

const uint64_t kMiB = 1 << 20, kGiB = 1 << 30;

// Ten kinds of volume at each cluster size to 64 KiB, five from 128 KiB to
// 2 MiB, and the volume of 1 TiB.
std::vector<Sweep> Sweeps() {
    std::vector<Sweep> sweeps;
    // A volume of `base` with its size, root files and their names' length
    // and hiberfil.sys; the caller sets the rest on what it returns (before
    // the next one is added).
    const auto add = [&sweeps](const std::string &name, const NtfsRecipe &base, uint64_t volumeBytes,
                               uint32_t rootFiles, uint32_t nameLength, const char *hiberfil) -> NtfsRecipe & {
        sweeps.push_back({name, base});
        NtfsRecipe &recipe = sweeps.back().recipe;
        recipe.volumeBytes = volumeBytes;
        recipe.rootFiles = rootFiles;
        recipe.nameLength = nameLength;
        recipe.hiberfil = hiberfil;
        return recipe;
    };
    const uint32_t clusterSizes[] = {512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
    for (int i = 0; i < 8; i++) {
        const uint32_t c = clusterSizes[i];
        const auto sector = [&](uint32_t wanted) { return std::min(wanted, std::min(c, 4096u)); };
        const auto records = [](uint32_t sectorSize) { return std::to_string(std::max(1024u, sectorSize)); };
        const std::string at = " " + std::to_string(c / 1024 ? c / 1024 : c) + (c >= 1024 ? "K" : "B");
        NtfsRecipe r = {};
        r.sectorSize = 512;
        r.clusterSize = c;

        add("20 entries" + at, r, (c >= 16384 ? 32 : 8) * kMiB, 20, 24, "");
        add("300 names of 200+" + at, r, 32 * kMiB, 300, 200 + i * 7, "wake");
        // Small files take a cluster each: room for them on large clusters.
        add("root notes, 1500 names" + at, r, (c <= 16384 ? 24 : c / 256) * kMiB, 1500, 100, "").rootNotes = 30;
        add("5000 entries" + at, r, (c <= 32768 ? 128 : 512) * kMiB, 5000, 40 + 10 * i, "");

        NtfsRecipe &streams = add("streams, links, sparse, records " + records(sector(4096)) + at, r, 64 * kMiB,
                                  100, 40, "wake");
        streams.sectorSize = sector(4096);
        streams.streams = streams.hardLinks = streams.sparse = 1;

        NtfsRecipe &compressed = add(c <= 4096 ? "compressed" + at : "MFT zone x4, no indexing, records 2048" + at,
                                     r, 48 * kMiB, 200, 30, "");
        compressed.streams = 1;
        if (c <= 4096) {
            compressed.compressed = 1;
            compressed.mkntfsOptions = {"-C"};
        } else {
            compressed.sectorSize = sector(2048);
            compressed.mkntfsOptions = {"-z", "4", "-I"};
        }

        NtfsRecipe &pagefile = add("pagefile.sys" + at, r, 256 * kMiB, 50, 30, "");
        pagefile.sparse = 1;
        pagefile.pagefileBytes = 64 * kMiB;

        const uint64_t piecesMiB[] = {16, 24, 16, 48, 64, 128, 256, 512};
        add("$MFT in pieces" + at, r, piecesMiB[i] * kMiB, 20, 30, "").fragmentMft = 1;

        NtfsRecipe &full = add("nearly full" + at, r, (c >= 32768 ? 128 : 64) * kMiB, 200, 30, "wake");
        full.streams = 1;
        full.nearlyFull = 1;

        const uint64_t largeGiB[] = {1, 2, 4, 4, 2, 4, 1, 4};
        const uint32_t largeSector = sector(512u << (i % 4));
        NtfsRecipe &large = add(std::to_string(largeGiB[i]) + " GiB, records " + records(largeSector) + at, r,
                                largeGiB[i] * kGiB, 1000, 80, "");
        large.sectorSize = largeSector;
        large.hardLinks = 1;
        large.largeBytes = 200 * kMiB;
    }
    // What Windows 10 formats beyond 64 KiB: 128 KiB to 2 MiB, whose
    // sectors-per-cluster byte is a negative exponent. mkntfs makes 2 MiB
    // clusters from 512 MiB on.
    for (uint32_t c : {131072u, 524288u, 2097152u}) {
        const std::string at = " " + std::to_string(c / 1024) + "K";
        const uint64_t bytes = std::max<uint64_t>(256 * kMiB, 256 * (uint64_t)c);
        NtfsRecipe r = {};
        r.sectorSize = 512;
        r.clusterSize = c;
        add("20 entries" + at, r, bytes, 20, 24, "");
        NtfsRecipe &streams = add("streams, links, sparse" + at, r, bytes, 100, 40, "wake");
        streams.streams = streams.hardLinks = streams.sparse = 1;
        add("$MFT in pieces" + at, r, 2 * bytes, 20, 30, "").fragmentMft = 1;
        NtfsRecipe &full = add("nearly full" + at, r, bytes, 200, 30, "wake");
        full.nearlyFull = 1;
        add("4 GiB, sector 4096" + at, r, 4 * kGiB, 1000, 80, "").sectorSize = 4096;
    }
    NtfsRecipe base = {};
    base.sectorSize = 512;
    base.clusterSize = 4096;
    NtfsRecipe &tebibyte = add("1 TiB sparse 4K", base, 1024 * kGiB, 500, 60, "");
    tebibyte.largeBytes = 64 * kMiB;
    tebibyte.pagefileBytes = 16 * kMiB;
    return sweeps;
}

double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + now.tv_nsec / 1e9;
}

// The byte ranges of `path` that hold data (between its holes), joined
// with `ranges`.
void AddDataRanges(const std::string &path, std::vector<std::pair<int64_t, int64_t>> *ranges) {
    int64_t at = 0;
    for (const auto &hole : FileHoles(path)) {
        if (hole.first < 0) return;
        if (hole.first > at) ranges->push_back({at, hole.first});
        at = hole.second;
    }
    if (FileSize(path) > at) ranges->push_back({at, FileSize(path)});
}

// After the trim, bytes of the trimmed spans read zero and every other byte
// is as before; only where either image holds data is read (both sparse).
std::string CompareTrimmedImage(const std::string &before, const std::string &after,
                                const std::vector<TrimCommand> &spans) {
    if (FileSize(before) != FileSize(after)) return "the image changed size";
    std::vector<std::pair<int64_t, int64_t>> ranges;
    AddDataRanges(before, &ranges);
    AddDataRanges(after, &ranges);
    std::sort(ranges.begin(), ranges.end());
    const int a = open(before.c_str(), O_RDONLY | O_CLOEXEC), b = open(after.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<uint8_t> was(1 << 20), is(1 << 20);
    std::string difference;
    int64_t done = 0;
    size_t span = 0;
    for (const auto &range : ranges) {
        for (int64_t at = std::max(range.first, done); difference.empty() && at < range.second;) {
            const size_t piece = (size_t)std::min<int64_t>(range.second - at, (int64_t)was.size());
            if (pread(a, was.data(), piece, at) != (ssize_t)piece || pread(b, is.data(), piece, at) != (ssize_t)piece) {
                difference = "cannot read the images at byte " + std::to_string(at);
                break;
            }
            for (size_t i = 0; i < piece; i++) {
                const uint64_t block = (uint64_t)(at + (int64_t)i) / 512;
                while (span < spans.size() && spans[span].lba + spans[span].blocks <= block) span++;
                const int trimmed = span < spans.size() && spans[span].lba <= block;
                if (is[i] != (trimmed ? 0 : was[i])) {
                    difference = "byte " + std::to_string(at + (int64_t)i) + " reads " + std::to_string(is[i]) +
                                 ", expected " + std::to_string(trimmed ? 0 : was[i]) + (trimmed ? " (trimmed)" : "");
                    break;
                }
            }
            at += (int64_t)piece;
            done = at;
        }
        if (!difference.empty()) break;
    }
    if (a >= 0) close(a);
    if (b >= 0) close(b);
    return difference;
}

// What ntfsinfo shows of the shapes the checks once stumbled on.
std::string Traits(const NtfsVolume &volume) {
    std::string traits;
    const std::string mft = RunTool({"ntfsinfo", "-v", "-f", "-i", "0", volume.path}).out;
    const int listed = mft.find("Dumping attribute $ATTRIBUTE_LIST") != std::string::npos;
    // Runs of $MFT's $DATA, wherever its segments are.
    std::istringstream lines(mft);
    std::string line;
    int inData = 0, runs = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("Dumping attribute ", 0) == 0) inData = line.find("$DATA") != std::string::npos;
        unsigned long long vcn, lcn, count;
        if (inData && sscanf(line.c_str(), " 0x%llx 0x%llx 0x%llx", &vcn, &lcn, &count) == 3) runs++;
    }
    if (runs > 1) traits += " $MFT-in-" + std::to_string(runs) + "-runs";
    if (listed) traits += " $MFT-list";
    const std::string root = RunTool({"ntfsinfo", "-f", "-i", "5", volume.path}).out;
    for (size_t at = root.find("from mft record "); at != std::string::npos; at = root.find("from mft record ", at + 1)) {
        if (strtoll(root.c_str() + at + 16, 0, 10) != 5) {
            traits += " root-index-out";
            break;
        }
    }
    if (listed && NtfsInode(volume.path, "hiberfil.sys") >= 0 &&
        ShapeMissing(volume, kHiberfilPastMftFirstSegment).empty()) {
        traits += " hiberfil-past-first-segment";
    }
    return traits;
}

// The ntfs-3g tools' verdict on the volume: "" when sound.
std::string Referee(const std::string &path) {
    const ToolRun fix = RunTool({"ntfsfix", "-n", path});
    if (fix.status != 0 || fix.out.find("processed successfully") == std::string::npos) {
        return "ntfsfix -n: " + fix.out + fix.err;
    }
    const ToolRun info = RunTool({"ntfsinfo", "-m", path});
    if (info.status != 0 || !info.err.empty()) return "ntfsinfo -m: " + info.err;
    NtfsMount mount;
    std::string error;
    if (!MountNtfs(path, "rw", &mount, &error) || !UnmountNtfs(&mount, &error)) return "read-write mount: " + error;
    return "";
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: volume_sweep QUILLET-IMAGE [NAME-FILTER]\n");
        return 64;
    }
    setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 1);
    const std::string program = argv[1], filter = argc > 2 ? argv[2] : "";
    if (!FuseAvailable()) {
        fprintf(stderr, "volume_sweep: needs /dev/fuse (and root) to make volumes through ntfs-3g\n");
        return 77;
    }
    const std::string scratch = MakeScratchDirectory("volume-sweep-");
    if (scratch.empty()) {
        fprintf(stderr, "volume_sweep: no scratch directory\n");
        return 1;
    }
    int made = 0, exact = 0, notMade = 0;
    std::vector<std::string> failures;
    const double start = Now();
    const std::vector<Sweep> sweeps = Sweeps();
    for (size_t n = 0; n < sweeps.size(); n++) {
        const Sweep &sweep = sweeps[n];
        if (sweep.name.find(filter) == std::string::npos) continue;
        const double began = Now();
        const std::string path = scratch + "/volume.img", copy = scratch + "/trimmed.img",
                          list = scratch + "/commands.list";
        NtfsVolume volume;
        std::string error, verdict;
        if (!MakeRecipeNtfsVolume(path, sweep.recipe, 100 + (uint32_t)n, &volume, &error)) {
            notMade++;
            printf("%2zu %-44s NOT MADE: %s\n", n, sweep.name.c_str(), error.c_str());
            fflush(stdout);
            continue;
        }
        const std::string traits = Traits(volume);
        const std::string refused = Referee(path);
        if (!refused.empty() || !ReadNtfsOracle(path, &volume, &error)) {
            notMade++;
            printf("%2zu %-44s NOT SOUND to ntfs-3g: %s%s\n", n, sweep.name.c_str(), refused.c_str(), error.c_str());
            fflush(stdout);
            continue;
        }
        made++;
        unlink(copy.c_str());
        unlink(list.c_str());
        const ToolRun copied = RunTool({"cp", "--sparse=always", path, copy});
        const ToolRun run = copied.status != 0 ? copied : RunTool({program, "--commands", list, copy});
        if (run.status != 0) {
            verdict = "exit " + std::to_string(run.status) + ": " + run.err;
        } else {
            const uint64_t scanned = std::min<uint64_t>((uint64_t)volume.clusters / 8, volume.bitmap.size());
            const std::vector<TrimCommand> expected =
                TrimmedSpans(ReferenceTrimCommands(volume.bitmap, scanned, volume.clusterSize, 0));
            const std::vector<TrimCommand> listed = ListedSpans(list);
            if (listed != expected) {
                verdict = "trimmed " + std::to_string(listed.size()) + " spans, ntfscat's $Bitmap calls for " +
                          std::to_string(expected.size());
                for (size_t i = 0; i < std::max(listed.size(), expected.size()); i++) {
                    if (i >= listed.size() || i >= expected.size() || !(listed[i] == expected[i])) {
                        verdict += "; first difference at span " + std::to_string(i);
                        break;
                    }
                }
            }
            if (verdict.empty()) verdict = CompareTrimmedImage(path, copy, listed);
            if (verdict.empty()) {
                const std::string differ = FilesThatDiffer(copy, volume, 1);
                if (!differ.empty()) verdict = "files differ: " + differ;
            }
            if (verdict.empty()) {
                const ToolRun fix = RunTool({"ntfsfix", "-n", copy});
                if (fix.status != 0) verdict = "ntfsfix -n on the trimmed copy: " + fix.out + fix.err;
            }
            uint64_t bytes = 0;
            for (const TrimCommand &span : listed) bytes += (uint64_t)span.blocks * 512;
            if (verdict.empty()) {
                exact++;
                verdict = "exact, " + std::to_string(bytes) + " bytes";
            } else {
                verdict = "MISMATCH: " + verdict;
            }
        }
        if (verdict.rfind("exact", 0) != 0) failures.push_back(sweep.name + " (" + traits.substr(traits.empty() ? 0 : 1) + "): " + verdict);
        printf("%2zu %-44s%s, %zu files kept, %.1f s: %s\n", n, sweep.name.c_str(), traits.c_str(),
               volume.files.size(), Now() - began, verdict.c_str());
        fflush(stdout);
        unlink(path.c_str());
        unlink(copy.c_str());
    }
    printf("\n%d volumes sound to ntfs-3g, %d trimmed exactly, %zu refused or mismatched, %d not made; %.0f s\n", made,
           exact, failures.size(), notMade, Now() - start);
    for (const std::string &failure : failures) printf("  %s\n", failure.c_str());
    RemoveScratchDirectory(scratch);
    return failures.empty() && notMade == 0 ? 0 : 1;
}
