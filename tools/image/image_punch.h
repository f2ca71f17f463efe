// Giving a vdi, vmdk or vhdx image's free space back in place. These
// formats keep each guest block at a fixed place in the host file, and
// QEMU frees nothing for their trims. So the free ranges the engine trims
// are turned into holes punched in the image file itself, at the host
// offsets where their data lies, in whole blocks of the host file system.
// The format's metadata is never written: its identity (UUIDs, CID, GUIDs),
// owner, mode and extended attributes stay as they are, no temporary space
// is needed, and a run killed at any instant leaves a valid image whose
// used blocks are unchanged.
//
// Before anything is punched, the block map is taken from QEMU
// (`qemu-img map`; for vhdx, whose map QEMU does not tell, from the BAT,
// checked against QEMU's allocation), `qemu-img check` must pass, every
// allocated guest extent must lie apart from every other in the file and
// from the format's metadata, and compressed extents are never punched.
#ifndef QUILLET_HOST_IMAGE_PUNCH_H
#define QUILLET_HOST_IMAGE_PUNCH_H

#include <stdint.h>

#include <string>
#include <vector>

#include "image_stores.h"

// Guest bytes [guest, guest + length) lie at [host, host + length) of the file.
struct HostExtent {
    int64_t guest, host, length;
};

struct PunchPlan {
    std::vector<HostExtent> extents;  // ascending by guest offset, apart in the file
    int64_t blockBytes;               // of the host file system: holes come in these
    int64_t misalignedBy;             // the first extent's (host - guest) off blockBytes; 0 when none is
    int64_t compressedBytes;          // guest bytes allocated without a place of their own (never punched)
};

// The image open on descriptor 4 of qemu-img or qemu-nbd as QEMU is
// told of it: the driver named, the file through /proc/self/fd, no
// backing file whatever the header says.
std::string QemuImageJson(int format);
// qemu-img with `arguments`, `imageFd` as its descriptor 4 (arguments may
// name it /proc/self/fd/4 or use QemuImageJson), behind the wall
// `wallRuleset` (-1: none); both its streams in *out. Its exit status, or
// -1 when it could not be run.
int RunQemuImgOn(int imageFd, int wallRuleset, const std::vector<std::string> &arguments, std::string *out);

// 1 when the format's free space is given back by punching holes here.
int FormatPunchesInPlace(int format);

// Checks the image open on `imageFd` (`fileBytes` long) with qemu-img, run
// behind the wall `wallRuleset` (-1: none; the caller's to close) on the
// descriptor itself, reads its block map and metadata, and compares the
// map with what `reader` (QEMU serving the image) reads. 1 with `plan`
// filled when its free ranges may be punched; 0 with the reason.
int PlanInPlacePunch(int imageFd, int format, int wallRuleset, int64_t fileBytes, ImageStore *reader,
                     PunchPlan *plan, std::string *reason);

// What a trim of [start, start + size) of the disk frees of the file open
// on `fd` (`fileBytes` long) that `plan` maps: the range cut inward to
// whole `unit`s of the disk (a qcow2 cluster; 1 for none), each of its
// extent pieces inward to whole host blocks, and of those what holds data.
// 0 when the file's holes cannot be read.
int ReleasedFromPlan(int fd, const PunchPlan &plan, int64_t unit, int64_t fileBytes, int64_t start, int64_t size,
                     int64_t *released);
// The holes of that file under the host blocks that [start, end) of the
// disk touches where `plan` maps it: what writing zeros there allocates.
// -1 when they cannot be read.
int64_t HolesUnder(int fd, const PunchPlan &plan, int64_t fileBytes, int64_t start, int64_t end);
// The image's allocated extents and where they lie in the file, from
// `qemu-img map` behind the wall. 1, or 0 with the reason.
int ReadImageMap(int imageFd, int format, int wallRuleset, int64_t diskBytes, PunchPlan *plan, std::string *reason);

// What the summary says about what the format gave back, and why it may be
// less than a raw disk's.
std::string DescribePunchedSpace(int format, const PunchPlan &plan);
// The same for a qcow2 image of clusters of `clusterBytes`.
std::string DescribeQcow2Space(int64_t clusterBytes);

// A store that reads through `reader` (which it releases) and turns each
// trim into holes punched on `imageFd` (not closed) where `plan` places the
// range. Test hook: `killAfterPunches` > 0 kills the process (SIGKILL)
// right after that many holes.
ImageStore *OpenPunchImageStore(ImageStore *reader, int imageFd, const PunchPlan &plan, uint64_t killAfterPunches);

#endif
