#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "image_punch.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "bytes.h"
#include "disk_read.h"
#include "image_header.h"
#include "landlock_wall.h"
#include "vhdx_layout.h"

namespace {

enum {
    kImageFd = 4,  // where qemu-img finds the image
    kLongestQemuOutput = 1 << 30,
    kSampleBytes = 4096,
    kMostTables = 1 << 24,  // vmdk grain tables, vhdx BAT entries
};

// A place in the file the format keeps for itself.
struct HostRange {
    int64_t start, end;
};

int Refused(std::string *reason, const std::string &text) {
    *reason = text;
    return 0;
}

}  // namespace

std::string QemuImageJson(int format) {
    char image[192];
    snprintf(image, sizeof image,
             "json:{\"driver\":\"%s\",\"file\":{\"driver\":\"file\",\"filename\":\"/proc/self/fd/%d\"},\"backing\":null}",
             ImageFormatName(format), kImageFd);
    return image;
}

int RunQemuImgOn(int imageFd, int wallRuleset, const std::vector<std::string> &arguments, std::string *out) {
    std::vector<char *> argv;
    argv.push_back((char *)"qemu-img");
    for (const std::string &argument : arguments) argv.push_back((char *)argument.c_str());
    argv.push_back(0);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    fflush(0);
    pid_t child = fork();
    if (child == 0) {
        // Above the places first, so that none is overwritten by another.
        int imageCopy = fcntl(imageFd, F_DUPFD_CLOEXEC, 10);
        int wallCopy = wallRuleset >= 0 ? fcntl(wallRuleset, F_DUPFD_CLOEXEC, 10) : -1;
        int quiet = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (imageCopy < 0 || (wallRuleset >= 0 && wallCopy < 0) || quiet < 0 || dup2(quiet, 0) < 0 ||
            dup2(pipeFds[1], 1) < 0 || dup2(pipeFds[1], 2) < 0 || dup2(imageCopy, kImageFd) < 0) {
            _exit(126);
        }
        if (wallCopy >= 0 && !EnterWall(wallCopy)) _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    out->clear();
    char buffer[65536];
    for (;;) {
        ssize_t got = child > 0 ? read(pipeFds[0], buffer, sizeof buffer) : 0;
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (out->size() < (size_t)kLongestQemuOutput) out->append(buffer, (size_t)got);
    }
    close(pipeFds[0]);
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (child < 0 || !WIFEXITED(status) || out->size() >= (size_t)kLongestQemuOutput) return -1;
    return WEXITSTATUS(status);
}

namespace {

// qemu-img `arguments` on the descriptor (as the image's json: description, the last
// argument), behind the wall; its output (both streams) in *out. Its exit
// status, or -1 when it could not be run.
int RunQemuImg(int imageFd, int format, int wallRuleset, const char *const *arguments, int count, std::string *out) {
    std::vector<std::string> all(arguments, arguments + count);
    all.push_back(QemuImageJson(format));
    return RunQemuImgOn(imageFd, wallRuleset, all, out);
}

// The value after "key": on `line`, as a number or a word; 0 when absent.
int FindJsonValue(const std::string &line, const char *key, std::string *value) {
    std::string quoted = std::string("\"") + key + "\":";
    size_t at = line.find(quoted);
    if (at == std::string::npos) return 0;
    at = line.find_first_not_of(' ', at + quoted.size());
    if (at == std::string::npos) return 0;
    size_t end = line.find_first_of(",}", at);
    *value = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    return 1;
}

int JsonNumber(const std::string &line, const char *key, int64_t *number) {
    std::string value;
    if (!FindJsonValue(line, key, &value) || value.empty() || value.size() > 19) return 0;
    for (char c : value) {
        if (c < '0' || c > '9') return 0;
    }
    *number = strtoll(value.c_str(), 0, 10);
    return 1;
}

// `qemu-img map --output=json`: one extent a line. Allocated extents with a
// host offset go into the plan; those without one (compressed) are counted.
int ReadQemuMap(const std::string &out, int64_t diskBytes, PunchPlan *plan, std::string *reason) {
    int64_t covered = 0;
    for (size_t at = 0; at < out.size();) {
        size_t newline = out.find('\n', at);
        std::string line = out.substr(at, newline == std::string::npos ? std::string::npos : newline - at);
        at = newline == std::string::npos ? out.size() : newline + 1;
        if (line.find("\"start\"") == std::string::npos) continue;
        int64_t start = 0, length = 0, depth = 0, offset = 0;
        std::string data;
        if (!JsonNumber(line, "start", &start) || !JsonNumber(line, "length", &length) ||
            !JsonNumber(line, "depth", &depth) || !FindJsonValue(line, "data", &data) || start != covered ||
            length <= 0 || length > diskBytes - start) {
            return Refused(reason, "qemu-img map describes the image in a way not understood here: " + line);
        }
        covered = start + length;
        if (depth != 0) return Refused(reason, "qemu-img map shows data from a backing file");
        if (data != "true") continue;
        if (JsonNumber(line, "offset", &offset)) {
            plan->extents.push_back({start, offset, length});
        } else {
            plan->compressedBytes += length;
        }
    }
    if (covered != diskBytes) return Refused(reason, "qemu-img map does not describe the whole disk");
    return 1;
}

int ReadAt(int *fd, int64_t position, std::vector<uint8_t> *bytes, uint32_t size) {
    bytes->assign(size, 0);
    return size == 0 || ReadFromDescriptor(fd, position, bytes->data(), size);
}

// vdi (little-endian): 0x154 block map offset, 0x158 data offset (u32);
// 0x180 blocks in the image. Everything before the data is the format's.
int ReadVdiMetadata(int fd, std::vector<HostRange> *metadata, std::string *reason) {
    std::vector<uint8_t> header;
    if (!ReadAt(&fd, 0, &header, 0x1C8)) return Refused(reason, "the vdi header cannot be read");
    const int64_t mapAt = LoadLe32(&header[0x154]), dataAt = LoadLe32(&header[0x158]);
    const int64_t mapEnd = mapAt + (int64_t)LoadLe32(&header[0x180]) * 4;
    metadata->push_back({0, std::max<int64_t>(std::max<int64_t>(dataAt, mapEnd), 0x1C8)});
    metadata->push_back({mapAt, mapEnd});
    return 1;
}

// vmdk sparse header (little-endian): 8 flags (bit 16: compressed grains),
// 12 capacity, 20 grain size (sectors, u64), 28 and 36 descriptor offset
// and size, 44 entries per grain table (u32), 48 redundant grain directory,
// 56 grain directory, 64 where grains begin (sectors, u64).
int ReadVmdkMetadata(int fd, std::vector<HostRange> *metadata, std::string *reason) {
    std::vector<uint8_t> header;
    if (!ReadAt(&fd, 0, &header, 80)) return Refused(reason, "the vmdk header cannot be read");
    if (LoadLe32(&header[8]) & (1u << 16)) {
        return Refused(reason, "the vmdk image keeps its grains compressed (streamOptimized): they have no place of "
                               "their own in the file to give back. Convert it to a monolithicSparse vmdk "
                               "(qemu-img convert -O vmdk) and run on that");
    }
    const uint64_t capacity = LoadLe64(&header[12]), grain = LoadLe64(&header[20]);
    const uint64_t tableEntries = LoadLe32(&header[44]), grainsAt = LoadLe64(&header[64]);
    if (grain == 0 || tableEntries == 0 || grainsAt > (uint64_t)INT64_MAX / 512 || capacity / grain / tableEntries >= kMostTables) {
        return Refused(reason, "the vmdk header's grain geometry cannot be used");
    }
    const uint64_t tables = (capacity / grain + tableEntries - 1) / tableEntries;
    metadata->push_back({0, std::max<int64_t>((int64_t)grainsAt * 512, 512)});
    metadata->push_back({(int64_t)LoadLe64(&header[28]) * 512,
                         (int64_t)(LoadLe64(&header[28]) + LoadLe64(&header[36])) * 512});
    for (int directory = 0; directory < 2; directory++) {
        const uint64_t at = LoadLe64(&header[directory == 0 ? 56 : 48]);
        if (at == 0) continue;
        std::vector<uint8_t> entries;
        if (at > (uint64_t)INT64_MAX / 1024 || !ReadAt(&fd, (int64_t)at * 512, &entries, (uint32_t)tables * 4)) {
            return Refused(reason, "the vmdk grain directory cannot be read");
        }
        metadata->push_back({(int64_t)at * 512, (int64_t)(at * 512 + tables * 4)});
        for (uint64_t i = 0; i < tables; i++) {
            const int64_t table = (int64_t)LoadLe32(&entries[i * 4]) * 512;
            if (table != 0) metadata->push_back({table, table + (int64_t)tableEntries * 4});
        }
    }
    return 1;
}

// CRC-32C, as vhdx checks its headers and region tables with.
uint32_t Crc32c(const uint8_t *bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++) crc = crc & 1 ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
    }
    return ~crc;
}

// 1 when the 4-byte checksum at byte 4 of `bytes` holds its CRC-32C.
int ChecksumHolds(std::vector<uint8_t> bytes) {
    const uint32_t stored = LoadLe32(&bytes[4]);
    memset(&bytes[4], 0, 4);
    return Crc32c(bytes.data(), bytes.size()) == stored;
}

// The metadata items the BAT needs: block size, disk size, sector size.
int ReadVhdxParameters(int fd, int64_t at, uint32_t length, uint32_t *blockBytes, uint64_t *diskBytes,
                       uint32_t *sectorBytes) {
    std::vector<uint8_t> table;
    if (length < 65536 || !ReadAt(&fd, at, &table, 65536) || memcmp(table.data(), "metadata", 8) != 0) return 0;
    int found = 0;
    const uint32_t count = LoadLe16(&table[10]);
    for (uint32_t i = 0; i < count && 32 + (i + 1) * 32 <= table.size(); i++) {
        const uint8_t *entry = &table[32 + i * 32];
        const uint32_t offset = LoadLe32(entry + 16);
        std::vector<uint8_t> item;
        if (offset > length - 8 || !ReadAt(&fd, at + offset, &item, 8)) return 0;
        if (memcmp(entry, kVhdxFileParameters, 16) == 0) *blockBytes = LoadLe32(&item[0]), found |= 1;
        if (memcmp(entry, kVhdxDiskSize, 16) == 0) *diskBytes = LoadLe64(&item[0]), found |= 2;
        if (memcmp(entry, kVhdxLogicalSectorSize, 16) == 0) *sectorBytes = LoadLe32(&item[0]), found |= 4;
    }
    return found == 7;
}

// vhdx: the current header (at 64 or 128 KiB, the valid one with the
// higher sequence number; 48 log GUID, 68 log length u32, 72 log offset
// u64), the region table at 192 KiB (BAT and metadata), the metadata's
// geometry, then the BAT: one u64 per block (state in bits 0-2, 6 fully
// present; file offset in MiB from bit 20), a sector-bitmap entry after
// every `chunk ratio` of them. Fills the plan's extents.
int ReadVhdxLayout(int fd, int64_t servedBytes, PunchPlan *plan, std::vector<HostRange> *metadata, std::string *reason) {
    const char damaged[] = "the vhdx image's ";
    std::vector<uint8_t> best;
    for (int copy = 1; copy <= 2; copy++) {
        std::vector<uint8_t> header;
        if (!ReadAt(&fd, copy * 65536, &header, 4096)) return Refused(reason, std::string(damaged) + "header cannot be read");
        if (memcmp(header.data(), "head", 4) != 0 || !ChecksumHolds(header)) continue;
        if (best.empty() || LoadLe64(&header[8]) > LoadLe64(&best[8])) best = header;
    }
    if (best.empty()) return Refused(reason, std::string(damaged) + "headers are both damaged");
    for (int i = 48; i < 64; i++) {
        if (best[i] != 0) {
            return Refused(reason, "the vhdx image has a log still to replay (it was not closed cleanly): open it once "
                                   "in its hypervisor, or repair it with qemu-img check -r all, first");
        }
    }
    metadata->push_back({0, 1 << 20});  // headers and region tables
    const int64_t logAt = (int64_t)std::min<uint64_t>(LoadLe64(&best[72]), INT64_MAX / 2);
    metadata->push_back({logAt, logAt + LoadLe32(&best[68])});
    std::vector<uint8_t> regions;
    if (!ReadAt(&fd, 192 << 10, &regions, 65536) || memcmp(regions.data(), "regi", 4) != 0 || !ChecksumHolds(regions)) {
        return Refused(reason, std::string(damaged) + "region table is damaged");
    }
    int64_t batAt = -1, metadataAt = -1;
    uint32_t batLength = 0, metadataLength = 0;
    const uint32_t count = LoadLe32(&regions[8]);
    for (uint32_t i = 0; i < count && 16 + (i + 1) * 32 <= regions.size(); i++) {
        const uint8_t *entry = &regions[16 + i * 32];
        const int64_t at = (int64_t)std::min<uint64_t>(LoadLe64(entry + 16), INT64_MAX / 2);
        const uint32_t length = LoadLe32(entry + 24);
        metadata->push_back({at, at + length});
        if (memcmp(entry, kVhdxBatRegion, 16) == 0) batAt = at, batLength = length;
        if (memcmp(entry, kVhdxMetadataRegion, 16) == 0) metadataAt = at, metadataLength = length;
    }
    uint32_t blockBytes = 0, sectorBytes = 0;
    uint64_t diskBytes = 0;
    if (batAt < 0 || metadataAt < 0 || !ReadVhdxParameters(fd, metadataAt, metadataLength, &blockBytes, &diskBytes, &sectorBytes) ||
        blockBytes < (1u << 20) || blockBytes > (256u << 20) || (blockBytes & (blockBytes - 1)) != 0 ||
        (sectorBytes != 512 && sectorBytes != 4096) || diskBytes != (uint64_t)servedBytes || diskBytes > (64ULL << 40)) {
        return Refused(reason, std::string(damaged) + "metadata cannot be used");
    }
    const uint64_t chunkRatio = ((uint64_t)sectorBytes << 23) / blockBytes;
    const uint64_t blocks = (diskBytes + blockBytes - 1) / blockBytes;
    const uint64_t entries = blocks + (blocks - 1) / chunkRatio;
    std::vector<uint8_t> bat;
    if (entries >= kMostTables || entries * 8 > batLength || !ReadAt(&fd, batAt, &bat, (uint32_t)(entries * 8))) {
        return Refused(reason, std::string(damaged) + "block allocation table cannot be read");
    }
    for (uint64_t block = 0; block < blocks; block++) {
        const uint64_t entry = LoadLe64(&bat[(block + block / chunkRatio) * 8]);
        const uint32_t state = (uint32_t)(entry & 7);
        if (state == 6) {
            const int64_t guest = (int64_t)(block * blockBytes);
            plan->extents.push_back({guest, (int64_t)(entry >> 20) << 20,
                                     (int64_t)std::min<uint64_t>(blockBytes, diskBytes - guest)});
        } else if (state > 3) {
            return Refused(reason, "the vhdx image has a block of state " + std::to_string(state) +
                                       " (partly present or unknown), which is not read here");
        }
    }
    return 1;
}

// Joins extents that continue each other in the guest and in the file.
void JoinExtents(std::vector<HostExtent> *extents) {
    std::vector<HostExtent> joined;
    for (const HostExtent &extent : *extents) {
        HostExtent *last = joined.empty() ? 0 : &joined.back();
        if (last != 0 && last->guest + last->length == extent.guest && last->host + last->length == extent.host) {
            last->length += extent.length;
        } else {
            joined.push_back(extent);
        }
    }
    extents->swap(joined);
}

// Every extent apart from every other and from the metadata, and inside
// the file where it begins: a block map that points two guest blocks at
// one place would have the free one's hole zero the used one.
int ExtentsLieApart(const PunchPlan &plan, const std::vector<HostRange> &metadata, int64_t fileBytes,
                    std::string *reason) {
    struct Place {
        int64_t start, end;
        int extent;
    };
    std::vector<Place> places;
    for (const HostExtent &extent : plan.extents) {
        if (extent.host < 0 || extent.length <= 0 || extent.host >= fileBytes || extent.host > INT64_MAX / 2 - extent.length) {
            return Refused(reason, "the image's block map places guest byte " + std::to_string(extent.guest) +
                                       " outside the file");
        }
        places.push_back({extent.host, extent.host + extent.length, 1});
    }
    for (const HostRange &range : metadata) {
        if (range.end > range.start) places.push_back({range.start, range.end, 0});
    }
    std::sort(places.begin(), places.end(), [](const Place &a, const Place &b) { return a.start < b.start; });
    int64_t extentsEnd = 0, metadataEnd = 0;
    for (const Place &place : places) {
        if (place.start < extentsEnd || (place.extent && place.start < metadataEnd)) {
            return Refused(reason, std::string("the image's block map places data at byte ") + std::to_string(place.start) +
                                       " of the file, where " +
                                       (place.start < extentsEnd ? "other guest data" : "the format's own metadata") +
                                       " lies: nothing is punched in an image whose blocks overlap. Check it with "
                                       "qemu-img check");
        }
        int64_t &end = place.extent ? extentsEnd : metadataEnd;
        end = std::max(end, place.end);
    }
    return 1;
}

// The map read end to end: the first and last bytes of each extent, read
// through QEMU, are the file's bytes where the plan places them.
int MapAgreesWithQemu(int fd, ImageStore *reader, const PunchPlan &plan, int64_t fileBytes, std::string *reason) {
    std::vector<uint8_t> qemu(kSampleBytes), file(kSampleBytes);
    for (const HostExtent &extent : plan.extents) {
        const int64_t size = std::min<int64_t>(extent.length, kSampleBytes);
        for (int64_t at : {(int64_t)0, extent.length - size}) {
            const int64_t host = extent.host + at;
            const int64_t inFile = std::max<int64_t>(0, std::min<int64_t>(size, fileBytes - host));
            std::fill(file.begin(), file.end(), 0);  // past the end of the file reads as zeros
            if (!reader->read(reader, extent.guest + at, qemu.data(), (uint32_t)size) ||
                (inFile > 0 && !ReadFromDescriptor(&fd, host, file.data(), (uint32_t)inFile)) ||
                memcmp(qemu.data(), file.data(), (size_t)size) != 0) {
                return Refused(reason, "the block map read here disagrees with what QEMU reads at guest byte " +
                                           std::to_string(extent.guest + at) + ": nothing is punched");
            }
        }
    }
    return 1;
}

struct PunchImageStore {
    ImageStore store;  // first, so the store is the record
    ImageStore *reader;
    int fd;
    PunchPlan plan;
    int64_t fileBytes;
    int64_t heldStart, heldEnd;  // the trims that continue each other, punched together
    uint64_t punches, killAfter;
    int failed;
};

int PunchRead(ImageStore *store, int64_t position, void *buffer, uint32_t size) {
    ImageStore *reader = ((PunchImageStore *)store)->reader;
    return reader->read(reader, position, buffer, size);
}

// A trimmed range must read as zeros, as the drive promises: the part of
// [from, to) of the file too small for a hole of its own is zeroed, unless
// it reads as zeros already (a write into a hole would allocate it).
int ZeroEdge(PunchImageStore *punch, int64_t from, int64_t to) {
    if (to <= from) return 1;
    std::vector<uint8_t> bytes((size_t)(to - from));
    if (!ReadFromDescriptor(&punch->fd, from, bytes.data(), (uint32_t)bytes.size())) return 0;
    if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte == 0; })) return 1;
    std::fill(bytes.begin(), bytes.end(), 0);
    return pwrite(punch->fd, bytes.data(), bytes.size(), (off_t)from) == (ssize_t)bytes.size();
}

// Punches the whole host blocks of every extent piece of [start, end), and
// zeroes what is left at its edges.
int PunchRange(PunchImageStore *punch, int64_t start, int64_t end) {
    const std::vector<HostExtent> &extents = punch->plan.extents;
    const int64_t block = punch->plan.blockBytes;
    auto first = std::upper_bound(extents.begin(), extents.end(), start,
                                  [](int64_t at, const HostExtent &e) { return at < e.guest + e.length; });
    for (auto extent = first; extent != extents.end() && extent->guest < end; ++extent) {
        const int64_t from = std::max(start, extent->guest), to = std::min(end, extent->guest + extent->length);
        const int64_t hostFrom = extent->host + (from - extent->guest);
        const int64_t hostTo = std::min(extent->host + (to - extent->guest), punch->fileBytes);
        if (hostTo <= hostFrom) continue;
        int64_t holeFrom = (hostFrom + block - 1) / block * block, holeTo = hostTo / block * block;
        if (holeTo <= holeFrom) holeFrom = holeTo = hostTo;
        if (!ZeroEdge(punch, hostFrom, holeFrom) || !ZeroEdge(punch, holeTo, hostTo) ||
            (holeTo > holeFrom && fallocate(punch->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)holeFrom,
                                            (off_t)(holeTo - holeFrom)) != 0)) {
            punch->failed = 1;
            return 0;
        }
        if (holeTo > holeFrom && ++punch->punches == punch->killAfter) raise(SIGKILL);
    }
    return 1;
}

int64_t PunchReleased(ImageStore *store, int64_t start, int64_t size) {
    PunchImageStore *punch = (PunchImageStore *)store;
    int64_t released = 0;
    return ReleasedFromPlan(punch->fd, punch->plan, 1, punch->fileBytes, start, size, &released) ? released : -1;
}

int PunchHeld(PunchImageStore *punch) {
    int punched = punch->heldEnd <= punch->heldStart || PunchRange(punch, punch->heldStart, punch->heldEnd);
    punch->heldStart = punch->heldEnd = 0;
    return punched;
}

int PunchTrim(ImageStore *store, int64_t position, int64_t size) {
    PunchImageStore *punch = (PunchImageStore *)store;
    if (position < 0 || size <= 0 || position > store->size - size) return 0;
    if (punch->heldEnd > punch->heldStart && position == punch->heldEnd) {
        punch->heldEnd += size;
        return !punch->failed;
    }
    int punched = PunchHeld(punch);
    punch->heldStart = position;
    punch->heldEnd = position + size;
    return punched && !punch->failed;
}

int PunchFinish(ImageStore *store) {
    PunchImageStore *punch = (PunchImageStore *)store;
    return PunchHeld(punch) && fdatasync(punch->fd) == 0 && !punch->failed;
}

void PunchRelease(ImageStore *store) {
    PunchImageStore *punch = (PunchImageStore *)store;
    ReleaseImageStore(punch->reader);
    delete punch;
}

}  // namespace

// The file's holes in the host blocks that [start, end) of the disk
// touches where `plan` maps it: what writing zeros there allocates.
int64_t HolesUnder(int fd, const PunchPlan &plan, int64_t fileBytes, int64_t start, int64_t end) {
    const int64_t block = plan.blockBytes > 0 ? plan.blockBytes : 4096;
    int64_t holes = 0;
    for (const HostExtent &extent : plan.extents) {
        const int64_t from = std::max(start, extent.guest), to = std::min(end, extent.guest + extent.length);
        if (to <= from) continue;
        const int64_t hostFrom = (extent.host + (from - extent.guest)) / block * block;
        const int64_t hostTo = std::min((extent.host + (to - extent.guest) + block - 1) / block * block, fileBytes);
        const int64_t data = AllocatedBetween(fd, hostFrom, hostTo);
        if (data < 0) return -1;
        holes += hostTo - hostFrom - data;
    }
    return holes;
}


int ReleasedFromPlan(int fd, const PunchPlan &plan, int64_t unit, int64_t fileBytes, int64_t start, int64_t size,
                     int64_t *released) {
    *released = 0;
    const std::vector<HostExtent> &extents = plan.extents;
    const int64_t block = plan.blockBytes > 0 ? plan.blockBytes : 4096;
    const int64_t end = (start + size) / unit * unit;
    start = (start + unit - 1) / unit * unit;
    int64_t total = 0;
    auto first = std::upper_bound(extents.begin(), extents.end(), start,
                                  [](int64_t at, const HostExtent &e) { return at < e.guest + e.length; });
    for (auto extent = first; extent != extents.end() && extent->guest < end; ++extent) {
        const int64_t from = std::max(start, extent->guest), to = std::min(end, extent->guest + extent->length);
        const int64_t hostFrom = extent->host + (from - extent->guest);
        const int64_t hostTo = std::min(extent->host + (to - extent->guest), fileBytes);
        const int64_t holeFrom = (hostFrom + block - 1) / block * block, holeTo = hostTo / block * block;
        if (holeTo <= holeFrom) continue;
        const int64_t data = AllocatedBetween(fd, holeFrom, holeTo);
        if (data < 0) return 0;
        total += data;
    }
    *released = total;
    return 1;
}

int ReadImageMap(int imageFd, int format, int wallRuleset, int64_t diskBytes, PunchPlan *plan, std::string *reason) {
    *plan = PunchPlan();
    std::string out;
    const char *const map[] = {"map", "--output=json"};
    if (RunQemuImg(imageFd, format, wallRuleset, map, 2, &out) != 0) {
        return Refused(reason, std::string("qemu-img map cannot read the ") + ImageFormatName(format) + " image's map");
    }
    if (!ReadQemuMap(out, diskBytes, plan, reason)) return 0;
    JoinExtents(&plan->extents);
    struct stat info;
    plan->blockBytes = fstat(imageFd, &info) == 0 && info.st_blksize >= 512 && (info.st_blksize & (info.st_blksize - 1)) == 0
                           ? (int64_t)info.st_blksize
                           : 4096;
    return 1;
}

int FormatPunchesInPlace(int format) { return format == kFormatVdi || format == kFormatVmdk || format == kFormatVhdx; }

int PlanInPlacePunch(int imageFd, int format, int wallRuleset, int64_t fileBytes, ImageStore *reader,
                     PunchPlan *plan, std::string *reason) {
    *plan = PunchPlan();
    const char *name = ImageFormatName(format);
    std::string out;
    const char *const check[] = {"check", "-q"};
    int checked = RunQemuImg(imageFd, format, wallRuleset, check, 2, &out);
    if (checked != 0) {
        std::string said = out.substr(0, out.find('\n', 0) == std::string::npos ? 300 : std::min<size_t>(out.find('\n'), 300));
        return Refused(reason, std::string("qemu-img check finds the ") + name + " image unsound (" +
                                   (checked < 0 ? "it could not be run" : "status " + std::to_string(checked)) +
                                   (said.empty() ? "" : ": " + said) + "): nothing is punched. Repair it first");
    }
    std::vector<HostRange> metadata;
    int read = 0;
    if (format == kFormatVhdx) {
        read = ReadVhdxLayout(imageFd, reader->size, plan, &metadata, reason);
    } else {
        const char *const map[] = {"map", "--output=json"};
        if (RunQemuImg(imageFd, format, wallRuleset, map, 2, &out) != 0) {
            return Refused(reason, std::string("qemu-img map cannot read the ") + name + " image's block map");
        }
        read = (format == kFormatVdi ? ReadVdiMetadata(imageFd, &metadata, reason)
                                     : ReadVmdkMetadata(imageFd, &metadata, reason)) &&
               ReadQemuMap(out, reader->size, plan, reason);
    }
    if (!read) return 0;
    JoinExtents(&plan->extents);
    if (!ExtentsLieApart(*plan, metadata, fileBytes, reason) || !MapAgreesWithQemu(imageFd, reader, *plan, fileBytes, reason)) {
        return 0;
    }
    struct stat info;
    plan->blockBytes = fstat(imageFd, &info) == 0 && info.st_blksize >= 512 && (info.st_blksize & (info.st_blksize - 1)) == 0
                           ? (int64_t)info.st_blksize
                           : 4096;
    for (const HostExtent &extent : plan->extents) {
        const int64_t off = ((extent.host - extent.guest) % plan->blockBytes + plan->blockBytes) % plan->blockBytes;
        if (off != 0) {
            plan->misalignedBy = off;
            break;
        }
    }
    return 1;
}

std::string DescribePunchedSpace(int format, const PunchPlan &plan) {
    std::string text = std::string("The ") + ImageFormatName(format) +
                       " image gave its free space back in place, in whole blocks of " +
                       std::to_string(plan.blockBytes) + " bytes of the host file system";
    if (plan.misalignedBy != 0) {
        text += ": its data lies " + std::to_string(plan.misalignedBy) +
                " bytes off those blocks, so each free range keeps up to one block, zeroed";
    }
    if (plan.compressedBytes != 0) {
        text += "; " + std::to_string(plan.compressedBytes) + " bytes of compressed data have no place of their own and were kept";
    }
    return text + "\n";
}

std::string DescribeQcow2Space(int64_t clusterBytes) {
    return "The qcow2 image gives space back in whole clusters of " + std::to_string(clusterBytes) +
           " bytes: free space in a cluster that also holds data stays allocated\n";
}

ImageStore *OpenPunchImageStore(ImageStore *reader, int imageFd, const PunchPlan &plan, uint64_t killAfterPunches) {
    struct stat info;
    if (fstat(imageFd, &info) != 0) return 0;
    PunchImageStore *punch = new PunchImageStore();
    punch->store.read = PunchRead;
    punch->store.trim = PunchTrim;
    punch->store.finish = PunchFinish;
    punch->store.release = PunchRelease;
    punch->store.released = PunchReleased;
    punch->store.size = reader->size;
    punch->reader = reader;
    punch->fd = imageFd;
    punch->plan = plan;
    punch->fileBytes = (int64_t)info.st_size;
    punch->killAfter = killAfterPunches;
    return &punch->store;
}
