#include "image_header.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "bytes.h"
#include "vhdx_layout.h"

namespace {

struct FormatName {
    int format;
    const char *name;
};
const FormatName kFormatNames[] = {
    {kFormatRaw, "raw"}, {kFormatQcow2, "qcow2"}, {kFormatVmdk, "vmdk"}, {kFormatVhdx, "vhdx"}, {kFormatVdi, "vdi"},
};

uint32_t LoadBe32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}
uint64_t LoadBe64(const uint8_t *p) { return (uint64_t)LoadBe32(p) << 32 | LoadBe32(p + 4); }

// What the header's author wrote, fit for a terminal: printable ASCII as
// it is, everything else as \xNN, and no more than 200 bytes of it.
std::string Quoted(const uint8_t *bytes, size_t size) {
    std::string text = "\"";
    for (size_t i = 0; i < size && i < 200; i++) {
        char escaped[8];
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '"' && bytes[i] != '\\') {
            text += (char)bytes[i];
        } else {
            snprintf(escaped, sizeof escaped, "\\x%02x", bytes[i]);
            text += escaped;
        }
    }
    return text + (size > 200 ? "...\"" : "\"");
}

struct HeaderReader {
    DiskReadFunction read;
    void *context;
    int64_t fileBytes;
    const char *format;
    std::string *reason;
};

// Reads `size` bytes at `position` when they lie inside the file;
// otherwise names `what` as pointing outside it (or cut short).
int ReadInFile(const HeaderReader &reader, int64_t position, uint32_t size, std::vector<uint8_t> *bytes,
               const char *what) {
    if (position < 0 || position > reader.fileBytes || size > reader.fileBytes - position) {
        *reader.reason = std::string("the ") + reader.format + " header is damaged: its " + what + " (" +
                         std::to_string(size) + " bytes at byte " + std::to_string(position) +
                         ") lies outside the file of " + std::to_string(reader.fileBytes) + " bytes";
        return 0;
    }
    bytes->assign(size, 0);
    if (size > 0 && !reader.read(reader.context, position, bytes->data(), size)) {
        *reader.reason = std::string("the ") + reader.format + " header cannot be read";
        return 0;
    }
    return 1;
}

int Refuse(const HeaderReader &reader, int finding, const std::string &text) {
    *reader.reason = std::string("the ") + reader.format + " image " + text;
    return finding;
}

const char kBaseHoldsSpace[] =
    ": the space of the disk it shows is held there, so trimming this file would give nothing back. "
    "Trim the base image itself (qemu-img commit merges an overlay into it)";


// qcow2 (big-endian): 0 magic, 4 version, 8 backing_file_offset (u64),
// 16 backing_file_size, 20 cluster_bits, 60 nb_snapshots; version 3 adds
// 72 incompatible_features (u64) and 100 header_length. Header extensions
// (type, length, data padded to 8) follow the header in the first cluster.
enum {
    kQcow2Version2Bytes = 72,
    kQcow2Version3Bytes = 104,
    kQcow2ExternalDataFile = 1 << 2,
    kQcow2KnownIncompatible = 0x1F,  // dirty, corrupt, data file, compression type, extended L2
    kQcow2EndOfExtensions = 0,
    kQcow2DataFileName = 0x44415441,
    kQcow2LongestName = 1023,  // QEMU's own limit on a backing file name
};

int CheckQcow2(const HeaderReader &reader) {
    std::vector<uint8_t> header;
    if (!ReadInFile(reader, 0, kQcow2Version2Bytes, &header, "header")) return kHeaderDamaged;
    const uint32_t version = LoadBe32(&header[4]);
    const uint32_t clusterBits = LoadBe32(&header[20]);
    if ((version != 2 && version != 3) || clusterBits < 9 || clusterBits > 21) {
        return Refuse(reader, kHeaderUnsupported, "has version " + std::to_string(version) + " and clusters of 2^" +
                                                      std::to_string(clusterBits) + " bytes, which QEMU does not read");
    }
    uint64_t incompatible = 0;
    uint32_t headerBytes = kQcow2Version2Bytes;
    if (version == 3) {
        if (!ReadInFile(reader, 0, kQcow2Version3Bytes, &header, "version 3 header")) return kHeaderDamaged;
        incompatible = LoadBe64(&header[72]);
        headerBytes = LoadBe32(&header[100]);
        if (headerBytes < kQcow2Version3Bytes || headerBytes > (1u << clusterBits)) {
            return Refuse(reader, kHeaderDamaged, "has a header length of " + std::to_string(headerBytes) + " bytes");
        }
    }
    uint64_t backingOffset = LoadBe64(&header[8]);
    const uint32_t backingBytes = LoadBe32(&header[16]);
    if (backingOffset != 0) {
        std::vector<uint8_t> name;
        if (backingBytes > kQcow2LongestName) {
            return Refuse(reader, kHeaderRefersOut, "names a backing file of " + std::to_string(backingBytes) + " bytes" +
                                                        kBaseHoldsSpace);
        }
        if (backingOffset > (uint64_t)INT64_MAX) backingOffset = INT64_MAX;  // outside any file
        if (!ReadInFile(reader, (int64_t)backingOffset, backingBytes, &name, "backing file name")) return kHeaderDamaged;
        return Refuse(reader, kHeaderRefersOut,
                      "is an overlay: its backing file is " + Quoted(name.data(), name.size()) + kBaseHoldsSpace);
    }
    if (incompatible & kQcow2ExternalDataFile) {
        return Refuse(reader, kHeaderRefersOut,
                      "keeps its data in an external data file (incompatible feature bit 2): "
                      "QEMU would read and trim that other file. Convert it into one self-contained qcow2 "
                      "(qemu-img convert -O qcow2) if its origin is trusted");
    }
    if (incompatible & ~(uint64_t)kQcow2KnownIncompatible) {
        return Refuse(reader, kHeaderUnsupported, "sets incompatible features QEMU does not know");
    }
    // The extensions, to the end of the first cluster or of the file.
    const int64_t clusterBytes = (int64_t)1 << clusterBits;
    const int64_t extensionsEnd = clusterBytes < reader.fileBytes ? clusterBytes : reader.fileBytes;
    std::vector<uint8_t> cluster;
    if (extensionsEnd < (int64_t)headerBytes ||
        !ReadInFile(reader, 0, (uint32_t)extensionsEnd, &cluster, "first cluster")) {
        return Refuse(reader, kHeaderDamaged, "is cut short inside its header");
    }
    for (uint64_t at = headerBytes; at + 8 <= (uint64_t)extensionsEnd;) {
        const uint32_t type = LoadBe32(&cluster[at]);
        const uint32_t length = LoadBe32(&cluster[at + 4]);
        if (type == kQcow2EndOfExtensions) break;
        if (length > (uint64_t)extensionsEnd - at - 8) {
            return Refuse(reader, kHeaderDamaged, "has a header extension that runs past its first cluster");
        }
        if (type == kQcow2DataFileName) {
            return Refuse(reader, kHeaderRefersOut,
                          "names an external data file, " + Quoted(&cluster[at + 8], length) +
                              ": QEMU would read and trim that other file");
        }
        at += 8 + ((uint64_t)length + 7) / 8 * 8;
    }
    const uint32_t snapshots = LoadBe32(&header[60]);
    if (snapshots != 0) {
        return Refuse(reader, kHeaderHoldsSnapshots,
                      "holds " + std::to_string(snapshots) +
                          " internal snapshot(s): they keep the clusters a trim would free, so nothing would be "
                          "given back. Delete them first (qemu-img snapshot -l lists them, -d deletes one)");
    }
    return kHeaderSound;
}


// vmdk. A sparse extent (little-endian): 0 "KDMV", 12 capacity in sectors
// (u64), 28 descriptor offset and 36 size in sectors (u64). QEMU takes a
// sparse file whose capacity is 0 for a descriptor and opens the extents
// its embedded descriptor names; with a capacity it reads the file alone,
// but still looks for a parent (parentFileNameHint) in the bytes from 512
// on. Any other file it reads as a text descriptor naming extents.
enum {
    kVmdkHeaderBytes = 80,
    kVmdkDescriptorAtByte = 512,     // where QEMU looks for a parent name
    kVmdkDescriptorScanBytes = 10240,  // how much of it QEMU reads there
    kVmdkLongestDescriptor = 1 << 20,
};

// One extent line of a descriptor: RW 204800 FLAT "disk-flat.vmdk" 0.
struct VmdkExtent {
    std::string type;
    std::string name;  // quoted, escaped
};

struct VmdkDescriptor {
    std::vector<VmdkExtent> extents;
    std::string createType;
    int hasParent;      // parentCID other than ffffffff, or parentFileNameHint
};

void ParseVmdkDescriptor(const uint8_t *text, size_t size, VmdkDescriptor *descriptor) {
    if (size == 0) return;
    const uint8_t *end = (const uint8_t *)memchr(text, 0, size);
    if (end != 0) size = (size_t)(end - text);
    for (size_t at = 0; at < size;) {
        const uint8_t *newline = (const uint8_t *)memchr(text + at, '\n', size - at);
        size_t lineEnd = newline != 0 ? (size_t)(newline - text) : size;
        std::string line((const char *)text + at, lineEnd - at);
        at = lineEnd + 1;
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        line = line.substr(first);
        if (line.compare(0, 18, "parentFileNameHint") == 0) descriptor->hasParent = 1;
        if (line.compare(0, 9, "parentCID") == 0) {
            size_t value = line.find_first_not_of(" \t=", 9);
            if (value == std::string::npos || strncasecmp(line.c_str() + value, "ffffffff", 8) != 0) {
                descriptor->hasParent = 1;
            }
        }
        if (line.compare(0, 10, "createType") == 0) {
            size_t open = line.find('"'), close = line.rfind('"');
            descriptor->createType = open != close ? line.substr(open + 1, close - open - 1) : line;
        }
        char access[16], type[16];
        unsigned long long sectors = 0;
        if (sscanf(line.c_str(), "%15s %llu %15s", access, &sectors, type) == 3 &&
            (strcmp(access, "RW") == 0 || strcmp(access, "RDONLY") == 0 || strcmp(access, "NOACCESS") == 0)) {
            size_t open = line.find('"'), close = line.find('"', open + 1);
            std::string name = open != std::string::npos && close != std::string::npos
                                   ? line.substr(open + 1, close - open - 1)
                                   : std::string();
            descriptor->extents.push_back({type, Quoted((const uint8_t *)name.data(), name.size())});
        }
    }
}

int RefuseVmdkDescriptorFile(const HeaderReader &reader, const VmdkDescriptor &descriptor) {
    if (descriptor.extents.empty()) {
        return Refuse(reader, kHeaderUnsupported, "is neither a sparse extent nor a descriptor that names its data");
    }
    const VmdkExtent &first = descriptor.extents[0];
    int flat = 1;
    for (const VmdkExtent &extent : descriptor.extents) flat = flat && (extent.type == "FLAT" || extent.type == "VMFS");
    if (flat && descriptor.extents.size() == 1) {
        return Refuse(reader, kHeaderRefersOut,
                      "is a descriptor: its data lies in " + first.name +
                          ", a raw file beside it. Run quillet-image --format raw on that file instead");
    }
    return Refuse(reader, kHeaderRefersOut,
                  "is a descriptor whose data lies in other files (" + first.name + " first, " +
                      std::to_string(descriptor.extents.size()) + " in all)" +
                      (flat ? ": run quillet-image --format raw on each of them instead"
                            : ": convert it into one monolithicSparse file (qemu-img convert -O vmdk) first"));
}

int CheckVmdk(const HeaderReader &reader) {
    std::vector<uint8_t> header;
    uint8_t magic[4] = {0};
    if (reader.fileBytes >= 4 && !reader.read(reader.context, 0, magic, 4)) return Refuse(reader, kHeaderDamaged, "cannot be read");
    if (memcmp(magic, "KDMV", 4) != 0) {
        std::vector<uint8_t> text;
        int64_t size = reader.fileBytes < (int64_t)kVmdkLongestDescriptor ? reader.fileBytes : (int64_t)kVmdkLongestDescriptor;
        if (!ReadInFile(reader, 0, (uint32_t)size, &text, "descriptor")) return kHeaderDamaged;
        VmdkDescriptor descriptor = {};
        ParseVmdkDescriptor(text.data(), text.size(), &descriptor);
        return RefuseVmdkDescriptorFile(reader, descriptor);
    }
    if (!ReadInFile(reader, 0, kVmdkHeaderBytes, &header, "sparse header")) return kHeaderDamaged;
    const uint64_t capacity = LoadLe64(&header[12]);
    const uint64_t descriptorSector = LoadLe64(&header[28]);
    const uint64_t descriptorSectors = LoadLe64(&header[36]);
    if (capacity == 0) {
        return Refuse(reader, kHeaderRefersOut,
                      "is a sparse header of capacity 0: QEMU would open the extents its embedded descriptor names "
                      "instead of this file");
    }
    VmdkDescriptor descriptor = {};
    std::vector<uint8_t> text;
    if (descriptorSector != 0) {
        if (descriptorSector > (uint64_t)INT64_MAX / 512 || descriptorSectors > kVmdkLongestDescriptor / 512 ||
            !ReadInFile(reader, (int64_t)descriptorSector * 512, (uint32_t)descriptorSectors * 512, &text,
                        "embedded descriptor")) {
            if (reader.reason->empty()) *reader.reason = "the vmdk header's embedded descriptor is too large";
            return kHeaderDamaged;
        }
        ParseVmdkDescriptor(text.data(), text.size(), &descriptor);
    }
    // QEMU's look for a parent reads there whatever the header says.
    int64_t scan = reader.fileBytes - kVmdkDescriptorAtByte;
    if (scan > kVmdkDescriptorScanBytes) scan = kVmdkDescriptorScanBytes;
    if (scan > 0) {
        if (!ReadInFile(reader, kVmdkDescriptorAtByte, (uint32_t)scan, &text, "descriptor")) return kHeaderDamaged;
        size_t length = strnlen((const char *)text.data(), text.size());
        static const char kParentHint[] = "parentFileNameHint=\"";
        if (memmem(text.data(), length, kParentHint, sizeof kParentHint - 1) != 0) descriptor.hasParent = 1;
    }
    if (descriptor.hasParent) {
        return Refuse(reader, kHeaderRefersOut, std::string("is a linked clone (its descriptor names a parent)") +
                                                    kBaseHoldsSpace);
    }
    if (!descriptor.createType.empty() && descriptor.createType != "monolithicSparse" &&
        descriptor.createType != "streamOptimized") {
        return Refuse(reader, kHeaderRefersOut,
                      "is of type " +
                          Quoted((const uint8_t *)descriptor.createType.data(), descriptor.createType.size()) +
                          ", whose data lies in other files: only monolithicSparse and streamOptimized files "
                          "are read alone");
    }
    if (descriptor.extents.size() > 1 || (descriptor.extents.size() == 1 && descriptor.extents[0].type != "SPARSE")) {
        return Refuse(reader, kHeaderRefersOut, "has an embedded descriptor that names further extents (" +
                                                    descriptor.extents.back().name + ")");
    }
    return kHeaderSound;
}


// vhdx (little-endian): region tables at 192 and 256 KiB ("regi", entry
// count at 8, 32-byte entries from 16: GUID, file offset u64, length u32);
// the metadata region's table ("metadata", entry count u16 at 10, 32-byte
// entries from 32: item GUID, offset u32, length u32) holds the file
// parameters (flags at 4: bit 1 has a parent) and, for a differencing disk,
// the parent locator (vhdx_layout.h).
enum {
    kVhdxRegionTables = 192 << 10,
    kVhdxRegionTableBytes = 64 << 10,
    kVhdxMostEntries = 2047,
    kVhdxHasParent = 1 << 1,
};

// 1 when the metadata region at `offset` names a parent; -1 when damaged.
int VhdxMetadataNamesParent(const HeaderReader &reader, uint64_t offset, uint32_t length) {
    std::vector<uint8_t> table;
    if (offset > (uint64_t)INT64_MAX || length < 32 ||
        !ReadInFile(reader, (int64_t)offset, length < (uint32_t)kVhdxRegionTableBytes ? length : (uint32_t)kVhdxRegionTableBytes, &table,
                    "metadata table")) {
        return -1;
    }
    if (memcmp(table.data(), "metadata", 8) != 0) return -1;
    const uint32_t count = LoadLe16(&table[10]);
    for (uint32_t i = 0; i < count && i < kVhdxMostEntries && 32 + (i + 1) * 32 <= table.size(); i++) {
        const uint8_t *entry = &table[32 + i * 32];
        if (memcmp(entry, kVhdxParentLocator, 16) == 0) return 1;
        if (memcmp(entry, kVhdxFileParameters, 16) == 0) {
            std::vector<uint8_t> parameters;
            if (!ReadInFile(reader, (int64_t)offset + LoadLe32(entry + 16), 8, &parameters, "file parameters")) return -1;
            if (LoadLe32(&parameters[4]) & kVhdxHasParent) return 1;
        }
    }
    return 0;
}

int CheckVhdx(const HeaderReader &reader) {
    int tablesRead = 0;
    for (int copy = 0; copy < 2; copy++) {
        std::vector<uint8_t> table;
        if (!ReadInFile(reader, kVhdxRegionTables + copy * kVhdxRegionTableBytes, kVhdxRegionTableBytes, &table,
                        "region table")) {
            return kHeaderDamaged;
        }
        if (memcmp(table.data(), "regi", 4) != 0) continue;
        tablesRead++;
        const uint32_t count = LoadLe32(&table[8]);
        for (uint32_t i = 0; i < count && i < kVhdxMostEntries && 16 + (i + 1) * 32 <= table.size(); i++) {
            const uint8_t *entry = &table[16 + i * 32];
            if (memcmp(entry, kVhdxMetadataRegion, 16) != 0) continue;
            int parent = VhdxMetadataNamesParent(reader, LoadLe64(entry + 16), LoadLe32(entry + 24));
            if (parent < 0) {
                if (reader.reason->empty()) *reader.reason = "the vhdx header's metadata table is damaged";
                return kHeaderDamaged;
            }
            if (parent > 0) {
                return Refuse(reader, kHeaderRefersOut,
                              std::string("is a differencing disk (it names a parent)") + kBaseHoldsSpace);
            }
        }
    }
    if (tablesRead == 0) return Refuse(reader, kHeaderDamaged, "has no region table");
    return kHeaderSound;
}


// vdi (little-endian): 0x40 signature, 0x44 version, 0x4C image type (1
// dynamic, 2 fixed, 3 undo, 4 differencing), 0x1A8 the parent's UUID.
enum {
    kVdiHeaderBytes = 0x1C8,
    kVdiVersion11 = 0x00010001,
    kVdiDynamic = 1,
    kVdiFixed = 2,
    kVdiParentUuid = 0x1A8,
};

int CheckVdi(const HeaderReader &reader) {
    std::vector<uint8_t> header;
    if (!ReadInFile(reader, 0, kVdiHeaderBytes, &header, "header")) return kHeaderDamaged;
    if (LoadLe32(&header[0x44]) != kVdiVersion11) {
        return Refuse(reader, kHeaderUnsupported, "has a header version QEMU does not read");
    }
    const uint32_t type = LoadLe32(&header[0x4C]);
    int parent = type != kVdiDynamic && type != kVdiFixed;
    for (int i = 0; i < 16; i++) parent = parent || header[kVdiParentUuid + i] != 0;
    if (parent) {
        return Refuse(reader, kHeaderRefersOut,
                      "is a differencing disk (of type " + std::to_string(type) + ", or with a parent's UUID)" +
                          kBaseHoldsSpace);
    }
    return kHeaderSound;
}

}  // namespace

int DetectImageFormat(const uint8_t *header) {
    if (memcmp(header, "QFI\xfb", 4) == 0) return kFormatQcow2;
    if (memcmp(header, "vhdxfile", 8) == 0) return kFormatVhdx;
    // A sparse extent, or the text descriptor of a multi-file disk.
    if (memcmp(header, "KDMV", 4) == 0 || memcmp(header, "# Disk DescriptorFile", 21) == 0) return kFormatVmdk;
    if (header[0x40] == 0x7F && header[0x41] == 0x10 && header[0x42] == 0xDA && header[0x43] == 0xBE) {
        return kFormatVdi;
    }
    return kFormatRaw;
}

int ImageFormatByName(const char *name) {
    for (const FormatName &known : kFormatNames) {
        if (strcmp(known.name, name) == 0) return known.format;
    }
    return kFormatUnknown;
}

const char *ImageFormatName(int format) {
    for (const FormatName &known : kFormatNames) {
        if (known.format == format) return known.name;
    }
    return "unknown";
}

int CheckImageHeader(DiskReadFunction read, void *context, int64_t fileBytes, int format, std::string *reason) {
    reason->clear();
    HeaderReader reader = {read, context, fileBytes, ImageFormatName(format), reason};
    switch (format) {
    case kFormatRaw:
        return kHeaderSound;
    case kFormatQcow2:
        return CheckQcow2(reader);
    case kFormatVmdk:
        return CheckVmdk(reader);
    case kFormatVhdx:
        return CheckVhdx(reader);
    case kFormatVdi:
        return CheckVdi(reader);
    default:
        return Refuse(reader, kHeaderUnsupported, "is of a format not known here");
    }
}
