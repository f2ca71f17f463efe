// The start-up layer of the native program: Session Manager starts it with
// the process environment block and nothing else. Builds the arguments from
// the command line, calls the run and ends the process with its result.
#include "native_boot_api.h"

#include "bootsift_run.h"
#include "command_line.h"

namespace {

// The process parameters as NT lays them out, up to the environment (mingw's
// winternl.h names only the image path and the command line).
struct ProcessParameters {
    ULONG maximumLength;
    ULONG length;
    ULONG flags;
    ULONG debugFlags;
    HANDLE consoleHandle;
    ULONG consoleFlags;
    HANDLE standardInput;
    HANDLE standardOutput;
    HANDLE standardError;
    UNICODE_STRING currentDirectoryPath;
    HANDLE currentDirectoryHandle;
    UNICODE_STRING dllPath;
    UNICODE_STRING imagePathName;
    UNICODE_STRING commandLine;
    WCHAR *environment;
};
static_assert(__builtin_offsetof(ProcessParameters, commandLine) == (sizeof(void *) == 8 ? 0x70 : 0x40),
              "RTL_USER_PROCESS_PARAMETERS layout");
static_assert(__builtin_offsetof(ProcessParameters, environment) == (sizeof(void *) == 8 ? 0x80 : 0x48),
              "RTL_USER_PROCESS_PARAMETERS layout");

// The start of the process environment block.
struct ProcessEnvironmentBlock {
    UCHAR flags[4];
    HANDLE mutant;
    PVOID imageBaseAddress;
    PVOID loaderData;
    ProcessParameters *processParameters;
    PVOID subSystemData;
    PVOID processHeap;
};
static_assert(__builtin_offsetof(ProcessEnvironmentBlock, processHeap) == (sizeof(void *) == 8 ? 0x30 : 0x18),
              "PEB layout");

const NTSTATUS kStatusNoMemory = (NTSTATUS)STATUS_NO_MEMORY;

char *noArguments[1] = {0};
char16_t *noEnvironment[1] = {0};

void EndProcess(NTSTATUS status) { NtTerminateProcess((HANDLE)-1, status); }

int HasText(const UNICODE_STRING &text) { return text.Buffer != 0 && text.Length != 0; }

// The arguments of the command line (or, when it is empty, of the image
// path), on the process heap; never freed. 0 with *status on failure.
int BuildArguments(PVOID heap, ProcessParameters *parameters, int *count, char ***vector, NTSTATUS *status) {
    UNICODE_STRING *source = 0;
    if (HasText(parameters->commandLine)) {
        source = &parameters->commandLine;
    } else if (HasText(parameters->imagePathName)) {
        source = &parameters->imagePathName;
    }
    if (source == 0) return 1;
    ANSI_STRING text;
    *status = RtlUnicodeStringToAnsiString(&text, source, TRUE);
    if (!NT_SUCCESS(*status)) return 0;
    uint32_t stringBytes = 0;
    uint32_t arguments = CountArguments(text.Buffer, text.Length, &stringBytes);
    char **list = (char **)RtlAllocateHeap(heap, 0, (arguments + 1) * sizeof(char *));
    char *strings = (char *)RtlAllocateHeap(heap, 0, stringBytes + 1);
    if (list == 0 || strings == 0) {
        RtlFreeAnsiString(&text);
        *status = kStatusNoMemory;
        return 0;
    }
    SplitArguments(text.Buffer, text.Length, list, strings);
    RtlFreeAnsiString(&text);
    *count = (int)arguments;
    *vector = list;
    return 1;
}

// Pointers to the strings of the environment block, ending with null.
char16_t **BuildEnvironment(PVOID heap, WCHAR *block) {
    if (block == 0) return noEnvironment;
    uint32_t count = 0;
    for (const WCHAR *at = block; *at != 0; at++) {
        count++;
        while (*at != 0) at++;
    }
    char16_t **list = (char16_t **)RtlAllocateHeap(heap, 0, (count + 1) * sizeof(char16_t *));
    if (list == 0) return 0;
    uint32_t index = 0;
    for (WCHAR *at = block; *at != 0; at++) {
        list[index++] = (char16_t *)at;
        while (*at != 0) at++;
    }
    list[index] = 0;
    return list;
}

}  // namespace

extern "C" void NTAPI NtProcessStartup(void *peb) {
    ProcessEnvironmentBlock *environmentBlock = (ProcessEnvironmentBlock *)peb;
    int argumentCount = 0;
    char **arguments = noArguments;
    char16_t **environment = noEnvironment;
    uint32_t debugFlag = 0;
    ProcessParameters *parameters = environmentBlock->processParameters;
    if (parameters != 0) {
        parameters = (ProcessParameters *)RtlNormalizeProcessParams((PRTL_USER_PROCESS_PARAMETERS)parameters);
        NTSTATUS status = 0;
        if (!BuildArguments(environmentBlock->processHeap, parameters, &argumentCount, &arguments, &status)) {
            EndProcess(status);
            return;
        }
        environment = BuildEnvironment(environmentBlock->processHeap, parameters->environment);
        if (environment == 0) {
            EndProcess(kStatusNoMemory);
            return;
        }
        debugFlag = parameters->debugFlags;
    }
    EndProcess(BootsiftMain(argumentCount, arguments, environment, debugFlag));
}
