// The ATA_PASS_THROUGH_EX request block, encoded byte by byte so that both
// layouts (32-bit and 64-bit header) can be built and checked on any host.
// The Windows builds check every offset, size and flag here against the
// platform's own definition at compile time (tests/windows/).
#ifndef QUILLET_ENGINE_ATA_REQUEST_H
#define QUILLET_ENGINE_ATA_REQUEST_H

#include <stdint.h>

#include "trim_engine.h"

enum {
    kIoctlAtaPassThrough = 0x4D02C,
    kAtaDataSize = 512,
    kAtaHeaderSize32 = 40,
    kAtaHeaderSize64 = 48,
    kAtaMaxBlockSize = kAtaHeaderSize64 + kAtaDataSize,
    kAtaMaxTrimBlockSize = kAtaHeaderSize64 + kMaxTrimPayloadBlocks * kAtaDataSize,
    kAtaFlagDrdyRequired = 0x01,
    kAtaFlagDataIn = 0x02,
    kAtaFlagDataOut = 0x04,
    kAtaFlag48BitCommand = 0x08,
    kAtaFlagUseDma = 0x10,
    // DATA SET MANAGEMENT is a 48-bit DMA command. A port driver that takes
    // the protocol from the flags would otherwise issue it as PIO, which
    // drives abort, and leave the high-order registers (Count 15:8 among
    // them) holding whatever the previous command left there.
    kAtaTrimFlags = kAtaFlagDataOut | kAtaFlag48BitCommand | kAtaFlagUseDma,
    kAtaTimeoutSeconds = 5,
    kAtaCommandIdentify = 0xEC,
    kAtaCommandDataSetManagement = 0x06,
    kAtaStatusErr = 0x01,
};

// Offsets of the header fields that are the same in both layouts.
enum {
    kAtaFieldLength = 0,              // 16-bit
    kAtaFieldFlags = 2,               // 16-bit
    kAtaFieldPathId = 4,              // PathId, TargetId, Lun, reserved byte
    kAtaFieldDataTransferLength = 8,  // 32-bit
    kAtaFieldTimeOutValue = 12,       // 32-bit, seconds
    kAtaFieldReservedLong = 16,       // 32-bit
    kAtaTaskFileSize = 8,
};

// The header size of the build: the DataBufferOffset field is pointer-sized.
#define ATA_NATIVE_HEADER_SIZE (sizeof(void *) == 8 ? kAtaHeaderSize64 : kAtaHeaderSize32)

// Field offsets of the header; only the pointer-sized field moves.
struct AtaLayout {
    uint32_t headerSize;
    uint32_t dataBufferOffsetField;
    uint32_t dataBufferOffsetWidth;
    uint32_t previousTaskFile;
    uint32_t currentTaskFile;
};

// headerSize is 40 or 48; anything else yields a zero layout.
constexpr AtaLayout AtaLayoutFor(uint32_t headerSize) {
    return headerSize == kAtaHeaderSize32   ? AtaLayout{kAtaHeaderSize32, 20, 4, 24, 32}
           : headerSize == kAtaHeaderSize64 ? AtaLayout{kAtaHeaderSize64, 24, 8, 32, 40}
                                            : AtaLayout{0, 0, 0, 0, 0};
}

// Fill a block of headerSize + 512 bytes.
void EncodeAtaIdentify(uint8_t *block, uint32_t headerSize);
void EncodeAtaTrim(uint8_t *block, uint32_t headerSize, uint64_t lba, uint16_t blockCount);
// Ranges 1 to kMaxTrimRangesPerCommand: a block of headerSize plus 512
// bytes per 64 ranges, the Count register holding those blocks. The size.
uint32_t EncodeAtaTrimRanges(uint8_t *block, uint32_t headerSize, const TrimRange *ranges, uint32_t count);

// The status register that comes back in CurrentTaskFile byte 6.
uint8_t AtaReturnedStatus(const uint8_t *block, uint32_t headerSize);

// The fields the engine uses from 512 bytes of IDENTIFY DEVICE data.
void DecodeIdentify(const uint8_t *identify, DriveIdentity *identity);

// TRIM the engine may use: word 169 bit 0 and 512-byte logical sectors,
// because the engine's LBAs are 512-byte units.
int IdentityAllowsTrim(const DriveIdentity *identity);

// What a binding that speaks ATA supplies: hands an encoded request block
// (header at the native layout, `size` bytes with its data) to the drive
// and takes the answer back in place. 1 when the request reached the drive,
// whatever the drive answered. The Windows devices take the block as it is
// (IOCTL_ATA_PASS_THROUGH); Linux turns it into SCSI ATA pass-through.
int BindingAtaPassThrough(DeviceHandle drive, uint8_t *block, uint32_t size);

// Sends IDENTIFY DEVICE; on 1 `identify` holds the drive's 512 bytes.
int AtaReadIdentify(DeviceHandle drive, uint8_t *identify);

// Through BindingAtaPassThrough: IDENTIFY decoded, and one TRIM command
// (a TrimBatchResult).
int AtaIdentifyDrive(DeviceHandle drive, DriveIdentity *identity);
int AtaTrimRanges(DeviceHandle drive, const TrimRange *ranges, uint32_t count);

#endif
