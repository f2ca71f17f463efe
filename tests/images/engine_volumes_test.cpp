// The engine on real NTFS volumes, through the image binding: every
// cluster size mkntfs offers from 512 bytes to 64 KiB, each volume placed at
// the start of a disk, 63 sectors in, at 1 MiB and at 4 GiB (sparse); and
// volumes of 4096-byte sectors, whose TRIM blocks are still 512 bytes.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "emulated_ssd.h"
#include "ntfs_volumes.h"
#include "trim_engine.h"

namespace {

struct Format {
    uint32_t sectorSize;
    uint32_t clusterSize;
};
const Format kFormats[] = {{512, 512},   {512, 1024},  {512, 2048},   {512, 4096},
                           {512, 8192},  {512, 65536}, {4096, 4096}, {4096, 65536}};
const uint32_t kClusterSizes[] = {512, 1024, 2048, 4096, 8192, 65536};
const uint32_t kLargeSectorClusterSizes[] = {4096, 65536};
const int64_t kOffsets[] = {0, 63 * 512, 1 << 20, (int64_t)4 << 30};
const uint64_t kVolumeBytes = 32 << 20;
const uint32_t kDisk = 2;
const char kLetter = 'E';

struct SinkCall {
    uint32_t firstCluster;
    uint32_t clusterCount;
};

std::vector<TrimCommand> observedCommands;
std::vector<SinkCall> sinkCalls;

void ObserveCommand(void *, uint64_t lba, uint32_t blocks) { observedCommands.push_back({lba, blocks}); }

void RecordSink(TrimVolume *, uint32_t firstCluster, uint32_t clusterCount) {
    sinkCalls.push_back({firstCluster, clusterCount});
}

std::string scratch;
NtfsVolume volumes[sizeof kFormats / sizeof kFormats[0]];
std::string setUpError;

// One volume per format for the whole program, whichever tests run: making
// them is the slow part, and placing a copy at each offset is cheap.
class Volumes : public testing::Environment {
public:
    void SetUp() override {
        scratch = MakeScratchDirectory("engine-volumes-");
        if (scratch.empty()) {
            setUpError = "no scratch directory";
            return;
        }
        for (size_t i = 0; i < sizeof kFormats / sizeof kFormats[0]; i++) {
            const Format &format = kFormats[i];
            std::string path = scratch + "/volume-" + std::to_string(format.sectorSize) + "-" +
                               std::to_string(format.clusterSize) + ".img";
            if (!MakeNtfsVolume(path, format.sectorSize, format.clusterSize, kVolumeBytes, 1000 + (uint32_t)i,
                                &volumes[i], &setUpError)) {
                return;
            }
        }
    }
    void TearDown() override { RemoveScratchDirectory(scratch); }
};
testing::Environment *const volumesEnvironment = testing::AddGlobalTestEnvironment(new Volumes);

// Sector size, cluster size, offset of the volume on the disk.
typedef std::tuple<uint32_t, uint32_t, int64_t> Placement;

class RealVolume : public testing::TestWithParam<Placement> {
protected:
    void SetUp() override { ASSERT_EQ(setUpError, ""); }
    void TearDown() override {
        HostReset();
        observedCommands.clear();
        sinkCalls.clear();
    }
};

const NtfsVolume &VolumeOf(uint32_t sectorSize, uint32_t clusterSize) {
    size_t i = 0;
    while (kFormats[i].sectorSize != sectorSize || kFormats[i].clusterSize != clusterSize) i++;
    return volumes[i];
}

TEST_P(RealVolume, OpensTrimsExactlyTheFreeSpaceAndKeepsEveryFile) {
    const uint32_t sectorSize = std::get<0>(GetParam());
    const uint32_t clusterSize = std::get<1>(GetParam());
    const int64_t offset = std::get<2>(GetParam());
    const NtfsVolume &made = VolumeOf(sectorSize, clusterSize);
    const std::string disk = scratch + "/disk.img";
    unlink(disk.c_str());
    ASSERT_TRUE(CopySparse(made.path, 0, disk, offset, (int64_t)made.volumeBytes));

    HostReset();
    ASSERT_TRUE(HostAttachDisk(kDisk, disk.c_str(), 1));
    HostAttachVolume(kLetter, kDisk, offset);
    HostObserveTrim(ObserveCommand, 0);

    TrimVolume *volume = 0;
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
    EXPECT_EQ(volume->mftPosition, offset + made.mftCluster * clusterSize + 6 * (int64_t)made.mftRecordSize);

    // The bitmap as ntfscat prints it.
    const uint32_t scanned = (uint32_t)std::min<uint64_t>(made.clusters / 8, made.bitmap.size());
    ASSERT_EQ(volume->bitmapSize, scanned);
    ASSERT_NE(volume->bitmap, nullptr);
    EXPECT_EQ(memcmp(volume->bitmap, made.bitmap.data(), scanned), 0);

    EXPECT_EQ(TrimFreeSpace(volume, RecordSink), 1);
    ReleaseTrimVolume(volume);
    EXPECT_EQ(HostCountersNow()->openHandles, 0);
    EXPECT_EQ(HostCountersNow()->liveBlocks, 0);
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
        EXPECT_EQ(sinkCalls[i].clusterCount, command.blocks * 512 / clusterSize) << "command " << i;
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
    EXPECT_EQ(FilesThatDiffer(trimmedVolume, made), "");
    unlink(trimmedVolume.c_str());
    unlink(disk.c_str());
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

}  // namespace
