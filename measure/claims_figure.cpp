// What the bitmap check costs bootsift: the native build of the engine
// (ntdll alone, bootsift's flags) checks a crafted $MFT against an
// all-used bitmap, once through the native binding's reads of a file, as
// bootsift reads its drive, and once from memory, as the host benchmark
// does. A measurement program, not a test of speed.
//
//   claims_figure RECORDS PATH [REPEATS] [lie]
//
// RECORDS MFT records of 1 KiB (a multiple of 4, at most 1048576) are
// written to PATH (a Windows path, overwritten and left behind); each
// check runs REPEATS times (default 1) and shows its wall and CPU time.
// "lie" clears one claimed cluster's bit first: the check must find it.
// Exit status 0 when no check found a contradiction, 9 when one did, 1
// when the run could not be made, 2 on bad arguments.
#include <windows.h>
#include <winternl.h>

#include "binding.h"
#include "crafted_mft.h"
#include "ntfs_reader.h"
#include "run_texts.h"
#include "trim_engine.h"
#include "windows_device.h"

extern "C" {
NTSYSAPI NTSTATUS NTAPI NtTerminateProcess(HANDLE process, NTSTATUS status);
NTSYSAPI NTSTATUS NTAPI NtDisplayString(PUNICODE_STRING text);
NTSYSAPI NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apcContext,
                                    PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                                    PLARGE_INTEGER byteOffset, PULONG key);
NTSYSAPI NTSTATUS NTAPI NtQueryPerformanceCounter(PLARGE_INTEGER counter, PLARGE_INTEGER frequency);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE handle);
NTSYSAPI PRTL_USER_PROCESS_PARAMETERS NTAPI RtlNormalizeProcessParams(PRTL_USER_PROCESS_PARAMETERS parameters);
}

namespace {

enum { kExitSound = 0, kExitFailed = 1, kExitUsage = 2, kExitContradiction = 9 };
const uint32_t kMaxRecords = 1u << 20;
const uint32_t kPieceRecords = 1024;  // 1 MiB written at a time
const uint32_t kMaxPath = 260;
const uint32_t kLineSize = 400;

void Show(const char *text) {
    WCHAR wide[kLineSize];
    USHORT length = 0;
    for (; text[length] != 0 && length + 1u < kLineSize; length++) wide[length] = (WCHAR)(uint8_t)text[length];
    wide[length] = 0;
    UNICODE_STRING string = {(USHORT)(length * 2), (USHORT)(length * 2 + 2), wide};
    NtDisplayString(&string);
}

// The arguments after the program's name: blank-separated, a quoted one
// taken whole (Wine quotes the program's path).
struct Arguments {
    const WCHAR *text[5];
    uint32_t length[5];
    uint32_t count;
};

void SplitCommandLine(const UNICODE_STRING &line, Arguments *arguments) {
    const WCHAR *at = line.Buffer, *end = line.Buffer + line.Length / 2;
    uint32_t seen = 0;
    arguments->count = 0;
    while (at < end) {
        while (at < end && (*at == ' ' || *at == '\t')) at++;
        if (at == end) break;
        const WCHAR stop = *at == '"' ? '"' : ' ';
        if (stop == '"') at++;
        const WCHAR *start = at;
        while (at < end && *at != stop && !(stop == ' ' && *at == '\t')) at++;
        if (seen++ > 0 && arguments->count < 5) {
            arguments->text[arguments->count] = start;
            arguments->length[arguments->count++] = (uint32_t)(at - start);
        }
        if (at < end) at++;
    }
}

int ParseCount(const WCHAR *text, uint32_t length, uint32_t limit, uint32_t *value) {
    uint64_t number = 0;
    if (length == 0 || length > 10) return 0;
    for (uint32_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return 0;
        number = number * 10 + (uint32_t)(text[i] - '0');
    }
    if (number > limit) return 0;
    *value = (uint32_t)number;
    return 1;
}

int IsWord(const WCHAR *text, uint32_t length, const char *word) {
    uint32_t i = 0;
    for (; i < length && word[i] != 0; i++) {
        if (text[i] != (WCHAR)word[i]) return 0;
    }
    return i == length && word[i] == 0;
}

// "\??\" and the path, as the native binding names files; printable ASCII
// only, since the binding takes an 8-bit name.
int BuildNtName(const WCHAR *path, uint32_t length, char *name) {
    static const char kPrefix[] = "\\??\\";
    if (length == 0 || length + sizeof kPrefix > kMaxPath) return 0;
    uint32_t at = 0;
    for (; kPrefix[at] != 0; at++) name[at] = kPrefix[at];
    for (uint32_t i = 0; i < length; i++) {
        if (path[i] < 0x20 || path[i] > 0x7E) return 0;
        name[at++] = (char)path[i];
    }
    name[at] = 0;
    return 1;
}

// Writes the crafted $MFT where the layout puts it; the clusters before it
// stay a hole, since the check reads nothing else.
int WriteCraftedMft(const char *name, const CraftedMftLayout &layout) {
    WCHAR wide[kMaxPath];
    USHORT length = 0;
    for (; name[length] != 0; length++) wide[length] = (WCHAR)name[length];
    UNICODE_STRING path = {(USHORT)(length * 2), (USHORT)(length * 2), wide};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    HANDLE file = 0;
    const ULONG kOverwriteIf = 5, kSynchronousNonDirectory = 0x20 | 0x40;
    if (!NT_SUCCESS(NtCreateFile(&file, GENERIC_WRITE | SYNCHRONIZE, &attributes, &ioStatus, NULL,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, kOverwriteIf, kSynchronousNonDirectory,
                                 NULL, 0))) {
        return 0;
    }
    uint8_t *piece = (uint8_t *)BindingAllocate(kPieceRecords * kCraftedMftRecordSize);
    int written = piece != 0;
    for (uint32_t first = 0; written && first < layout.records; first += kPieceRecords) {
        uint32_t count = layout.records - first < kPieceRecords ? layout.records - first : kPieceRecords;
        CraftMftRecords(&layout, first, count, piece);
        LARGE_INTEGER offset;
        offset.QuadPart = (int64_t)(layout.mftCluster * kCraftedMftClusterSize) +
                          (int64_t)first * kCraftedMftRecordSize;
        written = NT_SUCCESS(NtWriteFile(file, NULL, NULL, NULL, &ioStatus, piece, count * kCraftedMftRecordSize,
                                         &offset, NULL)) &&
                  ioStatus.Information == count * kCraftedMftRecordSize;
    }
    if (piece != 0) BindingFree(piece);
    ZwClose(file);
    return written;
}

struct Clock {
    int64_t counter;
    int64_t cpu;  // 100 ns units, user and kernel
};

void ReadClock(Clock *clock) {
    LARGE_INTEGER counter, frequency;
    NtQueryPerformanceCounter(&counter, &frequency);
    clock->counter = counter.QuadPart;
    KERNEL_USER_TIMES times;
    clock->cpu = NT_SUCCESS(NtQueryInformationProcess((HANDLE)-1, ProcessTimes, &times, sizeof times, 0))
                     ? times.KernelTime.QuadPart + times.UserTime.QuadPart
                     : 0;
}

void AppendTenths(char *line, uint32_t *length, uint64_t tenths, const char *unit) {
    AppendRunText(line, kLineSize, length, "", 1, tenths / 10);
    AppendRunText(line, kLineSize, length, ".", 1, tenths % 10);
    AppendRunText(line, kLineSize, length, unit);
}

// One line: what the check found and, when it found nothing, its times.
int ShowCheck(const char *what, int sound, const ClaimFinding &finding, const Clock &start) {
    Clock end;
    ReadClock(&end);
    LARGE_INTEGER counter, frequency;
    NtQueryPerformanceCounter(&counter, &frequency);
    char line[kLineSize];
    uint32_t length = 0;
    AppendRunText(line, kLineSize, &length, what);
    if (sound) {
        uint64_t wallTenths = (uint64_t)(end.counter - start.counter) * 10000 / (uint64_t)frequency.QuadPart;
        AppendRunText(line, kLineSize, &length, "no contradiction, ");
        AppendTenths(line, &length, wallTenths, " ms wall, ");
        AppendTenths(line, &length, (uint64_t)(end.cpu - start.cpu) / 1000, " ms CPU\n");
    } else {
        char reason[kLineSize - 40];
        FormatClaimFinding(reason, sizeof reason, &finding);
        AppendRunText(line, kLineSize, &length, reason);
        AppendRunText(line, kLineSize, &length, "\n");
    }
    Show(line);
    return sound;
}

// The claims check over a reader of the crafted geometry, timed.
int CheckThrough(const char *label, NtfsReadFunction read, void *context, const CraftedMftLayout &layout,
                 const uint8_t *bitmap) {
    NtfsReader reader;
    ClaimFinding finding = {};
    Clock start;
    ReadClock(&start);
    int sound = OpenNtfsReader(&reader, read, context, 0, kCraftedMftClusterSize, layout.clusters,
                               kCraftedMftRecordSize, layout.mftCluster) &&
                CheckClusterClaims(&reader, bitmap, layout.clusters, &finding);
    ReleaseNtfsReader(&reader);
    return ShowCheck(label, sound, finding, start);
}

int ReadThroughBinding(void *context, int64_t position, void *buffer, uint32_t size) {
    return BindingReadAt((DeviceHandle)context, position, buffer, size);
}

// bootsift's path: the claims check reading through the native binding, as
// the volume's reader does after an open, over the crafted geometry.
int CheckThroughFile(const char *name, const CraftedMftLayout &layout, uint8_t *bitmap) {
    DeviceHandle drive = WindowsOpenDevice(name);
    if (drive == 0) {
        Show("Through the file: cannot open it\n");
        return -1;
    }
    int sound = CheckThrough("Through the file: ", ReadThroughBinding, drive, layout, bitmap);
    BindingClose(drive);
    return sound;
}

struct MemoryMft {
    const uint8_t *mft;
    uint64_t size;
    int64_t at;
};

// Copies by machine words, not through ntdll's memcpy: under Wine 8 that
// copy added 0.5 to 0.7 s of CPU per GiB to the check's 0.12 s. The
// engine's reads (pieces of 1 MiB, whole records) are multiples of 8 bytes.
__attribute__((optimize("no-tree-loop-distribute-patterns")))
int ReadMemory(void *context, int64_t position, void *buffer, uint32_t size) {
    const MemoryMft *memory = (const MemoryMft *)context;
    if (position < memory->at || (uint64_t)(position - memory->at) + size > memory->size || size % 8 != 0) return 0;
    const uint8_t *from = memory->mft + (position - memory->at);
    uint8_t *to = (uint8_t *)buffer;
    for (uint32_t at = 0; at < size; at += 8) {
        uint64_t word;
        __builtin_memcpy(&word, from + at, 8);
        __builtin_memcpy(to + at, &word, 8);
    }
    return 1;
}

int CheckInMemory(const MemoryMft &memory, const CraftedMftLayout &layout, const uint8_t *bitmap) {
    return CheckThrough("In memory: ", ReadMemory, (void *)&memory, layout, bitmap);
}

int Run(const Arguments &arguments) {
    uint32_t records = 0, repeats = 1;
    char name[kMaxPath];
    int lie = arguments.count >= 3 && IsWord(arguments.text[arguments.count - 1],
                                             arguments.length[arguments.count - 1], "lie");
    uint32_t counted = arguments.count - (lie ? 1 : 0);
    if (counted < 2 || counted > 3 || !ParseCount(arguments.text[0], arguments.length[0], kMaxRecords, &records) ||
        records < 4 || records % 4 != 0 || !BuildNtName(arguments.text[1], arguments.length[1], name) ||
        (counted == 3 && (!ParseCount(arguments.text[2], arguments.length[2], 100, &repeats) || repeats == 0))) {
        Show("Usage: claims_figure RECORDS PATH [REPEATS] [lie]\n");
        return kExitUsage;
    }
    CraftedMftLayout layout;
    PlanCraftedMft(records, &layout);
    if (!WriteCraftedMft(name, layout)) {
        Show("Cannot write the crafted $MFT\n");
        return kExitFailed;
    }
    uint8_t *bitmap = (uint8_t *)BindingAllocate((uint32_t)layout.bitmapBytes);
    if (bitmap == 0) {
        Show("No memory for the bitmap\n");
        return kExitFailed;
    }
    memset(bitmap, 0xFF, (uint32_t)layout.bitmapBytes);
    // The last cluster of a file half-way through $MFT.
    const uint64_t liar = CraftedRecordCluster(records / 2) + 1;
    if (lie) bitmap[liar / 8] &= (uint8_t) ~(1u << (liar % 8));

    char line[kLineSize];
    uint32_t length = 0;
    AppendRunText(line, kLineSize, &length, "", 1, records);
    AppendRunText(line, kLineSize, &length, " MFT records of 1 KiB, ", 1, (uint64_t)records * 1024 >> 20);
    AppendRunText(line, kLineSize, &length, " MiB, written to ");
    AppendRunText(line, kLineSize, &length, name);
    AppendRunText(line, kLineSize, &length, lie ? "; one claimed cluster marked free\n" : "\n");
    Show(line);

    // The whole $MFT in memory too; a 32-bit process may not find room.
    MemoryMft memory = {0, (uint64_t)records * kCraftedMftRecordSize,
                        (int64_t)(layout.mftCluster * kCraftedMftClusterSize)};
    uint8_t *mft = (uint8_t *)BindingAllocate((uint32_t)memory.size);
    if (mft != 0) CraftMftRecords(&layout, 0, records, mft);
    memory.mft = mft;

    int status = kExitSound;
    for (uint32_t run = 0; run < repeats && status == kExitSound; run++) {
        int sound = CheckThroughFile(name, layout, bitmap);
        if (sound < 0) status = kExitFailed;
        if (sound == 0) status = kExitContradiction;
        if (mft == 0) {
            Show("In memory: no room for the whole $MFT\n");
        } else if (!CheckInMemory(memory, layout, bitmap)) {
            status = kExitContradiction;
        }
    }
    if (mft != 0) BindingFree(mft);
    BindingFree(bitmap);
    return status;
}

}  // namespace

extern "C" void NTAPI ClaimsFigureStart(void *peb) {
    Arguments arguments = {};
    PRTL_USER_PROCESS_PARAMETERS parameters = ((PEB *)peb)->ProcessParameters;
    if (parameters != 0) {
        parameters = RtlNormalizeProcessParams(parameters);
        SplitCommandLine(parameters->CommandLine, &arguments);
    }
    NtTerminateProcess((HANDLE)-1, Run(arguments));
}
