// Process entry and the main window: the fixed 610 x 420 layout with the
// map area, the status label, the volume list and the TRIM button.
#include <windows.h>

#include <commctrl.h>
#include <ole2.h>

#include <string.h>

#include "banner_pane.h"
#include "cluster_map.h"
#include "commands.h"
#include "owner.h"
#include "platform.h"
#include "resource_ids.h"
#include "start_page_offer.h"
#include "texts.h"
#include "volume_list.h"

// The window procedure has nowhere else to keep it: set in WinMain and at
// the first step of WM_CREATE, never changed after.
static DesktopOwner gOwner;

static HFONT gFont;

static const char kClassName[] = "Quillet";

enum { kClientWidth = 610, kClientHeight = 420 };

static BOOL CALLBACK GiveFont(HWND child, LPARAM font) {
    SendMessageA(child, WM_SETFONT, (WPARAM)font, TRUE);
    return TRUE;
}

static void MakeClientSize(HWND window) {
    RECT client;
    RECT frame;
    GetClientRect(window, &client);
    GetWindowRect(window, &frame);
    int width = (frame.right - frame.left) + kClientWidth - (client.right - client.left);
    int height = (frame.bottom - frame.top) + kClientHeight - (client.bottom - client.top);
    SetWindowPos(window, NULL, 0, 0, width, height, SWP_NOZORDER | SWP_NOMOVE);
}

static void CreateControls(HWND window) {
    CreateWindowExA(0, "ComboBox", NULL, WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | CBS_DROPDOWNLIST,
                    230, 385, 250, 60, window, (HMENU)IDC_VOLUME_LIST, gOwner.instance, NULL);
    CreateWindowExA(0, "STATIC", NULL, WS_CHILD | WS_VISIBLE | SS_RIGHT, 110, 388, 110, 16, window,
                    (HMENU)IDC_STATUS_LABEL, gOwner.instance, NULL);
    CreateWindowExA(0, "Button", kTrimButtonText, WS_CHILD | WS_VISIBLE, 500, 380, 100, 32, window,
                    (HMENU)IDC_TRIM_BUTTON, gOwner.instance, NULL);
}

static void OnCreate(HWND window) {
    gOwner.mainWindow = window;
    HANDLE icon = LoadImageA(gOwner.instance, MAKEINTRESOURCEA(IDI_QUILLET), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
    SendMessageA(window, WM_SETICON, ICON_BIG, (LPARAM)icon);
    MakeClientSize(window);

    LOGFONTA logFont;
    memset(&logFont, 0, sizeof logFont);
    logFont.lfHeight = 12;
    strcpy(logFont.lfFaceName, kFontFaceName);
    gFont = CreateFontIndirectA(&logFont);

    CreateControls(window);

    // Before the font is given, so that the pane's windows get it too. The
    // pane reads the address while it is created; without one it stays an
    // empty strip.
    static char bannerPage[MAX_PATH + 64];
    BannerPageAddress(gOwner.instance, IDR_BANNER_PAGE, bannerPage, sizeof bannerPage);
    CreateBannerPane(window, 0, 0, kClientWidth, 64, bannerPage, IDC_BANNER_PANE);

    EnumChildWindows(window, GiveFont, (LPARAM)gFont);

    OfferStartPage(window);

    FillVolumeList(GetDlgItem(window, IDC_VOLUME_LIST));
}

static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        ShowMapArea(dc);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_CLOSE:
        // The loop ends and the process with it, a running worker too.
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        HandleCommand(&gOwner, wParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Asking an empty card reader, floppy or optical drive for its volume
    // would otherwise make Windows show its own "no disk" box, once per
    // drive, before the window appears; the list simply leaves them out.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    InitCommonControls();
    OleInitialize(NULL);
    gOwner.instance = instance;
    if (!PreparePlatform()) ExitProcess(1);

    WNDCLASSEXA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassExA(&windowClass);

    InitClusterMap(instance);

    int x = (GetSystemMetrics(SM_CXSCREEN) - kClientWidth) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - kClientHeight) / 2;
    HWND window = CreateWindowExA(0, kClassName, kClassName, WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX,
                                  x, y, kClientWidth, kClientHeight, NULL, NULL, instance, NULL);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    MSG message;
    while (GetMessageA(&message, NULL, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    ExitProcess(0);
}
