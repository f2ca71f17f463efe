// Opens the volume named on the command line through the Win32 binding and
// prints the OpenStatus; the exit status is that status.
#include <stdio.h>

#include "trim_engine.h"

int main(int argc, char **argv) {
    if (argc != 2 || argv[1][0] == 0) {
        fprintf(stderr, "usage: win32_open_probe LETTER\n");
        return 64;
    }
    TrimVolume *volume = 0;
    int status = OpenTrimVolume(argv[1][0], &volume, 0);
    printf("open %c: status %d\n", argv[1][0], status);
    if (status == kOpenOk) {
        printf("trim support %d, bitmap %u bytes\n", volume->trimSupported, volume->bitmapSize);
        ReleaseTrimVolume(volume);
    }
    return status;
}
