// Trimming at the next start of Windows: the boot-time program that
// matches the running Windows goes into the system directory, and Session
// Manager's BootExecute list gets its entry.
#include "boot_schedule.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "boot_execute_list.h"
#include "boot_execute_value.h"
#include "platform.h"
#include "resource_ids.h"
#include "texts.h"

typedef BOOL(WINAPI *IsWow64ProcessFunction)(HANDLE, PBOOL);

static const WCHAR kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
static const WCHAR kBootExecute[] = L"BootExecute";
static const char kTargetPath[] = "%systemroot%\\system32\\bootsift.exe";

// No real list comes near this; a bigger one is left alone.
enum { kMaxBootExecuteBytes = 65536 };

// 1 for a 32-bit process on 64-bit Windows. Windows without IsWow64Process
// is 32-bit Windows.
static int RunningUnderWow64() {
    IsWow64ProcessFunction isWow64Process =
        (IsWow64ProcessFunction)(void *)GetProcAddress(LoadLibraryA("Kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    if (isWow64Process != NULL) isWow64Process(GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

// Redirection sends a 32-bit program's "system32" to the 32-bit system
// directory; the x64 build belongs in the native one, where Session
// Manager starts programs. The switch acts on this thread only.
struct Redirection {
    void *oldValue;
    int disabled;
};

// 1 when "system32" now means the native system directory.
static int TurnRedirectionOff(Redirection *redirection) {
    redirection->disabled = 0;
    if (!RunningUnderWow64()) return 1;
    redirection->disabled = DisableFileRedirection(&redirection->oldValue);
    return redirection->disabled;
}

static void TurnRedirectionBack(Redirection *redirection) {
    if (redirection->disabled) RevertFileRedirection(redirection->oldValue);
    redirection->disabled = 0;
}

static int ShowCannotCreate(const DesktopOwner *owner, const char *path) {
    char text[512];
    snprintf(text, sizeof text, kFormatCannotCreateFile, path);
    ShowError(owner, text);
    return 0;
}

int InstallBootProgram(const DesktopOwner *owner) {
    Redirection redirection = {NULL, 0};

    int id = RunningUnderWow64() ? IDR_BOOT_PROGRAM_X64 : IDR_BOOT_PROGRAM_X86;
    HRSRC resource = FindResourceA(owner->instance, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(RT_BOOT_PROGRAM));
    if (resource == NULL) return 0;
    HGLOBAL loaded = LoadResource(owner->instance, resource);
    if (loaded == NULL) return 0;
    const void *program = LockResource(loaded);
    DWORD programSize = SizeofResource(owner->instance, resource);
    if (program == NULL || programSize == 0) return 0;

    // Without the switch the x64 build would land in the 32-bit system
    // directory, where Session Manager never looks: count that as a failed
    // create rather than schedule a trim that cannot run.
    int native = TurnRedirectionOff(&redirection);
    char path[260];
    DWORD expanded = ExpandEnvironmentStringsA(kTargetPath, path, sizeof path);
    HANDLE file = INVALID_HANDLE_VALUE;
    if (expanded == 0 || expanded > sizeof path) {
        path[0] = 0;
    } else if (native) {
        file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    }
    TurnRedirectionBack(&redirection);
    if (file == INVALID_HANDLE_VALUE) return ShowCannotCreate(owner, path);

    DWORD written = 0;
    BOOL wrote = WriteFile(file, program, programSize, &written, NULL);
    BOOL closed = CloseHandle(file);
    if (wrote && written == programSize && closed) return 1;

    // A partial program must not stay where Session Manager would start it.
    // Without the switch the same path names the 32-bit system directory,
    // where a file of that name is not ours to delete: the partial one
    // stays then, and no entry is written for it.
    if (TurnRedirectionOff(&redirection)) DeleteFileA(path);
    TurnRedirectionBack(&redirection);
    return ShowCannotCreate(owner, path);
}

// Reads the current list, in the registry's UTF-16 units, into a buffer the
// caller frees. A missing value, or one that is not a list, counts as
// missing (the default list is written then). A list that is there but
// cannot be read whole (beyond any real list, an odd number of bytes, no
// memory, changed between the two reads) is left alone: writing over it
// would lose or alter other software's entries.
static BootExecuteRead ReadBootExecute(HKEY key, char16_t **value, uint32_t *units) {
    DWORD type = 0;
    DWORD bytes = 0;
    *value = 0;
    *units = 0;
    LONG queried = RegQueryValueExW(key, kBootExecute, NULL, &type, NULL, &bytes);
    if (queried == ERROR_FILE_NOT_FOUND) return kBootExecuteMissing;
    if (queried != ERROR_SUCCESS) return kBootExecuteUnreadable;
    if (type != REG_MULTI_SZ) return kBootExecuteMissing;
    if (bytes > kMaxBootExecuteBytes || bytes % 2 != 0) return kBootExecuteUnreadable;
    char16_t *buffer = (char16_t *)malloc(bytes + 4);
    if (buffer == 0) return kBootExecuteUnreadable;
    DWORD read = bytes;
    if (RegQueryValueExW(key, kBootExecute, NULL, &type, (BYTE *)buffer, &read) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || read > bytes || read % 2 != 0) {
        free(buffer);
        return kBootExecuteUnreadable;
    }
    *value = buffer;
    *units = read / 2;
    return kBootExecuteRead;
}

int ScheduleBootTrim(char driveLetter) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 0;
    char16_t *current = 0;
    uint32_t currentUnits = 0;
    int stored = 0;
    if (ReadBootExecute(key, &current, &currentUnits) != kBootExecuteUnreadable) {
        uint32_t capacity = currentUnits + kDefaultScheduleValueUnits;
        char16_t *value = (char16_t *)malloc(capacity * sizeof(char16_t));
        uint32_t valueUnits = 0;
        // A list that cannot be rebuilt whole is left as it is.
        if (value != 0 && BuildScheduleValue(current, currentUnits, driveLetter, value, capacity, &valueUnits)) {
            stored = RegSetValueExW(key, kBootExecute, 0, REG_MULTI_SZ, (const BYTE *)value,
                                    valueUnits * sizeof(char16_t)) == ERROR_SUCCESS;
        }
        free(value);
    }
    free(current);
    RegCloseKey(key);
    return stored;
}
