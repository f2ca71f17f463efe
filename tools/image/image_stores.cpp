#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "image_stores.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "disk_read.h"

int FinishImageStore(ImageStore *store) { return store->finish(store); }

void ReleaseImageStore(ImageStore *store) {
    if (store != 0) store->release(store);
}

namespace {

struct RawImageStore {
    ImageStore store;  // first, so the store is the record
    int fd;
    int ownsDescriptor;  // closed and synced by the store
};

int RawRead(ImageStore *store, int64_t position, void *buffer, uint32_t size) {
    return ReadFromDescriptor(&((RawImageStore *)store)->fd, position, buffer, size);
}

int RawTrim(ImageStore *store, int64_t position, int64_t size) {
    return fallocate(((RawImageStore *)store)->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)position,
                     (off_t)size) == 0;
}

int RawFinish(ImageStore *store) {
    RawImageStore *raw = (RawImageStore *)store;
    return !raw->ownsDescriptor || fdatasync(raw->fd) == 0;
}

void RawRelease(ImageStore *store) {
    RawImageStore *raw = (RawImageStore *)store;
    if (raw->ownsDescriptor) close(raw->fd);
    free(store);
}

// A punched range frees the file system's whole blocks inside it that
// hold data; its edges are zeroed in place.
int64_t RawReleased(ImageStore *store, int64_t position, int64_t size) {
    const int fd = ((RawImageStore *)store)->fd;
    struct stat info;
    if (fstat(fd, &info) != 0) return -1;
    const int64_t block = info.st_blksize >= 512 ? (int64_t)info.st_blksize : 4096;
    const int64_t end = std::min<int64_t>(position + size, (int64_t)info.st_size) / block * block;
    return AllocatedBetween(fd, (position + block - 1) / block * block, end);
}

ImageStore *OpenRawStore(int fd, int ownsDescriptor) {
    struct stat info;
    RawImageStore *raw = fd >= 0 && fstat(fd, &info) == 0 ? (RawImageStore *)calloc(1, sizeof(RawImageStore)) : 0;
    if (raw == 0) {
        if (fd >= 0 && ownsDescriptor) close(fd);
        return 0;
    }
    raw->store.read = RawRead;
    raw->store.trim = RawTrim;
    raw->store.finish = RawFinish;
    raw->store.release = RawRelease;
    raw->store.released = RawReleased;
    raw->store.size = (int64_t)info.st_size;
    raw->fd = fd;
    raw->ownsDescriptor = ownsDescriptor;
    return &raw->store;
}

}  // namespace

ImageStore *OpenRawImageStore(const char *path, int writable) {
    return OpenRawStore(open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC), 1);
}

ImageStore *OpenRawImageStoreOn(int fd) { return OpenRawStore(fd, 0); }

namespace {

// What SEEK_DATA calls data: for a file system without FIEMAP.
int64_t DataBetween(int fd, int64_t start, int64_t end) {
    int64_t total = 0;
    // Each turn moves past one data extent: bounded by the file's extents.
    for (int64_t at = start; at < end;) {
        off_t data = lseek(fd, (off_t)at, SEEK_DATA);
        if (data < 0) return errno == ENXIO ? total : -1;
        if (data >= end) break;
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0) return -1;
        const int64_t stop = std::min<int64_t>(hole, end);
        total += stop - data;
        at = stop;
    }
    return total;
}

}  // namespace

int64_t AllocatedBetween(int fd, int64_t start, int64_t end) {
    if (end <= start) return 0;
    enum { kExtentsPerAsk = 256 };
    std::vector<uint8_t> buffer(sizeof(struct fiemap) + kExtentsPerAsk * sizeof(struct fiemap_extent));
    struct fiemap *map = (struct fiemap *)buffer.data();
    int64_t total = 0;
    // Each ask moves past at least one extent: bounded by the file's extents.
    for (int64_t at = start; at < end;) {
        memset(buffer.data(), 0, buffer.size());
        map->fm_start = (uint64_t)at;
        map->fm_length = (uint64_t)(end - at);
        map->fm_extent_count = kExtentsPerAsk;
        if (ioctl(fd, FS_IOC_FIEMAP, map) != 0) {
            // No FIEMAP here: SEEK_DATA, which counts preallocated extents as holes.
            return errno == EOPNOTSUPP || errno == ENOTTY ? DataBetween(fd, start, end) : -1;
        }
        if (map->fm_mapped_extents == 0) break;
        int64_t last = at;
        int ended = 0;
        for (uint32_t i = 0; i < map->fm_mapped_extents; i++) {
            const struct fiemap_extent &extent = map->fm_extents[i];
            const int64_t from = std::max<int64_t>((int64_t)extent.fe_logical, at);
            const int64_t to = std::min<int64_t>((int64_t)(extent.fe_logical + extent.fe_length), end);
            if (to > from) total += to - from;
            last = std::max<int64_t>(last, (int64_t)(extent.fe_logical + extent.fe_length));
            ended = ended || (extent.fe_flags & FIEMAP_EXTENT_LAST) != 0;
        }
        if (ended || last <= at) break;
        at = last;
    }
    return total;
}

int FormatReleasesSpace(int format) { return format == kFormatRaw || format == kFormatQcow2; }

int64_t AllocatedBytes(const char *path) {
    struct stat info;
    return stat(path, &info) == 0 ? (int64_t)info.st_blocks * 512 : -1;
}

void JoinTrim(TrimJoiner *joiner, int64_t position, int64_t size, int64_t *flushedStart, int64_t *flushedSize,
              int64_t *sendStart, int64_t *sendSize) {
    *flushedStart = *flushedSize = *sendStart = *sendSize = 0;
    if (position != joiner->end) FlushTrim(joiner, flushedStart, flushedSize);
    if (joiner->start == joiner->end) joiner->start = position;
    joiner->end = position + size;
    int64_t cut = joiner->end / joiner->alignment * joiner->alignment;
    if (cut > joiner->start) {
        *sendStart = joiner->start;
        *sendSize = cut - joiner->start;
        joiner->start = cut;
    }
}

void FlushTrim(TrimJoiner *joiner, int64_t *start, int64_t *size) {
    *start = joiner->start;
    *size = joiner->end - joiner->start;
    joiner->start = joiner->end;
}
