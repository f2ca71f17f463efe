// Editing Session Manager's BootExecute list (REG_MULTI_SZ): the boot-time
// program takes its own entry out again, the desktop program puts it in, and
// both keep every entry that other software put there, in order.
//
// Header-only and free of any runtime, so the native program, the desktop
// program and the host tests share it; Unit is char (the desktop's ANSI
// value) or a 16-bit code unit (the native program's wide value).
#ifndef QUILLET_BOOT_BOOT_EXECUTE_LIST_H
#define QUILLET_BOOT_BOOT_EXECUTE_LIST_H

#include <stdint.h>

// True when the entry's first word, up to a space or tab, is "bootsift" in
// any letter case.
template <typename Unit>
inline int IsBootsiftEntry(const Unit *entry, uint32_t length) {
    static const char kName[] = "bootsift";
    uint32_t at = 0;
    while (at < length && (entry[at] == ' ' || entry[at] == '\t')) at++;
    for (uint32_t i = 0; i < 8; i++, at++) {
        if (at >= length) return 0;
        uint32_t unit = (uint32_t)entry[at] & 0xFFFF;
        if (unit >= 'A' && unit <= 'Z') unit += 'a' - 'A';
        if (unit != (uint32_t)(unsigned char)kName[i]) return 0;
    }
    return at == length || entry[at] == ' ' || entry[at] == '\t';
}

// Copies the entries of `list` (listUnits code units as read from the
// registry, terminators possibly missing) into `kept`, leaving out every
// bootsift entry. Each kept entry ends with its NUL; the list's closing
// empty string is not written, so the caller can append. The list ends at
// its first empty string or at listUnits. When only "autocheck autochk *"
// is kept, kept + a closing NUL is byte for byte the system's default list.
// Returns 0 when the result would
// not fit in keptCapacity units; else 1, with the units and entries kept.
template <typename Unit>
inline int KeepForeignBootEntries(const Unit *list, uint32_t listUnits, Unit *kept, uint32_t keptCapacity,
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
