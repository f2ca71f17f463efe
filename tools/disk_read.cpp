#include "disk_read.h"

#include <errno.h>
#include <unistd.h>

int ReadFromDescriptor(void *context, int64_t position, void *buffer, uint32_t size) {
    int fd = *(int *)context;
    uint8_t *bytes = (uint8_t *)buffer;
    uint32_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, bytes + done, size - done, (off_t)(position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return 0;
        done += (uint32_t)got;
    }
    return 1;
}
