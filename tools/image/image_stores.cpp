#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "image_stores.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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
