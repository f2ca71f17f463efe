// IDENTIFY DEVICE and TRIM sent as pass-through request blocks, for the
// bindings that speak ATA: each supplies BindingAtaPassThrough, the one way
// its requests reach the drive.
#include "ata_request.h"
#include "binding.h"
#include "bytes.h"
#include "trim_engine.h"

int AtaReadIdentify(DeviceHandle drive, uint8_t *identify) {
    alignas(16) uint8_t block[kAtaMaxBlockSize];
    const uint32_t headerSize = ATA_NATIVE_HEADER_SIZE;
    EncodeAtaIdentify(block, headerSize);
    if (!BindingAtaPassThrough(drive, block, headerSize + kAtaDataSize)) return 0;
    if (AtaReturnedStatus(block, headerSize) & kAtaStatusErr) return 0;
    for (uint32_t i = 0; i < kAtaDataSize; i++) identify[i] = block[headerSize + i];
    return 1;
}

int AtaIdentifyDrive(DeviceHandle drive, DriveIdentity *identity) {
    ZeroBytes(identity, sizeof *identity);
    uint8_t identify[kAtaDataSize];
    if (!AtaReadIdentify(drive, identify)) return 0;
    DecodeIdentify(identify, identity);
    return 1;
}

int AtaTrimRanges(DeviceHandle drive, const TrimRange *ranges, uint32_t count) {
    if (count == 0 || count > kMaxTrimRangesPerCommand) return kTrimBatchFailed;
    for (uint32_t i = 0; i < count; i++) {
        // The range entry holds 48 bits of LBA and 16 of count: a range
        // reaching past them would go out cut and name other blocks.
        const uint32_t blocks = ranges[i].blockCount;
        if (blocks == 0 || blocks > 0xFFFF || ranges[i].lba > ((uint64_t)1 << 48) - blocks) return kTrimBatchFailed;
    }
    alignas(16) uint8_t block[kAtaMaxTrimBlockSize];
    const uint32_t size = EncodeAtaTrimRanges(block, ATA_NATIVE_HEADER_SIZE, ranges, count);
    if (!BindingAtaPassThrough(drive, block, size)) return kTrimBatchFailed;
    return (AtaReturnedStatus(block, ATA_NATIVE_HEADER_SIZE) & kAtaStatusErr) == 0 ? kTrimBatchAccepted
                                                                                   : kTrimBatchRefused;
}
