#include "fat_volumes.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <sstream>

namespace {

// mtools on the volume at its byte of the file.
std::string MtoolsImage(const FatVolume &volume, const std::string &disk) {
    return disk + "@@" + std::to_string(volume.offset);
}

ToolRun Mtools(const std::vector<std::string> &argv) {
    // The geometry mkfs.fat chose for a small file is no drive's.
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    return RunTool(argv);
}

// Free cluster runs from the boot sector and the first FAT, as byte ranges
// of the disk, after a line "free N".
const char kFatReader[] = R"(import struct, sys
f = open(sys.argv[1], 'rb'); off = int(sys.argv[2]); f.seek(off); b = f.read(512)
bps, = struct.unpack_from('<H', b, 11); spc = b[13]; rsv, = struct.unpack_from('<H', b, 14); nf = b[16]
ents, = struct.unpack_from('<H', b, 17); ts, = struct.unpack_from('<H', b, 19); fz, = struct.unpack_from('<H', b, 22)
if ts == 0: ts, = struct.unpack_from('<I', b, 32)
if fz == 0: fz, = struct.unpack_from('<I', b, 36)
data = rsv + nf * fz + (ents * 32 + bps - 1) // bps
n = (ts - data) // spc
bits = 12 if n < 4085 else 16 if n < 65525 else 32
f.seek(off + rsv * bps); fat = f.read(fz * bps)
def entry(c):
    if bits == 12:
        v, = struct.unpack_from('<H', fat, c + c // 2)
        return v >> 4 if c & 1 else v & 0xFFF
    if bits == 16: return struct.unpack_from('<H', fat, 2 * c)[0]
    return struct.unpack_from('<I', fat, 4 * c)[0] & 0x0FFFFFFF
free = [c for c in range(2, n + 2) if entry(c) == 0]
print('free', len(free))
at = off + data * bps; size = spc * bps; start = None
for c in range(2, n + 3):
    isfree = c < n + 2 and entry(c) == 0
    if isfree and start is None: start = c
    if not isfree and start is not None:
        print(at + (start - 2) * size, at + (c - 2) * size); start = None
)";

// The volume's bytes as its boot sector counts them, for fsck.fat, which
// takes a volume alone.
int64_t VolumeBytes(const std::string &disk, int64_t offset) {
    std::vector<uint8_t> boot;
    if (!ReadBytes(disk, offset, 512, &boot)) return 0;
    const uint32_t small = boot[19] | boot[20] << 8;
    const uint64_t sectors = small != 0 ? small : (uint64_t)boot[32] | boot[33] << 8 | boot[34] << 16 | (uint64_t)boot[35] << 24;
    return (int64_t)(sectors * (uint32_t)(boot[11] | boot[12] << 8));
}

std::string Content(std::mt19937 &random, size_t size) {
    std::string text(size, 0);
    for (char &c : text) c = (char)('a' + random() % 26);
    return text;
}

}  // namespace

int MakeFatVolume(const std::string &path, int64_t offset, int64_t bytes, const std::vector<std::string> &mkfsOptions,
                  uint32_t seed, FatVolume *volume, std::string *error) {
    volume->path = path;
    volume->offset = offset;
    volume->files.clear();
    if (FileSize(path) < offset + bytes && truncate(path.c_str(), offset + bytes) != 0 &&
        !WriteBytes(path, offset + bytes - 1, "", 1)) {
        *error = "cannot size " + path;
        return 0;
    }
    std::vector<std::string> mkfs = {"mkfs.fat"};
    mkfs.insert(mkfs.end(), mkfsOptions.begin(), mkfsOptions.end());
    // --offset counts sectors of 512 bytes, the blocks of 1 KiB.
    mkfs.insert(mkfs.end(), {"--offset", std::to_string(offset / 512), path, std::to_string(bytes / 1024)});
    ToolRun made = RunTool(mkfs);
    if (made.status != 0) {
        *error = "mkfs.fat: " + made.err;
        return 0;
    }
    const std::string image = MtoolsImage(*volume, path);
    const std::string folder = MakeScratchDirectory("fat-files-");
    std::mt19937 random(seed);
    std::vector<NtfsFile> written;
    if (Mtools({"mmd", "-i", image, "::EFI", "::EFI/BOOT"}).status != 0) {
        *error = "mmd failed";
        return 0;
    }
    for (int i = 0; i < 24; i++) {
        const std::string name = (i % 3 == 0 ? "EFI/BOOT/F" : "F") + std::to_string(i) + ".BIN";
        NtfsFile file = {name, Content(random, 1 + random() % (bytes / 64))};
        const std::string local = folder + "/" + std::to_string(i);
        WriteBytes(local, 0, file.content.data(), file.content.size());
        ToolRun copied = Mtools({"mcopy", "-i", image, local, "::" + name});
        if (copied.status != 0) {
            *error = "mcopy " + name + ": " + copied.err;
            RemoveScratchDirectory(folder);
            return 0;
        }
        written.push_back(file);
    }
    for (size_t i = 0; i < written.size(); i++) {
        if (i % 2 == 1) {
            Mtools({"mdel", "-i", image, "::" + written[i].name});
        } else {
            volume->files.push_back(written[i]);
        }
    }
    // Through the holes the deletions left: a fragmented chain.
    NtfsFile large = {"LARGE.BIN", Content(random, (size_t)(bytes / 8))};
    WriteBytes(folder + "/large", 0, large.content.data(), large.content.size());
    ToolRun copied = Mtools({"mcopy", "-i", image, folder + "/large", "::LARGE.BIN"});
    RemoveScratchDirectory(folder);
    if (copied.status != 0) {
        *error = "mcopy LARGE.BIN: " + copied.err;
        return 0;
    }
    volume->files.push_back(large);
    return 1;
}

std::vector<TrimCommand> FatFreeSpans(const FatVolume &volume, std::string *error) {
    std::vector<TrimCommand> spans;
    ToolRun read = RunTool({"python3", "-c", kFatReader, volume.path, std::to_string(volume.offset)});
    std::istringstream lines(read.out);
    std::string word;
    long long free = -1;
    lines >> word >> free;
    if (read.status != 0 || word != "free") {
        *error = "the FAT reader failed: " + read.err;
        return spans;
    }
    for (long long start, end; lines >> start >> end;) {
        start = (start + 4095) / 4096 * 4096;
        end = end / 4096 * 4096;
        if (end > start) spans.push_back({(uint64_t)start / 512, (uint32_t)((end - start) / 512)});
    }
    // fsck.fat: "N files, USED/TOTAL clusters".
    const std::string alone = MakeScratchDirectory("fat-oracle-") + "/volume.img";
    CopySparse(volume.path, volume.offset, alone, 0, VolumeBytes(volume.path, volume.offset));
    ToolRun fsck = RunTool({"fsck.fat", "-n", alone});
    RemoveScratchDirectory(alone.substr(0, alone.rfind('/')));
    unsigned long long used = 0, total = 0;
    const size_t at = fsck.out.find(" files, ");
    if (at == std::string::npos || sscanf(fsck.out.c_str() + at, " files, %llu/%llu clusters", &used, &total) != 2 ||
        (long long)(total - used) != free) {
        *error = "the FAT reader finds " + std::to_string(free) + " free clusters, fsck.fat says: " + fsck.out;
    }
    return TrimmedSpans(spans);
}

std::string FatVolumeDamage(const std::string &disk, const FatVolume &volume) {
    const std::string folder = MakeScratchDirectory("fat-check-");
    CopySparse(disk, volume.offset, folder + "/volume.img", 0, VolumeBytes(disk, volume.offset));
    ToolRun fsck = RunTool({"fsck.fat", "-n", folder + "/volume.img"});
    std::string damage = fsck.status == 0 ? "" : "fsck.fat -n exits " + std::to_string(fsck.status) + ": " + fsck.out;
    for (const NtfsFile &file : volume.files) {
        const std::string out = folder + "/out";
        unlink(out.c_str());
        ToolRun read = Mtools({"mcopy", "-n", "-i", MtoolsImage(volume, disk), "::" + file.name, out});
        if (read.status != 0 || ReadText(out) != file.content) damage += (damage.empty() ? "" : ", ") + file.name;
    }
    RemoveScratchDirectory(folder);
    return damage;
}
