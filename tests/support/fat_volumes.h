// Real FAT volumes for the image tests, made at test time with mkfs.fat
// and filled through mtools; the free space and the files' contents they
// are checked against come from those tools and from a reader of the FAT
// written here in Python, never from the engine.
#ifndef QUILLET_TESTS_SUPPORT_FAT_VOLUMES_H
#define QUILLET_TESTS_SUPPORT_FAT_VOLUMES_H

#include <stdint.h>

#include <string>
#include <vector>

#include "ntfs_volumes.h"

struct FatVolume {
    std::string path;  // the file it lies in
    int64_t offset;    // its byte on that file
    std::vector<NtfsFile> files;  // "NAME" or "DIR/NAME", and what mcopy must read back
};

// Makes a volume of `bytes` at `offset` of `path` (created when missing)
// with mkfs.fat and `mkfsOptions` ({"-F", "32", "-S", "4096"}), then
// fragments it through mtools: files of varied sizes (seeded by `seed`) in
// the root folder and in a nested one, every other one deleted, then one
// large file laid through the holes. 0 with the reason on failure.
int MakeFatVolume(const std::string &path, int64_t offset, int64_t bytes, const std::vector<std::string> &mkfsOptions,
                  uint32_t seed, FatVolume *volume, std::string *error);

// The 512-byte block spans a trim of the volume's free space may cover:
// every run of clusters whose FAT entry is 0, as the Python reader finds
// them, cut inwards to whole 4096-byte blocks of the disk. The count of
// free clusters must equal what fsck.fat -n -v reports; otherwise *error
// says so.
std::vector<TrimCommand> FatFreeSpans(const FatVolume &volume, std::string *error);

// What is wrong with the volume as it lies in `disk` now: fsck.fat -n's
// complaint, or the files that mcopy reads back otherwise than written.
// Empty when fsck.fat passes it and every file reads back.
std::string FatVolumeDamage(const std::string &disk, const FatVolume &volume);

#endif
