// quillet-disk on drives that we did not write: QEMU's PIIX IDE and AHCI
// emulation behind Debian's kernel (libata, sd, SG_IO), and NVMe, virtio-blk
// and virtio-scsi, which take no ATA and get the kernel's discard, all in
// one virtual machine. Each drive's model (the serial number of NVMe and
// virtio-blk drives) tells the guest's init what to run (guest-init.sh);
// the results come back on the second serial port.
// The host then checks every backing file against ntfs-3g's view of the
// volume: the ranges sent cover exactly the blocks `ntfscat '$Bitmap'` leaves free,
// those ranges became holes and read zero, and every used cluster, every
// byte outside the partition and every file is unchanged.
//
//   vm_trim_test MAKE_INITRAMFS GUEST_INIT PROGRAM...
//
// Exit status 77 (skipped) when /boot holds no kernel the VM can boot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ntfs_volumes.h"

namespace {

const int kSkipped = 77;
const uint8_t kFreeSpacePattern = 0x5A;
const int64_t kRawDriveBytes = 8 << 20;
// The probe's ranges (ata_flags_probe.cpp).
const TrimCommand kOldFlagsRange = {2048, 2048};
const TrimCommand kEngineFlagsRange = {6144, 2048};

struct Drive {
    const char *model;  // 16 characters at most: libata shows no more
    const char *bus;    // "ide", "ahci", "nvme", "virtio-blk" or "scsi" (virtio-scsi)
    const char *layout; // pristine disk it starts from
    const char *qemuOptions;  // extra -device options
};

// Pristine disks: an NTFS volume (4 KiB or 1 KiB clusters) in MBR partition
// 1 at 1 MiB or at sector 63, or a raw drive for the flags probe. Every free
// cluster and every byte outside the partition holds a pattern, and the
// files hold no holes, so that every hole afterwards is one the drive
// punched.
struct Layout {
    const char *name;
    NtfsVolume *volume;  // null: raw drive
    int64_t offset;
    int dirty;  // $Volume marked for a disk check, as Windows leaves it
    uint32_t sectorSize;  // the unit of the partition table's entry
    std::string path;
};

NtfsVolume wide, narrow, wide4k, big;
Layout layouts[] = {
    {"wide-1m", &wide, 1 << 20, 0, 512, ""},
    {"narrow-63", &narrow, 63 * 512, 0, 512, ""},
    {"wide-63", &wide, 63 * 512, 0, 512, ""},
    {"dirty-1m", &wide, 1 << 20, 1, 512, ""},
    {"wide4k-1m", &wide4k, 1 << 20, 0, 4096, ""},
    // Nearly empty: its free space stays holes (no pattern), too big to hold in memory.
    {"empty-8g", &big, 1 << 20, 0, 512, ""},
    {"raw", nullptr, 0, 0, 512, ""},
};

Drive drives[] = {
    {"trim-ide-1m", "ide", "wide-1m", ""},
    {"trim-ide-63", "ide", "narrow-63", ""},
    {"flags-ide", "ide", "raw", ""},
    // Announces no TRIM (word 169 clear) and ignores discards.
    {"trim-ide-notrim", "ide", "wide-1m", ",discard_granularity=0"},
    {"trim-ahci-1m", "ahci", "wide-1m", ""},
    {"trim-ahci-63", "ahci", "narrow-63", ""},
    {"flags-ahci", "ahci", "raw", ""},
    {"mounted-ahci", "ahci", "wide-63", ""},
    {"trim-ahci-dirty", "ahci", "dirty-1m", ""},
    {"trim-nvme-1m", "nvme", "wide-1m", ""},
    {"trim-vblk-63", "virtio-blk", "narrow-63", ""},
    {"trim-scsi-4kn", "scsi", "wide4k-1m", ",logical_block_size=4096,physical_block_size=4096"},
    // Offers no discard at all (discard_max_bytes 0).
    {"trim-vblk-nodisc", "virtio-blk", "wide-1m", ",discard=off"},
    // On a second AHCI controller, the peer: ntfs-3g with fstrim on the
    // volumes quillet-disk trims on the first (fragmented) and here (nearly
    // empty).
    {"trim-ahci-8g", "ahci2", "empty-8g", ""},
    {"fstrim-ahci-8g", "ahci2", "empty-8g", ""},
    {"fstrim-ahci-1m", "ahci2", "wide-1m", ""},
};

const uint64_t kBigVolumeBytes = (uint64_t)8 << 30;
bool IsBig(const Layout &layout) { return layout.volume == &big; }

struct StepResult {
    std::string status;  // empty: the step did not run
    std::vector<TrimCommand> commands;
    std::string output;
};
std::map<std::string, std::map<std::string, StepResult>> results;  // model, step
std::vector<std::string> driveOrder;  // models, in the order the guest ran them

std::string scratch;

std::string PathOf(const Drive &drive) { return scratch + "/" + drive.model + ".img"; }

const Layout &LayoutOf(const Drive &drive) {
    for (const Layout &layout : layouts)
        if (std::string(layout.name) == drive.layout) return layout;
    return layouts[0];
}

int MakeLayout(Layout *layout) {
    layout->path = scratch + "/" + layout->name + ".img";
    const NtfsVolume *volume = layout->volume;
    const int64_t size = volume != nullptr ? layout->offset + (int64_t)volume->volumeBytes + (1 << 20) : kRawDriveBytes;
    if (IsBig(*layout)) {
        std::vector<uint8_t> mbr(512, 0);
        PutMbrEntry(mbr.data(), 1, 0x07, (uint32_t)(layout->offset / 512), (uint32_t)(volume->volumeBytes / 512));
        unlink(layout->path.c_str());
        return WriteBytes(layout->path, 0, mbr.data(), mbr.size()) &&
               CopySparse(volume->path, 0, layout->path, layout->offset, (int64_t)volume->volumeBytes) &&
               truncate(layout->path.c_str(), size) == 0;
    }
    std::vector<uint8_t> disk((size_t)size, kFreeSpacePattern);
    if (volume != nullptr) {
        std::string source = volume->path;
        std::string error;
        if (layout->dirty) {
            source = layout->path + ".volume";
            unlink(source.c_str());
            if (!CopySparse(volume->path, 0, source, 0, (int64_t)volume->volumeBytes) ||
                !SetVolumeFlags(source, *volume, 0x0001, &error)) {
                return 0;
            }
        }
        std::vector<uint8_t> bytes;
        int read = ReadBytes(source, 0, (int64_t)volume->volumeBytes, &bytes);
        if (layout->dirty) unlink(source.c_str());
        if (!read) return 0;
        for (uint64_t cluster = 0; cluster < (uint64_t)volume->clusters; cluster++) {
            if (ClusterIsUsed(volume->bitmap, cluster)) continue;
            memset(bytes.data() + cluster * volume->clusterSize, kFreeSpacePattern, volume->clusterSize);
        }
        std::copy(bytes.begin(), bytes.end(), disk.begin() + layout->offset);
        memset(disk.data(), 0, 512);
        PutMbrEntry(disk.data(), 1, 0x07, (uint32_t)(layout->offset / layout->sectorSize),
                    (uint32_t)(volume->volumeBytes / layout->sectorSize));
    }
    unlink(layout->path.c_str());
    return WriteBytes(layout->path, 0, disk.data(), disk.size());
}

// The holes the commands should leave: byte ranges [start, end), touching
// ones joined.
std::vector<std::pair<int64_t, int64_t>> HolesOf(const std::vector<TrimCommand> &commands) {
    std::vector<std::pair<int64_t, int64_t>> holes;
    for (const TrimCommand &span : TrimmedSpans(commands)) {
        holes.push_back({(int64_t)span.lba * 512, (int64_t)(span.lba + span.blocks) * 512});
    }
    return holes;
}

std::string Qemu(const std::string &kernel) {
    std::vector<std::string> argv = {
        "timeout", "300", "qemu-system-x86_64", "-accel", "tcg", "-cpu", "max", "-m", "256",
        "-nodefaults", "-display", "none", "-no-reboot", "-kernel", kernel,
        "-initrd", scratch + "/initramfs.cpio.gz",
        "-append", "console=ttyS0 quiet panic=-1 quillet.drives=" + std::to_string(sizeof drives / sizeof drives[0]),
        "-serial", "file:" + scratch + "/console.log", "-serial", "file:" + scratch + "/results.log",
        "-device", "ahci,id=ahci", "-device", "ahci,id=ahci2", "-device", "virtio-scsi-pci,id=scsi",
        "-trace", "enable=ide_exec_cmd,file=" + scratch + "/ide-trace.log"};
    int ide = 0, ahci = 0, ahci2 = 0, id = 0;
    for (const Drive &drive : drives) {
        const std::string path = PathOf(drive);
        unlink(path.c_str());
        std::vector<uint8_t> bytes;
        const std::string &from = LayoutOf(drive).path;
        if (IsBig(LayoutOf(drive)) ? !CopySparse(from, 0, path, 0, FileSize(from))
                                   : !ReadBytes(from, 0, FileSize(from), &bytes) ||
                                         !WriteBytes(path, 0, bytes.data(), bytes.size())) {
            return "cannot copy " + from;
        }
        const std::string name = "d" + std::to_string(id++);
        const bool noTrim = std::string(drive.qemuOptions).find("discard_granularity=0") != std::string::npos;
        argv.push_back("-drive");
        argv.push_back("if=none,id=" + name + ",format=raw,file=" + path +
                       (noTrim ? ",discard=ignore" : ",discard=unmap"));
        const std::string kind = drive.bus;
        std::string device;
        if (kind == "ide") {
            device = "ide-hd,bus=ide." + std::to_string(ide / 2) + ",unit=" + std::to_string(ide % 2) + ",model=";
            ide++;
        } else if (kind == "ahci") {
            device = "ide-hd,bus=ahci." + std::to_string(ahci++) + ",model=";
        } else if (kind == "ahci2") {
            device = "ide-hd,bus=ahci2." + std::to_string(ahci2++) + ",model=";
        } else if (kind == "nvme") {
            device = "nvme,serial=";
        } else if (kind == "virtio-blk") {
            device = "virtio-blk-pci,serial=";
        } else {
            device = "scsi-hd,bus=scsi.0,product=";
        }
        argv.push_back("-device");
        argv.push_back(device + drive.model + ",drive=" + name + drive.qemuOptions);
    }
    ToolRun run = RunTool(argv);
    if (run.status != 0) return "qemu ended with " + std::to_string(run.status) + ": " + run.err;
    return "";
}

std::string ReadResults() {
    std::vector<uint8_t> bytes;
    const std::string path = scratch + "/results.log";
    if (!ReadBytes(path, 0, std::max<int64_t>(FileSize(path), 0), &bytes)) return "no results from the VM";
    std::istringstream lines(std::string(bytes.begin(), bytes.end()));
    std::string line, model;
    bool done = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string first, what;
        words >> first;
        if (first == "BEGIN") {
            words >> model;
            driveOrder.push_back(model);
        }
        if (first == "ALL") done = true;
        if (first == "BEGIN" || first == "END" || first == "ALL" || model.empty()) continue;
        StepResult &step = results[model][first];
        words >> what;
        if (what == "status") {
            words >> step.status;
        } else if (what == "command") {
            TrimCommand command = {0, 0};
            words >> command.lba >> command.blocks;
            step.commands.push_back(command);
        } else if (what == "output") {
            std::string rest;
            std::getline(words, rest);
            step.output += rest.substr(rest.empty() ? 0 : 1) + "\n";
        }
    }
    return done ? "" : "the VM did not finish (see " + scratch + "/console.log)";
}

std::string SetUp(const std::string &kernel) {
    std::string error;
    if (!MakeNtfsVolume(scratch + "/wide.vol", 512, 4096, 16 << 20, 21, &wide, &error)) return error;
    if (!MakeNtfsVolume(scratch + "/narrow.vol", 512, 1024, 16 << 20, 22, &narrow, &error)) return error;
    if (!MakeNtfsVolume(scratch + "/wide4k.vol", 4096, 4096, 16 << 20, 23, &wide4k, &error)) return error;
    if (!MakeNtfsVolume(scratch + "/big.vol", 512, 4096, kBigVolumeBytes, 24, &big, &error)) return error;
    for (Layout &layout : layouts)
        if (!MakeLayout(&layout)) return std::string("cannot make ") + layout.name;
    error = Qemu(kernel);
    return error.empty() ? ReadResults() : error;
}

const StepResult &Step(const Drive &drive, const char *step) { return results[drive.model][step]; }

std::vector<TrimCommand> Reference(const Layout &layout) {
    const NtfsVolume &volume = *layout.volume;
    uint64_t scanned = std::min<uint64_t>((uint64_t)volume.clusters / 8, volume.bitmap.size());
    return ReferenceTrimCommands(volume.bitmap, scanned, volume.clusterSize, layout.offset);
}

// The drive's backing file after the run against its pristine disk: inside
// the volume CompareAfterTrim's rules, outside it nothing changed, the
// holes are exactly the commands' ranges, and every file reads back whole.
void ExpectTrimmedExactly(const Drive &drive, const std::vector<TrimCommand> &commands) {
    const Layout &layout = LayoutOf(drive);
    const NtfsVolume &volume = *layout.volume;
    const int64_t end = layout.offset + (int64_t)volume.volumeBytes;
    std::vector<uint8_t> before, after;
    ASSERT_TRUE(ReadBytes(layout.path, 0, FileSize(layout.path), &before));
    ASSERT_TRUE(ReadBytes(PathOf(drive), 0, FileSize(PathOf(drive)), &after));
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + layout.offset, after.begin())) << "before the partition";
    EXPECT_TRUE(std::equal(before.begin() + end, before.end(), after.begin() + end)) << "after the partition";
    EXPECT_EQ(CompareAfterTrim(std::vector<uint8_t>(before.begin() + layout.offset, before.begin() + end),
                               std::vector<uint8_t>(after.begin() + layout.offset, after.begin() + end), commands,
                               layout.offset, volume),
              "");
    EXPECT_EQ(FileHoles(PathOf(drive)), HolesOf(commands));
    const std::string extracted = PathOf(drive) + ".volume";
    ASSERT_TRUE(CopySparse(PathOf(drive), layout.offset, extracted, 0, (int64_t)volume.volumeBytes));
    EXPECT_EQ(FilesThatDiffer(extracted, volume), "");
}

const Drive &DriveNamed(const char *model) {
    for (const Drive &drive : drives)
        if (std::string(drive.model) == model) return drive;
    return drives[0];
}

bool IsAta(const Drive &drive) {
    return std::string(drive.bus) == "ide" || std::string(drive.bus).rfind("ahci", 0) == 0;
}

// "N TRIM commands sent" of a run's summary; -1 when it has none.
long CommandsSent(const StepResult &step) {
    size_t at = step.output.find(" TRIM commands sent");
    if (at == std::string::npos) return -1;
    size_t start = step.output.rfind('\n', at);
    return atol(step.output.c_str() + (start == std::string::npos ? 0 : start + 1));
}

// DATA SET MANAGEMENT commands per drive as QEMU executed them (its
// ide_exec_cmd trace, command 0x06). The guest runs the drives one after
// another, so each drive that sends any makes one run of lines of one IDE
// state; the runs are matched to those drives in the guest's order. Empty
// when they do not line up.
std::map<std::string, long> DsmCommandsPerDrive() {
    std::istringstream lines(ReadText(scratch + "/ide-trace.log"));
    std::vector<std::pair<std::string, long>> runs;
    for (std::string line; std::getline(lines, line);) {
        size_t state = line.find("state ");
        if (line.find("ide_exec_cmd") == std::string::npos || state == std::string::npos ||
            line.find("cmd 0x06") == std::string::npos) {
            continue;
        }
        const std::string id = line.substr(state + 6, line.find(';', state) - state - 6);
        if (runs.empty() || runs.back().first != id) runs.push_back({id, 0});
        runs.back().second++;
    }
    std::vector<std::string> senders;
    for (const std::string &model : driveOrder) {
        const Drive &drive = DriveNamed(model.c_str());
        if (!IsAta(drive) || std::string(drive.model) != model) continue;
        if (model.rfind("flags-", 0) == 0 || model.rfind("fstrim-", 0) == 0 || !Step(drive, "trim").commands.empty()) {
            senders.push_back(model);
        }
    }
    if (senders.size() != runs.size()) return {};
    std::map<std::string, long> counts;
    for (size_t i = 0; i < runs.size(); i++) counts[senders[i]] = runs[i].second;
    return counts;
}

}  // namespace

TEST(VmDrives, EveryBusTrimsExactlyWhatTheBitmapCallsFree) {
    const char kAta[] = "Path: ATA TRIM through SCSI-ATA translation (SG_IO) to /dev/sd";
    const char kDiscard[] = "Path: kernel discard (BLKDISCARD) on /dev/";
    const struct {
        const char *model, *shownModel, *path;
    } cases[] = {
        {"trim-ide-1m", "trim-ide-1m", kAta},
        {"trim-ide-63", "trim-ide-63", kAta},
        {"trim-ahci-1m", "trim-ahci-1m", kAta},
        {"trim-ahci-63", "trim-ahci-63", kAta},
        // The model from sysfs: the NVMe controller's; virtio-blk has none.
        {"trim-nvme-1m", "QEMU NVMe Ctrl", kDiscard},
        {"trim-vblk-63", "unknown", kDiscard},
        // 4096-byte logical sectors: the same ranges, as byte ranges.
        {"trim-scsi-4kn", "trim-scsi-4kn", kDiscard},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.model);
        const Drive &drive = DriveNamed(c.model);
        const StepResult &trim = Step(drive, "trim");
        ASSERT_EQ(trim.status, "0") << trim.output;
        const std::vector<TrimCommand> expected = Reference(LayoutOf(drive));
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(TrimmedSpans(trim.commands), TrimmedSpans(expected));
        EXPECT_NE(trim.output.find("Drive model: " + std::string(c.shownModel) + "\nTRIM: supported\n"),
                  std::string::npos)
            << trim.output;
        EXPECT_NE(trim.output.find(c.path), std::string::npos) << trim.output;
        ExpectTrimmedExactly(drive, trim.commands);
    }
}

TEST(VmDrives, NoMoreCommandsThanThePeer) {
    const std::map<std::string, long> dsm = DsmCommandsPerDrive();
    ASSERT_FALSE(dsm.empty()) << "the trace's commands do not line up with the drives";
    // QEMU saw what each run says it sent.
    for (const auto &entry : dsm) {
        const StepResult &step = Step(DriveNamed(entry.first.c_str()), "trim");
        if (entry.first.rfind("trim-", 0) == 0) {
            EXPECT_EQ(entry.second, CommandsSent(step)) << entry.first;
        }
    }
    // 8 GiB with about 16 MiB in use: the kernel's ntfs3 with FITRIM needed
    // 27 DATA SET MANAGEMENT commands there, the fewest of the peers.
    const struct {
        const char *ours, *peer;
        long most;
    } cases[] = {
        {"trim-ahci-1m", "fstrim-ahci-1m", 0},
        {"trim-ahci-8g", "fstrim-ahci-8g", 27},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ours);
        const StepResult &peer = Step(DriveNamed(c.peer), "fstrim");
        EXPECT_EQ(peer.status, "0") << peer.output;
        ASSERT_EQ(dsm.count(c.ours), 1u);
        ASSERT_EQ(dsm.count(c.peer), 1u);
        EXPECT_LE(dsm.at(c.ours), dsm.at(c.peer));
        if (c.most > 0) {
            EXPECT_LE(dsm.at(c.ours), c.most);
        }
        printf("%s: %ld DATA SET MANAGEMENT commands; ntfs-3g + fstrim: %ld\n%s%s", c.ours, dsm.at(c.ours),
               dsm.at(c.peer), Step(DriveNamed(c.ours), "trim").output.c_str(), peer.output.c_str());
    }
}

TEST(VmDrives, NearlyEmptyVolumeTrimsExactly) {
    // Its free space was never written: the ranges against ntfs-3g's bitmap,
    // and every file and the partition table as they were.
    const Drive &drive = DriveNamed("trim-ahci-8g");
    const Layout &layout = LayoutOf(drive);
    const StepResult &trim = Step(drive, "trim");
    ASSERT_EQ(trim.status, "0") << trim.output;
    EXPECT_EQ(TrimmedSpans(trim.commands), TrimmedSpans(Reference(layout)));
    std::vector<uint8_t> before, after;
    ASSERT_TRUE(ReadBytes(layout.path, 0, layout.offset, &before));
    ASSERT_TRUE(ReadBytes(PathOf(drive), 0, layout.offset, &after));
    EXPECT_EQ(before, after);
    const std::string extracted = PathOf(drive) + ".volume";
    ASSERT_TRUE(CopySparse(PathOf(drive), layout.offset, extracted, 0, (int64_t)big.volumeBytes));
    EXPECT_EQ(FilesThatDiffer(extracted, big), "");
}

TEST(VmDrives, OldFlagsFailOnIdeWhereTheEngineFlagsTrim) {
    // PIIX IDE takes the protocol from the flags: DATA SET MANAGEMENT as
    // PIO is aborted. AHCI accepts both, which shows the probe itself works.
    const struct {
        const char *model;
        bool oldFlagsTrim;
    } cases[] = {{"flags-ide", false}, {"flags-ahci", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.model);
        const Drive &drive = DriveNamed(c.model);
        const StepResult &probe = Step(drive, "flags");
        ASSERT_EQ(probe.status, "0") << probe.output;
        EXPECT_NE(probe.output.find(c.oldFlagsTrim ? "old flags: accepted" : "old flags: refused"), std::string::npos)
            << probe.output;
        EXPECT_NE(probe.output.find("engine flags: accepted"), std::string::npos) << probe.output;

        std::vector<TrimCommand> sent = {kEngineFlagsRange};
        if (c.oldFlagsTrim) sent.push_back(kOldFlagsRange);
        const std::vector<std::pair<int64_t, int64_t>> punched = HolesOf(sent);
        EXPECT_EQ(FileHoles(PathOf(drive)), punched);
        std::vector<uint8_t> after;
        ASSERT_TRUE(ReadBytes(PathOf(drive), 0, kRawDriveBytes, &after));
        for (int64_t i = 0; i < kRawDriveBytes; i++) {
            bool inside = false;
            for (const auto &range : punched) inside = inside || (i >= range.first && i < range.second);
            ASSERT_EQ(after[i], inside ? 0 : kFreeSpacePattern) << "byte " << i;
        }
    }
}

TEST(VmDrives, RefusedDrivesLoseNothing) {
    const struct {
        const char *model, *status, *said;
    } cases[] = {
        {"trim-ide-notrim", "10", "Trim error! the drive does not support TRIM"},
        // A volume marked for a disk check: its bitmap may miss allocations.
        {"trim-ahci-dirty", "4", "The volume is marked dirty"},
        {"trim-vblk-nodisc", "10", "Trim error! the kernel reports no discard for /dev/vd"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.model);
        const Drive &drive = DriveNamed(c.model);
        const StepResult &trim = Step(drive, "trim");
        EXPECT_EQ(trim.status, c.status) << trim.output;
        EXPECT_NE(trim.output.find(c.said), std::string::npos) << trim.output;
        EXPECT_TRUE(trim.commands.empty());
        ExpectTrimmedExactly(drive, {});
    }
    EXPECT_NE(Step(DriveNamed("trim-ide-notrim"), "trim").output.find("TRIM: not supported\n"), std::string::npos);
}

TEST(VmDrives, UnconfirmedOrMountedIsRefusedAndTheDryRunSendsNothing) {
    const Drive &drive = DriveNamed("mounted-ahci");
    const StepResult &ask = Step(drive, "ask");
    EXPECT_EQ(ask.status, "64") << ask.output;
    EXPECT_NE(ask.output.find("no terminal to ask on"), std::string::npos) << ask.output;
    EXPECT_TRUE(ask.commands.empty());

    const StepResult &answeredNo = Step(drive, "answered-no");
    EXPECT_EQ(answeredNo.status, "0") << answeredNo.output;
    EXPECT_NE(answeredNo.output.find("1? [y/N] Nothing trimmed.\n"), std::string::npos) << answeredNo.output;
    EXPECT_TRUE(answeredNo.commands.empty());

    const StepResult &mounted = Step(drive, "mounted");
    EXPECT_EQ(mounted.status, "4") << mounted.output;
    EXPECT_NE(mounted.output.find("Lock partition failed!"), std::string::npos) << mounted.output;
    EXPECT_TRUE(mounted.commands.empty());

    // Unmounted, the dry run asks nothing (there is no terminal and no
    // --yes), lists what a trim would send and sends none of it.
    const StepResult &dry = Step(drive, "dry");
    EXPECT_EQ(dry.status, "0") << dry.output;
    EXPECT_EQ(dry.output.find("[y/N]"), std::string::npos) << dry.output;
    EXPECT_EQ(TrimmedSpans(dry.commands), TrimmedSpans(Reference(LayoutOf(drive))));
    EXPECT_NE(dry.output.find("Dry run: would send "), std::string::npos) << dry.output;
    // The same as a document: nothing else on stdout, the same figures.
    const StepResult &json = Step(drive, "json");
    EXPECT_EQ(json.status, "0") << json.output;
    EXPECT_EQ(json.commands, dry.commands);
    EXPECT_EQ(json.output.find("{\"program\": \"quillet-disk\", \"version\": "), 0u) << json.output;
    for (const std::string &field : {std::string("\"dry_run\": true, \"status\": 0"), std::string("\"outcome\": \"trimmed\""),
                                     "\"bytes_trimmed\": " + std::to_string(BytesOf(Reference(LayoutOf(drive))))}) {
        EXPECT_NE(json.output.find(field), std::string::npos) << field << "\n" << json.output;
    }
    ExpectTrimmedExactly(drive, {});
}

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc < 4) {
        fprintf(stderr, "usage: vm_trim_test MAKE_INITRAMFS GUEST_INIT PROGRAM...\n");
        return 2;
    }
    scratch = MakeScratchDirectory("vm-");
    if (scratch.empty()) {
        fprintf(stderr, "vm_trim_test: no scratch directory\n");
        return 1;
    }
    std::vector<std::string> make = {argv[1], scratch};
    make.insert(make.end(), argv + 2, argv + argc);
    ToolRun made = RunTool(make);
    if (made.status == kSkipped) {
        printf("SKIPPED: %s", made.err.c_str());
        RemoveScratchDirectory(scratch);
        return kSkipped;
    }
    if (made.status != 0) {
        fprintf(stderr, "vm_trim_test: building the initramfs failed: %s\n", made.err.c_str());
        return 1;
    }
    std::string error = SetUp(made.out.substr(0, made.out.find('\n')));
    if (!error.empty()) {
        fprintf(stderr, "vm_trim_test: %s\n", error.c_str());
        return 1;
    }
    int status = RUN_ALL_TESTS();
    if (status == 0) RemoveScratchDirectory(scratch);
    return status;
}
