// A stand-in for the system's browser control: it offers a chosen set of
// the control's interfaces, behaves towards its site as an in-place control
// does (holds the client site, the in-place site and the frame while
// active), and records every call the pane makes.
#ifndef QUILLET_STAND_IN_BROWSER_H
#define QUILLET_STAND_IN_BROWSER_H

#include <windows.h>
#include <ole2.h>
#include <exdisp.h>

enum StandInOffer {
    kOfferOleObject = 1,
    kOfferPersistStreamInit = 2,
    kOfferInPlaceObject = 4,
    kOfferWebBrowser2 = 8,
    kOfferEverything = 15,
};

struct StandInBrowser {
    // Interface pointers first; the first is also the identity.
    const IOleObjectVtbl *oleObject;
    const IPersistStreamInitVtbl *persist;
    const IOleInPlaceObjectVtbl *inPlace;
    const IWebBrowser2Vtbl *webBrowser;
    unsigned offers;           // StandInOffer bits
    LONG references;           // starts at 1, the reference handed out
    int timesReachedZero;      // must end at exactly 1
    IOleClientSite *clientSite;  // held between SetClientSite calls
    IOleInPlaceSite *inPlaceSite;  // held while in-place active
    IOleInPlaceFrame *frame;       // from GetWindowContext, held while active
    char log[2048];            // the calls, one word each, space-separated
};

// A new stand-in with one reference, offering the given interfaces.
StandInBrowser *CreateStandInBrowser(unsigned offers);
IUnknown *StandInUnknown(StandInBrowser *browser);

// Empties the call log.
void ClearStandInLog(StandInBrowser *browser);

#endif
