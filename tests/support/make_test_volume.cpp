// make_test_volume IMAGE BYTES CLUSTER_SIZE SEED [FILES_DIR]
//
// Makes in IMAGE the fragmented NTFS volume that the image tests use
// (MakeNtfsVolume: mkntfs with 512-byte sectors, files of varied sizes
// written with ntfscp, every other one truncated again, so that freed
// clusters lie between files that stay and still hold their data). For the
// demo and the Wine tests, which make their volumes outside the host tests.
// With FILES_DIR, each file's content as ntfscat must print it goes there
// under the file's name (empty for a truncated one). Exit status 0, or 1
// with the reason.
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <string>

#include "ntfs_volumes.h"

int main(int argc, char **argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: make_test_volume IMAGE BYTES CLUSTER_SIZE SEED [FILES_DIR]\n");
        return 64;
    }
    // mkntfs lives in /sbin, which a caller's PATH may lack.
    setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 1);
    NtfsVolume volume;
    std::string error;
    if (!MakeNtfsVolume(argv[1], 512, (uint32_t)strtoul(argv[3], 0, 10), strtoull(argv[2], 0, 10),
                        (uint32_t)strtoul(argv[4], 0, 10), &volume, &error)) {
        fprintf(stderr, "make_test_volume: %s\n", error.c_str());
        return 1;
    }
    for (const NtfsFile &file : volume.files) {
        if (argc != 6) break;
        std::string path = std::string(argv[5]) + "/" + file.name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(file.content.data(), (std::streamsize)file.content.size());
        if (!out.flush()) {
            fprintf(stderr, "make_test_volume: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
