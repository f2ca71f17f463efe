#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "image_store.h"

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
};

int RawRead(ImageStore *store, int64_t position, void *buffer, uint32_t size) {
    return ReadFromDescriptor(&((RawImageStore *)store)->fd, position, buffer, size);
}

int RawTrim(ImageStore *store, int64_t position, int64_t size) {
    return fallocate(((RawImageStore *)store)->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)position,
                     (off_t)size) == 0;
}

int RawFinish(ImageStore *store) { return fdatasync(((RawImageStore *)store)->fd) == 0; }

void RawRelease(ImageStore *store) {
    close(((RawImageStore *)store)->fd);
    free(store);
}

struct FormatName {
    int format;
    const char *name;
    int releasesSpace;
};
const FormatName kFormatNames[] = {
    {kFormatRaw, "raw", 1},   {kFormatQcow2, "qcow2", 1}, {kFormatVmdk, "vmdk", 0},
    {kFormatVhdx, "vhdx", 0}, {kFormatVdi, "vdi", 0},
};

}  // namespace

ImageStore *OpenRawImageStore(const char *path, int writable) {
    int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        if (fd >= 0) close(fd);
        return 0;
    }
    RawImageStore *raw = (RawImageStore *)calloc(1, sizeof(RawImageStore));
    if (raw == 0) {
        close(fd);
        return 0;
    }
    raw->store.read = RawRead;
    raw->store.trim = RawTrim;
    raw->store.finish = RawFinish;
    raw->store.release = RawRelease;
    raw->store.size = (int64_t)info.st_size;
    raw->fd = fd;
    return &raw->store;
}

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

int FormatReleasesSpace(int format) {
    for (const FormatName &known : kFormatNames) {
        if (known.format == format) return known.releasesSpace;
    }
    return 0;
}

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
