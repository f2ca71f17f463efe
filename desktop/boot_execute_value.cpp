#include "boot_execute_value.h"

#include "boot_execute_list.h"

static_assert(kDefaultScheduleValueUnits == kDefaultBootListUnits + kBootsiftEntryUnits,
              "the default list with our entry is 32 units");

// "bootsift X", its NUL and the list's closing NUL, from `at` on.
static uint32_t AppendOwnEntry(char16_t *value, uint32_t at, char driveLetter) {
    at = PutBootsiftEntry(value, at, driveLetter);
    value[at++] = 0;
    return at;
}

void DefaultScheduleValue(char driveLetter, char16_t *value) {
    AppendOwnEntry(value, PutDefaultBootEntry(value, 0), driveLetter);
}

int BuildScheduleValue(const char16_t *current, uint32_t currentUnits, char driveLetter, char16_t *value,
                       uint32_t capacity, uint32_t *valueUnits) {
    const uint32_t ownEntryUnits = kBootsiftEntryUnits + 1;
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
