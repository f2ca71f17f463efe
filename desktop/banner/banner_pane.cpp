// The banner pane's window and the embedding of the browser control.
//
// Every step tolerates a missing control or a missing interface: the pane
// then stays an empty strip in the window colour, nothing calls through a
// null pointer, and teardown releases exactly what was taken.
#include "banner_pane.h"

#include <exdisp.h>

#include "browser_site.h"

const char kMakerPageAddress[] = "";

BrowserCreateFunction browserCreateInstance = CoCreateInstance;

namespace {

const GUID kIidUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kIidOleObject = {0x00000112, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kIidPersistStreamInit = {0x7fd52380, 0x4e07, 0x101b, {0xae, 0x2d, 0x08, 0x00, 0x2b, 0x2e, 0xc7, 0x13}};
const GUID kIidOleInPlaceObject = {0x00000113, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kIidWebBrowser2 = {0xd30c1661, 0xcdaf, 0x11d0, {0x8a, 0x3e, 0x00, 0xc0, 0x4f, 0xc9, 0xe2, 0x6e}};

const char kPaneClassName[] = "IEFrame";

// The interface of the control, or null when there is no control or it
// does not offer that interface.
void *QueryBrowser(IUnknown *browser, const GUID &iid) {
    void *answer = 0;
    if (!browser) return 0;
    if (FAILED(IUnknown_QueryInterface(browser, iid, &answer))) return 0;
    return answer;
}

BannerPane *PaneOf(HWND window) { return (BannerPane *)GetWindowLongPtrA(window, GWLP_USERDATA); }

void ActivateBrowser(BrowserSite *site, LONG verb) {
    IOleObject *object = (IOleObject *)QueryBrowser(site->browser, kIidOleObject);
    if (!object) return;
    IOleObject_DoVerb(object, verb, 0, SiteClientSite(site), 0, site->paneWindow, &site->positionRect);
    if (verb == OLEIVERB_INPLACEACTIVATE) {
        IOleObject_DoVerb(object, OLEIVERB_SHOW, 0, SiteClientSite(site), 0, site->paneWindow, &site->positionRect);
    }
    IOleObject_Release(object);
}

void NavigateTo(IWebBrowser2 *webBrowser, const char *pageAddress) {
    // Navigate takes a BSTR, and a control may read its length prefix (or
    // marshal it by that length out of process): the converted address is
    // laid out as one, length prefix first, in a process-heap block.
    int length = lstrlenA(pageAddress);
    SIZE_T prefixSize = sizeof(UINT32);
    SIZE_T blockSize = prefixSize + (SIZE_T)(length + 1) * sizeof(WCHAR);
    BYTE *block = (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, blockSize);
    if (!block) return;
    WCHAR *url = (WCHAR *)(block + prefixSize);
    int characters = MultiByteToWideChar(CP_ACP, 0, pageAddress, -1, url, length + 1);
    UINT32 byteLength = characters > 0 ? (UINT32)(characters - 1) * sizeof(WCHAR) : 0;
    CopyMemory(block, &byteLength, sizeof byteLength);
    IWebBrowser2_Navigate(webBrowser, url, 0, 0, 0, 0);
    HeapFree(GetProcessHeap(), 0, block);
}

int StartsWithIgnoringCase(const char *text, const char *prefix) {
    for (; *prefix; text++, prefix++) {
        char letter = *text >= 'A' && *text <= 'Z' ? (char)(*text - 'A' + 'a') : *text;
        if (letter != *prefix) return 0;
    }
    return 1;
}

}  // namespace

int IsReachableBannerAddress(const char *address) {
    return address && (StartsWithIgnoringCase(address, "res://") || StartsWithIgnoringCase(address, "https://"));
}

int BannerPageAddress(HMODULE module, const char *pageName, char *address, int size) {
    if (size < 1) return 0;
    address[0] = 0;
    if (kMakerPageAddress[0]) {
        if (lstrlenA(kMakerPageAddress) >= size) return 0;
        lstrcpyA(address, kMakerPageAddress);
        return 1;
    }
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0 || length >= sizeof path) return 0;
    // GetModuleFileNameA writes '?' for a character outside the code page.
    for (DWORD i = 0; i < length; i++) {
        if (path[i] == '#' || path[i] == '%' || path[i] == '?') return 0;
    }
    if (6 + (int)length + 1 + lstrlenA(pageName) >= size) return 0;
    lstrcpyA(address, "res://");
    lstrcatA(address, path);
    lstrcatA(address, "/");
    lstrcatA(address, pageName);
    return 1;
}

HWND CreateBannerPane(HWND parent, int x, int y, int width, int height, const char *pageAddress, int controlId) {
    WNDCLASSEXA paneClass;
    ZeroMemory(&paneClass, sizeof paneClass);
    paneClass.cbSize = sizeof paneClass;
    paneClass.style = CS_DBLCLKS | CS_OWNDC | CS_SAVEBITS;
    paneClass.lpfnWndProc = BannerPaneProc;
    paneClass.hCursor = LoadCursorA(0, (LPCSTR)IDC_ARROW);
    paneClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    paneClass.lpszClassName = kPaneClassName;
    RegisterClassExA(&paneClass);  // a second registration fails and changes nothing

    BannerPane *pane = (BannerPane *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(BannerPane));
    if (pane) pane->pageAddress = pageAddress;

    HWND window = CreateWindowExA(0, kPaneClassName, 0, WS_CHILD, x, y, width, height, parent,
                                  (HMENU)(INT_PTR)controlId, 0, pane);
    // A failed creation may or may not have reached WM_DESTROY, which frees
    // the pane record; it is left alone rather than risk freeing it twice.
    if (!window) return 0;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(parent);
    return window;
}

LRESULT CALLBACK BannerPaneProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NCCREATE:
        if (lParam) SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)((CREATESTRUCTA *)lParam)->lpCreateParams);
        break;
    case WM_CREATE:
        EmbedBrowser(window, PaneOf(window));
        break;
    case WM_SIZE:
        PlaceBrowser(PaneOf(window), lParam);
        break;
    case WM_DESTROY:
        UnembedBrowser(PaneOf(window));
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void EmbedBrowser(HWND paneWindow, BannerPane *pane) {
    if (!pane) return;
    pane->paneWindow = paneWindow;
    BrowserSite *site = CreateBrowserSite(paneWindow);
    if (!site) return;
    pane->site = site;

    CLSID classId;
    ZeroMemory(&classId, sizeof classId);
    CLSIDFromString(L"Shell.Explorer", &classId);
    IUnknown *browser = 0;
    if (FAILED(browserCreateInstance(classId, 0, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, kIidUnknown,
                                     (void **)&browser))) {
        browser = 0;
    }
    site->browser = browser;
    if (!browser) return;  // no control: the pane stays empty

    IOleObject *object = (IOleObject *)QueryBrowser(browser, kIidOleObject);
    if (object) {
        IOleObject_SetClientSite(object, SiteClientSite(site));
        IOleObject_Release(object);
    }
    IPersistStreamInit *persist = (IPersistStreamInit *)QueryBrowser(browser, kIidPersistStreamInit);
    if (persist) {
        IPersistStreamInit_InitNew(persist);
        IPersistStreamInit_Release(persist);
    }
    // The rectangle is still empty here; the control learns its place from
    // GetWindowContext and from the first WM_SIZE.
    ActivateBrowser(site, OLEIVERB_INPLACEACTIVATE);
    ActivateBrowser(site, OLEIVERB_UIACTIVATE);

    // Held while the page is started, in case the control drops the site's
    // reference on the way.
    IUnknown_AddRef(browser);
    pane->webBrowser = (IWebBrowser2 *)QueryBrowser(browser, kIidWebBrowser2);
    if (pane->webBrowser) {
        IWebBrowser2_put_Offline(pane->webBrowser, VARIANT_FALSE);
        if (IsReachableBannerAddress(pane->pageAddress)) NavigateTo(pane->webBrowser, pane->pageAddress);
    }
    IUnknown_Release(browser);
}

void PlaceBrowser(BannerPane *pane, LPARAM sizeParam) {
    if (!pane || !pane->site) return;
    BrowserSite *site = pane->site;
    site->positionRect.left = 0;
    site->positionRect.top = 0;
    site->positionRect.right = LOWORD(sizeParam);
    site->positionRect.bottom = HIWORD(sizeParam);
    IOleInPlaceObject *inPlace = (IOleInPlaceObject *)QueryBrowser(site->browser, kIidOleInPlaceObject);
    if (!inPlace) return;
    IOleInPlaceObject_SetObjectRects(inPlace, &site->positionRect, &site->positionRect);
    IOleInPlaceObject_Release(inPlace);
}

void UnembedBrowser(BannerPane *pane) {
    if (!pane) return;
    if (pane->webBrowser) {
        IWebBrowser2_Release(pane->webBrowser);
        pane->webBrowser = 0;
    }
    BrowserSite *site = pane->site;
    if (site) {
        IOleObject *object = (IOleObject *)QueryBrowser(site->browser, kIidOleObject);
        if (object) {
            IOleObject_Close(object, OLECLOSE_NOSAVE);
            IOleObject_SetClientSite(object, 0);
            IOleObject_Release(object);
        }
        IOleInPlaceObject *inPlace = (IOleInPlaceObject *)QueryBrowser(site->browser, kIidOleInPlaceObject);
        if (inPlace) {
            IOleInPlaceObject_UIDeactivate(inPlace);
            IOleInPlaceObject_InPlaceDeactivate(inPlace);
            IOleInPlaceObject_Release(inPlace);
        }
        if (site->browser) {
            IUnknown *browser = site->browser;
            site->browser = 0;
            IUnknown_Release(browser);
        }
        pane->site = 0;
        // Drops the pane's reference; the site frees itself at zero.
        IOleClientSite_Release(SiteClientSite(site));
    }
    HeapFree(GetProcessHeap(), 0, pane);
}
