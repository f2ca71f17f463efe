// Disk-image files as the emulated drive uses them. One implementation per
// host platform: POSIX for the host tools and tests, Win32 for test
// variants of the Windows programs that run under Wine.
#ifndef QUILLET_HOST_IMAGE_FILE_H
#define QUILLET_HOST_IMAGE_FILE_H

#include <stdint.h>

typedef intptr_t ImageFile;
const ImageFile kNoImageFile = -1;

ImageFile ImageFileOpen(const char *path, int writable);
void ImageFileClose(ImageFile file);
// Reads exactly `size` bytes at `position`; 0 on a short read or an error.
int ImageFileRead(ImageFile file, int64_t position, void *buffer, uint32_t size);
int64_t ImageFileSize(ImageFile file);  // -1 on error
// Makes the range read zeros, giving its storage back where the file
// system can (a hole); 1 on success.
int ImageFileDiscard(ImageFile file, int64_t position, int64_t size);

#endif
