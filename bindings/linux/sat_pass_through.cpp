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
};

}  // namespace

int TranslateAtaCommand(const AtaCommand *command, SatCommand *sat) {
    if (command == 0 || command->direction > kAtaDataOut) return 0;
    const int dataIn = command->direction == kAtaDataIn;
    const int dataOut = command->direction == kAtaDataOut;
    const uint32_t timeoutSeconds = command->timeoutSeconds;
    if (timeoutSeconds == 0 || timeoutSeconds > 0xFFFFFFFFu / 1000) return 0;
    if (dataIn || dataOut) {
        // Whole 512-byte blocks, in a buffer.
        if (command->data == 0 || command->dataLength == 0 || command->dataLength % 512 != 0) return 0;
    } else if (command->dataLength != 0 || command->dma) {
        return 0;
    }
    const uint8_t *previous = command->previous;
    const uint8_t *current = command->current;
    // Bytes 5 to 7 of the high-order registers and byte 7 of the others
    // have no place in the command; without the 48-bit flag no high-order
    // register is sent, so none may be asked for.
    if (current[7] != 0 || !AllZeroBytes(previous + 5, 3)) return 0;
    if (!command->extended && !AllZeroBytes(previous, 5)) return 0;

    uint8_t *cdb = sat->cdb;
    for (uint32_t i = 0; i < 16; i++) cdb[i] = 0;
    uint8_t protocol = kProtocolNonData;
    if (dataIn) protocol = command->dma ? kProtocolDma : kProtocolPioDataIn;
    if (dataOut) protocol = command->dma ? kProtocolDma : kProtocolPioDataOut;
    cdb[0] = kAtaPassThrough16;
    cdb[1] = (uint8_t)(protocol << 1 | (command->extended ? 1 : 0));
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
    cdb[13] = current[kAtaRegisterDevice];
    cdb[14] = current[kAtaRegisterCommand];
    sat->timeoutMilliseconds = timeoutSeconds * 1000;
    return 1;
}

int StoreAtaStatusReturn(const uint8_t *sense, uint32_t senseLength, AtaCommand *command) {
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
        uint8_t *current = command->current;
        uint8_t *previous = command->previous;
        current[kAtaRegisterFeatures] = descriptor[3];  // Error
        current[kAtaRegisterCount] = descriptor[5];
        current[kAtaRegisterLbaLow] = descriptor[7];
        current[kAtaRegisterLbaMid] = descriptor[9];
        current[kAtaRegisterLbaHigh] = descriptor[11];
        current[kAtaRegisterDevice] = descriptor[12];
        current[kAtaRegisterCommand] = descriptor[13];  // Status
        if (descriptor[2] & 1) {  // Extend: the high-order half is valid
            previous[kAtaRegisterCount] = descriptor[4];
            previous[kAtaRegisterLbaLow] = descriptor[6];
            previous[kAtaRegisterLbaMid] = descriptor[8];
            previous[kAtaRegisterLbaHigh] = descriptor[10];
        }
        return 1;
    }
    return 0;
}
