// The engine encodes ATA_PASS_THROUGH_EX byte by byte, so that it needs no
// platform header. Here the Windows builds hold every offset, size, flag and
// control code it uses against the platform's own definition; a mismatch
// fails the build. The 64-bit build checks the 32-bit layout too, through
// ATA_PASS_THROUGH_EX32.
#include <windows.h>
#include <ntddscsi.h>
#include <stddef.h>

#include "ata_request.h"

template <typename Header>
constexpr bool MatchesLayout(uint32_t headerSize) {
    const AtaLayout layout = AtaLayoutFor(headerSize);
    return sizeof(Header) == headerSize && layout.headerSize == headerSize &&
           offsetof(Header, Length) == kAtaFieldLength && sizeof(((Header *)0)->Length) == 2 &&
           offsetof(Header, AtaFlags) == kAtaFieldFlags && sizeof(((Header *)0)->AtaFlags) == 2 &&
           offsetof(Header, PathId) == kAtaFieldPathId && offsetof(Header, TargetId) == kAtaFieldPathId + 1 &&
           offsetof(Header, Lun) == kAtaFieldPathId + 2 && offsetof(Header, ReservedAsUchar) == kAtaFieldPathId + 3 &&
           offsetof(Header, DataTransferLength) == kAtaFieldDataTransferLength &&
           sizeof(((Header *)0)->DataTransferLength) == 4 &&
           offsetof(Header, TimeOutValue) == kAtaFieldTimeOutValue && sizeof(((Header *)0)->TimeOutValue) == 4 &&
           offsetof(Header, ReservedAsUlong) == kAtaFieldReservedLong &&
           offsetof(Header, DataBufferOffset) == layout.dataBufferOffsetField &&
           sizeof(((Header *)0)->DataBufferOffset) == layout.dataBufferOffsetWidth &&
           offsetof(Header, PreviousTaskFile) == layout.previousTaskFile &&
           sizeof(((Header *)0)->PreviousTaskFile) == kAtaTaskFileSize &&
           offsetof(Header, CurrentTaskFile) == layout.currentTaskFile &&
           sizeof(((Header *)0)->CurrentTaskFile) == kAtaTaskFileSize;
}

static_assert(MatchesLayout<ATA_PASS_THROUGH_EX>(ATA_NATIVE_HEADER_SIZE),
              "the engine's ATA_PASS_THROUGH_EX layout of this build differs from the platform's");
#if defined(_WIN64)
static_assert(MatchesLayout<ATA_PASS_THROUGH_EX32>(kAtaHeaderSize32),
              "the engine's 32-bit ATA_PASS_THROUGH_EX layout differs from the platform's");
#endif

static_assert(IOCTL_ATA_PASS_THROUGH == kIoctlAtaPassThrough, "IOCTL_ATA_PASS_THROUGH");
static_assert(ATA_FLAGS_DRDY_REQUIRED == kAtaFlagDrdyRequired, "ATA_FLAGS_DRDY_REQUIRED");
static_assert(ATA_FLAGS_DATA_IN == kAtaFlagDataIn, "ATA_FLAGS_DATA_IN");
static_assert(ATA_FLAGS_DATA_OUT == kAtaFlagDataOut, "ATA_FLAGS_DATA_OUT");
static_assert(ATA_FLAGS_48BIT_COMMAND == kAtaFlag48BitCommand, "ATA_FLAGS_48BIT_COMMAND");
static_assert(ATA_FLAGS_USE_DMA == kAtaFlagUseDma, "ATA_FLAGS_USE_DMA");
static_assert(kAtaTrimFlags == (ATA_FLAGS_DATA_OUT | ATA_FLAGS_48BIT_COMMAND | ATA_FLAGS_USE_DMA),
              "DATA SET MANAGEMENT goes out as a 48-bit DMA data-out command");
