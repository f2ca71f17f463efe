#include "heap_free_log.h"

#include <windows.h>
#include <string.h>

namespace {

typedef BOOL(WINAPI *HeapFreeFunction)(HANDLE, DWORD, LPVOID);

HeapFreeFunction realHeapFree;
const void *freedBlocks[4096];
int freedCount;

BOOL WINAPI RecordingHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    if (block && freedCount < (int)(sizeof freedBlocks / sizeof freedBlocks[0])) freedBlocks[freedCount++] = block;
    return realHeapFree(heap, flags, block);
}

}  // namespace

int RecordHeapFrees(void) {
    BYTE *base = (BYTE *)GetModuleHandleA(0);
    IMAGE_NT_HEADERS *headers = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    realHeapFree = (HeapFreeFunction)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"), "HeapFree");
    if (!imports.VirtualAddress || !realHeapFree) return 0;
    for (IMAGE_IMPORT_DESCRIPTOR *module = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress);
         module->Name; module++) {
        if (lstrcmpiA((const char *)(base + module->Name), "kernel32.dll") != 0) continue;
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(base + module->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(base + module->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            IMAGE_IMPORT_BY_NAME *name = (IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
            if (strcmp((const char *)name->Name, "HeapFree") != 0) continue;
            DWORD oldProtection;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &oldProtection);
            slots->u1.Function = (ULONG_PTR)RecordingHeapFree;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, oldProtection, &oldProtection);
            return 1;
        }
    }
    return 0;
}

void ForgetHeapFrees(void) { freedCount = 0; }

int TimesFreed(const void *address) {
    int times = 0;
    for (int i = 0; i < freedCount; i++) times += freedBlocks[i] == address;
    return times;
}
