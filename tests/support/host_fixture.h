// A clean emulated machine for each test: the host binding reset, one
// temporary image file for disk 0, and checks that nothing was left open.
#ifndef QUILLET_TESTS_HOST_FIXTURE_H
#define QUILLET_TESTS_HOST_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "crafted_volume.h"
#include "emulated_ssd.h"
#include "nothing_left.h"
#include "trim_engine.h"

class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes `volume` at `partitionOffset` into the image, attaches it as
    // disk `disk` and as volume Q:. Null when the image could not be made.
    EmulatedVolume *Attach(const CraftedVolume &volume, int64_t partitionOffset, uint32_t disk = 0,
                           int64_t diskSize = -1);

    std::string imagePath;
};

#endif
