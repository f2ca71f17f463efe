#include "host_fixture.h"

#include <unistd.h>

void HostTest::SetUp() {
    HostReset();
    imagePath = MakeTemporaryFile("quillet-engine-test");
    ASSERT_FALSE(imagePath.empty());
}

void HostTest::TearDown() {
    HostReset();
    if (!imagePath.empty()) unlink(imagePath.c_str());
}

EmulatedVolume *HostTest::Attach(const CraftedVolume &volume, int64_t partitionOffset, uint32_t disk,
                                 int64_t diskSize) {
    if (!WriteDiskImage(volume, partitionOffset, imagePath.c_str(), diskSize)) return 0;
    if (!HostAttachDisk(disk, imagePath.c_str(), 1)) return 0;
    return HostAttachVolume('Q', disk, partitionOffset);
}
