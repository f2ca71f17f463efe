// The one Windows volume open, shared by the Win32 and native bindings: the
// volume device of a letter, its single disk extent, the lock, the physical
// drive that holds it; then the engine's open on that drive. ATA requests
// go to the drive as IOCTL_ATA_PASS_THROUGH.
#include "ata_request.h"
#include "binding.h"
#include "bytes.h"
#include "trim_engine.h"
#include "volume_controls.h"
#include "windows_device.h"

enum {
    kExtentsBufferSize = 1024,
    kMaxDeviceName = 64,
};

// Appends `text` to `name` at `*length`, never past kMaxDeviceName - 1.
static void AppendText(char *name, uint32_t *length, const char *text) {
    while (*text != 0 && *length + 1 < kMaxDeviceName) name[(*length)++] = *text++;
    name[*length] = 0;
}

static void BuildVolumeName(char *name, char driveLetter) {
    uint32_t length = 0;
    char tail[3] = {driveLetter, ':', 0};
    AppendText(name, &length, kDeviceNamePrefix);
    AppendText(name, &length, tail);
}

static void BuildDriveName(char *name, uint32_t diskNumber) {
    uint32_t length = 0;
    char digits[11];
    uint32_t count = 0;
    do {
        digits[count++] = (char)('0' + diskNumber % 10);
        diskNumber /= 10;
    } while (diskNumber != 0);
    char decimal[11];
    for (uint32_t i = 0; i < count; i++) decimal[i] = digits[count - 1 - i];
    decimal[count] = 0;
    AppendText(name, &length, kDeviceNamePrefix);
    AppendText(name, &length, "PhysicalDrive");
    AppendText(name, &length, decimal);
}

// The volume's place: its one extent. kOpenOk, or the step that failed.
static int ReadSingleExtent(DeviceHandle volume, uint32_t *diskNumber, int64_t *offset, uint64_t *length) {
    alignas(16) uint8_t extents[kExtentsBufferSize];
    ZeroBytes(extents, sizeof extents);
    if (!WindowsDeviceControl(volume, kIoctlVolumeGetVolumeDiskExtents, 0, 0, extents, sizeof extents)) {
        return kOpenExtentsFailed;
    }
    // A spanned volume is refused: its first extent's offsets would send
    // TRIM into other partitions' blocks.
    if (LoadLe32(extents + kExtentsCount) != 1) return kOpenExtentsFailed;
    *diskNumber = LoadLe32(extents + kExtentsFirstDiskNumber);
    *offset = (int64_t)LoadLe64(extents + kExtentsFirstStartingOffset);
    *length = LoadLe64(extents + kExtentsFirstLength);
    return *offset < 0 ? kOpenExtentsFailed : kOpenOk;
}

int OpenTrimVolume(char driveLetter, TrimVolume **result, int lockVolume) {
    *result = 0;
    char name[kMaxDeviceName];
    BuildVolumeName(name, driveLetter);
    DeviceHandle volume = WindowsOpenDevice(name);
    if (volume == 0) return kOpenVolumeFailed;
    uint32_t diskNumber = 0;
    int64_t offset = 0;
    uint64_t length = 0;
    int status = ReadSingleExtent(volume, &diskNumber, &offset, &length);
    if (status == kOpenOk && lockVolume != 0 && !WindowsDeviceControl(volume, kFsctlLockVolume, 0, 0, 0, 0)) {
        status = kOpenLockFailed;
    }
    DeviceHandle drive = 0;
    if (status == kOpenOk) {
        BuildDriveName(name, diskNumber);
        drive = WindowsOpenDevice(name);
        if (drive == 0) status = kOpenDriveFailed;
    }
    if (status != kOpenOk) {
        BindingClose(volume);
        return status;
    }
    // The record owns both handles from here, the lock with the volume's.
    // An extent of no length leaves the file system no room; it goes on as
    // one byte, so that the boot sector's read or the fit refuses it (with
    // the better message) as it always has, not as an empty partition.
    if (length == 0) length = 1;
    status = OpenTrimVolumeOnDrive(drive, volume, offset, length > INT64_MAX ? INT64_MAX : (int64_t)length, result);
    if (status == kOpenOk) (*result)->diskNumber = diskNumber;
    return status;
}

// The command packed into ATA_PASS_THROUGH_EX of this build's layout; the
// device returns the registers in the same block.
int BindingAtaCommand(DeviceHandle drive, AtaCommand *command) {
    alignas(16) uint8_t block[kAtaMaxTrimBlockSize];
    if (command->dataLength > kAtaMaxTrimBlockSize - ATA_NATIVE_HEADER_SIZE) return 0;
    const uint32_t size = EncodeAtaPassThrough(block, ATA_NATIVE_HEADER_SIZE, command);
    if (!WindowsDeviceControl(drive, kIoctlAtaPassThrough, block, size, block, size)) return 0;
    TakeAtaPassThroughAnswer(block, ATA_NATIVE_HEADER_SIZE, command);
    return 1;
}

int BindingIdentifyDrive(DeviceHandle drive, DriveIdentity *identity) { return AtaIdentifyDrive(drive, identity); }

int BindingTrimRanges(DeviceHandle drive, const TrimRange *ranges, uint32_t count) {
    return AtaTrimRanges(drive, ranges, count);
}
