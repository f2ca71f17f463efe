// The offer, at every start, to make the 2345 portal the start page of the
// user's browsers.
#ifndef QUILLET_START_PAGE_OFFER_H
#define QUILLET_START_PAGE_OFFER_H

#include <windows.h>

// Reads Internet Explorer's start page of the current user; unless it is
// already the promoted address, asks (a Yes/No box owned by owner) and on
// Yes writes the address there and, where the 360 browser is set up, as its
// home page. Returns 1 when the start page was read, 0 when the key or the
// value could not be read (then nothing is asked or written).
int OfferStartPage(HWND owner);

// Writes the promoted address, Base64-encoded, as the 360 browser's home
// page. Returns 1 when its key exists (the key is never created), else 0.
int Set360HomePage(void);

#endif
