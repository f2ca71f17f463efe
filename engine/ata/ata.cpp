// The engine's ATA commands, IDENTIFY DEVICE and DATA SET MANAGEMENT (TRIM),
// as registers, and packed into ATA_PASS_THROUGH_EX for the Windows
// bindings; ata_exchange.cpp sends them.
#include "ata_request.h"
#include "bytes.h"
#include "trim_engine.h"

void BuildAtaIdentify(AtaCommand *command, uint8_t *data) {
    command->current[kAtaRegisterCommand] = kAtaCommandIdentify;
    command->direction = kAtaDataIn;
    command->data = data;
    command->dataLength = kAtaDataSize;
    command->timeoutSeconds = kAtaTimeoutSeconds;
}

void BuildAtaTrim(AtaCommand *command, uint8_t *payload, const TrimRange *ranges, uint32_t count) {
    const uint32_t payloadBlocks = (count + kTrimRangesPerBlock - 1) / kTrimRangesPerBlock;
    const uint32_t dataSize = payloadBlocks * kAtaDataSize;
    // The entries, then zeros to the end of their last block.
    ZeroBytes(payload + 8 * count, dataSize - 8 * count);
    uint8_t *entry = payload;
    for (uint32_t i = 0; i < count; i++, entry += 8) {
        StoreLe32(entry + 0, (uint32_t)ranges[i].lba);
        StoreLe16(entry + 4, (uint16_t)(ranges[i].lba >> 32));
        StoreLe16(entry + 6, (uint16_t)ranges[i].blockCount);
    }
    // The high-order registers stay zero: a 48-bit command sends every one
    // of them, and each must be 0 here.
    command->current[kAtaRegisterFeatures] = 0x01;  // the TRIM bit
    command->current[kAtaRegisterCount] = (uint8_t)payloadBlocks;
    command->current[kAtaRegisterCommand] = kAtaCommandDataSetManagement;
    // DATA SET MANAGEMENT is a 48-bit DMA command (see kAtaTrimFlags).
    command->extended = 1;
    command->dma = 1;
    command->direction = kAtaDataOut;
    command->data = payload;
    command->dataLength = dataSize;
    command->timeoutSeconds = kAtaTimeoutSeconds;
}

uint32_t EncodeAtaPassThrough(uint8_t *block, uint32_t headerSize, const AtaCommand *command) {
    const AtaLayout layout = AtaLayoutFor(headerSize);
    const uint32_t dataArea = command->dataLength > kAtaDataSize ? command->dataLength : (uint32_t)kAtaDataSize;
    // The header and whatever of the data area the data does not fill.
    const uint32_t written = command->direction == kAtaDataOut ? command->dataLength : 0;
    ZeroBytes(block, layout.headerSize);
    ZeroBytes(block + layout.headerSize + written, dataArea - written);
    uint16_t flags = 0;
    if (command->direction == kAtaDataIn) flags |= kAtaFlagDataIn;
    if (command->direction == kAtaDataOut) flags |= kAtaFlagDataOut;
    if (command->extended) flags |= kAtaFlag48BitCommand;
    if (command->dma) flags |= kAtaFlagUseDma;
    StoreLe16(block + kAtaFieldLength, (uint16_t)layout.headerSize);
    StoreLe16(block + kAtaFieldFlags, flags);
    StoreLe32(block + kAtaFieldDataTransferLength, command->dataLength);
    StoreLe32(block + kAtaFieldTimeOutValue, command->timeoutSeconds);
    if (layout.dataBufferOffsetWidth == 8) {
        StoreLe64(block + layout.dataBufferOffsetField, layout.headerSize);
    } else {
        StoreLe32(block + layout.dataBufferOffsetField, layout.headerSize);
    }
    for (uint32_t i = 0; i < kAtaTaskFileSize; i++) {
        block[layout.previousTaskFile + i] = command->extended ? command->previous[i] : 0;
        block[layout.currentTaskFile + i] = command->current[i];
    }
    if (command->direction == kAtaDataOut && command->dataLength != 0) {
        __builtin_memcpy(block + layout.headerSize, command->data, command->dataLength);
    }
    return layout.headerSize + command->dataLength;
}

void TakeAtaPassThroughAnswer(const uint8_t *block, uint32_t headerSize, AtaCommand *command) {
    const AtaLayout layout = AtaLayoutFor(headerSize);
    for (uint32_t i = 0; i < kAtaTaskFileSize; i++) {
        command->previous[i] = block[layout.previousTaskFile + i];
        command->current[i] = block[layout.currentTaskFile + i];
    }
    if (command->direction == kAtaDataIn && command->dataLength != 0) {
        __builtin_memcpy(command->data, block + layout.headerSize, command->dataLength);
    }
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
