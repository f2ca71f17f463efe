// Platform answers of the test-only Quillet variant (never shipped): its
// volumes are disk images on the emulated SSD of tests/doubles/, which
// this variant links in place of the engine's Win32 binding. Both come from the
// environment (a volume is NTFS when its boot sector's OEM id says so):
//
//   QUILLET_EMULATED_VOLUMES  "D=Z:/path/disk.img[,option...];E=..."
//     offset=BYTES  where the volume starts in the image (default 0)
//     bytes=N       the size the volume reports (default: image size - offset)
//     lockfails openfails extentsfail   the volume refuses that step
//   QUILLET_EMULATED_DRIVE    "[option,...]" for the one emulated drive
//     model=TEXT    IDENTIFY model (no commas)
//     notrim        no TRIM support
//     pauseat=N     before the N-th TRIM command, signal the event
//                   QuilletTestTrimPaused and wait for QuilletTestTrimResume
//     threadfails=N the N-th worker thread cannot be started
//     redirectfails=N  the N-th switch of file system redirection fails
#include <windows.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "emulated_ssd.h"
#include "image_file.h"
#include "platform.h"

namespace {

struct VolumeConfig {
    int present;
    char path[MAX_PATH];
    int64_t offset;
    int64_t bytes;  // -1: from the image
};

struct DriveConfig {
    uint32_t pauseAt;
    uint32_t threadFailsAt;
    uint32_t redirectFailsAt;
};

VolumeConfig volumes[26];
DriveConfig drive;
uint32_t threadsStarted;
uint32_t redirectionSwitches;
HANDLE pausedEvent;
HANDLE resumeEvent;

int StartsWith(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Splits `text` at `separator` in place; returns the next piece or null.
char *NextPiece(char **cursor, char separator) {
    char *piece = *cursor;
    if (piece == 0 || *piece == 0) return 0;
    char *end = strchr(piece, separator);
    if (end != 0) {
        *end = 0;
        *cursor = end + 1;
    } else {
        *cursor = 0;
    }
    return piece;
}

int Fail(const char *what, const char *detail) {
    fprintf(stderr, "Quillet-emulated: %s: %s\n", what, detail);
    return 0;
}

int ConfigureVolume(char *setting, uint32_t diskNumber) {
    char *cursor = setting;
    char *head = NextPiece(&cursor, ',');
    if (head == 0 || strlen(head) < 3 || head[1] != '=') return Fail("bad volume", setting);
    char letter = (char)toupper((unsigned char)head[0]);
    if (letter < 'A' || letter > 'Z') return Fail("bad drive letter", head);
    VolumeConfig &config = volumes[letter - 'A'];
    memset(&config, 0, sizeof config);
    config.present = 1;
    config.bytes = -1;
    snprintf(config.path, sizeof config.path, "%s", head + 2);
    int lockFails = 0, openFails = 0, extentsFail = 0;
    for (char *option; (option = NextPiece(&cursor, ',')) != 0;) {
        if (StartsWith(option, "offset=")) config.offset = _atoi64(option + 7);
        else if (StartsWith(option, "bytes=")) config.bytes = _atoi64(option + 6);
        else if (strcmp(option, "lockfails") == 0) lockFails = 1;
        else if (strcmp(option, "openfails") == 0) openFails = 1;
        else if (strcmp(option, "extentsfail") == 0) extentsFail = 1;
        else return Fail("unknown volume option", option);
    }
    if (!HostAttachDisk(diskNumber, config.path, 1)) return Fail("cannot open image", config.path);
    EmulatedVolume *volume = HostAttachVolume(letter, diskNumber, config.offset);
    volume->lockFails = lockFails;
    volume->openFails = openFails;
    volume->extentsFail = extentsFail;
    return 1;
}

int ConfigureDrive(char *setting) {
    EmulatedDrive *emulated = HostDrive();
    char *cursor = setting;
    for (char *option; (option = NextPiece(&cursor, ',')) != 0;) {
        if (StartsWith(option, "model=")) snprintf(emulated->model, sizeof emulated->model, "%s", option + 6);
        else if (strcmp(option, "notrim") == 0) emulated->trimSupported = 0;
        else if (StartsWith(option, "pauseat=")) drive.pauseAt = (uint32_t)atoi(option + 8);
        else if (StartsWith(option, "threadfails=")) drive.threadFailsAt = (uint32_t)atoi(option + 12);
        else if (StartsWith(option, "redirectfails=")) drive.redirectFailsAt = (uint32_t)atoi(option + 14);
        else return Fail("unknown drive option", option);
    }
    return 1;
}

void PauseAtTrim(uint32_t commandNumber) {
    if (drive.pauseAt != 0 && commandNumber == drive.pauseAt) {
        SetEvent(pausedEvent);
        WaitForSingleObject(resumeEvent, 120000);
    }
}

const VolumeConfig *VolumeOf(const char *rootPath) {
    char letter = (char)toupper((unsigned char)rootPath[0]);
    if (letter < 'A' || letter > 'Z' || !volumes[letter - 'A'].present) return 0;
    return &volumes[letter - 'A'];
}

}  // namespace

int PreparePlatform() {
    HostReset();
    pausedEvent = CreateEventA(NULL, TRUE, FALSE, "QuilletTestTrimPaused");
    resumeEvent = CreateEventA(NULL, TRUE, FALSE, "QuilletTestTrimResume");
    HostDrive()->trimArriving = PauseAtTrim;
    static char volumeSettings[4096];
    static char driveSettings[512];
    if (GetEnvironmentVariableA("QUILLET_EMULATED_DRIVE", driveSettings, sizeof driveSettings) >= sizeof driveSettings) return 0;
    if (!ConfigureDrive(driveSettings)) return 0;
    DWORD length = GetEnvironmentVariableA("QUILLET_EMULATED_VOLUMES", volumeSettings, sizeof volumeSettings);
    if (length == 0 || length >= sizeof volumeSettings) return Fail("QUILLET_EMULATED_VOLUMES", "missing");
    char *cursor = volumeSettings;
    uint32_t diskNumber = 0;
    for (char *setting; (setting = NextPiece(&cursor, ';')) != 0; diskNumber++) {
        if (!ConfigureVolume(setting, diskNumber)) return 0;
    }
    return 1;
}

int QueryFileSystemName(const char *rootPath, char *name, uint32_t nameSize) {
    const VolumeConfig *config = VolumeOf(rootPath);
    memset(name, 0, nameSize);
    // On Windows this query raises the system's "no disk" box for an empty
    // drive unless the process turned such boxes off first: the variant
    // lists nothing then, which the tests notice.
    UINT errorMode = SetErrorMode(0);
    SetErrorMode(errorMode);
    const UINT quiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    if ((errorMode & quiet) != quiet) return Fail("volume queried before the error mode was set", rootPath);
    if (config == 0) return 0;
    char oemId[8] = {0};
    ImageFile image = ImageFileOpen(config->path, 0);
    if (image == kNoImageFile) return 0;
    int read = ImageFileRead(image, config->offset + 3, oemId, sizeof oemId);
    ImageFileClose(image);
    if (!read) return 0;
    snprintf(name, nameSize, "%s", memcmp(oemId, "NTFS    ", 8) == 0 ? "NTFS" : "FAT");
    return 1;
}

int QueryVolumeTotalBytes(const char *rootPath, uint64_t *totalBytes) {
    const VolumeConfig *config = VolumeOf(rootPath);
    if (config == 0) return 0;
    if (config->bytes >= 0) {
        *totalBytes = (uint64_t)config->bytes;
        return 1;
    }
    ImageFile image = ImageFileOpen(config->path, 0);
    if (image == kNoImageFile) return 0;
    int64_t size = ImageFileSize(image);
    ImageFileClose(image);
    if (size < config->offset) return 0;
    *totalBytes = (uint64_t)(size - config->offset);
    return 1;
}

int QueryDriveIdentify(char driveLetter, uint8_t *identify) {
    char rootPath[] = {driveLetter, ':', '\\', 0};
    if (VolumeOf(rootPath) == 0) return 0;
    memset(identify, 0, 512);
    const char *model = HostDrive()->model;
    size_t length = strlen(model);
    // ATA strings: two characters a word, the first in the high byte.
    for (int i = 0; i < 40; i++) identify[54 + (i ^ 1)] = (uint8_t)(i < (int)length ? model[i] : ' ');
    return 1;
}

int StartWorkerThread(WorkerFunction worker, void *parameter) {
    threadsStarted++;
    if (drive.threadFailsAt != 0 && threadsStarted == drive.threadFailsAt) return 0;
    HANDLE thread = CreateThread(NULL, 0, worker, parameter, 0, NULL);
    if (thread == NULL) return 0;
    CloseHandle(thread);
    return 1;
}

// The system's switch, unless this is the switch that is set to fail.
int DisableFileRedirection(void **oldValue) {
    redirectionSwitches++;
    if (drive.redirectFailsAt != 0 && redirectionSwitches == drive.redirectFailsAt) return 0;
    typedef BOOL(WINAPI * DisableFunction)(PVOID *);
    DisableFunction disable =
        (DisableFunction)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "Wow64DisableWow64FsRedirection");
    return disable != NULL && disable(oldValue);
}

void RevertFileRedirection(void *oldValue) {
    typedef BOOL(WINAPI * RevertFunction)(PVOID);
    RevertFunction revert =
        (RevertFunction)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "Wow64RevertWow64FsRedirection");
    if (revert != NULL) revert(oldValue);
}
