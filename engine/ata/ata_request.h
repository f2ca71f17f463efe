// ATA commands as registers, and the ATA_PASS_THROUGH_EX request block
// the Windows bindings pack them into, encoded byte by byte so that both
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

// One ATA command as the engine hands it to a binding: the task file
// registers, whether it is a 48-bit command (`previous` then holds the
// high-order bytes: Features 15:8, Count 15:8, LBA 31:24, 39:32, 47:40)
// and a DMA one, and the data's direction and buffer. The binding sends it
// the way its platform takes ATA commands and puts the registers the drive
// returned back into `current` and `previous`: the status in the command
// register's place, the error in the features register's.
enum {
    kAtaRegisterFeatures = 0,  // Error on return
    kAtaRegisterCount = 1,
    kAtaRegisterLbaLow = 2,
    kAtaRegisterLbaMid = 3,
    kAtaRegisterLbaHigh = 4,
    kAtaRegisterDevice = 5,
    kAtaRegisterCommand = 6,   // Status on return
};
enum AtaDataDirection { kAtaNoData = 0, kAtaDataIn = 1, kAtaDataOut = 2 };

struct AtaCommand {
    uint8_t current[kAtaTaskFileSize];   // byte 7 is no register: 0
    uint8_t previous[kAtaTaskFileSize];  // bytes 5 to 7 are none either
    int32_t extended;                    // a 48-bit command
    int32_t dma;
    uint32_t direction;                  // an AtaDataDirection
    uint8_t *data;                       // dataLength bytes, whole 512-byte blocks
    uint32_t dataLength;
    uint32_t timeoutSeconds;
};

// What a binding that speaks ATA supplies: sends `command` to the drive and
// takes its registers (and, for data in, its data) back into the record. 1
// when the command reached the drive, whatever the drive answered.
int BindingAtaCommand(DeviceHandle drive, AtaCommand *command);

// The engine's two commands, into a zero-filled record: IDENTIFY DEVICE
// reading 512 bytes into `data`, and DATA SET MANAGEMENT with the TRIM bit
// for `count` ranges (1 to kMaxTrimRangesPerCommand), whose entries are
// written to `payload` (512 bytes per 64 ranges, the Count register
// holding those blocks).
void BuildAtaIdentify(AtaCommand *command, uint8_t *data);
void BuildAtaTrim(AtaCommand *command, uint8_t *payload, const TrimRange *ranges, uint32_t count);

// The command as an ATA_PASS_THROUGH_EX block of headerSize (40 or 48)
// followed by its data, as the Windows devices take it: returns the size.
// The block holds at least headerSize + max(dataLength, 512) bytes.
uint32_t EncodeAtaPassThrough(uint8_t *block, uint32_t headerSize, const AtaCommand *command);
// The registers (and data read) the drive returned in such a block.
void TakeAtaPassThroughAnswer(const uint8_t *block, uint32_t headerSize, AtaCommand *command);

// The fields the engine uses from 512 bytes of IDENTIFY DEVICE data.
void DecodeIdentify(const uint8_t *identify, DriveIdentity *identity);

// TRIM the engine may use: word 169 bit 0 and 512-byte logical sectors,
// because the engine's LBAs are 512-byte units.
int IdentityAllowsTrim(const DriveIdentity *identity);

// Through BindingAtaCommand: IDENTIFY decoded, and one TRIM command
// (a TrimBatchResult).
int AtaIdentifyDrive(DeviceHandle drive, DriveIdentity *identity);
int AtaTrimRanges(DeviceHandle drive, const TrimRange *ranges, uint32_t count);

#endif
