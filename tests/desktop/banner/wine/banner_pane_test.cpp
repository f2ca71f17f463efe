// The banner pane and its browser site under Wine, with a stand-in browser
// control handed in through the pane's creation hook, and once with the
// platform's own control.
#include <windows.h>
#include <ole2.h>
#include <exdisp.h>
#include <mshtmhst.h>
#include <olectl.h>
#include <string.h>

#include "banner_pane.h"
#include "browser_site.h"
#include "heap_free_log.h"
#include "stand_in_browser.h"
#include "wine_check.h"

namespace {

const CLSID kWebBrowserClass = {0x8856f961, 0x340a, 0x11d0, {0xa9, 0x6b, 0x00, 0xc0, 0x4f, 0xd7, 0x05, 0xa2}};
const GUID kCgidDocHostCommandHandler = {0xf38bc242, 0xb950, 0x11d1, {0x89, 0x18, 0x00, 0xc0, 0x4f, 0xc2, 0xc8, 0x36}};

// What every control that offers IOleObject and IPersistStreamInit hears
// while it is embedded, up to its IWebBrowser2, and at teardown.
#define EMBEDDING                                                                  \
    "QI:OleObject SetClientSite:site Release QI:PersistStreamInit InitNew Release " \
    "QI:OleObject DoVerb:-5 DoVerb:-1 Release QI:OleObject DoVerb:-4 Release AddRef "
#define TEARDOWN \
    "QI:OleObject Close:1 SetClientSite:null Release QI:InPlaceObject UIDeactivate InPlaceDeactivate Release Release"
#define PLACING "QI:InPlaceObject SetObjectRects:0,0,%d,%d Release"

// What the creation hook hands out, and what it was asked for.
StandInBrowser *nextControl;
int creations;
CLSID requestedClass;
IID requestedInterface;
DWORD requestedContext;
IUnknown *requestedOuter;

HRESULT STDAPICALLTYPE CreateStandIn(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID *object) {
    creations++;
    requestedClass = classId;
    requestedInterface = iid;
    requestedContext = context;
    requestedOuter = outer;
    *object = nextControl ? StandInUnknown(nextControl) : 0;
    return nextControl ? S_OK : REGDB_E_CLASSNOTREG;
}

HWND parentWindow;

LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreatePlainWindow(HWND parent, int width, int height) {
    return CreateWindowExA(0, "BannerTestWindow", "", parent ? WS_CHILD : WS_OVERLAPPEDWINDOW, 0, 0, width, height,
                           parent, 0, GetModuleHandleA(0), 0);
}

void PumpMessages(DWORD milliseconds) {
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageA(&message, 0, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(10);
    } while (GetTickCount() - start < milliseconds);
}

BannerPane *PaneRecord(HWND pane) { return (BannerPane *)GetWindowLongPtrA(pane, GWLP_USERDATA); }

int RectIs(const RECT &rect, LONG left, LONG top, LONG right, LONG bottom) {
    return rect.left == left && rect.top == top && rect.right == right && rect.bottom == bottom;
}

// The log holds nothing but one or more copies of placing.
int OnlyPlacings(const char *log, const char *placing) {
    size_t length = strlen(placing);
    int placings = 0;
    for (; strncmp(log, placing, length) == 0; placings++) {
        log += length;
        if (*log == ' ') log++;
    }
    return placings > 0 && *log == 0;
}

// --- The site alone ---------------------------------------------------------

void SiteAlone() {
    BeginGroup("site alone");
    HWND window = CreatePlainWindow(parentWindow, 200, 50);
    BrowserSite *site = CreateBrowserSite(window);
    CHECK(site != 0);
    CHECK_EQ(1, site->referenceCount);
    CHECK_EQ((INT_PTR)window, (INT_PTR)site->paneWindow);
    IOleClientSite *clientSite = SiteClientSite(site);
    CHECK_EQ((INT_PTR)site, (INT_PTR)clientSite);

    CHECK_EQ(E_POINTER, IOleClientSite_QueryInterface(clientSite, IID_IUnknown, 0));

    struct {
        const IID *iid;
        void *expected;
    } answers[] = {
        {&IID_IUnknown, clientSite},
        {&IID_IOleClientSite, clientSite},
        {&IID_IOleInPlaceSite, SiteInPlaceSite(site)},
        {&IID_IOleInPlaceFrame, SiteInPlaceFrame(site)},
        {&IID_IDispatch, SiteDispatch(site)},
        {&IID_IDocHostUIHandler, SiteUIHandler(site)},
        {&IID_IOleCommandTarget, SiteCommandTarget(site)},
    };
    LONG count = 1;
    for (auto &answer : answers) {
        // Through another interface than the first: every one shares it.
        void *out = 0;
        CHECK_EQ(S_OK, IOleCommandTarget_QueryInterface(SiteCommandTarget(site), *answer.iid, &out));
        CHECK_EQ((INT_PTR)answer.expected, (INT_PTR)out);
        CHECK_EQ(++count, site->referenceCount);
    }
    const IID *refused[] = {&IID_IOleWindow, &IID_IServiceProvider, &IID_IOleObject, &IID_IOleInPlaceUIWindow};
    for (const IID *iid : refused) {
        void *out = (void *)1;
        CHECK_EQ(E_NOINTERFACE, IDispatch_QueryInterface(SiteDispatch(site), *iid, &out));
        CHECK(out == 0);
    }
    CHECK_EQ(count, site->referenceCount);

    // One count whichever interface the calls come through.
    CHECK_EQ(count + 1, IDocHostUIHandler_AddRef(SiteUIHandler(site)));
    CHECK_EQ(count, IOleInPlaceFrame_Release(SiteInPlaceFrame(site)));
    while (count > 1) CHECK_EQ(--count, IOleInPlaceSite_Release(SiteInPlaceSite(site)));

    HWND out = (HWND)0x1234;
    CHECK_EQ(S_OK, IOleInPlaceSite_GetWindow(SiteInPlaceSite(site), &out));
    CHECK_EQ((INT_PTR)window, (INT_PTR)out);
    out = (HWND)0x1234;
    CHECK_EQ(S_OK, IOleInPlaceFrame_GetWindow(SiteInPlaceFrame(site), &out));
    CHECK_EQ((INT_PTR)window, (INT_PTR)out);

    // The window context: the pane's client area, the site's frame with a
    // reference, and a frame info of 20 bytes whatever the caller said.
    IOleInPlaceFrame *frame = 0;
    IOleInPlaceUIWindow *document = (IOleInPlaceUIWindow *)1;
    RECT position = {9, 9, 9, 9}, clip = {9, 9, 9, 9};
    OLEINPLACEFRAMEINFO info;
    memset(&info, 0x5a, sizeof info);
    CHECK_EQ(S_OK,
             IOleInPlaceSite_GetWindowContext(SiteInPlaceSite(site), &frame, &document, &position, &clip, &info));
    CHECK_EQ((INT_PTR)SiteInPlaceFrame(site), (INT_PTR)frame);
    CHECK(document == 0);
    CHECK(RectIs(position, 0, 0, 200, 50));
    CHECK(RectIs(clip, 0, 0, 200, 50));
    CHECK_EQ(20, info.cb);
    CHECK_EQ(FALSE, info.fMDIApp);
    CHECK_EQ((INT_PTR)window, (INT_PTR)info.hwndFrame);
    CHECK(info.haccel == 0);
    CHECK_EQ(0, info.cAccelEntries);
    CHECK_EQ(2, site->referenceCount);
    IOleInPlaceFrame_Release(frame);

    // Host info: two flags added, nothing else touched; a null is fine.
    CHECK_EQ(S_OK, IDocHostUIHandler_GetHostInfo(SiteUIHandler(site), 0));
    DOCHOSTUIINFO hostInfo;
    memset(&hostInfo, 0x33, sizeof hostInfo);
    hostInfo.cbSize = sizeof hostInfo;
    hostInfo.dwFlags = DOCHOSTUIFLAG_DIALOG | DOCHOSTUIFLAG_NO3DBORDER;
    DOCHOSTUIINFO expectedInfo = hostInfo;
    expectedInfo.dwFlags = DOCHOSTUIFLAG_DIALOG | DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_SCROLL_NO;
    CHECK_EQ(S_OK, IDocHostUIHandler_GetHostInfo(SiteUIHandler(site), &hostInfo));
    CHECK(memcmp(&hostInfo, &expectedInfo, sizeof hostInfo) == 0);

    // Only the script-error command of the document host's group is taken.
    IOleCommandTarget *target = SiteCommandTarget(site);
    VARIANT outValue;
    VariantInit(&outValue);
    outValue.vt = VT_I4;
    outValue.lVal = 77;
    CHECK_EQ(S_OK, IOleCommandTarget_Exec(target, &kCgidDocHostCommandHandler, 40, 0, 0, &outValue));
    CHECK(outValue.vt == VT_I4 && outValue.lVal == 77);
    CHECK_EQ(E_NOTIMPL, IOleCommandTarget_Exec(target, 0, 40, 0, 0, &outValue));
    CHECK_EQ(E_NOTIMPL, IOleCommandTarget_Exec(target, &kCgidDocHostCommandHandler, 39, 0, 0, 0));
    CHECK_EQ(E_NOTIMPL, IOleCommandTarget_Exec(target, &kCgidDocHostCommandHandler, 41, 0, 0, 0));
    CHECK_EQ(E_NOTIMPL, IOleCommandTarget_Exec(target, &IID_IOleCommandTarget, 40, 0, 0, 0));

    // A destroyed pane window: S_FALSE and the caller's value stays.
    DestroyWindow(window);
    out = (HWND)0x1234;
    CHECK_EQ(S_FALSE, IOleInPlaceSite_GetWindow(SiteInPlaceSite(site), &out));
    CHECK_EQ(0x1234, (INT_PTR)out);
    CHECK_EQ(S_FALSE, IOleInPlaceFrame_GetWindow(SiteInPlaceFrame(site), &out));
    CHECK_EQ(0x1234, (INT_PTR)out);

    // Counting down: the last Release frees the site and the control it
    // still holds.
    StandInBrowser *control = CreateStandInBrowser(kOfferEverything);
    site->browser = StandInUnknown(control);
    CHECK_EQ(2, IOleClientSite_AddRef(clientSite));
    CHECK_EQ(1, IOleClientSite_Release(clientSite));
    ForgetHeapFrees();
    CHECK_EQ(0, IOleClientSite_Release(clientSite));
    CHECK_EQ(1, TimesFreed(site));
    CHECK_EQ(0, control->references);
    CHECK_EQ(1, control->timesReachedZero);
}

// Methods of one signature can trade slots unnoticed by the compiler; where
// their results differ, a table out of order answers wrong here.
void SiteMethodsInSlotOrder() {
    BeginGroup("site methods in slot order");
    BrowserSite *site = CreateBrowserSite(0);
    IOleClientSite *client = SiteClientSite(site);
    CHECK_EQ(E_NOTIMPL, IOleClientSite_SaveObject(client));
    CHECK_EQ(S_OK, IOleClientSite_ShowObject(client));
    CHECK_EQ(E_NOTIMPL, IOleClientSite_RequestNewObjectLayout(client));
    IOleContainer *container = 0;
    CHECK_EQ(E_NOINTERFACE, IOleClientSite_GetContainer(client, &container));

    IOleInPlaceSite *inPlace = SiteInPlaceSite(site);
    CHECK_EQ(S_OK, IOleInPlaceSite_CanInPlaceActivate(inPlace));
    CHECK_EQ(S_OK, IOleInPlaceSite_OnInPlaceActivate(inPlace));
    CHECK_EQ(S_OK, IOleInPlaceSite_OnUIActivate(inPlace));
    CHECK_EQ(E_NOTIMPL, IOleInPlaceSite_OnUIDeactivate(inPlace, FALSE));
    CHECK_EQ(S_OK, IOleInPlaceSite_OnInPlaceDeactivate(inPlace));
    CHECK_EQ(E_NOTIMPL, IOleInPlaceSite_DiscardUndoState(inPlace));
    CHECK_EQ(E_NOTIMPL, IOleInPlaceSite_DeactivateAndUndo(inPlace));
    RECT rect = {1, 2, 3, 4};
    CHECK_EQ(S_OK, IOleInPlaceSite_OnPosRectChange(inPlace, &rect));
    CHECK(RectIs(site->positionRect, 0, 0, 0, 0));

    IOleInPlaceFrame *frame = SiteInPlaceFrame(site);
    CHECK_EQ(S_OK, IOleInPlaceFrame_SetStatusText(frame, L"status"));
    CHECK_EQ(E_NOTIMPL, IOleInPlaceFrame_EnableModeless(frame, TRUE));
    CHECK_EQ(E_NOTIMPL, IOleInPlaceFrame_ContextSensitiveHelp(frame, TRUE));

    // Every ambient property keeps the control's default.
    IDispatch *dispatch = SiteDispatch(site);
    LPOLESTR names[1] = {(LPOLESTR)L"AmbientUserMode"};
    DISPID ids[1] = {42};
    CHECK_EQ(DISP_E_UNKNOWNNAME, IDispatch_GetIDsOfNames(dispatch, IID_NULL, names, 1, 0, ids));
    CHECK_EQ(DISPID_UNKNOWN, ids[0]);
    DISPPARAMS parameters = {0, 0, 0, 0};
    CHECK_EQ(DISP_E_MEMBERNOTFOUND, IDispatch_Invoke(dispatch, DISPID_AMBIENT_USERMODE, IID_NULL, 0,
                                                     DISPATCH_PROPERTYGET, &parameters, 0, 0, 0));
    CHECK_EQ(1, site->referenceCount);
    IOleClientSite_Release(client);
}

// --- The pane with a stand-in control, or none ----------------------------

const char kTestPage[] = "res://C:\\quillet\\Quillet.exe/BANNER.HTML";

struct PaneCase {
    const char *name;
    int hasControl;
    unsigned offers;
    const char *embedding;  // the control's log up to the first placing
    const char *placing;    // one WM_SIZE, a format of width and height
    const char *teardown;
    LONG controlReferences;  // held while embedded
    LONG siteReferences;
};

const PaneCase kPaneCases[] = {
    {"pane with a stand-in control", 1, kOfferEverything,
     EMBEDDING "QI:WebBrowser2 put_Offline:0 Navigate:res://C:\\quillet\\Quillet.exe/BANNER.HTML Release", PLACING,
     "Release " TEARDOWN, 2, 4},
    {"pane with a control that lacks IWebBrowser2", 1, kOfferEverything & ~kOfferWebBrowser2,
     EMBEDDING "QI:WebBrowser2-missing Release", PLACING, TEARDOWN, 1, 4},
    // Every step that needs a missing interface is skipped.
    {"pane with a control that offers none of the interfaces", 1, 0,
     "QI:OleObject-missing QI:PersistStreamInit-missing QI:OleObject-missing QI:OleObject-missing AddRef "
     "QI:WebBrowser2-missing Release",
     "QI:InPlaceObject-missing", "QI:OleObject-missing QI:InPlaceObject-missing Release", 1, 1},
    // The site without a browser still keeps its rectangle.
    {"pane without a control", 0, 0, "", "", "", 0, 1},
};

void PaneWith(const PaneCase &paneCase) {
    BeginGroup(paneCase.name);
    StandInBrowser *control = paneCase.hasControl ? CreateStandInBrowser(paneCase.offers) : 0;
    nextControl = control;
    creations = 0;
    HWND pane = CreateBannerPane(parentWindow, 0, 0, 610, 64, kTestPage, 300);
    CHECK(pane != 0);
    CHECK_EQ(300, GetDlgCtrlID(pane));
    CHECK_EQ(WS_CHILD | WS_VISIBLE, GetWindowLongA(pane, GWL_STYLE) & (WS_CHILD | WS_VISIBLE | WS_POPUP));
    BannerPane *record = PaneRecord(pane);
    BrowserSite *site = record ? record->site : 0;
    if (!site) {
        CHECK(site != 0);
        return;
    }
    CHECK_EQ(1, creations);
    CHECK(IsEqualCLSID(requestedClass, kWebBrowserClass));
    CHECK(IsEqualIID(requestedInterface, IID_IUnknown));
    CHECK_EQ(CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, requestedContext);
    CHECK(requestedOuter == 0);
    CHECK(site->browser == (control ? StandInUnknown(control) : 0));
    CHECK((void *)record->webBrowser ==
          (void *)(control && (paneCase.offers & kOfferWebBrowser2) ? &control->webBrowser : 0));
    CHECK(RectIs(site->positionRect, 0, 0, 610, 64));
    // The site's count: the pane's own, and the client site, the in-place
    // site and the frame that an active control keeps.
    CHECK_EQ(paneCase.siteReferences, site->referenceCount);

    char placing[80];
    if (control) {
        size_t length = strlen(paneCase.embedding);
        snprintf(placing, sizeof placing, paneCase.placing, 610, 64);
        int embedded = strncmp(control->log, paneCase.embedding, length) == 0 &&
                       control->log[length] == ' ' && OnlyPlacings(control->log + length + 1, placing);
        CHECK(embedded);
        if (!embedded) printf("log: %s\n", control->log);
        CHECK_EQ(paneCase.controlReferences, control->references);
        ClearStandInLog(control);
    }
    MoveWindow(pane, 0, 0, 300, 40, TRUE);
    CHECK(RectIs(site->positionRect, 0, 0, 300, 40));
    if (control) {
        snprintf(placing, sizeof placing, paneCase.placing, 300, 40);
        CHECK_STR(placing, control->log);
        ClearStandInLog(control);
    }

    // Teardown releases what was taken, once, and frees both records.
    ForgetHeapFrees();
    DestroyWindow(pane);
    CHECK_EQ(1, TimesFreed(record));
    CHECK_EQ(1, TimesFreed(site));
    if (!control) return;
    CHECK_STR(paneCase.teardown, control->log);
    CHECK_EQ(0, control->references);
    CHECK_EQ(1, control->timesReachedZero);
    CHECK(control->clientSite == 0 && control->inPlaceSite == 0 && control->frame == 0);
}

// --- The page the pane opens ------------------------------------------------

// The program's own page by default, as a res: address of the module.
void PageAddress() {
    BeginGroup("banner page address");
    char path[MAX_PATH];
    GetModuleFileNameA(0, path, sizeof path);
    char expected[MAX_PATH + 64];
    snprintf(expected, sizeof expected, "res://%s/BANNER.HTML", path);
    char address[MAX_PATH + 64];
    CHECK_EQ(1, BannerPageAddress(0, "BANNER.HTML", address, sizeof address));
    // The maker's page replaces it once there is one, and it must be https.
    CHECK_STR(kMakerPageAddress[0] ? kMakerPageAddress : expected, address);
    CHECK(!kMakerPageAddress[0] || strncmp(kMakerPageAddress, "https://", 8) == 0);
    // Too small a buffer: no address rather than a cut one.
    CHECK_EQ(0, BannerPageAddress(0, "BANNER.HTML", address, (int)strlen(expected)));
    CHECK_STR("", address);
}

// Only res: and https addresses reach the control.
struct ReachCase {
    const char *address;
    int navigates;
};

const ReachCase kReachCases[] = {
    {kTestPage, 1},
    {"RES://C:\\quillet\\Quillet.exe/BANNER.HTML", 1},
    {"https://quillet.example/", 1},
    {"HTTPS://quillet.example/", 1},
    {"http://quillet.example/", 0},
    {"file:///C:/windows/win.ini", 0},
    {"javascript:alert(1)", 0},
    {"about:blank", 0},
    {"mk:@MSITStore:C:\\help.chm::/x.htm", 0},
    {"C:\\windows\\win.ini", 0},
    {"\\\\server\\share\\page.html", 0},
    {" https://quillet.example/", 0},
    {"res:C:\\quillet\\Quillet.exe/BANNER.HTML", 0},
    {"", 0},
    {0, 0},
};

void ReachableAddresses() {
    BeginGroup("reachable addresses");
    for (const ReachCase &reach : kReachCases) {
        StandInBrowser *control = CreateStandInBrowser(kOfferEverything);
        nextControl = control;
        HWND pane = CreateBannerPane(parentWindow, 0, 0, 610, 64, reach.address, 300);
        char navigation[300] = "Navigate:";
        if (reach.navigates) snprintf(navigation, sizeof navigation, "Navigate:%s ", reach.address);
        int navigated = strstr(control->log, "Navigate:") != 0;
        CHECK(reach.navigates ? strstr(control->log, navigation) != 0 : !navigated);
        if (navigated != reach.navigates) printf("address \"%s\": %s\n", reach.address ? reach.address : "(null)", control->log);
        DestroyWindow(pane);
    }
    nextControl = 0;
}

// --- The window procedure on its own ----------------------------------------

void WindowProcedure() {
    BeginGroup("window procedure");
    HWND probe = CreatePlainWindow(parentWindow, 100, 20);

    // No CREATESTRUCT: nothing stored.
    SetWindowLongPtrA(probe, GWLP_USERDATA, 0x5150);
    BannerPaneProc(probe, WM_NCCREATE, 0, 0);
    CHECK_EQ(0x5150, GetWindowLongPtrA(probe, GWLP_USERDATA));

    // A pane record that has no site yet: WM_SIZE changes nothing.
    BannerPane empty;
    memset(&empty, 0, sizeof empty);
    SetWindowLongPtrA(probe, GWLP_USERDATA, (LONG_PTR)&empty);
    BannerPaneProc(probe, WM_SIZE, SIZE_RESTORED, MAKELPARAM(100, 20));
    CHECK(empty.site == 0 && empty.paneWindow == 0 && empty.webBrowser == 0 && empty.pageAddress == 0);
    SetWindowLongPtrA(probe, GWLP_USERDATA, 0);
    DestroyWindow(probe);

    // A pane window made without a pane record lives and dies quietly, and
    // never asks for a control.
    creations = 0;
    nextControl = 0;
    HWND bare = CreateWindowExA(0, "IEFrame", 0, WS_CHILD, 0, 0, 50, 10, parentWindow, 0, 0, 0);
    CHECK(bare != 0);
    CHECK(PaneRecord(bare) == 0);
    MoveWindow(bare, 0, 0, 60, 12, TRUE);
    DestroyWindow(bare);
    CHECK_EQ(0, creations);
}

// --- The platform's own control ---------------------------------------------

void PaneWithPlatformControl() {
    BeginGroup("pane with the platform's browser control");
    browserCreateInstance = CoCreateInstance;
    HWND pane = CreateBannerPane(parentWindow, 0, 0, 610, 64, kTestPage, 300);
    CHECK(pane != 0);
    BannerPane *record = PaneRecord(pane);
    CHECK(record && record->site && record->site->browser && record->webBrowser);
    PumpMessages(300);
    ForgetHeapFrees();
    DestroyWindow(pane);
    CHECK_EQ(1, TimesFreed(record));
    PumpMessages(100);
    browserCreateInstance = CreateStandIn;
}

}  // namespace

int main() {
    ExitOnCrash();
    OleInitialize(0);
    CHECK(RecordHeapFrees());
    WNDCLASSEXA plainClass;
    memset(&plainClass, 0, sizeof plainClass);
    plainClass.cbSize = sizeof plainClass;
    plainClass.lpfnWndProc = PlainProc;
    plainClass.hInstance = GetModuleHandleA(0);
    plainClass.lpszClassName = "BannerTestWindow";
    RegisterClassExA(&plainClass);
    parentWindow = CreatePlainWindow(0, 640, 480);
    if (!parentWindow) {
        printf("no window could be made: is there a display?\n");
        return 1;
    }
    browserCreateInstance = CreateStandIn;

    SiteAlone();
    SiteMethodsInSlotOrder();
    for (const PaneCase &paneCase : kPaneCases) PaneWith(paneCase);
    PageAddress();
    ReachableAddresses();
    WindowProcedure();
    PaneWithPlatformControl();

    DestroyWindow(parentWindow);
    OleUninitialize();
    printf("%d failed checks\n", checkFailures);
    return checkFailures ? 1 : 0;
}
