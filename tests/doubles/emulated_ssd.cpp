// The emulated SSD behind the Windows volume open; see emulated_ssd.h. File
// access goes through image_file.h, so the same double runs on Linux and,
// for test variants of the Windows programs, under Wine.
#include "emulated_ssd.h"

#include <stdlib.h>
#include <string.h>

#include "image_file.h"

#include <string>
#include <vector>

#include "ata_request.h"
#include "binding.h"
#include "bytes.h"
#include "volume_controls.h"
#include "windows_device.h"

const char kDeviceNamePrefix[] = "\\\\.\\";

namespace {

enum {
    kMaxDisks = 16,
    kStatusReady = 0x50,   // DRDY | DSC
    kStatusAbort = 0x51,   // ... | ERR
};

enum DeviceKind { kVolumeDevice = 1, kDriveDevice = 2 };

struct HostDevice {
    DeviceKind kind;
    char letter;       // volumes
    uint32_t disk;     // drives
};

struct HostDisk {
    ImageFile file;  // kNoImageFile when not attached
    int64_t size;    // learnt when attached; TRIM never changes it
    int writable;
};

int Attached(const HostDisk &disk) { return disk.file != kNoImageFile; }

struct HostState {
    HostDisk disks[kMaxDisks];
    EmulatedVolume volumes[26];
    int volumeAttached[26];
    EmulatedDrive drive;
    HostCounters counters;
    uint32_t readsUntilFailure;
    uint32_t allocationsUntilFailure;
    void (*watchReads)(int64_t position, uint32_t size);
    std::vector<TrimRange> trimmed;
    std::string openedNames;
};

void DefaultDrive(EmulatedDrive *drive);

HostState &State() {
    static HostState state = [] {
        HostState s{};
        for (HostDisk &disk : s.disks) disk.file = kNoImageFile;
        DefaultDrive(&s.drive);
        return s;
    }();
    return state;
}

void DefaultDrive(EmulatedDrive *drive) {
    memset(drive, 0, sizeof *drive);
    strcpy(drive->model, "Quillet Emulated SSD");
    drive->trimSupported = 1;
    drive->logicalSectorSize = 512;
    drive->headerSize = ATA_NATIVE_HEADER_SIZE;
    drive->rangeBlocks = 2;  // two blocks of range entries: multi-block payloads are the rule here
}

int VolumeIndex(char letter) {
    if (letter >= 'a' && letter <= 'z') letter = (char)(letter - 'a' + 'A');
    return letter >= 'A' && letter <= 'Z' ? letter - 'A' : -1;
}

// ATA strings store two characters per word, the first in the high byte.
void PutAtaString(uint8_t *identify, uint32_t firstWord, uint32_t words, const char *text) {
    size_t length = strlen(text);
    for (uint32_t i = 0; i < words * 2; i++) {
        char c = i < length ? text[i] : ' ';
        identify[2 * firstWord + (i ^ 1)] = (uint8_t)c;
    }
}

void FillIdentify(const EmulatedDrive &drive, uint8_t *identify) {
    memset(identify, 0, kAtaDataSize);
    StoreLe16(identify + 0, 0x0040);  // fixed device
    PutAtaString(identify, 10, 10, "QEMU0001");
    PutAtaString(identify, 23, 4, "1.0");
    PutAtaString(identify, 27, 20, drive.model);
    uint16_t word106 = 0x4000;
    if (drive.logicalSectorSize != 512) {
        word106 |= 0x1000;
        StoreLe32(identify + 2 * 117, drive.logicalSectorSize / 2);
    }
    StoreLe16(identify + 2 * 105, (uint16_t)drive.rangeBlocks);
    StoreLe16(identify + 2 * 106, word106);
    StoreLe16(identify + 2 * 169, drive.trimSupported ? 1 : 0);
}

// Checks the header fields both commands share. 1 when well-formed.
int HeaderIsWellFormed(const EmulatedDrive &drive, const uint8_t *block, uint32_t size,
                       uint16_t flags, uint32_t dataSize) {
    const AtaLayout layout = AtaLayoutFor(drive.headerSize);
    if (layout.headerSize == 0 || size != layout.headerSize + dataSize) return 0;
    if (LoadLe16(block + 0) != layout.headerSize) return 0;
    if (LoadLe16(block + 2) != flags) return 0;
    if (!AllZeroBytes(block + 4, 4)) return 0;  // PathId, TargetId, Lun, reserved
    if (LoadLe32(block + 8) != dataSize) return 0;
    if (LoadLe32(block + 12) == 0) return 0;  // a time-out is required
    if (!AllZeroBytes(block + 16, layout.dataBufferOffsetField - 16)) return 0;
    uint64_t dataOffset = LoadLeUnsigned(block + layout.dataBufferOffsetField, layout.dataBufferOffsetWidth);
    if (dataOffset != layout.headerSize) return 0;
    return AllZeroBytes(block + layout.previousTaskFile, 8);
}

int Malformed() {
    State().counters.malformedRequests++;
    return 0;
}

int PassThrough(HostDevice *device, uint8_t *in, uint32_t inSize, uint8_t *out, uint32_t outSize) {
    HostState &state = State();
    const EmulatedDrive &drive = state.drive;
    if (drive.rejectPassThrough) return 0;
    if (in == 0 || out == 0 || inSize != outSize) return Malformed();
    const AtaLayout layout = AtaLayoutFor(drive.headerSize);
    if (layout.headerSize == 0 || inSize < layout.headerSize + kAtaDataSize) return Malformed();
    uint8_t *taskFile = in + layout.currentTaskFile;
    uint8_t *data = in + layout.headerSize;

    if (taskFile[6] == kAtaCommandIdentify) {
        if (!HeaderIsWellFormed(drive, in, inSize, kAtaFlagDataIn, kAtaDataSize)) return Malformed();
        if (!AllZeroBytes(taskFile, 6) || taskFile[7] != 0) return Malformed();
        state.counters.identifyCommands++;
        if (out != in) memcpy(out, in, inSize);
        FillIdentify(drive, out + layout.headerSize);
        out[layout.currentTaskFile + 6] = drive.identifyError ? kStatusAbort : kStatusReady;
        return 1;
    }
    if (taskFile[6] != kAtaCommandDataSetManagement) return Malformed();
    // The Count register holds the blocks of range entries, at most what
    // IDENTIFY word 105 allows.
    const uint32_t payloadBlocks = taskFile[1];
    const uint32_t allowedBlocks = drive.rangeBlocks == 0 ? 1 : drive.rangeBlocks;
    if (payloadBlocks == 0 || payloadBlocks > allowedBlocks) return Malformed();
    const uint32_t dataSize = payloadBlocks * kAtaDataSize;
    // A 48-bit DMA command: sent as PIO, or without the high-order registers,
    // it is not the command the engine means.
    if (!HeaderIsWellFormed(drive, in, inSize, kAtaTrimFlags, dataSize)) return Malformed();
    if (taskFile[0] != 0x01 || !AllZeroBytes(taskFile + 2, 4) || taskFile[7] != 0) return Malformed();
    // The entries in use come first; a zero count ends them, and nothing
    // may follow. The engine sends 4096-byte-aligned ranges only.
    // Read in place, without an allocation: this runs once per command.
    TrimRange ranges[kMaxTrimPayloadBlocks * kTrimRangesPerBlock];
    uint32_t count = 0;
    uint32_t at = 0;
    for (; at < dataSize && count < kMaxTrimPayloadBlocks * kTrimRangesPerBlock; at += 8) {
        uint64_t lba = LoadLe32(data + at) | ((uint64_t)LoadLe16(data + at + 4) << 32);
        uint32_t blocks = LoadLe16(data + at + 6);
        if (blocks == 0) break;
        if (lba % 8 != 0 || blocks % 8 != 0) return Malformed();
        ranges[count++] = {lba, blocks};
    }
    if (count == 0 || !AllZeroBytes(data + at, dataSize - at)) return Malformed();

    state.counters.trimCommands++;
    state.counters.trimRanges += count;
    if (drive.trimArriving != 0) drive.trimArriving(state.counters.trimCommands);
    if (out != in) memcpy(out, in, inSize);
    const HostDisk &disk = state.disks[device->disk];
    int accepted = !(drive.failTrimAt != 0 && state.counters.trimCommands == drive.failTrimAt);
    // A range past the disk's end aborts the whole command before any of it
    // is carried out.
    for (uint32_t i = 0; i < count; i++) {
        if (disk.size < 0 || (ranges[i].lba + ranges[i].blockCount) * 512 > (uint64_t)disk.size) accepted = 0;
    }
    // A trimmed range reads zeros afterwards, as on a drive that reports
    // deterministic zeros after TRIM; a read-only image stays as it was.
    for (uint32_t i = 0; accepted && disk.writable && i < count; i++) {
        accepted = ImageFileDiscard(disk.file, (int64_t)(ranges[i].lba * 512), (int64_t)ranges[i].blockCount * 512);
    }
    for (uint32_t i = 0; accepted && i < count; i++) {
        state.counters.trimmedBytes += (uint64_t)ranges[i].blockCount * 512;
        state.trimmed.push_back(ranges[i]);
    }
    out[layout.currentTaskFile + 6] = accepted ? kStatusReady : kStatusAbort;
    return 1;
}

int VolumeControl(HostDevice *device, uint32_t code, uint8_t *out, uint32_t outSize) {
    HostState &state = State();
    int index = VolumeIndex(device->letter);
    if (index < 0 || !state.volumeAttached[index]) return 0;
    const EmulatedVolume &volume = state.volumes[index];
    if (code == kIoctlVolumeGetVolumeDiskExtents) {
        if (volume.extentsFail || out == 0 || outSize < kExtentsOneExtentSize) return 0;
        int64_t length = volume.extentLength;
        if (length == 0 && volume.diskNumber < kMaxDisks && Attached(state.disks[volume.diskNumber])) {
            length = state.disks[volume.diskNumber].size - volume.partitionOffset;
        }
        memset(out, 0, kExtentsOneExtentSize);
        StoreLe32(out + kExtentsCount, volume.extentCount);
        StoreLe32(out + kExtentsFirstDiskNumber, volume.diskNumber);
        StoreLe64(out + kExtentsFirstStartingOffset, (uint64_t)volume.partitionOffset);
        StoreLe64(out + kExtentsFirstLength, length > 0 ? (uint64_t)length : 0);
        return 1;
    }
    if (code == kFsctlLockVolume) {
        if (volume.lockFails) return 0;
        state.counters.locksTaken++;
        return 1;
    }
    return 0;
}

}  // namespace

void HostReset() {
    HostState &state = State();
    for (HostDisk &disk : state.disks) {
        if (disk.file != kNoImageFile) ImageFileClose(disk.file);
        disk.file = kNoImageFile;
    }
    memset(state.volumes, 0, sizeof state.volumes);
    memset(state.volumeAttached, 0, sizeof state.volumeAttached);
    DefaultDrive(&state.drive);
    memset(&state.counters, 0, sizeof state.counters);
    state.readsUntilFailure = 0;
    state.allocationsUntilFailure = 0;
    state.watchReads = 0;
    state.trimmed.clear();
    state.openedNames.clear();
}

int HostAttachDisk(uint32_t diskNumber, const char *path, int writable) {
    HostState &state = State();
    if (diskNumber >= kMaxDisks) return 0;
    ImageFile file = ImageFileOpen(path, writable);
    if (file == kNoImageFile) return 0;
    int64_t size = ImageFileSize(file);
    if (size < 0) {
        ImageFileClose(file);
        return 0;
    }
    if (state.disks[diskNumber].file != kNoImageFile) ImageFileClose(state.disks[diskNumber].file);
    state.disks[diskNumber].file = file;
    state.disks[diskNumber].size = size;
    state.disks[diskNumber].writable = writable;
    return 1;
}

EmulatedVolume *HostAttachVolume(char letter, uint32_t diskNumber, int64_t partitionOffset) {
    HostState &state = State();
    int index = VolumeIndex(letter);
    if (index < 0) return 0;
    EmulatedVolume &volume = state.volumes[index];
    memset(&volume, 0, sizeof volume);
    volume.letter = (char)('A' + index);
    volume.diskNumber = diskNumber;
    volume.partitionOffset = partitionOffset;
    volume.extentCount = 1;
    state.volumeAttached[index] = 1;
    return &volume;
}

EmulatedDrive *HostDrive() { return &State().drive; }

HostCounters *HostCountersNow() { return &State().counters; }
void HostFailReadAt(uint32_t readNumber) { State().readsUntilFailure = readNumber; }

void HostWatchReads(void (*watch)(int64_t position, uint32_t size)) { State().watchReads = watch; }
void HostFailAllocationAt(uint32_t allocationNumber) { State().allocationsUntilFailure = allocationNumber; }

const TrimRange *HostTrimmedRanges(uint32_t *count) {
    *count = (uint32_t)State().trimmed.size();
    return State().trimmed.data();
}

const char *HostOpenedNames() { return State().openedNames.c_str(); }

// The Windows devices it stands in for, and the binding's own calls.

DeviceHandle WindowsOpenDevice(const char *name) {
    HostState &state = State();
    state.openedNames += name;
    state.openedNames += '\n';
    size_t prefix = strlen(kDeviceNamePrefix);
    if (strncmp(name, kDeviceNamePrefix, prefix) != 0) return 0;
    const char *rest = name + prefix;
    HostDevice device = {kVolumeDevice, 0, 0};
    if (rest[0] != 0 && rest[1] == ':' && rest[2] == 0) {
        int index = VolumeIndex(rest[0]);
        if (index < 0 || !state.volumeAttached[index] || state.volumes[index].openFails) return 0;
        device.letter = rest[0];
    } else if (strncmp(rest, "PhysicalDrive", 13) == 0) {
        const char *digits = rest + 13;
        char *end = 0;
        unsigned long number = strtoul(digits, &end, 10);
        // "PhysicalDrive007" is not a name the platform hands out.
        if (*digits < '0' || *digits > '9' || *end != 0 || (digits[0] == '0' && digits[1] != 0)) return 0;
        if (number >= kMaxDisks || !Attached(state.disks[number])) return 0;
        device.kind = kDriveDevice;
        device.disk = (uint32_t)number;
    } else {
        return 0;
    }
    HostDevice *handle = (HostDevice *)malloc(sizeof(HostDevice));
    if (handle == 0) return 0;
    *handle = device;
    state.counters.openHandles++;
    return handle;
}

int WindowsDeviceControl(DeviceHandle handle, uint32_t code, void *input, uint32_t inputSize, void *output,
                         uint32_t outputSize) {
    HostDevice *device = (HostDevice *)handle;
    if (device == 0) return 0;
    if (device->kind == kVolumeDevice) return VolumeControl(device, code, (uint8_t *)output, outputSize);
    if (code != kIoctlAtaPassThrough) return 0;
    return PassThrough(device, (uint8_t *)input, inputSize, (uint8_t *)output, outputSize);
}

int BindingReadAt(DeviceHandle handle, int64_t position, void *buffer, uint32_t size) {
    HostState &state = State();
    HostDevice *device = (HostDevice *)handle;
    // The engine reads only the physical drive; a read of the volume device
    // would hide an addressing fault.
    if (device == 0 || device->kind != kDriveDevice || position < 0) return 0;
    if (state.readsUntilFailure != 0 && --state.readsUntilFailure == 0) return 0;
    const HostDisk &disk = state.disks[device->disk];
    if (!Attached(disk) || !ImageFileRead(disk.file, position, buffer, size)) return 0;
    state.counters.reads++;
    if (state.watchReads != 0) state.watchReads(position, size);
    return 1;
}

void *BindingAllocate(uint32_t size) {
    HostState &state = State();
    if (state.allocationsUntilFailure != 0 && --state.allocationsUntilFailure == 0) return 0;
    // Not cleared, like the platforms' heaps; a byte pattern makes use of
    // uninitialised memory visible.
    void *block = malloc(size == 0 ? 1 : size);
    if (block != 0) {
        memset(block, 0xA5, size);
        state.counters.liveBlocks++;
    }
    return block;
}

void BindingFree(void *block) {
    if (block == 0) return;
    State().counters.liveBlocks--;
    free(block);
}

void BindingClose(DeviceHandle handle) {
    HostDevice *device = (HostDevice *)handle;
    if (device == 0) return;
    State().counters.openHandles--;
    free(device);
}
