// IDENTIFY DEVICE and TRIM sent as ATA commands, for the bindings that
// speak ATA: each supplies BindingAtaCommand, the one way its commands
// reach the drive.
#include "ata_request.h"
#include "binding.h"
#include "bytes.h"
#include "trim_engine.h"

int AtaIdentifyDrive(DeviceHandle drive, DriveIdentity *identity) {
    ZeroBytes(identity, sizeof *identity);
    alignas(16) uint8_t identify[kAtaDataSize];
    AtaCommand command;
    ZeroBytes(&command, sizeof command);
    BuildAtaIdentify(&command, identify);
    if (!BindingAtaCommand(drive, &command) || (command.current[kAtaRegisterCommand] & kAtaStatusErr) != 0) return 0;
    DecodeIdentify(identify, identity);
    return 1;
}

int AtaTrimRanges(DeviceHandle drive, const TrimRange *ranges, uint32_t count) {
    if (count == 0 || count > kMaxTrimRangesPerCommand) return kTrimBatchFailed;
    for (uint32_t i = 0; i < count; i++) {
        // The range entry holds 48 bits of LBA and 16 of count: a range
        // reaching past them would go out cut and name other blocks.
        const uint32_t blocks = ranges[i].blockCount;
        if (blocks == 0 || blocks > 0xFFFF || ranges[i].lba > ((uint64_t)1 << 48) - blocks) return kTrimBatchFailed;
    }
    alignas(16) uint8_t payload[kMaxTrimPayloadBlocks * kAtaDataSize];
    AtaCommand command;
    ZeroBytes(&command, sizeof command);
    BuildAtaTrim(&command, payload, ranges, count);
    if (!BindingAtaCommand(drive, &command)) return kTrimBatchFailed;
    return (command.current[kAtaRegisterCommand] & kAtaStatusErr) == 0 ? kTrimBatchAccepted : kTrimBatchRefused;
}
