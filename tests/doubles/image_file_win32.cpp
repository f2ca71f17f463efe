// Image files under Windows (and Wine), for test variants of the Windows
// programs. A discarded range is written with zeros: holes are a detail of
// the host file system, zeros are what the tests read back.
#include <windows.h>

#include "image_file.h"

ImageFile ImageFileOpen(const char *path, int writable) {
    HANDLE file = CreateFileA(path, GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    return file == INVALID_HANDLE_VALUE ? kNoImageFile : (ImageFile)file;
}

void ImageFileClose(ImageFile file) { CloseHandle((HANDLE)file); }

static int Seek(ImageFile file, int64_t position) {
    LARGE_INTEGER to;
    to.QuadPart = position;
    return SetFilePointerEx((HANDLE)file, to, NULL, FILE_BEGIN) != 0;
}

int ImageFileRead(ImageFile file, int64_t position, void *buffer, uint32_t size) {
    DWORD read = 0;
    if (!Seek(file, position) || !ReadFile((HANDLE)file, buffer, size, &read, NULL)) return 0;
    return read == size;
}

int64_t ImageFileSize(ImageFile file) {
    LARGE_INTEGER size;
    return GetFileSizeEx((HANDLE)file, &size) ? size.QuadPart : -1;
}

int ImageFileDiscard(ImageFile file, int64_t position, int64_t size) {
    static const char zeros[65536] = {0};
    if (!Seek(file, position)) return 0;
    while (size > 0) {
        DWORD chunk = size < (int64_t)sizeof zeros ? (DWORD)size : (DWORD)sizeof zeros;
        DWORD written = 0;
        if (!WriteFile((HANDLE)file, zeros, chunk, &written, NULL) || written != chunk) return 0;
        size -= chunk;
    }
    return 1;
}
