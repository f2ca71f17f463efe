// After a run on the emulated machine: every handle closed and every
// block freed.
#ifndef QUILLET_TESTS_NOTHING_LEFT_H
#define QUILLET_TESTS_NOTHING_LEFT_H

#include <gtest/gtest.h>

#include "emulated_ssd.h"

#define EXPECT_NOTHING_LEFT()                                  \
    do {                                                       \
        EXPECT_EQ(HostCountersNow()->openHandles, 0);          \
        EXPECT_EQ(HostCountersNow()->liveBlocks, 0);           \
    } while (0)

#endif
