// Writes the seed corpus of fuzz_open_volume: small crafted volumes, sound
// and broken, each as one switch byte followed by the disk's bytes.
//   make_fuzz_seeds tests/fuzz/corpus
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "crafted_volume.h"

namespace {

// 512-byte records right after the boot sector, the bitmap after them: a
// volume of a few KiB whose every byte is in the seed.
CraftedGeometry SmallGeometry(uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t clusters) {
    CraftedGeometry geometry = StandardGeometry(bytesPerSector, sectorsPerCluster, clusters);
    geometry.recordSize = 512;
    const uint32_t cluster = bytesPerSector * sectorsPerCluster;
    geometry.bitmapCluster = geometry.mftCluster + (kCraftedRecords * 512 + cluster - 1) / cluster;
    return geometry;
}

// Metadata used, the rest in the given pattern of used (1) and free (0) runs.
CraftedVolume SmallVolume(uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t clusters,
                          const std::vector<int> &runs) {
    CraftedGeometry geometry = SmallGeometry(bytesPerSector, sectorsPerCluster, clusters);
    std::vector<uint8_t> bitmap((size_t)(clusters / 8), 0);
    MarkClusters(&bitmap, 0, geometry.bitmapCluster + 1, 1);
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

uint8_t *Pairs(CraftedVolume *volume) {
    return FindAttribute(RecordOf(volume, 6), kCraftedAttributeData) + 0x40;
}

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

    // Broken volumes, each one field away from a sound one.
    CraftedVolume broken = small;
    const uint8_t twoRuns[] = {0x11, 0x01, (uint8_t)small.geometry.bitmapCluster, 0x11, 0x01, 0x04, 0x00};
    memcpy(Pairs(&broken), twoRuns, sizeof twoRuns);
    ok &= WriteSeed(out, "broken-fragmented-bitmap", 0x00, broken);

    broken = small;
    StoreLe32(RecordOf(&broken, 2) + 0x1C, 0);
    ok &= WriteSeed(out, "broken-record-size-0", 0x00, broken);

    broken = small;
    StoreLe32(RecordOf(&broken, 3) + 0x38 + 4, 0);
    ok &= WriteSeed(out, "broken-attribute-length-0", 0x00, broken);

    broken = small;
    RecordOf(&broken, 4)[510] ^= 0x55;
    ok &= WriteSeed(out, "broken-update-sequence", 0x00, broken);

    broken = small;
    Pairs(&broken)[0] = 0x91;
    ok &= WriteSeed(out, "broken-offset-field-9-bytes", 0x00, broken);

    broken = small;
    Pairs(&broken)[2] = 0x7F;
    ok &= WriteSeed(out, "broken-bitmap-outside-volume", 0x00, broken);

    broken = small;
    StoreLe16(FindAttribute(RecordOf(&broken, 6), kCraftedAttributeFileName) + 0x18 + 0x42 + 2 * 2, 'I');
    ok &= WriteSeed(out, "broken-name-in-capitals", 0x00, broken);

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
