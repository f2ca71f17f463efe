// What a guest writes ahead of its NTFS volume, from an untrusted disk: the
// partition tables (GPT, MBR and the extended chain) and the image headers
// of each format. The input is the whole disk. Every partition the table
// reader calls sound must lie inside the disk, past sector 0, and share no
// sector with another sound one; the header reader's reason must be empty
// exactly when it calls the header sound, and printable: the header's bytes
// never reach a terminal as they are.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "image_header.h"
#include "partition_table.h"

namespace {

struct Disk {
    const uint8_t *bytes;
    int64_t size;
};

int ReadDisk(void *context, int64_t position, void *buffer, uint32_t size) {
    const Disk *disk = (const Disk *)context;
    if (position < 0 || position > disk->size || size > disk->size - position) return 0;
    memcpy(buffer, disk->bytes + position, size);
    return 1;
}

void Fault(const char *what, long long a, long long b) {
    fprintf(stderr, "fault: %s (%lld, %lld)\n", what, a, b);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Disk disk = {data, (int64_t)size};
    PartitionTable table;
    std::string reason;
    if (ReadPartitionTable(ReadDisk, &disk, disk.size, &table, &reason)) {
        for (const DiskPartition &one : table.partitions) {
            if (one.check != kPartitionOk) continue;
            if (one.offset < 512 || one.length <= 0 || one.offset > disk.size - one.length) {
                Fault("a sound partition outside the disk", one.offset, one.length);
            }
            for (const DiskPartition &other : table.partitions) {
                if (&other == &one || other.check != kPartitionOk) continue;
                if (one.offset < other.offset + other.length && other.offset < one.offset + one.length) {
                    Fault("sound partitions overlap", one.number, other.number);
                }
            }
            DescribePartitionCheck(table, one.number, &one);
            PartitionTypeName(table, one);
        }
    } else if (reason.empty()) {
        Fault("a refused table without a reason", 0, 0);
    }
    for (int format = kFormatQcow2; format <= kFormatVdi; format++) {
        int finding = CheckImageHeader(ReadDisk, &disk, disk.size, format, &reason);
        if ((finding == kHeaderSound) != reason.empty()) Fault("finding and reason disagree", format, finding);
        for (char c : reason) {
            if (c < 0x20 || c > 0x7E) Fault("an unprintable byte in the reason", format, (unsigned char)c);
        }
    }
    return 0;
}
