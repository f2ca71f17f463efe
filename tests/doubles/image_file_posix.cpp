#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ImageFile ImageFileOpen(const char *path, int writable) {
    int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    return fd < 0 ? kNoImageFile : (ImageFile)fd;
}

void ImageFileClose(ImageFile file) { close((int)file); }

int ImageFileRead(ImageFile file, int64_t position, void *buffer, uint32_t size) {
    uint8_t *bytes = (uint8_t *)buffer;
    uint32_t done = 0;
    while (done < size) {
        ssize_t got = pread((int)file, bytes + done, size - done, (off_t)(position + done));
        if (got <= 0) return 0;  // end of the image or an I/O error
        done += (uint32_t)got;
    }
    return 1;
}

int64_t ImageFileSize(ImageFile file) {
    struct stat info;
    return fstat((int)file, &info) == 0 ? (int64_t)info.st_size : -1;
}

int ImageFileDiscard(ImageFile file, int64_t position, int64_t size) {
    return fallocate((int)file, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)position, (off_t)size) == 0;
}
