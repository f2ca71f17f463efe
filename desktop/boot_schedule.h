// Trimming at the next start of Windows.
#ifndef QUILLET_DESKTOP_BOOT_SCHEDULE_H
#define QUILLET_DESKTOP_BOOT_SCHEDULE_H

#include "owner.h"

// Writes the boot-time program that matches the running Windows into its
// system directory; 0, after a box that names the file, when it cannot.
int InstallBootProgram(const DesktopOwner *owner);

// Puts "bootsift X" into Session Manager's BootExecute list, keeping every
// other entry; 0 when the list could not be written (or is left alone).
int ScheduleBootTrim(char driveLetter);

#endif
