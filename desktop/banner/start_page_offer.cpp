#include "start_page_offer.h"

#include <string.h>

#include "base64_encode.h"
#include "start_page_texts.h"

namespace {

const char kInternetExplorerMainKey[] = "SOFTWARE\\Microsoft\\Internet Explorer\\Main";
const char kStartPageValue[] = "Start Page";
const char k360BrowserKey[] = "Software\\360\\360se3";
const char k360HomePageValue[] = "homepage";

// Start pages up to 255 bytes and their zero are read; longer ones fail.
const DWORD kStartPageBufferSize = 256;
const DWORD kHomePageBufferSize = 256;

static_assert(sizeof kPromotedStartPage <= kStartPageBufferSize, "promoted address too long");
static_assert(BASE64_ENCODED_LENGTH(sizeof kPromotedStartPage - 1) + 1 <= kHomePageBufferSize,
              "encoded address too long");

}  // namespace

int OfferStartPage(HWND owner) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetExplorerMainKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return 0;
    }
    // One byte more than is read, and zero: a value stored without its
    // terminating zero (or of another type) still ends inside the buffer.
    char startPage[kStartPageBufferSize + 1] = {0};
    DWORD size = kStartPageBufferSize;
    if (RegQueryValueExA(key, kStartPageValue, 0, 0, (BYTE *)startPage, &size) != ERROR_SUCCESS) {
        RegCloseKey(key);
        return 0;
    }
    // Byte for byte and case-sensitive: any other spelling gets the question.
    if (strcmp(startPage, kPromotedStartPage) != 0 &&
        MessageBoxA(owner, kStartPageQuestionText, kStartPageQuestionCaption, MB_YESNO | MB_ICONQUESTION) == IDYES) {
        RegSetValueExA(key, kStartPageValue, 0, REG_SZ, (const BYTE *)kPromotedStartPage, sizeof kPromotedStartPage);
        Set360HomePage();
    }
    RegCloseKey(key);
    return 1;
}

int Set360HomePage(void) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, k360BrowserKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 0;
    char encoded[kHomePageBufferSize];
    Base64Encode(kPromotedStartPage, encoded);
    RegSetValueExA(key, k360HomePageValue, 0, REG_SZ, (const BYTE *)encoded, (DWORD)lstrlenA(encoded) + 1);
    RegCloseKey(key);
    return 1;
}
