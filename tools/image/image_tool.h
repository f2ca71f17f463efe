// The pure parts of quillet-image: its arguments and usage.
#ifndef QUILLET_HOST_IMAGE_TOOL_H
#define QUILLET_HOST_IMAGE_TOOL_H

#include <stdint.h>

#include "tool_arguments.h"

enum { kMostDomains = 64 };

struct ImageToolOptions {
    ToolCommonOptions common;  // common.operands are the images
    int jobs;  // images trimmed at once, from 1
    int64_t offset;
    int64_t length;  // of the partition; 0 up to the end of the image
    int offsetGiven;  // --offset was written, even as 0: that volume alone
    int partition;    // as Linux numbers it, or 0 when not given
    const char *format;  // --format, checked; null: from the image's header
    const char *formatSource;  // what named the format in messages: null for -f, else "the domain's XML"
    // --domain, given once or more: the disks of these libvirt domains are
    // the images. `domain` is the first; null: none.
    const char *domain;
    const char *domains[kMostDomains];
    int domainCount;
    int allDomains;       // --all-domains: every domain of the connection; those not shut off are skipped
    const char *connect;  // --connect: libvirt's URI; null: libvirt's default
    const char *copyTo;      // --copy-to: a compact copy goes there, the image is only read; null: none
    const char *copyFormat;  // --copy-format, checked; null: the image's own
    int overwrite;           // --overwrite: the copy may replace an existing file
    // Test hooks for the image drive; left out of the usage.
    int noTrim;       // the drive reports no TRIM support
    uint32_t failAt;  // the N-th TRIM command fails
    // Test hooks for the image's checks; left out of the usage.
    int noHeaderCheck;    // the header is not read: the wall alone keeps QEMU in
    const char *waitFor;  // read this FIFO to its end between the checks and the serving
    uint64_t killAfterPunches;  // SIGKILL right after this many holes punched in place, or writes of a copy (0: never)
};

// Parses argv; on failure writes a one-line reason into `error`. An option
// given twice is an error; --help and --version end the parse.
int ParseImageToolArguments(int argc, char **argv, ImageToolOptions *options, char *error,
                            uint32_t errorSize);

extern const char kImageToolUsage[];

// 1 when an operand names an NBD export rather than a file: a scheme of
// libnbd's ("nbd", "nbds", "nbd+unix" ...) before "://". A file of such a
// name is reached as ./nbd:...
int IsNbdUri(const char *operand);

#endif
