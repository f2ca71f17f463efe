// A compact copy of an image in any format QEMU writes: every byte of the
// disk but the free ranges the engine found, which the copy never writes
// and so reads as zeros (holes of a raw file, unallocated clusters or
// blocks of the others). The source is only read.
//
// The copy is written under a temporary name in a private folder beside
// the target and renamed onto it only once it is whole, checked and on
// the disk: a run killed at any point leaves no half copy under the
// target's name. The temporary file already has the target's own name in
// its folder, because a vmdk names its file inside its descriptor.
#ifndef QUILLET_HOST_IMAGE_COPY_H
#define QUILLET_HOST_IMAGE_COPY_H

#include <stdint.h>

#include <string>
#include <vector>

#include "image_store.h"

struct ByteRange {
    int64_t start, end;
};

// Adds [start, end) to `ranges` (ascending), joined with the last when it
// continues it.
void AddByteRange(std::vector<ByteRange> *ranges, int64_t start, int64_t end);

struct CopyTarget {
    std::string path;          // as given
    std::string temporary;     // the private folder beside it
    std::string temporaryFile; // the copy, in that folder, under the target's name
    int format;
    int fd;                    // the temporary file, open for reading and writing; -1 none
};

// Checks the target `path` against the source open as `sourceFd` and makes
// the temporary file. kExitOk, or the status with the reason in *why: the
// target exists (and `overwrite` is not given), is the source or no
// regular file, or its folder takes no new file.
int PrepareCopyTarget(int sourceFd, const char *path, int format, int overwrite, CopyTarget *target,
                      std::string *why);

// Formats the temporary file as an empty image of `diskBytes` (qemu-img
// create behind the wall `wallRuleset`, -1: none). 1, or 0 with the reason.
int FormatCopyTarget(const CopyTarget &target, int64_t diskBytes, int wallRuleset, std::string *why);

// What the copy will need on the target's file system at most: the bytes
// outside `freeRanges` that the source holds (`sourceAllocated`, its
// allocation), and room for the format's tables. 1 when the file system
// has it; 0 with the reason (how much is needed, how much there is).
int CopyHasRoom(const CopyTarget &target, int64_t diskBytes, const std::vector<ByteRange> &freeRanges,
                int64_t sourceAllocated, std::string *why);

// qemu-nbd serving the formatted target writable, behind `wallRuleset`:
// started before the run walls itself in, since its socket needs a
// folder. Null for a raw copy (written straight into the file) and on
// failure, with the reason.
ImageStore *ServeCopyTarget(const CopyTarget &target, int64_t diskBytes, int wallRuleset, std::string *why);

// Copies every part of `source` outside `freeRanges` that does not read as
// zeros into the target (through `served`, from ServeCopyTarget, which it
// releases; null for raw), then flushes it; for QEMU's formats qemu-img
// check behind `wallRuleset` must pass on the result. *written gets the
// bytes written. 1, or 0 with the reason.
// Test hook: `killAfterWrites` > 0 kills the process (SIGKILL) right after
// that many writes.
int WriteCompactCopy(ImageStore *source, const std::vector<ByteRange> &freeRanges, const CopyTarget &target,
                     ImageStore *served, int wallRuleset, uint64_t killAfterWrites, int64_t *written, std::string *why);

// Gives the copy its name (`keep`), or removes it; either way the private
// folder goes. 1, or 0 with the reason.
int SettleCopyTarget(CopyTarget *target, int keep, int overwrite, std::string *why);

#endif
