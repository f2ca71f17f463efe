// Test program for the VM (not shipped): sends two TRIM commands straight
// through the Linux binding to a whole disk, one with the flags DATA SET
// MANAGEMENT used to go out with (data direction alone, so PIO and 28-bit)
// and one as the engine sends it now (48-bit DMA):
//   old flags: LBA 2048, 2048 blocks      engine flags: LBA 6144, 2048 blocks
// and prints whether the drive accepted each. The host then checks which
// range became a hole in the drive's backing file.
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "ata_request.h"
#include "binding.h"
#include "linux_binding.h"

static const char *Send(DeviceHandle drive, uint64_t lba, uint16_t blocks, int oldFlags) {
    alignas(16) uint8_t payload[kAtaDataSize];
    AtaCommand command = {};
    const TrimRange range = {lba, blocks};
    BuildAtaTrim(&command, payload, &range, 1);
    if (oldFlags) command.extended = command.dma = 0;
    if (!BindingAtaCommand(drive, &command)) return "refused";
    return (command.current[kAtaRegisterCommand] & kAtaStatusErr) ? "ended with ERR" : "accepted";
}

int main(int argc, char **argv) {
    struct stat info;
    if (argc != 2 || stat(argv[1], &info) != 0 || !S_ISBLK(info.st_mode)) {
        fprintf(stderr, "usage: ata-flags-probe DISK\n");
        return 2;
    }
    SysfsDisk disk = {};
    DeviceHandle drive = LinuxOpenDisk(argv[1], major(info.st_rdev), minor(info.st_rdev), &disk);
    if (drive == 0) {
        fprintf(stderr, "ata-flags-probe: cannot open %s\n", argv[1]);
        return 2;
    }
    DriveIdentity identity;
    printf("trim support: %d\n", BindingIdentifyDrive(drive, &identity) && IdentityAllowsTrim(&identity));
    printf("old flags: %s\n", Send(drive, 2048, 2048, 1));
    printf("engine flags: %s\n", Send(drive, 6144, 2048, 0));
    BindingClose(drive);
    return 0;
}
