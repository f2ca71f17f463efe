// Real NTFS volumes for the image tests, made at test time with mkntfs and
// filled through the ntfs-3g tools, or aged through ntfs-3g's FUSE mount.
// Everything the tests compare against comes from those tools, never from
// our own code: the bitmap that ntfscat prints, the geometry that ntfsinfo
// prints and the files' contents.
#ifndef QUILLET_TESTS_IMAGES_NTFS_VOLUMES_H
#define QUILLET_TESTS_IMAGES_NTFS_VOLUMES_H

#include <stdint.h>

#include <string>
#include <vector>

struct ToolRun {
    int status;  // exit status; -1 when the program could not be run
    std::string out;
    std::string err;
};

// Runs argv[0] (searched on PATH) with stdin from /dev/null and both output
// streams captured.
ToolRun RunTool(const std::vector<std::string> &argv);

// A fresh directory "<base>/<prefix>XXXXXX" (base from QUILLET_TEST_SCRATCH,
// else /tmp); empty on failure.
std::string MakeScratchDirectory(const char *prefix);
void RemoveScratchDirectory(const std::string &path);

struct NtfsFile {
    std::string name;  // path from the root folder
    std::string content;  // what ntfscat must print; empty once truncated
};

// One volume as mkntfs made it, in a file of its own.
struct NtfsVolume {
    std::string path;
    uint32_t clusterSize;
    uint64_t volumeBytes;  // size of the file the volume was made in
    // From ntfsinfo and ntfscat.
    uint32_t sectorSize;
    int64_t clusters;  // "Volume Size in Clusters"
    uint32_t mftRecordSize;
    int64_t mftCluster;
    std::vector<uint8_t> bitmap;  // the $Bitmap contents
    std::vector<NtfsFile> files;
};

// Makes a volume of `volumeBytes` with `sectorSize` sectors and
// `clusterSize` clusters at `path`, writes files of varied sizes (seeded by `seed`) and
// truncates every other one to nothing, so free space is fragmented.
// On failure returns 0 with the reason in *error.
int MakeNtfsVolume(const std::string &path, uint32_t sectorSize, uint32_t clusterSize, uint64_t volumeBytes,
                   uint32_t seed, NtfsVolume *volume, std::string *error);

// Grows the volume made by MakeNtfsVolume to `volumeBytes` with ntfsresize
// and reads the oracle again. 1 on success.
int GrowNtfsVolume(uint64_t volumeBytes, NtfsVolume *volume, std::string *error);

// 1 when NTFS can be mounted through FUSE here (/dev/fuse exists).
int FuseAvailable();

// An NTFS image mounted with ntfs-3g, kept in the foreground so that
// unmounting can wait until it has written everything back.
struct NtfsMount {
    std::string directory;
    int pid;
};
int MountNtfs(const std::string &image, const std::string &options, NtfsMount *mount, std::string *error);
int UnmountNtfs(NtfsMount *mount, std::string *error);

// A sound volume of many traits, as a user's volume gets them through
// ntfs-3g's FUSE mount. Files up to 4 MiB are kept in volume->files (both
// names of a hard link); larger ones, named streams and the filler are
// not.
struct NtfsRecipe {
    uint32_t sectorSize;  // mkntfs -s: MFT records are 1 KiB or one sector, the larger
    uint32_t clusterSize;
    uint64_t volumeBytes;
    std::vector<std::string> mkntfsOptions;  // more options, such as {"-z", "3"}
    uint32_t rootFiles;   // files in the root folder...
    uint32_t nameLength;  // ...whose names have this many characters (at most 255)
    uint32_t rootNotes;   // named streams on the root folder
    int streams;          // files with named streams, resident and not
    int hardLinks;        // files with a second name in another folder
    int compressed;       // a folder whose files ntfs-3g compresses (clusters up to 4 KiB)
    int sparse;           // files with holes
    uint64_t largeBytes;  // one large file, 0 for none
    uint64_t pagefileBytes;  // pagefile.sys in the root folder, 0 for none
    const char *hiberfil;    // 0 none; else hiberfil.sys of 64 KiB of zeros starting with these bytes
    int fragmentMft;      // one-cluster files, every other one deleted, then more records: $MFT in pieces
    uint32_t extraRecords;  // with fragmentMft: records made past those the deletes freed; 0: a few hundred pieces' worth
    int nearlyFull;       // a filler leaves about 1 % free
    int bare;             // no Documents folder of letters: the root folder holds what the recipe names alone
    const char *rootNameFormat;  // printf format of the root files' names, given their number; null: "Entry N ..."
    uint32_t rootFileBytes;      // every root file this size; 0: sizes vary
    uint32_t photoEvery;         // an 8 KiB photo after every N-th root file, 0 for none
    int agingRounds;      // rounds of use through the mount (nested folders, names, a large file, half deleted)
};
int MakeRecipeNtfsVolume(const std::string &path, const NtfsRecipe &recipe, uint32_t seed, NtfsVolume *volume,
                         std::string *error);

// A volume as years of use leave it: notes on the root folder, then six
// rounds of nested folders, thousands of long-named files in the root
// folder and a large file, half of each round's files deleted again, and
// for the later rounds a filler that leaves $MFT little room, so that
// $MFT, the root folder's index and the free space fragment.
NtfsRecipe AgedNtfsRecipe(uint32_t sectorSize, uint32_t clusterSize, uint64_t volumeBytes);

// Shapes ntfs-3g leaves once a record fills, on a small volume. Each ends
// with a hiberfil.sys of 64 KiB of zeros (Windows not hibernated) made last
// in the root folder.
enum NtfsShape {
    // Notes on the root folder fill its record, then long-named files fill
    // its index: its $INDEX_ROOT, part of its $INDEX_ALLOCATION and its
    // $BITMAP move to extension records named by its attribute list.
    kRootIndexInExtensions,
    // The volume filled with one-cluster files, every other one deleted,
    // then small files: $MFT grows in one-cluster pieces until record 0
    // needs an attribute list, and only a $DATA segment in an extension
    // record maps hiberfil.sys's record.
    kHiberfilPastMftFirstSegment,
    // 52 long names in the root folder of 16 MiB: hiberfil.sys's name in
    // its index block crosses the end of a 512-byte stride, whose last two
    // bytes the update sequence keeps.
    kHiberfilNameAcrossStride,
};
NtfsRecipe ShapedNtfsRecipe(NtfsShape shape);

// What the volume lacks of `shape`, as ntfsinfo shows its records; empty
// when it is all there.
std::string ShapeMissing(const NtfsVolume &volume, NtfsShape shape);

// Reads MFT records 0 to 5 of the volume in `path` as raw bytes and tells
// what they lack of an aged volume's layout: a record with an attribute
// list, and one whose attributes show no $FILE_NAME in its first 512 bytes.
// Empty when both are there.
std::string AgedLayoutMissing(const std::string &path, const NtfsVolume &volume);

// Reads the geometry and the bitmap of the volume in `path` with the ntfs-3g
// tools. 1 on success.
int ReadNtfsOracle(const std::string &path, NtfsVolume *volume, std::string *error);

// Copies `size` bytes from `from` at `fromOffset` into `to` at `toOffset`,
// writing only blocks that hold data, so holes stay holes. `to` is created
// when missing and grows to at least `toOffset + size`. 1 on success.
int CopySparse(const std::string &from, int64_t fromOffset, const std::string &to, int64_t toOffset,
               int64_t size);

int ReadBytes(const std::string &path, int64_t offset, int64_t size, std::vector<uint8_t> *bytes);
int WriteBytes(const std::string &path, int64_t offset, const void *bytes, size_t size);
int64_t FileSize(const std::string &path);  // -1 when missing

// Sets entry `number` (1 to 4) of the MBR in `sector` and its boot signature.
void PutMbrEntry(uint8_t *sector, int number, uint8_t type, uint32_t firstSector, uint32_t sectorCount);

struct TrimCommand {
    uint64_t lba;
    uint32_t blocks;
};
inline bool operator==(const TrimCommand &a, const TrimCommand &b) {
    return a.lba == b.lba && a.blocks == b.blocks;
}

// The TRIM commands a volume's free space calls for, worked out the plain
// way from its bitmap: the first `scannedBytes` bytes are walked bit by bit;
// every run of free clusters that spans at least 4096 bytes is cut inwards
// to 4096-byte boundaries of the disk (the volume starting at
// `partitionOffset`) and sent in pieces of at most 4096 blocks of 512 bytes.
std::vector<TrimCommand> ReferenceTrimCommands(const std::vector<uint8_t> &bitmap, uint64_t scannedBytes,
                                               uint32_t clusterSize, int64_t partitionOffset);

// Whether the bitmap (as ntfscat prints it) marks `cluster` used; clusters
// it does not describe count as used.
int ClusterIsUsed(const std::vector<uint8_t> &bitmap, uint64_t cluster);

// Byte ranges [start, end) of the holes in a file, ascending; {{-1, -1}}
// when it cannot be opened.
std::vector<std::pair<int64_t, int64_t>> FileHoles(const std::string &path);

// The blocks a list of ranges covers, as ascending spans with touching
// ranges joined: what was trimmed, whatever the commands' shape. A span
// may hold more blocks than one range entry.
std::vector<TrimCommand> TrimmedSpans(std::vector<TrimCommand> ranges);

// The bytes the commands cover, at 512 bytes a block.
uint64_t BytesOf(const std::vector<TrimCommand> &commands);

// The spans a command list ("LBA BLOCKS" lines, as --commands writes it)
// names, as TrimmedSpans gives them.
std::vector<TrimCommand> ListedSpans(const std::string &path);

// A file's contents as text; "<unreadable>" when it cannot be read, so that
// a missing file never passes for an empty one.
std::string ReadText(const std::string &path);

// "LBA COUNT" lines, as quillet-image writes its command list.
std::string FormatCommandList(const std::vector<TrimCommand> &commands);

// Checks a volume region after a trim against the copy made before it:
// bytes inside a command's range read zero, every other byte is unchanged,
// and every command covers clusters the bitmap holds free. The region is
// `before.size()` bytes at `partitionOffset` on the disk. Returns the first
// difference found, or an empty string.
std::string CompareAfterTrim(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after,
                             const std::vector<TrimCommand> &commands, int64_t partitionOffset,
                             const NtfsVolume &volume);

// Reads every file of `volume` back from the volume image at `path` with
// ntfscat, or through a read-only ntfs-3g mount when `mounted` (thousands of
// files); returns the names of those that differ, comma-separated.
std::string FilesThatDiffer(const std::string &path, const NtfsVolume &volume, int mounted = 0);


// States Windows leaves on a volume, written raw into a volume image (the
// volume at offset 0 of `path`, as `volume` describes it). 1 on success.

// Writes both restart pages of $LogFile (where ntfsinfo places it): log
// version major.minor, with the NTFS client in use (an unclean close) or
// none (clean). Both alike, or with `secondClientInUse` 0 or 1 the second
// page of that state and a current LSN newer (`secondNewer`) or older than
// the first's.
int WriteLogRestartPages(const std::string &path, const NtfsVolume &volume, int majorVersion, int minorVersion,
                         int clientInUse, std::string *error, int secondClientInUse = -1, int secondNewer = 1);
// Sets the $VOLUME_INFORMATION flags (0x0001: dirty) in $MFT and $MFTMirr.
int SetVolumeFlags(const std::string &path, const NtfsVolume &volume, uint16_t flags, std::string *error);
// The first run of a file's data as ntfsinfo prints it; `file` is an MFT
// record number ("2") or a path in the volume. 1 on success.
int FirstNtfsRun(const std::string &path, const std::string &file, int64_t *lcn, int64_t *length);
// The MFT record number ntfsls gives a name in the root folder; -1 if none.
int64_t NtfsInode(const std::string &path, const std::string &name);
// Writes a file of `content` into the root folder with ntfscp.
int PutNtfsFile(const std::string &path, const std::string &name, const std::string &content, std::string *error);

#endif
