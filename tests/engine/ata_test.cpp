// ATA pass-through: the request blocks byte for byte in both header
// layouts, the emulated drive that checks them, and what IDENTIFY answers
// count as TRIM support.
#include <gtest/gtest.h>
#include <unistd.h>
#include <string.h>

#include <functional>
#include <vector>

#include "ata_request.h"
#include "binding.h"
#include "bytes.h"
#include "host_fixture.h"

namespace {

// The block the platform expects, written out field by field.
std::vector<uint8_t> ExpectedBlock(uint32_t headerSize, uint16_t flags, const uint8_t taskFile[8]) {
    std::vector<uint8_t> block(headerSize + 512, 0);
    block[0] = (uint8_t)headerSize;  // Length
    block[2] = (uint8_t)flags;       // AtaFlags
    block[9] = 0x02;                 // DataTransferLength 512
    block[12] = 5;                   // TimeOutValue
    const uint32_t dataBufferOffsetField = headerSize == 40 ? 20 : 24;
    const uint32_t currentTaskFile = headerSize == 40 ? 32 : 40;
    block[dataBufferOffsetField] = (uint8_t)headerSize;
    memcpy(&block[currentTaskFile], taskFile, 8);
    return block;
}

std::vector<uint8_t> Encoded(uint32_t headerSize, const std::function<void(uint8_t *)> &encode) {
    std::vector<uint8_t> block(kAtaMaxBlockSize + 16, 0xCC);  // no stale byte may survive
    encode(block.data());
    EXPECT_EQ(block[headerSize + 512], 0xCC) << "wrote past the block";
    block.resize(headerSize + 512);
    return block;
}

const uint64_t kHighLba = 0x123456789A00ull;  // above 2^32, below 2^48

}  // namespace

TEST(AtaRequest, BothLayoutsByteForByte) {
    for (uint32_t headerSize : {40u, 48u}) {
        SCOPED_TRACE(headerSize);
        const uint8_t identifyTaskFile[8] = {0, 0, 0, 0, 0, 0, 0xEC, 0};
        EXPECT_EQ(Encoded(headerSize, [&](uint8_t *b) { EncodeAtaIdentify(b, headerSize); }),
                  ExpectedBlock(headerSize, 2, identifyTaskFile));

        const uint8_t trimTaskFile[8] = {0x01, 1, 0, 0, 0, 0, 0x06, 0};
        // Data out, 48-bit command, DMA.
        std::vector<uint8_t> expected = ExpectedBlock(headerSize, 0x04 | 0x08 | 0x10, trimTaskFile);
        const uint8_t entry[8] = {0x00, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x00, 0x10};  // 4096 blocks
        memcpy(&expected[headerSize], entry, 8);
        EXPECT_EQ(Encoded(headerSize, [&](uint8_t *b) { EncodeAtaTrim(b, headerSize, kHighLba, 4096); }),
                  expected);
    }
    EXPECT_EQ(ATA_NATIVE_HEADER_SIZE, sizeof(void *) == 8 ? 48u : 40u);
}

TEST(AtaRequest, IdentifyDataThatCountsAsTrim) {
    uint8_t identify[512] = {0};
    // Word 169 bit 0 is the only TRIM flag; other bits of it or of word 69
    // (deterministic read after TRIM) do not stand in for it.
    StoreLe16(identify + 2 * 169, 0xFFFE);
    StoreLe16(identify + 2 * 69, 0x4020);
    EXPECT_EQ(IdentifyReportsUsableTrim(identify), 0);
    StoreLe16(identify + 2 * 169, 0x0001);
    EXPECT_EQ(IdentifyReportsUsableTrim(identify), 1);

    // 4096-byte logical sectors: our 512-byte LBAs would name the wrong blocks.
    StoreLe16(identify + 2 * 106, 0x5000);
    StoreLe32(identify + 2 * 117, 2048);
    EXPECT_EQ(IdentifyReportsUsableTrim(identify), 0);
    StoreLe32(identify + 2 * 117, 256);  // stated explicitly as 512 bytes
    EXPECT_EQ(IdentifyReportsUsableTrim(identify), 1);
    // Word 106 is not valid unless bits 15:14 read 01; then 117-118 mean nothing.
    StoreLe16(identify + 2 * 106, 0x9000);
    StoreLe32(identify + 2 * 117, 2048);
    EXPECT_EQ(IdentifyReportsUsableTrim(identify), 1);
}

class AtaDrive : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        // 2 TiB and a bit, sparse: room for LBAs above 2^32.
        ASSERT_EQ(truncate(imagePath.c_str(), ((int64_t)1 << 41) + (1 << 22)), 0);
        ASSERT_TRUE(HostAttachDisk(0, imagePath.c_str(), 1));
        drive = BindingOpenDevice("\\\\.\\PhysicalDrive0");
        ASSERT_NE(drive, nullptr);
        HostDrive()->dryRun = 1;
        HostObserveTrim(Observe, this);
    }
    void TearDown() override {
        BindingClose(drive);
        EXPECT_NOTHING_LEFT();
        HostTest::TearDown();
    }
    static void Observe(void *context, uint64_t lba, uint32_t blocks) {
        ((AtaDrive *)context)->seen.push_back({lba, blocks});
    }
    int Send(uint8_t *block, uint32_t size) {
        return BindingDeviceControl(drive, kIoctlAtaPassThrough, block, size, block, size);
    }

    DeviceHandle drive = nullptr;
    std::vector<std::pair<uint64_t, uint32_t>> seen;
};

TEST_F(AtaDrive, AnswersTheLayoutItIsBuiltFor) {
    for (uint32_t headerSize : {40u, 48u}) {
        SCOPED_TRACE(headerSize);
        HostDrive()->headerSize = headerSize;
        seen.clear();
        uint8_t block[kAtaMaxBlockSize];
        EncodeAtaIdentify(block, headerSize);
        ASSERT_EQ(Send(block, headerSize + 512), 1);
        EXPECT_EQ(AtaReturnedStatus(block, headerSize) & kAtaStatusErr, 0);
        EXPECT_EQ(IdentifyReportsUsableTrim(block + headerSize), 1);
        EXPECT_EQ(block[headerSize + 2 * 27], 'u');  // "Quillet", two characters a word, swapped
        char model[41];
        IdentifyModel(block + headerSize, model);
        EXPECT_STREQ(model, "Quillet Emulated SSD");

        const uint64_t lba = ((uint64_t)1 << 32) + 8;
        EncodeAtaTrim(block, headerSize, lba, 4096);
        ASSERT_EQ(Send(block, headerSize + 512), 1);
        EXPECT_EQ(AtaReturnedStatus(block, headerSize) & kAtaStatusErr, 0);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].first, lba);
        EXPECT_EQ(seen[0].second, 4096u);

        // The other layout is malformed for this drive.
        const uint32_t other = headerSize == 40 ? 48 : 40;
        const uint32_t malformed = HostCountersNow()->malformedRequests;
        EncodeAtaIdentify(block, other);
        EXPECT_EQ(Send(block, other + 512), 0);
        EncodeAtaTrim(block, other, lba, 8);
        EXPECT_EQ(Send(block, other + 512), 0);
        EXPECT_EQ(HostCountersNow()->malformedRequests, malformed + 2);
    }
    EXPECT_EQ(HostCountersNow()->trimCommands, 2u);
}

TEST_F(AtaDrive, RefusesMalformedTrimRequests) {
    const uint32_t h = ATA_NATIVE_HEADER_SIZE;
    const AtaLayout layout = AtaLayoutFor(h);
    const struct {
        const char *what;
        std::function<void(uint8_t *)> spoil;
    } cases[] = {
        {"Length", [&](uint8_t *b) { b[0] = (uint8_t)(h - 8); }},
        {"direction flag alone", [](uint8_t *b) { b[2] = kAtaFlagDataOut; }},
        {"no 48-bit command flag", [](uint8_t *b) { b[2] &= ~0x08; }},
        {"no DMA flag", [](uint8_t *b) { b[2] &= ~0x10; }},
        {"data direction in", [](uint8_t *b) { b[2] ^= kAtaFlagDataIn | kAtaFlagDataOut; }},
        {"DataTransferLength", [](uint8_t *b) { b[9] = 4; }},
        {"no time-out", [](uint8_t *b) { b[12] = 0; }},
        {"DataBufferOffset", [&](uint8_t *b) { b[layout.dataBufferOffsetField] = 0; }},
        {"PreviousTaskFile", [&](uint8_t *b) { b[layout.previousTaskFile + 1] = 1; }},
        {"Features", [&](uint8_t *b) { b[layout.currentTaskFile] = 0; }},
        {"Sector Count", [&](uint8_t *b) { b[layout.currentTaskFile + 1] = 2; }},
        {"LBA register", [&](uint8_t *b) { b[layout.currentTaskFile + 2] = 1; }},
        {"zero blocks", [&](uint8_t *b) { b[h + 6] = b[h + 7] = 0; }},
        {"second range entry", [&](uint8_t *b) { b[h + 14] = 8; }},
        {"unaligned LBA", [&](uint8_t *b) { b[h] |= 1; }},
        {"unaligned count", [&](uint8_t *b) { b[h + 6] |= 1; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t block[kAtaMaxBlockSize];
        EncodeAtaTrim(block, h, 4096, 16);
        c.spoil(block);
        const uint32_t malformed = HostCountersNow()->malformedRequests;
        EXPECT_EQ(Send(block, h + 512), 0);
        EXPECT_EQ(HostCountersNow()->malformedRequests, malformed + 1);
    }
    uint8_t block[kAtaMaxBlockSize];
    EncodeAtaTrim(block, h, 4096, 16);
    EXPECT_EQ(BindingDeviceControl(drive, kIoctlAtaPassThrough, block, h + 512, block, h + 504), 0);
    EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
    EXPECT_TRUE(seen.empty());
}

TEST_F(AtaDrive, IdentifyAnswersWithoutUsableTrim) {
    const struct {
        const char *what;
        std::function<void(EmulatedDrive *)> set;
    } cases[] = {
        {"ERR set", [](EmulatedDrive *d) { d->identifyError = 1; }},
        {"word 169 bit 0 clear", [](EmulatedDrive *d) { d->trimSupported = 0; }},
        {"4096-byte logical sectors", [](EmulatedDrive *d) { d->logicalSectorSize = 4096; }},
        {"pass-through rejected", [](EmulatedDrive *d) { d->rejectPassThrough = 1; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HostDrive()->identifyError = 0;
        HostDrive()->trimSupported = 1;
        HostDrive()->logicalSectorSize = 512;
        HostDrive()->rejectPassThrough = 0;
        c.set(HostDrive());
        EXPECT_EQ(AtaIdentifyTrimSupport(drive), 0);
    }
    EXPECT_EQ(HostCountersNow()->malformedRequests, 0u);
}

TEST_F(AtaDrive, TrimRangeFailures) {
    // The range entry holds 48 bits; 2^48 would go out as LBA 0.
    EXPECT_EQ(AtaTrimRange(drive, (uint64_t)1 << 48, 8), 0);
    EXPECT_EQ(AtaTrimRange(drive, ((uint64_t)1 << 48) - 8, 16), 0);
    EXPECT_EQ(HostCountersNow()->trimCommands, 0u);

    HostDrive()->failTrimAt = 2;
    EXPECT_EQ(AtaTrimRange(drive, 8, 8), 1);
    EXPECT_EQ(AtaTrimRange(drive, 16, 8), 0);  // ends with ERR
    EXPECT_EQ(AtaTrimRange(drive, 24, 8), 1);
    HostDrive()->rejectPassThrough = 1;
    EXPECT_EQ(AtaTrimRange(drive, 32, 8), 0);
    EXPECT_EQ(seen.size(), 2u);
}
