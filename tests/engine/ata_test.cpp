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
#include "sat_pass_through.h"
#include "windows_device.h"

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

// The engine's commands packed as the Windows bindings pack them.
uint32_t EncodeTrimRanges(uint8_t *block, uint32_t headerSize, const TrimRange *ranges, uint32_t count) {
    uint8_t payload[kMaxTrimPayloadBlocks * 512];
    AtaCommand command = {};
    BuildAtaTrim(&command, payload, ranges, count);
    return EncodeAtaPassThrough(block, headerSize, &command);
}

void EncodeTrim(uint8_t *block, uint32_t headerSize, uint64_t lba, uint32_t blocks) {
    const TrimRange range = {lba, blocks};
    EncodeTrimRanges(block, headerSize, &range, 1);
}

void EncodeIdentify(uint8_t *block, uint32_t headerSize) {
    uint8_t data[512];
    AtaCommand command = {};
    BuildAtaIdentify(&command, data);
    EncodeAtaPassThrough(block, headerSize, &command);
}

uint8_t ReturnedStatus(const uint8_t *block, uint32_t headerSize) {
    return block[AtaLayoutFor(headerSize).currentTaskFile + 6];
}

}  // namespace

TEST(AtaRequest, BothLayoutsByteForByte) {
    for (uint32_t headerSize : {40u, 48u}) {
        SCOPED_TRACE(headerSize);
        const uint8_t identifyTaskFile[8] = {0, 0, 0, 0, 0, 0, 0xEC, 0};
        EXPECT_EQ(Encoded(headerSize, [&](uint8_t *b) { EncodeIdentify(b, headerSize); }),
                  ExpectedBlock(headerSize, 2, identifyTaskFile));

        const uint8_t trimTaskFile[8] = {0x01, 1, 0, 0, 0, 0, 0x06, 0};
        // Data out, 48-bit command, DMA.
        std::vector<uint8_t> expected = ExpectedBlock(headerSize, 0x04 | 0x08 | 0x10, trimTaskFile);
        const uint8_t entry[8] = {0x00, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x00, 0x10};  // 4096 blocks
        memcpy(&expected[headerSize], entry, 8);
        EXPECT_EQ(Encoded(headerSize, [&](uint8_t *b) { EncodeTrim(b, headerSize, kHighLba, 4096); }),
                  expected);

        // 65 ranges: two blocks of entries, the Count register saying so.
        std::vector<TrimRange> ranges;
        for (uint64_t i = 0; i < 65; i++) ranges.push_back({kHighLba + 65528 * i, 65528});
        std::vector<uint8_t> block(kAtaMaxTrimBlockSize, 0xCC);
        ASSERT_EQ(EncodeTrimRanges(block.data(), headerSize, ranges.data(), 65), headerSize + 1024);
        const uint8_t twoBlocks[8] = {0x01, 2, 0, 0, 0, 0, 0x06, 0};
        expected = ExpectedBlock(headerSize, 0x04 | 0x08 | 0x10, twoBlocks);
        expected[9] = 0x04;  // DataTransferLength 1024
        expected.resize(headerSize + 1024, 0);
        for (uint32_t i = 0; i < 65; i++) {
            StoreLe32(&expected[headerSize + 8 * i], (uint32_t)ranges[i].lba);
            StoreLe16(&expected[headerSize + 8 * i + 4], (uint16_t)(ranges[i].lba >> 32));
            StoreLe16(&expected[headerSize + 8 * i + 6], 65528);
        }
        block.resize(headerSize + 1024);
        EXPECT_EQ(block, expected);
    }
    EXPECT_EQ(ATA_NATIVE_HEADER_SIZE, sizeof(void *) == 8 ? 48u : 40u);
}

TEST(AtaRequest, IdentifyDataDecoded) {
    uint8_t identify[512] = {0};
    DriveIdentity identity;
    const auto Decoded = [&]() {
        DecodeIdentify(identify, &identity);
        return IdentityAllowsTrim(&identity);
    };
    // Word 169 bit 0 is the only TRIM flag; other bits of it or of word 69
    // (deterministic read after TRIM) do not stand in for it.
    StoreLe16(identify + 2 * 169, 0xFFFE);
    StoreLe16(identify + 2 * 69, 0x4020);
    EXPECT_EQ(Decoded(), 0);
    StoreLe16(identify + 2 * 169, 0x0001);
    EXPECT_EQ(Decoded(), 1);
    EXPECT_EQ(identity.rangeBlocks, 1u);  // word 105 at 0 counts as 1
    StoreLe16(identify + 2 * 105, 8);
    EXPECT_EQ(Decoded(), 1);
    EXPECT_EQ(identity.rangeBlocks, 8u);

    // 4096-byte logical sectors: our 512-byte LBAs would name the wrong blocks.
    StoreLe16(identify + 2 * 106, 0x5000);
    StoreLe32(identify + 2 * 117, 2048);
    EXPECT_EQ(Decoded(), 0);
    EXPECT_EQ(identity.logicalSectorSize, 4096u);
    StoreLe32(identify + 2 * 117, 256);  // stated explicitly as 512 bytes
    EXPECT_EQ(Decoded(), 1);
    StoreLe32(identify + 2 * 117, 0x80000100u);  // no size that fits
    EXPECT_EQ(Decoded(), 0);
    // Word 106 is not valid unless bits 15:14 read 01; then 117-118 mean nothing.
    StoreLe16(identify + 2 * 106, 0x9000);
    StoreLe32(identify + 2 * 117, 2048);
    EXPECT_EQ(Decoded(), 1);
}

class AtaDrive : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        // 2 TiB and a bit, sparse: room for LBAs above 2^32.
        ASSERT_EQ(truncate(imagePath.c_str(), ((int64_t)1 << 41) + (1 << 22)), 0);
        ASSERT_TRUE(HostAttachDisk(0, imagePath.c_str(), 1));
        drive = WindowsOpenDevice("\\\\.\\PhysicalDrive0");
        ASSERT_NE(drive, nullptr);
    }
    void TearDown() override {
        BindingClose(drive);
        EXPECT_NOTHING_LEFT();
        HostTest::TearDown();
    }
    // The ranges the drive accepted so far.
    std::vector<std::pair<uint64_t, uint32_t>> Seen() {
        uint32_t count = 0;
        const TrimRange *ranges = HostTrimmedRanges(&count);
        std::vector<std::pair<uint64_t, uint32_t>> seen;
        for (uint32_t i = 0; i < count; i++) seen.push_back({ranges[i].lba, ranges[i].blockCount});
        return seen;
    }
    int Send(uint8_t *block, uint32_t size) {
        return WindowsDeviceControl(drive, kIoctlAtaPassThrough, block, size, block, size);
    }

    DeviceHandle drive = nullptr;
};

TEST_F(AtaDrive, AnswersTheLayoutItIsBuiltFor) {
    for (uint32_t headerSize : {40u, 48u}) {
        SCOPED_TRACE(headerSize);
        HostDrive()->headerSize = headerSize;
        const size_t seenBefore = Seen().size();
        uint8_t block[kAtaMaxBlockSize];
        EncodeIdentify(block, headerSize);
        ASSERT_EQ(Send(block, headerSize + 512), 1);
        EXPECT_EQ(ReturnedStatus(block, headerSize) & kAtaStatusErr, 0);
        DriveIdentity identity;
        DecodeIdentify(block + headerSize, &identity);
        EXPECT_EQ(IdentityAllowsTrim(&identity), 1);
        EXPECT_EQ(identity.rangeBlocks, 2u);
        EXPECT_EQ(block[headerSize + 2 * 27], 'u');  // "Quillet", two characters a word, swapped
        EXPECT_STREQ(identity.model, "Quillet Emulated SSD");

        const uint64_t lba = ((uint64_t)1 << 32) + 8;
        EncodeTrim(block, headerSize, lba, 4096);
        ASSERT_EQ(Send(block, headerSize + 512), 1);
        EXPECT_EQ(ReturnedStatus(block, headerSize) & kAtaStatusErr, 0);
        const auto seen = Seen();
        ASSERT_EQ(seen.size(), seenBefore + 1);
        EXPECT_EQ(seen.back().first, lba);
        EXPECT_EQ(seen.back().second, 4096u);

        // The other layout is malformed for this drive.
        const uint32_t other = headerSize == 40 ? 48 : 40;
        const uint32_t malformed = HostCountersNow()->malformedRequests;
        EncodeIdentify(block, other);
        EXPECT_EQ(Send(block, other + 512), 0);
        EncodeTrim(block, other, lba, 8);
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
        {"Sector Count past the data", [&](uint8_t *b) { b[layout.currentTaskFile + 1] = 2; }},
        {"Sector Count 0", [&](uint8_t *b) { b[layout.currentTaskFile + 1] = 0; }},
        {"LBA register", [&](uint8_t *b) { b[layout.currentTaskFile + 2] = 1; }},
        {"zero blocks", [&](uint8_t *b) { b[h + 6] = b[h + 7] = 0; }},
        {"entry after the last", [&](uint8_t *b) { b[h + 22] = 8; }},
        {"unaligned LBA", [&](uint8_t *b) { b[h] |= 1; }},
        {"unaligned count", [&](uint8_t *b) { b[h + 6] |= 1; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t block[kAtaMaxBlockSize];
        EncodeTrim(block, h, 4096, 16);
        c.spoil(block);
        const uint32_t malformed = HostCountersNow()->malformedRequests;
        EXPECT_EQ(Send(block, h + 512), 0);
        EXPECT_EQ(HostCountersNow()->malformedRequests, malformed + 1);
    }
    uint8_t block[kAtaMaxBlockSize];
    EncodeTrim(block, h, 4096, 16);
    EXPECT_EQ(WindowsDeviceControl(drive, kIoctlAtaPassThrough, block, h + 512, block, h + 504), 0);
    // More blocks of entries than IDENTIFY word 105 allows.
    std::vector<TrimRange> ranges(129, TrimRange{4096, 8});
    std::vector<uint8_t> large(kAtaMaxTrimBlockSize);
    const uint32_t size = EncodeTrimRanges(large.data(), h, ranges.data(), 129);
    EXPECT_EQ(Send(large.data(), size), 0);
    EXPECT_EQ(HostCountersNow()->trimCommands, 0u);
    EXPECT_TRUE(Seen().empty());
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
        DriveIdentity identity;
        EXPECT_FALSE(BindingIdentifyDrive(drive, &identity) && IdentityAllowsTrim(&identity));
    }
    EXPECT_EQ(HostCountersNow()->malformedRequests, 0u);
}

// One TRIM command of one range: 1 when the drive accepted it.
static int TrimOneRange(DeviceHandle drive, uint64_t lba, uint32_t blocks) {
    const TrimRange range = {lba, blocks};
    return BindingTrimRanges(drive, &range, 1) == kTrimBatchAccepted;
}

TEST_F(AtaDrive, TrimRangesAndTheirFailures) {
    // The range entry holds 48 bits; 2^48 would go out as LBA 0.
    EXPECT_EQ(TrimOneRange(drive, (uint64_t)1 << 48, 8), 0);
    EXPECT_EQ(TrimOneRange(drive, ((uint64_t)1 << 48) - 8, 16), 0);
    EXPECT_EQ(HostCountersNow()->trimCommands, 0u);

    const uint64_t diskEnd = (((uint64_t)1 << 41) + (1 << 22)) / 512;
    const struct {
        const char *what;
        std::vector<TrimRange> ranges;
        int result;
    } cases[] = {
        {"one range", {{8, 8}}, kTrimBatchAccepted},
        {"two blocks of entries", std::vector<TrimRange>(128, TrimRange{16, 65528}), kTrimBatchAccepted},
        {"the disk's last block", {{8, 8}, {diskEnd - 8, 8}}, kTrimBatchAccepted},
        {"past the disk's end", {{8, 8}, {diskEnd - 8, 16}}, kTrimBatchRefused},
        {"above 2^48", {{8, 8}, {((uint64_t)1 << 48) - 8, 16}}, kTrimBatchFailed},
        {"more than 65535 blocks", {{8, 65536}}, kTrimBatchFailed},
        {"no range", {}, kTrimBatchFailed},
        {"more than one command holds", std::vector<TrimRange>(kMaxTrimRangesPerCommand + 1, TrimRange{8, 8}),
         kTrimBatchFailed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = Seen().size();
        EXPECT_EQ(BindingTrimRanges(drive, c.ranges.data(), (uint32_t)c.ranges.size()), c.result);
        EXPECT_EQ(Seen().size(), before + (c.result == kTrimBatchAccepted ? c.ranges.size() : 0));
    }
    EXPECT_EQ(HostCountersNow()->trimCommands, 4u);
    EXPECT_EQ(HostCountersNow()->malformedRequests, 0u);

    HostDrive()->failTrimAt = 6;
    EXPECT_EQ(TrimOneRange(drive, 8, 8), 1);
    EXPECT_EQ(TrimOneRange(drive, 16, 8), 0);  // ends with ERR
    EXPECT_EQ(TrimOneRange(drive, 24, 8), 1);
    HostDrive()->rejectPassThrough = 1;
    EXPECT_EQ(TrimOneRange(drive, 32, 8), 0);
}

// The Linux binding's translation into SCSI ATA PASS-THROUGH (16). The VM
// tests show real drives take the result; these show each register lands
// in its own byte and that commands it cannot carry are never sent.
namespace {

uint8_t satData[kMaxTrimPayloadBlocks * 512];

AtaCommand EngineTrim(uint32_t ranges = 1) {
    AtaCommand command = {};
    std::vector<TrimRange> list(ranges, TrimRange{4096, 16});
    BuildAtaTrim(&command, satData, list.data(), ranges);
    return command;
}

std::vector<uint8_t> Cdb(const SatCommand &command) { return std::vector<uint8_t>(command.cdb, command.cdb + 16); }

std::vector<uint8_t> Registers(const uint8_t *registers) { return std::vector<uint8_t>(registers, registers + 8); }

}  // namespace

TEST(SatPassThrough, CarriesEveryRegisterFlagAndLength) {
    AtaCommand identify = {};
    BuildAtaIdentify(&identify, satData);
    AtaCommand oldTrim = EngineTrim();
    oldTrim.extended = oldTrim.dma = 0;
    // A 48-bit non-data command with every register different.
    AtaCommand registers = {};
    registers.extended = 1;
    registers.timeoutSeconds = 30;
    const uint8_t previous[8] = {0xF1, 0xC1, 0xA1, 0xA2, 0xA3, 0, 0, 0};
    const uint8_t current[8] = {0xF0, 0xC0, 0x10, 0x20, 0x30, 0xE0, 0x25, 0};
    memcpy(registers.previous, previous, 8);
    memcpy(registers.current, current, 8);

    const struct {
        const char *what;
        AtaCommand command;
        std::vector<uint8_t> cdb;
        uint32_t dataLength;
        uint32_t timeout;
    } cases[] = {
        // PIO data-in, 28-bit; length from the transfer, in blocks, from the device.
        {"IDENTIFY", identify, {0x85, 0x08, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, 512, 5000},
        // DMA, 48-bit, to the device; Features 0x01 (TRIM), Count 1.
        {"TRIM", EngineTrim(), {0x85, 0x0D, 0x07, 0, 0x01, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x06, 0}, 512, 5000},
        // Two blocks of range entries: Count 2, the transfer 1024 bytes.
        {"TRIM, two blocks", EngineTrim(100), {0x85, 0x0D, 0x07, 0, 0x01, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x06, 0},
         1024, 5000},
        // The old flags: PIO data-out, 28-bit.
        {"TRIM, old flags", oldTrim, {0x85, 0x0A, 0x07, 0, 0x01, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x06, 0}, 512, 5000},
        // Non-data, 48-bit: high-order byte before low-order byte throughout.
        {"registers", registers,
         {0x85, 0x07, 0x00, 0xF1, 0xF0, 0xC1, 0xC0, 0xA1, 0x10, 0xA2, 0x20, 0xA3, 0x30, 0xE0, 0x25, 0}, 0, 30000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SatCommand command;
        ASSERT_EQ(TranslateAtaCommand(&c.command, &command), 1);
        EXPECT_EQ(Cdb(command), c.cdb);
        EXPECT_EQ(c.command.dataLength, c.dataLength);
        EXPECT_EQ(command.timeoutMilliseconds, c.timeout);
    }
}

TEST(SatPassThrough, RefusesWhatTheCommandCannotCarry) {
    const struct {
        const char *what;
        std::function<void(AtaCommand *)> spoil;
    } cases[] = {
        {"no such direction", [](AtaCommand *c) { c->direction = 3; }},
        {"no time-out", [](AtaCommand *c) { c->timeoutSeconds = 0; }},
        {"time-out past 32-bit milliseconds", [](AtaCommand *c) { c->timeoutSeconds = 0xFFFFFFFFu / 1000 + 1; }},
        {"no data", [](AtaCommand *c) { c->dataLength = 0; }},
        {"no buffer", [](AtaCommand *c) { c->data = nullptr; }},
        {"part of a block", [](AtaCommand *c) { c->dataLength = 500; }},
        {"DMA without data",
         [](AtaCommand *c) {
             c->direction = kAtaNoData;
             c->dataLength = 0;
         }},
        {"high-order register without the 48-bit flag",
         [](AtaCommand *c) {
             c->extended = 0;
             c->previous[1] = 1;
         }},
        {"high-order byte 5", [](AtaCommand *c) { c->previous[5] = 0x40; }},
        {"register byte 7", [](AtaCommand *c) { c->current[7] = 1; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        AtaCommand command = EngineTrim();
        c.spoil(&command);
        SatCommand sat;
        EXPECT_EQ(TranslateAtaCommand(&command, &sat), 0);
    }
}

TEST(SatPassThrough, ReadsTheRegistersFromTheStatusReturnDescriptor) {
    // A failed 48-bit command, every register different, behind another
    // descriptor (information, 12 bytes).
    const std::vector<uint8_t> failed = {0x72, 0x0B, 0x00, 0x00, 0, 0, 0, 0x1A, 0x00, 0x0A, 0x80, 0, 0, 0,
                                         0,    0,    0,    0,    0, 0, 0x09, 0x0C, 0x01, 0x04, 0xC1, 0xC0,
                                         0xA1, 0x10, 0xA2, 0x20, 0xA3, 0x30, 0xE0, 0x51};
    AtaCommand command = EngineTrim();
    ASSERT_EQ(StoreAtaStatusReturn(failed.data(), (uint32_t)failed.size(), &command), 1);
    EXPECT_EQ(Registers(command.current), (std::vector<uint8_t>{0x04, 0xC0, 0x10, 0x20, 0x30, 0xE0, 0x51, 0}));
    EXPECT_EQ(Registers(command.previous), (std::vector<uint8_t>{0, 0xC1, 0xA1, 0xA2, 0xA3, 0, 0, 0}));
    EXPECT_EQ(command.current[kAtaRegisterCommand] & kAtaStatusErr, kAtaStatusErr);

    const struct {
        const char *what;
        std::vector<uint8_t> sense;
        uint32_t length;
    } refused[] = {
        // Fixed format: libata fills no registers into it.
        {"fixed format", {0x70, 0, 0x0B, 0, 0, 0, 0, 0x0A, 0, 0x40, 0xB0, 0, 0, 0, 0, 0, 0, 0}, 18},
        {"cut short", failed, (uint32_t)failed.size() - 1},
        {"no status return descriptor", std::vector<uint8_t>(failed.begin(), failed.begin() + 20), 20},
        {"descriptor too short", {0x72, 0x0B, 0, 0, 0, 0, 0, 0x0C, 0x09, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20},
        {"nothing", {}, 0},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.what);
        AtaCommand untouched = EngineTrim();
        EXPECT_EQ(StoreAtaStatusReturn(c.sense.data(), c.length, &untouched), 0);
        const AtaCommand fresh = EngineTrim();
        EXPECT_EQ(Registers(untouched.current), Registers(fresh.current));
        EXPECT_EQ(Registers(untouched.previous), Registers(fresh.previous));
    }
}
