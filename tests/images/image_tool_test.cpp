// quillet-image's pure parts: argument parsing and MBR partition entries.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "image_tool.h"
#include "ntfs_volumes.h"

namespace {

struct Parsed {
    int ok;
    ImageToolOptions options;  // its strings point into Parse's copy of argv
    std::string image;
    std::string commandsFile;
    std::string error;
};

Parsed Parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "quillet-image");
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    Parsed parsed;
    char error[160] = "";
    parsed.ok = ParseImageToolArguments((int)arguments.size(), argv.data(), &parsed.options, error, sizeof error);
    parsed.error = error;
    if (parsed.ok) parsed.image = parsed.options.image != nullptr ? parsed.options.image : "<none>";
    if (parsed.ok && parsed.options.commandsFile != nullptr) parsed.commandsFile = parsed.options.commandsFile;
    parsed.options.image = parsed.options.commandsFile = nullptr;
    return parsed;
}

TEST(ParseImageToolArguments, TakesEveryOptionBeforeOrAfterTheImage) {
    Parsed all = Parse({"--offset", "32256", "--commands", "list.txt", "--dry-run", "--no-trim", "--fail-at",
                        "4294967295", "disk.img"});
    ASSERT_EQ(all.ok, 1) << all.error;
    EXPECT_EQ(all.options.offset, 32256);
    EXPECT_EQ(all.options.partition, 0);
    EXPECT_EQ(all.image, "disk.img");
    EXPECT_EQ(all.commandsFile, "list.txt");
    EXPECT_EQ(all.options.dryRun, 1);
    EXPECT_EQ(all.options.noTrim, 1);
    EXPECT_EQ(all.options.failAt, 4294967295u);

    Parsed after = Parse({"disk.img", "--partition", "4"});
    ASSERT_EQ(after.ok, 1) << after.error;
    EXPECT_EQ(after.options.partition, 4);
    EXPECT_EQ(after.options.offset, 0);
    EXPECT_EQ(after.image, "disk.img");

    Parsed plain = Parse({"disk.img"});
    ASSERT_EQ(plain.ok, 1);
    EXPECT_EQ(plain.commandsFile, "");
    EXPECT_EQ(plain.options.offset | plain.options.partition | plain.options.dryRun | plain.options.noTrim, 0);
    EXPECT_EQ(plain.options.failAt, 0u);

    // The largest offset a signed 64-bit position holds; "-" alone is a name.
    Parsed largest = Parse({"--offset", "9223372036854775807", "-"});
    ASSERT_EQ(largest.ok, 1) << largest.error;
    EXPECT_EQ(largest.options.offset, INT64_MAX);
    EXPECT_EQ(largest.image, "-");
}

TEST(ParseImageToolArguments, RefusesBadArgumentsWithAReason) {
    const struct {
        std::vector<std::string> arguments;
        const char *message;
    } cases[] = {
        {{}, "no image given"},
        {{"--dry-run"}, "no image given"},
        {{"a.img", "b.img"}, "only one image, not b.img"},
        {{"--verbose", "a.img"}, "unknown option --verbose"},
        {{"-n", "a.img"}, "unknown option -n"},
        {{"--offset", "1024", "--partition", "1", "a.img"}, "exclude each other"},
        {{"--partition", "2", "--offset", "0", "a.img"}, "exclude each other"},
        {{"--offset", "9223372036854775808", "a.img"}, "--offset needs a byte count"},
        {{"--offset", "18446744073709551616", "a.img"}, "--offset needs a byte count"},
        {{"--offset", "-1", "a.img"}, "--offset needs a byte count"},
        {{"--offset", "+1", "a.img"}, "--offset needs a byte count"},
        {{"--offset", " 1", "a.img"}, "--offset needs a byte count"},
        {{"--offset", "1k", "a.img"}, "--offset needs a byte count"},
        {{"--offset", "", "a.img"}, "--offset needs a byte count"},
        {{"a.img", "--offset"}, "--offset needs a byte count"},
        {{"--partition", "0", "a.img"}, "--partition needs a number from 1 to 4"},
        {{"--partition", "5", "a.img"}, "--partition needs a number from 1 to 4"},
        {{"--partition", "x", "a.img"}, "--partition needs a number from 1 to 4"},
        {{"--fail-at", "0", "a.img"}, "--fail-at needs a command number from 1"},
        {{"--fail-at", "4294967296", "a.img"}, "--fail-at needs a command number from 1"},
        {{"a.img", "--fail-at"}, "--fail-at needs a command number from 1"},
        {{"a.img", "--commands"}, "--commands needs a file name"},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const std::string &argument : c.arguments) shown += " '" + argument + "'";
        Parsed parsed = Parse(c.arguments);
        EXPECT_EQ(parsed.ok, 0) << shown;
        EXPECT_NE(parsed.error.find(c.message), std::string::npos) << shown << ": " << parsed.error;
    }
}

TEST(ParseImageToolArguments, KeepsTheReasonWithinItsBuffer) {
    std::string option = "--" + std::string(300, 'x');
    char *argv[] = {(char *)"quillet-image", &option[0], nullptr};
    char error[24];
    memset(error, '#', sizeof error);
    ImageToolOptions options;
    EXPECT_EQ(ParseImageToolArguments(2, argv, &options, error, 16), 0);
    EXPECT_EQ(strlen(error), 15u);
    EXPECT_EQ(error[16], '#');
}

TEST(MbrPartitionExtent, ReadsEachOfTheFourEntries) {
    uint8_t sector[512] = {0};
    PutMbrEntry(sector, 1, 0x07, 63, 2048);
    PutMbrEntry(sector, 2, 0x07, 2048, 1);
    PutMbrEntry(sector, 3, 0x0C, 8388608, 100);  // 4 GiB in
    PutMbrEntry(sector, 4, 0x07, 0xFFFFFFFF, 1);  // the last sector a 32-bit entry names
    const int64_t expected[] = {32256, 1 << 20, (int64_t)4 << 30, (int64_t)0xFFFFFFFF * 512};
    const uint32_t lengths[] = {2048, 1, 100, 1};
    for (int number = 1; number <= 4; number++) {
        int64_t offset = -1, length = -1;
        EXPECT_EQ(MbrPartitionExtent(sector, number, &offset, &length), 1) << number;
        EXPECT_EQ(offset, expected[number - 1]) << number;
        EXPECT_EQ(length, (int64_t)lengths[number - 1] * 512) << number;
    }
}

TEST(MbrPartitionExtent, RefusesWhatIsNoPartitionToTrim) {
    uint8_t sector[512] = {0};
    PutMbrEntry(sector, 1, 0x07, 2048, 4096);
    PutMbrEntry(sector, 2, 0x00, 8192, 4096);  // no type: unused
    PutMbrEntry(sector, 3, 0x07, 0, 4096);     // would be the MBR itself
    PutMbrEntry(sector, 4, 0x07, 8192, 0);     // no sectors
    int64_t offset = -1, length = -1;
    for (int number : {2, 3, 4, 0, 5, -1}) {
        EXPECT_EQ(MbrPartitionExtent(sector, number, &offset, &length), 0) << number;
    }
    EXPECT_EQ(offset, -1);

    uint8_t guard[512] = {0};
    PutMbrEntry(guard, 1, 0xEE, 1, 0xFFFFFFFF);  // a GPT disk's protective entry
    EXPECT_EQ(MbrPartitionExtent(guard, 1, &offset, &length), 0);

    sector[511] = 0;  // no boot signature: not an MBR at all
    EXPECT_EQ(MbrPartitionExtent(sector, 1, &offset, &length), 0);
    EXPECT_EQ(offset, -1);
}

}  // namespace
