// quillet-image as a user runs it, on real NTFS images: exit statuses and
// messages, the command list, the dry run, MBR partitions and the progress
// bar. The program's path is the first argument.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ntfs_volumes.h"

namespace {

const char *program = "";
std::string scratch;
NtfsVolume wide;    // 4096-byte clusters
NtfsVolume narrow;  // 1024-byte clusters
std::string setUpError;

// The MBR disk: partition 1 at sector 63 holds `narrow`, partition 3 at
// 32 MiB holds `wide`; entries 2 and 4 are empty.
const int64_t kFirstPartition = 63 * 512;
const int64_t kThirdPartition = 32 << 20;

ToolRun QuilletImage(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program);
    return RunTool(arguments);
}

std::string ReadText(const std::string &path) {
    std::vector<uint8_t> bytes;
    int64_t size = FileSize(path);
    if (size < 0 || !ReadBytes(path, 0, size, &bytes)) return "<unreadable>";
    return std::string(bytes.begin(), bytes.end());
}

uint64_t ScannedBytes(const NtfsVolume &volume) {
    return std::min<uint64_t>((uint64_t)volume.clusters / 8, volume.bitmap.size());
}

std::vector<TrimCommand> Reference(const NtfsVolume &volume, int64_t offset) {
    return ReferenceTrimCommands(volume.bitmap, ScannedBytes(volume), volume.clusterSize, offset);
}

uint64_t BytesOf(const std::vector<TrimCommand> &commands) {
    uint64_t bytes = 0;
    for (const TrimCommand &command : commands) bytes += (uint64_t)command.blocks * 512;
    return bytes;
}

std::string Summary(const std::vector<TrimCommand> &commands, const char *tail = "") {
    return std::to_string(commands.size()) + " TRIM commands sent, " + std::to_string(BytesOf(commands)) +
           " bytes trimmed" + tail + "\n";
}

class QuilletImageTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch = MakeScratchDirectory("quillet-image-");
        if (scratch.empty()) {
            setUpError = "no scratch directory";
            return;
        }
        if (!MakeNtfsVolume(scratch + "/wide.img", 512, 4096, 24 << 20, 7, &wide, &setUpError)) return;
        MakeNtfsVolume(scratch + "/narrow.img", 512, 1024, 16 << 20, 8, &narrow, &setUpError);
    }
    static void TearDownTestSuite() { RemoveScratchDirectory(scratch); }

    void SetUp() override { ASSERT_EQ(setUpError, ""); }

    // A fresh copy of `volume` at the start of an image of its own.
    std::string CopyOf(const NtfsVolume &volume, const char *name) {
        std::string path = scratch + "/" + name;
        unlink(path.c_str());
        EXPECT_TRUE(CopySparse(volume.path, 0, path, 0, (int64_t)volume.volumeBytes));
        return path;
    }

    std::string MbrDisk() {
        std::string path = scratch + "/mbr-disk.img";
        unlink(path.c_str());
        EXPECT_TRUE(CopySparse(narrow.path, 0, path, kFirstPartition, (int64_t)narrow.volumeBytes));
        EXPECT_TRUE(CopySparse(wide.path, 0, path, kThirdPartition, (int64_t)wide.volumeBytes));
        uint8_t sector[512] = {0};
        PutMbrEntry(sector, 1, 0x07, kFirstPartition / 512, (uint32_t)(narrow.volumeBytes / 512));
        PutMbrEntry(sector, 3, 0x07, kThirdPartition / 512, (uint32_t)(wide.volumeBytes / 512));
        EXPECT_TRUE(WriteBytes(path, 0, sector, sizeof sector));
        return path;
    }

    // Checks the volume at `offset` of `disk` after a run that sent `sent`.
    void ExpectTrimmedExactly(const std::string &disk, int64_t offset, const NtfsVolume &volume,
                              const std::vector<TrimCommand> &sent) {
        std::vector<uint8_t> before, after;
        ASSERT_TRUE(ReadBytes(volume.path, 0, (int64_t)volume.volumeBytes, &before));
        ASSERT_TRUE(ReadBytes(disk, offset, (int64_t)volume.volumeBytes, &after));
        EXPECT_EQ(CompareAfterTrim(before, after, sent, offset, volume), "");
    }
};

// What the program prints for a successful run: the bar redrawn whenever
// the whole percentage of the volume passed changes (at the first cluster
// of each command), then the full "Done." bar and the summary.
std::string ExpectedOutput(const NtfsVolume &volume, int64_t offset, const std::vector<TrimCommand> &commands,
                           const char *summaryTail = "") {
    std::string out = "Trim support: 1\nBitmap size: " + std::to_string(ScannedBytes(volume)) + " bytes\n";
    const uint64_t clusters = (uint64_t)volume.clusters;
    int lastPercent = -1;
    for (const TrimCommand &command : commands) {
        uint64_t first = ((uint64_t)command.lba * 512 - (uint64_t)offset) / volume.clusterSize;
        int percent = (int)(first * 100 / clusters);
        if (percent == lastPercent) continue;
        uint64_t filled = first * 33 / clusters;
        out += "\rTrimming: [";
        for (uint64_t cell = 0; cell < 34; cell++) out += cell <= filled ? '=' : ' ';
        char tail[16];
        snprintf(tail, sizeof tail, "] %3d%%", percent);
        out += tail;
        lastPercent = percent;
    }
    return out + "\rTrimming: [==================================] Done.\n" + Summary(commands, summaryTail);
}

TEST_F(QuilletImageTest, DryRunListsTheSameCommandsAndLeavesTheImageAlone) {
    std::string image = CopyOf(narrow, "dry.img");
    std::string list = scratch + "/dry.list";
    std::vector<uint8_t> before, after;
    ASSERT_TRUE(ReadBytes(image, 0, FileSize(image), &before));
    struct stat infoBefore, infoAfter;
    ASSERT_EQ(stat(image.c_str(), &infoBefore), 0);

    ToolRun run = QuilletImage({"--dry-run", "--commands", list, image});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<TrimCommand> expected = Reference(narrow, 0);
    EXPECT_EQ(ReadText(list), FormatCommandList(expected));
    EXPECT_EQ(run.out, ExpectedOutput(narrow, 0, expected, " (dry run: image unchanged)"));

    ASSERT_TRUE(ReadBytes(image, 0, FileSize(image), &after));
    EXPECT_TRUE(before == after);
    ASSERT_EQ(stat(image.c_str(), &infoAfter), 0);
    EXPECT_EQ(infoAfter.st_blocks, infoBefore.st_blocks);  // no hole punched either
}

TEST_F(QuilletImageTest, FailedTrimsExitWithTen) {
    std::vector<TrimCommand> expected = Reference(wide, 0);

    // A drive without TRIM: nothing is sent, nothing changes.
    std::string image = CopyOf(wide, "no-trim.img");
    std::string list = scratch + "/no-trim.list";
    ToolRun run = QuilletImage({"--no-trim", "--commands", list, image});
    EXPECT_EQ(run.status, 10);
    EXPECT_EQ(run.out, "Trim support: 0\nBitmap size: " + std::to_string(ScannedBytes(wide)) +
                           " bytes\nTrim error!\n" + Summary({}));
    EXPECT_EQ(ReadText(list), "");
    ExpectTrimmedExactly(image, 0, wide, {});

    // The third command fails: the first two stay trimmed, the rest of the
    // volume is untouched, and the bar is ended before the error line.
    image = CopyOf(wide, "fail-at.img");
    list = scratch + "/fail-at.list";
    run = QuilletImage({"--fail-at", "3", "--commands", list, image});
    EXPECT_EQ(run.status, 10);
    std::vector<TrimCommand> sent(expected.begin(), expected.begin() + 2);
    EXPECT_EQ(ReadText(list), FormatCommandList(sent));
    const std::string tail = "%\nTrim error!\n" + Summary(sent);
    ASSERT_GE(run.out.size(), tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    ExpectTrimmedExactly(image, 0, wide, sent);

    // A command list that cannot be written is a failure, not a success.
    image = CopyOf(wide, "full.img");
    run = QuilletImage({"--commands", "/dev/full", image});
    EXPECT_EQ(run.status, 10);
    EXPECT_NE(run.err.find("/dev/full: writing the command list failed"), std::string::npos) << run.err;
}

TEST_F(QuilletImageTest, FailedOpensExitWithTheirStatusAndMessage) {
    struct Case {
        std::string image;
        std::vector<std::string> options;
        int status;
        const char *message;
    };
    std::vector<Case> cases;

    std::string zeroed = scratch + "/zeroed.img";
    ASSERT_TRUE(CopySparse("/dev/zero", 0, zeroed, 0, 1 << 20));
    cases.push_back({zeroed, {}, 8, "Unsupported file system!"});

    std::string fat = scratch + "/fat.img";
    ASSERT_TRUE(CopySparse("/dev/zero", 0, fat, 0, 8 << 20));
    ToolRun mkfs = RunTool({"mkfs.fat", fat});
    if (mkfs.status == 0) {
        cases.push_back({fat, {}, 8, "Unsupported file system!"});
    } else {
        ADD_FAILURE() << "mkfs.fat is missing (dosfstools), the FAT case is not run: " << mkfs.err;
    }

    std::string tiny = scratch + "/tiny.img";
    ASSERT_TRUE(WriteBytes(tiny, 0, "NTFS", 4));
    cases.push_back({tiny, {}, 7, "Get boot sector failed!"});
    cases.push_back({CopyOf(wide, "past-end.img"), {"--offset", std::to_string(64 << 20)}, 7,
                     "Get boot sector failed!"});

    // $Bitmap is MFT record 6; a record without its "FILE" signature.
    std::string damaged = CopyOf(wide, "damaged.img");
    int64_t bitmapRecord = wide.mftCluster * wide.clusterSize + 6 * (int64_t)wide.mftRecordSize;
    ASSERT_TRUE(WriteBytes(damaged, bitmapRecord, "BAAD", 4));
    cases.push_back({damaged, {}, 9, "Read partition bitmap failed!"});

    for (const Case &c : cases) {
        std::vector<uint8_t> before, after;
        ASSERT_TRUE(ReadBytes(c.image, 0, FileSize(c.image), &before));
        std::vector<std::string> arguments = c.options;
        arguments.push_back(c.image);
        ToolRun run = QuilletImage(arguments);
        EXPECT_EQ(run.status, c.status) << c.image;
        EXPECT_EQ(run.err, "quillet-image: " + c.image + ": " + c.message + "\n");
        EXPECT_EQ(run.out, "");
        ASSERT_TRUE(ReadBytes(c.image, 0, FileSize(c.image), &after));
        EXPECT_TRUE(before == after) << c.image << " changed";
    }
}

TEST_F(QuilletImageTest, UsageErrorsExitWith64AndTouchNothing) {
    std::string image = CopyOf(wide, "usage.img");
    std::string missing = scratch + "/no-such.img";
    struct Case {
        std::vector<std::string> arguments;
        const char *message;
    };
    // Every refusal of the parser is checked on its own (image_tool_test);
    // here the program's way out: status 64, the reason, nothing on stdout.
    const Case cases[] = {
        {{"--bogus", image}, "unknown option --bogus"},
        {{"--offset", "512k", image}, "--offset needs a byte count"},
        {{missing}, "not a readable image file"},
        {{scratch}, "not a readable image file"},
        {{"--commands", scratch + "/no-such-dir/list", image}, "cannot write the command list"},
        {{"--partition", "1", image}, "no MBR partition 1"},
    };
    std::vector<uint8_t> before, after;
    ASSERT_TRUE(ReadBytes(image, 0, FileSize(image), &before));
    for (const Case &c : cases) {
        ToolRun run = QuilletImage(c.arguments);
        std::string shown;
        for (const std::string &argument : c.arguments) shown += " " + argument;
        EXPECT_EQ(run.status, 64) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << shown << "\n" << run.err;
    }
    ASSERT_TRUE(ReadBytes(image, 0, FileSize(image), &after));
    EXPECT_TRUE(before == after);
    EXPECT_EQ(FileSize(missing), -1);

    // Root reads any file, so the permission case needs another user.
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(image.c_str(), 0), 0);
        ToolRun run = QuilletImage({"--dry-run", image});
        EXPECT_EQ(run.status, 64);
        EXPECT_NE(run.err.find("cannot open for reading"), std::string::npos) << run.err;
        chmod(image.c_str(), 0644);
    }
}

TEST_F(QuilletImageTest, TrimsMbrPartitionsAndNothingAroundThem) {
    std::string disk = MbrDisk();
    std::vector<uint8_t> before;
    ASSERT_TRUE(ReadBytes(disk, 0, FileSize(disk), &before));

    // Empty entries fail cleanly before anything is opened.
    for (const char *number : {"2", "4"}) {
        ToolRun run = QuilletImage({"--partition", number, disk});
        EXPECT_EQ(run.status, 64) << number;
        EXPECT_EQ(run.err, "quillet-image: " + disk + ": no MBR partition " + number + "\n");
    }

    std::string list = scratch + "/partition.list";
    ToolRun run = QuilletImage({"--partition", "1", "--commands", list, disk});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::vector<TrimCommand> first = Reference(narrow, kFirstPartition);
    EXPECT_EQ(ReadText(list), FormatCommandList(first));
    EXPECT_EQ(run.out, ExpectedOutput(narrow, kFirstPartition, first));

    run = QuilletImage({"--partition", "3", "--commands", list, disk});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<TrimCommand> third = Reference(wide, kThirdPartition);
    ASSERT_GT(third.size(), 8u);  // several holes, some longer than one command
    EXPECT_EQ(ReadText(list), FormatCommandList(third));
    EXPECT_EQ(run.out, ExpectedOutput(wide, kThirdPartition, third));

    ExpectTrimmedExactly(disk, kFirstPartition, narrow, first);
    ExpectTrimmedExactly(disk, kThirdPartition, wide, third);
    // The MBR and the gap between the partitions are as they were.
    std::vector<uint8_t> after;
    ASSERT_TRUE(ReadBytes(disk, 0, FileSize(disk), &after));
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + kFirstPartition, after.begin()));
    int64_t gap = kFirstPartition + (int64_t)narrow.volumeBytes;
    EXPECT_TRUE(std::equal(before.begin() + gap, before.begin() + kThirdPartition, after.begin() + gap));
}

// Opening the command list for writing would truncate the image when both
// are one file, under any name.
TEST_F(QuilletImageTest, CommandListNamingTheImageIsRefused) {
    std::string image = CopyOf(wide, "self.img");
    std::string link = scratch + "/self-link.img";
    unlink(link.c_str());
    ASSERT_EQ(symlink(image.c_str(), link.c_str()), 0);
    std::vector<uint8_t> before, after;
    ASSERT_TRUE(ReadBytes(image, 0, FileSize(image), &before));
    for (const std::string &list : {image, link}) {
        ToolRun run = QuilletImage({"--commands", list, image});
        EXPECT_EQ(run.status, 64) << list;
        ASSERT_TRUE(ReadBytes(image, 0, FileSize(image), &after));
        EXPECT_TRUE(before == after) << "the image was overwritten through " << list;
    }
}

// A partition shrunk in the table while its file system kept its size: the
// NTFS boot sector claims sectors that now belong to the next partition, and
// its bitmap calls them free. The partition's length must bound the volume.
TEST_F(QuilletImageTest, FileSystemLargerThanItsPartitionIsNotTrimmedBeyondIt) {
    const int64_t start = 1 << 20;
    const int64_t partitionBytes = 16 << 20;  // `wide` is 24 MiB
    const int64_t next = start + partitionBytes;
    std::string disk = scratch + "/shrunk.img";
    unlink(disk.c_str());
    ASSERT_TRUE(CopySparse(wide.path, 0, disk, start, (int64_t)wide.volumeBytes));
    uint8_t sector[512] = {0};
    PutMbrEntry(sector, 1, 0x07, start / 512, partitionBytes / 512);
    PutMbrEntry(sector, 2, 0x83, next / 512, 4 << 11);
    ASSERT_TRUE(WriteBytes(disk, 0, sector, sizeof sector));
    std::string data(4 << 20, 'D');
    ASSERT_TRUE(WriteBytes(disk, next, data.data(), data.size()));

    ToolRun run = QuilletImage({"--partition", "1", disk});
    EXPECT_EQ(run.status, 8) << run.out;
    std::vector<uint8_t> after;
    ASSERT_TRUE(ReadBytes(disk, next, (int64_t)data.size(), &after));
    EXPECT_TRUE(std::string(after.begin(), after.end()) == data) << "partition 2 was trimmed";
}

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: %s PATH-TO-quillet-image\n", argv[0]);
        return 2;
    }
    program = argv[1];
    return RUN_ALL_TESTS();
}
