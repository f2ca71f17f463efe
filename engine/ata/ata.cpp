// ATA pass-through requests: IDENTIFY DEVICE and DATA SET MANAGEMENT (TRIM),
// encoded and decoded; ata_exchange.cpp sends them.
#include "ata_request.h"
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

uint32_t EncodeAtaTrimRanges(uint8_t *block, uint32_t headerSize, const TrimRange *ranges, uint32_t count) {
    AtaLayout layout = AtaLayoutFor(headerSize);
    const uint32_t payloadBlocks = (count + kTrimRangesPerBlock - 1) / kTrimRangesPerBlock;
    const uint32_t dataSize = payloadBlocks * kAtaDataSize;
    // PreviousTaskFile stays zero: with the 48-bit flag its bytes are the
    // high-order registers, and every one of them must be 0 here.
    EncodeHeader(block, layout, kAtaTrimFlags);
    ZeroBytes(block + layout.headerSize + kAtaDataSize, dataSize - kAtaDataSize);
    StoreLe32(block + kAtaFieldDataTransferLength, dataSize);
    uint8_t *taskFile = block + layout.currentTaskFile;
    taskFile[0] = 0x01;                    // Features: the TRIM bit
    taskFile[1] = (uint8_t)payloadBlocks;  // Sector Count: blocks of range entries
    taskFile[6] = kAtaCommandDataSetManagement;
    uint8_t *entry = block + layout.headerSize;
    for (uint32_t i = 0; i < count; i++, entry += 8) {
        StoreLe32(entry + 0, (uint32_t)ranges[i].lba);
        StoreLe16(entry + 4, (uint16_t)(ranges[i].lba >> 32));
        StoreLe16(entry + 6, (uint16_t)ranges[i].blockCount);
    }
    return layout.headerSize + dataSize;
}

void EncodeAtaTrim(uint8_t *block, uint32_t headerSize, uint64_t lba, uint16_t blockCount) {
    TrimRange range = {lba, blockCount};
    EncodeAtaTrimRanges(block, headerSize, &range, 1);
}

uint8_t AtaReturnedStatus(const uint8_t *block, uint32_t headerSize) {
    return block[AtaLayoutFor(headerSize).currentTaskFile + 6];
}

void DecodeIdentify(const uint8_t *identify, DriveIdentity *identity) {
    identity->trimBit = LoadLe16(identify + 2 * 169) & 1;
    uint32_t rangeBlocks = LoadLe16(identify + 2 * 105);
    identity->rangeBlocks = rangeBlocks == 0 ? 1 : rangeBlocks;
    // Word 106 is valid when bit 14 is set and bit 15 clear; bit 12 then says
    // the logical sector is longer than 256 words, given by words 117-118.
    uint16_t word106 = LoadLe16(identify + 2 * 106);
    identity->logicalSectorSize = 512;
    if ((word106 & 0xC000) == 0x4000 && (word106 & 0x1000) != 0) {
        uint32_t logicalWords = LoadLe32(identify + 2 * 117);
        // A size that does not fit 32 bits is no size we could use.
        identity->logicalSectorSize = logicalWords < 0x80000000u ? 2 * logicalWords : 0;
    }
    // Two characters a word, the first in the high byte.
    uint32_t length = 0;
    for (uint32_t i = 0; i < 40; i++) {
        uint8_t c = identify[2 * 27 + (i ^ 1)];
        identity->model[i] = c >= 0x20 && c < 0x7F ? (char)c : '?';
        if (c != ' ') length = i + 1;
    }
    identity->model[length] = 0;
    // Word 83 is valid when bit 14 is set and bit 15 clear; bit 10: 48-bit.
    const uint16_t word83 = LoadLe16(identify + 2 * 83);
    const int lba48 = (word83 & 0xC000) == 0x4000 && (word83 & 0x0400) != 0;
    identity->sectors = lba48 ? LoadLe64(identify + 2 * 100) & 0xFFFFFFFFFFFFull : LoadLe32(identify + 2 * 60);
    const uint16_t word69 = LoadLe16(identify + 2 * 69);
    identity->readsAfterTrim = (word69 & 0x4000) == 0   ? kTrimReadsNotDeterministic
                               : (word69 & 0x0020) != 0 ? kTrimReadsZeros
                                                        : kTrimReadsDeterministic;
}

int IdentityAllowsTrim(const DriveIdentity *identity) {
    return identity->trimBit != 0 && identity->logicalSectorSize == 512;
}
