// Small NTFS volumes made byte by byte: a boot sector, MFT records 0 to 6
// with $FILE_NAME and update sequence arrays, record 0's $DATA covering the
// MFT, a $Bitmap record whose $DATA points at the bitmap, and the bitmap
// the test chooses with the metadata's clusters marked in use. Plain
// functions over byte buffers, so a test can build a sound volume and then
// break one field of it.
#ifndef QUILLET_TESTS_CRAFTED_VOLUME_H
#define QUILLET_TESTS_CRAFTED_VOLUME_H

#include <stdint.h>

#include <string>
#include <vector>

struct CraftedGeometry {
    uint32_t bytesPerSector;     // written as 16 bits
    uint32_t sectorsPerCluster;  // written as 8 bits, above 128 as 256 - log2
    int64_t totalSectors;
    uint64_t mftCluster;
    uint64_t mftMirrorCluster;
    uint32_t recordSize;         // bytes per MFT record
    uint64_t bitmapCluster;      // first cluster of the $Bitmap data
};

// A volume as the tests write it: `head` from the volume's first byte
// (boot sector and MFT), `bitmap` at bitmapCluster; all else reads zeros.
struct CraftedVolume {
    CraftedGeometry geometry;
    std::vector<uint8_t> head;
    std::vector<uint8_t> bitmap;
};

enum {
    kCraftedRecords = 7,  // $MFT to $Bitmap
    kCraftedAttributeStandardInformation = 0x10,
    kCraftedAttributeList = 0x20,
    kCraftedAttributeFileName = 0x30,
    kCraftedAttributeData = 0x80,
};

// Geometry for `totalClusters` clusters: the MFT right after the boot
// sector, then $MFTMirr (four records), then the bitmap.
CraftedGeometry StandardGeometry(uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t totalClusters,
                                 uint32_t recordSize = 1024);

uint32_t BytesPerCluster(const CraftedGeometry &geometry);

// Writes the NTFS boot sector (512 bytes).
void WriteBootSector(uint8_t *sector, const CraftedGeometry &geometry);

// Writes one unsealed, in-use base record: $STANDARD_INFORMATION, $FILE_NAME
// with `name` (ASCII, stored as UTF-16) in the root folder and, when
// `runClusters` is not 0, an unnamed non-resident $DATA of `realSize` bytes
// in one run at `firstCluster`; then the end marker.
void WriteFileRecord(uint8_t *record, uint32_t recordSize, uint32_t number, const char *name,
                     uint64_t firstCluster, uint64_t runClusters, uint32_t bytesPerCluster, uint64_t realSize);

// Inserts a resident attribute of `type` and `length` bytes (zero value) in
// type order into an unsealed record, moving the later attributes back.
void InsertAttribute(uint8_t *record, uint32_t type, uint32_t length);

// Applies the update sequence: the last two bytes of every 512-byte stride
// move into the array and the sequence number takes their place.
void SealRecord(uint8_t *record, uint32_t recordSize);

// First attribute of `type` in an unsealed or sealed record, or null.
uint8_t *FindAttribute(uint8_t *record, uint32_t type);

// The whole volume: boot sector, records 0 to 6 sealed, and `bitmap`
// (normally totalClusters / 8 bytes) as the $Bitmap contents in one run,
// with cluster 0, the MFT, $MFTMirr and the bitmap's run marked in use.
void BuildVolume(CraftedVolume *volume, const CraftedGeometry &geometry, const std::vector<uint8_t> &bitmap);

uint8_t *RecordOf(CraftedVolume *volume, uint32_t index);

// Sets bits [first, first + count) of a bitmap to `used`.
void MarkClusters(std::vector<uint8_t> *bitmap, uint64_t first, uint64_t count, int used);

// The disk as bytes: `partitionOffset` zeros, then the volume up to the end
// of its bitmap (not its whole size). For fuzz seeds and small images.
std::vector<uint8_t> DiskBytes(const CraftedVolume &volume, int64_t partitionOffset);

// Writes the disk to `path` as a sparse file of partitionOffset + the
// volume's size (or `diskSize` when it is not negative). 1 on success.
int WriteDiskImage(const CraftedVolume &volume, int64_t partitionOffset, const char *path,
                   int64_t diskSize = -1);

// A fresh empty temporary file; its path.
std::string MakeTemporaryFile(const char *stem);

#endif
