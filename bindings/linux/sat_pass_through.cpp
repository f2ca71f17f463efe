#include "sat_pass_through.h"

#include "ata_request.h"
#include "bytes.h"

namespace {

enum {
    kAtaPassThrough16 = 0x85,
    kProtocolNonData = 3,
    kProtocolPioDataIn = 4,
    kProtocolPioDataOut = 5,
    kProtocolDma = 6,
    kTransferFromDevice = 0x08,
    kLengthInBlocks = 0x04,
    kLengthInTransport = 0x03,  // the length is the SG_IO transfer's own
    kStatusReturnDescriptor = 0x09,
    kKnownFlags = kAtaFlagDataIn | kAtaFlagDataOut | kAtaFlag48BitCommand | kAtaFlagUseDma,
};


}  // namespace

int TranslateAtaPassThrough(const uint8_t *block, uint32_t size, SatCommand *command) {
    const AtaLayout layout = AtaLayoutFor(ATA_NATIVE_HEADER_SIZE);
    if (block == 0 || size < layout.headerSize) return 0;
    if (LoadLe16(block + kAtaFieldLength) != layout.headerSize) return 0;
    const uint16_t flags = LoadLe16(block + kAtaFieldFlags);
    // DRDY_REQUIRED and NO_MULTIPLE have no place in the command; an
    // unknown flag may mean anything.
    if ((flags & ~kKnownFlags) != 0) return 0;
    const int dataIn = (flags & kAtaFlagDataIn) != 0;
    const int dataOut = (flags & kAtaFlagDataOut) != 0;
    const int extended = (flags & kAtaFlag48BitCommand) != 0;
    const int dma = (flags & kAtaFlagUseDma) != 0;
    if (dataIn && dataOut) return 0;
    // The command goes to the disk it is sent to: no path, target or unit.
    if (!AllZeroBytes(block + kAtaFieldPathId, 4) || LoadLe32(block + kAtaFieldReservedLong) != 0) return 0;

    const uint32_t dataLength = LoadLe32(block + kAtaFieldDataTransferLength);
    const uint64_t dataOffset = LoadLeUnsigned(block + layout.dataBufferOffsetField, layout.dataBufferOffsetWidth);
    const uint32_t timeoutSeconds = LoadLe32(block + kAtaFieldTimeOutValue);
    if (timeoutSeconds == 0 || timeoutSeconds > 0xFFFFFFFFu / 1000) return 0;
    if (dataIn || dataOut) {
        // Whole 512-byte blocks inside the request block, after the header.
        if (dataLength == 0 || dataLength % 512 != 0) return 0;
        if (dataOffset < layout.headerSize || dataOffset + dataLength > size) return 0;
    } else if (dataLength != 0 || dma) {
        return 0;
    }

    const uint8_t *previous = block + layout.previousTaskFile;
    const uint8_t *current = block + layout.currentTaskFile;
    // Bytes 5 to 7 of PreviousTaskFile and byte 7 of CurrentTaskFile have
    // no register in the command; without the 48-bit flag no high-order
    // register is sent, so none may be asked for.
    if (current[7] != 0 || !AllZeroBytes(previous + 5, 3)) return 0;
    if (!extended && !AllZeroBytes(previous, 5)) return 0;

    uint8_t *cdb = command->cdb;
    for (uint32_t i = 0; i < 16; i++) cdb[i] = 0;
    uint8_t protocol = kProtocolNonData;
    if (dataIn) protocol = dma ? kProtocolDma : kProtocolPioDataIn;
    if (dataOut) protocol = dma ? kProtocolDma : kProtocolPioDataOut;
    cdb[0] = kAtaPassThrough16;
    cdb[1] = (uint8_t)(protocol << 1 | (extended ? 1 : 0));
    // No CK_COND: a command that completes without error ends GOOD, and one
    // that fails returns its registers in the sense data. (With CK_COND,
    // QEMU's AHCI hands libata the status of a PIO data-in command with DRQ
    // still set, and IDENTIFY fails.)
    if (dataIn || dataOut) cdb[2] |= kLengthInBlocks | kLengthInTransport;
    if (dataIn) cdb[2] |= kTransferFromDevice;
    // Features, Count, LBA low, mid, high: high-order byte, then low-order.
    for (uint32_t i = 0; i < 5; i++) {
        cdb[3 + 2 * i] = previous[i];
        cdb[4 + 2 * i] = current[i];
    }
    cdb[13] = current[5];  // Device
    cdb[14] = current[6];  // Command

    command->direction = dataIn ? kSatFromDevice : dataOut ? kSatToDevice : kSatNoData;
    command->dataOffset = (dataIn || dataOut) ? (uint32_t)dataOffset : 0;
    command->dataLength = dataLength;
    command->timeoutMilliseconds = timeoutSeconds * 1000;
    return 1;
}

int StoreAtaStatusReturn(const uint8_t *sense, uint32_t senseLength, uint8_t *block) {
    if (sense == 0 || senseLength < 8) return 0;
    const uint8_t responseCode = sense[0] & 0x7F;
    if (responseCode != 0x72 && responseCode != 0x73) return 0;
    uint32_t end = 8 + (uint32_t)sense[7];
    if (end > senseLength) end = senseLength;
    // Each descriptor is its type, its additional length and that many
    // bytes; the walk ends at the sense data's end.
    for (uint32_t at = 8; at + 2 <= end; at += 2 + (uint32_t)sense[at + 1]) {
        const uint8_t *descriptor = sense + at;
        if (descriptor[0] != kStatusReturnDescriptor) continue;
        if (descriptor[1] < 12 || at + 14 > end) return 0;
        const AtaLayout layout = AtaLayoutFor(ATA_NATIVE_HEADER_SIZE);
        uint8_t *current = block + layout.currentTaskFile;
        uint8_t *previous = block + layout.previousTaskFile;
        current[0] = descriptor[3];   // Error
        current[1] = descriptor[5];   // Count 7:0
        current[2] = descriptor[7];   // LBA 7:0
        current[3] = descriptor[9];   // LBA 15:8
        current[4] = descriptor[11];  // LBA 23:16
        current[5] = descriptor[12];  // Device
        current[6] = descriptor[13];  // Status
        if (descriptor[2] & 1) {      // Extend: the high-order half is valid
            previous[1] = descriptor[4];
            previous[2] = descriptor[6];
            previous[3] = descriptor[8];
            previous[4] = descriptor[10];
        }
        return 1;
    }
    return 0;
}
