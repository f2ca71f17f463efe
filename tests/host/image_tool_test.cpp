// The front ends' pure parts: argument parsing (both tools), the answer to
// quillet-disk's question, MBR partition entries, the reasons of a failed
// trim and the mapping-pair runs the volume checks walk.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "disk_tool.h"
#include "exit_status.h"
#include "image_tool.h"
#include "mft_record.h"
#include "ntfs_volumes.h"
#include "offline_checks.h"
#include "run_report.h"

namespace {

struct Parsed {
    int ok;
    ImageToolOptions options;  // its strings point into Parse's copy of argv
    std::string image;
    std::string commandsFile;
    std::string error;
};

// Calls a front end's parser on argv made of `arguments` after the program
// name; the options' strings point into `arguments`.
template <typename Options>
int CallParser(int (*parse)(int, char **, Options *, char *, uint32_t), std::vector<std::string> &arguments,
               Options *options, std::string *error) {
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    char text[160] = "";
    int ok = parse((int)arguments.size(), argv.data(), options, text, sizeof text);
    *error = text;
    return ok;
}

Parsed Parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "quillet-image");
    Parsed parsed;
    parsed.ok = CallParser(ParseImageToolArguments, arguments, &parsed.options, &parsed.error);
    ToolCommonOptions &common = parsed.options.common;
    if (parsed.ok) parsed.image = common.operand != nullptr ? common.operand : "<none>";
    if (parsed.ok && common.commandsFile != nullptr) parsed.commandsFile = common.commandsFile;
    common.operand = common.commandsFile = nullptr;
    return parsed;
}

struct DiskParse {
    int ok;
    std::string partition, commandsFile, error;
    int dryRun, yes;
};

DiskParse ParseDisk(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "quillet-disk");
    DiskToolOptions options;
    DiskParse parsed = {0, "", "", "", 0, 0};
    parsed.ok = CallParser(ParseDiskToolArguments, arguments, &options, &parsed.error);
    if (parsed.ok) {
        const ToolCommonOptions &common = options.common;
        parsed.partition = common.operand != nullptr ? common.operand : "";
        parsed.commandsFile = common.commandsFile != nullptr ? common.commandsFile : "<none>";
        parsed.dryRun = common.dryRun;
        parsed.yes = options.yes;
    }
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
    EXPECT_EQ(all.options.common.dryRun, 1);
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
    EXPECT_EQ(plain.options.offset | plain.options.partition | plain.options.common.dryRun | plain.options.noTrim, 0);
    EXPECT_EQ(plain.options.failAt, 0u);

    // The largest offset a signed 64-bit position holds; "-" alone is a name.
    Parsed largest = Parse({"--offset", "9223372036854775807", "-"});
    ASSERT_EQ(largest.ok, 1) << largest.error;
    EXPECT_EQ(largest.options.offset, INT64_MAX);
    EXPECT_EQ(largest.image, "-");

    // Short forms, --option=value, and `--` ending the options.
    Parsed shortForms = Parse({"-n", "-q", "-o", "512", "-c", "l", "--", "-v"});
    ASSERT_EQ(shortForms.ok, 1) << shortForms.error;
    EXPECT_EQ(shortForms.options.common.dryRun & shortForms.options.common.quiet, 1);
    EXPECT_EQ(shortForms.options.offset, 512);
    EXPECT_EQ(shortForms.commandsFile, "l");
    EXPECT_EQ(shortForms.image, "-v");
    Parsed equals = Parse({"--partition=2", "--commands=l", "--verbose", "--fail-at=7", "a.img"});
    ASSERT_EQ(equals.ok, 1) << equals.error;
    EXPECT_EQ(equals.options.partition, 2);
    EXPECT_EQ(equals.commandsFile, "l");
    EXPECT_EQ(equals.options.common.verbose, 1);
    EXPECT_EQ(equals.options.failAt, 7u);
}

TEST(ParseImageToolArguments, RefusesBadArgumentsWithAReason) {
    const struct {
        std::vector<std::string> arguments;
        const char *message;
    } cases[] = {
        {{}, "no image given"},
        {{"--dry-run"}, "no image given"},
        {{"a.img", "b.img"}, "only one image, not b.img"},
        {{"--bogus", "a.img"}, "unknown option --bogus"},
        {{"-x", "a.img"}, "unknown option -x"},
        {{"-nx", "a.img"}, "unknown option -x"},
        {{"--dry-run=1", "a.img"}, "--dry-run takes no value"},
        {{"-q", "-v", "a.img"}, "--quiet and --verbose exclude each other"},
        {{"-o", "1", "-p", "1", "a.img"}, "exclude each other"},
        {{"--offset=", "a.img"}, "--offset needs a byte count"},
        {{"--commands=", "a.img"}, "--commands needs a file name"},
        {{"a.img", "-o"}, "--offset needs a byte count"},
        {{"-n", "--dry-run", "a.img"}, "--dry-run given twice"},
        {{"--", "a.img", "-n"}, "only one image, not -n"},
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
        {{"--offset", "0", "--offset", "512", "a.img"}, "--offset given twice"},
        {{"--partition", "1", "a.img", "--partition", "1"}, "--partition given twice"},
        {{"--commands", "a", "--commands", "b", "a.img"}, "--commands given twice"},
        {{"--fail-at", "1", "--fail-at", "2", "a.img"}, "--fail-at given twice"},
        {{"--dry-run", "a.img", "--dry-run"}, "--dry-run given twice"},
        {{"--no-trim", "--no-trim", "a.img"}, "--no-trim given twice"},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const std::string &argument : c.arguments) shown += " '" + argument + "'";
        Parsed parsed = Parse(c.arguments);
        EXPECT_EQ(parsed.ok, 0) << shown;
        EXPECT_NE(parsed.error.find(c.message), std::string::npos) << shown << ": " << parsed.error;
    }
}

TEST(ParseImageToolArguments, HelpEndsTheParse) {
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{"--help"}, {"-h"}, {"a.img", "--help", "--bogus"}, {"--version"}, {"-V", "-h"}}) {
        Parsed parsed = Parse(arguments);
        EXPECT_EQ(parsed.ok, 1) << parsed.error;
        EXPECT_EQ(parsed.options.common.help | parsed.options.common.version, 1);
    }
    EXPECT_EQ(Parse({"a.img"}).options.common.help | Parse({"a.img"}).options.common.version, 0);
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

TEST(CheckMbrPartition, ReadsEachOfTheFourEntries) {
    uint8_t sector[512] = {0};
    PutMbrEntry(sector, 1, 0x07, 63, 2048 - 63);
    PutMbrEntry(sector, 2, 0x07, 2048, 1);
    PutMbrEntry(sector, 3, 0x0C, 8388608, 100);  // 4 GiB in
    PutMbrEntry(sector, 4, 0x07, 0xFFFFFFFF, 1);  // the last sector a 32-bit entry names
    const int64_t expected[] = {32256, 1 << 20, (int64_t)4 << 30, (int64_t)0xFFFFFFFF * 512};
    const uint32_t lengths[] = {2048 - 63, 1, 100, 1};
    const int64_t disk = (int64_t)0x100000000 * 512;
    for (int number = 1; number <= 4; number++) {
        int64_t offset = -1, length = -1;
        int other = 0;
        EXPECT_EQ(CheckMbrPartition(sector, number, disk, &offset, &length, &other), kPartitionOk) << number;
        EXPECT_EQ(offset, expected[number - 1]) << number;
        EXPECT_EQ(length, (int64_t)lengths[number - 1] * 512) << number;
    }
}

// Entry 1 is sound in every table; the cases spoil another entry or the
// disk around it.
TEST(CheckMbrPartition, RefusesEntriesThatAreNoVolumeToTrim) {
    const int64_t disk = 64 << 20;
    const struct {
        int number;
        uint8_t type;
        uint32_t first, count;
        int asked;  // the entry checked
        int64_t diskBytes;
        int check, other;
    } cases[] = {
        {2, 0x00, 8192, 4096, 2, disk, kPartitionEmpty, 0},       // no type
        {2, 0x07, 0, 4096, 2, disk, kPartitionEmpty, 0},          // the MBR itself
        {2, 0x07, 8192, 0, 2, disk, kPartitionEmpty, 0},          // no sectors
        {2, 0x05, 8192, 4096, 2, disk, kPartitionExtended, 0},
        {2, 0x0F, 8192, 4096, 2, disk, kPartitionExtended, 0},
        {2, 0x85, 8192, 4096, 2, disk, kPartitionExtended, 0},
        {4, 0xEE, 1, 0xFFFFFFFF, 1, disk, kPartitionGpt, 0},      // any protective entry
        {2, 0x07, 4000, 100, 1, disk, kPartitionOverlaps, 2},     // inside entry 1
        {2, 0x07, 4000, 100, 2, disk, kPartitionOverlaps, 1},
        {3, 0x05, 2048, 8192, 1, disk, kPartitionOverlaps, 3},    // an extended container around it
        {2, 0x07, 6143, 1, 1, disk, kPartitionOverlaps, 2},       // its last sector
        {2, 0x07, 6144, 1, 1, disk, kPartitionOk, 0},             // right after it
        {2, 0x00, 4000, 100, 1, disk, kPartitionOk, 0},           // an unused entry overlaps nothing
        {2, 0x07, 8192, 4096, 1, 6144 * 512, kPartitionOk, 0},    // entry 1 ends at the disk's end
        {2, 0x07, 8192, 4096, 1, 6144 * 512 - 1, kPartitionPastEnd, 0},
        {2, 0x07, 8192, 4096, 1, -1, kPartitionPastEnd, 0},       // size unknown
    };
    for (const auto &c : cases) {
        uint8_t sector[512] = {0};
        PutMbrEntry(sector, 1, 0x07, 2048, 4096);
        PutMbrEntry(sector, c.number, c.type, c.first, c.count);
        int64_t offset = -1, length = -1;
        int other = 0;
        int check = CheckMbrPartition(sector, c.asked, c.diskBytes, &offset, &length, &other);
        std::string shown = "entry " + std::to_string(c.number) + " type " + std::to_string(c.type) + " at " +
                            std::to_string(c.first) + ", asked " + std::to_string(c.asked);
        EXPECT_EQ(check, c.check) << shown;
        EXPECT_EQ(other, c.other) << shown;
        if (check != kPartitionOk) {
            EXPECT_EQ(offset, -1) << shown;
        }
    }

    uint8_t sector[512] = {0};
    PutMbrEntry(sector, 1, 0x07, 2048, 4096);
    int64_t offset = -1, length = -1;
    int other = 0;
    for (int number : {0, 5, -1}) {
        EXPECT_EQ(CheckMbrPartition(sector, number, disk, &offset, &length, &other), kPartitionNoMbr) << number;
    }
    sector[511] = 0;  // no boot signature: not an MBR at all
    EXPECT_EQ(CheckMbrPartition(sector, 1, disk, &offset, &length, &other), kPartitionNoMbr);
}

TEST(DescribeTrimFailure, NamesTheReasonAndItsExitStatus) {
    const struct {
        TrimRunReport report;
        int listError, listCloseError;
        const char *reason;
        int status;
    } cases[] = {
        {{kTrimNotSupported, 0, 0, 0, 0, {0, 0}, 0}, 0, 0, "the drive does not support TRIM; no command was sent",
         kExitTrimFailed},
        {{kTrimRefused, 3, 3, 8192, 3, {123456, 4096}, 1}, 0, 0,
         "the drive refused TRIM command 3 (LBA 123456, 4096 blocks)", kExitTrimFailed},
        {{kTrimRefused, 2, 70, 8192, 2, {8, 65528}, 64}, 0, 0,
         "the drive refused TRIM command 2 (LBA 8, 65528 blocks, the first of 64 ranges)", kExitTrimFailed},
        {{kTrimPastLbaLimit, 4, 4, 0, 5, {((uint64_t)1 << 48) - 8, 16}, 1}, 0, 0,
         "TRIM command 5 would reach past LBA 2^48, the limit of an ATA range entry (LBA 281474976710648, 16 "
         "blocks); it was not sent",
         kExitTrimFailed},
        {{kTrimPassThroughFailed, 4, 4, 0, 5, {8, 8}, 1}, 0, 0,
         "TRIM command 5 could not be sent: the pass-through request failed", kExitIoError},
        {{kTrimStopped, 6, 6, 0, 0, {0, 0}, 0}, ENOSPC, 0,
         "writing the command list failed after TRIM command 6 (No space left", kExitIoError},
        {{kTrimDone, 7, 7, 0, 0, {0, 0}, 0}, 0, EIO, "closing the command list failed (Input/output error)",
         kExitIoError},
    };
    for (const auto &c : cases) {
        char text[224];
        EXPECT_EQ(DescribeTrimFailure(&c.report, c.listError, c.listCloseError, text, sizeof text), c.status) << text;
        EXPECT_EQ(std::string(text).find(c.reason), 0u) << text;
    }
    // A drive of 4096-byte sectors has TRIM, just not for 512-byte LBAs.
    const struct {
        DriveIdentity identity;
        const char *reason;
    } missing[] = {
        {{1, 1, 4096, ""},
         "the drive's logical sectors are 4096 bytes; ATA TRIM is sent only to drives of 512-byte sectors"},
        {{0, 1, 4096, ""}, ""},
        {{1, 1, 512, ""}, ""},
    };
    for (const auto &c : missing) EXPECT_EQ(MissingTrimReason(c.identity), c.reason);
}

// A list whose close fails may lack its last lines: the run must fail even
// when every command was accepted.
TEST(FinishTrimRun, FailsWhenClosingTheCommandListFails) {
    TrimRun run;
    StartTrimRun(&run, "quillet-image", "a.img");
    testing::internal::CaptureStderr();  // first: it takes a descriptor of its own
    run.commands = dup(STDOUT_FILENO);
    close(run.commands);  // so that FinishTrimRun's close fails (EBADF)
    TrimRunReport report = {};
    report.outcome = kTrimDone;
    int status = FinishTrimRun(&run, &report);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, kExitIoError);
    EXPECT_EQ(said, "quillet-image: a.img: Trim error! closing the command list failed (Bad file descriptor); it may "
                    "lack lines\n");
    EXPECT_EQ(run.commands, -1);
}

TEST(DescribeFoundInstead, NamesWhatLiesThereInsteadOfNtfs) {
    auto with = [](std::vector<std::pair<size_t, std::string>> parts, size_t size) {
        std::vector<uint8_t> bytes(size, 0);
        for (const auto &part : parts) std::copy(part.second.begin(), part.second.end(), bytes.begin() + part.first);
        return bytes;
    };
    const std::string bootSignature("\x55\xaa", 2);
    const struct {
        std::vector<uint8_t> bytes;
        const char *found;
    } cases[] = {
        {{}, "nothing"},
        {with({}, 4096), "only zeros"},
        {with({{0, "QFI\xfb"}}, 4096), "a qcow2 image header"},
        {with({{0, "vhdxfile"}}, 4096), "a VHDX image header"},
        {with({{3, "NTFS    "}, {510, bootSignature}}, 512), "an NTFS boot sector whose geometry is unsound"},
        {with({{3, "MSDOS5.0"}, {54, "FAT16   "}, {510, bootSignature}}, 4096), "a FAT file system"},
        {with({{3, "mkfs.fat"}, {82, "FAT32   "}, {510, bootSignature}}, 4096), "a FAT file system"},
        {with({{3, "EXFAT   "}, {510, bootSignature}}, 4096), "an exFAT file system"},
        {with({{1080, "\x53\xef"}}, 4096), "an ext2/3/4 file system"},
        {with({{1080, "\x53"}}, 1081), "data of an unknown kind"},  // the magic cut off
        {with({{446 + 4, "\x07"}, {510, bootSignature}}, 512), "an MBR partition table"},
        {with({{446 + 16 + 4, "\xee"}, {510, bootSignature}}, 512), "a GPT disk's protective MBR"},
        {with({{0, "\xeb"}, {510, bootSignature}}, 512), "a boot sector of another kind"},
        {with({{100, "x"}}, 512), "data of an unknown kind"},
    };
    for (const auto &c : cases) {
        std::string found = DescribeFoundInstead(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(found.rfind(c.found, 0), 0u) << found;
    }
}

TEST(FormatTrimSummary, SaysSentOnlyForWhatWasSentAndWhatTheImageGaveBack) {
    const struct {
        TrimSummary summary;
        const char *text;
    } cases[] = {
        {{87, 1 << 20, 1, 4096, 4096}, "Dry run: would send 87 TRIM commands for 1048576 bytes; nothing was sent\n"},
        {{3, 8192, 0, -1, -1}, "3 TRIM commands sent; the drive accepted 8192 bytes\n"},
        {{3, 8192, 0, 20480, 4096},
         "3 TRIM commands sent; the drive accepted 8192 bytes\n"
         "Image allocation: 20480 bytes before, 4096 after: 16384 bytes released\n"},
    };
    for (const auto &c : cases) EXPECT_EQ(FormatTrimSummary(c.summary), c.text);
}

// Mapping pairs as the volume checks walk them: offsets relative to the
// previous run and signed, sparse runs without one, the list's end.
TEST(NextDataRun, DecodesRelativeSignedAndSparseRuns) {
    const uint8_t pairs[] = {
        0x21, 0x10, 0x00, 0x01,        // 16 clusters at 256
        0x11, 0x08, 0xF0,              // 8 clusters at 256 - 16
        0x01, 0x04,                    // 4 sparse clusters
        0x31, 0x02, 0x00, 0x00, 0x01,  // 2 clusters at 240 + 65536
        0x00,
    };
    const struct {
        uint64_t count;
        int64_t lcn;
        int sparse;
    } expected[] = {{16, 256, 0}, {8, 240, 0}, {4, 240, 1}, {2, 240 + 65536, 0}};
    uint32_t at = 0;
    int64_t lcn = 0;
    for (const auto &run : expected) {
        uint64_t count = 0;
        int sparse = -1;
        ASSERT_EQ(NextDataRun(pairs, &at, sizeof pairs, &count, &lcn, &sparse), 1) << at;
        EXPECT_EQ(count, run.count);
        EXPECT_EQ(lcn, run.lcn);
        EXPECT_EQ(sparse, run.sparse);
    }
    uint64_t count = 0;
    int sparse = 0;
    EXPECT_EQ(NextDataRun(pairs, &at, sizeof pairs, &count, &lcn, &sparse), 0);  // the end
    EXPECT_EQ(at, sizeof pairs - 1);

    // Runs that do not fit, have no length or fields wider than 8 bytes.
    const uint8_t bad[][4] = {{0x21, 0x10, 0x00, 0x00}, {0x11, 0x00, 0x05, 0}, {0x19, 1, 1, 1}, {0x91, 1, 1, 1}};
    const uint32_t ends[] = {3, 4, 4, 4};
    for (int i = 0; i < 4; i++) {
        uint32_t position = 0;
        EXPECT_EQ(NextDataRun(bad[i], &position, ends[i], &count, &lcn, &sparse), 0) << i;
        EXPECT_EQ(position, 0u) << i;
    }
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
        {{"-ny", "-c", "list", "/dev/sda1"}, "/dev/sda1", "list", "", 1, 1},
        {{"--commands=list", "--dry-run", "/dev/sda1"}, "/dev/sda1", "list", "", 1, 0},
        {{"-q", "--verbose", "/dev/sda1"}, "", "", "--quiet and --verbose exclude each other", 0, 0},
        {{"-y", "--yes", "/dev/sda1"}, "", "", "--yes given twice", 0, 0},
        {{"--yes=no", "/dev/sda1"}, "", "", "--yes takes no value", 0, 0},
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
