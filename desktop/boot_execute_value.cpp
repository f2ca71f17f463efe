#include "boot_execute_value.h"

#include "../boot/boot_execute_list.h"

static const char kDefaultEntry[] = "autocheck autochk *";
static const char kBootsiftEntry[] = "bootsift ";

// "bootsift X", its NUL and the list's closing NUL, from `at` on.
static uint32_t AppendOwnEntry(char16_t *value, uint32_t at, char driveLetter) {
    for (const char *p = kBootsiftEntry; *p; p++) value[at++] = (char16_t)*p;
    value[at++] = (char16_t)(unsigned char)driveLetter;
    value[at++] = 0;
    value[at++] = 0;
    return at;
}

void DefaultScheduleValue(char driveLetter, char16_t *value) {
    uint32_t at = 0;
    for (const char *p = kDefaultEntry; *p; p++) value[at++] = (char16_t)*p;
    value[at++] = 0;
    AppendOwnEntry(value, at, driveLetter);
}

int BuildScheduleValue(const char16_t *current, uint32_t currentUnits, char driveLetter, char16_t *value,
                       uint32_t capacity, uint32_t *valueUnits) {
    const uint32_t ownEntryUnits = sizeof kBootsiftEntry - 1 + 1 + 1 + 1;
    if (capacity < kDefaultScheduleValueUnits) return 0;
    uint32_t keptUnits = 0;
    uint32_t keptEntries = 0;
    if (current != 0 &&
        !KeepForeignBootEntries(current, currentUnits, value, capacity - ownEntryUnits, &keptUnits, &keptEntries)) {
        return 0;  // never store a shortened list of other software's entries
    }
    if (current == 0 || keptEntries == 0) {
        DefaultScheduleValue(driveLetter, value);
        *valueUnits = kDefaultScheduleValueUnits;
        return 1;
    }
    *valueUnits = AppendOwnEntry(value, keptUnits, driveLetter);
    return 1;
}
