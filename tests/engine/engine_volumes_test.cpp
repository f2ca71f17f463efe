// The engine on real NTFS volumes, through the image binding: every
// cluster size from 512 bytes to 2 MiB, each volume placed at
// the start of a disk, 63 sectors in, at 1 MiB and at 4 GiB (sparse);
// volumes of 4096-byte sectors, whose TRIM blocks are still 512 bytes; a
// volume grown by ntfsresize; and volumes aged through a FUSE mount.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "emulated_ssd.h"
#include "ntfs_reader.h"
#include "nothing_left.h"
#include "ntfs_volumes.h"
#include "trim_engine.h"
#include "volume_state.h"

namespace {

// 128 KiB to 2 MiB: what Windows 10 formats as well, stored as a negative
// exponent (0xF8 to 0xF4 with 512-byte sectors).
const uint32_t kClusterSizes[] = {512, 1024, 2048, 4096, 8192, 65536, 131072, 524288, 2097152};
const uint32_t kLargeSectorClusterSizes[] = {4096, 65536, 2097152};
const int64_t kOffsets[] = {0, 63 * 512, 1 << 20, (int64_t)4 << 30};
const uint64_t kVolumeBytes = 32 << 20;
const uint64_t kAgedVolumeBytes = 128 << 20;
const uint32_t kDisk = 2;
const char kLetter = 'E';

struct SinkCall {
    uint32_t firstCluster;
    uint32_t clusterCount;
};

std::vector<TrimCommand> observedCommands;
std::vector<std::pair<int64_t, uint32_t>> readsServed;

void RecordRead(int64_t position, uint32_t size) { readsServed.push_back({position, size}); }

// The bytes read more than once, "" when none was: each read set against
// the reads before it in the order of the disk.
std::string BytesReadTwice(std::vector<std::pair<int64_t, uint32_t>> reads) {
    std::sort(reads.begin(), reads.end());
    std::string twice;
    for (size_t i = 1; i < reads.size(); i++) {
        const int64_t previousEnd = reads[i - 1].first + reads[i - 1].second;
        if (reads[i].first < previousEnd) {
            twice += "bytes " + std::to_string(reads[i].first) + " to " +
                     std::to_string(std::min<int64_t>(previousEnd, reads[i].first + reads[i].second)) + "\n";
        }
        if (previousEnd > reads[i].first + reads[i].second) reads[i] = reads[i - 1];
    }
    return twice;
}
std::vector<SinkCall> sinkCalls;

void RecordSink(TrimVolume *, uint32_t firstCluster, uint32_t clusterCount) {
    sinkCalls.push_back({firstCluster, clusterCount});
}

std::string scratch;

// The volumes are made once per run of the program, on first use: making
// them is the slow part, and placing a copy at each offset is cheap.
class Scratch : public testing::Environment {
public:
    void TearDown() override { RemoveScratchDirectory(scratch); }
};
testing::Environment *const scratchEnvironment = testing::AddGlobalTestEnvironment(new Scratch);

enum Kind { kFilled, kAged, kGrown };

// The volume of one kind and format, made when first asked for; null with
// the reason in *error when it could not be made.
const NtfsVolume *VolumeOf(Kind kind, uint32_t sectorSize, uint32_t clusterSize, std::string *error) {
    static std::map<std::tuple<Kind, uint32_t, uint32_t>, NtfsVolume> made;
    const auto key = std::make_tuple(kind, sectorSize, clusterSize);
    if (made.count(key) != 0) return &made[key];
    if (scratch.empty()) scratch = MakeScratchDirectory("engine-volumes-");
    NtfsVolume volume;
    const std::string path = scratch + "/volume-" + std::to_string(kind) + "-" + std::to_string(sectorSize) + "-" +
                             std::to_string(clusterSize) + ".img";
    const uint32_t seed = 1000 + sectorSize + clusterSize;
    int ok = !scratch.empty();
    if (kind == kAged) {
        ok = ok && MakeRecipeNtfsVolume(path, AgedNtfsRecipe(sectorSize, clusterSize, kAgedVolumeBytes), seed, &volume, error);
    } else {
        // Grown: made at 40 MiB, then resized to 96 MiB by ntfsresize.
        // Room for the files' clusters; mkntfs makes 2 MiB clusters from 512 MiB on.
        const uint64_t bytes = std::max<uint64_t>(kVolumeBytes, 256 * (uint64_t)clusterSize);
        ok = ok && MakeNtfsVolume(path, sectorSize, clusterSize, kind == kGrown ? 40 << 20 : bytes, seed, &volume,
                                  error);
        if (kind == kGrown) ok = ok && GrowNtfsVolume(96 << 20, &volume, error);
    }
    if (!ok) return nullptr;
    return &(made[key] = volume);
}

// Places the volume at `offset` on a disk image, opens and trims it through
// the image binding, and holds the result to ntfs-3g's view of the volume:
// geometry, bitmap, the commands its free space calls for, every used byte
// unchanged and every file readable.
void TrimAndCheck(const NtfsVolume &made, uint32_t sectorSize, int64_t offset, int filesThroughMount) {
    const uint32_t clusterSize = made.clusterSize;
    const std::string disk = scratch + "/disk.img";
    unlink(disk.c_str());
    ASSERT_TRUE(CopySparse(made.path, 0, disk, offset, (int64_t)made.volumeBytes));

    HostReset();
    ASSERT_TRUE(HostAttachDisk(kDisk, disk.c_str(), 1));
    HostAttachVolume(kLetter, kDisk, offset);

    TrimVolume *volume = 0;
    readsServed.clear();
    HostWatchReads(RecordRead);
    ASSERT_EQ(OpenTrimVolume(kLetter, &volume, 0), kOpenOk);
    ASSERT_NE(volume, nullptr);

    // Geometry as ntfsinfo sees it.
    EXPECT_EQ(volume->diskNumber, kDisk);
    EXPECT_EQ(volume->partitionOffset, offset);
    EXPECT_EQ(volume->trimSupported, 1);
    EXPECT_EQ(volume->oemId, 0x5346544Eu);
    EXPECT_EQ(volume->bytesPerSector, sectorSize);
    EXPECT_EQ(made.sectorSize, sectorSize);
    EXPECT_EQ(volume->sectorsPerCluster, clusterSize / sectorSize);
    EXPECT_EQ(volume->bytesPerCluster, clusterSize);
    EXPECT_EQ(volume->minRunClusters, clusterSize >= 4096 ? 1u : 4096 / clusterSize);
    EXPECT_EQ(volume->totalSectors / volume->sectorsPerCluster, made.clusters);
    EXPECT_LE(volume->totalSectors, (int64_t)(made.volumeBytes / sectorSize));
    EXPECT_EQ(volume->totalClusters, made.clusters);
    EXPECT_EQ(volume->mftRecordSize, made.mftRecordSize);
    EXPECT_EQ(volume->mftPosition, offset + made.mftCluster * clusterSize + 6 * (int64_t)made.mftRecordSize);

    // The bitmap as ntfscat prints it, covering the whole volume.
    const uint32_t scanned = (uint32_t)(made.clusters / 8);
    ASSERT_GE(made.bitmap.size(), (made.clusters + 7) / 8);
    ASSERT_EQ(volume->bitmapSize, scanned);
    ASSERT_NE(volume->bitmap, nullptr);
    EXPECT_EQ(memcmp(volume->bitmap, made.bitmap.data(), scanned), 0);

    // Every cluster a record claims is marked used: the check passes. The
    // open and the checks of the offline tools read each byte once: the
    // boot sector, every record of $MFT, the metafiles' data.
    const int state = CheckVolumeState(volume);  // ntfsresize leaves its volume marked dirty
    EXPECT_TRUE(state == kVolumeClean || state == kVolumeDirty) << VolumeStateText(state);
    ClaimFinding finding;
    EXPECT_EQ(CheckVolumeClaims(volume, &finding), 1)
        << "kind " << finding.kind << " cluster " << finding.cluster << " record " << finding.record;
    HostWatchReads(nullptr);
    EXPECT_EQ(BytesReadTwice(readsServed), "");
    ASSERT_FALSE(readsServed.empty());
    EXPECT_EQ(readsServed[0], std::make_pair(offset, 512u));

    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    uint32_t accepted = 0;
    const TrimRange *ranges = HostTrimmedRanges(&accepted);
    for (uint32_t i = 0; i < accepted; i++) observedCommands.push_back({ranges[i].lba, ranges[i].blockCount});
    ReleaseTrimVolume(volume);
    EXPECT_NOTHING_LEFT();
    EXPECT_EQ(HostCountersNow()->malformedRequests, 0u);

    const std::vector<TrimCommand> expected = ReferenceTrimCommands(made.bitmap, scanned, clusterSize, offset);
    // The volumes are made so that free space is fragmented and some runs
    // need more than one command; a near-empty list would prove little.
    ASSERT_GT(expected.size(), 8u);
    EXPECT_EQ(FormatCommandList(observedCommands), FormatCommandList(expected));

    // Progress reports one call per command, in the volume's clusters.
    ASSERT_EQ(sinkCalls.size(), observedCommands.size());
    for (size_t i = 0; i < sinkCalls.size(); i++) {
        const TrimCommand &command = observedCommands[i];
        EXPECT_EQ(sinkCalls[i].firstCluster, (uint32_t)(((int64_t)command.lba * 512 - offset) / clusterSize))
            << "command " << i;
        // A command inside one large cluster still counts it.
        EXPECT_EQ(sinkCalls[i].clusterCount, std::max(command.blocks * 512 / clusterSize, 1u)) << "command " << i;
    }

    std::vector<uint8_t> before, after;
    ASSERT_TRUE(ReadBytes(made.path, 0, (int64_t)made.volumeBytes, &before));
    ASSERT_TRUE(ReadBytes(disk, offset, (int64_t)made.volumeBytes, &after));
    EXPECT_EQ(FileSize(disk), offset + (int64_t)made.volumeBytes);
    EXPECT_EQ(CompareAfterTrim(before, after, observedCommands, offset, made), "");

    // The file system itself still reads every file back.
    std::string trimmedVolume = disk;
    if (offset != 0) {
        trimmedVolume = scratch + "/trimmed-volume.img";
        unlink(trimmedVolume.c_str());
        ASSERT_TRUE(CopySparse(disk, offset, trimmedVolume, 0, (int64_t)made.volumeBytes));
    }
    EXPECT_EQ(FilesThatDiffer(trimmedVolume, made, filesThroughMount), "");
    unlink(trimmedVolume.c_str());
    unlink(disk.c_str());
}

// Sector size, cluster size, offset of the volume on the disk.
typedef std::tuple<uint32_t, uint32_t, int64_t> Placement;

class VolumeTest : public testing::Test {
protected:
    void TearDown() override {
        HostReset();
        observedCommands.clear();
        sinkCalls.clear();
    }
};
class RealVolume : public VolumeTest, public testing::WithParamInterface<Placement> {};
class AgedVolume : public RealVolume {};

TEST_P(RealVolume, OpensTrimsExactlyTheFreeSpaceAndKeepsEveryFile) {
    std::string error;
    const NtfsVolume *made = VolumeOf(kFilled, std::get<0>(GetParam()), std::get<1>(GetParam()), &error);
    ASSERT_NE(made, nullptr) << error;
    TrimAndCheck(*made, std::get<0>(GetParam()), std::get<2>(GetParam()), 0);
}

// ntfsresize grew the volume: $Bitmap's $FILE_NAME still gives the old
// size, its $DATA the new one, and the whole volume is trimmed as it is now.
TEST_F(VolumeTest, GrownByNtfsresize) {
    std::string error;
    const NtfsVolume *made = VolumeOf(kGrown, 512, 4096, &error);
    ASSERT_NE(made, nullptr) << error;
    ASSERT_EQ(made->clusters, (96 << 20) / 4096 - 1);
    TrimAndCheck(*made, 512, 1 << 20, 0);
}

// Volumes aged through ntfs-3g's FUSE mount, whose records before $Bitmap
// have attribute lists and $FILE_NAMEs out of their first 512 bytes.
TEST_P(AgedVolume, WalksPastRecordsThatAreNotTheBitmapAndTrimsExactly) {
    if (!FuseAvailable()) GTEST_SKIP() << "/dev/fuse is missing: no FUSE mount to age NTFS volumes with ntfs-3g";
    std::string error;
    const NtfsVolume *made = VolumeOf(kAged, std::get<0>(GetParam()), std::get<1>(GetParam()), &error);
    ASSERT_NE(made, nullptr) << error;
    // The layout this test is about, read from the records' raw bytes.
    ASSERT_EQ(AgedLayoutMissing(made->path, *made), "");
    ASSERT_GT(made->files.size(), 1000u);
    TrimAndCheck(*made, std::get<0>(GetParam()), std::get<2>(GetParam()), 1);
}

std::string CaseName(const testing::TestParamInfo<Placement> &info) {
    return "Sectors" + std::to_string(std::get<0>(info.param)) + "Clusters" +
           std::to_string(std::get<1>(info.param)) + "At" + std::to_string(std::get<2>(info.param));
}

INSTANTIATE_TEST_SUITE_P(AllClusterSizesAndOffsets, RealVolume,
                         testing::Combine(testing::Values(512u), testing::ValuesIn(kClusterSizes),
                                          testing::ValuesIn(kOffsets)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(LargeSectors, RealVolume,
                         testing::Combine(testing::Values(4096u), testing::ValuesIn(kLargeSectorClusterSizes),
                                          testing::Values((int64_t)63 * 512, (int64_t)1 << 20)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(AllClusterSizes, AgedVolume,
                         testing::Values(Placement(512, 512, 63 * 512), Placement(512, 2048, 1 << 20),
                                         Placement(512, 4096, 63 * 512), Placement(512, 65536, 1 << 20),
                                         Placement(4096, 4096, 63 * 512)),
                         CaseName);

}  // namespace

