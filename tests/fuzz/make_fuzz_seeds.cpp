// Writes the seed corpus of fuzz_open_volume: small crafted volumes, sound
// and broken, each as one switch byte followed by the disk's bytes.
//   make_fuzz_seeds tests/fuzz/corpus
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "bytes.h"
#include "crafted_volume.h"

namespace {

// 512-byte records right after the boot sector, $MFTMirr and the bitmap
// after them: a volume of a few KiB whose every byte is in the seed.
CraftedGeometry SmallGeometry(uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t clusters) {
    return StandardGeometry(bytesPerSector, sectorsPerCluster, clusters, 512);
}

// The metadata in use (the builder marks it), the rest in the given
// pattern of used (1) and free (0) runs after the bitmap.
CraftedVolume SmallVolume(uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t clusters,
                          const std::vector<int> &runs) {
    CraftedGeometry geometry = SmallGeometry(bytesPerSector, sectorsPerCluster, clusters);
    std::vector<uint8_t> bitmap((size_t)(clusters / 8), 0);
    uint64_t cluster = geometry.bitmapCluster + 1;
    int used = 1;
    for (int length : runs) {
        if (cluster + length > (uint64_t)clusters) break;
        MarkClusters(&bitmap, cluster, length, used);
        cluster += length;
        used = !used;
    }
    CraftedVolume volume;
    BuildVolume(&volume, geometry, bitmap);
    return volume;
}

int WriteSeed(const std::string &directory, const char *name, uint8_t switches, const CraftedVolume &volume,
              int64_t length = -1) {
    // Up to the end of the bitmap; the fuzz target reads zeros beyond.
    std::vector<uint8_t> disk = DiskBytes(volume, 0);
    if (length >= 0) disk.resize((size_t)length, 0);
    std::string path = directory + "/" + name;
    FILE *file = fopen(path.c_str(), "wb");
    if (file == 0) return 0;
    int ok = fwrite(&switches, 1, 1, file) == 1 && fwrite(disk.data(), 1, disk.size(), file) == disk.size();
    return fclose(file) == 0 && ok;
}

uint8_t *Data(CraftedVolume *volume, uint32_t record) {
    return FindAttribute(RecordOf(volume, record), kCraftedAttributeData);
}
uint8_t *FileName(CraftedVolume *volume) { return FindAttribute(RecordOf(volume, 6), kCraftedAttributeFileName); }

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_fuzz_seeds DIRECTORY\n");
        return 64;
    }
    const std::string out = argv[1];
    const std::vector<int> fragmented = {3, 9, 1, 17, 2, 8, 5, 40, 1, 1, 12};
    int ok = 1;

    // Sound volumes.
    CraftedVolume small = SmallVolume(512, 1, 48, {2, 30});
    ok &= WriteSeed(out, "sound-512-clusters", 0x00, small);
    ok &= WriteSeed(out, "sound-1k-clusters-fragmented", 0x00, SmallVolume(512, 2, 2048, fragmented));
    ok &= WriteSeed(out, "sound-4k-clusters-sector-63", 0x01, SmallVolume(512, 8, 4096, fragmented));
    ok &= WriteSeed(out, "sound-4k-sectors-locked", 0x04, SmallVolume(4096, 1, 1024, {0, 5, 1, 700}));
    ok &= WriteSeed(out, "sound-256-sectors-1m-offset", 0x03, SmallVolume(256, 2, 4096, fragmented));
    ok &= WriteSeed(out, "sound-8k-clusters", 0x00, SmallVolume(512, 16, 512, {1, 1, 2, 3}));
    ok &= WriteSeed(out, "sound-second-trim-fails", 0x40, SmallVolume(512, 2, 4096, {1, 4, 1, 4, 1, 4}));
    // The disk ends after the bitmap: TRIMs past it end with ERR.
    ok &= WriteSeed(out, "sound-disk-ends-early", 0x80, small, (small.geometry.bitmapCluster + 1) * 512);
    ok &= WriteSeed(out, "sound-no-trim", 0x10, small);
    ok &= WriteSeed(out, "sound-identify-err", 0x20, small);
    ok &= WriteSeed(out, "sound-pass-through-rejected", 0x30, small);
    ok &= WriteSeed(out, "lock-refused", 0x0C, small);

    // 1 KiB records: the root folder's $FILE_NAME pushed past the first
    // 512 bytes by an attribute list, as on an aged volume.
    CraftedVolume wide;
    BuildVolume(&wide, StandardGeometry(512, 2, 512), std::vector<uint8_t>(64, 0));
    uint8_t *root = RecordOf(&wide, 5);
    WriteFileRecord(root, 1024, 5, ".", 0, 0, 1024, 0);
    InsertAttribute(root, kCraftedAttributeList, 0x200);
    SealRecord(root, 1024);
    ok &= WriteSeed(out, "sound-root-file-name-past-512-bytes", 0x00, wide);
    CraftedVolume broken = wide;
    RecordOf(&broken, 6)[1022] ^= 0x55;
    ok &= WriteSeed(out, "broken-torn-second-stride", 0x00, broken);

    // Broken volumes, each one field away from a sound one.
    const uint64_t bitmapCluster = small.geometry.bitmapCluster;
    const struct {
        const char *name;
        std::function<void(CraftedVolume *)> spoil;
    } spoilt[] = {
        {"broken-fragmented-bitmap",
         [bitmapCluster](CraftedVolume *v) {
             const uint8_t twoRuns[] = {0x11, 0x01, (uint8_t)bitmapCluster, 0x11, 0x01, 0x04, 0x00};
             memcpy(Data(v, 6) + 0x40, twoRuns, sizeof twoRuns);
         }},
        {"broken-record-size-0", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 2) + 0x1C, 0); }},
        {"sound-record-3-attribute-length-0", [](CraftedVolume *v) { StoreLe32(RecordOf(v, 3) + 0x38 + 4, 0); }},
        {"broken-update-sequence", [](CraftedVolume *v) { RecordOf(v, 4)[510] ^= 0x55; }},
        {"broken-offset-field-9-bytes", [](CraftedVolume *v) { Data(v, 6)[0x40] = 0x91; }},
        {"broken-bitmap-outside-volume", [](CraftedVolume *v) { Data(v, 6)[0x42] = 0x7F; }},
        {"broken-name-in-capitals", [](CraftedVolume *v) { StoreLe16(FileName(v) + 0x18 + 0x42 + 2 * 2, 'I'); }},
        {"broken-resident-data", [](CraftedVolume *v) { Data(v, 6)[8] = 0; }},
        {"broken-named-data", [](CraftedVolume *v) { Data(v, 6)[9] = 1; }},
        {"broken-extension-record", [](CraftedVolume *v) { StoreLe64(RecordOf(v, 6) + 0x20, 9); }},
        {"broken-record-not-in-use", [](CraftedVolume *v) { StoreLe16(RecordOf(v, 6) + 0x16, 0); }},
        {"broken-file-name-outside-record", [](CraftedVolume *v) { StoreLe32(FileName(v) + 0x10, 0x1000); }},
        {"broken-parent-not-root", [](CraftedVolume *v) { FileName(v)[0x18] = 7; }},
        {"broken-bitmap-shorter-than-volume", [](CraftedVolume *v) { StoreLe64(Data(v, 6) + 0x30, 5); }},
        {"broken-bitmap-read-from-mft", [](CraftedVolume *v) { Data(v, 6)[0x42] = (uint8_t)v->geometry.mftCluster; }},
        {"broken-bitmap-name-in-record-4", [](CraftedVolume *v) { memcpy(RecordOf(v, 4), RecordOf(v, 6), 512); }},
        {"broken-mft-run-elsewhere", [](CraftedVolume *v) { Data(v, 0)[0x42] += 1; }},
    };
    for (const auto &seed : spoilt) {
        broken = small;
        seed.spoil(&broken);
        ok &= WriteSeed(out, seed.name, 0x00, broken);
    }

    // A bitmap that calls the metadata free, on 4 KiB clusters so that each
    // such cluster alone would make a TRIM command.
    const CraftedVolume four = SmallVolume(512, 8, 256, {2, 60});
    const struct {
        const char *name;
        uint64_t cluster;
    } freed[] = {
        {"broken-bitmap-calls-cluster-0-free", 0},
        {"broken-bitmap-calls-mft-free", four.geometry.mftCluster},
        {"broken-bitmap-calls-mirror-free", four.geometry.mftMirrorCluster},
        {"broken-bitmap-calls-itself-free", four.geometry.bitmapCluster},
    };
    for (const auto &seed : freed) {
        broken = four;
        MarkClusters(&broken.bitmap, seed.cluster, 1, 0);
        ok &= WriteSeed(out, seed.name, 0x00, broken);
    }

    broken = small;
    memcpy(broken.head.data() + 3, "MSWIN4.1", 8);
    ok &= WriteSeed(out, "broken-fat32", 0x00, broken, 512);

    broken = small;
    broken.head[0x0D] = 3;
    ok &= WriteSeed(out, "broken-3-sectors-per-cluster", 0x00, broken, 512);

    ok &= WriteSeed(out, "broken-truncated-mft", 0x00, small, 1500);

    if (!ok) {
        fprintf(stderr, "make_fuzz_seeds: cannot write into %s\n", out.c_str());
        return 1;
    }
    return 0;
}
