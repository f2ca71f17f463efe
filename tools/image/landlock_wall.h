// The wall around a run: once the image (and the command list) are open,
// the process and every child it starts may write only to those open
// files, bound by their descriptors rather than their names, and read only
// the system folders programs load from. It stands even where a header
// check misses a reference that QEMU's block layer would follow.
// Landlock (Linux 5.13 on); on a kernel without it nothing is walled.
#ifndef QUILLET_HOST_LANDLOCK_WALL_H
#define QUILLET_HOST_LANDLOCK_WALL_H

#include <string>

enum WallResult {
    kWallRaised = 1,
    kWallUnavailable = 0,  // the kernel has no Landlock: the run goes on, -v says so
    kWallFailed = -1,      // Landlock is there but the wall could not be built
};

// A ruleset that allows reading and writing the files open on
// `writableFds` (a regular file, or a character device such as /dev/full
// or a FIFO for a command list), running and reading what lies under the
// system folders, and nothing else on any file system. *rulesetFd gets it
// (-1 when not kWallRaised); `why` the reason when not raised.
int BuildWall(const int *writableFds, int writableCount, int *rulesetFd, std::string *why);

// Puts the calling process (and what it starts from now on) behind the
// ruleset, and closes it. Safe between fork and exec. 1 when done.
int EnterWall(int rulesetFd);

#endif
