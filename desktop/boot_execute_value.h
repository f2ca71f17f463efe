// The BootExecute value that schedules a boot-time trim. The list is kept
// in the registry's own form, UTF-16 code units, so that other software's
// entries go back exactly as they were read, whatever their script.
#ifndef QUILLET_DESKTOP_BOOT_EXECUTE_VALUE_H
#define QUILLET_DESKTOP_BOOT_EXECUTE_VALUE_H

#include <stdint.h>

enum { kDefaultScheduleValueUnits = 32 };

// The system's default list with our entry behind it: "autocheck autochk *",
// "bootsift X", and the empty string that ends the list (32 units).
void DefaultScheduleValue(char driveLetter, char16_t *value);

// Builds the value to store from the current one (`current` null when it
// could not be read): every entry except earlier bootsift ones is kept in
// its order, unit for unit, and "bootsift X" is appended. When the value is
// unreadable or nothing would be kept, the default 32 units are used. 0
// when the result would not fit in `capacity` units; else 1 and *valueUnits.
int BuildScheduleValue(const char16_t *current, uint32_t currentUnits, char driveLetter, char16_t *value,
                       uint32_t capacity, uint32_t *valueUnits);

#endif
