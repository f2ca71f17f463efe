// The site object of the banner pane. All six interfaces share one
// QueryInterface, AddRef and Release on the one record; each interface gets
// typed entry points that find the record from the interface pointer.
#include "browser_site.h"

#include <stddef.h>
#include <string.h>

namespace {

// OLECMDID_SHOWSCRIPTERROR within the document host's command group.
const DWORD kShowScriptErrorCommand = 40;

// The identifiers the site answers to, compared byte for byte.
const GUID kIidOleClientSite = {0x00000118, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kIidOleInPlaceSite = {0x00000119, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kIidOleInPlaceFrame = {0x00000116, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kIidDispatch = {0x00020400, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kIidDocHostUIHandler = {0xbd3f23c0, 0xd43e, 0x11cf, {0x89, 0x3b, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x1a}};
const GUID kIidOleCommandTarget = {0xb722bccb, 0x4e68, 0x101b, {0xa2, 0xbc, 0x00, 0xaa, 0x00, 0x40, 0x47, 0x70}};
const GUID kIidUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kCgidDocHostCommandHandler = {0xf38bc242, 0xb950, 0x11d1, {0x89, 0x18, 0x00, 0xc0, 0x4f, 0xc2, 0xc8, 0x36}};

int SameGuid(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

// The shared IUnknown of the record.

ULONG SiteAddRef(BrowserSite *site) { return (ULONG)++site->referenceCount; }

ULONG SiteRelease(BrowserSite *site) {
    LONG count = --site->referenceCount;
    if (count != 0) return (ULONG)count;
    if (site->browser) {
        IUnknown *browser = site->browser;
        site->browser = 0;
        IUnknown_Release(browser);
    }
    HeapFree(GetProcessHeap(), 0, site);
    return 0;
}

HRESULT SiteQueryInterface(BrowserSite *site, REFIID iid, void **out) {
    if (!out) return E_POINTER;
    void *answer = 0;
    if (SameGuid(iid, kIidOleClientSite)) answer = &site->clientSite;
    else if (SameGuid(iid, kIidOleInPlaceSite)) answer = &site->inPlaceSite;
    else if (SameGuid(iid, kIidOleInPlaceFrame)) answer = &site->inPlaceFrame;
    else if (SameGuid(iid, kIidDispatch)) answer = &site->dispatch;
    else if (SameGuid(iid, kIidDocHostUIHandler)) answer = &site->uiHandler;
    else if (SameGuid(iid, kIidOleCommandTarget)) answer = &site->commandTarget;
    else if (SameGuid(iid, kIidUnknown)) answer = &site->clientSite;
    *out = answer;
    if (!answer) return E_NOINTERFACE;
    SiteAddRef(site);
    return S_OK;
}

// Shared by the in-place site and the in-place frame.
HRESULT SiteGetWindow(BrowserSite *site, HWND *window) {
    if (!window) return E_POINTER;
    if (!IsWindow(site->paneWindow)) return S_FALSE;
    *window = site->paneWindow;
    return S_OK;
}

#define SITE_FROM(self, field) \
    reinterpret_cast<BrowserSite *>(reinterpret_cast<char *>(self) - offsetof(BrowserSite, field))

// Typed IUnknown entries of one interface, all acting on the one record.
#define SITE_UNKNOWN_ENTRIES(Interface, field)                                                  \
    HRESULT STDMETHODCALLTYPE Interface##QueryInterface(Interface *self, REFIID iid, void **out) { \
        return SiteQueryInterface(SITE_FROM(self, field), iid, out);                           \
    }                                                                                          \
    ULONG STDMETHODCALLTYPE Interface##AddRef(Interface *self) { return SiteAddRef(SITE_FROM(self, field)); } \
    ULONG STDMETHODCALLTYPE Interface##Release(Interface *self) { return SiteRelease(SITE_FROM(self, field)); }

SITE_UNKNOWN_ENTRIES(IOleClientSite, clientSite)
SITE_UNKNOWN_ENTRIES(IOleInPlaceSite, inPlaceSite)
SITE_UNKNOWN_ENTRIES(IOleInPlaceFrame, inPlaceFrame)
SITE_UNKNOWN_ENTRIES(IDispatch, dispatch)
SITE_UNKNOWN_ENTRIES(IDocHostUIHandler, uiHandler)
SITE_UNKNOWN_ENTRIES(IOleCommandTarget, commandTarget)

// IOleClientSite

HRESULT STDMETHODCALLTYPE ClientSaveObject(IOleClientSite *) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE ClientGetMoniker(IOleClientSite *, DWORD, DWORD, IMoniker **) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE ClientGetContainer(IOleClientSite *, IOleContainer **) { return E_NOINTERFACE; }
HRESULT STDMETHODCALLTYPE ClientShowObject(IOleClientSite *) { return S_OK; }
HRESULT STDMETHODCALLTYPE ClientOnShowWindow(IOleClientSite *, BOOL) { return S_OK; }
HRESULT STDMETHODCALLTYPE ClientRequestNewObjectLayout(IOleClientSite *) { return E_NOTIMPL; }

const IOleClientSiteVtbl kClientSiteVtbl = {
    IOleClientSiteQueryInterface, IOleClientSiteAddRef, IOleClientSiteRelease,
    ClientSaveObject, ClientGetMoniker, ClientGetContainer,
    ClientShowObject, ClientOnShowWindow, ClientRequestNewObjectLayout,
};

// IOleInPlaceSite

HRESULT STDMETHODCALLTYPE InPlaceGetWindow(IOleInPlaceSite *self, HWND *window) {
    return SiteGetWindow(SITE_FROM(self, inPlaceSite), window);
}
HRESULT STDMETHODCALLTYPE InPlaceContextSensitiveHelp(IOleInPlaceSite *, BOOL) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE InPlaceCanInPlaceActivate(IOleInPlaceSite *) { return S_OK; }
HRESULT STDMETHODCALLTYPE InPlaceOnInPlaceActivate(IOleInPlaceSite *) { return S_OK; }
HRESULT STDMETHODCALLTYPE InPlaceOnUIActivate(IOleInPlaceSite *) { return S_OK; }

HRESULT STDMETHODCALLTYPE InPlaceGetWindowContext(IOleInPlaceSite *self, IOleInPlaceFrame **frame,
                                                  IOleInPlaceUIWindow **document, RECT *position,
                                                  RECT *clip, OLEINPLACEFRAMEINFO *frameInfo) {
    // A control that passes a null place gets an error instead of a crash.
    if (!frame || !document || !position || !clip || !frameInfo) return E_POINTER;
    BrowserSite *site = SITE_FROM(self, inPlaceSite);
    *frame = SiteInPlaceFrame(site);
    *document = 0;
    RECT client = {0, 0, 0, 0};
    GetClientRect(site->paneWindow, &client);
    position->left = 0;
    position->top = 0;
    position->right = client.right;
    position->bottom = client.bottom;
    CopyRect(clip, position);
    frameInfo->cb = sizeof(OLEINPLACEFRAMEINFO);
    frameInfo->fMDIApp = FALSE;
    frameInfo->hwndFrame = site->paneWindow;
    frameInfo->haccel = 0;
    frameInfo->cAccelEntries = 0;
    IOleInPlaceFrame_AddRef(*frame);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE InPlaceScroll(IOleInPlaceSite *, SIZE) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE InPlaceOnUIDeactivate(IOleInPlaceSite *, BOOL) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE InPlaceOnInPlaceDeactivate(IOleInPlaceSite *) { return S_OK; }
HRESULT STDMETHODCALLTYPE InPlaceDiscardUndoState(IOleInPlaceSite *) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE InPlaceDeactivateAndUndo(IOleInPlaceSite *) { return E_NOTIMPL; }
// The pane decides its own size; a request from the control is not applied.
HRESULT STDMETHODCALLTYPE InPlaceOnPosRectChange(IOleInPlaceSite *, LPCRECT) { return S_OK; }

const IOleInPlaceSiteVtbl kInPlaceSiteVtbl = {
    IOleInPlaceSiteQueryInterface, IOleInPlaceSiteAddRef, IOleInPlaceSiteRelease,
    InPlaceGetWindow, InPlaceContextSensitiveHelp,
    InPlaceCanInPlaceActivate, InPlaceOnInPlaceActivate, InPlaceOnUIActivate,
    InPlaceGetWindowContext, InPlaceScroll, InPlaceOnUIDeactivate, InPlaceOnInPlaceDeactivate,
    InPlaceDiscardUndoState, InPlaceDeactivateAndUndo, InPlaceOnPosRectChange,
};

// IOleInPlaceFrame

HRESULT STDMETHODCALLTYPE FrameGetWindow(IOleInPlaceFrame *self, HWND *window) {
    return SiteGetWindow(SITE_FROM(self, inPlaceFrame), window);
}
HRESULT STDMETHODCALLTYPE FrameContextSensitiveHelp(IOleInPlaceFrame *, BOOL) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FrameGetBorder(IOleInPlaceFrame *, LPRECT) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FrameRequestBorderSpace(IOleInPlaceFrame *, LPCBORDERWIDTHS) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FrameSetBorderSpace(IOleInPlaceFrame *, LPCBORDERWIDTHS) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FrameSetActiveObject(IOleInPlaceFrame *, IOleInPlaceActiveObject *, LPCOLESTR) {
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE FrameInsertMenus(IOleInPlaceFrame *, HMENU, LPOLEMENUGROUPWIDTHS) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FrameSetMenu(IOleInPlaceFrame *, HMENU, HOLEMENU, HWND) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FrameRemoveMenus(IOleInPlaceFrame *, HMENU) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FrameSetStatusText(IOleInPlaceFrame *, LPCOLESTR) { return S_OK; }
HRESULT STDMETHODCALLTYPE FrameEnableModeless(IOleInPlaceFrame *, BOOL) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FrameTranslateAccelerator(IOleInPlaceFrame *, LPMSG, WORD) { return S_OK; }

const IOleInPlaceFrameVtbl kInPlaceFrameVtbl = {
    IOleInPlaceFrameQueryInterface, IOleInPlaceFrameAddRef, IOleInPlaceFrameRelease,
    FrameGetWindow, FrameContextSensitiveHelp,
    FrameGetBorder, FrameRequestBorderSpace, FrameSetBorderSpace, FrameSetActiveObject,
    FrameInsertMenus, FrameSetMenu, FrameRemoveMenus, FrameSetStatusText,
    FrameEnableModeless, FrameTranslateAccelerator,
};

// IDispatch: every ambient property keeps the control's default.

HRESULT STDMETHODCALLTYPE DispatchGetTypeInfoCount(IDispatch *, UINT *) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE DispatchGetTypeInfo(IDispatch *, UINT, LCID, ITypeInfo **) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE DispatchGetIDsOfNames(IDispatch *, REFIID, LPOLESTR *, UINT names, LCID,
                                                DISPID *ids) {
    if (ids && names > 0) ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}
HRESULT STDMETHODCALLTYPE DispatchInvoke(IDispatch *, DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *,
                                         EXCEPINFO *, UINT *) {
    return DISP_E_MEMBERNOTFOUND;
}

const IDispatchVtbl kDispatchVtbl = {
    IDispatchQueryInterface, IDispatchAddRef, IDispatchRelease,
    DispatchGetTypeInfoCount, DispatchGetTypeInfo, DispatchGetIDsOfNames, DispatchInvoke,
};

// IDocHostUIHandler

HRESULT STDMETHODCALLTYPE UIShowContextMenu(IDocHostUIHandler *, DWORD, POINT *, IUnknown *, IDispatch *) {
    return E_NOTIMPL;
}

// No 3D border and no scroll bars around the banner page.
HRESULT STDMETHODCALLTYPE UIGetHostInfo(IDocHostUIHandler *, DOCHOSTUIINFO *info) {
    if (info) info->dwFlags |= DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_SCROLL_NO;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE UIShowUI(IDocHostUIHandler *, DWORD, IOleInPlaceActiveObject *, IOleCommandTarget *,
                                   IOleInPlaceFrame *, IOleInPlaceUIWindow *) {
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE UIHideUI(IDocHostUIHandler *) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE UIUpdateUI(IDocHostUIHandler *) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE UIEnableModeless(IDocHostUIHandler *, BOOL) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE UIOnDocWindowActivate(IDocHostUIHandler *, BOOL) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE UIOnFrameWindowActivate(IDocHostUIHandler *, BOOL) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE UIResizeBorder(IDocHostUIHandler *, LPCRECT, IOleInPlaceUIWindow *, BOOL) {
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE UITranslateAccelerator(IDocHostUIHandler *, LPMSG, const GUID *, DWORD) {
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE UIGetOptionKeyPath(IDocHostUIHandler *, LPOLESTR *, DWORD) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE UIGetDropTarget(IDocHostUIHandler *, IDropTarget *, IDropTarget **) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE UIGetExternal(IDocHostUIHandler *, IDispatch **) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE UITranslateUrl(IDocHostUIHandler *, DWORD, LPWSTR, LPWSTR *) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE UIFilterDataObject(IDocHostUIHandler *, IDataObject *, IDataObject **) {
    return E_NOTIMPL;
}

const IDocHostUIHandlerVtbl kUIHandlerVtbl = {
    IDocHostUIHandlerQueryInterface, IDocHostUIHandlerAddRef, IDocHostUIHandlerRelease,
    UIShowContextMenu, UIGetHostInfo, UIShowUI, UIHideUI, UIUpdateUI,
    UIEnableModeless, UIOnDocWindowActivate, UIOnFrameWindowActivate, UIResizeBorder,
    UITranslateAccelerator, UIGetOptionKeyPath, UIGetDropTarget, UIGetExternal,
    UITranslateUrl, UIFilterDataObject,
};

// IOleCommandTarget

HRESULT STDMETHODCALLTYPE CommandQueryStatus(IOleCommandTarget *, const GUID *, ULONG, OLECMD *, OLECMDTEXT *) {
    return E_NOTIMPL;
}

// Answering the script-error command as handled keeps the control from
// showing its script-error dialog over the banner.
HRESULT STDMETHODCALLTYPE CommandExec(IOleCommandTarget *, const GUID *group, DWORD command, DWORD,
                                      VARIANT *, VARIANT *) {
    if (group && SameGuid(*group, kCgidDocHostCommandHandler) && command == kShowScriptErrorCommand) return S_OK;
    return E_NOTIMPL;
}

const IOleCommandTargetVtbl kCommandTargetVtbl = {
    IOleCommandTargetQueryInterface, IOleCommandTargetAddRef, IOleCommandTargetRelease,
    CommandQueryStatus, CommandExec,
};

}  // namespace

BrowserSite *CreateBrowserSite(HWND paneWindow) {
    BrowserSite *site = (BrowserSite *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(BrowserSite));
    if (!site) return 0;
    site->clientSite = &kClientSiteVtbl;
    site->inPlaceSite = &kInPlaceSiteVtbl;
    site->inPlaceFrame = &kInPlaceFrameVtbl;
    site->dispatch = &kDispatchVtbl;
    site->uiHandler = &kUIHandlerVtbl;
    site->commandTarget = &kCommandTargetVtbl;
    site->referenceCount = 1;
    site->paneWindow = paneWindow;
    return site;
}

IOleClientSite *SiteClientSite(BrowserSite *site) { return reinterpret_cast<IOleClientSite *>(&site->clientSite); }
IOleInPlaceSite *SiteInPlaceSite(BrowserSite *site) { return reinterpret_cast<IOleInPlaceSite *>(&site->inPlaceSite); }
IOleInPlaceFrame *SiteInPlaceFrame(BrowserSite *site) {
    return reinterpret_cast<IOleInPlaceFrame *>(&site->inPlaceFrame);
}
IDispatch *SiteDispatch(BrowserSite *site) { return reinterpret_cast<IDispatch *>(&site->dispatch); }
IDocHostUIHandler *SiteUIHandler(BrowserSite *site) { return reinterpret_cast<IDocHostUIHandler *>(&site->uiHandler); }
IOleCommandTarget *SiteCommandTarget(BrowserSite *site) {
    return reinterpret_cast<IOleCommandTarget *>(&site->commandTarget);
}
