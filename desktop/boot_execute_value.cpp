#include "boot_execute_value.h"

#include "../boot/boot_execute_list.h"

static const char kDefaultEntry[] = "autocheck autochk *";
static const char kBootsiftEntry[] = "bootsift ";

void DefaultScheduleValue(char driveLetter, char *value) {
    uint32_t at = 0;
    for (const char *p = kDefaultEntry; *p; p++) value[at++] = *p;
    value[at++] = 0;
    for (const char *p = kBootsiftEntry; *p; p++) value[at++] = *p;
    value[at++] = driveLetter;
    value[at++] = 0;
    value[at++] = 0;  // the empty string that ends the list
}

int BuildScheduleValue(const char *current, uint32_t currentSize, char driveLetter, char *value,
                       uint32_t capacity, uint32_t *valueSize) {
    // "bootsift X", its NUL and the list's closing NUL.
    const uint32_t ownEntrySize = sizeof kBootsiftEntry - 1 + 1 + 1 + 1;
    if (capacity < kDefaultScheduleValueSize) return 0;
    uint32_t keptUnits = 0;
    uint32_t keptEntries = 0;
    if (current != 0 &&
        !KeepForeignBootEntries(current, currentSize, value, capacity - ownEntrySize, &keptUnits, &keptEntries)) {
        return 0;  // never store a shortened list of other software's entries
    }
    if (current == 0 || keptEntries == 0) {
        DefaultScheduleValue(driveLetter, value);
        *valueSize = kDefaultScheduleValueSize;
        return 1;
    }
    uint32_t at = keptUnits;
    for (const char *p = kBootsiftEntry; *p; p++) value[at++] = *p;
    value[at++] = driveLetter;
    value[at++] = 0;
    value[at++] = 0;
    *valueSize = at;
    return 1;
}
