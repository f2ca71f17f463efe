// corruption_campaign QUILLET-IMAGE [CORRUPTIONS-PER-VOLUME [SEED]]
//
// Run by hand, as root with /dev/fuse (it makes aged and shaped volumes
// through ntfs-3g's FUSE mount). Makes a few real volumes, then applies
// many single-field corruptions to a working copy of each, one at a time:
// fields of in-use MFT records, attribute list entries, index blocks,
// $Bitmap bits of used clusters cleared, $Bitmap's run moved. Each time it
// runs quillet-image --dry-run --commands on the copy and puts the bytes
// back. The oracle is the original volume: a run that exits 0 with a
// command covering a cluster ntfscat's $Bitmap of the original calls used
// would have trimmed data. Prints the exits by status and kind, and every
// such case with its corruption. Exit status 1 when there was one.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ntfs_volumes.h"

namespace {

struct Run {
    uint64_t vcn, lcn, count;
};

// Every run of every dump of attribute `type` ("$DATA") of record `inode`,
// as ntfsinfo -v prints them.
std::vector<Run> RunsOf(const std::string &path, int64_t inode, const std::string &type) {
    const std::string info = RunTool({"ntfsinfo", "-v", "-f", "-i", std::to_string(inode), path}).out;
    std::istringstream lines(info);
    std::string line;
    std::vector<Run> runs;
    int inside = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("Dumping attribute ", 0) == 0) inside = line.find("attribute " + type + " (") != std::string::npos;
        unsigned long long vcn, lcn, count;
        if (inside && sscanf(line.c_str(), " 0x%llx 0x%llx 0x%llx", &vcn, &lcn, &count) == 3) {
            runs.push_back({vcn, lcn, count});
        }
    }
    return runs;
}

uint32_t Le(const uint8_t *p, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; i--) value = value << 8 | p[i];
    return value;
}

struct Field {
    int64_t at;  // byte of the image (the stride tail already redirected)
    uint32_t size;
    std::string what;
};

struct Target {
    std::string name;
    NtfsVolume volume;
    std::string work;                // the copy the corruptions go to
    std::vector<int64_t> recordAt;   // image byte of each MFT record; -1 unmapped
    std::vector<int64_t> inUse;      // in-use records
    int64_t bitmapAt = 0;            // image byte of $Bitmap's data
    int64_t bitmapRunAt = -1;        // image byte of the LCN of record 6's first run
    uint32_t bitmapRunLcnSize = 0;
    std::vector<int64_t> indexBlocks;  // image bytes of "INDX" blocks
    std::vector<uint64_t> dataLcns;    // first clusters of files' data, to move $Bitmap onto
};

// Image byte of logical byte `offset` of the multi-sector structure at
// `base` (a record or index block): the last two bytes of each 512 live in
// the update sequence array.
int64_t Logical(const std::vector<uint8_t> &raw, int64_t base, uint32_t offset) {
    if (offset % 512 < 510) return base + offset;
    const uint32_t usa = Le(&raw[4], 2), stride = offset / 512 + 1;
    return base + usa + 2 * stride + offset % 512 - 510;
}

// The fields of the record or index block whose raw bytes are `raw` at
// image byte `base`.
void RecordFields(const std::vector<uint8_t> &raw, int64_t base, int64_t number, std::vector<Field> *fields) {
    std::vector<uint8_t> record = raw;
    const uint32_t usa = Le(&record[4], 2), count = Le(&record[6], 2);
    for (uint32_t stride = 1; stride < count && usa + 2 * stride + 1 < record.size() && stride * 512 <= record.size();
         stride++) {
        record[stride * 512 - 2] = record[usa + 2 * stride];
        record[stride * 512 - 1] = record[usa + 2 * stride + 1];
    }
    const std::string where = "record " + std::to_string(number);
    const auto add = [&](uint32_t offset, uint32_t size, const std::string &what) {
        if (offset + size <= record.size()) fields->push_back({Logical(raw, base, offset), size, where + " " + what});
    };
    const struct {
        uint32_t offset, size;
        const char *what;
    } header[] = {{4, 2, "usa offset"},  {6, 2, "usa count"},      {0x10, 2, "sequence"}, {0x14, 2, "attrs offset"},
                  {0x16, 2, "flags"},   {0x18, 4, "bytes in use"}, {0x20, 6, "base record"}, {0x2C, 4, "number"}};
    for (const auto &h : header) add(h.offset, h.size, h.what);
    // A bit of the update sequence number in one stride's tail.
    add(510, 2, "stride tail");
    for (uint32_t a = Le(&record[0x14], 2), n = 0; a + 16 <= record.size() && n < 64; n++) {
        const uint32_t type = Le(&record[a], 4), length = Le(&record[a + 4], 4);
        if (type == 0xFFFFFFFF || length < 16 || a + length > record.size()) break;
        char name[32];
        snprintf(name, sizeof name, "attr 0x%X@%u ", type, a);
        add(a, 4, std::string(name) + "type");
        add(a + 4, 4, std::string(name) + "length");
        add(a + 8, 1, std::string(name) + "non-resident");
        add(a + 9, 1, std::string(name) + "name length");
        add(a + 12, 2, std::string(name) + "flags");
        if (record[a + 8] == 0) {
            add(a + 0x10, 4, std::string(name) + "value length");
            add(a + 0x14, 2, std::string(name) + "value offset");
            const uint32_t value = a + Le(&record[a + 0x14], 2), valueLength = Le(&record[a + 0x10], 4);
            if (type == 0x20) {
                // Attribute list entries: type, length, starting VCN, reference.
                for (uint32_t e = value; e + 26 <= value + valueLength && e + 26 <= a + length;) {
                    const uint32_t entryLength = Le(&record[e + 4], 2);
                    add(e, 4, std::string(name) + "list entry type");
                    add(e + 4, 2, std::string(name) + "list entry length");
                    add(e + 8, 8, std::string(name) + "list entry start VCN");
                    add(e + 16, 6, std::string(name) + "list entry record");
                    if (entryLength < 26) break;
                    e += entryLength;
                }
            }
            if (type == 0x90 || type == 0x30) {
                for (uint32_t b = value; b < value + valueLength && b < a + length; b += 8) {
                    add(b, 1, std::string(name) + "value byte " + std::to_string(b - value));
                }
            }
        } else {
            add(a + 0x10, 8, std::string(name) + "start VCN");
            add(a + 0x18, 8, std::string(name) + "last VCN");
            add(a + 0x20, 2, std::string(name) + "runs offset");
            add(a + 0x28, 8, std::string(name) + "allocated size");
            add(a + 0x30, 8, std::string(name) + "real size");
            add(a + 0x38, 8, std::string(name) + "initialized size");
            for (uint32_t b = a + Le(&record[a + 0x20], 2); b < a + length; b++) {
                add(b, 1, std::string(name) + "mapping pairs byte " + std::to_string(b - a));
            }
        }
        a += length;
    }
}

void IndexFields(const std::vector<uint8_t> &raw, int64_t base, std::vector<Field> *fields) {
    const std::string where = "index block at byte " + std::to_string(base);
    const auto add = [&](uint32_t offset, uint32_t size, const std::string &what) {
        if (offset + size <= raw.size()) fields->push_back({Logical(raw, base, offset), size, where + " " + what});
    };
    add(4, 2, "usa offset");
    add(6, 2, "usa count");
    add(0x10, 8, "VCN");
    add(0x18, 4, "entries offset");
    add(0x1C, 4, "index size");
    add(0x20, 4, "allocated size");
    add(0x24, 1, "flags");
    add(510, 2, "stride tail");
    // The first entries' fields (raw bytes, good enough for their place).
    for (uint32_t e = 0x18 + Le(&raw[0x18], 4), n = 0; e + 16 <= raw.size() && n < 8; n++) {
        const uint32_t length = Le(&raw[e + 8], 2);
        add(e, 6, "entry " + std::to_string(n) + " reference");
        add(e + 8, 2, "entry " + std::to_string(n) + " length");
        add(e + 10, 2, "entry " + std::to_string(n) + " key length");
        add(e + 12, 2, "entry " + std::to_string(n) + " flags");
        add(e + 16 + 0x40, 1, "entry " + std::to_string(n) + " name length");
        add(e + 16 + 0x42, 2, "entry " + std::to_string(n) + " name");
        if (length < 16 || (raw[e + 12] & 2) != 0) break;
        e += length;
    }
}

int Prepare(Target *target, std::string *error) {
    NtfsVolume &volume = target->volume;
    target->work = volume.path + ".work";
    unlink(target->work.c_str());
    if (!CopySparse(volume.path, 0, target->work, 0, (int64_t)volume.volumeBytes)) {
        *error = "cannot copy " + volume.path;
        return 0;
    }
    const std::vector<Run> mft = RunsOf(volume.path, 0, "$DATA");
    for (const Run &run : mft) {
        const uint64_t bytes = run.count * volume.clusterSize;
        for (uint64_t at = 0; at < bytes; at += volume.mftRecordSize) {
            const uint64_t number = (run.vcn * volume.clusterSize + at) / volume.mftRecordSize;
            if (target->recordAt.size() <= number) target->recordAt.resize(number + 1, -1);
            target->recordAt[number] = (int64_t)(run.lcn * volume.clusterSize + at);
        }
    }
    for (size_t number = 0; number < target->recordAt.size(); number++) {
        std::vector<uint8_t> record;
        if (target->recordAt[number] < 0 ||
            !ReadBytes(volume.path, target->recordAt[number], volume.mftRecordSize, &record)) {
            continue;
        }
        if (memcmp(record.data(), "FILE", 4) == 0 && (record[0x16] & 1) != 0) target->inUse.push_back((int64_t)number);
    }
    const std::vector<Run> bitmap = RunsOf(volume.path, 6, "$DATA");
    if (target->inUse.size() < 16 || bitmap.empty()) {
        *error = "no $MFT or $Bitmap runs from ntfsinfo";
        return 0;
    }
    target->bitmapAt = (int64_t)(bitmap[0].lcn * volume.clusterSize);
    // Record 6's first mapping pair: its LCN field.
    std::vector<uint8_t> record;
    ReadBytes(volume.path, target->recordAt[6], volume.mftRecordSize, &record);
    for (uint32_t a = Le(&record[0x14], 2); a + 0x40 < 510;) {
        if (Le(&record[a], 4) == 0x80 && record[a + 8] == 1) {
            const uint32_t pairs = a + Le(&record[a + 0x20], 2);
            target->bitmapRunAt = target->recordAt[6] + pairs + 1 + (record[pairs] & 0x0F);
            target->bitmapRunLcnSize = record[pairs] >> 4;
            break;
        }
        if (Le(&record[a + 4], 4) == 0) break;
        a += Le(&record[a + 4], 4);
    }
    // Index blocks: "INDX" at the start of a cluster (blocks here are 4096
    // bytes; on small clusters they start on any cluster).
    std::vector<uint8_t> all;
    ReadBytes(volume.path, 0, (int64_t)volume.volumeBytes, &all);
    for (uint64_t at = 0; at + 4096 <= all.size(); at += std::min<uint32_t>(volume.clusterSize, 4096)) {
        if (memcmp(&all[at], "INDX", 4) == 0) target->indexBlocks.push_back((int64_t)at);
    }
    for (size_t i = 16; i < target->inUse.size() && target->dataLcns.size() < 64; i += 7) {
        const std::vector<Run> runs = RunsOf(volume.path, target->inUse[i], "$DATA");
        if (!runs.empty() && runs[0].lcn != 0 && runs[0].lcn < (uint64_t)volume.clusters) {
            target->dataLcns.push_back(runs[0].lcn);
        }
    }
    return 1;
}

int Used(const NtfsVolume &volume, uint64_t cluster) {
    return cluster / 8 >= volume.bitmap.size() || (volume.bitmap[cluster / 8] >> (cluster % 8) & 1) != 0;
}

struct Outcome {
    std::map<int, int> byStatus;
    std::map<std::string, std::map<int, int>> byKind;
    int dataTrimmed = 0;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: corruption_campaign QUILLET-IMAGE [CORRUPTIONS-PER-VOLUME [SEED]]\n");
        return 64;
    }
    setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 1);
    const std::string program = argv[1];
    const int perVolume = argc > 2 ? atoi(argv[2]) : 1000;
    std::mt19937 random(argc > 3 ? (uint32_t)strtoul(argv[3], 0, 10) : 15);
    if (!FuseAvailable()) {
        fprintf(stderr, "corruption_campaign: needs /dev/fuse (and root) to age volumes through ntfs-3g\n");
        return 77;
    }
    const std::string scratch = MakeScratchDirectory("corruption-campaign-");
    std::vector<Target> targets(5);
    std::string error;
    int made = !scratch.empty();
    targets[0].name = "filled 24 MiB, 4 KiB clusters";
    made = made && MakeNtfsVolume(scratch + "/filled.img", 512, 4096, 24 << 20, 7, &targets[0].volume, &error);
    targets[1].name = "aged 128 MiB, 4 KiB clusters";
    made = made && MakeRecipeNtfsVolume(scratch + "/aged4k.img", AgedNtfsRecipe(512, 4096, 128 << 20), 11, &targets[1].volume, &error);
    targets[2].name = "aged 128 MiB, 512 B clusters";
    made = made && MakeRecipeNtfsVolume(scratch + "/aged512.img", AgedNtfsRecipe(512, 512, 128 << 20), 12, &targets[2].volume, &error);
    targets[3].name = "root index in extension records";
    made = made && MakeRecipeNtfsVolume(scratch + "/root.img", ShapedNtfsRecipe(kRootIndexInExtensions), 13, &targets[3].volume, &error);
    targets[4].name = "$MFT in pieces, hiberfil.sys past its first segment";
    made = made &&
           MakeRecipeNtfsVolume(scratch + "/mft.img", ShapedNtfsRecipe(kHiberfilPastMftFirstSegment), 14, &targets[4].volume, &error);
    for (Target &target : targets) made = made && Prepare(&target, &error);
    if (!made) {
        fprintf(stderr, "corruption_campaign: %s\n", error.c_str());
        RemoveScratchDirectory(scratch);
        return 1;
    }

    Outcome total;
    const std::string list = scratch + "/commands.list";
    for (Target &target : targets) {
        const NtfsVolume &volume = target.volume;
        // The copy as made runs clean first: otherwise nothing below means much.
        ToolRun clean = RunTool({program, "-q", "--dry-run", target.work});
        printf("%s: %zu in-use records, %zu index blocks, clean run exits %d\n", target.name.c_str(),
               target.inUse.size(), target.indexBlocks.size(), clean.status);
        Outcome outcome;
        for (int n = 0; n < perVolume; n++) {
            std::vector<Field> fields;
            std::string kind;
            const int pick = (int)(random() % 100);
            if (pick < 40) {
                // A field of an in-use record: half of them among the metafiles
                // and the records with attribute lists.
                kind = "MFT record field";
                const int64_t number = random() % 2 ? target.inUse[random() % std::min<size_t>(24, target.inUse.size())]
                                                    : target.inUse[random() % target.inUse.size()];
                std::vector<uint8_t> raw;
                ReadBytes(volume.path, target.recordAt[number], volume.mftRecordSize, &raw);
                RecordFields(raw, target.recordAt[number], number, &fields);
                if (pick < 15) {
                    // Attribute lists and mapping pairs: the fields that say where things are.
                    std::vector<Field> where;
                    for (const Field &field : fields) {
                        if (field.what.find("list entry") != std::string::npos ||
                            field.what.find("mapping pairs") != std::string::npos) {
                            where.push_back(field);
                        }
                    }
                    if (!where.empty()) {
                        fields.swap(where);
                        kind = "attribute list or mapping pairs";
                    }
                }
            } else if (pick < 65) {
                // One used cluster's bit cleared; every fourth time among the
                // volume's first clusters ($Boot, $MFT's start).
                kind = "$Bitmap bit cleared";
                uint64_t cluster = 0;
                for (int tries = 0; tries < 1000; tries++) {
                    cluster = random() % 4 == 0 ? random() % 64 : random() % (uint64_t)volume.clusters;
                    if (Used(volume, cluster)) break;
                }
                fields.push_back({target.bitmapAt + (int64_t)(cluster / 8), 1,
                                  "bit of cluster " + std::to_string(cluster)});
                fields.back().size = 0x100 | (uint32_t)(cluster % 8);  // marks a bit clear
            } else if (pick < 80) {
                kind = "$Bitmap run moved";
                fields.push_back({target.bitmapRunAt, target.bitmapRunLcnSize, "record 6 first run LCN"});
                fields.back().size |= 0x200;  // marks a move
            } else if (!target.indexBlocks.empty()) {
                kind = "index block field";
                const int64_t at = target.indexBlocks[random() % target.indexBlocks.size()];
                std::vector<uint8_t> raw;
                ReadBytes(volume.path, at, 4096, &raw);
                IndexFields(raw, at, &fields);
            }
            if (fields.empty()) continue;
            const Field field = fields[random() % fields.size()];
            std::vector<uint8_t> saved, changed;
            std::string what = field.what;
            if (field.size & 0x100) {
                ReadBytes(target.work, field.at, 1, &saved);
                changed = saved;
                changed[0] &= (uint8_t) ~(1u << (field.size & 7));
            } else if (field.size & 0x200) {
                const uint32_t size = field.size & 0xFF;
                ReadBytes(target.work, field.at, size, &saved);
                changed = saved;
                uint64_t lcn = 0;
                const int how = (int)(random() % 3);
                if (how == 0 && !target.dataLcns.empty()) {
                    lcn = target.dataLcns[random() % target.dataLcns.size()];
                } else if (how == 1) {
                    lcn = Le(saved.data(), (int)std::min<uint32_t>(size, 4)) + (random() % 2 ? 1 : -1);
                } else {
                    lcn = random() % (uint64_t)volume.clusters;
                }
                for (uint32_t i = 0; i < size; i++) changed[i] = (uint8_t)(lcn >> (8 * i));
                what += " to " + std::to_string(lcn);
            } else {
                ReadBytes(target.work, field.at, field.size, &saved);
                changed = saved;
                const int how = (int)(random() % 5);
                if (how < 3) {
                    const uint32_t bit = random() % (8 * field.size);
                    changed[bit / 8] ^= (uint8_t)(1u << (bit % 8));
                    what += " bit " + std::to_string(bit) + " flipped";
                } else if (how == 3) {
                    for (uint8_t &byte : changed) byte = 0;
                    what += " zeroed";
                } else {
                    for (uint8_t &byte : changed) byte = (uint8_t)random();
                    what += " random";
                }
            }
            if (changed == saved) continue;
            WriteBytes(target.work, field.at, changed.data(), changed.size());
            unlink(list.c_str());
            const ToolRun run = RunTool({program, "-q", "--dry-run", "--commands", list, target.work});
            WriteBytes(target.work, field.at, saved.data(), saved.size());
            outcome.byStatus[run.status]++;
            outcome.byKind[kind][run.status]++;
            total.byStatus[run.status]++;
            total.byKind[kind][run.status]++;
            if (run.status != 0) continue;
            uint64_t trimmedUsed = 0, first = 0;
            for (const TrimCommand &span : ListedSpans(list)) {
                for (uint64_t cluster = span.lba * 512 / volume.clusterSize;
                     cluster < (span.lba + span.blocks) * 512 / volume.clusterSize; cluster++) {
                    if (Used(volume, cluster) && trimmedUsed++ == 0) first = cluster;
                }
            }
            if (trimmedUsed != 0) {
                outcome.dataTrimmed++;
                total.dataTrimmed++;
                printf("  EXIT 0 TRIMMING DATA: %s: %s: %llu used clusters from %llu\n", target.name.c_str(),
                       what.c_str(), (unsigned long long)trimmedUsed, (unsigned long long)first);
            }
        }
        std::vector<uint8_t> before, after;
        ReadBytes(volume.path, 0, (int64_t)volume.volumeBytes, &before);
        ReadBytes(target.work, 0, (int64_t)volume.volumeBytes, &after);
        printf("  exits:");
        for (const auto &status : outcome.byStatus) printf(" %d x%d", status.first, status.second);
        printf("; exit 0 after trimming used clusters: %d%s\n", outcome.dataTrimmed,
               before == after ? "" : " (THE WORKING COPY DIFFERS FROM THE ORIGINAL)");
    }
    int tried = 0;
    for (const auto &status : total.byStatus) tried += status.second;
    printf("\ncorruptions tried: %d\n", tried);
    for (const auto &kind : total.byKind) {
        printf("  %-32s", kind.first.c_str());
        for (const auto &status : kind.second) printf(" %d x%d", status.first, status.second);
        printf("\n");
    }
    printf("exit 0 after trimming a cluster the original's $Bitmap calls used: %d\n", total.dataTrimmed);
    RemoveScratchDirectory(scratch);
    return total.dataTrimmed != 0;
}
