#include "wine_check.h"

#include <windows.h>

int checkFailures;

void BeginGroup(const char *name) { printf("-- %s\n", name); }

namespace {

LONG WINAPI ReportCrash(EXCEPTION_POINTERS *exception) {
    printf("crashed: exception 0x%08lx at %p\n", (unsigned long)exception->ExceptionRecord->ExceptionCode,
           exception->ExceptionRecord->ExceptionAddress);
    fflush(stdout);
    ExitProcess(99);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void ExitOnCrash(void) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
}
