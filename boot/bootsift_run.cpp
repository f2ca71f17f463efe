// bootsift's run, from the banner to the five-second pause at the end.
// Platform calls go through boot_platform.h only, so the same code runs in
// the native program and in the host tests.
#include "bootsift_run.h"

#include "boot_execute_list.h"
#include "boot_platform.h"
#include "quillet_version.h"
#include "run_texts.h"

namespace {

const int64_t kOneSecond = -10000000;    // relative, in 100-nanosecond units
const int64_t kFinalPause = -50000000;   // five seconds

// Five rows of slanted lettering; the last one carries the version tag
// (major.minor) at columns 48 to 51, the right edge of the rule and the
// credit line.
const char16_t *const kBannerTexts[] = {
    u"\n",
    u"   ____            _   __  __         __\n",
    u"  / __ \\  __  __  (_) / / / / ___    / /_\n",
    u" / / / / / / / / / / / / / / / _ \\  / __/\n",
    u"/ /_/ / / /_/ / / / / / / / /  __/ / /_\n",
    u"\\___\\_\\ \\__,_/ /_/ /_/ /_/  \\___/  \\__/        v" QUILLET_VERSION_SHORT "\n",
    u"___________________________________________________\n\n",
    u"                          by the Quillet developers\n\n",
};

// Shows `text` and then `tail` in one piece: the shared English texts are
// ASCII, the boot screen takes UTF-16.
void DisplayAscii(const char *text, const char16_t *tail = u"") {
    char16_t wide[kTextBufferUnits];
    uint32_t length = 0;
    for (; *text != 0 && length + 1 < kTextBufferUnits; text++) wide[length++] = (char16_t)(unsigned char)*text;
    for (; *tail != 0 && length + 1 < kTextBufferUnits; tail++) wide[length++] = *tail;
    wide[length] = 0;
    DisplayText(wide);
}

static_assert(kDefaultBootListUnits * sizeof(char16_t) == 42, "the default BootExecute value is 42 bytes");

// 1 when the user pressed a key during the countdown.
int CountDown() {
    char16_t line[kTextBufferUnits];
    for (int32_t secondsLeft = 5; secondsLeft >= 1; secondsLeft--) {
        FormatNumber(line, u"\rPress any key to abort..%ds", secondsLeft);
        DisplayText(line);
        int64_t timeout = kOneSecond;
        if (WaitForKey(&timeout)) {
            DisplayText(u"\nUser aborted.\n");
            return 1;
        }
    }
    return 0;
}

void TrimDrive(char driveLetter) {
    char16_t line[kTextBufferUnits];
    DisplayText(u"\r");
    FormatNumber(line, u"Collecting information for Partition %c ...\n", (unsigned char)driveLetter);
    DisplayText(line);

    TrimVolume *volume = 0;
    int status = OpenTrimVolume(driveLetter, &volume, 0);
    if (status != kOpenOk) {
        const char *message = OpenStatusText(status);
        DisplayAscii(message != 0 ? message : "", u" \n");
        return;  // a failed open leaves nothing to release
    }
    // Nothing has mounted the volume yet: its MFT must agree with its bitmap.
    ClaimFinding finding;
    if (!CheckVolumeClaims(volume, &finding)) {
        char reason[kTextBufferUnits - 8];
        FormatClaimFinding(reason, sizeof reason, &finding);
        DisplayAscii(OpenStatusText(kOpenBitmapFailed), u" ");
        DisplayAscii(reason, u"\n");
        ReleaseTrimVolume(volume);
        return;
    }
    FormatNumber(line, u"Trim support: %d\n", volume->trimSupported);
    DisplayText(line);
    FormatNumber(line, u"Bitmap size: %d bytes\n\n", (int32_t)volume->bitmapSize);
    DisplayText(line);
    // One range of at most 4096 blocks per command (all-zero limits): the
    // commands Windows' port drivers are known to take.
    int32_t lastPercent = 0;
    TrimRunOptions options = {};
    options.progress = ShowTrimProgress;
    options.progressContext = &lastPercent;
    TrimRunReport report;
    if (TrimFreeSpaceWith(volume, &options, &report)) {
        DisplayAscii(kProgressDoneLine);
    } else {
        DisplayText(u"\nTrim error! \n");
    }
    ReleaseTrimVolume(volume);
}

}  // namespace

void ShowTrimProgress(void *context, TrimVolume *volume, uint32_t firstCluster, uint32_t) {
    int32_t *lastPercent = (int32_t *)context;
    if (volume->totalClusters <= 0) return;
    int32_t percent = ProgressPercent(firstCluster, volume->totalClusters);
    if (percent == *lastPercent) return;
    char line[kProgressLineSize];
    FormatProgressLine(line, firstCluster, volume->totalClusters);
    DisplayAscii(line);
    *lastPercent = percent;
}

// Takes bootsift's entries out of BootExecute and keeps every other entry,
// in order. A missing value, or one with nothing left, becomes the system's
// default list. When the key cannot be opened, or the value is there but
// cannot be read whole, nothing is written: other software's entries must
// never be lost, and bootsift's own entry then simply stays, so it runs again
// at the next start.
void RestoreBootExecute() {
    RegistryKey key = OpenSessionManagerKey();
    if (key == 0) return;

    char16_t *value = 0;
    uint32_t valueBytes = 0;
    BootExecuteRead read = ReadBootExecute(key, &value, &valueBytes);
    // The system's own list, unless other entries are kept.
    char16_t defaultList[kDefaultBootListUnits];
    defaultList[PutDefaultBootEntry(defaultList, 0)] = 0;
    const char16_t *list = defaultList;
    uint32_t listBytes = sizeof defaultList;
    char16_t *kept = 0;
    int keep = read != kBootExecuteUnreadable;
    if (read == kBootExecuteRead) {
        uint32_t valueUnits = valueBytes / 2;
        // Each entry gains at most one NUL (an unterminated last one), and
        // the list its closing NUL: valueUnits + 2 always suffice.
        if (valueUnits <= 0x7FFFFFF0u) kept = (char16_t *)AllocateMemory((valueUnits + 2) * 2);
        uint32_t keptUnits = 0;
        uint32_t keptEntries = 0;
        if (kept == 0 || !KeepForeignBootEntries(value, valueUnits, kept, valueUnits + 1, &keptUnits, &keptEntries)) {
            keep = 0;
        } else if (keptEntries > 0) {
            kept[keptUnits] = 0;
            list = kept;
            listBytes = (keptUnits + 1) * 2;
        }
    }
    if (keep) WriteBootExecute(key, list, listBytes);
    if (kept != 0) FreeMemory(kept);
    if (value != 0) FreeMemory(value);
    CloseRegistryKey(key);
}

int BootsiftMain(int argumentCount, char **arguments, char16_t **, uint32_t) {
    if (argumentCount != 2) {
        DisplayText(u"Invalid argument!\n");
    } else {
        for (const char16_t *text : kBannerTexts) DisplayText(text);
        if (!CountDown()) TrimDrive(arguments[1][0]);
    }
    RestoreBootExecute();
    int64_t pause = kFinalPause;
    SleepFor(&pause);
    return 0;
}
