// The BootExecute value that schedules a boot-time trim.
#ifndef QUILLET_DESKTOP_BOOT_EXECUTE_VALUE_H
#define QUILLET_DESKTOP_BOOT_EXECUTE_VALUE_H

#include <stdint.h>

enum { kDefaultScheduleValueSize = 32 };

// The system's default list with our entry behind it: "autocheck autochk *",
// "bootsift X", and the empty string that ends the list (32 bytes).
void DefaultScheduleValue(char driveLetter, char *value);

// Builds the value to store from the current one (`current` null when it
// could not be read): every entry except earlier bootsift ones is kept in
// its order and "bootsift X" is appended. When the value is unreadable or
// nothing would be kept, the default 32 bytes are used. 0 when the result
// would not fit in `capacity` bytes; else 1 and *valueSize.
int BuildScheduleValue(const char *current, uint32_t currentSize, char driveLetter, char *value,
                       uint32_t capacity, uint32_t *valueSize);

#endif
