// Quillet's user-visible texts. The user interface is Simplified Chinese in
// the ANSI code page 936 (GBK): every Chinese text below is stored as its
// GBK bytes, so the program shows the same bytes whatever code page the
// compiler or the editor assumes. The host tests convert the UTF-8 wording
// with iconv and compare byte for byte.
#ifndef QUILLET_DESKTOP_TEXTS_H
#define QUILLET_DESKTOP_TEXTS_H

#include <stdint.h>

extern const char kTextNoTrimSupport[];      // status label: TRIM not supported
extern const char kTextNotAligned[];         // status label: not 4 KB aligned
extern const char kTextAskScheduleTrim[];    // cannot lock; trim at next start?
extern const char kTextTrimScheduled[];      // trim will run at next start
extern const char kTextRegistryFailed[];     // BootExecute could not be written
extern const char kTextTrimFailed[];         // the worker's trim failed
extern const char kFormatCannotCreateFile[]; // "... %s" with the target path
extern const char kFormatErrorCode[];        // analysis failure, English
extern const char kFormatVolumeEntry[];      // volume list entry
extern const char kFontFaceName[];           // the UI font's face name
extern const char kTrimButtonText[];

// The message for an OpenStatus of 1 to 9; null for any other code.
const char *OpenStatusMessage(int status);

// The status label after a successful analysis: TRIM support is told
// before alignment, and an aligned volume on a TRIM drive gets "".
const char *StatusLabelText(int32_t trimSupported, int64_t partitionOffset);

#endif
