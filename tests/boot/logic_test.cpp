// The pieces of bootsift that need no volume: argument splitting, the
// progress bar, the banner's shape and the BootExecute edit.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boot_execute_list.h"
#include "boot_platform.h"
#include "bootsift_run.h"
#include "command_line.h"
#include "scripted_platform.h"

namespace {

std::vector<std::string> Split(const std::string &line) {
    uint32_t stringBytes = 0;
    uint32_t count = CountArguments(line.data(), (uint32_t)line.size(), &stringBytes);
    std::vector<char *> vector(count + 1, (char *)1);
    std::vector<char> block(stringBytes + 1, 'x');
    SplitArguments(line.data(), (uint32_t)line.size(), vector.data(), block.data());
    EXPECT_EQ(vector[count], nullptr);
    EXPECT_EQ(block[stringBytes], 'x') << "wrote past the bytes it counted";
    std::vector<std::string> arguments;
    for (uint32_t i = 0; i < count; i++) arguments.push_back(vector[i]);
    return arguments;
}

using Arguments = std::vector<std::string>;

TEST(CommandLine, SplitsAtEveryByteUpToSpaceAndFromTheHighHalf) {
    EXPECT_EQ(Split("bootsift C"), (Arguments{"bootsift", "C"}));
    EXPECT_EQ(Split("bootsift   C more"), (Arguments{"bootsift", "C", "more"}));
    EXPECT_EQ(Split("\tbootsift \t C\r\n"), (Arguments{"bootsift", "C"}));
    EXPECT_EQ(Split("boot\x01sift\x7f" "C"), (Arguments{"boot", "sift\x7f" "C"}));
    EXPECT_EQ(Split("b\xe9te\x80" "C\xff"), (Arguments{"b", "te", "C"}));
    EXPECT_EQ(Split(""), Arguments{});
    EXPECT_EQ(Split(" \t "), Arguments{});
    // A NUL inside the counted text separates as well.
    EXPECT_EQ(Split(std::string("bootsift\0C", 10)), (Arguments{"bootsift", "C"}));
}

TEST(CommandLine, QuotesAndBackslashesAreOrdinaryBytes) {
    EXPECT_EQ(Split("bootsift \"C\""), (Arguments{"bootsift", "\"C\""}));
    EXPECT_EQ(Split("\"C:\\Windows\\bootsift.exe\" \\C"), (Arguments{"\"C:\\Windows\\bootsift.exe\"", "\\C"}));
}

class Progress : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetScriptedBoot();
        lastPercent = 0;
        memset(&volume, 0, sizeof volume);
    }
    TrimVolume volume;
};

TEST_F(Progress, DrawsOnlyWhenTheWholePercentageChanges) {
    volume.totalClusters = 1000;
    ShowTrimProgress(&volume, 0, 8);
    ShowTrimProgress(&volume, 9, 8);  // still 0 percent, like lastPercent at start
    EXPECT_EQ(ScreenText(), "");
    ShowTrimProgress(&volume, 10, 8);
    ShowTrimProgress(&volume, 19, 8);
    ShowTrimProgress(&volume, 500, 8);
    EXPECT_EQ(ScreenText(), "\rTrimming: [=                                 ]   1%"
                            "\rTrimming: [=================                 ]  50%");
    EXPECT_EQ(lastPercent, 50);
}

TEST_F(Progress, LineIsFiftyOneColumnsWithAtMostThirtyThreeCellsFull) {
    volume.totalClusters = 100000000;
    ShowTrimProgress(&volume, 99000000, 512);
    EXPECT_EQ(ScreenText(), "\rTrimming: [================================= ]  99%");
    EXPECT_EQ(ScreenText().size(), 1u + 51u);
}

TEST_F(Progress, ClusterNumbersNearTwoToTheThirtySecondStayExact) {
    // 32-bit products would wrap here and draw a small percentage.
    volume.totalClusters = 0xFFFFFFFFll;
    ShowTrimProgress(&volume, 0xFFFFFFF0u, 512);
    EXPECT_EQ(ScreenText(), "\rTrimming: [================================= ]  99%");
    ResetScriptedBoot();
    ShowTrimProgress(&volume, 0x80000000u, 512);
    EXPECT_EQ(ScreenText(), "\rTrimming: [=================                 ]  50%");
}

TEST(Banner, ArtAndCreditEndAtColumnFiftyOne) {
    ResetScriptedBoot();
    char name[] = "bootsift";
    char *arguments[] = {name, name, 0};
    Boot().keyAtWait = 1;
    Boot().registry.keyOpenFails = 1;
    BootsiftMain(2, arguments, 0, 0);
    std::string screen = ScreenText();
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = screen.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(screen.substr(at, end - at));
    }
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines[0], "");
    for (int row = 1; row <= 5; row++) {
        EXPECT_LE(lines[row].size(), 51u) << lines[row];
        std::string art = lines[row].substr(0, row == 5 ? 47 : std::string::npos);
        EXPECT_EQ(art.find_first_not_of(" /\\_()|,"), std::string::npos) << lines[row];
    }
    EXPECT_EQ(lines[5].size(), 51u);
    EXPECT_EQ(lines[5].substr(47), "v1.0");
    EXPECT_EQ(lines[6], std::string(51, '_'));
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(lines[8].size(), 51u);
    EXPECT_EQ(lines[8][0], ' ') << "padded on the left with spaces";
    EXPECT_NE(lines[8][50], ' ');
    EXPECT_EQ(lines[9], "");
}

class Restore : public ::testing::Test {
  protected:
    void SetUp() override { ResetScriptedBoot(); }
    void Seed(const std::vector<uint8_t> &value) {
        Boot().registry.valuePresent = 1;
        Boot().registry.value = value;
    }
    void TearDown() override {
        EXPECT_EQ(Boot().registry.openKeys, 0);
        EXPECT_EQ(Boot().liveBlocks, 0);
        EXPECT_EQ(ScreenText(), "");
    }
};

const std::vector<uint8_t> kSystemDefault = MultiSz({"autocheck autochk *"});

TEST_F(Restore, ScheduledValueBecomesTheFortyTwoByteDefault) {
    ASSERT_EQ(kSystemDefault.size(), 42u);
    Seed(MultiSz({"autocheck autochk *", "bootsift C"}));
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.value, kSystemDefault);
    EXPECT_EQ(Boot().registry.writes, 1);
}

TEST_F(Restore, OtherSoftwaresEntriesStayInTheirOrder) {
    Seed(MultiSz({"first thing", "bootsift C", "autocheck autochk *", "BootSift D", "\tbootsift\tE", "last thing"}));
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.value, MultiSz({"first thing", "autocheck autochk *", "last thing"}));
}

TEST_F(Restore, OnlyTheWordBootsiftItselfIsOurs) {
    Seed(MultiSz({"autocheck autochk *", "bootsifter C", "bootsift.exe D", "xbootsift E", "bootsift"}));
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.value,
              MultiSz({"autocheck autochk *", "bootsifter C", "bootsift.exe D", "xbootsift E"}));
}

TEST_F(Restore, NothingLeftOrNothingThereGivesTheDefault) {
    Seed(MultiSz({"bootsift C", "BOOTSIFT D"}));
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.value, kSystemDefault);

    Boot().registry.valuePresent = 0;
    Boot().registry.value.clear();
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.value, kSystemDefault);

    Seed({});
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.value, kSystemDefault);
    EXPECT_EQ(Boot().registry.writes, 3);
}

TEST_F(Restore, UnterminatedValueIsWrittenBackWellFormed) {
    std::vector<uint8_t> value = MultiSz({"autocheck autochk *", "other", "bootsift C"});
    value.resize(value.size() - 4);  // "bootsift C" without its NUL nor the list's
    Seed(value);
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.value, MultiSz({"autocheck autochk *", "other"}));

    value = MultiSz({"autocheck autochk *", "other"});
    value.resize(value.size() - 4);
    Seed(value);
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.value, MultiSz({"autocheck autochk *", "other"}));
}

TEST_F(Restore, EntriesAfterTheListsEndAreNotEntries) {
    std::vector<uint8_t> value = MultiSz({"autocheck autochk *", "bootsift C"});
    std::vector<uint8_t> stray = MultiSz({"stray"});
    value.insert(value.end(), stray.begin(), stray.end());
    Seed(value);
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.value, kSystemDefault);
}

TEST_F(Restore, KeyThatCannotBeOpenedIsLeftAlone) {
    Seed(MultiSz({"autocheck autochk *", "bootsift C"}));
    Boot().registry.keyOpenFails = 1;
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.writes, 0);
    EXPECT_EQ(Boot().registry.value, MultiSz({"autocheck autochk *", "bootsift C"}));
}

// A list that is there but cannot be read whole must not be replaced by the
// default: that would lose other software's entries.
TEST_F(Restore, ValueThatCannotBeReadIsLeftAlone) {
    Seed(MultiSz({"autocheck autochk *", "other", "bootsift C"}));
    Boot().registry.valueUnreadable = 1;
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.writes, 0);

    Boot().registry.valueUnreadable = 0;
    Boot().allocationsUntilFailure = 2;  // the value is read, the edited copy has no room
    RestoreBootExecute();
    EXPECT_EQ(Boot().registry.writes, 0);
    EXPECT_EQ(Boot().registry.value, MultiSz({"autocheck autochk *", "other", "bootsift C"}));
}

TEST(BootExecuteList, DesktopsAnsiValueKeepsTheSystemEntry) {
    // The 32 single-byte characters the desktop program schedules.
    const char scheduled[] = "autocheck autochk *\0bootsift C\0";
    char kept[40];
    uint32_t units = 0;
    uint32_t entries = 0;
    ASSERT_TRUE(KeepForeignBootEntries(scheduled, 32, kept, sizeof kept, &units, &entries));
    EXPECT_EQ(units, 20u);
    EXPECT_EQ(entries, 1u);
    EXPECT_EQ(memcmp(kept, "autocheck autochk *", 20), 0);
    // The kept entries must fit: nothing is written past the capacity.
    EXPECT_FALSE(KeepForeignBootEntries(scheduled, 32, kept, 19, &units, &entries));
}

}  // namespace
