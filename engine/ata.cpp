// ATA pass-through: IDENTIFY DEVICE and DATA SET MANAGEMENT (TRIM).
#include "ata_request.h"
#include "binding.h"
#include "bytes.h"
#include "trim_engine.h"

static void EncodeHeader(uint8_t *block, const AtaLayout &layout, uint16_t flags) {
    ZeroBytes(block, layout.headerSize + kAtaDataSize);
    StoreLe16(block + kAtaFieldLength, (uint16_t)layout.headerSize);
    StoreLe16(block + kAtaFieldFlags, flags);
    StoreLe32(block + kAtaFieldDataTransferLength, kAtaDataSize);
    StoreLe32(block + kAtaFieldTimeOutValue, kAtaTimeoutSeconds);
    if (layout.dataBufferOffsetWidth == 8) {
        StoreLe64(block + layout.dataBufferOffsetField, layout.headerSize);
    } else {
        StoreLe32(block + layout.dataBufferOffsetField, layout.headerSize);
    }
}

void EncodeAtaIdentify(uint8_t *block, uint32_t headerSize) {
    AtaLayout layout = AtaLayoutFor(headerSize);
    EncodeHeader(block, layout, kAtaFlagDataIn);
    block[layout.currentTaskFile + 6] = kAtaCommandIdentify;
}

void EncodeAtaTrim(uint8_t *block, uint32_t headerSize, uint64_t lba, uint16_t blockCount) {
    AtaLayout layout = AtaLayoutFor(headerSize);
    // PreviousTaskFile stays zero: with the 48-bit flag its bytes are the
    // high-order registers, and every one of them must be 0 here.
    EncodeHeader(block, layout, kAtaTrimFlags);
    uint8_t *taskFile = block + layout.currentTaskFile;
    taskFile[0] = 0x01;  // Features: the TRIM bit
    taskFile[1] = 1;     // Sector Count: one block of range entries
    taskFile[6] = kAtaCommandDataSetManagement;
    uint8_t *entry = block + layout.headerSize;
    StoreLe32(entry + 0, (uint32_t)lba);
    StoreLe16(entry + 4, (uint16_t)(lba >> 32));
    StoreLe16(entry + 6, blockCount);
}

uint8_t AtaReturnedStatus(const uint8_t *block, uint32_t headerSize) {
    return block[AtaLayoutFor(headerSize).currentTaskFile + 6];
}

int IdentifyReportsUsableTrim(const uint8_t *identify) {
    uint16_t word106 = LoadLe16(identify + 2 * 106);
    uint16_t word169 = LoadLe16(identify + 2 * 169);
    if ((word169 & 1) == 0) return 0;
    // Word 106 is valid when bit 14 is set and bit 15 clear; bit 12 then says
    // the logical sector is longer than 256 words, given by words 117-118.
    int word106Valid = (word106 & 0xC000) == 0x4000;
    if (word106Valid && (word106 & 0x1000) != 0) {
        uint32_t logicalWords = LoadLe32(identify + 2 * 117);
        if (logicalWords != 256) return 0;
    }
    return 1;
}

int AtaReadIdentify(DeviceHandle drive, uint8_t *identify) {
    alignas(16) uint8_t block[kAtaMaxBlockSize];
    const uint32_t headerSize = ATA_NATIVE_HEADER_SIZE;
    EncodeAtaIdentify(block, headerSize);
    if (!BindingDeviceControl(drive, kIoctlAtaPassThrough, block, headerSize + kAtaDataSize, block,
                              headerSize + kAtaDataSize)) {
        return 0;
    }
    if (AtaReturnedStatus(block, headerSize) & kAtaStatusErr) return 0;
    for (uint32_t i = 0; i < kAtaDataSize; i++) identify[i] = block[headerSize + i];
    return 1;
}

void IdentifyModel(const uint8_t *identify, char *model) {
    // Two characters a word, the first in the high byte.
    uint32_t length = 0;
    for (uint32_t i = 0; i < 40; i++) {
        uint8_t c = identify[2 * 27 + (i ^ 1)];
        model[i] = c >= 0x20 && c < 0x7F ? (char)c : '?';
        if (c != ' ') length = i + 1;
    }
    model[length] = 0;
}

int AtaIdentifyTrimSupport(DeviceHandle drive) {
    uint8_t identify[kAtaDataSize];
    return AtaReadIdentify(drive, identify) && IdentifyReportsUsableTrim(identify);
}

int AtaTrimRange(DeviceHandle drive, uint64_t lba, uint16_t blockCount) {
    // The range entry holds 48 bits of LBA: a range reaching past them would
    // go out with its top bits cut off and name blocks near the disk's start.
    if (lba > ((uint64_t)1 << 48) - blockCount) return 0;
    alignas(16) uint8_t block[kAtaMaxBlockSize];
    const uint32_t headerSize = ATA_NATIVE_HEADER_SIZE;
    EncodeAtaTrim(block, headerSize, lba, blockCount);
    if (!BindingDeviceControl(drive, kIoctlAtaPassThrough, block, headerSize + kAtaDataSize, block,
                              headerSize + kAtaDataSize)) {
        return 0;
    }
    return (AtaReturnedStatus(block, headerSize) & kAtaStatusErr) == 0;
}
