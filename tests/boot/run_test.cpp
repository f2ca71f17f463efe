// bootsift's run end to end on the host: the engine on the emulated SSD over
// real NTFS (and FAT32) volumes made by make-volumes.sh, the scripted screen,
// keyboard and registry. Each test compares the whole screen.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bootsift_run.h"
#include "emulated_ssd.h"
#include "scripted_platform.h"

namespace {

const char kBanner[] =
    "\n"
    "   ____            _   __  __         __\n"
    "  / __ \\  __  __  (_) / / / / ___    / /_\n"
    " / / / / / / / / / / / / / / / _ \\  / __/\n"
    "/ /_/ / / /_/ / / / / / / / /  __/ / /_\n"
    "\\___\\_\\ \\__,_/ /_/ /_/ /_/  \\___/  \\__/        v1.0\n"
    "___________________________________________________\n\n"
    "                          by the Quillet developers\n\n";

const char kCountdown[] =
    "\rPress any key to abort..5s\rPress any key to abort..4s\rPress any key to abort..3s"
    "\rPress any key to abort..2s\rPress any key to abort..1s";

const char kDone[] = "\rTrimming: [==================================] Done.\n";

// mkntfs leaves the last sector of the 64 MiB file for the backup boot
// sector: 131071 sectors, 16383 clusters of 4096 bytes, 2047 bitmap bytes.
const int64_t kClustersOf64MiB = 16383;

struct Volumes {
    std::string directory;
    std::string fragmented;
    std::string fat32;
    std::string spread;          // free runs at 1, 4, 48 and 97 percent
    std::string firstHundredth;  // free runs below cluster 164 only
};

Volumes volumes;

std::vector<uint8_t> ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Run(const std::string &command) { return system(command.c_str()); }

// A copy of plain.img whose $Bitmap marks every cluster used except the
// given runs [first, end). The bitmap's place is found by its contents.
std::string PatchedVolume(const char *name, const std::vector<std::pair<uint32_t, uint32_t>> &freeRuns) {
    std::string plain = volumes.directory + "/plain.img";
    std::vector<uint8_t> image = ReadFile(plain);
    std::vector<uint8_t> bitmap = ReadFile(volumes.directory + "/plain.bitmap");
    if (bitmap.empty() || image.size() < bitmap.size()) return "";
    std::vector<size_t> places;
    for (size_t at = 0; at + bitmap.size() <= image.size(); at += 4096) {
        if (memcmp(image.data() + at, bitmap.data(), bitmap.size()) == 0) places.push_back(at);
    }
    if (places.size() != 1) return "";
    std::vector<uint8_t> patched(bitmap.size(), 0xFF);
    for (const auto &run : freeRuns) {
        for (uint32_t cluster = run.first; cluster < run.second; cluster++) {
            patched[cluster / 8] &= (uint8_t) ~(1u << (cluster % 8));
        }
    }
    std::string path = volumes.directory + "/" + name;
    if (Run("cp --sparse=always '" + plain + "' '" + path + "'") != 0) return "";
    FILE *file = fopen(path.c_str(), "r+b");
    if (file == 0) return "";
    int written = fseek(file, (long)places[0], SEEK_SET) == 0 &&
                  fwrite(patched.data(), 1, patched.size(), file) == patched.size();
    return fclose(file) == 0 && written ? path : "";
}

class VolumeEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        const char *scratch = getenv("QUILLET_TEST_SCRATCH");
        std::string pattern = std::string(scratch != 0 && *scratch != 0 ? scratch : "/tmp") + "/boot-volumes-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        volumes.directory = name.data();
        ASSERT_EQ(Run(std::string(BOOT_MAKE_VOLUMES) + " '" + volumes.directory + "'"), 0)
            << "make-volumes.sh failed; see " << volumes.directory << "/tools.log";
        volumes.fragmented = volumes.directory + "/fragmented.img";
        volumes.fat32 = volumes.directory + "/fat32.img";
        volumes.spread = PatchedVolume("spread.img", {{200, 1000}, {8000, 8100}, {16000, 16300}});
        volumes.firstHundredth = PatchedVolume("first-hundredth.img", {{20, 60}, {100, 164}});
        ASSERT_FALSE(volumes.spread.empty());
        ASSERT_FALSE(volumes.firstHundredth.empty());
    }
    void TearDown() override {
        if (!volumes.directory.empty() && ::testing::UnitTest::GetInstance()->Passed()) Run("rm -rf '" + volumes.directory + "'");
    }
};

const ::testing::Environment *const environment = ::testing::AddGlobalTestEnvironment(new VolumeEnvironment);

class BootRun : public ::testing::Test {
  protected:
    void SetUp() override {
        HostReset();
        HostDrive()->dryRun = 1;
        ResetScriptedBoot();
        lastPercent = 0;
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
        EXPECT_EQ(HostCountersNow()->openHandles, 0);
        EXPECT_EQ(HostCountersNow()->liveBlocks, 0);
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

TEST_F(BootRun, FreeSpaceInTheFirstHundredthNeverDrawsTheBar) {
    Attach('C', volumes.firstHundredth);
    RunWith({"C"});
    EXPECT_EQ(ScreenText(), Opening('C') + "Trim support: 1\nBitmap size: 2047 bytes\n\n" + kDone);
    EXPECT_EQ(HostCountersNow()->trimCommands, 2u);
}

struct ChunkPercents {
    int64_t totalClusters;
    std::set<int> percents;  // of the chunks the drive accepted
    uint32_t commands;
};

void RecordChunk(void *context, uint64_t lba, uint32_t) {
    ChunkPercents *chunks = (ChunkPercents *)context;
    uint64_t cluster = lba * 512 / 4096;  // the volume starts at byte 0
    chunks->percents.insert((int)(cluster * 100 / (uint64_t)chunks->totalClusters));
    chunks->commands++;
}

// The demo's kind of volume: the bar is checked against the chunks that
// reached the drive, one redraw per new whole percentage.
TEST_F(BootRun, FragmentedVolumeIsTrimmedWithOneRedrawPerPercentage) {
    Attach('D', volumes.fragmented);
    ChunkPercents chunks = {kClustersOf64MiB, {}, 0};
    HostObserveTrim(RecordChunk, &chunks);
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
    chunks.percents.erase(0);
    EXPECT_EQ(drawn, chunks.percents);
    EXPECT_GT(chunks.commands, drawn.size());
    EXPECT_GE(drawn.size(), 10u);
}

}  // namespace
