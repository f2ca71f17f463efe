// The pieces of bootsift that need no volume: argument splitting, the
// progress bar and the BootExecute edit. The desktop's tests cover the
// same list logic (common/boot_execute_list.h) from the scheduling side.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

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

// The bar is drawn only when the whole percentage changes (the last one
// drawn starts at 0), in 51 columns with at most 33 cells full, in 64-bit
// arithmetic: 32-bit products would wrap near 2^32 clusters.
TEST(Progress, DrawsEachNewWholePercentage) {
    const struct {
        int64_t totalClusters;
        std::vector<uint32_t> firstClusters;
        const char *screen;
    } cases[] = {
        {1000, {0, 9, 10, 19, 500},
         "\rTrimming: [=                                 ]   1%"
         "\rTrimming: [=================                 ]  50%"},
        {100000000, {99000000}, "\rTrimming: [================================= ]  99%"},
        {0xFFFFFFFFll, {0xFFFFFFF0u}, "\rTrimming: [================================= ]  99%"},
        {0xFFFFFFFFll, {0x80000000u}, "\rTrimming: [=================                 ]  50%"},
    };
    for (const auto &c : cases) {
        ResetScriptedBoot();
        int32_t lastPercent = 0;
        TrimVolume volume;
        memset(&volume, 0, sizeof volume);
        volume.totalClusters = c.totalClusters;
        for (uint32_t first : c.firstClusters) ShowTrimProgress(&lastPercent, &volume, first, 8);
        EXPECT_EQ(ScreenText(), c.screen) << c.totalClusters;
    }
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

std::vector<uint8_t> Cut(std::vector<uint8_t> value, size_t bytes) {
    value.resize(value.size() - bytes);
    return value;
}

TEST_F(Restore, TakesOutOurEntriesAndKeepsEveryOtherInOrder) {
    ASSERT_EQ(kSystemDefault.size(), 42u);
    const struct {
        const char *what;
        std::vector<uint8_t> value, written;
    } cases[] = {
        {"as scheduled", MultiSz({"autocheck autochk *", "bootsift C"}), kSystemDefault},
        {"others around ours",
         MultiSz({"first thing", "bootsift C", "autocheck autochk *", "BootSift D", "\tbootsift\tE", "last thing"}),
         MultiSz({"first thing", "autocheck autochk *", "last thing"})},
        {"only the word bootsift itself is ours",
         MultiSz({"autocheck autochk *", "bootsifter C", "bootsift.exe D", "xbootsift E", "bootsift"}),
         MultiSz({"autocheck autochk *", "bootsifter C", "bootsift.exe D", "xbootsift E"})},
        {"nothing left", MultiSz({"bootsift C", "BOOTSIFT D"}), kSystemDefault},
        {"empty value", {}, kSystemDefault},
        {"our entry unterminated", Cut(MultiSz({"autocheck autochk *", "other", "bootsift C"}), 4),
         MultiSz({"autocheck autochk *", "other"})},
        {"another entry unterminated", Cut(MultiSz({"autocheck autochk *", "other"}), 4),
         MultiSz({"autocheck autochk *", "other"})},
        {"entries after the list's end", MultiSz({"autocheck autochk *", "bootsift C", "", "stray"}),
         kSystemDefault},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Seed(c.value);
        RestoreBootExecute();
        EXPECT_EQ(Boot().registry.value, c.written);
    }
    EXPECT_EQ(Boot().registry.writes, (int)(sizeof cases / sizeof cases[0]));

    Boot().registry.valuePresent = 0;
    Boot().registry.value.clear();
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

}  // namespace
