#include "stand_in_browser.h"

#include <stddef.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>

// Slots the pane has no business calling stay null: such a call crashes the
// test instead of passing unnoticed.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

#define STAND_IN(self, field) \
    reinterpret_cast<StandInBrowser *>(reinterpret_cast<char *>(self) - offsetof(StandInBrowser, field))

// QueryInterface, AddRef and Release of one interface, for the whole object.
#define UNKNOWN_METHODS(prefix, Interface, field)                                                              \
    HRESULT STDMETHODCALLTYPE prefix##QueryInterface(Interface *self, REFIID iid, void **out) {                \
        return QueryStandIn(STAND_IN(self, field), iid, out);                                                  \
    }                                                                                                          \
    ULONG STDMETHODCALLTYPE prefix##AddRef(Interface *self) { return AddRefStandIn(STAND_IN(self, field)); }   \
    ULONG STDMETHODCALLTYPE prefix##Release(Interface *self) { return ReleaseStandIn(STAND_IN(self, field)); }

void Log(StandInBrowser *browser, const char *word) {
    size_t used = strlen(browser->log);
    snprintf(browser->log + used, sizeof browser->log - used, used ? " %s" : "%s", word);
}

HRESULT QueryStandIn(StandInBrowser *browser, REFIID iid, void **out) {
    struct Answer {
        const IID *iid;
        unsigned offer;
        void *pointer;
        const char *name;
    } answers[] = {
        {&IID_IUnknown, 0, &browser->oleObject, "QI:Unknown"},
        {&IID_IOleObject, kOfferOleObject, &browser->oleObject, "QI:OleObject"},
        {&IID_IPersistStreamInit, kOfferPersistStreamInit, &browser->persist, "QI:PersistStreamInit"},
        {&IID_IOleInPlaceObject, kOfferInPlaceObject, &browser->inPlace, "QI:InPlaceObject"},
        {&IID_IWebBrowser2, kOfferWebBrowser2, &browser->webBrowser, "QI:WebBrowser2"},
    };
    *out = 0;
    for (const Answer &answer : answers) {
        if (!IsEqualIID(iid, *answer.iid)) continue;
        if ((browser->offers & answer.offer) != answer.offer) {
            char word[64];
            snprintf(word, sizeof word, "%s-missing", answer.name);
            Log(browser, word);
            return E_NOINTERFACE;
        }
        Log(browser, answer.name);
        *out = answer.pointer;
        browser->references++;
        return S_OK;
    }
    Log(browser, "QI:other");
    return E_NOINTERFACE;
}

ULONG AddRefStandIn(StandInBrowser *browser) {
    Log(browser, "AddRef");
    return (ULONG)++browser->references;
}

ULONG ReleaseStandIn(StandInBrowser *browser) {
    Log(browser, "Release");
    LONG count = --browser->references;
    if (count == 0) browser->timesReachedZero++;
    return (ULONG)count;
}

// IOleObject

UNKNOWN_METHODS(Object, IOleObject, oleObject)

HRESULT STDMETHODCALLTYPE ObjectSetClientSite(IOleObject *self, IOleClientSite *site) {
    StandInBrowser *browser = STAND_IN(self, oleObject);
    Log(browser, site ? "SetClientSite:site" : "SetClientSite:null");
    if (site) IOleClientSite_AddRef(site);
    if (browser->clientSite) IOleClientSite_Release(browser->clientSite);
    browser->clientSite = site;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ObjectClose(IOleObject *self, DWORD saveOption) {
    char word[32];
    snprintf(word, sizeof word, "Close:%lu", (unsigned long)saveOption);
    Log(STAND_IN(self, oleObject), word);
    return S_OK;
}

// In-place activation as a control does it: the in-place site and the frame
// are held until the control is deactivated.
HRESULT STDMETHODCALLTYPE ObjectDoVerb(IOleObject *self, LONG verb, MSG *message, IOleClientSite *activeSite,
                                       LONG index, HWND parent, LPCRECT rect) {
    StandInBrowser *browser = STAND_IN(self, oleObject);
    char parentClass[16] = "";
    GetClassNameA(parent, parentClass, sizeof parentClass);
    int argumentsRight = !message && activeSite && activeSite == browser->clientSite && index == 0 &&
                         strcmp(parentClass, "IEFrame") == 0 && rect && rect->left == 0 &&
                         rect->top == 0 && rect->right == 0 && rect->bottom == 0;
    char word[48];
    snprintf(word, sizeof word, "DoVerb:%ld%s", (long)verb, argumentsRight ? "" : ":bad-arguments");
    Log(browser, word);
    if (verb == OLEIVERB_INPLACEACTIVATE && activeSite && !browser->inPlaceSite) {
        IOleInPlaceSite *inPlaceSite = 0;
        IOleClientSite_QueryInterface(activeSite, IID_IOleInPlaceSite, (void **)&inPlaceSite);
        if (!inPlaceSite) return E_FAIL;
        browser->inPlaceSite = inPlaceSite;
        IOleInPlaceSite_CanInPlaceActivate(inPlaceSite);
        IOleInPlaceSite_OnInPlaceActivate(inPlaceSite);
        IOleInPlaceUIWindow *document = 0;
        RECT position, clip;
        OLEINPLACEFRAMEINFO frameInfo;
        frameInfo.cb = sizeof frameInfo;
        IOleInPlaceSite_GetWindowContext(inPlaceSite, &browser->frame, &document, &position, &clip, &frameInfo);
    }
    if (verb == OLEIVERB_UIACTIVATE && browser->inPlaceSite) IOleInPlaceSite_OnUIActivate(browser->inPlaceSite);
    return S_OK;
}

const IOleObjectVtbl kObjectVtbl = {
    .QueryInterface = ObjectQueryInterface,
    .AddRef = ObjectAddRef,
    .Release = ObjectRelease,
    .SetClientSite = ObjectSetClientSite,
    .Close = ObjectClose,
    .DoVerb = ObjectDoVerb,
};

// IPersistStreamInit

UNKNOWN_METHODS(Persist, IPersistStreamInit, persist)
HRESULT STDMETHODCALLTYPE PersistInitNew(IPersistStreamInit *self) {
    Log(STAND_IN(self, persist), "InitNew");
    return S_OK;
}

const IPersistStreamInitVtbl kPersistVtbl = {
    .QueryInterface = PersistQueryInterface,
    .AddRef = PersistAddRef,
    .Release = PersistRelease,
    .InitNew = PersistInitNew,
};

// IOleInPlaceObject

UNKNOWN_METHODS(InPlace, IOleInPlaceObject, inPlace)

HRESULT STDMETHODCALLTYPE InPlaceInPlaceDeactivate(IOleInPlaceObject *self) {
    StandInBrowser *browser = STAND_IN(self, inPlace);
    Log(browser, "InPlaceDeactivate");
    if (browser->inPlaceSite) {
        IOleInPlaceSite_OnInPlaceDeactivate(browser->inPlaceSite);
        IOleInPlaceSite_Release(browser->inPlaceSite);
        browser->inPlaceSite = 0;
    }
    if (browser->frame) {
        IOleInPlaceFrame_Release(browser->frame);
        browser->frame = 0;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE InPlaceUIDeactivate(IOleInPlaceObject *self) {
    Log(STAND_IN(self, inPlace), "UIDeactivate");
    return S_OK;
}

HRESULT STDMETHODCALLTYPE InPlaceSetObjectRects(IOleInPlaceObject *self, LPCRECT position, LPCRECT clip) {
    StandInBrowser *browser = STAND_IN(self, inPlace);
    if (!position || !clip) {
        Log(browser, "SetObjectRects:null");
        return E_POINTER;
    }
    char word[80];
    snprintf(word, sizeof word, "SetObjectRects:%ld,%ld,%ld,%ld%s", (long)position->left, (long)position->top,
             (long)position->right, (long)position->bottom, EqualRect(position, clip) ? "" : ":clip-differs");
    Log(browser, word);
    return S_OK;
}

const IOleInPlaceObjectVtbl kInPlaceVtbl = {
    .QueryInterface = InPlaceQueryInterface,
    .AddRef = InPlaceAddRef,
    .Release = InPlaceRelease,
    .InPlaceDeactivate = InPlaceInPlaceDeactivate,
    .UIDeactivate = InPlaceUIDeactivate,
    .SetObjectRects = InPlaceSetObjectRects,
};

// IWebBrowser2

UNKNOWN_METHODS(Web, IWebBrowser2, webBrowser)

HRESULT STDMETHODCALLTYPE WebNavigate(IWebBrowser2 *self, BSTR url, VARIANT *flags, VARIANT *target,
                                      VARIANT *postData, VARIANT *headers) {
    StandInBrowser *browser = STAND_IN(self, webBrowser);
    char word[300];
    if (!url) {
        Log(browser, "Navigate:null");
    } else if (SysStringLen(url) != (UINT)lstrlenW(url)) {
        // The length prefix must match: a control may rely on it.
        Log(browser, "Navigate:not-a-BSTR");
    } else {
        char address[256] = "";
        WideCharToMultiByte(CP_ACP, 0, url, -1, address, sizeof address, 0, 0);
        snprintf(word, sizeof word, "Navigate:%s%s", address,
                 flags || target || postData || headers ? ":extra-arguments" : "");
        Log(browser, word);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WebPutOffline(IWebBrowser2 *self, VARIANT_BOOL offline) {
    char word[32];
    snprintf(word, sizeof word, "put_Offline:%d", (int)offline);
    Log(STAND_IN(self, webBrowser), word);
    return S_OK;
}

const IWebBrowser2Vtbl kWebBrowserVtbl = {
    .QueryInterface = WebQueryInterface,
    .AddRef = WebAddRef,
    .Release = WebRelease,
    .Navigate = WebNavigate,
    .put_Offline = WebPutOffline,
};

}  // namespace

StandInBrowser *CreateStandInBrowser(unsigned offers) {
    StandInBrowser *browser = (StandInBrowser *)calloc(1, sizeof(StandInBrowser));
    browser->oleObject = &kObjectVtbl;
    browser->persist = &kPersistVtbl;
    browser->inPlace = &kInPlaceVtbl;
    browser->webBrowser = &kWebBrowserVtbl;
    browser->offers = offers;
    browser->references = 1;
    return browser;
}

IUnknown *StandInUnknown(StandInBrowser *browser) { return reinterpret_cast<IUnknown *>(&browser->oleObject); }

void ClearStandInLog(StandInBrowser *browser) { browser->log[0] = 0; }
