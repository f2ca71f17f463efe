// The FAT open: boot sector, FAT copies, entries and the directory tree.
// Trimming a cluster a file still owns loses it, so every doubt refuses.
#include "fat_volume.h"

#include "ata_request.h"
#include "binding.h"
#include "bytes.h"

namespace {

enum {
    kBootBytes = 512,
    kEntryBytes = 32,
};

const uint32_t kPieceBytes = 1 << 20;  // FAT copies are read and compared in pieces of this

const uint64_t kMaxFatBytes = (uint64_t)1 << 30;  // 4 bytes for each of FAT32's 2^28 clusters

int IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

int SameBytes(const uint8_t *a, const uint8_t *b, uint32_t size, uint32_t *first) {
    for (uint32_t i = 0; i < size; i++) {
        if (a[i] != b[i]) {
            *first = i;
            return 0;
        }
    }
    return 1;
}

// The volume while it is opened: the first FAT copy whole, and the
// clusters the directory walk has claimed.
struct FatScan {
    DeviceHandle drive;
    int64_t offset, length;  // the partition's place
    FatGeometry geometry;
    uint8_t *fat;       // fatBytes, then 4 zero bytes
    uint8_t *claimed;   // one bit per cluster number, 0 to clusterCount + 1
    uint8_t *cluster;   // one cluster's bytes, for the folders
    uint32_t bad;       // the bad-cluster mark; above it, ends of chain
    FatFinding *finding;
};

uint32_t Entry(const FatScan &scan, uint32_t cluster) {
    const uint8_t *fat = scan.fat;
    switch (scan.geometry.fatBits) {
    case 12: {
        const uint32_t pair = LoadLe16(fat + cluster + cluster / 2);
        return cluster & 1 ? pair >> 4 : pair & 0xFFF;
    }
    case 16:
        return LoadLe16(fat + 2 * (uint64_t)cluster);
    default:
        // The top four bits are reserved.
        return LoadLe32(fat + 4 * (uint64_t)cluster) & 0x0FFFFFFF;
    }
}

int InRange(const FatScan &scan, uint32_t cluster) {
    return cluster >= 2 && cluster <= scan.geometry.clusterCount + 1;
}

int IsClaimed(const FatScan &scan, uint32_t cluster) { return scan.claimed[cluster / 8] >> (cluster % 8) & 1; }

int Read(FatScan *scan, uint64_t at, void *buffer, uint32_t size) {
    if (BindingReadAt(scan->drive, scan->offset + (int64_t)at, buffer, size)) return 1;
    scan->finding->problem = kFatReadFailed;
    return 0;
}

void CopyName(char *name, const uint8_t *entry) {
    uint32_t length = 0;
    for (uint32_t i = 0; i < 8 && entry[i] != ' '; i++) name[length++] = (char)(entry[i] < 0x20 || entry[i] > 0x7E ? '?' : entry[i]);
    if (entry[8] != ' ') {
        name[length++] = '.';
        for (uint32_t i = 8; i < 11 && entry[i] != ' '; i++) name[length++] = (char)(entry[i] < 0x20 || entry[i] > 0x7E ? '?' : entry[i]);
    }
    name[length] = 0;
}

int Refuse(FatScan *scan, uint32_t problem, uint32_t cluster, uint32_t value) {
    scan->finding->problem = problem;
    scan->finding->cluster = cluster;
    scan->finding->value = value;
    return 0;
}

// Claims the chain from `first` (in range) for the entry `entry` (null: the
// root folder). Each cluster is claimed once, so a chain ends within
// clusterCount steps or comes back to a claimed cluster: its own (a loop)
// or another chain's.
int ClaimChain(FatScan *scan, uint32_t first, const uint8_t *entry) {
    if (entry != 0) CopyName(scan->finding->name, entry); else scan->finding->name[0] = 0;
    uint32_t cluster = first;
    for (uint32_t steps = 0;; steps++) {
        const uint32_t next = Entry(*scan, cluster);
        if (next == 0) return Refuse(scan, first == cluster && entry == 0 ? kFatRootFree : kFatChainThroughFree, cluster, 0);
        if (IsClaimed(*scan, cluster)) {
            // Its own when the walk so far passed it.
            uint32_t at = first;
            for (uint32_t step = 0; step < steps; step++, at = Entry(*scan, at)) {
                if (at == cluster) return Refuse(scan, kFatChainLoop, cluster, 0);
            }
            return Refuse(scan, kFatClusterShared, cluster, 0);
        }
        scan->claimed[cluster / 8] |= (uint8_t)(1u << (cluster % 8));
        if (next > scan->bad) return 1;
        if (next == scan->bad) return Refuse(scan, kFatChainBad, cluster, next);
        // Every entry was checked to be a cluster, bad, or an end.
        cluster = next;
    }
}

// A growing list of the folders still to read: first cluster and depth.
struct FolderList {
    uint32_t *items;  // pairs
    uint32_t count, capacity;
};

int PushFolder(FolderList *list, uint32_t cluster, uint32_t depth) {
    if (list->count == list->capacity) {
        const uint32_t capacity = list->capacity == 0 ? 64 : list->capacity * 2;
        uint32_t *items = (uint32_t *)BindingAllocate(capacity * 2 * (uint32_t)sizeof(uint32_t));
        if (items == 0) return 0;
        for (uint32_t i = 0; i < list->count * 2; i++) items[i] = list->items[i];
        if (list->items != 0) BindingFree(list->items);
        list->items = items;
        list->capacity = capacity;
    }
    list->items[list->count * 2] = cluster;
    list->items[list->count * 2 + 1] = depth;
    list->count++;
    return 1;
}

// The entries of one folder's `size` bytes: every file's and folder's chain
// claimed, every folder listed for reading.
int ReadEntries(FatScan *scan, const uint8_t *bytes, uint32_t size, uint32_t depth, FolderList *folders) {
    for (uint32_t at = 0; at + kEntryBytes <= size; at += kEntryBytes) {
        const uint8_t *entry = bytes + at;
        const uint8_t attributes = entry[11];
        // Free (0x00, 0xE5) entries, long-name parts and the volume label
        // own no clusters. Entries after a 0x00 one are read too: whoever
        // reads them finds what they name claimed, never trimmed.
        if (entry[0] == 0 || entry[0] == 0xE5 || (attributes & 0x3F) == 0x0F || (attributes & 0x08) != 0) continue;
        // "." and ".." name this folder and its parent, walked already.
        if (entry[0] == '.' && (entry[1] == ' ' || (entry[1] == '.' && entry[2] == ' '))) continue;
        uint32_t first = LoadLe16(entry + 26);
        if (scan->geometry.fatBits == 32) first |= (uint32_t)LoadLe16(entry + 20) << 16;
        if (first == 0) continue;  // an empty file
        if (!InRange(*scan, first)) {
            CopyName(scan->finding->name, entry);
            return Refuse(scan, kFatEntryCluster, 0, first);
        }
        if (!ClaimChain(scan, first, entry)) return 0;
        if ((attributes & 0x10) != 0) {
            if (depth + 1 > kFatMaxDepth) {
                CopyName(scan->finding->name, entry);
                return Refuse(scan, kFatTooDeep, first, depth + 1);
            }
            if (!PushFolder(folders, first, depth + 1)) return Refuse(scan, kFatNoMemory, 0, 0);
        }
    }
    return 1;
}

// The folder whose chain starts at `first` (claimed, so it ends), cluster
// by cluster.
int ReadFolder(FatScan *scan, uint32_t first, uint32_t depth, FolderList *folders) {
    const FatGeometry &geometry = scan->geometry;
    for (uint32_t cluster = first; InRange(*scan, cluster); cluster = Entry(*scan, cluster)) {
        if (!Read(scan, geometry.dataOffset + (uint64_t)(cluster - 2) * geometry.bytesPerCluster, scan->cluster,
                  geometry.bytesPerCluster) ||
            !ReadEntries(scan, scan->cluster, geometry.bytesPerCluster, depth, folders)) {
            return 0;
        }
    }
    return 1;
}

// The whole tree from the root folder.
int WalkTree(FatScan *scan) {
    const FatGeometry &geometry = scan->geometry;
    FolderList folders = {0, 0, 0};
    int sound = 1;
    if (geometry.fatBits == 32) {
        sound = ClaimChain(scan, geometry.rootCluster, 0) && ReadFolder(scan, geometry.rootCluster, 0, &folders);
    } else {
        // At most 65535 entries of 32 bytes: read in one piece.
        uint8_t *root = (uint8_t *)BindingAllocate((uint32_t)geometry.rootBytes);
        if (root == 0) return Refuse(scan, kFatNoMemory, 0, 0);
        sound = Read(scan, geometry.rootOffset, root, (uint32_t)geometry.rootBytes) &&
                ReadEntries(scan, root, (uint32_t)geometry.rootBytes, 0, &folders);
        BindingFree(root);
    }
    // Each folder's first cluster was claimed once: the list holds at most
    // clusterCount folders.
    for (uint32_t i = 0; sound && i < folders.count; i++) {
        sound = ReadFolder(scan, folders.items[2 * i], folders.items[2 * i + 1], &folders);
    }
    if (folders.items != 0) BindingFree(folders.items);
    return sound;
}

// Reads the first copy whole and compares every other one with it.
int ReadFatCopies(FatScan *scan) {
    const FatGeometry &geometry = scan->geometry;
    const uint64_t first = (uint64_t)geometry.reservedSectors * geometry.bytesPerSector;
    for (uint64_t at = 0; at < geometry.fatBytes; at += kPieceBytes) {
        const uint64_t left = geometry.fatBytes - at;
        if (!Read(scan, first + at, scan->fat + at, left < kPieceBytes ? (uint32_t)left : kPieceBytes)) return 0;
    }
    if (geometry.fatCount < 2) return 1;
    uint8_t *piece = (uint8_t *)BindingAllocate(kPieceBytes);
    if (piece == 0) return Refuse(scan, kFatNoMemory, 0, 0);
    int same = 1;
    for (uint32_t copy = 1; same && copy < geometry.fatCount; copy++) {
        for (uint64_t at = 0; same && at < geometry.fatBytes; at += kPieceBytes) {
            const uint64_t left = geometry.fatBytes - at;
            const uint32_t size = left < kPieceBytes ? (uint32_t)left : kPieceBytes;
            uint32_t differs = 0;
            if (!Read(scan, first + copy * geometry.fatBytes + at, piece, size)) {
                same = 0;
            } else if (!SameBytes(scan->fat + at, piece, size, &differs)) {
                scan->finding->problem = kFatCopiesDiffer;
                scan->finding->copy = copy + 1;
                scan->finding->byte = at + differs;
                same = 0;
            }
        }
    }
    BindingFree(piece);
    return same;
}

// FAT[0] carries the media byte, FAT[1] the volume's clean and error bits
// (FAT16 and FAT32); the boot sector's dirty flag is the Linux driver's.
int CheckReservedEntries(FatScan *scan, const uint8_t *boot) {
    const FatGeometry &geometry = scan->geometry;
    const uint32_t first = Entry(*scan, 0), second = Entry(*scan, 1);
    const uint32_t ones = geometry.fatBits == 12 ? 0xF00 : geometry.fatBits == 16 ? 0xFF00 : 0x0FFFFF00;
    if ((first & 0xFF) != geometry.media || (first & ones) != ones) return Refuse(scan, kFatMediaMismatch, 0, first);
    if (geometry.fatBits != 12) {
        const uint32_t clean = geometry.fatBits == 16 ? 0x8000 : 0x08000000;
        const uint32_t noErrors = clean >> 1;
        if ((second & clean) == 0) return Refuse(scan, kFatDirty, 0, 1);
        if ((second & noErrors) == 0) return Refuse(scan, kFatDirty, 0, 3);
    }
    const uint32_t extended = geometry.fatBits == 32 ? 0x40 : 0x24;
    if (boot[extended + 2] == 0x29 && (boot[extended + 1] & 1) != 0) return Refuse(scan, kFatDirty, 0, 2);
    return 1;
}

// Every entry is free, a cluster, bad or an end of chain; the used ones
// set their bit in `bitmap` (bit k: cluster k + 2).
int CheckEntries(FatScan *scan, uint8_t *bitmap) {
    const uint32_t last = scan->geometry.clusterCount + 1;
    for (uint32_t cluster = 2; cluster <= last; cluster++) {
        const uint32_t value = Entry(*scan, cluster);
        if (value == 0) continue;
        if (value < 2 || (value > last && value < scan->bad)) return Refuse(scan, kFatEntryOutOfRange, cluster, value);
        bitmap[(cluster - 2) / 8] |= (uint8_t)(1u << ((cluster - 2) % 8));
    }
    return 1;
}

}  // namespace

int IsFatBootSector(const uint8_t *sector) {
    if (sector[510] != 0x55 || sector[511] != 0xAA) return 0;
    const uint8_t *oem = sector + 3;
    if ((oem[0] == 'N' && oem[1] == 'T' && oem[2] == 'F' && oem[3] == 'S') ||
        (oem[0] == 'E' && oem[1] == 'X' && oem[2] == 'F' && oem[3] == 'A' && oem[4] == 'T')) {
        return 0;
    }
    return (sector[54] == 'F' && sector[55] == 'A' && sector[56] == 'T') ||
           (sector[82] == 'F' && sector[83] == 'A' && sector[84] == 'T' && sector[85] == '3' && sector[86] == '2');
}

int DecodeFatBootSector(const uint8_t *sector, uint64_t partitionBytes, FatGeometry *geometry) {
    ZeroBytes(geometry, sizeof *geometry);
    if (!(sector[0] == 0xEB || sector[0] == 0xE9) || sector[510] != 0x55 || sector[511] != 0xAA) {
        return kFatBootSignature;
    }
    const uint32_t bytesPerSector = LoadLe16(sector + 0x0B);
    const uint32_t sectorsPerCluster = sector[0x0D];
    const uint32_t reserved = LoadLe16(sector + 0x0E);
    const uint32_t fatCount = sector[0x10];
    const uint32_t rootEntries = LoadLe16(sector + 0x11);
    const uint32_t total16 = LoadLe16(sector + 0x13), total32 = LoadLe32(sector + 0x20);
    const uint8_t media = sector[0x15];
    const uint32_t fat16Size = LoadLe16(sector + 0x16);
    const int fat32Layout = fat16Size == 0;
    const uint64_t fatSectors = fat32Layout ? LoadLe32(sector + 0x24) : fat16Size;
    if (!IsPowerOfTwo(bytesPerSector) || bytesPerSector < 512 || bytesPerSector > 4096) return kFatBootBytesPerSector;
    if (!IsPowerOfTwo(sectorsPerCluster) || sectorsPerCluster > 128) return kFatBootSectorsPerCluster;
    if (reserved == 0) return kFatBootReservedSectors;
    if (fatCount < 1 || fatCount > 2) return kFatBootFatCount;
    if (fat32Layout ? rootEntries != 0 : rootEntries == 0) return kFatBootRootEntries;
    if ((total16 == 0 && total32 == 0) || (total16 != 0 && total32 != 0 && total16 != total32) ||
        (fat32Layout && total16 != 0)) {
        return kFatBootTotalSectors;
    }
    if (media != 0xF0 && media < 0xF8) return kFatBootMedia;
    const uint64_t totalSectors = total16 != 0 ? total16 : total32;
    const uint64_t fatBytes = fatSectors * bytesPerSector;
    if (fatSectors == 0 || fatBytes > kMaxFatBytes) return kFatBootFatSize;
    // All in 64 bits: 16- and 32-bit fields cannot overflow them.
    const uint64_t rootSectors = ((uint64_t)rootEntries * kEntryBytes + bytesPerSector - 1) / bytesPerSector;
    const uint64_t dataSector = reserved + fatCount * fatSectors + rootSectors;
    if (dataSector >= totalSectors) return kFatBootNoClusters;
    const uint64_t clusters = (totalSectors - dataSector) / sectorsPerCluster;
    if (clusters == 0) return kFatBootNoClusters;
    // The type is the cluster count's alone; a layout of another type is
    // read differently by different systems.
    const uint32_t bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    if ((bits == 32) != fat32Layout || clusters > 0x0FFFFFF5) {
        // Kept for the message: what the count makes of it.
        geometry->clusterCount = clusters > 0xFFFFFFFF ? 0xFFFFFFFF : (uint32_t)clusters;
        geometry->fatBits = bits;
        return kFatBootTypeMismatch;
    }
    // Each cluster's entry, and FAT[0] and FAT[1], inside one copy.
    if ((clusters + 2) * bits > fatBytes * 8) return kFatBootFatSize;
    uint32_t rootCluster = 0;
    if (fat32Layout) {
        const uint16_t flags = LoadLe16(sector + 0x28);
        if ((flags & 0x80) != 0 || LoadLe16(sector + 0x2A) != 0) return kFatBootFat32Fields;
        rootCluster = LoadLe32(sector + 0x2C);
        if (rootCluster < 2 || rootCluster > clusters + 1) return kFatBootRootCluster;
    }
    if (totalSectors * bytesPerSector > partitionBytes) return kFatBootPastPartition;
    geometry->bytesPerSector = bytesPerSector;
    geometry->sectorsPerCluster = sectorsPerCluster;
    geometry->bytesPerCluster = bytesPerSector * sectorsPerCluster;
    geometry->reservedSectors = reserved;
    geometry->fatCount = fatCount;
    geometry->rootEntries = rootEntries;
    geometry->fatSectors = fatSectors;
    geometry->totalSectors = totalSectors;
    geometry->clusterCount = (uint32_t)clusters;
    geometry->fatBits = bits;
    geometry->rootCluster = rootCluster;
    geometry->media = media;
    geometry->fatBytes = fatBytes;
    geometry->rootOffset = ((uint64_t)reserved + fatCount * fatSectors) * bytesPerSector;
    geometry->rootBytes = (uint64_t)rootEntries * kEntryBytes;
    geometry->dataOffset = dataSector * bytesPerSector;
    return kFatBootSound;
}

namespace {

// Everything after the drive's IDENTIFY; the bitmap lands in `volume`.
int LoadFat(FatScan *scan, TrimVolume *volume) {
    uint8_t boot[kBootBytes];
    FatFinding *finding = scan->finding;
    if (!Read(scan, 0, boot, sizeof boot)) return 0;
    finding->fault = (uint32_t)DecodeFatBootSector(boot, (uint64_t)scan->length, &scan->geometry);
    if (finding->fault != kFatBootSound) {
        finding->cluster = scan->geometry.clusterCount;
        finding->value = scan->geometry.fatBits;
        return Refuse(scan, kFatBootUnsound, scan->geometry.clusterCount, scan->geometry.fatBits);
    }
    const FatGeometry &geometry = scan->geometry;
    finding->fatBits = geometry.fatBits;
    scan->bad = geometry.fatBits == 12 ? 0xFF7 : geometry.fatBits == 16 ? 0xFFF7 : 0x0FFFFFF7;
    const uint32_t claimedBytes = (geometry.clusterCount + 2 + 7) / 8;
    const uint32_t bitmapBytes = (geometry.clusterCount + 7) / 8;
    scan->fat = (uint8_t *)BindingAllocate((uint32_t)geometry.fatBytes + 4);
    scan->claimed = (uint8_t *)BindingAllocate(claimedBytes);
    scan->cluster = (uint8_t *)BindingAllocate(geometry.bytesPerCluster);
    volume->bitmap = (uint8_t *)BindingAllocate(bitmapBytes);
    if (scan->fat == 0 || scan->claimed == 0 || scan->cluster == 0 || volume->bitmap == 0) {
        return Refuse(scan, kFatNoMemory, 0, 0);
    }
    ZeroBytes(scan->fat + geometry.fatBytes, 4);
    ZeroBytes(scan->claimed, claimedBytes);
    ZeroBytes(volume->bitmap, bitmapBytes);
    // Clusters past the count in the bitmap's last byte are no free space.
    for (uint32_t bit = geometry.clusterCount; bit < bitmapBytes * 8; bit++) {
        volume->bitmap[bit / 8] |= (uint8_t)(1u << (bit % 8));
    }
    if (!ReadFatCopies(scan) || !CheckReservedEntries(scan, boot) || !CheckEntries(scan, volume->bitmap) ||
        !WalkTree(scan)) {
        return 0;
    }
    volume->bitmapSize = bitmapBytes;
    volume->bytesPerSector = geometry.bytesPerSector;
    volume->sectorsPerCluster = geometry.sectorsPerCluster;
    volume->bytesPerCluster = geometry.bytesPerCluster;
    volume->totalSectors = (int64_t)geometry.totalSectors;
    volume->totalClusters = (int64_t)bitmapBytes * 8;
    volume->minRunClusters = geometry.bytesPerCluster >= 4096 ? 1 : 4096 / geometry.bytesPerCluster;
    volume->oemId = LoadLe32(boot + 3);
    volume->fatBits = geometry.fatBits;
    volume->fatClusters = geometry.clusterCount;
    // The trim counts clusters from here: cluster 2.
    volume->partitionOffset = scan->offset + (int64_t)geometry.dataOffset;
    return 1;
}

}  // namespace

int OpenFatTrimVolumeOnDrive(DeviceHandle drive, int64_t offset, int64_t length, TrimVolume **result,
                             FatFinding *finding) {
    *result = 0;
    ZeroBytes(finding, sizeof *finding);
    TrimVolume *volume = (TrimVolume *)BindingAllocate(sizeof(TrimVolume));
    if (volume == 0) {
        if (drive != 0) BindingClose(drive);
        return kOpenNoMemory;
    }
    ZeroBytes(volume, sizeof(TrimVolume));
    volume->driveHandle = drive;
    volume->partitionOffset = offset;
    if (offset < 0 || length <= 0) {
        ReleaseTrimVolume(volume);
        return kOpenExtentsFailed;
    }
    if (drive == 0) {
        ReleaseTrimVolume(volume);
        return kOpenDriveFailed;
    }
    if (BindingIdentifyDrive(drive, &volume->identity)) {
        volume->trimSupported = IdentityAllowsTrim(&volume->identity);
    } else {
        ZeroBytes(&volume->identity, sizeof volume->identity);
    }
    FatScan scan;
    ZeroBytes(&scan, sizeof scan);
    scan.fat = scan.claimed = scan.cluster = 0;
    scan.drive = drive;
    scan.offset = offset;
    scan.length = length;
    scan.finding = finding;
    const int loaded = LoadFat(&scan, volume);
    if (scan.fat != 0) BindingFree(scan.fat);
    if (scan.claimed != 0) BindingFree(scan.claimed);
    if (scan.cluster != 0) BindingFree(scan.cluster);
    if (!loaded) {
        const uint32_t problem = finding->problem;
        ReleaseTrimVolume(volume);
        return problem == kFatReadFailed ? kOpenBootSectorFailed
               : problem == kFatNoMemory ? kOpenNoMemory
               : problem == kFatBootUnsound ? kOpenNotNtfs
                                           : kOpenBitmapFailed;
    }
    *result = volume;
    return kOpenOk;
}
