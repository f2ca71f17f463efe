// The front ends' pure parts: argument parsing (both tools), the answer to
// quillet-disk's question, MBR partition entries, the reasons of a failed
// trim and the mapping-pair runs the volume checks walk.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bytes.h"
#include "disk_tool.h"
#include "exit_status.h"
#include "image_in_use.h"
#include "image_stores.h"
#include "image_tool.h"
#include "mft_record.h"
#include "ntfs_volumes.h"
#include "partition_table.h"
#include "run_report.h"

namespace {

struct Parsed {
    int ok;
    ImageToolOptions options;  // its strings point into Parse's copy of argv
    std::string image;
    std::vector<std::string> images;
    std::string commandsFile;
    std::string format;
    std::string domain, connect;  // "domain connect" of -d and --connect
    std::string error;
};

// Calls a front end's parser on argv made of `arguments` after the program
// name; the options' strings point into `arguments`, the operands into
// `argv`.
template <typename Options>
int CallParser(int (*parse)(int, char **, Options *, char *, uint32_t), std::vector<std::string> &arguments,
               Options *options, std::string *error, std::vector<char *> *keptArgv = nullptr) {
    std::vector<char *> own;
    std::vector<char *> &argv = keptArgv != nullptr ? *keptArgv : own;
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
    std::vector<char *> argv;
    parsed.ok = CallParser(ParseImageToolArguments, arguments, &parsed.options, &parsed.error, &argv);
    ToolCommonOptions &common = parsed.options.common;
    if (parsed.ok) parsed.image = common.operand != nullptr ? common.operand : "<none>";
    if (parsed.ok && common.commandsFile != nullptr) parsed.commandsFile = common.commandsFile;
    if (parsed.ok && parsed.options.format != nullptr) parsed.format = parsed.options.format;
    if (parsed.ok && parsed.options.domain != nullptr) parsed.domain = parsed.options.domain;
    if (parsed.ok && parsed.options.connect != nullptr) parsed.connect = parsed.options.connect;
    for (int i = 0; parsed.ok && i < common.operandCount; i++) parsed.images.push_back(common.operands[i]);
    common.operand = common.commandsFile = parsed.options.format = nullptr;
    parsed.options.domain = parsed.options.connect = nullptr;
    common.operands = nullptr;
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

    Parsed after = Parse({"disk.img", "--partition", "128", "--format", "qcow2"});
    ASSERT_EQ(after.ok, 1) << after.error;
    EXPECT_EQ(after.options.partition, 128);
    EXPECT_EQ(after.format, "qcow2");
    EXPECT_EQ(after.options.offset, 0);
    EXPECT_EQ(after.image, "disk.img");

    Parsed plain = Parse({"disk.img"});
    ASSERT_EQ(plain.ok, 1);
    EXPECT_EQ(plain.commandsFile, "");
    EXPECT_EQ(plain.options.offset | plain.options.offsetGiven | plain.options.partition |
                  plain.options.common.dryRun | plain.options.noTrim, 0);
    // An offset written as 0 still names that volume alone.
    EXPECT_EQ(Parse({"-o", "0", "-f", "raw", "disk.img"}).options.offsetGiven, 1);
    EXPECT_EQ(plain.options.failAt, 0u);
    // Every option at once: the copy's too.
    Parsed copy = Parse({"--copy-to=c.vdi", "--copy-format", "vdi", "--overwrite", "-p", "2", "-f", "qcow2", "-c", "l",
                         "-q", "--output=json", "--no-trim", "--no-header-check", "--fail-at", "1",
                         "--kill-after-punches", "1", "--wait-for", "w", "disk.img"});
    ASSERT_EQ(copy.ok, 1) << copy.error;
    EXPECT_EQ(copy.options.overwrite, 1);
    EXPECT_EQ(plain.options.overwrite, 0);

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
    // Several images, in the order given; `--` lets one begin with '-'.
    Parsed several = Parse({"-j", "3", "a.img", "--output=json", "b.vdi", "--", "-c.raw"});
    ASSERT_EQ(several.ok, 1) << several.error;
    EXPECT_EQ(several.images, (std::vector<std::string>{"a.img", "b.vdi", "-c.raw"}));
    EXPECT_EQ(several.options.jobs * 10 + several.options.common.json, 31);
    EXPECT_EQ(plain.options.jobs * 10 + plain.options.common.json, 10);
    EXPECT_EQ(Parse({"--output=human", "a.img"}).options.common.json, 0);
    // No image with a domain; an NBD URI is an image like a file's name.
    Parsed domain = Parse({"-d", "win", "--connect=test:///default", "-n", "--domain=win11"});
    ASSERT_EQ(domain.ok, 1) << domain.error;
    EXPECT_EQ(domain.domain + " " + domain.connect, "win test:///default");
    EXPECT_EQ(domain.options.domainCount * 100 + domain.options.common.operandCount, 200);
    EXPECT_EQ(Parse({"-d", "win"}).options.domainCount, 1);
    EXPECT_EQ(Parse({"nbd+unix:///x?socket=/run/s", "./nbd://y"}).images,
              (std::vector<std::string>{"nbd+unix:///x?socket=/run/s", "./nbd://y"}));
    EXPECT_EQ(IsNbdUri("nbd+unix:///x") * 1000 + IsNbdUri("nbds://h/x") * 100 + IsNbdUri("./nbd://y") * 10 +
                  IsNbdUri("nbd/x://y"),
              1100);
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
        {{"-c", "l", "a.img", "b.img"}, "--commands takes one image, not 2"},
        {{"--output=xml", "a.img"}, "--output needs human or json, not xml"},
        {{"--output", "json", "-v", "a.img"}, "--verbose and --output=json exclude each other"},
        {{"--jobs", "0", "a.img"}, "--jobs needs a number of images from 1 to 64"},
        {{"-j", "65", "a.img", "b.img"}, "--jobs needs a number of images from 1 to 64"},
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
        {{"--partition", "0", "a.img"}, "--partition needs a partition number as Linux numbers them (GPT 1 to 128; MBR 1 to 4 primary, 5 up logical)"},
        {{"--partition", "257", "a.img"}, "--partition needs a partition number as Linux numbers them (GPT 1 to 128; MBR 1 to 4 primary, 5 up logical)"},
        {{"--partition", "x", "a.img"}, "--partition needs a partition number as Linux numbers them (GPT 1 to 128; MBR 1 to 4 primary, 5 up logical)"},
        {{"--format", "", "a.img"}, "--format needs one of raw, qcow2, vmdk, vhdx, vdi"},
        {{"-f", "vpc", "a.img"}, "--format needs one of raw, qcow2, vmdk, vhdx, vdi, not vpc"},
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
        // A domain's disks are its images, with the formats its XML names.
        {{"-d", "win", "a.img"}, "--domain takes its disks from the domain, not a.img"},
        {{"--connect", "qemu:///system", "a.img"}, "--connect needs --domain or --all-domains"},
        {{"--all-domains", "a.img"}, "--all-domains takes every domain's disks, not a.img"},
        {{"--all-domains", "-d", "win"}, "--all-domains takes every domain's disks, not --domain as well"},
        {{"-d", "win", "-f", "raw"}, "--format and --domain exclude each other"},
        {{"-d", "win", "--domain", "other", "-d", "win"}, "--domain win given twice"},
        {{"--connect=", "-d", "win"}, "--connect needs a libvirt URI"},
        {{"-f", "raw", "a.img", "nbd://host/x"}, "--format does not apply to an NBD export"},
        {{"--copy-format", "vdi", "a.img"}, "--copy-format goes with --copy-to"},
        {{"--overwrite", "a.img"}, "--overwrite goes with --copy-to"},
        {{"--copy-to", "b.img", "--copy-format", "vpc", "a.img"}, "--copy-format needs one of raw, qcow2, vmdk, vhdx, vdi, not vpc"},
        {{"--copy-to", "b.img", "-n", "a.img"}, "--copy-to copies one image and writes it: leave out --dry-run"},
        {{"--copy-to", "b.img", "a.img", "c.img"}, "--copy-to copies one image and writes it: give one image"},
        {{"--copy-to=", "a.img"}, "--copy-to needs the copy's file name"},
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

// Partition tables that sfdisk writes, read back as Linux numbers them:
// sfdisk's own dump (its device names end in the kernel's numbers) is the
// referee, the disk's file the device.
struct SfdiskDisk {
    std::string path;
    std::vector<std::vector<int64_t>> partitions;  // number, start, size (sectors), from sfdisk -d
    int fd;
};

int MakeSfdiskDisk(const std::string &directory, const char *name, const char *script, SfdiskDisk *disk) {
    disk->path = directory + "/" + name;
    disk->fd = -1;
    unlink(disk->path.c_str());
    if (!CopySparse("/dev/zero", 0, disk->path, 0, 0) || truncate(disk->path.c_str(), 64 << 20) != 0) return 0;
    ToolRun made = RunTool({"sh", "-c", "printf \"$1\" | sfdisk -q \"$0\"", disk->path, script});
    ToolRun dump = RunTool({"sfdisk", "-d", disk->path});
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(dump.status, 0) << dump.err;
    for (size_t at = dump.out.find(disk->path); at != std::string::npos; at = dump.out.find(disk->path, at + 1)) {
        unsigned long long number = 0, start = 0, size = 0;
        if (sscanf(dump.out.c_str() + at + disk->path.size(), "%llu : start= %llu, size= %llu", &number, &start,
                   &size) == 3) {
            disk->partitions.push_back({(int64_t)number, (int64_t)start, (int64_t)size});
        }
    }
    disk->fd = open(disk->path.c_str(), O_RDWR | O_CLOEXEC);
    return made.status == 0 && disk->fd >= 0;
}

std::string ReadTable(const SfdiskDisk &disk, PartitionTable *table) {
    std::string reason;
    int fd = disk.fd;
    return ReadPartitionTable(ReadFromDescriptor, &fd, FileSize(disk.path), table, &reason) ? "" : "refused: " + reason;
}

const char kWindowsGpt[] = "label: gpt\nsize=2MiB, type=U\nsize=1MiB, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\n"
                           "size=20MiB, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                           "type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC\n";
// Primary 1, the extended partition as 2, primary 3, then logicals 5 to 7,
// whose extended boot records are at sectors 18432, 36864 and 55296.
const char kLogicalMbr[] = "label: dos\nunit: sectors\n/dev/x1 : start=2048, size=16384, type=7\n"
                           "/dev/x2 : start=18432, size=81920, type=5\n/dev/x3 : start=100352, size=16384, type=83\n"
                           "/dev/x5 : start=20480, size=16384, type=7\n/dev/x6 : start=38912, size=16384, type=c\n"
                           "/dev/x7 : start=57344, size=40960, type=7\n";

TEST(ReadPartitionTable, NumbersAndPlacesPartitionsAsLinuxDoes) {
    std::string scratch = MakeScratchDirectory("partition-tables-");
    ASSERT_FALSE(scratch.empty());
    const struct {
        const char *name, *script;
        int scheme;
        std::vector<std::string> types;  // by number, as PartitionTypeName gives them
    } cases[] = {
        {"gpt.img", kWindowsGpt, kSchemeGpt,
         {"EFI system", "Microsoft reserved", "Microsoft basic data", "Windows recovery"}},
        {"mbr.img", kLogicalMbr, kSchemeMbr, {"NTFS or exFAT", "extended", "Linux", "NTFS or exFAT", "FAT32",
                                               "NTFS or exFAT"}},
        {"gpt-gap.img", "label: gpt\nstart=4096, size=4MiB, type=L\n", kSchemeGpt, {"Linux filesystem"}},
        // Other systems' partitions by the names util-linux gives them
        // (sfdisk --label gpt -T); an unknown type by its GUID.
        {"gpt-others.img",
         "label: gpt\nsize=1MiB, type=4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709\n"
         "size=1MiB, type=933AC7E1-2EB4-4F13-B844-0E14E2AEF915\nsize=1MiB, type=A19D880F-05FC-4D3B-A006-743F0F84911E\n"
         "size=1MiB, type=7C3457EF-0000-11AA-AA11-00306543ECAC\nsize=1MiB, type=516E7CBA-6ECF-11D6-8FF8-00022D09712B\n"
         "size=1MiB, type=E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D\nsize=1MiB, type=01234567-89AB-CDEF-0123-456789ABCDEF\n",
         kSchemeGpt,
         {"Linux root (x86-64)", "Linux home", "Linux RAID", "Apple APFS", "FreeBSD ZFS", "Microsoft Storage Spaces",
          "type 01234567-89AB-CDEF-0123-456789ABCDEF"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SfdiskDisk disk;
        ASSERT_TRUE(MakeSfdiskDisk(scratch, c.name, c.script, &disk));
        PartitionTable table;
        ASSERT_EQ(ReadTable(disk, &table), "");
        EXPECT_EQ(table.scheme, c.scheme);
        ASSERT_EQ(table.partitions.size(), disk.partitions.size());
        for (size_t i = 0; i < disk.partitions.size(); i++) {
            const DiskPartition &partition = table.partitions[i];
            const bool container = partition.check == kPartitionExtended;
            EXPECT_EQ(partition.number, disk.partitions[i][0]);
            EXPECT_EQ(partition.offset, disk.partitions[i][1] * 512);
            // sfdisk shows an extended partition's own size.
            EXPECT_EQ(partition.length, disk.partitions[i][2] * 512);
            EXPECT_EQ(partition.check, container && c.scheme == kSchemeMbr ? kPartitionExtended : kPartitionOk);
            EXPECT_EQ(PartitionTypeName(table, partition), c.types[i]);
        }
        close(disk.fd);
    }
    RemoveScratchDirectory(scratch);
}

// Each case damages a table sfdisk wrote (bytes at a position; a negative
// position counts from the end of the disk) and expects it refused whole.
TEST(ReadPartitionTable, RefusesDamagedOrUnusualTablesWithTheReason) {
    std::string scratch = MakeScratchDirectory("partition-tables-");
    ASSERT_FALSE(scratch.empty());
    const int64_t ebr = 18432 * 512;  // the first extended boot record of kLogicalMbr
    const struct {
        const char *script;
        int64_t position;
        std::string bytes;
        const char *reason;
    } cases[] = {
        {kWindowsGpt, 512 + 40, "\x01", "the GPT header at sector 1 fails its CRC32 check"},
        {kWindowsGpt, 1024 + 32, "\x01", "the GPT's partition entry array fails its CRC32 check"},
        {kWindowsGpt, 512, std::string(8, '\0'), "protective one for a GPT, but there is no GPT header at sector 1"},
        {kWindowsGpt, -512 + 40, "\x01", "the backup GPT header is damaged: the GPT header at sector 131071 fails"},
        {kLogicalMbr, 446 + 16 + 4, "\x05", ""},  // still sound: the control row
        {kLogicalMbr, 446 + 32 + 4, "\x0F", "the MBR holds more than one extended partition"},
        {kLogicalMbr, ebr + 446 + 32 + 12, "\x01", "is not of the usual layout"},
        {kLogicalMbr, ebr + 446 + 16 + 8, std::string(4, '\0'), "outside the chain's order"},
        {kLogicalMbr, ebr + 446 + 16 + 8, "\xFF\xFF\x01\x00", "outside the chain's order or its extended partition"},
        {kLogicalMbr, ebr + 18432 * 512 + 510, std::string(1, '\0'), "at sector 36864 has no boot signature"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason);
        SfdiskDisk disk;
        ASSERT_TRUE(MakeSfdiskDisk(scratch, "damaged.img", c.script, &disk));
        int64_t position = c.position < 0 ? FileSize(disk.path) + c.position : c.position;
        ASSERT_TRUE(WriteBytes(disk.path, position, c.bytes.data(), c.bytes.size()));
        PartitionTable table;
        std::string result = ReadTable(disk, &table);
        if (*c.reason == 0) {
            EXPECT_EQ(result, "");
        } else {
            EXPECT_NE(result.find(c.reason), std::string::npos) << result;
            EXPECT_TRUE(table.partitions.empty());
        }
        close(disk.fd);
    }
    RemoveScratchDirectory(scratch);
}

// A GPT entry that ends one sector past the last usable LBA would reach
// into the backup entry array: that partition is refused, its neighbours
// kept. sfdisk's last partition grown to end on the last usable LBA fits;
// one sector more does not (both copies' checksums made anew).
TEST(ReadPartitionTable, GptEntryPastTheLastUsableSectorIsRefused) {
    std::string scratch = MakeScratchDirectory("partition-tables-");
    ASSERT_FALSE(scratch.empty());
    for (int beyond : {0, 1}) {
        SCOPED_TRACE(beyond);
        SfdiskDisk disk;
        ASSERT_TRUE(MakeSfdiskDisk(scratch, "usable.img", kWindowsGpt, &disk));
        const int64_t sectors = FileSize(disk.path) / 512;
        for (int64_t headerSector : {(int64_t)1, sectors - 1}) {
            std::vector<uint8_t> header, entries;
            ASSERT_TRUE(ReadBytes(disk.path, headerSector * 512, 512, &header));
            const int64_t entriesAt = (int64_t)LoadLe64(&header[72]) * 512;
            const uint32_t entriesBytes = LoadLe32(&header[80]) * LoadLe32(&header[84]);
            ASSERT_TRUE(ReadBytes(disk.path, entriesAt, entriesBytes, &entries));
            uint8_t *last = &entries[3 * LoadLe32(&header[84]) + 40];
            StoreLe64(last, LoadLe64(&header[48]) + beyond);
            StoreLe32(&header[88], Crc32(entries.data(), entriesBytes));
            StoreLe32(&header[16], 0);
            StoreLe32(&header[16], Crc32(header.data(), LoadLe32(&header[12])));
            ASSERT_TRUE(WriteBytes(disk.path, entriesAt, entries.data(), entries.size()));
            ASSERT_TRUE(WriteBytes(disk.path, headerSector * 512, header.data(), header.size()));
        }
        PartitionTable table;
        ASSERT_EQ(ReadTable(disk, &table), "");
        ASSERT_EQ(table.partitions.size(), 4u);
        EXPECT_EQ(table.partitions[2].check, kPartitionOk);
        EXPECT_EQ(table.partitions[3].check, beyond ? kPartitionPastEnd : kPartitionOk);
        close(disk.fd);
    }
    RemoveScratchDirectory(scratch);
}

// A bare NTFS volume's boot sector ends in the boot signature too; its boot
// code is no table. A sector without the signature holds none either.
TEST(ReadPartitionTable, BootSectorsAndBlankDisksHoldNoTable) {
    std::vector<uint8_t> disk(4096, 0);
    memcpy(disk.data() + 3, "NTFS    ", 8);
    memset(disk.data() + 446, 0x37, 64);  // boot code where entries would be
    disk[510] = 0x55;
    disk[511] = 0xAA;
    auto read = [](void *context, int64_t position, void *buffer, uint32_t size) {
        const std::vector<uint8_t> &bytes = *(const std::vector<uint8_t> *)context;
        if (position < 0 || (uint64_t)position + size > bytes.size()) return 0;
        memcpy(buffer, bytes.data() + position, size);
        return 1;
    };
    for (int signature : {1, 0}) {
        disk[510] = signature ? 0x55 : 0;
        PartitionTable table;
        std::string reason;
        EXPECT_EQ(ReadPartitionTable(read, &disk, (int64_t)disk.size(), &table, &reason), 1) << reason;
        EXPECT_EQ(table.scheme, kSchemeNone);
        EXPECT_TRUE(table.partitions.empty());
        EXPECT_EQ(DescribePartitionCheck(table, 1, FindPartition(table, 1)),
                  "no partition 1: the disk has no partition table");
    }
    // Too small for a table is no table; a first sector that cannot be read
    // may hide one.
    PartitionTable table;
    std::string reason;
    EXPECT_EQ(ReadPartitionTable(read, &disk, 100, &table, &reason), 1);
    EXPECT_EQ(table.scheme, kSchemeNone);
    std::vector<uint8_t> unreadable;
    EXPECT_EQ(ReadPartitionTable(read, &unreadable, 4096, &table, &reason), 0);
    EXPECT_EQ(reason, "the first sector of the disk cannot be read");
}

// QEMU's image locks, with QEMU's own tools as the other side: what they
// hold is refused, and what we hold keeps them from writing until we close.
TEST(QemuLocks, RefusedWhileQemuHoldsThemAndHeldAgainstItUntilClosed) {
    std::string scratch = MakeScratchDirectory("qemu-locks-");
    ASSERT_FALSE(scratch.empty());
    std::string image = scratch + "/disk.raw";
    ASSERT_TRUE(CopySparse("/dev/zero", 0, image, 0, 1 << 20));
    const struct {
        std::vector<const char *> holder;  // empty: nobody
        const char *found;
    } cases[] = {
        {{"qemu-io", "-f", "raw", "-c", "sleep 60000"}, "holds QEMU's image lock on byte 100 of it"},
        {{"qemu-io", "-r", "-f", "raw", "-c", "sleep 60000"}, "holds QEMU's image lock on byte 100 of it"},
        {{"qemu-nbd", "-f", "raw", "-k"}, "holds QEMU's image lock on byte 100 of it"},
        {{}, ""},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv(c.holder.begin(), c.holder.end());
        if (!argv.empty() && argv[0] == "qemu-nbd") argv.push_back(scratch + "/socket");
        if (!argv.empty()) argv.push_back(image);
        SCOPED_TRACE(argv.empty() ? "nobody" : argv[0] + " " + argv[1]);
        int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        pid_t holder = -1;
        std::string why;
        if (!argv.empty()) {
            holder = fork();
            if (holder == 0) {
                std::vector<char *> args;
                for (std::string &argument : argv) args.push_back(&argument[0]);
                args.push_back(nullptr);
                execvp(args[0], args.data());
                _exit(127);
            }
            for (int i = 0; i < 500 && !FindQemuLock(fd, &why); i++) usleep(10000);
        }
        EXPECT_EQ(FindQemuLock(fd, &why), !argv.empty());
        int taken = TakeQemuLocks(fd, &why);
        EXPECT_EQ(taken, argv.empty());
        EXPECT_NE(why.find(c.found), std::string::npos) << why;
        if (holder > 0) {
            kill(holder, SIGTERM);
            waitpid(holder, nullptr, 0);
        }
        if (!taken) {
            EXPECT_EQ(TakeQemuLocks(fd, &why), 1) << "a refusal left locks behind: " << why;
        }
        ToolRun reader = RunTool({"qemu-img", "info", "-f", "raw", image});
        ToolRun writer = RunTool({"qemu-io", "-f", "raw", "-c", "write 0 512", image});
        EXPECT_EQ(reader.status, 0) << reader.err;
        EXPECT_NE(writer.err.find("Failed to get \"write\" lock"), std::string::npos) << writer.err;
        close(fd);
        writer = RunTool({"qemu-io", "-f", "raw", "-c", "write 0 512", image});
        EXPECT_EQ(writer.status, 0) << writer.err;
    }
    RemoveScratchDirectory(scratch);
}

// Contiguous ranges are cut only at multiples of the alignment, so no
// image cluster is ever half-covered by two requests.
TEST(JoinTrim, CutsContiguousRangesOnlyAtAlignedPoints) {
    const int64_t k = 1024;
    const struct {
        std::vector<std::pair<int64_t, int64_t>> ranges;  // position, size
        std::vector<std::pair<int64_t, int64_t>> requests;
    } cases[] = {
        {{{4 * k, 60 * k}, {64 * k, 100 * k}, {164 * k, 40 * k}},
         {{4 * k, 60 * k}, {64 * k, 64 * k}, {128 * k, 64 * k}, {192 * k, 12 * k}}},
        {{{0, 64 * k}}, {{0, 64 * k}}},
        {{{8 * k, 8 * k}, {16 * k, 8 * k}}, {{8 * k, 16 * k}}},
        // A gap ends the held part; the next range starts afresh.
        {{{8 * k, 8 * k}, {20 * k, 50 * k}}, {{8 * k, 8 * k}, {20 * k, 44 * k}, {64 * k, 6 * k}}},
        {{{100 * k, 200 * k}, {0, 4 * k}}, {{100 * k, 156 * k}, {256 * k, 44 * k}, {0, 4 * k}}},
    };
    for (const auto &c : cases) {
        TrimJoiner joiner = {64 * k, 0, 0};
        std::vector<std::pair<int64_t, int64_t>> requests;
        for (const auto &range : c.ranges) {
            int64_t flushedStart, flushedSize, start, size;
            JoinTrim(&joiner, range.first, range.second, &flushedStart, &flushedSize, &start, &size);
            if (flushedSize != 0) requests.push_back({flushedStart, flushedSize});
            if (size != 0) requests.push_back({start, size});
        }
        int64_t start, size;
        FlushTrim(&joiner, &start, &size);
        if (size != 0) requests.push_back({start, size});
        EXPECT_EQ(requests, c.requests) << testing::PrintToString(c.ranges);
    }
}

// The stores on one disk of data (32 MiB, then never-written space up to 1
// GiB): a raw file and the same as qcow2 of 64 KiB clusters through
// qemu-nbd, trimmed in 2 MiB commands that start off every cluster
// boundary, each pass a run of its own, then read back through qemu-img.
// Every cluster the commands cover whole is given back; every byte outside
// reads as before; trimming what is already a hole (never written, or
// trimmed before) grows nothing, not even the image's own tables.
TEST(ImageStores, TrimReleasesWholeClustersAndKeepsEverythingElse) {
    std::string scratch = MakeScratchDirectory("image-stores-");
    ASSERT_FALSE(scratch.empty());
    const int64_t diskBytes = 32 << 20, imageBytes = 1 << 30, commands = 8, command = 2 << 20;
    const int64_t first = (1 << 20) + 4096, neverWritten = (768 << 20) + 4096;
    std::string data(diskBytes, '\0');
    for (int64_t i = 0; i < diskBytes; i += 512) data[i] = (char)(1 + i / 512 % 251);
    std::string raw = scratch + "/disk.raw", qcow2 = scratch + "/disk.qcow2";
    ASSERT_TRUE(WriteBytes(raw, 0, data.data(), data.size()));
    ASSERT_EQ(truncate(raw.c_str(), imageBytes), 0);
    ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", "raw", "-O", "qcow2", "-o", "cluster_size=65536", raw, qcow2}).status, 0);
    const struct {
        const char *path;
        int format;
        int64_t released;  // at least
    } cases[] = {
        {raw.c_str(), kFormatRaw, commands * command},
        // The clusters covered whole, less one that qcow2 may take for its
        // own tables.
        {qcow2.c_str(), kFormatQcow2, commands * command - 65536 - 65536},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        std::vector<uint8_t> header;
        ASSERT_TRUE(ReadBytes(c.path, 0, 512, &header));
        EXPECT_EQ(DetectImageFormat(header.data()), c.format);
        const struct {
            int64_t first;
            int64_t released;  // at least; 0: the image must not grow
        } passes[] = {{neverWritten, 0}, {first, c.released}, {first, 0}};
        for (const auto &pass : passes) {
            SCOPED_TRACE(pass.first);
            char reason[256] = "";
            const int imageFd = open(c.path, O_RDWR | O_CLOEXEC);
            ASSERT_GE(imageFd, 0);
            ImageStore *store = c.format == kFormatRaw ? OpenRawImageStore(c.path, 1)
                                                       : OpenNbdImageStore(imageFd, c.format, 1, -1, reason, sizeof reason);
            ASSERT_NE(store, nullptr) << reason;
            EXPECT_EQ(store->size, imageBytes);
            std::string read(4096, '\0');
            ASSERT_EQ(store->read(store, diskBytes - 4096, &read[0], 4096), 1);
            EXPECT_TRUE(read == data.substr(diskBytes - 4096));
            EXPECT_EQ(store->read(store, imageBytes - 4096, &read[0], 4097), 0);
            int64_t before = AllocatedBytes(c.path);
            for (int64_t i = 0; i < commands; i++) EXPECT_EQ(store->trim(store, pass.first + i * command, command), 1);
            EXPECT_EQ(FinishImageStore(store), 1);
            ReleaseImageStore(store);
            close(imageFd);
            if (c.format == kFormatRaw && pass.released != 0) {
                // A raw file's allocation also counts the file system's
                // own extent blocks, which punching holes may add: every
                // block the commands cover must be a hole instead.
                const int fd = open(c.path, O_RDONLY | O_CLOEXEC);
                ASSERT_GE(fd, 0);
                const off_t data = lseek(fd, (off_t)pass.first, SEEK_DATA);
                close(fd);
                EXPECT_TRUE(data < 0 || data >= (off_t)(pass.first + commands * command)) << "data at " << data;
            } else {
                EXPECT_GE(before - AllocatedBytes(c.path), pass.released);
            }
        }
        std::string back = scratch + "/back.raw";
        ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", ImageFormatName(c.format), "-O", "raw", c.path, back}).status, 0);
        EXPECT_EQ(FileSize(back), imageBytes);
        std::vector<uint8_t> after;
        ASSERT_TRUE(ReadBytes(back, 0, diskBytes, &after));
        std::string expected = data;
        std::fill(expected.begin() + first, expected.begin() + first + commands * command, '\0');
        EXPECT_TRUE(std::string(after.begin(), after.end()) == expected);
    }

    // qemu-nbd's own locking: an image QEMU holds is not served.
    pid_t holder = fork();
    if (holder == 0) {
        execlp("qemu-io", "qemu-io", "-f", "qcow2", "-c", "sleep 60000", qcow2.c_str(), (char *)nullptr);
        _exit(127);
    }
    int fd = open(qcow2.c_str(), O_RDWR | O_CLOEXEC);
    std::string why;
    for (int i = 0; i < 500 && !FindQemuLock(fd, &why); i++) usleep(10000);
    char reason[256] = "";
    ImageStore *store = OpenNbdImageStore(fd, kFormatQcow2, 1, -1, reason, sizeof reason);
    close(fd);
    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(store, nullptr);
    ReleaseImageStore(store);
    EXPECT_NE(std::string(reason).find("qemu-nbd does not serve the image"), std::string::npos) << reason;
    RemoveScratchDirectory(scratch);
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
        {{1, 1, 4096, "", 0, 0},
         "the drive's logical sectors are 4096 bytes; ATA TRIM is sent only to drives of 512-byte sectors"},
        {{0, 1, 4096, "", 0, 0}, ""},
        {{1, 1, 512, "", 0, 0}, ""},
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
        {with({{0, "vhdxfile"}}, 4096), "a vhdx image header"},
        {with({{0x40, "\x7f\x10\xda\xbe"}}, 4096), "a vdi image header"},
        {with({{3, "NTFS    "}, {510, bootSignature}}, 512), "an NTFS boot sector whose geometry cannot be used: its bytes per sector (offset 0x0B) reads 0,"},
        {with({{3, "MSDOS5.0"}, {54, "FAT16   "}, {510, bootSignature}}, 4096), "a FAT file system"},
        {with({{3, "mkfs.fat"}, {82, "FAT32   "}, {510, bootSignature}}, 4096), "a FAT file system"},
        {with({{0, "\xeb\x58\x90-FVE-FS-"}, {510, bootSignature}}, 4096), "a BitLocker-encrypted volume"},
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
        {{87, 1 << 20, 1, 4096, 4096, 0, 0, 0, 0, 0, 0}, "Dry run: would send 87 TRIM commands for 1048576 bytes; nothing was sent\n"},
        {{3, 8192, 0, -1, -1, 0, 0, 0, 0, 0, 0}, "3 TRIM commands sent; the drive accepted 8192 bytes\n"},
        {{3, 8192, 0, 20480, 4096, 0, 0, 0, 0, 0, 0},
         "3 TRIM commands sent; the drive accepted 8192 bytes\n"
         "Image allocation: 20480 bytes before, 4096 after: 16384 bytes released\n"},
        // A format whose trims QEMU drops: a change of allocation (its own
        // metadata) is not passed off as released.
        {{3, 8192, 0, 20480, 16384, "vmdk", 0, 0, 0, 0, 0},
         "3 TRIM commands sent; the drive accepted 8192 bytes\n"
         "Image allocation: 20480 bytes before, 16384 after: the vmdk format releases no space for trimmed ranges\n"},
        // An image that grew (a format's tables) says so.
        {{3, 8192, 0, 20480, 24576, 0, 0, 0, 0, 0, 0},
         "3 TRIM commands sent; the drive accepted 8192 bytes\n"
         "Image allocation: 20480 bytes before, 24576 after: nothing released, the image grew by 4096 bytes\n"},
        // What the format gives back follows the allocation; a dry run has neither.
        {{3, 8192, 0, 20480, 4096, 0, "Why.\n", 0, 0, 0, 0},
         "3 TRIM commands sent; the drive accepted 8192 bytes\n"
         "Image allocation: 20480 bytes before, 4096 after: 16384 bytes released\nWhy.\n"},
        {{3, 8192, 1, 20480, 20480, 0, "Why.\n", 0, 0, 0, 0}, "Dry run: would send 3 TRIM commands for 8192 bytes; nothing was sent\n"},
        // A server that tells no allocation: said, not taken for nothing released.
        {{3, 8192, 0, -1, -1, 0, 0, "why", 0, 0, 0},
         "3 TRIM commands sent; the drive accepted 8192 bytes\nImage allocation: unknown (why)\n"},
        // A dry run on an image that can tell what it would give back.
        {{3, 8192, 1, 20480, 20480, 0, "Why.\n", 0, 1, 4096, "whole clusters of 65536 bytes that hold data"},
         "Dry run: would send 3 TRIM commands for 8192 bytes; nothing was sent\n"
         "Image allocation: 20480 bytes; the run would release 4096 of them, in whole clusters of 65536 bytes that hold data\n"},
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
        {{"--output=json", "-y", "/dev/sda1"}, "/dev/sda1", "<none>", "", 0, 1},
        {{"--output=json", "/dev/sda1"}, "", "", "--output=json asks nothing: give --yes or --dry-run", 0, 0},
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
