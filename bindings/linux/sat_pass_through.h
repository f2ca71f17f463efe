// ATA_PASS_THROUGH_EX requests as SCSI ATA PASS-THROUGH (16) commands, the
// form in which Linux (libata, SAT bridges) takes raw ATA commands through
// SG_IO. Pure byte work, so it can be checked on any host.
#ifndef QUILLET_ENGINE_LINUX_SAT_PASS_THROUGH_H
#define QUILLET_ENGINE_LINUX_SAT_PASS_THROUGH_H

#include <stdint.h>

enum SatDirection { kSatNoData = 0, kSatFromDevice = 1, kSatToDevice = 2 };

struct SatCommand {
    uint8_t cdb[16];
    SatDirection direction;
    uint32_t dataOffset;  // of the data buffer in the request block
    uint32_t dataLength;
    uint32_t timeoutMilliseconds;
};

// Translates the request block (this build's header layout followed by its
// data) into `command`. Every field is carried over exactly: direction, DMA
// or PIO protocol from the DMA flag, the extend bit and the high-order
// registers from the 48-bit flag and PreviousTaskFile, the task file, the
// time-out. 0 when the request holds anything the command cannot express;
// such a request must not be sent at all.
int TranslateAtaPassThrough(const uint8_t *block, uint32_t size, SatCommand *command);

// Reads the ATA Status Return descriptor of descriptor-format sense data
// (which a failed command returns) into the request block as Windows returns the registers: error, count,
// LBA, device and status in CurrentTaskFile (status in byte 6), the
// high-order bytes of a 48-bit command in PreviousTaskFile. 0 when the
// sense holds no such descriptor.
int StoreAtaStatusReturn(const uint8_t *sense, uint32_t senseLength, uint8_t *block);

#endif
