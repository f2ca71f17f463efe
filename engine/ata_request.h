// The ATA_PASS_THROUGH_EX request block, encoded byte by byte so that both
// layouts (32-bit and 64-bit header) can be built and checked on any host.
#ifndef QUILLET_ENGINE_ATA_REQUEST_H
#define QUILLET_ENGINE_ATA_REQUEST_H

#include <stdint.h>

enum {
    kIoctlAtaPassThrough = 0x4D02C,
    kAtaDataSize = 512,
    kAtaHeaderSize32 = 40,
    kAtaHeaderSize64 = 48,
    kAtaMaxBlockSize = kAtaHeaderSize64 + kAtaDataSize,
    kAtaFlagDataIn = 2,
    kAtaFlagDataOut = 4,
    kAtaTimeoutSeconds = 5,
    kAtaCommandIdentify = 0xEC,
    kAtaCommandDataSetManagement = 0x06,
    kAtaStatusErr = 0x01,
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
AtaLayout AtaLayoutFor(uint32_t headerSize);

// Fill a block of headerSize + 512 bytes.
void EncodeAtaIdentify(uint8_t *block, uint32_t headerSize);
void EncodeAtaTrim(uint8_t *block, uint32_t headerSize, uint64_t lba, uint16_t blockCount);

// The status register that comes back in CurrentTaskFile byte 6.
uint8_t AtaReturnedStatus(const uint8_t *block, uint32_t headerSize);

// TRIM support from 512 bytes of IDENTIFY DEVICE data: word 169 bit 0, and
// 512-byte logical sectors (word 106, words 117-118), because the engine's
// LBAs are 512-byte units.
int IdentifyReportsUsableTrim(const uint8_t *identify);

#endif
