// bootsift's run end to end on the host: the engine on the emulated SSD over
// real NTFS volumes made with mkntfs and a FAT32 one, the scripted screen,
// keyboard and registry. Each test compares the whole screen.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bootsift_run.h"
#include "emulated_ssd.h"
#include "nothing_left.h"
#include "ntfs_volumes.h"
#include "quillet_version.h"
#include "scripted_platform.h"

namespace {

// Five rows of art with the version ("v1.0") ending at column 51, the 51-underscore rule
// and the credit right-aligned to column 51.
const char kBanner[] =
    "\n"
    "   ____            _   __  __         __\n"
    "  / __ \\  __  __  (_) / / / / ___    / /_\n"
    " / / / / / / / / / / / / / / / _ \\  / __/\n"
    "/ /_/ / / /_/ / / / / / / / /  __/ / /_\n"
    "\\___\\_\\ \\__,_/ /_/ /_/ /_/  \\___/  \\__/        v" QUILLET_VERSION_SHORT "\n"
    "___________________________________________________\n\n"
    "                          by the Quillet developers\n\n";

const char kCountdown[] =
    "\rPress any key to abort..5s\rPress any key to abort..4s\rPress any key to abort..3s"
    "\rPress any key to abort..2s\rPress any key to abort..1s";

const char kDone[] = "\rTrimming: [==================================] Done.\n";

// 64 MiB volumes of 4096-byte clusters: mkntfs leaves the last sector for
// the backup boot sector, so 16383 clusters and 2047 bitmap bytes.
struct Volumes {
    std::string directory;
    NtfsVolume fragmented;       // files written, every other one truncated
    std::string fat32;
    std::string spread;          // free runs at 1, 4, 48 and 97 percent
    std::string firstHundredth;  // free runs below cluster 164 only
    std::string lying;           // calls clusters of $MFT free
};

Volumes volumes;

// A copy of the fragmented volume whose $Bitmap marks every cluster used
// except the given runs [first, end). The bitmap's place is found by its
// contents.
std::string PatchedVolume(const char *name, const std::vector<std::pair<uint32_t, uint32_t>> &freeRuns) {
    const NtfsVolume &made = volumes.fragmented;
    std::vector<uint8_t> image;
    if (!ReadBytes(made.path, 0, (int64_t)made.volumeBytes, &image)) return "";
    std::vector<size_t> places;
    for (size_t at = 0; at + made.bitmap.size() <= image.size(); at += 4096) {
        if (memcmp(image.data() + at, made.bitmap.data(), made.bitmap.size()) == 0) places.push_back(at);
    }
    if (places.size() != 1) return "";
    std::vector<uint8_t> patched(made.bitmap.size(), 0xFF);
    for (const auto &run : freeRuns) {
        for (uint32_t cluster = run.first; cluster < run.second; cluster++) {
            patched[cluster / 8] &= (uint8_t) ~(1u << (cluster % 8));
        }
    }
    std::string path = volumes.directory + "/" + name;
    int ok = CopySparse(made.path, 0, path, 0, (int64_t)made.volumeBytes) &&
             WriteBytes(path, (int64_t)places[0], patched.data(), patched.size());
    return ok ? path : "";
}

class VolumeEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        volumes.directory = MakeScratchDirectory("boot-volumes-");
        ASSERT_FALSE(volumes.directory.empty());
        std::string error;
        ASSERT_TRUE(MakeNtfsVolume(volumes.directory + "/fragmented.img", 512, 4096, 64 << 20, 30,
                                   &volumes.fragmented, &error))
            << error;
        ASSERT_EQ(volumes.fragmented.clusters, 16383);
        volumes.fat32 = volumes.directory + "/fat32.img";
        ASSERT_TRUE(CopySparse("/dev/zero", 0, volumes.fat32, 0, 40 << 20));
        ToolRun mkfs = RunTool({"mkfs.fat", "-F", "32", volumes.fat32});
        ASSERT_EQ(mkfs.status, 0) << mkfs.err;
        volumes.spread = PatchedVolume("spread.img", {{200, 1000}, {8000, 8100}, {16000, 16300}});
        volumes.firstHundredth = PatchedVolume("first-hundredth.img", {{40, 80}, {100, 164}});
        ASSERT_FALSE(volumes.spread.empty());
        ASSERT_FALSE(volumes.firstHundredth.empty());
        volumes.lying = PatchedVolume("lying.img", {{20, 60}});
        ASSERT_FALSE(volumes.lying.empty());
    }
    void TearDown() override { RemoveScratchDirectory(volumes.directory); }
};

const ::testing::Environment *const environment = ::testing::AddGlobalTestEnvironment(new VolumeEnvironment);

class BootRun : public ::testing::Test {
  protected:
    void SetUp() override {
        HostReset();
        ResetScriptedBoot();
        // As the desktop program schedules it: the system's entry and ours.
        Boot().registry.valuePresent = 1;
        Boot().registry.value = MultiSz({"autocheck autochk *", "bootsift C"});
    }

    void Attach(char letter, const std::string &path) {
        ASSERT_TRUE(HostAttachDisk(0, path.c_str(), 0)) << path;
        ASSERT_NE(HostAttachVolume(letter, 0, 0), nullptr);
    }

    // Runs with the given arguments after the program's name and checks what
    // every path shares: status 0, one-second waits, the five-second pause,
    // nothing left open, and BootExecute back to the system's single entry.
    void RunWith(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "bootsift");
        std::vector<char *> vector;
        for (std::string &argument : arguments) vector.push_back(&argument[0]);
        vector.push_back(0);
        EXPECT_EQ(BootsiftMain((int)arguments.size(), vector.data(), 0, 0), 0);
        for (int64_t timeout : Boot().waitTimeouts) EXPECT_EQ(timeout, -10000000);
        EXPECT_EQ(Boot().sleeps, std::vector<int64_t>{-50000000});
        EXPECT_NOTHING_LEFT();
        EXPECT_EQ(Boot().liveBlocks, 0);
        EXPECT_EQ(Boot().registry.openKeys, 0);
        EXPECT_EQ(Boot().registry.value, MultiSz({"autocheck autochk *"}));
    }
};

std::string Bar(int cells, int percent) {
    char tail[16];
    snprintf(tail, sizeof tail, "] %3d%%", percent);
    return "\rTrimming: [" + std::string((size_t)cells, '=') + std::string((size_t)(34 - cells), ' ') + tail;
}

std::string Opening(char letter) {
    return std::string(kBanner) + kCountdown + "\rCollecting information for Partition " + letter + " ...\n";
}

TEST_F(BootRun, WrongArgumentCountShowsOneLineAndNoBanner) {
    RunWith({});
    EXPECT_EQ(ScreenText(), "Invalid argument!\n");
    ResetScriptedBoot();
    RunWith({"C", "D"});
    EXPECT_EQ(ScreenText(), "Invalid argument!\n");
    EXPECT_TRUE(Boot().waitTimeouts.empty());
    EXPECT_STREQ(HostOpenedNames(), "");
}

TEST_F(BootRun, KeyInTheThirdSecondAbortsBeforeTheVolumeIsTouched) {
    Attach('C', volumes.spread);
    Boot().keyAtWait = 3;
    RunWith({"C"});
    EXPECT_EQ(ScreenText(), std::string(kBanner) +
                                "\rPress any key to abort..5s\rPress any key to abort..4s"
                                "\rPress any key to abort..3s\nUser aborted.\n");
    EXPECT_EQ(Boot().waitTimeouts.size(), 3u);
    EXPECT_STREQ(HostOpenedNames(), "");
}

TEST_F(BootRun, Fat32VolumeIsRefusedAndTheSecondLetterIgnored) {
    Attach('F', volumes.fat32);
    RunWith({"FX"});
    EXPECT_EQ(ScreenText(), Opening('F') + "Unsupported file system! \n");
    EXPECT_EQ(Boot().waitTimeouts.size(), 5u);
    EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
}

TEST_F(BootRun, MissingVolumeShowsItsOpenStatus) {
    RunWith({"Q"});
    EXPECT_EQ(ScreenText(), Opening('Q') + "Access partition failed! \n");
}

TEST_F(BootRun, DriveWithoutTrimEndsInTrimError) {
    Attach('C', volumes.spread);
    HostDrive()->trimSupported = 0;
    RunWith({"C"});
    EXPECT_EQ(ScreenText(), Opening('C') + "Trim support: 0\nBitmap size: 2047 bytes\n\n\nTrim error! \n");
    EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
}

TEST_F(BootRun, SpreadFreeSpaceDrawsTheBarAtEachNewPercentage) {
    Attach('C', volumes.spread);
    RunWith({"C"});
    // Chunks start at clusters 200, 712 (the rest of the first run), 8000
    // and 16000 of 16383.
    EXPECT_EQ(ScreenText(), Opening('C') + "Trim support: 1\nBitmap size: 2047 bytes\n\n" + Bar(1, 1) + Bar(2, 4) +
                                Bar(17, 48) + Bar(33, 97) + kDone);
    EXPECT_EQ(HostCountersNow()->trimCommands, 4u);
}

TEST_F(BootRun, TrimFailureMidwayKeepsTheBarAsFarAsItCame) {
    Attach('C', volumes.spread);
    HostDrive()->failTrimAt = 3;
    RunWith({"C"});
    EXPECT_EQ(ScreenText(), Opening('C') + "Trim support: 1\nBitmap size: 2047 bytes\n\n" + Bar(1, 1) + Bar(2, 4) +
                                Bar(17, 48) + "\nTrim error! \n");
}

// A bitmap that calls clusters of $MFT free is refused before any TRIM.
TEST_F(BootRun, BitmapThatCallsClaimedClustersFreeIsRefused) {
    Attach('C', volumes.lying);
    RunWith({"C"});
    EXPECT_EQ(ScreenText(), Opening('C') + "Read partition bitmap failed! clusters 20 to 26 of MFT record 0 are marked "
                                           "free in $Bitmap: run chkdsk /f\n");
    EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
}

// 2 MiB clusters, as Windows 10 formats them (sectors-per-cluster byte
// 0xF4): every command is one cluster, and the bar moves by the cluster
// each command starts at, as ntfscat's $Bitmap calls them free.
TEST_F(BootRun, TwoMebibyteClustersTrimExactlyAndDrawTheBarByCluster) {
    NtfsVolume made;
    std::string error;
    ASSERT_TRUE(MakeNtfsVolume(volumes.directory + "/clusters-2m.img", 512, 2 << 20, 512 << 20, 31, &made, &error))
        << error;
    Attach('C', made.path);
    RunWith({"C"});
    const std::vector<TrimCommand> commands =
        ReferenceTrimCommands(made.bitmap, (uint64_t)made.clusters / 8, made.clusterSize, 0);
    ASSERT_GT(commands.size(), 8u);
    std::string bars;
    int drawn = 0;
    for (const TrimCommand &command : commands) {
        ASSERT_EQ(command.blocks, 4096u);  // one cluster
        const uint64_t cluster = command.lba * 512 / made.clusterSize;
        const int percent = (int)(cluster * 100 / (uint64_t)made.clusters);
        if (percent > drawn) bars += Bar((int)(cluster * 33 / (uint64_t)made.clusters) + 1, drawn = percent);
    }
    EXPECT_EQ(ScreenText(), Opening('C') + "Trim support: 1\nBitmap size: " + std::to_string(made.clusters / 8) +
                                " bytes\n\n" + bars + kDone);
    EXPECT_EQ(HostCountersNow()->trimCommands, commands.size());
}

TEST_F(BootRun, FreeSpaceInTheFirstHundredthNeverDrawsTheBar) {
    Attach('C', volumes.firstHundredth);
    RunWith({"C"});
    EXPECT_EQ(ScreenText(), Opening('C') + "Trim support: 1\nBitmap size: 2047 bytes\n\n" + kDone);
    EXPECT_EQ(HostCountersNow()->trimCommands, 2u);
}

// The demo's kind of volume: the bar is checked against the chunks that
// reached the drive, one redraw per new whole percentage.
TEST_F(BootRun, FragmentedVolumeIsTrimmedWithOneRedrawPerPercentage) {
    Attach('D', volumes.fragmented.path);
    RunWith({"D"});
    std::string screen = ScreenText();
    std::string head = Opening('D') + "Trim support: 1\nBitmap size: 2047 bytes\n\n";
    ASSERT_EQ(screen.compare(0, head.size(), head), 0) << screen;
    ASSERT_GE(screen.size(), head.size() + strlen(kDone));
    ASSERT_EQ(screen.compare(screen.size() - strlen(kDone), std::string::npos, kDone), 0) << screen;

    std::string bars = screen.substr(head.size(), screen.size() - head.size() - strlen(kDone));
    const size_t kLine = 52;  // "\r" and 51 columns
    ASSERT_EQ(bars.size() % kLine, 0u) << bars;
    std::set<int> drawn;
    int previous = 0;
    for (size_t at = 0; at < bars.size(); at += kLine) {
        std::string line = bars.substr(at, kLine);
        int percent = atoi(line.c_str() + 47);
        size_t cells = line.find_first_not_of('=', 12) - 12;
        EXPECT_EQ(line, Bar((int)cells, percent));
        EXPECT_GT(percent, previous);
        EXPECT_LT(percent, 100);
        // filled = cluster * 33 / total lies between the bounds the
        // percentage allows.
        EXPECT_GE((int)cells - 1, percent * 33 / 100);
        EXPECT_LE((int)cells - 1, (percent + 1) * 33 / 100);
        drawn.insert(percent);
        previous = percent;
    }
    // The percentages of the chunks the drive accepted, one range each.
    uint32_t count = 0;
    const TrimRange *ranges = HostTrimmedRanges(&count);
    std::set<int> percents;
    for (uint32_t i = 0; i < count; i++) {
        uint64_t cluster = ranges[i].lba * 512 / 4096;  // the volume starts at byte 0
        percents.insert((int)(cluster * 100 / (uint64_t)volumes.fragmented.clusters));
    }
    EXPECT_EQ(HostCountersNow()->trimCommands, count);
    percents.erase(0);
    EXPECT_EQ(drawn, percents);
    EXPECT_GT(count, drawn.size());
    EXPECT_GE(drawn.size(), 10u);
}

}  // namespace
