// Starts the real Quillet.exe and acts as its user through the start: finds
// the start-page question (before the main window shows), takes a picture
// of it, answers Yes, waits for the window with its banner pane and its
// filled volume list, takes a picture, and closes the program.
//
//   quillet_start_driver OUTPUT_DIR QUILLET_EXE
//
// The registry keys the offer reads and writes are set aside and put back
// afterwards. The last line is "all steps done" when every check held.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "offer_registry.h"
#include "start_page_texts.h"
#include "wine_check.h"

namespace {

const int kVolumeListId = 100;
const int kBannerPaneId = 300;

const char *outputDir;

// --- Pictures ---------------------------------------------------------------

void WriteScreenArea(const char *name, RECT area) {
    int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0) return;
    BITMAPINFOHEADER header;
    memset(&header, 0, sizeof header);
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    HDC screen = GetDC(0);
    HDC memory = CreateCompatibleDC(screen);
    void *pixels = 0;
    HBITMAP bitmap = CreateDIBSection(screen, (BITMAPINFO *)&header, DIB_RGB_COLORS, &pixels, 0, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    DWORD rowSize = ((DWORD)width * 3 + 3) & ~3u;
    BITMAPFILEHEADER file;
    memset(&file, 0, sizeof file);
    file.bfType = 0x4d42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + rowSize * (DWORD)height;
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\%s", outputDir, name);
    FILE *out = fopen(path, "wb");
    if (out) {
        fwrite(&file, sizeof file, 1, out);
        fwrite(&header, sizeof header, 1, out);
        fwrite(pixels, rowSize, (size_t)height, out);
        fclose(out);
    }
    CHECK(out != 0);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(0, screen);
}

// --- Windows of the program -------------------------------------------------

struct Search {
    DWORD processId;
    const char *className;
    HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM parameter) {
    Search *search = (Search *)parameter;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (processId != search->processId || strcmp(className, search->className) != 0) return TRUE;
    if (!IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

HWND WaitForWindow(DWORD processId, const char *className, int seconds) {
    for (int i = 0; i < seconds * 20; i++) {
        Search search = {processId, className, 0};
        EnumWindows(FindTopLevel, (LPARAM)&search);
        if (search.found) return search.found;
        Sleep(50);
    }
    return 0;
}

BOOL CALLBACK ListDescendant(HWND window, LPARAM count) {
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    printf("  banner pane descendant: %s\n", className);
    (*(int *)count)++;
    return TRUE;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        printf("usage: quillet_start_driver OUTPUT_DIR QUILLET_EXE\n");
        return 64;
    }
    outputDir = argv[1];
    printf("ANSI code page %u\n", GetACP());

    // A start page that is not the promoted one, so that the question comes.
    SetAsideOfferKeys();
    const char otherStartPage[] = "https://www.example.org/";
    WriteValue(kMainKey, "Start Page", REG_SZ, otherStartPage, sizeof otherStartPage);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION quillet;
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", argv[2]);
    if (!CreateProcessA(argv[2], commandLine, 0, 0, FALSE, 0, 0, 0, &startup, &quillet)) {
        printf("cannot start %s\n", argv[2]);
        return 1;
    }

    // The question comes while the main window is made and not yet shown,
    // after its banner pane.
    BeginGroup("question");
    HWND box = WaitForWindow(quillet.dwProcessId, "#32770", 60);
    CHECK(box != 0);
    HWND mainWindow = box ? GetWindow(box, GW_OWNER) : 0;
    if (box) {
        char ownerClass[64] = "";
        GetClassNameA(mainWindow, ownerClass, sizeof ownerClass);
        CHECK_STR("Quillet", ownerClass);
        CHECK(!IsWindowVisible(mainWindow));
        CHECK(GetDlgItem(mainWindow, kBannerPaneId) != 0);
        Sleep(500);
        RECT boxRect;
        GetWindowRect(box, &boxRect);
        InflateRect(&boxRect, 40, 30);
        WriteScreenArea("question.bmp", boxRect);
        DWORD_PTR ignored;
        SendMessageTimeoutA(GetDlgItem(box, IDYES), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &ignored);
    }

    // The window, its filled list, and the platform's control inside the
    // pane; the Yes reached the registry.
    BeginGroup("window");
    for (int i = 0; i < 600 && mainWindow && !IsWindowVisible(mainWindow); i++) Sleep(50);
    CHECK(mainWindow && IsWindowVisible(mainWindow));
    HWND list = mainWindow ? GetDlgItem(mainWindow, kVolumeListId) : 0;
    LRESULT entries = 0;
    for (int i = 0; i < 600 && list && (entries = SendMessageA(list, CB_GETCOUNT, 0, 0)) <= 0; i++) Sleep(50);
    CHECK(entries > 0);
    HWND pane = mainWindow ? GetDlgItem(mainWindow, kBannerPaneId) : 0;
    CHECK(pane && IsWindowVisible(pane));
    int descendants = 0;
    if (pane) EnumChildWindows(pane, ListDescendant, (LPARAM)&descendants);
    CHECK(descendants > 0);
    RegistryValue startPage = ReadValue(kMainKey, "Start Page");
    CHECK_STR(kPromotedStartPage, startPage.data);

    BeginGroup("close");
    if (mainWindow) {
        Sleep(1000);
        RECT windowRect;
        GetWindowRect(mainWindow, &windowRect);
        WriteScreenArea("window.bmp", windowRect);
        PostMessageA(mainWindow, WM_CLOSE, 0, 0);
    }
    DWORD waited = WaitForSingleObject(quillet.hProcess, 20000);
    DWORD exitCode = 259;
    GetExitCodeProcess(quillet.hProcess, &exitCode);
    CHECK_EQ(WAIT_OBJECT_0, waited);
    CHECK_EQ(0, exitCode);
    if (waited != WAIT_OBJECT_0) TerminateProcess(quillet.hProcess, 1);
    CloseHandle(quillet.hProcess);
    CloseHandle(quillet.hThread);
    PutBackOfferKeys();

    printf("%d failed checks\n", checkFailures);
    if (checkFailures) return 1;
    printf("all steps done\n");
    return 0;
}
