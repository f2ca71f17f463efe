// The image stores quillet-image reads and trims through (the record is
// the image binding's, image_store.h): one over a raw file, one over an NBD
// connection to qemu-nbd for the formats of QEMU's block layer.
#ifndef QUILLET_HOST_IMAGE_STORES_H
#define QUILLET_HOST_IMAGE_STORES_H

#include <stdint.h>

#include "image_header.h"
#include "image_store.h"

// 1 when every trim went through; the store stays usable for reads.
int FinishImageStore(ImageStore *store);
void ReleaseImageStore(ImageStore *store);

// A raw image file as a store (holes punched for trims). Null on failure.
ImageStore *OpenRawImageStore(const char *path, int writable);
// The same over a descriptor the caller opened and keeps (releasing the
// store leaves it open); trims are punched straight away, finishing the
// store syncs nothing.
ImageStore *OpenRawImageStoreOn(int fd);

// 1 when a trim through QEMU gives the format's clusters back to the host.
// QEMU 7.2's vmdk, vhdx and vdi drivers have no discard, and their
// write-zeroes writes zeros in place (allocating where nothing was): no
// request releases space there, so they get plain trims, which QEMU drops.
int FormatReleasesSpace(int format);

// Bytes the image file takes on its file system (holes excluded); -1 on
// error. What a trim gives back to the host shows here.
int64_t AllocatedBytes(const char *path);

// Bytes of the file open on `fd` that the file system has allocated in
// [start, end), preallocated (unwritten) extents included, as st_blocks
// counts them (FIEMAP; SEEK_DATA where there is none); -1 on failure.
int64_t AllocatedBetween(int fd, int64_t start, int64_t end);

// Cuts a stream of trimmed ranges into requests that never split an image
// cluster of up to `alignment` bytes (a power of two) between two requests:
// contiguous ranges are joined and only cut at multiples of `alignment`.
struct TrimJoiner {
    int64_t alignment;
    int64_t start, end;  // held back; empty when equal
};
// Adds a range; *sendStart/*sendSize get a request to send now (size 0:
// none). A range that does not continue the held one first flushes it, so
// up to two requests come out: `flushed*` then `send*`.
void JoinTrim(TrimJoiner *joiner, int64_t position, int64_t size, int64_t *flushedStart, int64_t *flushedSize,
              int64_t *sendStart, int64_t *sendSize);
// What is still held back, handed out and forgotten.
void FlushTrim(TrimJoiner *joiner, int64_t *start, int64_t *size);

// qemu-nbd serving the image open on `imageFd` (the descriptor itself,
// never its name) in `format`, started by socket activation behind a
// libnbd connection, behind the Landlock wall `wallRuleset` (-1: none; the
// caller's to close). Read-only unless `writable`. Null with the reason
// (qemu-nbd's own, such as its lock refusal, also goes to stderr) on
// failure.
ImageStore *OpenNbdImageStore(int imageFd, int format, int writable, int wallRuleset, char *reason,
                              uint32_t reasonSize);
// The clusters (a power of two) in which the NBD store's image gives space
// back: its `released` then counts the whole clusters of a range that
// hold data. Unset, it cannot tell.
void SetNbdReleaseUnit(ImageStore *store, int64_t clusterBytes);
// Writes `size` bytes at `position` of the disk an NBD store serves
// writable. 1 when done.
int WriteNbdImageStore(ImageStore *store, int64_t position, const void *buffer, uint32_t size);

// A connection to the NBD server `uri` names (nbd:// or nbd+unix://, no
// TLS, no local files, no other transports): the server owns the image.
// Unless `writable` is 0 (a dry run), a server that serves it read-only or
// offers no trim is refused (*refusedForCapability 1). Null with the reason.
ImageStore *OpenNbdUriStore(const char *uri, int writable, int *refusedForCapability, char *reason,
                            uint32_t reasonSize);

// What an NBD server's "base:allocation" block status calls allocated in
// the whole export; -1 when the server offers none or the answer is unclear.
int64_t NbdAllocatedBytes(ImageStore *store);

#endif
