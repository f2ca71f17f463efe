// The banner pane: a child window of class "IEFrame" across the top of the
// main window that shows one web page in the system's browser control.
#ifndef QUILLET_BANNER_PANE_H
#define QUILLET_BANNER_PANE_H

#include <windows.h>

struct BrowserSite;
struct IWebBrowser2;

// The maker's page for the pane, an https address. Empty: the pane shows
// the page built into the program instead, and nothing goes to the network.
extern const char kMakerPageAddress[];

// The address the pane is to show: the maker's page when there is one,
// else "res://<path of module>/<pageName>", the program's own HTML
// resource. 0 (and an empty address) when the path cannot be read, does
// not fit in `size`, or holds a character that an address would take as
// its own syntax ('#', '%', '?').
int BannerPageAddress(HMODULE module, const char *pageName, char *address, int size);

// The pane opens only res: addresses (the program's own resources) and
// https ones: Quillet runs elevated, and no other kind of page may reach it.
int IsReachableBannerAddress(const char *address);

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
