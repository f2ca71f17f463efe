// quillet-image as a user runs it, on real NTFS images: exit statuses and
// messages, the command list, the dry run, MBR partitions, the progress bar
// and the refusal of images in use and of volumes Windows left unsafe (with
// ntfs-3g as the referee). The program's path is the first argument.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fat_volumes.h"
#include "ntfs_volumes.h"
#include "quillet_version.h"

namespace {

const char *program = "";
const char *onTerminal = "";  // runs a program on a pseudo-terminal
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

uint32_t Le32(const uint8_t *p) { return (uint32_t)p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

uint64_t ScannedBytes(const NtfsVolume &volume) {
    return std::min<uint64_t>((uint64_t)volume.clusters / 8, volume.bitmap.size());
}

std::vector<TrimCommand> Reference(const NtfsVolume &volume, int64_t offset) {
    return ReferenceTrimCommands(volume.bitmap, ScannedBytes(volume), volume.clusterSize, offset);
}

// Bytes the file takes on its file system.
int64_t Allocated(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (int64_t)info.st_blocks * 512 : -1;
}

// The summary after `trimmed` were accepted, with the image's allocation
// before and after the run; `before` -1 for a dry run. How many commands
// carried them is the engine's business: unless `sent` says (a refused
// command counts too), "N" stands for the count (see Unshaped).
std::string Summary(const std::vector<TrimCommand> &trimmed, int64_t before, int64_t after, size_t sent = SIZE_MAX) {
    std::string commands = sent != SIZE_MAX ? std::to_string(sent) : trimmed.empty() ? "0" : "N";
    std::string bytes = std::to_string(BytesOf(trimmed));
    if (before < 0) return "Dry run: would send " + commands + " TRIM commands for " + bytes + " bytes; nothing was sent\n";
    return commands + " TRIM commands sent; the drive accepted " + bytes + " bytes\nImage allocation: " +
           std::to_string(before) + " bytes before, " + std::to_string(after) + " after: " +
           std::to_string(before - after) + " bytes released\n";
}

// The program's output without the bar's frames before "Done." and with
// the summary's command count, when not 0, as "N": both follow from how the
// engine packs ranges into commands.
std::string Unshaped(const std::string &out) {
    static const std::regex frame("\rTrimming: \\[[= ]{34}\\] *[0-9]+%");
    static const std::regex count("(^|\n|would send )[1-9][0-9]* TRIM commands");
    return std::regex_replace(std::regex_replace(out, frame, ""), count, "$1N TRIM commands");
}

std::vector<uint8_t> Contents(const std::string &path) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(ReadBytes(path, 0, FileSize(path), &bytes)) << path;
    return bytes;
}

// ntfs-3g's verdict on mounting the volume read-write, without mounting it:
// it checks the volume before it looks at the mount point, which is missing.
// "" when it would mount it read-write, else its complaint.
std::string Ntfs3gRefusal(const std::string &image) {
    ToolRun run = RunTool({"ntfs-3g", "-o", "rw,norecover", image, scratch + "/no-mount-point"});
    if (run.err.find("failed to access mountpoint") == std::string::npos) return "unexpected: " + run.err;
    return run.err.find("Could not mount read-write") != std::string::npos ? run.err : "";
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

// What the program prints for a successful run ending with `summary`, less
// the bar's frames (Unshaped). On a terminal the full "Done." bar is drawn
// on stderr, and the terminal turns each newline into CR LF.
std::string ExpectedOutput(const NtfsVolume &volume, const std::string &summary, bool onATerminal = false) {
    std::string out = "TRIM: supported\nBitmap size: " + std::to_string(ScannedBytes(volume)) + " bytes\n";
    if (!onATerminal) return out + summary;
    out += "\rTrimming: [==================================] Done.\n" + summary;
    std::string crlf;
    for (char c : out) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return crlf;
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
    EXPECT_EQ(ListedSpans(list), TrimmedSpans(expected));
    // What the image would give back: its 4 KiB blocks inside the spans that are no holes.
    int64_t released = 0;
    const std::vector<std::pair<int64_t, int64_t>> holes = FileHoles(image);
    for (const TrimCommand &span : TrimmedSpans(expected)) {
        for (int64_t block = ((int64_t)span.lba * 512 + 4095) / 4096 * 4096;
             block + 4096 <= (int64_t)(span.lba + span.blocks) * 512; block += 4096) {
            bool hole = false;
            for (const auto &h : holes) hole = hole || (block >= h.first && block + 4096 <= h.second);
            if (!hole) released += 4096;
        }
    }
    EXPECT_EQ(Unshaped(run.out), ExpectedOutput(narrow, Summary(expected, -1, -1) + "Image allocation: " +
                                                            std::to_string(infoBefore.st_blocks * 512) +
                                                            " bytes; the run would release " + std::to_string(released) +
                                                            " of them, in whole blocks of 4096 bytes of the host file system\n"));
    EXPECT_EQ(run.err, "");
    // Quiet means errors only, on a terminal too.
    run = RunTool({onTerminal, "", program, "-qn", image});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");

    ASSERT_TRUE(ReadBytes(image, 0, FileSize(image), &after));
    EXPECT_TRUE(before == after);
    ASSERT_EQ(stat(image.c_str(), &infoAfter), 0);
    EXPECT_EQ(infoAfter.st_blocks, infoBefore.st_blocks);  // no hole punched either

    // Preallocated (fallocate), the free space is allocated too, though it
    // reads as holes to SEEK_DATA once out of the page cache: the figure is
    // still what a run gives back.
    ASSERT_EQ(RunTool({"fallocate", "-l", std::to_string(FileSize(image)), image}).status, 0);
    const int uncached = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(uncached, 0);
    ASSERT_EQ(posix_fadvise(uncached, 0, 0, POSIX_FADV_DONTNEED), 0);
    close(uncached);
    const int64_t preallocated = Allocated(image);
    ASSERT_GT(preallocated, (int64_t)infoBefore.st_blocks * 512);
    run = QuilletImage({"-n", image});
    std::smatch would;
    ASSERT_TRUE(std::regex_search(run.out, would, std::regex("the run would release ([0-9]+) of them"))) << run.out;
    ASSERT_EQ(QuilletImage({image}).status, 0);
    EXPECT_EQ(std::stoll(would[1]), preallocated - Allocated(image));
}

TEST_F(QuilletImageTest, FailedTrimsExitWithTenAndSayWhy) {
    std::vector<TrimCommand> expected = Reference(wide, 0);
    const std::string bitmapLine = "Bitmap size: " + std::to_string(ScannedBytes(wide)) + " bytes\n";

    // A drive without TRIM: nothing is sent, nothing changes.
    std::string image = CopyOf(wide, "no-trim.img");
    std::string list = scratch + "/no-trim.list";
    int64_t allocated = Allocated(image);
    ToolRun run = QuilletImage({"--no-trim", "--commands", list, image});
    EXPECT_EQ(run.status, 10);
    EXPECT_EQ(run.out, "TRIM: not supported\n" + bitmapLine + Summary({}, allocated, allocated));
    EXPECT_EQ(run.err, "quillet-image: " + image + ": Trim error! the drive does not support TRIM; no command was sent\n");
    EXPECT_EQ(ReadText(list), "");
    ExpectTrimmedExactly(image, 0, wide, {});

    // The first command fails: nothing changes, the bar is ended, the
    // failed command counts as sent, and the message names its first range.
    const std::vector<TrimCommand> spans = TrimmedSpans(expected);
    image = CopyOf(wide, "fail-at.img");
    list = scratch + "/fail-at.list";
    allocated = Allocated(image);
    run = QuilletImage({"--fail-at", "1", "--commands", list, image});
    EXPECT_EQ(run.status, 10);
    EXPECT_EQ(ReadText(list), "");
    EXPECT_EQ(run.out, "TRIM: supported\n" + bitmapLine + Summary({}, allocated, Allocated(image), 1));
    EXPECT_EQ(run.err.find("quillet-image: " + image + ": Trim error! the drive refused TRIM command 1 (LBA " +
                           std::to_string(spans[0].lba) + ", " + std::to_string(std::min(spans[0].blocks, 65528u)) +
                           " blocks"),
              0u)
        << run.err;
    ExpectTrimmedExactly(image, 0, wide, {});

    // The list stops taking lines after 40 bytes (a file size limit, with
    // SIGXFSZ ignored so the write fails instead): the run stops at once,
    // after the command whose line could not be written, which the drive
    // had already carried out, with an I/O error.
    image = CopyOf(wide, "list-full.img");
    list = scratch + "/list-full.list";
    unlink(list.c_str());
    const size_t limit = 40;
    run = RunTool({"sh", "-c",
                   "trap '' XFSZ; { prlimit --fsize=" + std::to_string(limit) + " \"$0\" --commands \"$1\" \"$2\" 2>&1;"
                   " echo \"status $?\"; } | cat",
                   program, list, image});
    const std::string stoppedAt = image + ": Trim error! writing the command list failed after TRIM command ";
    const size_t at = run.out.find(stoppedAt);
    ASSERT_NE(at, std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" (File too large); the run stopped\n", at), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("status 74\n"), std::string::npos) << run.out;
    const std::string full = scratch + "/list-full-dry.list";
    ASSERT_EQ(QuilletImage({"--dry-run", "--commands", full, CopyOf(wide, "list-full-dry.img")}).status, 0);
    EXPECT_EQ(ReadText(list), ReadText(full).substr(0, limit));
    // What the drive was told is trimmed; it starts with what the list holds.
    std::vector<uint8_t> after;
    ASSERT_TRUE(ReadBytes(image, 0, (int64_t)wide.volumeBytes, &after));
    for (const TrimCommand &span : ListedSpans(list)) {
        for (uint64_t byte = span.lba * 512; byte < (span.lba + span.blocks) * 512; byte += 4096) {
            EXPECT_EQ(after[byte], 0) << byte;
        }
    }
}

TEST_F(QuilletImageTest, FailedOpensExitWithTheirStatusAndMessage) {
    struct Case {
        std::string image;
        std::vector<std::string> options;
        int status;
        std::string message;
    };
    std::vector<Case> cases;
    const std::string notNtfs = "Unsupported file system! Found ";

    std::string zeroed = scratch + "/zeroed.img";
    ASSERT_TRUE(CopySparse("/dev/zero", 0, zeroed, 0, 1 << 20));
    cases.push_back({zeroed, {}, 8, notNtfs + "only zeros at byte 0, not an NTFS boot sector."});

    // Other file systems, made by their own tools.
    const struct {
        const char *name, *package, *found;
        std::vector<std::string> mkfs;
    } others[] = {
        {"ext4", "e2fsprogs", "an ext2/3/4 file system", {"mkfs.ext4", "-q", "-F"}},
    };
    for (const auto &other : others) {
        std::string image = scratch + "/" + other.name + ".img";
        ASSERT_TRUE(CopySparse("/dev/zero", 0, image, 0, 8 << 20));
        std::vector<std::string> mkfs = other.mkfs;
        mkfs.push_back(image);
        ToolRun made = RunTool(mkfs);
        if (made.status != 0) {
            ADD_FAILURE() << mkfs[0] << " is missing (" << other.package << "), not run: " << made.err;
            continue;
        }
        cases.push_back({image, {}, 8, notNtfs + other.found + " at byte 0, not an NTFS boot sector."});
    }
    // --offset names that volume alone, also at 0 on a partitioned disk.
    cases.push_back({MbrDisk(), {"--offset", "0"}, 8,
                     notNtfs + "an MBR partition table (the volume lies inside one of its partitions) at byte 0, "
                               "not an NTFS boot sector."});
    // A table without an NTFS partition trims nothing and says so.
    std::string linuxOnly = scratch + "/linux-only.img";
    ASSERT_TRUE(CopySparse("/dev/zero", 0, linuxOnly, 0, 1 << 20));
    uint8_t mbr[512] = {0};
    PutMbrEntry(mbr, 1, 0x83, 1024, 1024);
    ASSERT_TRUE(WriteBytes(linuxOnly, 0, mbr, sizeof mbr));
    cases.push_back({linuxOnly, {"-q"}, 8, "Unsupported file system! No partition holds an NTFS or FAT volume."});

    // A boot sector whose boot code also reads as a sound MBR entry: which
    // reading is meant must be said (as --offset 0 does below).
    std::string twoReadings = CopyOf(wide, "two-readings.img");
    std::vector<uint8_t> boot;
    ASSERT_TRUE(ReadBytes(twoReadings, 0, 512, &boot));
    PutMbrEntry(boot.data(), 1, 0x07, 2048, 4096);
    ASSERT_TRUE(WriteBytes(twoReadings, 0, boot.data(), 512));
    cases.push_back({twoReadings, {}, 66,
                     "byte 0 holds an NTFS boot sector that also reads as an MBR partition table (partition 1 at byte "
                     "1048576): say which is meant, --offset 0 for the volume or --offset 1048576 for the partition"});
    EXPECT_EQ(QuilletImage({"-n", "-q", "--offset", "0", twoReadings}).status, 0);
    // A FAT one alike.
    FatVolume fat;
    std::string error;
    const std::string fatReadings = scratch + "/fat-two-readings.img";
    unlink(fatReadings.c_str());
    ASSERT_TRUE(MakeFatVolume(fatReadings, 0, 8 << 20, {}, 1, &fat, &error)) << error;
    ASSERT_TRUE(ReadBytes(fatReadings, 0, 512, &boot));
    PutMbrEntry(boot.data(), 1, 0x0C, 2048, 4096);
    ASSERT_TRUE(WriteBytes(fatReadings, 0, boot.data(), 512));
    cases.push_back({fatReadings, {}, 66,
                     "byte 0 holds a FAT boot sector that also reads as an MBR partition table (partition 1 at byte "
                     "1048576): say which is meant, --offset 0 for the volume or --offset 1048576 for the partition"});

    std::string tiny = scratch + "/tiny.img";
    ASSERT_TRUE(WriteBytes(tiny, 0, "NTFS", 4));
    cases.push_back({tiny, {}, 7, "Get boot sector failed! Found only 4 bytes at byte 0, not an NTFS boot sector."});
    cases.push_back({CopyOf(wide, "past-end.img"), {"--offset", std::to_string(64 << 20)}, 7,
                     "Get boot sector failed! Found nothing at byte 67108864: the input has " +
                         std::to_string(wide.volumeBytes) + " bytes."});

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

TEST_F(QuilletImageTest, UsageAndInputErrorsExitWithTheirStatusAndTouchNothing) {
    std::string image = CopyOf(wide, "usage.img");
    std::string missing = scratch + "/no-such.img";
    std::string link = scratch + "/usage-link.img";
    unlink(link.c_str());
    ASSERT_EQ(symlink(image.c_str(), link.c_str()), 0);
    const std::vector<uint8_t> narrowBefore = Contents(narrow.path);
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char *message;
    };
    // Every refusal of the parser is checked on its own (image_tool_test);
    // here the program's way out: the status, the reason, nothing on stdout.
    const Case cases[] = {
        {{"--bogus", image}, 64, "unknown option --bogus"},
        {{"--offset", "512k", image}, 64, "--offset needs a byte count"},
        {{"--dry-run", image, "--dry-run"}, 64, "--dry-run given twice"},
        {{missing}, 66, "cannot open the image (No such file or directory)"},
        {{scratch}, 66, "cannot open the image (Is a directory)"},
        {{"-n", scratch}, 66, "not a regular file"},
        {{"--partition", "1", image}, 66, "no partition 1: the disk has no partition table"},
        {{"-f", "vdi", image}, 66, "no vdi header at byte 0 (the image reads as raw): leave out -f vdi"},
        {{"--commands", scratch + "/no-such-dir/list", image}, 73, "cannot create the command list"},
        {{"--commands", "/dev/full", image}, 73, "/dev/full (No space left on device)"},
        // NBD URIs: what libnbd would also do is refused before connecting.
        {{"nbds://127.0.0.1/x"}, 66, "NBD over TLS needs key files, which quillet-image does not read"},
        {{"nbd+vsock:///x"}, 66, "only nbd:// and nbd+unix:// URIs are taken, not nbd+vsock://"},
        {{"nbd://127.0.0.1:1/x"}, 66, "cannot connect to the NBD server"},
        // A copy never replaces its source, by any name, nor a file unasked.
        {{"--copy-to", image, image}, 64, "is the image itself: name a new file"},
        {{"--copy-to", link, "--overwrite", image}, 64, "is the image itself: name a new file"},
        {{"--copy-to", scratch, image}, 64, "is a folder"},
        {{"--copy-to", narrow.path, image}, 73, "exists already: name a new file, or give --overwrite to replace it"},
        {{"--copy-to", scratch + "/no-such-dir/copy.img", image}, 73, "no temporary folder can be made in"},
        // Nor is one written when a check fails.
        {{"--copy-to", missing, "--partition", "1", image}, 66, "no partition 1: the disk has no partition table"},
    };
    std::vector<uint8_t> before, after;
    ASSERT_TRUE(ReadBytes(image, 0, FileSize(image), &before));
    for (const Case &c : cases) {
        ToolRun run = QuilletImage(c.arguments);
        std::string shown;
        for (const std::string &argument : c.arguments) shown += " " + argument;
        EXPECT_EQ(run.status, c.status) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << shown << "\n" << run.err;
    }
    ASSERT_TRUE(ReadBytes(image, 0, FileSize(image), &after));
    EXPECT_TRUE(before == after);
    EXPECT_EQ(FileSize(missing), -1);
    EXPECT_TRUE(Contents(narrow.path) == narrowBefore);
    // Nor a temporary folder left behind.
    EXPECT_EQ(RunTool({"sh", "-c", "ls -a \"$0\" | grep -c quillet-copy", scratch}).out, "0\n");
    // A typo gets its reason and the way to the usage, not the usage itself.
    EXPECT_EQ(QuilletImage({"-x", image}).err,
              "quillet-image: unknown option -x\nTry 'quillet-image --help' for more information.\n");

    // The usage leaves the test hooks out.
    ToolRun help = QuilletImage({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: quillet-image [-o BYTES | -p N]", 0), 0u) << help.out;
    EXPECT_EQ(help.out.find("--no-trim"), std::string::npos);
    EXPECT_EQ(help.out.find("--fail-at"), std::string::npos);
    EXPECT_EQ(help.err, "");
    ToolRun version = QuilletImage({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quillet-image (Quillet) ") + QUILLET_VERSION + "\n");

    // No permission to write the image: a read-only file refuses another
    // user, an immutable one (where the file system has the attribute)
    // root too. A dry run only reads.
    const bool root = geteuid() == 0;
    if (root ? RunTool({"chattr", "+i", image}).status == 0 : chmod(image.c_str(), 0444) == 0) {
        ToolRun run = QuilletImage({image});
        EXPECT_EQ(run.status, 77) << run.err;
        EXPECT_NE(run.err.find(root ? "cannot open the image (Operation not permitted)"
                                    : "cannot open the image (Permission denied)"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(QuilletImage({"-n", image}).status, 0);
        if (root) RunTool({"chattr", "-i", image});
        chmod(image.c_str(), 0644);
    }
    // A file system without the room a copy may need (a 1 MiB tmpfs in a
    // mount namespace of its own, which needs root): refused with both
    // figures, nothing left there.
    if (root) {
        const std::string small = scratch + "/small-fs";
        mkdir(small.c_str(), 0755);
        ToolRun run = RunTool({"unshare", "-m", "sh", "-c",
                               "mount -t tmpfs -o size=1m none \"$1\" || exit 99; \"$0\" -q --copy-to \"$1/copy.img\" \"$2\"; "
                               "s=$?; ls -A \"$1\"; exit $s",
                               program, small, image});
        EXPECT_EQ(run.status, 73) << run.err;
        EXPECT_NE(run.err.find("the copy needs up to "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(" bytes where it goes, and that file system has 1048576 free"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");  // -q, and nothing left in the tmpfs for ls to name
        rmdir(small.c_str());
    }
}

TEST_F(QuilletImageTest, TrimsMbrPartitionsAndNothingAroundThem) {
    std::string disk = MbrDisk();
    std::vector<uint8_t> before;
    ASSERT_TRUE(ReadBytes(disk, 0, FileSize(disk), &before));

    // Empty entries fail cleanly before anything is opened.
    for (const char *number : {"2", "4"}) {
        ToolRun run = QuilletImage({"--partition", number, disk});
        EXPECT_EQ(run.status, 66) << number;
        EXPECT_EQ(run.err, "quillet-image: " + disk + ": no MBR partition " + number + "\n");
    }

    std::string list = scratch + "/partition.list";
    int64_t allocated = Allocated(disk);
    ToolRun run = QuilletImage({"--partition", "1", "--commands", list, disk});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::vector<TrimCommand> first = Reference(narrow, kFirstPartition);
    EXPECT_EQ(ListedSpans(list), TrimmedSpans(first));
    EXPECT_EQ(Unshaped(run.out), ExpectedOutput(narrow, Summary(first, allocated, Allocated(disk))));

    // On a terminal the bar is drawn too.
    allocated = Allocated(disk);
    run = RunTool({onTerminal, "", program, "--partition=3", "-c", list, disk});
    ASSERT_EQ(run.status, 0) << run.out;
    std::vector<TrimCommand> third = Reference(wide, kThirdPartition);
    ASSERT_GT(third.size(), 8u);  // several holes, some longer than one command
    EXPECT_EQ(ListedSpans(list), TrimmedSpans(third));
    EXPECT_EQ(Unshaped(run.out), ExpectedOutput(wide, Summary(third, allocated, Allocated(disk)), true));

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

// Disks as virtual machines carry them, partitioned by sfdisk: `narrow`
// and `wide` in the partitions named, partition 1 a FAT volume filled
// through mtools (the EFI system partition, `vmFat`), the others a byte
// pattern, which must come through every run unchanged.
struct VmDisk {
    const char *name;
    const char *sfdisk;  // the script; partition sizes match the volumes
    int narrowPartition, widePartition;
};

const VmDisk kWindowsGpt = {
    "windows-gpt.img",
    "label: gpt\nunit: sectors\n/dev/x1 : start=2048, size=4096, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"
    "/dev/x2 : start=6144, size=2048, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\n"
    "/dev/x3 : start=8192, size=49152, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
    "/dev/x4 : start=57344, size=32768, type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC\n",
    4, 3};
const VmDisk kLogicalMbr = {
    "logical-mbr.img",
    "label: dos\nunit: sectors\n/dev/x1 : start=2048, size=4096, type=83\n/dev/x2 : start=6144, size=90112, type=5\n"
    "/dev/x5 : start=8192, size=32768, type=7\n/dev/x6 : start=43008, size=49152, type=7\n",
    5, 6};

FatVolume vmFat;  // of the last disk made

struct VmPartition {
    int number;
    int64_t offset, length;
};

// sfdisk -d of `disk`: every partition's number and place.
std::vector<VmPartition> SfdiskPartitions(const std::string &disk) {
    std::vector<VmPartition> partitions;
    ToolRun dump = RunTool({"sfdisk", "-d", disk});
    for (size_t at = dump.out.find(disk); at != std::string::npos; at = dump.out.find(disk, at + 1)) {
        unsigned long long number = 0, start = 0, size = 0;
        if (sscanf(dump.out.c_str() + at + disk.size(), "%llu : start= %llu, size= %llu", &number, &start, &size) == 3) {
            partitions.push_back({(int)number, (int64_t)start * 512, (int64_t)size * 512});
        }
    }
    return partitions;
}

std::string MakeVmDisk(const VmDisk &layout) {
    std::string path = scratch + "/" + layout.name;
    unlink(path.c_str());
    EXPECT_TRUE(CopySparse("/dev/zero", 0, path, 0, 0));
    EXPECT_EQ(truncate(path.c_str(), 48 << 20), 0);
    ToolRun made = RunTool({"sh", "-c", "printf \"$1\" | sfdisk -q \"$0\"", path, layout.sfdisk});
    EXPECT_EQ(made.status, 0) << made.err;
    for (const VmPartition &partition : SfdiskPartitions(path)) {
        if (partition.number == layout.narrowPartition) {
            EXPECT_TRUE(CopySparse(narrow.path, 0, path, partition.offset, (int64_t)narrow.volumeBytes));
        } else if (partition.number == layout.widePartition) {
            EXPECT_TRUE(CopySparse(wide.path, 0, path, partition.offset, (int64_t)wide.volumeBytes));
        } else if (partition.number == 1) {
            std::string error;
            EXPECT_TRUE(MakeFatVolume(path, partition.offset, partition.length, {}, 5, &vmFat, &error)) << error;
        } else if (partition.length < (8 << 20)) {
            std::string pattern(partition.length, 'M');
            EXPECT_TRUE(WriteBytes(path, partition.offset, pattern.data(), pattern.size()));
        }
    }
    return path;
}

// What a format's own checker says of an image: "" when it passes.
std::string QemuImgCheck(const std::string &image, const std::string &format) {
    ToolRun check = RunTool({"qemu-img", "check", "-f", format, image});
    return check.status == 0 ? "" : "qemu-img check exits " + std::to_string(check.status) + ": " + check.out + check.err;
}

// The fields by which a hypervisor knows an image, from its header bytes:
// the VDI UUIDs (0x188, four of 16 bytes), the vmdk descriptor's CID and
// ddb.uuid lines with the CID qemu-img info shows, the vhdx headers'
// sequence numbers and GUIDs (64 and 128 KiB: bytes 8 to 64 of each).
std::string IdentityOf(const std::string &image, const std::string &format) {
    std::vector<uint8_t> bytes;
    std::string identity;
    auto hex = [&](int64_t at, int64_t size) {
        EXPECT_TRUE(ReadBytes(image, at, size, &bytes));
        char digits[3];
        for (uint8_t byte : bytes) identity += (snprintf(digits, sizeof digits, "%02x", byte), digits);
        identity += " ";
    };
    if (format == "vdi") hex(0x188, 64);
    if (format == "vhdx") hex(64 << 10, 64), hex(128 << 10, 64);
    if (format == "vmdk") {
        EXPECT_TRUE(ReadBytes(image, 512, 4096, &bytes));
        std::string descriptor(bytes.begin(), bytes.end());
        static const std::regex field("(^|\n)(CID=[0-9a-f]+|ddb.uuid[^\n]*)");
        for (std::sregex_iterator at(descriptor.begin(), descriptor.end(), field), end; at != end; ++at) {
            identity += (*at)[2].str() + " ";
        }
        std::smatch cid;
        std::string info = RunTool({"qemu-img", "info", "-f", "vmdk", image}).out;
        if (std::regex_search(info, cid, std::regex("cid: ([0-9]+)"))) {
            char shown[16];
            snprintf(shown, sizeof shown, "%08lx", std::stoul(cid[1]));
            identity += std::string("info CID=") + shown;
        }
    }
    return identity;
}

// The most a format that keeps guest data at fixed places in the file can
// give back for the free `spans`: every whole 4 KiB block of the file that
// lies inside one of them, where qemu-img map places it, and was allocated
// (`holes`: the file's holes before the run).
struct PlacedExtent {
    int64_t guest, length, host;
};

// Where the guest's allocated data lies in the file: from qemu-img map; for
// vhdx, whose map QEMU does not place, from the BAT (the region table at
// 192 KiB names it and the metadata region, whose first item holds the
// block size; entry state 6 is a present block, its file offset in MiB
// from bit 20; one sector-bitmap entry after every 2^23 * 512 / block
// size of them).
std::vector<PlacedExtent> PlacedExtents(const std::string &image, const std::string &format) {
    std::vector<PlacedExtent> extents;
    if (format == "vhdx") {
        std::vector<uint8_t> regions, item, bat;
        EXPECT_TRUE(ReadBytes(image, 192 << 10, 96, &regions));
        const int64_t batAt = (int64_t)Le32(&regions[32]), metadataAt = (int64_t)Le32(&regions[64]);
        EXPECT_TRUE(ReadBytes(image, metadataAt, 64, &item));
        EXPECT_TRUE(ReadBytes(image, metadataAt + Le32(&item[48]), 4, &item));
        const uint32_t blockBytes = Le32(&item[0]);
        const uint64_t ratio = (512ULL << 23) / blockBytes;
        EXPECT_TRUE(ReadBytes(image, batAt, 1 << 20, &bat));
        for (uint64_t block = 0; (block + block / ratio + 1) * 8 <= bat.size(); block++) {
            const uint8_t *at = &bat[(block + block / ratio) * 8];
            const uint64_t entry = (uint64_t)Le32(at) | (uint64_t)Le32(at + 4) << 32;
            if ((entry & 7) == 6) extents.push_back({(int64_t)(block * blockBytes), blockBytes, (int64_t)(entry >> 20 << 20)});
        }
        return extents;
    }
    std::string map = RunTool({"qemu-img", "map", "--output=json", "-f", format, image}).out;
    static const std::regex extent("\"start\": ([0-9]+), \"length\": ([0-9]+),[^\n]*\"data\": true, "
                                   "\"offset\": ([0-9]+)");
    for (std::sregex_iterator at(map.begin(), map.end(), extent), end; at != end; ++at) {
        extents.push_back({std::stoll((*at)[1]), std::stoll((*at)[2]), std::stoll((*at)[3])});
    }
    return extents;
}

int64_t MostInPlace(const std::string &image, const std::string &format, const std::vector<TrimCommand> &spans,
                    const std::vector<std::pair<int64_t, int64_t>> &holes) {
    int64_t most = 0;
    for (const PlacedExtent &placed : PlacedExtents(image, format)) {
        const int64_t guest = placed.guest, length = placed.length, host = placed.host;
        for (const TrimCommand &span : spans) {
            const int64_t from = std::max<int64_t>(guest, (int64_t)span.lba * 512);
            const int64_t to = std::min<int64_t>(guest + length, (int64_t)(span.lba + span.blocks) * 512);
            if (to <= from) continue;
            for (int64_t block = (host + from - guest + 4095) / 4096 * 4096; block + 4096 <= host + to - guest; block += 4096) {
                bool hole = false;
                for (const auto &h : holes) hole = hole || (block >= h.first && block + 4096 <= h.second);
                if (!hole) most += 4096;
            }
        }
    }
    return most;
}

class QuilletImageVmDiskTest : public QuilletImageTest {
protected:
    // The commands of the volumes in `numbers`, in that order, from their
    // ntfscat '$Bitmap'.
    std::vector<TrimCommand> CommandsOf(const VmDisk &layout, const std::string &disk, std::vector<int> numbers) {
        std::vector<TrimCommand> commands;
        for (int number : numbers) {
            for (const VmPartition &partition : SfdiskPartitions(disk)) {
                if (partition.number != number) continue;
                const NtfsVolume &volume = number == layout.narrowPartition ? narrow : wide;
                std::vector<TrimCommand> some = Reference(volume, partition.offset);
                commands.insert(commands.end(), some.begin(), some.end());
            }
        }
        return commands;
    }

    // Every partition of `trimmed` against `original`: the volumes trimmed
    // by `commands` exactly (the FAT one: zeros there), everything else
    // byte for byte as it was.
    void ExpectOnlyVolumesTrimmed(const VmDisk &layout, const std::string &original, const std::string &trimmed,
                                  const std::vector<TrimCommand> &commands) {
        std::vector<uint8_t> before = Contents(original), after = Contents(trimmed);
        ASSERT_EQ(before.size(), after.size());
        std::vector<uint8_t> expected = before;
        for (const VmPartition &partition : SfdiskPartitions(original)) {
            if (partition.number != layout.narrowPartition && partition.number != layout.widePartition) continue;
            const NtfsVolume &volume = partition.number == layout.narrowPartition ? narrow : wide;
            std::vector<TrimCommand> mine;
            for (const TrimCommand &command : commands) {
                int64_t at = (int64_t)command.lba * 512;
                if (at >= partition.offset && at < partition.offset + partition.length) mine.push_back(command);
            }
            std::vector<uint8_t> volumeBefore(before.begin() + partition.offset,
                                              before.begin() + partition.offset + volume.volumeBytes);
            std::vector<uint8_t> volumeAfter(after.begin() + partition.offset,
                                             after.begin() + partition.offset + volume.volumeBytes);
            EXPECT_EQ(CompareAfterTrim(volumeBefore, volumeAfter, mine, partition.offset, volume), "") << partition.number;
            std::copy(volumeAfter.begin(), volumeAfter.end(), expected.begin() + partition.offset);
        }
        for (const VmPartition &partition : SfdiskPartitions(original)) {
            for (const TrimCommand &command : commands) {
                const int64_t at = (int64_t)command.lba * 512;
                if (partition.number == 1 && at >= partition.offset && at < partition.offset + partition.length) {
                    std::fill(expected.begin() + at, expected.begin() + at + command.blocks * 512, 0);
                }
            }
        }
        EXPECT_TRUE(expected == after) << "bytes outside the volumes' free space changed";
    }
};

TEST_F(QuilletImageVmDiskTest, TrimsPartitionsByNumberOrEveryNtfsAndFatOneInEachImageFormat) {
    const struct {
        const VmDisk *layout;
        std::vector<std::string> options;
        std::vector<int> trimmed;  // partitions, in order
        std::string format;
        std::string copy;  // --copy-to in this format, the image only read; empty: trimmed in place
    } cases[] = {
        {&kWindowsGpt, {"--partition", "3"}, {3}, "raw", ""},
        {&kWindowsGpt, {}, {3, 4}, "raw", ""},
        {&kWindowsGpt, {}, {3, 4}, "qcow2", ""},
        // Given back in place, holes punched where the free ranges lie.
        {&kWindowsGpt, {}, {3, 4}, "vmdk", ""},
        {&kWindowsGpt, {}, {3, 4}, "vhdx", ""},
        {&kWindowsGpt, {}, {3, 4}, "vdi", ""},
        {&kLogicalMbr, {"--partition", "6"}, {6}, "raw", ""},
        {&kLogicalMbr, {}, {5, 6}, "raw", ""},
        {&kLogicalMbr, {"--partition", "5"}, {5}, "qcow2", ""},
        // Compact copies: each format written once, each read once.
        {&kWindowsGpt, {}, {3, 4}, "raw", "qcow2"},
        {&kWindowsGpt, {}, {3, 4}, "qcow2", "vdi"},
        {&kWindowsGpt, {}, {3, 4}, "vdi", "vmdk"},
        {&kWindowsGpt, {}, {3, 4}, "vmdk", "vhdx"},
        {&kLogicalMbr, {"--partition", "6"}, {6}, "vhdx", "raw"},
    };
    int64_t rawReclaimed = 0;
    for (const auto &c : cases) {
        std::string shown = std::string(c.layout->name) + testing::PrintToString(c.options) + " " + c.format +
                            (c.copy.empty() ? "" : " copied to " + c.copy);
        SCOPED_TRACE(shown);
        const bool raw = c.format == "raw";
        std::string original = MakeVmDisk(*c.layout);
        std::string disk = scratch + "/vm-disk." + c.format;
        unlink(disk.c_str());
        if (!raw) {
            ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", "raw", "-O", c.format, original, disk}).status, 0);
        } else {
            ASSERT_TRUE(CopySparse(original, 0, disk, 0, FileSize(original)));
        }
        struct stat before, after;
        // Settled first: ext4 counts a freshly written file's blocks late.
        ASSERT_EQ(RunTool({"sync", disk}).status, 0);
        ASSERT_EQ(stat(disk.c_str(), &before), 0);
        const std::vector<std::pair<int64_t, int64_t>> holesBefore = FileHoles(disk);
        const std::string identity = IdentityOf(disk, c.format);
        const std::string mapBefore = RunTool({"qemu-img", "map", "--output=json", "-f", c.format, disk}).out;
        std::string list = scratch + "/vm-disk.list";
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {"--commands", list, disk});
        std::vector<TrimCommand> commands = CommandsOf(*c.layout, original, c.trimmed);
        // Every partition: the FAT one's free clusters too, as the FAT
        // read apart from the engine names them.
        const bool fatTrimmed = c.options.empty();
        if (fatTrimmed) {
            std::string error;
            std::vector<TrimCommand> free = FatFreeSpans(vmFat, &error);
            EXPECT_EQ(error, "");
            EXPECT_FALSE(free.empty());
            commands.insert(commands.end(), free.begin(), free.end());
        }
        if (!c.copy.empty()) {
            const std::string copy = scratch + "/vm-copy." + c.copy, back = scratch + "/vm-copy-back.raw";
            unlink(copy.c_str());
            const std::vector<uint8_t> source = Contents(disk);
            arguments.insert(arguments.end() - 1, {"--copy-to", copy, "--copy-format", c.copy});
            ToolRun run = QuilletImage(arguments);
            ASSERT_EQ(run.status, 0) << run.err << run.out;
            EXPECT_EQ(ListedSpans(list), TrimmedSpans(commands));
            // The source as it was, byte for byte and block for block.
            ASSERT_EQ(stat(disk.c_str(), &after), 0);
            EXPECT_TRUE(Contents(disk) == source);
            EXPECT_EQ(after.st_blocks, before.st_blocks);
            if (c.copy != "raw") {
                EXPECT_EQ(QemuImgCheck(copy, c.copy), "");
            }
            EXPECT_LT(Allocated(copy), (int64_t)before.st_blocks * 512);
            printf("[ figures  ] %s: the copy takes %lld bytes, the image %lld\n", shown.c_str(), (long long)Allocated(copy),
                   (long long)before.st_blocks * 512);
            // Every used cluster as it was, the free ranges zeros, every file read back.
            unlink(back.c_str());
            ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", c.copy, "-O", "raw", copy, back}).status, 0);
            ExpectOnlyVolumesTrimmed(*c.layout, original, back, commands);
            for (int number : c.trimmed) {
                std::string volume = scratch + "/vm-volume.img";
                for (const VmPartition &partition : SfdiskPartitions(original)) {
                    if (partition.number != number) continue;
                    unlink(volume.c_str());
                    ASSERT_TRUE(CopySparse(back, partition.offset, volume, 0, partition.length));
                    EXPECT_EQ(FilesThatDiffer(volume, number == c.layout->narrowPartition ? narrow : wide), "") << number;
                }
            }
            continue;
        }
        // What a dry run says the image would give back, against what it then does.
        int64_t foretold = 0;
        if (c.format == "raw" || c.format == "qcow2") {
            std::vector<std::string> dry = c.options;
            dry.insert(dry.end(), {"--dry-run", disk});
            ToolRun told = QuilletImage(dry);
            ASSERT_EQ(told.status, 0) << told.err;
            static const std::regex would("the run would release ([0-9]+) of them");
            size_t volumes = 0;
            for (std::sregex_iterator at(told.out.begin(), told.out.end(), would), end; at != end; ++at, volumes++) {
                foretold += std::stoll((*at)[1]);
            }
            EXPECT_EQ(volumes, c.trimmed.size() + (fatTrimmed ? 1 : 0)) << told.out;
        }
        ToolRun run = QuilletImage(arguments);
        ASSERT_EQ(run.status, 0) << run.err << run.out;
        ASSERT_EQ(stat(disk.c_str(), &after), 0);
        EXPECT_EQ(ListedSpans(list), TrimmedSpans(commands));
        if (c.options.empty() && c.layout == &kWindowsGpt) {
            EXPECT_NE(run.out.find("Partition 1 (EFI system):\nTRIM: supported\nFAT12: "), std::string::npos) << run.out;
            EXPECT_NE(run.out.find("Partition 2 (Microsoft reserved): no NTFS or FAT volume, skipped\n"),
                      std::string::npos);
            EXPECT_NE(run.out.find("Partition 4 (Windows recovery):\n"), std::string::npos);
        }
        std::string trimmed = disk;
        int64_t reclaimed = ((int64_t)before.st_blocks - (int64_t)after.st_blocks) * 512;
        // Within the file system's block.
        if (c.format == "raw" || c.format == "qcow2") {
            EXPECT_NEAR(foretold, reclaimed, 4096) << run.out;
            printf("[ figures  ] %s: a dry run said %lld bytes\n", shown.c_str(), (long long)foretold);
        }
        // Each volume's own allocation line; together they add up to the run's
        // (QEMU's vmdk and vdi drivers write a block of their own metadata
        // when qemu-nbd opens the image, before the first line).
        static const std::regex allocation("Image allocation: ([0-9]+) bytes before, ([0-9]+) after");
        int64_t chained = (int64_t)before.st_blocks * 512;
        size_t lines = 0;
        for (std::sregex_iterator at(run.out.begin(), run.out.end(), allocation), end; at != end; ++at, lines++) {
            EXPECT_EQ(std::stoll((*at)[1]), chained) << run.out;
            chained = std::stoll((*at)[2]);
        }
        EXPECT_EQ(lines, c.trimmed.size() + (fatTrimmed ? 1 : 0));
        EXPECT_EQ(chained, (int64_t)after.st_blocks * 512) << run.out;
        const bool inPlace = c.format == "vdi" || c.format == "vmdk" || c.format == "vhdx";
        // What each format gave back, and in what pieces.
        const std::string pieces = c.format == "qcow2" ? "The qcow2 image gives space back in whole clusters of 65536 bytes"
                                   : inPlace ? "The " + c.format + " image gave its free space back in place, in "
                                                                    "whole blocks of 4096 bytes of the host file system"
                                             : "";
        if (!pieces.empty()) {
            EXPECT_NE(run.out.find(pieces), std::string::npos) << run.out;
        }
        if (!raw) {
            EXPECT_EQ(QemuImgCheck(disk, c.format), "");
            trimmed = scratch + "/vm-disk-back.raw";
            unlink(trimmed.c_str());
            ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", c.format, "-O", "raw", disk, trimmed}).status, 0);
            // At least 95 % of what the same disk gives back as raw.
            if (c.options.empty()) {
                EXPECT_GE(reclaimed * 100, rawReclaimed * 95) << reclaimed << " of " << rawReclaimed;
            }
        } else if (c.options.empty()) {
            rawReclaimed = reclaimed;
        }
        printf("[ figures  ] %s: %lld bytes given back (%.1f %% of the raw disk's)\n", shown.c_str(),
               (long long)reclaimed, rawReclaimed > 0 ? 100.0 * reclaimed / rawReclaimed : 0.0);
        if (inPlace) {
            // The format's metadata untouched: its identity and its block map.
            EXPECT_NE(identity, "");
            EXPECT_EQ(IdentityOf(disk, c.format), identity);
            EXPECT_EQ(RunTool({"qemu-img", "map", "--output=json", "-f", c.format, disk}).out, mapBefore);
            // Within 1 % of the most its layout allows.
            int64_t most = MostInPlace(disk, c.format, TrimmedSpans(commands), holesBefore);
            EXPECT_GE(reclaimed * 100, most * 99) << reclaimed << " of " << most;
            printf("[ figures  ] %s: the most in place is %lld bytes\n", shown.c_str(), (long long)most);
        }
        ExpectOnlyVolumesTrimmed(*c.layout, original, trimmed, commands);
        EXPECT_EQ(FatVolumeDamage(trimmed, vmFat), "");
        for (int number : c.trimmed) {
            std::string volume = scratch + "/vm-volume.img";
            for (const VmPartition &partition : SfdiskPartitions(original)) {
                if (partition.number != number) continue;
                unlink(volume.c_str());
                ASSERT_TRUE(CopySparse(trimmed, partition.offset, volume, 0, partition.length));
                EXPECT_EQ(FilesThatDiffer(volume, number == c.layout->narrowPartition ? narrow : wide), "") << number;
            }
        }
    }
}

// An image a virtual machine has open is refused untouched; QEMU cannot
// start on an image a run holds; the run's lock ends with it.
TEST_F(QuilletImageVmDiskTest, ImageQemuHoldsIsRefusedAndOneWeHoldKeepsQemuOut) {
    std::string disk = MakeVmDisk(kWindowsGpt);
    std::string qcow2 = scratch + "/held.qcow2";
    unlink(qcow2.c_str());
    ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", "raw", "-O", "qcow2", disk, qcow2}).status, 0);
    for (const std::string &image : {disk, qcow2}) {
        SCOPED_TRACE(image);
        std::vector<uint8_t> before = Contents(image);
        std::string drive = "file=" + image + ",format=" + (image == disk ? "raw" : "qcow2") + ",if=ide";
        pid_t vm = fork();
        if (vm == 0) {
            execlp("qemu-system-x86_64", "qemu-system-x86_64", "-S", "-display", "none", "-nodefaults", "-drive",
                   drive.c_str(), (char *)nullptr);
            _exit(127);
        }
        // The kernel's lock table shows when the VM holds the image (a run
        // of ours meanwhile could keep the VM out instead).
        struct stat info;
        ASSERT_EQ(stat(image.c_str(), &info), 0);
        const std::string held = ":" + std::to_string(info.st_ino) + " 100 ";
        for (int i = 0; i < 200 && RunTool({"cat", "/proc/locks"}).out.find(held) == std::string::npos; i++) {
            usleep(50000);
        }
        ToolRun run = QuilletImage({image});
        kill(vm, SIGTERM);
        waitpid(vm, nullptr, 0);
        EXPECT_EQ(run.status, 4) << run.out;
        EXPECT_NE(run.err.find("The image is in use: a QEMU process (a virtual machine, qemu-img "
                               "or qemu-nbd) holds QEMU's image lock on byte 10"),
                  std::string::npos)
            << run.err;
        EXPECT_TRUE(Contents(image) == before);
    }

    // While a run waits for its command list (a FIFO nobody reads yet),
    // QEMU cannot open the image for writing; after the run it can.
    std::string fifo = scratch + "/held.fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ToolRun held;
    std::thread runner([&] { held = QuilletImage({"--dry-run", "-p", "3", "--commands", fifo, disk}); });
    // The kernel's lock table shows when the run holds the image.
    struct stat info;
    ASSERT_EQ(stat(disk.c_str(), &info), 0);
    const std::string inode = ":" + std::to_string(info.st_ino) + " 201 ";
    for (int i = 0; i < 200 && RunTool({"cat", "/proc/locks"}).out.find(inode) == std::string::npos; i++) usleep(50000);
    ToolRun writer = RunTool({"qemu-io", "-f", "raw", "-c", "write 46M 512", disk});
    EXPECT_NE(writer.err.find("Failed to get \"write\" lock"), std::string::npos) << writer.err;
    EXPECT_EQ(RunTool({"timeout", "60", "cat", fifo}).status, 0);
    runner.join();
    EXPECT_EQ(held.status, 0) << held.err;
    writer = RunTool({"qemu-io", "-f", "raw", "-c", "write 46M 512", disk});
    EXPECT_EQ(writer.status, 0) << writer.err;
}

// quillet-image run from the scratch folder, so that an image's name is
// given as the user typed it (relative, "file:x", "-x").
ToolRun QuilletImageInScratch(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"sh", "-c", "cd \"$0\" && exec \"$@\"", scratch, program});
    return RunTool(arguments);
}

// What a run may not change: a file's bytes and its allocation.
struct FileState {
    std::vector<uint8_t> bytes;
    int64_t allocated;
};
FileState StateOf(const std::string &path) { return {Contents(path), Allocated(path)}; }
bool operator==(const FileState &a, const FileState &b) { return a.bytes == b.bytes && a.allocated == b.allocated; }

// Images whose header (or name) would have QEMU open another host file:
// each built from scratch with qemu-img in the scratch folder, patched
// with dd or sed where qemu-img does not write such a header. The victim
// is a copy of `wide`, so a run that reached it would trim a real NTFS
// volume: it must keep every byte and its allocation, as must every image
// refused. Names of images that are served go to qemu-nbd as the
// descriptor, never as a name it parses.
TEST_F(QuilletImageTest, ImagesThatNameOtherFilesAreRefusedAndNothingElseIsTouched) {
    const std::string pointAtVictim =
        "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType=\"monolithicFlat\"\n"
        "RW 49152 FLAT \"victim.raw\" 0\n";
    const std::string jsonName = "json:{\"driver\":\"raw\",\"file\":{\"filename\":\"victim.raw\"}}";
    const struct {
        const char *name;
        std::string recipe;  // sh, in the scratch folder
        std::vector<std::string> arguments;
        int status;
        std::string message;  // in stderr; "" for a run that must succeed
    } cases[] = {
        {"backing file", "qemu-img create -q -f qcow2 -u -b victim.raw -F raw hostile.qcow2 24M", {"hostile.qcow2"},
         66, "the qcow2 image is an overlay: its backing file is \"victim.raw\": the space of the disk it shows is held there"},
        {"json: backing file", "qemu-img create -q -f qcow2 -u -b '" + jsonName + "' -F raw hostile.qcow2 24M",
         {"hostile.qcow2"}, 66, "its backing file is \"json:{\\x22driver\\x22:\\x22raw\\x22,"},
        {"block device backing file",
         "qemu-img create -q -f qcow2 -u -b victim.raw -F raw hostile.qcow2 24M && sed -i 's|victim.raw|/dev/loop7|' hostile.qcow2",
         {"hostile.qcow2"}, 66, "its backing file is \"/dev/loop7\""},
        {"raw data file", "qemu-img create -q -f qcow2 -o data_file=victim.raw,data_file_raw=on hostile.qcow2 24M",
         {"hostile.qcow2"}, 66, "the qcow2 image keeps its data in an external data file"},
        {"data file", "qemu-img create -q -f qcow2 -o data_file=victim.raw hostile.qcow2 24M", {"hostile.qcow2"}, 66,
         "external data file"},
        // A copy reads the image as a run does: the same refusals, the same wall.
        {"data file, copied", "qemu-img create -q -f qcow2 -o data_file=victim.raw hostile.qcow2 24M",
         {"--copy-to", "hostile-copy.raw", "--copy-format", "raw", "hostile.qcow2"}, 66, "external data file"},
        {"data file behind the wall alone, copied", "qemu-img create -q -f qcow2 -o data_file=victim.raw hostile.qcow2 24M",
         {"--no-header-check", "--copy-to", "hostile-copy.vdi", "--copy-format", "vdi", "hostile.qcow2"}, 66,
         "Could not open 'victim.raw': Permission denied"},
        {"block device data file",
         "qemu-img create -q -f qcow2 -o data_file=victim.raw hostile.qcow2 24M && sed -i 's|victim.raw|/dev/loop7|' hostile.qcow2",
         {"hostile.qcow2"}, 66, "external data file"},
        {"data file and backing file",
         "qemu-img create -q -f qcow2 -u -b victim.raw -F raw -o data_file=victim.raw hostile.qcow2 24M",
         {"hostile.qcow2"}, 66, "is an overlay"},
        // The guest writes the header into sector 0 of its own raw disk.
        {"qcow2 header on a raw disk",
         "cp --sparse=always wide.img guest.raw && qemu-img create -q -f qcow2 -o data_file=victim.raw hd.qcow2 24M && "
         "dd if=hd.qcow2 of=guest.raw bs=4096 count=1 conv=notrunc status=none",
         {"guest.raw"}, 66, "external data file"},
        {"vmdk descriptor on a raw disk",
         "cp --sparse=always wide.img guest.raw && printf '" + pointAtVictim + "' | dd of=guest.raw conv=notrunc status=none",
         {"guest.raw"}, 66, "the vmdk image is a descriptor: its data lies in \"victim.raw\", a raw file beside it. "
                            "Run quillet-image --format raw on that file instead."},
        // What the administrator asked for is what is read.
        {"qcow2 header on a raw disk read as raw",
         "cp --sparse=always wide.img guest.raw && qemu-img create -q -f qcow2 -o data_file=victim.raw hd.qcow2 24M && "
         "dd if=hd.qcow2 of=guest.raw bs=4096 count=1 conv=notrunc status=none",
         {"--format", "raw", "guest.raw"}, 8, "Unsupported file system! Found a qcow2 image header"},
        {"qcow2 read as vdi", "qemu-img convert -f raw -O qcow2 wide.img hostile.qcow2", {"-f", "vdi", "hostile.qcow2"},
         66, "the header is a qcow2 image's, not vdi: leave out -f, or give -f qcow2"},
        {"flat vmdk", "qemu-img create -q -f vmdk -o subformat=monolithicFlat hostile.vmdk 24M", {"hostile.vmdk"}, 66,
         "its data lies in \"hostile-flat.vmdk\", a raw file beside it. Run quillet-image --format raw on that file"},
        {"split flat vmdk", "qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentFlat hostile.vmdk 5G", {"hostile.vmdk"},
         66, "is a descriptor whose data lies in other files (\"hostile-f001.vmdk\" first, 3 in all)"},
        {"vmdk with an embedded descriptor",
         "qemu-img create -q -f vmdk hostile.vmdk 24M && "
         "dd if=/dev/zero of=hostile.vmdk bs=1 seek=12 count=8 conv=notrunc status=none",
         {"hostile.vmdk"}, 66, "is a sparse header of capacity 0: QEMU would open the extents its embedded descriptor"},
        {"vdi differencing", "qemu-img create -q -f vdi hostile.vdi 24M && printf '\\004' | dd of=hostile.vdi bs=1 seek=76 "
                             "conv=notrunc status=none",
         {"hostile.vdi"}, 66, "the vdi image is a differencing disk"},
        {"internal snapshot",
         "qemu-img convert -f raw -O qcow2 wide.img hostile.qcow2 && qemu-img snapshot -c before hostile.qcow2",
         {"hostile.qcow2"}, 66, "holds 1 internal snapshot(s): they keep the clusters a trim would free"},
        // In place, a hole is punched only where nothing else lies: a
        // block map that points a second guest block at a used block's
        // place is refused, by qemu-img check (vdi) or by our own look at
        // the map (vmdk, whose check does not see it). Block 20 and grain
        // 300 take block 0's place (the boot sector's).
        {"vdi block map with two blocks in one place",
         "qemu-img convert -f raw -O vdi wide.img hostile.vdi && "
         "dd if=hostile.vdi of=hostile.vdi bs=4 skip=128 seek=148 count=1 conv=notrunc status=none && sync hostile.vdi",
         {"hostile.vdi"}, 66, "qemu-img check finds the vdi image unsound"},
        {"vmdk grain table with two grains in one place",
         "qemu-img convert -f raw -O vmdk wide.img hostile.vmdk && "
         "gd=$(od -An -tu8 -j56 -N8 hostile.vmdk) && gt=$(od -An -tu4 -j$((gd * 512)) -N4 hostile.vmdk) && "
         "dd if=hostile.vmdk of=hostile.vmdk bs=4 skip=$((gt * 128)) seek=$((gt * 128 + 300)) count=1 "
         "conv=notrunc status=none && qemu-img check -q hostile.vmdk && sync hostile.vmdk",
         {"hostile.vmdk"}, 66, "of the file, where other guest data lies: nothing is punched"},
        {"compressed vmdk", "qemu-img convert -f raw -O vmdk -o subformat=streamOptimized wide.img hostile.vmdk",
         {"hostile.vmdk"}, 66, "keeps its grains compressed (streamOptimized)"},
        // Another name is another way in that the checks by name miss.
        {"two names", "qemu-img convert -f raw -O vdi wide.img hostile.vdi && ln hostile.vdi hostile-too.vdi",
         {"hostile.vdi"}, 66, "the image has 2 names (hard links)"},
        // Without the header check the wall alone keeps qemu-nbd from the
        // data file.
        {"data file behind the wall alone", "qemu-img create -q -f qcow2 -o data_file=victim.raw hostile.qcow2 24M",
         {"--no-header-check", "hostile.qcow2"}, 66, "Could not open 'victim.raw': Permission denied"},
        // Names QEMU would parse as a protocol or an option, on sound images.
        {"file: name", "qemu-img convert -f raw -O qcow2 wide.img './file:victim.raw'", {"-q", "file:victim.raw"}, 0, ""},
        {"json: name", "qemu-img convert -f raw -O qcow2 wide.img './" + jsonName + "'", {"-q", jsonName}, 0, ""},
        {"name of an option", "qemu-img convert -f raw -O qcow2 wide.img ./-x.qcow2", {"-q", "--", "-x.qcow2"}, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(RunTool({"sh", "-c", "cd \"$0\" && rm -f hostile* guest.raw hd.qcow2 'file:victim.raw' json:* ./-x.qcow2",
                           scratch}).status, 0);
        ToolRun made = RunTool({"sh", "-c", "cd \"$0\" && " + c.recipe, scratch});
        ASSERT_EQ(made.status, 0) << made.err;
        // After the recipe: qemu-img creates a data file it is given.
        const std::string victim = CopyOf(wide, "victim.raw");
        const std::string image = scratch + "/" + c.arguments.back();
        ASSERT_GE(FileSize(image), 0) << image;
        // Settled first: ext4 counts a freshly written file's blocks late.
        ASSERT_EQ(RunTool({"sync", image, victim}).status, 0);
        const FileState victimBefore = StateOf(victim), imageBefore = StateOf(image);
        ToolRun run = QuilletImageInScratch(c.arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.status != 0) {
            EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
            EXPECT_TRUE(StateOf(image) == imageBefore) << "the image changed";
        } else {
            EXPECT_EQ(run.err, "");
        }
        EXPECT_TRUE(StateOf(victim) == victimBefore) << "the victim changed";
    }
}

// A run given back in place and killed (SIGKILL) after 1, 4 or 10 holes
// leaves an image that passes qemu-img check, whose used clusters and
// files read back as they were; a run after it completes the trim.
TEST_F(QuilletImageTest, InPlaceRunKilledAnywhereLeavesASoundImage) {
    std::vector<uint8_t> original;
    ASSERT_TRUE(ReadBytes(wide.path, 0, (int64_t)wide.volumeBytes, &original));
    const std::string back = scratch + "/killed-back.raw";
    for (const std::string format : {"vdi", "vmdk", "vhdx"}) {
        for (const char *punches : {"1", "4", "10"}) {
            SCOPED_TRACE(format + " killed after " + punches);
            const std::string image = scratch + "/killed." + format;
            unlink(image.c_str());
            ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", "raw", "-O", format, wide.path, image}).status, 0);
            ToolRun killed = QuilletImage({"-q", "--kill-after-punches", punches, image});
            EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.err;
            EXPECT_EQ(QemuImgCheck(image, format), "");
            unlink(back.c_str());
            ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", format, "-O", "raw", image, back}).status, 0);
            std::vector<uint8_t> now;
            ASSERT_TRUE(ReadBytes(back, 0, (int64_t)wide.volumeBytes, &now));
            uint64_t changed = 0;
            for (uint64_t cluster = 0; cluster < original.size() / wide.clusterSize; cluster++) {
                const size_t at = cluster * wide.clusterSize;
                if (ClusterIsUsed(wide.bitmap, cluster) &&
                    memcmp(&original[at], &now[at], wide.clusterSize) != 0) {
                    changed++;
                }
            }
            EXPECT_EQ(changed, 0u) << "used clusters changed";
            EXPECT_EQ(FilesThatDiffer(back, wide), "");
        }
        // A copy killed midway leaves no file under its name, nor its
        // temporary folder, and the image as it was.
        const std::string image = scratch + "/killed." + format, copy = scratch + "/killed-copy.qcow2";
        const std::vector<uint8_t> before = Contents(image);
        ToolRun copied = QuilletImage({"-q", "--kill-after-punches", "2", "--copy-to", copy, "--copy-format", "qcow2", image});
        EXPECT_EQ(copied.status, 70);
        EXPECT_NE(copied.err.find("the copy's run ended on signal 9: no copy written"), std::string::npos) << copied.err;
        EXPECT_EQ(FileSize(copy), -1);
        EXPECT_EQ(RunTool({"sh", "-c", "ls -a \"$0\" | grep -c quillet-copy", scratch}).out, "0\n");
        EXPECT_TRUE(Contents(image) == before);
        // The image killed last: a whole run finishes the trim exactly.
        ToolRun run = QuilletImage({"-q", image});
        EXPECT_EQ(run.status, 0) << run.err;
        unlink(back.c_str());
        ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", format, "-O", "raw", image, back}).status, 0);
        ExpectTrimmedExactly(back, 0, wide, Reference(wide, 0));
    }
}

// Between the checks and qemu-nbd's start a name is re-pointed at another
// image: the run goes on with the file it checked.
TEST_F(QuilletImageTest, NameRepointedAfterTheChecksLeavesTheNewTargetAlone) {
    const std::string checked = scratch + "/checked.qcow2", other = scratch + "/other.qcow2";
    const std::string link = scratch + "/swapped.qcow2", fifo = scratch + "/swap.fifo";
    for (const std::string &path : {checked, other, link, fifo}) unlink(path.c_str());
    for (const std::string &path : {checked, other}) {
        ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", "raw", "-O", "qcow2", wide.path, path}).status, 0);
    }
    ASSERT_EQ(symlink(checked.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(RunTool({"sync", checked, other}).status, 0);
    const FileState otherBefore = StateOf(other), checkedBefore = StateOf(checked);
    ToolRun run;
    std::thread runner([&] { run = QuilletImage({"-q", "--wait-for", fifo, link}); });
    int waiting = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // the run reached its pause
    EXPECT_EQ(unlink(link.c_str()), 0);
    EXPECT_EQ(symlink(other.c_str(), link.c_str()), 0);
    close(waiting);
    runner.join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(StateOf(other) == otherBefore) << "the re-pointed name was trimmed";
    EXPECT_FALSE(StateOf(checked) == checkedBefore) << "the checked image was not trimmed";
}

// A virtual machine that takes no QEMU lock, any other process holding
// the image open, and VMware's lock folder beside it: each refused, by
// name, with the image untouched.
TEST_F(QuilletImageTest, ImageAnotherProgramHoldsIsRefusedWithoutItsLocks) {
    const std::string image = CopyOf(wide, "held.raw");
    const std::string lockFolder = image + ".lck";
    const struct {
        const char *name;
        std::vector<std::string> holder;  // runs while quillet-image does; empty: none
        std::string message;
    } cases[] = {
        {"QEMU without locks",
         {"qemu-system-x86_64", "-S", "-display", "none", "-nodefaults", "-drive",
          "file=" + image + ",format=raw,if=ide,file.locking=off"},
         "The image is in use: process "},
        {"a process", {"sh", "-c", "exec 3<\"$0\"; exec sleep 60", image}, ") holds it open. Stop the virtual machine"},
        {"a VMware lock folder", {}, "The image is in use: VMware's lock folder " + lockFolder + " exists beside it."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const FileState before = StateOf(image);
        pid_t holder = -1;
        if (!c.holder.empty()) {
            holder = fork();
            if (holder == 0) {
                std::vector<char *> argv;
                for (const std::string &argument : c.holder) argv.push_back((char *)argument.c_str());
                argv.push_back(nullptr);
                execvp(argv[0], argv.data());
                _exit(127);
            }
            // Until the holder has the image open.
            struct stat info;
            ASSERT_EQ(stat(image.c_str(), &info), 0);
            for (int i = 0; i < 200; i++) {
                ToolRun fuser = RunTool({"sh", "-c", "ls -l /proc/$0/fd | grep -q \"$1\"", std::to_string(holder), image});
                if (fuser.status == 0) break;
                usleep(50000);
            }
        } else {
            ASSERT_EQ(mkdir(lockFolder.c_str(), 0755), 0);
        }
        ToolRun run = QuilletImage({image});
        if (holder > 0) {
            kill(holder, SIGTERM);
            waitpid(holder, nullptr, 0);
        } else {
            rmdir(lockFolder.c_str());
        }
        EXPECT_EQ(run.status, 4) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_TRUE(StateOf(image) == before);
    }
}

// Opening the command list for writing would truncate the image when both
// are one file, under any name.
// Every cluster size Windows formats, on the disks real Windows 10 wrote
// (MBR, one NTFS partition at sector 128) and on mkntfs volumes of 128 KiB
// to 2 MiB clusters, whose sectors-per-cluster byte is a negative exponent.
// Each is trimmed exactly as ntfscat's $Bitmap of the partition says.
TEST_F(QuilletImageTest, EveryClusterSizeWindowsFormatsIsTrimmedExactly) {
    const std::string windowsVolumes = QUILLET_WINDOWS_VOLUMES;
    const bool haveWindowsVolumes = access((windowsVolumes + "/ntfs-lastaccess.raw.gz").c_str(), R_OK) == 0;
    // On CI the disks are part of the run: missing, they fail it.
    if (!haveWindowsVolumes && getenv("CI") != nullptr) {
        ADD_FAILURE() << windowsVolumes << " is missing: the disks Windows wrote were not checked";
    }
    const struct {
        const char *name;
        const char *windowsDisk;  // gzipped in windowsVolumes; null: made by mkntfs
        uint32_t clusterSize;
        uint8_t sectorsPerClusterByte;  // as the boot sector stores it
    } rows[] = {
        {"Windows 10 build 18348, a folder and a file", "ntfs-lastaccess.raw.gz", 4096, 8},
        {"Windows 10 build 14393, compression on", "ntfs-ramslack.raw.gz", 4096, 8},
        {"mkntfs, 128 KiB clusters", nullptr, 131072, 0xF8},
        {"mkntfs, 512 KiB clusters", nullptr, 524288, 0xF6},
        {"mkntfs, 2 MiB clusters", nullptr, 2097152, 0xF4},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.windowsDisk != nullptr && !haveWindowsVolumes) continue;
        const std::string disk = scratch + "/windows-formats.img";
        unlink(disk.c_str());
        NtfsVolume volume;
        volume.clusterSize = row.clusterSize;
        std::string error;
        int64_t offset = 0;
        if (row.windowsDisk != nullptr) {
            ToolRun unpacked =
                RunTool({"sh", "-c", "gunzip -c \"$0\" > \"$1\"", windowsVolumes + "/" + row.windowsDisk, disk});
            ASSERT_EQ(unpacked.status, 0) << unpacked.err;
            // The partition as the MBR places it, copied out for ntfs-3g.
            std::vector<uint8_t> mbr;
            ASSERT_TRUE(ReadBytes(disk, 0, 512, &mbr));
            offset = (int64_t)Le32(mbr.data() + 446 + 8) * 512;
            ASSERT_EQ(offset, 128 * 512);
            volume.path = scratch + "/windows-partition.img";
            volume.volumeBytes = (uint64_t)Le32(mbr.data() + 446 + 12) * 512;
            unlink(volume.path.c_str());
            ASSERT_TRUE(CopySparse(disk, offset, volume.path, 0, (int64_t)volume.volumeBytes));
            ASSERT_TRUE(ReadNtfsOracle(volume.path, &volume, &error)) << error;
        } else {
            // mkntfs makes 2 MiB clusters on 512 MiB and more.
            const uint64_t bytes = std::max<uint64_t>(32 << 20, 256 * (uint64_t)row.clusterSize);
            ASSERT_TRUE(MakeNtfsVolume(scratch + "/large-clusters.img", 512, row.clusterSize, bytes, 11, &volume, &error))
                << error;
            ASSERT_TRUE(CopySparse(volume.path, 0, disk, 0, (int64_t)volume.volumeBytes));
        }
        std::vector<uint8_t> boot;
        ASSERT_TRUE(ReadBytes(disk, offset, 512, &boot));
        EXPECT_EQ(boot[0x0D], row.sectorsPerClusterByte);

        const std::string list = scratch + "/windows-formats.list";
        ToolRun run = QuilletImage({"-q", "--commands", list, disk});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<TrimCommand> expected = Reference(volume, offset);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(ListedSpans(list), TrimmedSpans(expected));
        ExpectTrimmedExactly(disk, offset, volume, ListedSpans(list));
        EXPECT_EQ(FilesThatDiffer(disk, volume), "");
    }
}

// Every scalar of a JSON document, parsed by Python's json module, as
// "images.0.volumes.1.outcome" -> "\"trimmed\"" (values as json.dumps writes them).
std::map<std::string, std::string> JsonFields(const std::string &document) {
    const std::string file = scratch + "/document.json";
    EXPECT_TRUE(WriteBytes(file, 0, document.data(), document.size()));
    EXPECT_EQ(truncate(file.c_str(), (off_t)document.size()), 0);
    ToolRun parse = RunTool({"python3", "-c",
                             "import json, sys\n"
                             "def walk(at, v):\n"
                             "    if isinstance(v, dict): [walk(at + [k], x) for k, x in v.items()]\n"
                             "    elif isinstance(v, list): [walk(at + [str(i)], x) for i, x in enumerate(v)]\n"
                             "    else: print('.'.join(at) + '=' + json.dumps(v))\n"
                             "walk([], json.load(open(sys.argv[1], 'rb')))\n",
                             file});
    EXPECT_EQ(parse.status, 0) << parse.err << document;
    std::map<std::string, std::string> fields;
    std::istringstream lines(parse.out);
    for (std::string line; std::getline(lines, line);) {
        size_t equals = line.find('=');
        fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return fields;
}

std::string Quoted(const std::string &text) {
    ToolRun dumped = RunTool({"python3", "-c", "import json, sys; print(json.dumps(sys.argv[1]), end='')", text});
    return dumped.out;
}

// The figures of a human run's summary: "N TRIM commands sent" and
// "Image allocation: B bytes before, A after".
std::vector<int64_t> SummaryFigures(const std::string &out) {
    std::vector<int64_t> figures;
    static const std::regex figure("([0-9]+) TRIM commands sent|allocation: ([0-9]+) bytes before, ([0-9]+) after");
    for (std::sregex_iterator at(out.begin(), out.end(), figure), end; at != end; ++at) {
        for (size_t group = 1; group < at->size(); group++) {
            if ((*at)[group].matched) figures.push_back(std::stoll((*at)[group].str()));
        }
    }
    return figures;
}

TEST_F(QuilletImageTest, SeveralImagesRunAsEachAloneInTheirOrderAndTheWorstStatusWins) {
    // A bare volume, an MBR disk in qcow2, and zeros refused (with a name
    // JSON must escape: quotes, a backslash, a tab, a byte that is no UTF-8).
    const std::string refusedName = "zeros \"q\" \\ \t \xff.img";
    auto makeImages = [&](const std::string &tag) {
        const std::string qcow2 = scratch + "/" + tag + "-disk.qcow2", zeros = scratch + "/" + tag + refusedName;
        unlink(qcow2.c_str());
        EXPECT_EQ(RunTool({"qemu-img", "convert", "-f", "raw", "-O", "qcow2", MbrDisk(), qcow2}).status, 0);
        EXPECT_EQ(close(open(zeros.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644)), 0);
        EXPECT_EQ(truncate(zeros.c_str(), 1 << 20), 0);
        return std::vector<std::string>{CopyOf(narrow, (tag + "-bare.img").c_str()), qcow2, zeros};
    };
    // Each alone first: what a run of several must say and do, image by image.
    const std::vector<std::string> alone = makeImages("alone");
    std::vector<ToolRun> aloneRuns;
    for (const std::string &image : alone) aloneRuns.push_back(QuilletImage({image}));
    ASSERT_EQ(aloneRuns[0].status, 0) << aloneRuns[0].err;
    ASSERT_EQ(aloneRuns[1].status, 0) << aloneRuns[1].err;
    ASSERT_EQ(aloneRuns[2].status, 8);
    const std::string refusal = "Unsupported file system! Found only zeros at byte 0, not an NTFS boot sector.";
    ASSERT_EQ(aloneRuns[2].err, "quillet-image: " + alone[2] + ": " + refusal + "\n");
    for (const char *jobs : {"1", "3"}) {
        SCOPED_TRACE(jobs);
        std::vector<std::string> images = makeImages(std::string("jobs") + jobs);
        ToolRun run = QuilletImage({"--jobs", jobs, images[0], images[2], images[1]});
        EXPECT_EQ(run.status, 8);
        // In the order given, each as alone after the header naming it.
        std::swap(images[1], images[2]);
        EXPECT_EQ(run.out, "image: " + images[0] + "\n" + aloneRuns[0].out + "\nimage: " + images[1] + "\n" +
                               "\nimage: " + images[2] + "\n" + aloneRuns[1].out);
        EXPECT_EQ(run.err, "quillet-image: " + images[1] + ": " + refusal + "\n");
        EXPECT_TRUE(Contents(images[0]) == Contents(alone[0]));
        EXPECT_TRUE(Contents(images[2]) == Contents(alone[1]));
        EXPECT_EQ(Allocated(images[2]), Allocated(alone[1]));
    }
    ExpectTrimmedExactly(alone[0], 0, narrow, Reference(narrow, 0));

    // The document, field by field against the runs alone.
    std::vector<std::string> images = makeImages("json");
    ToolRun run = QuilletImage({"--output=json", "-j", "2", images[0], images[1], images[2]});
    EXPECT_EQ(run.status, 8);
    EXPECT_EQ(run.err, "quillet-image: " + images[2] + ": " + refusal + "\n");
    std::map<std::string, std::string> fields = JsonFields(run.out);
    const std::vector<int64_t> bare = SummaryFigures(aloneRuns[0].out), disk = SummaryFigures(aloneRuns[1].out);
    ASSERT_EQ(bare.size(), 3u);
    ASSERT_EQ(disk.size(), 6u);  // two partitions
    std::smatch type;
    ASSERT_TRUE(std::regex_search(aloneRuns[1].out, type, std::regex("Partition 1 \\((.*)\\):")));
    auto text = [](const std::string &value) { return "\"" + value + "\""; };
    const std::vector<TrimCommand> first = Reference(narrow, kFirstPartition), third = Reference(wide, kThirdPartition);
    std::map<std::string, std::string> expected = {
        {"program", text("quillet-image")}, {"version", text(QUILLET_VERSION)}, {"dry_run", "false"}, {"status", "8"},
        {"images.0.path", Quoted(images[0])}, {"images.0.format", text("raw")},
        {"images.0.virtual_size", std::to_string(FileSize(images[0]))},
        {"images.0.allocation_before", std::to_string(bare[1])}, {"images.0.allocation_after", std::to_string(bare[2])},
        {"images.0.status", "0"}, {"images.0.reason", "null"},
        {"images.0.volumes.0.number", "null"}, {"images.0.volumes.0.offset", "0"}, {"images.0.volumes.0.type", "null"},
        {"images.0.volumes.0.outcome", text("trimmed")}, {"images.0.volumes.0.reason", "null"},
        {"images.0.volumes.0.status", "0"}, {"images.0.volumes.0.commands", std::to_string(bare[0])},
        {"images.0.volumes.0.bytes_trimmed", std::to_string(BytesOf(Reference(narrow, 0)))},
        {"images.0.volumes.0.clusters", std::to_string(BytesOf(Reference(narrow, 0)) / 1024)},
        {"images.0.volumes.0.cluster_size", "1024"}, {"images.0.volumes.0.would_release", "null"},
        {"images.1.path", Quoted(images[1])}, {"images.1.format", text("qcow2")},
        {"images.1.virtual_size", std::to_string(kThirdPartition + (int64_t)wide.volumeBytes)},
        {"images.1.allocation_before", std::to_string(disk[1])}, {"images.1.allocation_after", std::to_string(disk[5])},
        {"images.1.status", "0"}, {"images.1.reason", "null"},
        {"images.1.volumes.0.number", "1"}, {"images.1.volumes.0.offset", std::to_string(kFirstPartition)},
        {"images.1.volumes.0.type", Quoted(type[1])}, {"images.1.volumes.0.outcome", text("trimmed")},
        {"images.1.volumes.0.reason", "null"}, {"images.1.volumes.0.status", "0"},
        {"images.1.volumes.0.commands", std::to_string(disk[0])},
        {"images.1.volumes.0.bytes_trimmed", std::to_string(BytesOf(first))},
        {"images.1.volumes.0.clusters", std::to_string(BytesOf(first) / 1024)},
        {"images.1.volumes.0.cluster_size", "1024"}, {"images.1.volumes.0.would_release", "null"},
        {"images.1.volumes.1.number", "3"}, {"images.1.volumes.1.offset", std::to_string(kThirdPartition)},
        {"images.1.volumes.1.type", Quoted(type[1])}, {"images.1.volumes.1.outcome", text("trimmed")},
        {"images.1.volumes.1.reason", "null"}, {"images.1.volumes.1.status", "0"},
        {"images.1.volumes.1.commands", std::to_string(disk[3])},
        {"images.1.volumes.1.bytes_trimmed", std::to_string(BytesOf(third))},
        {"images.1.volumes.1.clusters", std::to_string(BytesOf(third) / 4096)},
        {"images.1.volumes.1.cluster_size", "4096"}, {"images.1.volumes.1.would_release", "null"},
        // Not UTF-8: the byte reads as U+FFFD, and path_hex keeps the name.
        {"images.2.path", Quoted(images[2].substr(0, images[2].size() - 5) + "\xEF\xBF\xBD.img")},
        {"images.2.format", text("raw")}, {"images.2.virtual_size", std::to_string(1 << 20)},
        {"images.2.allocation_before", "0"}, {"images.2.allocation_after", "0"},
        {"images.2.status", "8"}, {"images.2.reason", "null"},
        {"images.2.volumes.0.number", "null"}, {"images.2.volumes.0.offset", "0"}, {"images.2.volumes.0.type", "null"},
        {"images.2.volumes.0.outcome", text("refused")}, {"images.2.volumes.0.reason", Quoted(refusal)},
        {"images.2.volumes.0.status", "8"}, {"images.2.volumes.0.commands", "0"},
        {"images.2.volumes.0.bytes_trimmed", "0"}, {"images.2.volumes.0.clusters", "0"},
        {"images.2.volumes.0.cluster_size", "null"}, {"images.2.volumes.0.would_release", "null"},
    };
    std::string hex;
    for (unsigned char byte : images[2]) {
        char digits[3];
        snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    expected["images.2.path_hex"] = text(hex);
    EXPECT_EQ(fields, expected);
    // One image gives the same document with one entry.
    run = QuilletImage({"--output=json", makeImages("one")[2]});
    EXPECT_EQ(run.status, 8);
    EXPECT_EQ(JsonFields(run.out)["images.0.volumes.0.outcome"], text("refused"));
    // A dry run's document says what the image would give back, as its text does.
    const std::string dry = makeImages("dry")[0];
    ToolRun told = QuilletImage({"-n", dry});
    std::smatch would;
    ASSERT_TRUE(std::regex_search(told.out, would, std::regex("would release ([0-9]+) of them"))) << told.out;
    EXPECT_EQ(JsonFields(QuilletImage({"--output=json", "-n", dry}).out)["images.0.volumes.0.would_release"], would[1].str());
}

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

// Partition entries are checked before a byte is read through them. The
// disk is MbrDisk()'s with one entry spoilt per case.
TEST_F(QuilletImageTest, PartitionTablesAreCheckedBeforeTheyAreTrusted) {
    const uint32_t first = kFirstPartition / 512, third = kThirdPartition / 512;
    const uint32_t narrowSectors = (uint32_t)(narrow.volumeBytes / 512);
    const uint32_t wideSectors = (uint32_t)(wide.volumeBytes / 512);
    const struct {
        int entry;
        uint8_t type;
        uint32_t firstSector, sectorCount;
        const char *partition;
        const char *message;
    } cases[] = {
        // A partition 2 that the table places inside partition 1.
        {2, 0x07, first + 2048, 4096, "1", "MBR partition 1 overlaps partition 2"},
        {2, 0x07, first + 2048, 4096, "2", "MBR partition 2 overlaps partition 1"},
        // Partition 3 as if the image had been cut short.
        {3, 0x07, third, wideSectors + 2048, "3", "MBR partition 3 ends past the end of the disk"},
        {2, 0x05, first + narrowSectors, 2048, "2", "MBR partition 2 is an extended partition, not a volume"},
        {4, 0xEE, 1, 0xFFFFFFFF, "1", "the MBR is a protective one for a GPT, but there is no GPT header at sector 1"},
    };
    for (const auto &c : cases) {
        std::string disk = MbrDisk();
        uint8_t sector[512];
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(ReadBytes(disk, 0, 512, &bytes));
        memcpy(sector, bytes.data(), 512);
        PutMbrEntry(sector, c.entry, c.type, c.firstSector, c.sectorCount);
        ASSERT_TRUE(WriteBytes(disk, 0, sector, sizeof sector));
        std::vector<uint8_t> before = Contents(disk);
        ToolRun run = QuilletImage({"--partition", c.partition, disk});
        EXPECT_EQ(run.status, 66) << c.message;
        EXPECT_EQ(run.err, "quillet-image: " + disk + ": " + c.message + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(Contents(disk) == before) << c.message;
    }
}

// Volumes Windows left in a state whose bitmap may miss allocations, made
// from a real mkntfs volume; ntfs-3g (or ntfsinfo, for the dirty flag,
// which ntfs-3g mounts regardless) must call each unsafe too, and both must
// accept the safe ones.
TEST_F(QuilletImageTest, VolumesWindowsLeftUnsafeAreRefusedAsNtfs3gRefusesThem) {
    enum Referee { kMount, kInfo };
    const std::string hibernated = "hibr" + std::string(65532, '\0');
    const struct {
        const char *name;
        int logMajor, logMinor, clientInUse;  // restart pages written when logMajor != 0
        uint16_t volumeFlags;
        std::string hiberfil;                 // written when not empty
        Referee referee;
        const char *refereeSays;              // empty: accepts the volume
        const char *message;                  // empty: trimmed
        const char *hiberfilName = nullptr;   // null: "hiberfil.sys"
        int secondClientInUse = -1;           // 0 or 1: the second restart page differs,
        int secondNewer = 1;                  // with a newer or older LSN than the first
    } cases[] = {
        {"fresh", 0, 0, 0, 0, "", kMount, "", ""},
        {"log-clean", 1, 1, 0, 0, "", kMount, "", ""},
        {"log-unclean", 1, 1, 1, 0, "", kMount, "The disk contains an unclean file system",
         "Windows did not close the volume cleanly (its $LogFile still has to be replayed)"},
        {"log-cached", 2, 0, 0, 0, "", kMount, "Metadata kept in Windows cache",
         "Windows keeps the volume's metadata cached for fast start-up"},
        {"hibernated", 0, 0, 0, 0, hibernated, kMount, "Windows is hibernated",
         "Windows is hibernated on the volume (hiberfil.sys in its root folder holds a hibernation image)"},
        {"hibernated-8", 0, 0, 0, 0, "HIBR" + hibernated.substr(4), kMount, "Windows is hibernated",
         "Windows is hibernated on the volume"},
        {"resumed", 0, 0, 0, 0, "wake" + hibernated.substr(4), kMount, "", ""},
        // NTFS names are case-insensitive: ntfs-3g looks for the exact
        // name only, we refuse any spelling.
        {"hibernated-upper-case", 0, 0, 0, 0, hibernated, kMount, "", "Windows is hibernated on the volume",
         "HIBERFIL.SYS"},
        {"dirty", 0, 0, 0, 1, "", kInfo, "Volume is scheduled for check",
         "The volume is marked dirty ($Volume schedules a disk check)"},
        // The newer restart page decides, whichever of the two it is.
        {"log-newer-unclean-second", 1, 1, 0, 0, "", kMount, "The disk contains an unclean file system",
         "Windows did not close the volume cleanly", nullptr, 1, 1},
        {"log-newer-unclean-first", 1, 1, 1, 0, "", kMount, "The disk contains an unclean file system",
         "Windows did not close the volume cleanly", nullptr, 0, 0},
        {"log-newer-clean-second", 1, 1, 1, 0, "", kMount, "", "", nullptr, 0, 1},
        // Too short to hold the header: it cannot tell, so it counts as hibernated.
        {"hiberfil-shorter-than-its-header", 0, 0, 0, 0, std::string(100, '\0'), kMount, "Hibernated non-system partition",
         "Windows is hibernated on the volume"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string image = CopyOf(narrow, (std::string(c.name) + ".img").c_str());
        std::string error;
        ASSERT_TRUE(c.logMajor == 0 || WriteLogRestartPages(image, narrow, c.logMajor, c.logMinor, c.clientInUse, &error,
                                                          c.secondClientInUse, c.secondNewer))
            << error;
        ASSERT_TRUE(c.volumeFlags == 0 || SetVolumeFlags(image, narrow, c.volumeFlags, &error)) << error;
        ASSERT_TRUE(c.hiberfil.empty() ||
                    PutNtfsFile(image, c.hiberfilName ? c.hiberfilName : "hiberfil.sys", c.hiberfil, &error))
            << error;
        std::vector<uint8_t> before = Contents(image);

        std::string verdict;
        if (c.referee == kMount) {
            verdict = Ntfs3gRefusal(image);
        } else {
            ToolRun info = RunTool({"ntfsinfo", "-m", image});
            verdict = info.status != 0 ? info.err : "";
        }
        if (*c.refereeSays == 0) {
            EXPECT_EQ(verdict, "");
        } else {
            EXPECT_NE(verdict.find(c.refereeSays), std::string::npos) << verdict;
        }
        EXPECT_TRUE(Contents(image) == before) << "the referee changed the image";

        ToolRun run = QuilletImage({image});
        if (*c.message == 0) {
            EXPECT_EQ(run.status, 0) << run.err;
            continue;
        }
        EXPECT_EQ(run.status, 4);
        EXPECT_EQ(run.err.find("quillet-image: " + image + ": " + c.message), 0u) << run.err;
        EXPECT_NE(run.err.find("then try again.\n"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(Contents(image) == before);
    }

    // ntfsfix -d clears the dirty flag: then both accept the volume.
    std::string image = CopyOf(narrow, "fixed.img");
    std::string error;
    ASSERT_TRUE(SetVolumeFlags(image, narrow, 1, &error)) << error;
    ASSERT_EQ(RunTool({"ntfsfix", "-d", image}).status, 0);
    EXPECT_EQ(RunTool({"ntfsinfo", "-m", image}).status, 0);
    EXPECT_EQ(QuilletImage({image}).status, 0);
}

// Bitmaps that lie in a plausible way: each calls clusters free that a
// record claims (the places from ntfsinfo), and each is refused with status
// 9, a reason naming the contradiction and the image byte for byte as it was.
TEST_F(QuilletImageTest, BitmapsThatCallClaimedClustersFreeAreRefused) {
    const int64_t cluster = wide.clusterSize;
    int64_t bitmapLcn = 0, bitmapLength = 0, logLcn = 0, bootLcn = 0, fileLcn = 0, length = 0, fileLength = 0;
    ASSERT_TRUE(FirstNtfsRun(wide.path, "6", &bitmapLcn, &bitmapLength));
    int64_t logLength = 0;
    ASSERT_TRUE(FirstNtfsRun(wide.path, "2", &logLcn, &logLength));
    ASSERT_TRUE(FirstNtfsRun(wide.path, "7", &bootLcn, &length));
    const int64_t bootLast = bootLcn + length - 1;
    // file2.bin: a cluster and a byte, kept (file0 is resident).
    const std::string file = wide.files[2].name;
    ASSERT_TRUE(FirstNtfsRun(wide.path, file, &fileLcn, &fileLength));
    const int64_t fileRecord = NtfsInode(wide.path, file);
    ASSERT_GT(fileRecord, 0);
    const int64_t mftPast16 = wide.mftCluster + 16 * (int64_t)wide.mftRecordSize / cluster;
    const auto cleared = [&](const std::vector<int64_t> &lcns) {
        std::vector<uint8_t> bitmap = wide.bitmap;
        for (int64_t lcn : lcns) bitmap[lcn / 8] &= (uint8_t) ~(1u << (lcn % 8));
        return bitmap;
    };
    const int64_t recordBytes = wide.mftRecordSize;
    const auto recordAt = [&](int64_t number) { return wide.mftCluster * cluster + number * recordBytes; };
    // Points the first run of the unnamed $DATA of record `number` at `lcn`
    // for `clusters`, within the record's first stride (the update
    // sequence keeps its tail).
    const auto pointRun = [&](const std::string &image, int64_t number, int64_t lcn, int64_t clusters) {
        std::vector<uint8_t> record;
        ASSERT_TRUE(ReadBytes(image, recordAt(number), recordBytes, &record));
        uint32_t at = record[0x14] | record[0x15] << 8;
        while (at + 0x48 < 510 && record[at] != 0x80) at += record[at + 4] | record[at + 5] << 8;
        ASSERT_EQ(record[at], 0x80);
        const uint32_t pairs = at + (record[at + 0x20] | record[at + 0x21] << 8);
        const uint8_t run[] = {0x42, (uint8_t)clusters, (uint8_t)(clusters >> 8), (uint8_t)lcn, (uint8_t)(lcn >> 8),
                               (uint8_t)(lcn >> 16), (uint8_t)(lcn >> 24), 0};
        ASSERT_LT(pairs + sizeof run, 510u);
        ASSERT_TRUE(WriteBytes(image, recordAt(number) + pairs, run, sizeof run));
    };
    const std::string fileRecordText = std::to_string(fileRecord);
    const std::string other = wide.files[4].name;  // five clusters, kept
    int64_t otherLcn = 0, otherLength = 0;
    ASSERT_TRUE(FirstNtfsRun(wide.path, other, &otherLcn, &otherLength));
    const int64_t otherRecord = NtfsInode(wide.path, other);
    ASSERT_GT(otherRecord, fileRecord);
    const auto at = [](int64_t lcn) { return "cluster " + std::to_string(lcn); };
    const int64_t last = wide.clusters - 1;
    const bool lastFree = (wide.bitmap[last / 8] >> (last % 8) & 1) == 0;
    const struct {
        const char *what;
        std::vector<int64_t> clearedClusters;  // empty: the bitmap as it is
        std::function<void(const std::string &)> patch;  // null: $Bitmap's run moved onto a copy
        std::string reason;
    } cases[] = {
        {"user file", {fileLcn}, [](const std::string &) {}, at(fileLcn) + " of MFT record " + fileRecordText},
        {"$MFT past its first 16 records", {mftPast16}, [](const std::string &) {}, at(mftPast16) + " of MFT record 0"},
        {"$LogFile", {logLcn}, [](const std::string &) {}, at(logLcn) + " of MFT record 2"},
        {"$Boot's last cluster", {bootLast}, [](const std::string &) {}, at(bootLast) + " of MFT record 7"},
        {"$Bitmap's run on a copy with a file cleared", {}, nullptr, ""},
        // Every difference is counted, the first four named in $MFT's order.
        {"six clusters of five files",
         {fileLcn, mftPast16, logLcn, bootLast, otherLcn, otherLcn + 2},
         [](const std::string &) {},
         "6 differences between $MFT and $Bitmap: " + at(mftPast16) + " of MFT record 0 is marked free in $Bitmap; " +
             at(logLcn) + " of MFT record 2 is marked free in $Bitmap; " + at(bootLast) +
             " of MFT record 7 is marked free in $Bitmap; " + at(fileLcn) + " of MFT record " + fileRecordText +
             " is marked free in $Bitmap; and 2 more: run chkdsk /f"},
        // Records patched as damage leaves them, the bitmap untouched.
        {"two files claim the same clusters", {},
         [&](const std::string &image) { pointRun(image, fileRecord, otherLcn, 2); },
         "clusters " + std::to_string(otherLcn) + " to " + std::to_string(otherLcn + 1) +
             " are claimed again by MFT record " + std::to_string(otherRecord) + ": run chkdsk /f"},
        {"a run one cluster past the end", {},
         [&](const std::string &image) { pointRun(image, fileRecord, wide.clusters - 1, 2); },
         (lastFree ? "2 differences between $MFT and $Bitmap: " : "") + std::string("MFT record ") + fileRecordText +
             " claims cluster " + std::to_string(wide.clusters) + ", past the volume's end" +
             (lastFree ? "; " + at(wide.clusters - 1) + " of MFT record " + fileRecordText + " is marked free in $Bitmap"
                       : "") + ": run chkdsk /f"},
        // The reader's bound on stored runs: $LogFile's one run moved to end
        // one cluster past the volume, its length kept and its restart
        // pages with it (so that only the bound tells).
        {"$LogFile's run one cluster past the end", {},
         [&](const std::string &image) {
             const int64_t moved = wide.clusters - logLength + 1;
             std::vector<uint8_t> pages;
             ASSERT_TRUE(ReadBytes(image, logLcn * cluster, 128 << 10, &pages));  // all the check reads
             ASSERT_TRUE(WriteBytes(image, moved * cluster, pages.data(), pages.size()));
             pointRun(image, 2, moved, logLength);
         },
         "The volume's $LogFile is damaged"},
        {"an in-use record without its FILE signature", {},
         [&](const std::string &image) { ASSERT_TRUE(WriteBytes(image, recordAt(fileRecord), "BAAD", 4)); },
         "MFT record " + fileRecordText + " is damaged: run chkdsk /f"},
        {"a torn record: its first stride fails the update sequence", {},
         [&](const std::string &image) { ASSERT_TRUE(WriteBytes(image, recordAt(fileRecord) + 510, "\x5a\xa5", 2)); },
         "MFT record " + fileRecordText + " is damaged: run chkdsk /f"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string image = CopyOf(wide, "lying.img");
        if (c.patch) {
            std::vector<uint8_t> bitmap = cleared(c.clearedClusters);
            ASSERT_TRUE(WriteBytes(image, bitmapLcn * cluster, bitmap.data(), bitmap.size()));
            c.patch(image);
        } else {
            // A file that holds the bitmap with file2.bin's clusters
            // cleared, and $Bitmap's one run (in record 6) pointed at it.
            std::vector<uint8_t> copy = wide.bitmap;
            for (int64_t lcn = fileLcn; lcn < fileLcn + fileLength; lcn++) copy[lcn / 8] &= (uint8_t) ~(1u << (lcn % 8));
            std::string error;
            ASSERT_TRUE(PutNtfsFile(image, "copy.bin", std::string(copy.begin(), copy.end()), &error)) << error;
            int64_t copyLcn = 0, copyLength = 0;
            ASSERT_TRUE(FirstNtfsRun(image, "copy.bin", &copyLcn, &copyLength));
            // The copy calls its own clusters used, as the real bitmap now does.
            for (int64_t lcn = copyLcn; lcn < copyLcn + copyLength; lcn++) copy[lcn / 8] |= (uint8_t)(1u << (lcn % 8));
            ASSERT_TRUE(WriteBytes(image, copyLcn * cluster, copy.data(), copy.size()));
            pointRun(image, 6, copyLcn, bitmapLength);
            int64_t movedLcn = 0;
            ASSERT_TRUE(FirstNtfsRun(image, "6", &movedLcn, &length));
            ASSERT_EQ(movedLcn, copyLcn) << "ntfs-3g does not see $Bitmap on the copy";
        }
        std::vector<uint8_t> before = Contents(image);
        ToolRun run = QuilletImage({image});
        EXPECT_EQ(run.status, 9);
        const std::string head = "quillet-image: " + image + ": Read partition bitmap failed! " + c.reason;
        EXPECT_EQ(run.err.rfind(head, 0), 0u) << run.err;
        EXPECT_NE(run.err.find("chkdsk /f"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(Contents(image) == before);
    }
}

// Two runs must not trim one image at once: a run holds an exclusive lock
// on the image, and one that cannot take it touches nothing.
TEST_F(QuilletImageTest, ImageLockedByAnotherRunIsRefused) {
    std::string image = CopyOf(wide, "locked.img");
    std::vector<uint8_t> before = Contents(image);
    int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    ToolRun run = QuilletImage({image});
    close(fd);
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, "quillet-image: " + image + ": Another quillet-image run is using the image.\n");
    EXPECT_TRUE(Contents(image) == before);
    EXPECT_EQ(QuilletImage({"--dry-run", image}).status, 0);  // the lock ends with its holder
}

// A TCP port nobody listens on right now, on 127.0.0.1.
int FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = fd >= 0 && bind(fd, (struct sockaddr *)&address, sizeof address) == 0 &&
                       getsockname(fd, (struct sockaddr *)&address, &size) == 0
                   ? ntohs(address.sin_port)
                   : 0;
    if (fd >= 0) close(fd);
    return port;
}

// Waits (up to 30 s) for the server whose pid the file holds to end after
// its one client; one still serving then (its client never came) is ended.
void AwaitServerEnd(const std::string &pidFile) {
    const int pid = atoi(ReadText(pidFile).c_str());
    for (int i = 0; pid > 0 && i < 3000 && kill(pid, 0) == 0; i++) usleep(10000);
    if (pid > 0 && kill(pid, 0) == 0) {
        ADD_FAILURE() << "qemu-nbd " << pid << " still serves";
        kill(pid, SIGTERM);
    }
}

std::string ShellQuoted(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A disk served by qemu-nbd or nbdkit, on a Unix socket or on 127.0.0.1:
// trimmed as exactly as the same disk given as a file (the command list
// against ntfscat's '$Bitmap', the bytes after), the allocation from the
// server's block status or, where it offers none, unknown; a server
// without trim is refused with that reason and its disk left alone.
TEST_F(QuilletImageVmDiskTest, DisksServedOverNbdTrimAsExactlyAsFiles) {
    const struct {
        const char *server;  // qemu-nbd, nbdkit, nbdkit-no-sr (no block status), nbdkit-no-trim
        bool tcp;
        std::string format;
        bool json;
        int status;
    } cases[] = {
        {"qemu-nbd", false, "raw", false, 0},
        {"qemu-nbd", true, "qcow2", true, 0},
        {"nbdkit", false, "raw", true, 0},
        {"nbdkit", true, "raw", false, 0},
        {"nbdkit-no-sr", false, "raw", false, 0},
        {"nbdkit-no-sr", true, "raw", true, 0},
        {"nbdkit-no-trim", false, "raw", false, 10},
    };
    const std::string original = MakeVmDisk(kWindowsGpt);
    std::vector<TrimCommand> commands = CommandsOf(kWindowsGpt, original, {3, 4});
    // The EFI system partition's free clusters first, as the FAT read apart
    // from the engine names them.
    std::string fatError;
    const std::vector<TrimCommand> fatFree = FatFreeSpans(vmFat, &fatError);
    ASSERT_EQ(fatError, "");
    commands.insert(commands.begin(), fatFree.begin(), fatFree.end());
    for (const auto &c : cases) {
        const std::string shown = std::string(c.server) + (c.tcp ? " tcp " : " unix ") + c.format;
        SCOPED_TRACE(shown);
        const std::string disk = scratch + "/served." + c.format, list = scratch + "/served.list";
        const std::string socketPath = scratch + "/served.socket", pidFile = scratch + "/served.pid";
        unlink(disk.c_str());
        unlink(list.c_str());
        unlink(socketPath.c_str());
        if (c.format == "raw") {
            ASSERT_TRUE(CopySparse(original, 0, disk, 0, FileSize(original)));
        } else {
            ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", "raw", "-O", c.format, original, disk}).status, 0);
        }
        const std::vector<uint8_t> served = Contents(disk);
        const int port = c.tcp ? FreeLoopbackPort() : 0;
        ASSERT_TRUE(!c.tcp || port > 0);
        const std::string uri = c.tcp ? "nbd://127.0.0.1:" + std::to_string(port) + "/"
                                      : "nbd+unix:///?socket=" + socketPath;
        std::vector<std::string> arguments = {program, "--commands", list};
        if (c.json) arguments.push_back("--output=json");
        ToolRun run;
        if (std::string(c.server) == "qemu-nbd") {
            // It serves its one client, then ends by itself.
            std::vector<std::string> serve = {"qemu-nbd", "--fork", "--pid-file", pidFile, "-f", c.format,
                                              "--discard=unmap", "--cache=none"};
            if (c.tcp) {
                serve.insert(serve.end(), {"-b", "127.0.0.1", "-p", std::to_string(port)});
            } else {
                serve.insert(serve.end(), {"-k", socketPath});
            }
            serve.push_back(disk);
            ToolRun started = RunTool(serve);
            ASSERT_EQ(started.status, 0) << started.err;
            arguments.push_back(uri);
            run = RunTool(arguments);
            AwaitServerEnd(pidFile);
        } else {
            // nbdkit runs the program while it serves, on the URI it says.
            std::string command;
            for (const std::string &argument : arguments) command += ShellQuoted(argument) + " ";
            std::vector<std::string> serve = {"nbdkit", "--exit-with-parent"};
            if (c.tcp) {
                serve.insert(serve.end(), {"-i", "127.0.0.1", "-p", std::to_string(port)});
            } else {
                serve.insert(serve.end(), {"-U", socketPath});
            }
            if (std::string(c.server) == "nbdkit-no-sr") serve.push_back("--no-sr");
            if (std::string(c.server) == "nbdkit-no-trim") {
                // The eval plugin offers trim only with a trim script.
                const std::string file = ShellQuoted(disk);
                serve.insert(serve.end(), {"eval", "get_size=stat -Lc %s " + file,
                                           "pread=dd if=" + file + " skip=$4 count=$3 iflag=skip_bytes,count_bytes status=none",
                                           "pwrite=dd of=" + file + " seek=$4 conv=notrunc oflag=seek_bytes status=none"});
            } else {
                serve.insert(serve.end(), {"file", disk});
            }
            serve.insert(serve.end(), {"--run", command + ShellQuoted(uri)});
            run = RunTool(serve);
        }
        ASSERT_EQ(run.status, c.status) << run.err << run.out;
        if (c.status != 0) {
            EXPECT_EQ(run.err, "quillet-image: " + uri + ": the NBD server offers no trim (it does not take NBD_CMD_TRIM)\n");
            EXPECT_TRUE(Contents(disk) == served);
            continue;
        }
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(ListedSpans(list), TrimmedSpans(commands));
        const bool knowsAllocation = std::string(c.server) != "nbdkit-no-sr";
        if (c.json) {
            std::map<std::string, std::string> fields = JsonFields(run.out);
            EXPECT_EQ(fields["images.0.path"], Quoted(uri));
            EXPECT_EQ(fields["images.0.format"], "null");
            EXPECT_EQ(fields["images.0.virtual_size"], std::to_string(FileSize(original)));
            EXPECT_EQ(fields["images.0.volumes.0.bytes_trimmed"], std::to_string(BytesOf(fatFree)));
            EXPECT_EQ(fields["images.0.volumes.2.bytes_trimmed"], std::to_string(BytesOf(CommandsOf(kWindowsGpt, original, {3}))));
            EXPECT_EQ(fields["images.0.volumes.3.bytes_trimmed"], std::to_string(BytesOf(CommandsOf(kWindowsGpt, original, {4}))));
            if (knowsAllocation) {
                EXPECT_LT(std::stoll(fields["images.0.allocation_after"]), std::stoll(fields["images.0.allocation_before"]));
            } else {
                EXPECT_EQ(fields["images.0.allocation_before"], "null");
                EXPECT_EQ(fields["images.0.allocation_after"], "null");
            }
        } else {
            EXPECT_EQ(run.out.rfind("The NBD server owns the image: no local in-use or lock checks apply", 0), 0u) << run.out;
            const std::vector<int64_t> figures = SummaryFigures(run.out);
            if (knowsAllocation) {
                ASSERT_EQ(figures.size(), 9u) << run.out;  // the FAT volume and both NTFS ones
                EXPECT_LT(figures[8], figures[1]) << run.out;
            } else {
                EXPECT_NE(run.out.find("Image allocation: unknown (the NBD server reports no block status)\n"),
                          std::string::npos) << run.out;
            }
        }
        std::string trimmed = disk;
        std::vector<TrimCommand> expected = commands;
        if (c.format != "raw") {
            trimmed = scratch + "/served-back.raw";
            unlink(trimmed.c_str());
            ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", c.format, "-O", "raw", disk, trimmed}).status, 0);
            EXPECT_EQ(QemuImgCheck(disk, c.format), "");
            // A plain trim frees whole qcow2 clusters (65536 bytes) alone:
            // what it shares with data stays as it was.
            expected.clear();
            for (const TrimCommand &span : TrimmedSpans(commands)) {
                const uint64_t from = (span.lba + 127) / 128 * 128, to = (span.lba + span.blocks) / 128 * 128;
                if (to > from) expected.push_back({from, (uint32_t)(to - from)});
            }
        }
        ExpectOnlyVolumesTrimmed(kWindowsGpt, original, trimmed, expected);
    }
}

// A libvirt domain through libvirt's test driver (real domain XML, no
// daemon): shut off, each disk trimmed exactly with the format its XML
// names, drives that are no disk to trim skipped or refused each with its
// reason (in a dry run); running or paused, refused with its state and
// nothing touched.
TEST_F(QuilletImageVmDiskTest, DomainsDisksAreTrimmedWhenShutOffAndLeftAloneOtherwise) {
    const std::string original = MakeVmDisk(kWindowsGpt);
    const std::string raw = scratch + "/domain-disk.raw", qcow2 = scratch + "/domain-disk.qcow2";
    const std::string node = scratch + "/node.xml";
    const std::string twoDisks =
        "<disk type='file' device='disk'><driver name='qemu' type='qcow2'/><source file='" + qcow2 +
        "'/><target dev='vda'/></disk>\n<disk type='file' device='disk'><driver name='qemu' type='raw'/><source "
        "file='" + raw + "'/><target dev='vdb'/></disk>\n";
    const std::string others =
        "<disk type='file' device='cdrom'><driver name='qemu' type='raw'/><source file='" + scratch +
        "/virtio.iso'/><target dev='sda'/><readonly/></disk>\n"
        "<disk type='file' device='disk'><driver name='qemu' type='raw'/><source file='" + original +
        "'/><target dev='vdc'/><readonly/></disk>\n"
        "<disk type='network' device='disk'><driver name='qemu' type='raw'/><source protocol='rbd' name='pool/win'/>"
        "<target dev='vdd'/></disk>\n"
        "<disk type='block' device='disk'><driver name='qemu' type='raw'/><source dev='/dev/sdz'/><target dev='vde'/></disk>\n"
        "<disk type='file' device='disk'><driver name='qemu' type='qcow2'/><source file='" + qcow2 +
        "'/><backingStore type='file'><format type='raw'/><source file='" + original + "'/></backingStore>"
        "<target dev='vdf'/></disk>\n"
        "<disk type='file' device='disk'><source file='" + raw + "'/><target dev='vdg'/></disk>\n";
    const struct {
        int runstate;  // virDomainState: 5 shut off, 1 running, 3 paused
        bool othersToo;
        int status;
        const char *refusal;  // of the domain; null: its disks ran
        bool all;  // --all-domains instead of -d windows: a domain not shut off is skipped, no fault
    } cases[] = {
        {5, false, 0, 0, false},
        {1, false, 4, "the domain is running: shut it down first (virsh shutdown windows)", false},
        {3, false, 4, "the domain is paused: shut it down first (virsh shutdown windows)", false},
        {5, true, 66, 0, false},
        {5, false, 0, 0, true},
        {1, false, 0, "the domain is running, skipped", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.runstate) + (c.othersToo ? " with other drives" : "") + (c.all ? " all" : ""));
        unlink(raw.c_str());
        unlink(qcow2.c_str());
        ASSERT_TRUE(CopySparse(original, 0, raw, 0, FileSize(original)));
        ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", "raw", "-O", "qcow2", original, qcow2}).status, 0);
        const std::vector<uint8_t> rawBefore = Contents(raw), qcow2Before = Contents(qcow2);
        const std::string xml =
            "<node xmlns:test='http://libvirt.org/schemas/domain/test/1.0'>\n<domain type='test'><name>windows</name>"
            "<test:runstate>" + std::to_string(c.runstate) + "</test:runstate><memory>1048576</memory><os><type>hvm"
            "</type></os>\n<devices>\n" + twoDisks + (c.othersToo ? others : "") + "</devices></domain>\n</node>\n";
        ASSERT_TRUE(WriteBytes(node, 0, xml.data(), xml.size()));
        ASSERT_EQ(truncate(node.c_str(), (off_t)xml.size()), 0);
        // With the other drives, a dry run: what each record says is the point there.
        std::vector<std::string> arguments = {"--output=json", "-d", "windows", "--connect", "test://" + node};
        if (c.all) arguments = {"--output=json", "--all-domains", "--connect", "test://" + node};
        // A domain that is not there is refused, and stops none of the others.
        if (c.othersToo) arguments.insert(arguments.end(), {"-n", "-d", "nope"});
        ToolRun run = QuilletImage(arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
        std::map<std::string, std::string> fields = JsonFields(run.out);
        if (c.refusal != 0) {
            EXPECT_EQ(run.err, c.all ? std::string() : std::string("quillet-image: domain windows: ") + c.refusal + "\n");
            EXPECT_EQ(fields["status"], std::to_string(c.status));
            EXPECT_EQ(fields["images.0.path"] + fields["images.0.domain"] + fields["images.0.disk"] +
                          fields["images.0.status"] + fields["images.0.reason"],
                      "null\"windows\"null" + std::to_string(c.status) + Quoted(c.refusal));
            EXPECT_EQ(fields.count("images.1.path"), 0u);
            EXPECT_TRUE(Contents(raw) == rawBefore);
            EXPECT_TRUE(Contents(qcow2) == qcow2Before);
            continue;
        }
        const struct {
            std::string path, disk, format;
            int status;
            std::string reason;
        } disks[] = {
            {qcow2, "vda", "qcow2", 0, ""},
            {raw, "vdb", "raw", 0, ""},
            {scratch + "/virtio.iso", "sda", "raw", 0, "a cdrom drive, skipped"},
            {original, "vdc", "raw", 0, "read-only for the guest, skipped"},
            {"domain windows disk vdd", "vdd", "raw", 66, "its source is on the network (rbd pool/win), not a local file: export it "
                                           "with qemu-nbd or qemu-storage-daemon and give its nbd:// URI"},
            {"domain windows disk vde", "vde", "raw", 66, "its source is the block device /dev/sdz: use quillet-disk for a partition"},
            {qcow2, "vdf", "qcow2", 66, "it has a backing chain in the domain's XML (" + original +
                                            "): the guest's disk is the chain, not this file; commit it first (qemu-img commit)"},
            {raw, "vdg", "", 66, "the domain's XML names no format (driver type) for it, and the tool does not guess one"},
        };
        // In libvirt's order of the disks (by bus, then target), refusals on stderr in the same order.
        size_t count = c.othersToo ? sizeof disks / sizeof disks[0] : 2;
        std::string refusals, headers;
        for (size_t record = 0; record < count; record++) {
            const std::string at = "images." + std::to_string(record) + ".";
            size_t i = 0;
            while (i < count && fields[at + "disk"] != Quoted(disks[i].disk)) i++;
            ASSERT_LT(i, count) << fields[at + "disk"];
            // A disk that is no file is named for messages alone.
            EXPECT_EQ(fields[at + "path"], disks[i].path.rfind("domain ", 0) == 0 ? "null" : Quoted(disks[i].path));
            EXPECT_EQ(fields[at + "domain"], "\"windows\"");
            EXPECT_EQ(fields[at + "disk"], Quoted(disks[i].disk));
            EXPECT_EQ(fields[at + "format"], disks[i].format.empty() ? "null" : Quoted(disks[i].format));
            EXPECT_EQ(fields[at + "status"], std::to_string(disks[i].status));
            EXPECT_EQ(fields[at + "reason"], disks[i].reason.empty() ? "null" : Quoted(disks[i].reason));
            if (disks[i].status != 0) refusals += "quillet-image: " + disks[i].path + ": " + disks[i].reason + "\n";
            headers += "image: " + disks[i].path + " (domain windows, disk " + disks[i].disk + ")\n";
        }
        if (c.othersToo) {
            const std::string nope = "images." + std::to_string(count) + ".";
            EXPECT_EQ(fields[nope + "path"] + fields[nope + "domain"] + fields[nope + "status"] + fields[nope + "reason"],
                      "null\"nope\"66\"no such domain: Domain not found\"");
            refusals += "quillet-image: domain nope: no such domain: Domain not found\n";
            headers += "domain: nope\n";
            count++;
        }
        EXPECT_EQ(fields.count("images." + std::to_string(count) + ".path"), 0u);
        EXPECT_EQ(run.err, refusals);
        if (c.othersToo) {
            // The text output: each disk's part after its header, in the same order.
            arguments.erase(arguments.begin());
            ToolRun human = QuilletImage(arguments);
            EXPECT_EQ(human.err, refusals);
            std::string shownHeaders;
            std::istringstream lines(human.out);
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind("image: ", 0) == 0 || line.rfind("domain: ", 0) == 0) shownHeaders += line + "\n";
            }
            EXPECT_EQ(shownHeaders, headers) << human.out;
            EXPECT_NE(human.out.find("image: " + scratch + "/virtio.iso (domain windows, disk sda)\nA cdrom drive, skipped\n"),
                      std::string::npos) << human.out;
            EXPECT_TRUE(Contents(raw) == rawBefore);
            EXPECT_TRUE(Contents(qcow2) == qcow2Before);
            continue;
        }
        // Both trimmed exactly: the raw file as it is, the qcow2 one read back.
        const std::vector<TrimCommand> commands = CommandsOf(kWindowsGpt, original, {3, 4});
        ExpectOnlyVolumesTrimmed(kWindowsGpt, original, raw, commands);
        const std::string back = scratch + "/domain-back.raw";
        unlink(back.c_str());
        ASSERT_EQ(RunTool({"qemu-img", "convert", "-f", "qcow2", "-O", "raw", qcow2, back}).status, 0);
        ExpectOnlyVolumesTrimmed(kWindowsGpt, original, back, commands);
    }
}

// Images the system is using: mounted through ntfs-3g (FUSE) while a writer
// fills the volume, and behind a loop device. These need root, /dev/fuse and
// loop devices; without them they are skipped, and the CTest test with them.
class QuilletImageInUseTest : public QuilletImageTest {};

TEST_F(QuilletImageInUseTest, MountedThroughNtfs3gWhileAWriterRuns) {
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "needs root and /dev/fuse to mount the image through ntfs-3g";
    }
    std::string image = CopyOf(wide, "mounted.img");
    std::string mountPoint = scratch + "/mounted";
    mkdir(mountPoint.c_str(), 0755);
    ToolRun mounted = RunTool({"ntfs-3g", image, mountPoint});
    if (mounted.status != 0) GTEST_SKIP() << "ntfs-3g cannot mount here: " << mounted.err;

    std::atomic<bool> stop(false);
    std::atomic<int> written(0);
    std::thread writer([&] {
        for (int i = 0; !stop && i < 2000; i++) {
            std::string content(16384 + 977 * (i % 13), (char)('a' + i % 26));
            if (!WriteBytes(mountPoint + "/w" + std::to_string(i), 0, content.data(), content.size())) break;
            written = i + 1;
        }
    });
    while (written < 5) usleep(1000);
    std::vector<ToolRun> runs;
    for (int i = 0; i < 5; i++) runs.push_back(QuilletImage({image}));
    stop = true;
    writer.join();
    for (const ToolRun &run : runs) {
        EXPECT_EQ(run.status, 4);
        EXPECT_EQ(run.err, "quillet-image: " + image + ": The image is in use: it is mounted at " +
                               mountPoint + ". Unmount it (or detach the loop device) first.\n");
    }
    for (int i = 0; i < written; i++) {
        std::vector<uint8_t> content;
        std::string expected(16384 + 977 * (i % 13), (char)('a' + i % 26));
        std::string path = mountPoint + "/w" + std::to_string(i);
        ASSERT_TRUE(ReadBytes(path, 0, FileSize(path), &content)) << path;
        EXPECT_TRUE(std::string(content.begin(), content.end()) == expected) << path << " was damaged";
    }
    EXPECT_EQ(RunTool({"umount", mountPoint}).status, 0);
    // Unmounted, it is the tool's again, once ntfs-3g's process (which
    // closes the image a moment after umount returns) has gone.
    ToolRun after = QuilletImage({"--dry-run", image});
    for (int i = 0; i < 50 && after.status == 4 && after.err.find("ntfs-3g") != std::string::npos; i++) {
        usleep(100000);
        after = QuilletImage({"--dry-run", image});
    }
    EXPECT_EQ(after.status, 0) << after.err;
}

TEST_F(QuilletImageInUseTest, BehindALoopDevice) {
    std::string image = CopyOf(wide, "looped.img");
    ToolRun attached = RunTool({"losetup", "--find", "--show", image});
    if (attached.status != 0) GTEST_SKIP() << "no loop device can be set up here: " << attached.err;
    std::string device = attached.out.substr(0, attached.out.find('\n'));
    std::vector<uint8_t> before = Contents(image);
    ToolRun run = QuilletImage({image});
    RunTool({"losetup", "--detach", device});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, "quillet-image: " + image + ": The image is in use: loop device " + device +
                           " is backed by it. Unmount it (or detach the loop device) first.\n");
    EXPECT_TRUE(Contents(image) == before);
}

// Shapes ntfs-3g leaves once a record fills, which the checks before a trim
// once refused: the root folder's index in extension records, and
// hiberfil.sys where only an extension record's part of $MFT maps it; and
// one whose hiberfil.sys name is split by a stride's end in its index. Each
// is trimmed exactly as ntfscat's bitmap says, every file intact; with a
// hibernation image in hiberfil.sys each is refused, as ntfs-3g refuses it.
// Made through a FUSE mount as root; without /dev/fuse the test is skipped.
class QuilletImageShapesTest : public QuilletImageTest {};

TEST_F(QuilletImageShapesTest, VolumesNtfs3gShapedAreTrimmedExactlyUnlessHibernated) {
    if (!FuseAvailable()) GTEST_SKIP() << "/dev/fuse is missing: no FUSE mount to shape NTFS volumes with ntfs-3g";
    NtfsVolume shaped[3];
    const NtfsShape shapes[] = {kRootIndexInExtensions, kHiberfilPastMftFirstSegment, kHiberfilNameAcrossStride};
    for (NtfsShape shape : shapes) {
        std::string error;
        ASSERT_TRUE(MakeRecipeNtfsVolume(scratch + "/shape-" + std::to_string(shape) + ".img", ShapedNtfsRecipe(shape),
                                         20 + shape, &shaped[shape], &error))
            << error;
        ASSERT_EQ(ShapeMissing(shaped[shape], shape), "");
        // hiberfil.sys is the cases' to write into.
        std::vector<NtfsFile> &files = shaped[shape].files;
        files.erase(std::remove_if(files.begin(), files.end(), [](const NtfsFile &f) { return f.name == "hiberfil.sys"; }),
                    files.end());
    }
    // The first extension record holding part of the root folder's index
    // ("Dumping attribute $INDEX_ROOT (0x90) from mft record 81 (0x51)").
    int64_t rootExtension = 0;
    {
        const std::string info = RunTool({"ntfsinfo", "-f", "-i", "5", shaped[kRootIndexInExtensions].path}).out;
        for (size_t at = info.find("from mft record "); at != std::string::npos && rootExtension == 0;
             at = info.find("from mft record ", at + 1)) {
            const int64_t number = strtoll(info.c_str() + at + 16, 0, 10);
            if (number != 5) rootExtension = number;
        }
        ASSERT_GT(rootExtension, 5);
    }
    const struct {
        NtfsShape shape;
        const char *signature;  // written over hiberfil.sys's first bytes; "" leaves its zeros
        int status;
        int64_t foreignBase;  // set: the root's extension record says it belongs to this record
    } cases[] = {
        {kRootIndexInExtensions, "", 0, 0},
        {kRootIndexInExtensions, "hibr", 4, 0},
        // An extension record the root folder's attribute list names, that
        // says it belongs to $Bitmap: whose attributes it holds is unknown.
        {kRootIndexInExtensions, "", 9, 6},
        {kHiberfilPastMftFirstSegment, "", 0, 0},
        {kHiberfilPastMftFirstSegment, "wake", 0, 0},
        {kHiberfilPastMftFirstSegment, "hibr", 4, 0},
        {kHiberfilNameAcrossStride, "", 0, 0},
        {kHiberfilNameAcrossStride, "hibr", 4, 0},
    };
    for (const auto &c : cases) {
        const NtfsVolume &volume = shaped[c.shape];
        SCOPED_TRACE(std::to_string(c.shape) + " " + c.signature);
        std::string image = CopyOf(volume, "shaped.img");
        int64_t lcn = 0, length = 0;
        ASSERT_TRUE(FirstNtfsRun(image, "hiberfil.sys", &lcn, &length));
        ASSERT_TRUE(WriteBytes(image, lcn * volume.clusterSize, c.signature, strlen(c.signature)));
        if (c.foreignBase != 0) {
            const uint8_t base[8] = {(uint8_t)c.foreignBase};
            ASSERT_TRUE(WriteBytes(image, volume.mftCluster * volume.clusterSize + rootExtension * volume.mftRecordSize +
                                              0x20, base, 6));
            const std::vector<uint8_t> before = Contents(image);
            ToolRun run = QuilletImage({image});
            EXPECT_EQ(run.status, 9) << run.err;
            EXPECT_NE(run.err.find("MFT record " + std::to_string(rootExtension) +
                                   ", named in the attribute list of MFT record 5, belongs to another base record"),
                      std::string::npos)
                << run.err;
            EXPECT_TRUE(Contents(image) == before);
            continue;
        }
        const std::string verdict = Ntfs3gRefusal(image);
        EXPECT_EQ(verdict.find("Windows is hibernated") != std::string::npos ? 4 : verdict.empty() ? 0 : -1, c.status)
            << verdict;

        const std::vector<uint8_t> before = Contents(image);
        const std::string list = scratch + "/shaped.list";
        ToolRun run = QuilletImage({"--commands", list, image});
        ASSERT_EQ(run.status, c.status) << run.err;
        if (c.status != 0) {
            EXPECT_EQ(run.err.find("quillet-image: " + image + ": Windows is hibernated"), 0u)
                << run.err;
            EXPECT_TRUE(Contents(image) == before);
            continue;
        }
        const std::vector<TrimCommand> expected = Reference(volume, 0);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(ListedSpans(list), TrimmedSpans(expected));
        EXPECT_EQ(CompareAfterTrim(before, Contents(image), ListedSpans(list), 0, volume), "");
        EXPECT_EQ(FilesThatDiffer(image, volume, 1), "");
    }
}

// The clusters of a file's chain as mshowfat lists them ("<2-5> <9>").
std::vector<uint32_t> ChainOf(const std::string &image, const std::string &name) {
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    const std::string shown = RunTool({"mshowfat", "-i", image, "::" + name}).out;
    std::vector<uint32_t> chain;
    static const std::regex run("<([0-9]+)(-([0-9]+))?>");
    for (std::sregex_iterator at(shown.begin(), shown.end(), run), end; at != end; ++at) {
        const uint32_t first = (uint32_t)std::stoul((*at)[1]);
        const uint32_t last = (*at)[3].matched ? (uint32_t)std::stoul((*at)[3]) : first;
        for (uint32_t cluster = first; cluster <= last; cluster++) chain.push_back(cluster);
    }
    return chain;
}

// A FAT volume's free space, on volumes mkfs.fat made and mtools filled:
// the ranges sent are the free clusters the FAT names (read apart from the
// engine), the holes lie exactly there, every file reads back through
// mtools and fsck.fat still passes; the dry run and the JSON record say
// the same and leave the image alone.
TEST_F(QuilletImageTest, FatVolumesGiveBackExactlyTheirFreeClusters) {
    const struct {
        const char *name;
        std::vector<std::string> mkfs;
        int64_t bytes, offset;
        std::vector<std::string> options;  // how the volume is named
        uint32_t fatBits;
    } rows[] = {
        {"FAT12, 512-byte sectors, bare", {"-F", "12"}, 4 << 20, 0, {}, 12},
        {"FAT16, 2 KiB clusters, --offset", {"-F", "16", "-s", "4"}, 48 << 20, 1 << 20, {"--offset", "1048576"}, 16},
        {"FAT16, 4 KiB sectors, bare", {"-F", "16", "-S", "4096"}, 64 << 20, 0, {}, 16},
        {"FAT32, 512-byte sectors, bare", {"-F", "32", "-s", "1"}, 40 << 20, 0, {}, 32},
        {"FAT32, 4 KiB sectors, bare", {"-F", "32", "-S", "4096", "-s", "1"}, 300 << 20, 0, {}, 32},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string image = scratch + "/fat.img";
        unlink(image.c_str());
        FatVolume volume;
        std::string error;
        ASSERT_TRUE(MakeFatVolume(image, row.offset, row.bytes, row.mkfs, 9, &volume, &error)) << error;
        const std::vector<TrimCommand> free = FatFreeSpans(volume, &error);
        ASSERT_EQ(error, "");
        ASSERT_FALSE(free.empty());
        std::vector<uint8_t> boot;
        ASSERT_TRUE(ReadBytes(image, row.offset, 512, &boot));
        const uint32_t clusterSize = (boot[11] | boot[12] << 8) * boot[13];
        const std::vector<uint8_t> before = Contents(image);

        std::vector<std::string> arguments = row.options;
        arguments.insert(arguments.end(), {"--dry-run", "--output=json", image});
        ToolRun dry = QuilletImage(arguments);
        ASSERT_EQ(dry.status, 0) << dry.err;
        std::map<std::string, std::string> json = JsonFields(dry.out);
        EXPECT_EQ(json["images.0.volumes.0.outcome"], "\"trimmed\"") << dry.out;
        EXPECT_EQ(json["images.0.volumes.0.bytes_trimmed"], std::to_string(BytesOf(free)));
        EXPECT_EQ(json["images.0.volumes.0.cluster_size"], std::to_string(clusterSize));
        EXPECT_EQ(json["images.0.volumes.0.clusters"], std::to_string(BytesOf(free) / clusterSize));
        EXPECT_TRUE(Contents(image) == before);

        const std::string list = scratch + "/fat.list";
        arguments = row.options;
        arguments.insert(arguments.end(), {"--commands", list, image});
        const std::vector<std::pair<int64_t, int64_t>> holesBefore = FileHoles(image);
        ToolRun run = QuilletImage(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find("FAT" + std::to_string(row.fatBits) + ": "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("the drive accepted " + std::to_string(BytesOf(free)) + " bytes\n"), std::string::npos)
            << run.out;
        EXPECT_EQ(ListedSpans(list), free);
        // Zeros and holes exactly there; every other byte as it was.
        std::vector<uint8_t> expected = before;
        for (const TrimCommand &span : free) {
            std::fill(expected.begin() + span.lba * 512, expected.begin() + (span.lba + span.blocks) * 512, 0);
        }
        EXPECT_TRUE(Contents(image) == expected);
        auto spans = [](const std::vector<std::pair<int64_t, int64_t>> &holes, std::vector<TrimCommand> more) {
            for (const auto &hole : holes) more.push_back({(uint64_t)hole.first / 512, (uint32_t)((hole.second - hole.first) / 512)});
            return TrimmedSpans(more);
        };
        EXPECT_EQ(spans(FileHoles(image), {}), spans(holesBefore, free));
        EXPECT_EQ(FatVolumeDamage(image, volume), "");
        // Nothing left to give back, nothing said with -q.
        ToolRun again = QuilletImage({"-q", "--offset", std::to_string(row.offset), image});
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(again.out + again.err, "");
    }
}

// FAT volumes that contradict themselves, or that their last user left
// unclean, are refused with their reason and left byte for byte as they
// were; fsck.fat (-n) also finds fault with those it checks for.
TEST_F(QuilletImageTest, FatVolumesThatContradictThemselvesAreRefusedUntouched) {
    struct Layout {
        uint32_t bytesPerSector, reserved, fatSectors, fatBits;
    };
    // Writes `value` into FAT entry `cluster` of the copies in `copies` (bit 0: the first).
    auto setEntry = [](const std::string &image, const Layout &layout, uint32_t cluster, uint32_t value, int copies) {
        const uint32_t width = layout.fatBits / 8;
        for (uint32_t copy = 0; copy < 2; copy++) {
            if ((copies >> copy & 1) == 0) continue;
            const int64_t at = ((int64_t)layout.reserved + copy * (int64_t)layout.fatSectors) * layout.bytesPerSector +
                               (int64_t)cluster * width;
            uint8_t bytes[4] = {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
            EXPECT_TRUE(WriteBytes(image, at, bytes, width));
        }
    };
    auto setBoot = [](const std::string &image, int64_t at, std::vector<uint8_t> bytes) {
        EXPECT_TRUE(WriteBytes(image, at, bytes.data(), bytes.size()));
    };
    const struct {
        const char *name;
        uint32_t fatBits;
        // Damages the volume; `large` and `small` are two files' chains.
        std::function<void(const std::string &, const Layout &, const std::vector<uint32_t> &large,
                           const std::vector<uint32_t> &small)> damage;
        int status;
        std::string message;  // a part of the reason, with CLUSTER for the cluster it names
        bool fsckFinds;
    } rows[] = {
        {"FAT copies differ", 16,
         [&](const std::string &i, const Layout &l, const std::vector<uint32_t> &large, const std::vector<uint32_t> &) {
             setEntry(i, l, large.back(), 0, 2);
         },
         9, "copy 2 of the FAT differs from the first", true},
        {"FAT[1] clean bit cleared", 16,
         [&](const std::string &i, const Layout &l, const std::vector<uint32_t> &, const std::vector<uint32_t> &) {
             setEntry(i, l, 1, 0x7FFF, 3);
         },
         4, "was not closed cleanly (FAT[1]'s clean bit is cleared)", false},
        {"FAT32 FAT[1] clean bit cleared", 32,
         [&](const std::string &i, const Layout &l, const std::vector<uint32_t> &, const std::vector<uint32_t> &) {
             setEntry(i, l, 1, 0x07FFFFFF, 3);
         },
         4, "FAT[1]'s clean bit is cleared", false},
        {"boot sector dirty flag", 16,
         [&](const std::string &i, const Layout &, const std::vector<uint32_t> &, const std::vector<uint32_t> &) {
             setBoot(i, 0x25, {0x01});
         },
         4, "the boot sector's dirty flag is set", false},
        {"a chain through a free cluster", 16,
         [&](const std::string &i, const Layout &l, const std::vector<uint32_t> &large, const std::vector<uint32_t> &) {
             setEntry(i, l, large[1], 0, 3);
         },
         9, "cluster CLUSTER of LARGE.BIN's chain is free in the FAT", true},
        {"a loop in a chain", 32,
         [&](const std::string &i, const Layout &l, const std::vector<uint32_t> &large, const std::vector<uint32_t> &) {
             setEntry(i, l, large.back(), large.front(), 3);
         },
         9, "the cluster chain of LARGE.BIN loops back to cluster CLUSTER", true},
        {"two chains share a cluster", 16,
         [&](const std::string &i, const Layout &l, const std::vector<uint32_t> &large, const std::vector<uint32_t> &small) {
             setEntry(i, l, small.back(), large.back(), 3);
         },
         9, "is in another chain too", true},
        {"an entry naming no cluster", 16,
         [&](const std::string &i, const Layout &l, const std::vector<uint32_t> &large, const std::vector<uint32_t> &) {
             setEntry(i, l, large.back(), 0xFFF0, 3);
         },
         9, "which names no cluster", true},
        {"FAT32 root folder cluster free", 32,
         [&](const std::string &i, const Layout &l, const std::vector<uint32_t> &, const std::vector<uint32_t> &) {
             setEntry(i, l, 2, 0, 3);
         },
         9, "the root folder's cluster 2 is free in the FAT", true},
        {"media byte not FAT[0]'s", 16,
         [&](const std::string &i, const Layout &, const std::vector<uint32_t> &, const std::vector<uint32_t> &) {
             setBoot(i, 0x15, {0xF0});
         },
         9, "FAT[0] reads 0xFFF8, not the boot sector's media byte 0xF0", false},
        {"bytes per sector 1000", 16,
         [&](const std::string &i, const Layout &, const std::vector<uint32_t> &, const std::vector<uint32_t> &) {
             setBoot(i, 0x0B, {0xE8, 0x03});
         },
         8, "its field at offset 0x0B reads 1000: not a power of two from 512 to 4096", true},
        {"three FATs", 32,
         [&](const std::string &i, const Layout &, const std::vector<uint32_t> &, const std::vector<uint32_t> &) {
             setBoot(i, 0x10, {3});
         },
         8, "its field at offset 0x10 reads 3: not 1 or 2 copies of the FAT", false},
        {"a volume longer than its file", 16,
         [&](const std::string &i, const Layout &, const std::vector<uint32_t> &, const std::vector<uint32_t> &) {
             EXPECT_EQ(truncate(i.c_str(), FileSize(i) - (1 << 20)), 0);
         },
         8, "it reaches past the end of its partition", false},
    };
    FatVolume bases[2];
    std::string error;
    ASSERT_TRUE(MakeFatVolume(scratch + "/fat16-base.img", 0, 24 << 20, {"-F", "16"}, 3, &bases[0], &error)) << error;
    ASSERT_TRUE(MakeFatVolume(scratch + "/fat32-base.img", 0, 40 << 20, {"-F", "32", "-s", "1"}, 3, &bases[1], &error))
        << error;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const FatVolume &base = bases[row.fatBits == 32];
        const std::string image = scratch + "/fat-damaged.img";
        unlink(image.c_str());
        ASSERT_TRUE(CopySparse(base.path, 0, image, 0, FileSize(base.path)));
        std::vector<uint8_t> boot;
        ASSERT_TRUE(ReadBytes(image, 0, 512, &boot));
        const uint32_t fat16Size = boot[22] | boot[23] << 8;
        const Layout layout = {(uint32_t)(boot[11] | boot[12] << 8), (uint32_t)(boot[14] | boot[15] << 8),
                               fat16Size != 0 ? fat16Size : Le32(&boot[36]), row.fatBits};
        const std::vector<uint32_t> large = ChainOf(image, "LARGE.BIN"), small = ChainOf(image, "EFI/BOOT/F0.BIN");
        ASSERT_GE(large.size(), 2u);
        ASSERT_FALSE(small.empty());
        row.damage(image, layout, large, small);
        std::string message = row.message;
        const size_t named = message.find("CLUSTER");
        if (named != std::string::npos) {
            message.replace(named, 7, std::to_string(row.message.find("loops") != std::string::npos ? large.front() : large[1]));
        }
        const std::vector<uint8_t> before = Contents(image);
        ToolRun run = QuilletImage({"--commands", scratch + "/fat-damaged.list", image});
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("nothing was trimmed"), std::string::npos) << run.err;
        EXPECT_TRUE(Contents(image) == before);
        if (row.fsckFinds) {
            EXPECT_NE(RunTool({"fsck.fat", "-n", image}).status, 0) << "fsck.fat finds no fault";
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: %s PATH-TO-quillet-image PATH-TO-on-terminal\n", argv[0]);
        return 2;
    }
    program = argv[1];
    onTerminal = argv[2];
    int result = RUN_ALL_TESTS();
    // A run in which a test was skipped tells CTest so (SKIP_RETURN_CODE).
    const testing::UnitTest *unit = testing::UnitTest::GetInstance();
    return result == 0 && unit->skipped_test_count() > 0 ? 77 : result;
}
