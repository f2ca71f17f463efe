// A disk image as a store of bytes: a read, a trim (the range reads back as
// zeros afterwards) and the size of the disk the image holds. The image
// binding reads and trims through it; tools/image/ has the stores behind
// it (a raw file, qemu-nbd for the formats of QEMU's block layer).
#ifndef QUILLET_BINDINGS_IMAGE_STORE_H
#define QUILLET_BINDINGS_IMAGE_STORE_H

#include <stdint.h>

struct ImageStore {
    // 1 when all `size` bytes at `position` of the disk were read.
    int (*read)(ImageStore *store, int64_t position, void *buffer, uint32_t size);
    // 1 when the range was handed on; a store may hold back the part after
    // its last cut point until the next trim or FinishImageStore.
    int (*trim)(ImageStore *store, int64_t position, int64_t size);
    int (*finish)(ImageStore *store);  // sends what was held back; 1 when every trim went through
    void (*release)(ImageStore *store);
    // Bytes of the image file a trim of [position, position + size) would
    // give back, at the format's own granularity and only where it holds
    // data; -1 when the store cannot tell. Null: never tells.
    int64_t (*released)(ImageStore *store, int64_t position, int64_t size);
    int64_t size;  // of the disk the image holds, not of the file
};

#endif
