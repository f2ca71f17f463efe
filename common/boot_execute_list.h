// Session Manager's BootExecute list (REG_MULTI_SZ) as both programs edit
// it: the desktop program puts bootsift's entry in, the boot-time program
// takes it out again, and both keep every entry that other software put
// there, in order.
//
// Header-only and free of any runtime, so the native program, the desktop
// program and the host tests share it. The list is kept in UTF-16 code
// units, the registry's own form, so other software's entries stay exactly
// as they were.
#ifndef QUILLET_COMMON_BOOT_EXECUTE_LIST_H
#define QUILLET_COMMON_BOOT_EXECUTE_LIST_H

#include <stdint.h>

// The system's own entry, which runs the disk check at every start.
static const char kDefaultBootEntry[] = "autocheck autochk *";
// The first word of our entry; "bootsift X" trims drive X.
static const char kBootsiftName[] = "bootsift";

enum {
    // The default list: its entry, the entry's NUL and the empty string
    // that ends the list.
    kDefaultBootListUnits = sizeof kDefaultBootEntry + 1,
    // "bootsift X" and its NUL.
    kBootsiftEntryUnits = sizeof kBootsiftName + 2,
};

// What reading the list from the registry gave.
enum BootExecuteRead {
    kBootExecuteMissing = 0,     // no value, or not a REG_MULTI_SZ: no list to keep
    kBootExecuteRead = 1,        // the value's units were read whole
    kBootExecuteUnreadable = 2,  // a value is there but could not be read: leave it alone
};

// Writes the default entry and its NUL at `at`; returns the unit after it.
inline uint32_t PutDefaultBootEntry(char16_t *list, uint32_t at) {
    for (const char *p = kDefaultBootEntry; *p; p++) list[at++] = (char16_t)*p;
    list[at++] = 0;
    return at;
}

// Writes "bootsift X" and its NUL at `at`; returns the unit after it.
inline uint32_t PutBootsiftEntry(char16_t *list, uint32_t at, char driveLetter) {
    for (const char *p = kBootsiftName; *p; p++) list[at++] = (char16_t)*p;
    list[at++] = (char16_t)' ';
    list[at++] = (char16_t)(unsigned char)driveLetter;
    list[at++] = 0;
    return at;
}

// True when the entry's first word, up to a space or tab, is "bootsift" in
// any letter case.
inline int IsBootsiftEntry(const char16_t *entry, uint32_t length) {
    uint32_t at = 0;
    while (at < length && (entry[at] == ' ' || entry[at] == '\t')) at++;
    for (uint32_t i = 0; i < sizeof kBootsiftName - 1; i++, at++) {
        if (at >= length) return 0;
        uint32_t unit = (uint32_t)entry[at] & 0xFFFF;
        if (unit >= 'A' && unit <= 'Z') unit += 'a' - 'A';
        if (unit != (uint32_t)(unsigned char)kBootsiftName[i]) return 0;
    }
    return at == length || entry[at] == ' ' || entry[at] == '\t';
}

// Copies the entries of `list` (listUnits code units as read from the
// registry, terminators possibly missing) into `kept`, leaving out every
// bootsift entry. Each kept entry ends with its NUL; the list's closing
// empty string is not written, so the caller can append. The list ends at
// its first empty string or at listUnits. When only the default entry is
// kept, kept + a closing NUL is byte for byte the system's default list.
// Returns 0 when the result would not fit in keptCapacity units; else 1,
// with the units and entries kept.
inline int KeepForeignBootEntries(const char16_t *list, uint32_t listUnits, char16_t *kept, uint32_t keptCapacity,
                                  uint32_t *keptUnits, uint32_t *keptEntries) {
    uint32_t written = 0;
    uint32_t entries = 0;
    uint32_t at = 0;
    while (at < listUnits && list[at] != 0) {
        uint32_t length = 0;
        while (at + length < listUnits && list[at + length] != 0) length++;
        if (!IsBootsiftEntry(list + at, length)) {
            if (length + 1 > keptCapacity - written) return 0;
            for (uint32_t i = 0; i < length; i++) kept[written++] = list[at + i];
            kept[written++] = 0;
            entries++;
        }
        at += length + 1;
    }
    *keptUnits = written;
    *keptEntries = entries;
    return 1;
}

#endif
