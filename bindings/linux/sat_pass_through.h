// ATA commands as SCSI ATA PASS-THROUGH (16) commands, the form in which
// Linux (libata, SAT bridges) takes raw ATA commands through SG_IO. Pure
// byte work, so it can be checked on any host.
#ifndef QUILLET_ENGINE_LINUX_SAT_PASS_THROUGH_H
#define QUILLET_ENGINE_LINUX_SAT_PASS_THROUGH_H

#include <stdint.h>

#include "ata_request.h"

struct SatCommand {
    uint8_t cdb[16];
    uint32_t timeoutMilliseconds;
};

// Builds the CDB for `command`. Every register is carried over exactly:
// DMA or PIO protocol, the extend bit and the high-order registers of a
// 48-bit command, the direction and length of the data, the time-out. 0
// when the command holds anything the CDB cannot express; such a command
// must not be sent at all.
int TranslateAtaCommand(const AtaCommand *command, SatCommand *sat);

// Reads the ATA Status Return descriptor of descriptor-format sense data
// (which a failed command returns) into the command's registers: error,
// count, LBA, device and status (in the command register's place), the
// high-order bytes of a 48-bit command. 0 when the sense holds no such
// descriptor.
int StoreAtaStatusReturn(const uint8_t *sense, uint32_t senseLength, AtaCommand *command);

#endif
