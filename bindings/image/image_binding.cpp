// The image binding; see image_binding.h.
#include "image_binding.h"

#include <stdlib.h>
#include <string.h>

#include "binding.h"

namespace {

enum { kBlockBytes = 512 };

ImageDrive *DriveOf(DeviceHandle handle) { return (ImageDrive *)handle; }

}  // namespace

DeviceHandle ImageDriveHandle(ImageDrive *drive) { return drive; }

int BindingReadAt(DeviceHandle handle, int64_t position, void *buffer, uint32_t size) {
    ImageDrive *drive = DriveOf(handle);
    if (drive == 0 || position < 0) return 0;
    return drive->store->read(drive->store, position, buffer, size);
}

// An SSD of 512-byte sectors whose commands take two blocks of range
// entries: the limits the engine batches by.
int BindingIdentifyDrive(DeviceHandle handle, DriveIdentity *identity) {
    memset(identity, 0, sizeof *identity);
    if (DriveOf(handle) == 0) return 0;
    identity->trimBit = DriveOf(handle)->noTrim ? 0 : 1;
    identity->rangeBlocks = 2;
    identity->logicalSectorSize = kBlockBytes;
    strcpy(identity->model, "Quillet image drive");
    // A format that drops trims (vmdk, vhdx, vdi) leaves the old bytes.
    identity->readsAfterTrim = kTrimReadsNotDeterministic;
    return 1;
}

int BindingTrimRanges(DeviceHandle handle, const TrimRange *ranges, uint32_t count) {
    ImageDrive *drive = DriveOf(handle);
    if (drive == 0 || count == 0 || count > kMaxTrimRangesPerCommand) return kTrimBatchFailed;
    // What one range entry can hold: a range past it names other blocks.
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t blocks = ranges[i].blockCount;
        if (blocks == 0 || blocks > 0xFFFF || ranges[i].lba > ((uint64_t)1 << 48) - blocks) return kTrimBatchFailed;
    }
    drive->trimCommands++;
    if (drive->failTrimAt != 0 && drive->trimCommands == drive->failTrimAt) return kTrimBatchRefused;
    // A range past the disk's end refuses the whole command before any of
    // it is carried out.
    ImageStore *store = drive->store;
    for (uint32_t i = 0; i < count; i++) {
        if (store->size < 0 || (ranges[i].lba + ranges[i].blockCount) * kBlockBytes > (uint64_t)store->size) {
            return kTrimBatchRefused;
        }
    }
    // In order: the store joins contiguous ranges into its own requests.
    for (uint32_t i = 0; i < count; i++) {
        if (!store->trim(store, (int64_t)(ranges[i].lba * kBlockBytes), (int64_t)ranges[i].blockCount * kBlockBytes)) {
            return kTrimBatchRefused;
        }
    }
    return kTrimBatchAccepted;
}

void *BindingAllocate(uint32_t size) { return malloc(size == 0 ? 1 : size); }

void BindingFree(void *block) { free(block); }

// The drive is its owner's (ImageDrive); nothing to close here.
void BindingClose(DeviceHandle) {}
