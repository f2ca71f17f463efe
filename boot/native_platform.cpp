// boot_platform.h on ntdll: the boot screen, the keyboard class device, the
// registry and ntdll's own swprintf. The private heap is the one the
// engine's native binding allocates from.
#include "native_boot_api.h"

#include "binding.h"
#include "boot_platform.h"

// ntdll's swprintf is the old form without a buffer size; mingw's headers
// declare only the standard one, so it is declared here and imported through
// the ntdll_crt import library.
extern "C" int __cdecl swprintf(wchar_t *buffer, const wchar_t *format, ...);

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

namespace {

const NTSTATUS kStatusBufferOverflow = (NTSTATUS)0x80000005;
const NTSTATUS kStatusBufferTooSmall = (NTSTATUS)0xC0000023;
const NTSTATUS kStatusObjectNameNotFound = (NTSTATUS)0xC0000034;

// One record of the keyboard class device; its fields are never looked at.
struct KeyboardInputData {
    USHORT unitId;
    USHORT makeCode;
    USHORT flags;
    USHORT reserved;
    ULONG extraInformation;
};
static_assert(sizeof(KeyboardInputData) == 12, "KEYBOARD_INPUT_DATA is 12 bytes");

wchar_t *Wide(char16_t *text) { return (wchar_t *)text; }
const wchar_t *Wide(const char16_t *text) { return (const wchar_t *)text; }

// Opens the keyboard, creates the event and starts the read; 1 when the
// read is pending, with both handles set. Each failure shows its text.
int StartKeyRead(HANDLE *keyboard, HANDLE *event, IO_STATUS_BLOCK *ioStatus, KeyboardInputData *data) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&name, L"\\Device\\KeyboardClass0");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    // No synchronous-I/O option: the read must pend so that it can time out.
    NTSTATUS status = NtCreateFile(keyboard, GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes,
                                   ioStatus, NULL, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   FILE_OPEN, FILE_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) {
        *keyboard = 0;
        DisplayText(u"open keyboard failed\n");
        return 0;
    }
    RtlInitUnicodeString(&name, L"\\Device\\KeyboardEvent_R0");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtCreateEvent(event, 0x001F01FF, &attributes, SynchronizationEvent, FALSE);
    if (!NT_SUCCESS(status)) {
        *event = 0;
        DisplayText(u"create keybd event failed\n");
        return 0;
    }
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    status = ZwReadFile(*keyboard, *event, NULL, NULL, ioStatus, data, sizeof *data, &offset, NULL);
    if (status != (NTSTATUS)STATUS_PENDING) {
        char16_t line[kTextBufferUnits];
        // The 32-bit status, widened to pointer width without sign extension.
        swprintf(Wide(line), L"read key failed %p\n", (void *)(ULONG_PTR)(ULONG)status);
        DisplayText(line);
        return 0;
    }
    return 1;
}

}  // namespace

void DisplayText(const char16_t *text) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, Wide(text));
    NtDisplayString(&string);
}

int WaitForKey(int64_t *timeout) {
    HANDLE keyboard = 0;
    HANDLE event = 0;
    IO_STATUS_BLOCK ioStatus;
    KeyboardInputData data;
    int result = 0;
    if (StartKeyRead(&keyboard, &event, &ioStatus, &data)) {
        LARGE_INTEGER wait;
        wait.QuadPart = *timeout;
        NTSTATUS status = ZwWaitForSingleObject(event, FALSE, &wait);
        if (status == (NTSTATUS)STATUS_WAIT_0) {
            result = 1;
        } else {
            // The read writes into this frame: it must be over before the
            // frame is left, whatever ended the wait.
            NtCancelIoFile(keyboard, &ioStatus);
        }
    }
    if (event != 0) ZwClose(event);
    if (keyboard != 0) ZwClose(keyboard);
    return result;
}

void FormatNumber(char16_t *buffer, const char16_t *format, int32_t number) {
    swprintf(Wide(buffer), Wide(format), (int)number);
}

void SleepFor(int64_t *interval) {
    LARGE_INTEGER delay;
    delay.QuadPart = *interval;
    NtDelayExecution(FALSE, &delay);
}

RegistryKey OpenSessionManagerKey() {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&name, L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Session Manager");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE key = 0;
    // Query as well as set: the entries of other software are read and kept.
    if (!NT_SUCCESS(NtOpenKey(&key, KEY_QUERY_VALUE | KEY_SET_VALUE, &attributes))) return 0;
    return key;
}

BootExecuteRead ReadBootExecute(RegistryKey key, char16_t **value, uint32_t *bytes) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"BootExecute");
    KEY_VALUE_PARTIAL_INFORMATION probe;
    ULONG needed = 0;
    NTSTATUS status = NtQueryValueKey(key, &name, KeyValuePartialInformation, &probe, sizeof probe, &needed);
    if (status == kStatusObjectNameNotFound) return kBootExecuteMissing;
    // The buffer is sized from the query, however long the list is; should
    // the value grow between two queries, ask again a few times.
    for (int attempt = 0; attempt < 4; attempt++) {
        if (NT_SUCCESS(status) || status == kStatusBufferOverflow || status == kStatusBufferTooSmall) {
            if (needed < sizeof probe) needed = sizeof probe;
        } else {
            return kBootExecuteUnreadable;
        }
        KEY_VALUE_PARTIAL_INFORMATION *information = (KEY_VALUE_PARTIAL_INFORMATION *)AllocateMemory(needed);
        if (information == 0) return kBootExecuteUnreadable;
        ULONG size = needed;
        status = NtQueryValueKey(key, &name, KeyValuePartialInformation, information, size, &needed);
        if (NT_SUCCESS(status)) {
            ULONG dataOffset = (ULONG)__builtin_offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            if (information->Type != REG_MULTI_SZ) {
                FreeMemory(information);
                return kBootExecuteMissing;
            }
            if (information->DataLength > size - dataOffset) {
                FreeMemory(information);
                return kBootExecuteUnreadable;
            }
            *bytes = information->DataLength;
            __builtin_memmove(information, information->Data, information->DataLength);
            *value = (char16_t *)information;
            return kBootExecuteRead;
        }
        FreeMemory(information);
        if (status == kStatusObjectNameNotFound) return kBootExecuteMissing;
    }
    return kBootExecuteUnreadable;
}

void WriteBootExecute(RegistryKey key, const char16_t *value, uint32_t bytes) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"BootExecute");
    NtSetValueKey(key, &name, 0, REG_MULTI_SZ, (PVOID)value, bytes);
}

void CloseRegistryKey(RegistryKey key) { NtClose(key); }

void *AllocateMemory(uint32_t size) { return BindingAllocate(size); }

void FreeMemory(void *block) { BindingFree(block); }
