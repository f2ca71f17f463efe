// Records the blocks the program frees with HeapFree, so that tests can see
// that a record was freed, and freed once. Works by redirecting this
// program's own import of HeapFree, which the statically linked code under
// test calls through.
#ifndef QUILLET_HEAP_FREE_LOG_H
#define QUILLET_HEAP_FREE_LOG_H

// Installs the recording; returns 1 when the import was found.
int RecordHeapFrees(void);

// Starts a fresh record.
void ForgetHeapFrees(void);

// How many times the block at address has been freed since the recording
// began.
int TimesFreed(const void *address);

#endif
