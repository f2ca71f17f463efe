// What an image file's own header says about it, read before any QEMU
// code sees the file: its format, and whether it refers to anything but
// itself (a backing file, an external data file, further extents, a
// parent). The header's author may be anyone (a guest writes byte 0 of a
// raw disk), so nothing it names is ever opened here; a reference is a
// refusal that names it. Bytes in, findings out: no file is opened, so the
// reader is unit tested and fuzzed on memory.
#ifndef QUILLET_HOST_IMAGE_HEADER_H
#define QUILLET_HOST_IMAGE_HEADER_H

#include <stdint.h>

#include <string>

#include "disk_read.h"

enum ImageFormat {
    kFormatUnknown = -1,
    kFormatRaw = 0,
    kFormatQcow2,
    kFormatVmdk,
    kFormatVhdx,
    kFormatVdi,
};

// The format the file's first 512 bytes name; raw when none does.
int DetectImageFormat(const uint8_t *header);
int ImageFormatByName(const char *name);  // kFormatUnknown for a name not listed
const char *ImageFormatName(int format);   // as qemu-img names it

// Why an image is refused, so that callers and tests tell them apart.
enum ImageHeaderFinding {
    kHeaderSound = 0,      // refers to nothing but itself
    kHeaderDamaged,        // truncated, or a field points outside the file
    kHeaderRefersOut,      // a backing file, data file, extent or parent
    kHeaderHoldsSnapshots, // internal snapshots hold the space a trim would free
    kHeaderUnsupported,    // a variant QEMU would read in a way not checked here
};

// Checks the header of an image file of `fileBytes` bytes, read through
// `read`, as `format` (raw needs no check). kHeaderSound, or the finding
// with `reason` saying what the header names and what to do instead. Every
// name quoted in `reason` is escaped: the header's bytes never reach a
// terminal as they are.
int CheckImageHeader(DiskReadFunction read, void *context, int64_t fileBytes, int format, std::string *reason);

#endif
