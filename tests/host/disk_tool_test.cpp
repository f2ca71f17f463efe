// quillet-disk's pure parts: its arguments and the answer to its question.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk_tool.h"

namespace {

struct DiskParse {
    int ok;
    std::string partition, commandsFile, error;
    int dryRun, yes;
};

DiskParse ParseDisk(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "quillet-disk");
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    DiskToolOptions options;
    char error[160] = "";
    DiskParse parsed = {ParseDiskToolArguments((int)arguments.size(), argv.data(), &options, error, sizeof error),
                        "", "", error, 0, 0};
    if (parsed.ok) {
        parsed.partition = options.partition;
        parsed.commandsFile = options.commandsFile != nullptr ? options.commandsFile : "<none>";
        parsed.dryRun = options.dryRun;
        parsed.yes = options.yes;
    }
    return parsed;
}

}  // namespace

TEST(ParseDiskToolArguments, TakesEachOptionAndRefusesTheRestWithAReason) {
    const struct {
        std::vector<std::string> arguments;
        const char *partition, *commandsFile, *error;
        int dryRun, yes;
    } cases[] = {
        {{"--dry-run", "--commands", "list", "--yes", "/dev/sda1"}, "/dev/sda1", "list", "", 1, 1},
        {{"/dev/sdb2", "--yes"}, "/dev/sdb2", "<none>", "", 0, 1},
        {{"/dev/sdb2"}, "/dev/sdb2", "<none>", "", 0, 0},
        {{}, "", "", "no partition given", 0, 0},
        {{"--yes", "--dry-run"}, "", "", "no partition given", 0, 0},
        {{"/dev/sda1", "--commands"}, "", "", "--commands needs a file name", 0, 0},
        {{"--commands", "", "/dev/sda1"}, "", "", "--commands needs a file name", 0, 0},
        {{"--offset", "0", "/dev/sda1"}, "", "", "unknown option --offset", 0, 0},
        {{"/dev/sda1", "/dev/sdb1"}, "", "", "only one partition, not /dev/sdb1", 0, 0},
        {{"--yes", "/dev/sda1", "--yes"}, "", "", "--yes given twice", 0, 0},
    };
    for (const auto &c : cases) {
        DiskParse parsed = ParseDisk(c.arguments);
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        EXPECT_EQ(parsed.ok, c.error[0] == 0);
        EXPECT_EQ(parsed.error, c.error);
        EXPECT_EQ(parsed.partition, c.partition);
        EXPECT_EQ(parsed.commandsFile, c.commandsFile);
        EXPECT_EQ(parsed.dryRun, c.dryRun);
        EXPECT_EQ(parsed.yes, c.yes);
    }
}

TEST(AnswerIsYes, OnlyYOrYesMeanYes) {
    for (const char *yes : {"y\n", "Y\n", "yes\n", "Yes\r\n", "YES"}) EXPECT_EQ(AnswerIsYes(yes), 1) << yes;
    for (const char *no : {"\n", "", "n\n", "no\n", " y\n", "yes please\n", "yess\n", "ja\n"}) {
        EXPECT_EQ(AnswerIsYes(no), 0) << no;
    }
}
