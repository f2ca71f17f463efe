// bootsift's run: banner, countdown, trim with a text progress bar, outcome,
// and taking its own entry out of BootExecute. Plain logic over
// boot_platform.h and the trim engine.
#ifndef QUILLET_BOOT_BOOTSIFT_RUN_H
#define QUILLET_BOOT_BOOTSIFT_RUN_H

#include <stdint.h>

#include "trim_engine.h"

// The run. Expects the program's name and the drive letter (the first
// character of argument 1). Returns 0 on every path. The environment and
// the debug flag are passed by the start-up layer and not used.
int BootsiftMain(int argumentCount, char **arguments, char16_t **environment, uint32_t debugFlag);

// The progress sink of the run: redraws the 51-column progress line when
// the whole percentage of the volume passed changes. `lastPercent` (an
// int32_t, 0 at the start of a run) is the percentage drawn last.
void ShowTrimProgress(void *lastPercent, TrimVolume *volume, uint32_t firstCluster, uint32_t clusterCount);

// Takes every bootsift entry out of BootExecute and keeps the others; see
// the definition for what happens when the value cannot be read.
void RestoreBootExecute();

#endif
