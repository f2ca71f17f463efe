// The banner pane: a child window of class "IEFrame" across the top of the
// main window that shows one web page in the system's browser control.
#ifndef QUILLET_BANNER_PANE_H
#define QUILLET_BANNER_PANE_H

#include <windows.h>

struct BrowserSite;
struct IWebBrowser2;

// The maker's banner page. Quillet runs elevated, so only https.
extern const char kBannerPageAddress[];

// One per pane window; its address is the window's creation parameter and
// lives in GWLP_USERDATA from WM_NCCREATE on.
struct BannerPane {
    const char *pageAddress;   // the caller's string, read once at WM_CREATE
    HWND paneWindow;
    BrowserSite *site;         // one reference
    IWebBrowser2 *webBrowser;  // one reference; null when the control has none
};

// Creates and shows the pane; the page address must stay valid until the
// pane has been created. Returns the pane window (null if it could not be
// made).
HWND CreateBannerPane(HWND parent, int x, int y, int width, int height, const char *pageAddress, int controlId);

LRESULT CALLBACK BannerPaneProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The work of WM_CREATE, WM_SIZE and WM_DESTROY. Each accepts a null pane
// and a pane whose control is missing or lacks interfaces.
void EmbedBrowser(HWND paneWindow, BannerPane *pane);
void PlaceBrowser(BannerPane *pane, LPARAM sizeParam);
void UnembedBrowser(BannerPane *pane);

// How the pane makes its browser control: CoCreateInstance unless a test
// hands in a stand-in control through this pointer.
typedef HRESULT(STDAPICALLTYPE *BrowserCreateFunction)(REFCLSID classId, LPUNKNOWN outer, DWORD context,
                                                        REFIID iid, LPVOID *object);
extern BrowserCreateFunction browserCreateInstance;

#endif
