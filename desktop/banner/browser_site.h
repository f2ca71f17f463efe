// The banner pane's side of the hosted browser control: one COM object that
// is the control's client site, in-place site, in-place frame, ambient
// property dispatch, document UI handler and command target.
//
// Sources that include this are built with CINTERFACE and COBJMACROS (the C
// view of the COM headers), so that the object can be a plain record that
// begins with its interface pointers.
#ifndef QUILLET_BROWSER_SITE_H
#define QUILLET_BROWSER_SITE_H

#include <windows.h>
#include <ole2.h>
#include <docobj.h>
#include <mshtmhst.h>

// The interfaces in this order; the first is also the object's identity.
struct BrowserSite {
    const IOleClientSiteVtbl *clientSite;
    const IOleInPlaceSiteVtbl *inPlaceSite;
    const IOleInPlaceFrameVtbl *inPlaceFrame;
    const IDispatchVtbl *dispatch;
    const IDocHostUIHandlerVtbl *uiHandler;
    const IOleCommandTargetVtbl *commandTarget;
    LONG referenceCount;  // starts at 1, the pane's reference
    HWND paneWindow;      // every window the site reports is this one
    IUnknown *browser;    // the control, one reference; null when there is none
    RECT positionRect;    // zero until the first WM_SIZE
};

// A new site for the pane window, zero-filled from the process heap, with a
// reference count of 1; null when memory runs out.
BrowserSite *CreateBrowserSite(HWND paneWindow);

// The site seen through each of its interfaces.
IOleClientSite *SiteClientSite(BrowserSite *site);
IOleInPlaceSite *SiteInPlaceSite(BrowserSite *site);
IOleInPlaceFrame *SiteInPlaceFrame(BrowserSite *site);
IDispatch *SiteDispatch(BrowserSite *site);
IDocHostUIHandler *SiteUIHandler(BrowserSite *site);
IOleCommandTarget *SiteCommandTarget(BrowserSite *site);

#endif
