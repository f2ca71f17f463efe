// Starts the real Quillet.exe and acts as its user through the start: finds
// the start-page question (before the main window shows), takes a picture
// of it, answers Yes, waits for the window with its banner pane and its
// filled volume list, takes a picture, and closes the program.
//
//   quillet_start_driver OUTPUT_DIR QUILLET_EXE
//
// The registry values the offer reads and writes are prepared here and put
// back afterwards. The last line is "all steps done" when every check held.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "start_page_texts.h"

namespace {

const char kMainKey[] = "SOFTWARE\\Microsoft\\Internet Explorer\\Main";
const char kBrowser360Key[] = "Software\\360\\360se3";
const char kEncodedStartPage[] = "aHR0cHM6Ly93d3cuMjM0NS5jb20vP2Zyb209cXVpbGxldA==";
const char kOtherStartPage[] = "https://www.example.org/";
const int kVolumeListId = 100;
const int kBannerPaneId = 300;

const char *outputDir;
int failures;

#define EXPECT(condition, ...)                 \
    do {                                       \
        if (!(condition)) {                    \
            failures++;                        \
            printf("FAILED: " __VA_ARGS__);    \
            printf("\n");                      \
        }                                      \
    } while (0)

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
    EXPECT(out != 0, "cannot write %s", path);
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

// --- Registry ---------------------------------------------------------------

struct SavedValue {
    int present;
    DWORD type, size;
    BYTE data[2048];
};

SavedValue ReadValue(const char *path, const char *name) {
    SavedValue value;
    memset(&value, 0, sizeof value);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
    value.size = sizeof value.data - 1;
    value.present = RegQueryValueExA(key, name, 0, &value.type, value.data, &value.size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return value;
}

void WriteValue(const char *path, const char *name, const SavedValue &value) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, 0, 0, KEY_ALL_ACCESS, 0, &key, 0) != ERROR_SUCCESS) return;
    if (value.present) RegSetValueExA(key, name, 0, value.type, value.data, value.size);
    else RegDeleteValueA(key, name);
    RegCloseKey(key);
}

int KeyExists(const char *path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegCloseKey(key);
    return 1;
}

SavedValue Text(const char *text) {
    SavedValue value;
    memset(&value, 0, sizeof value);
    value.present = 1;
    value.type = REG_SZ;
    value.size = (DWORD)strlen(text) + 1;
    memcpy(value.data, text, value.size);
    return value;
}

int WideEquals(const WCHAR *shown, const char *expected) {
    WCHAR converted[1024];
    MultiByteToWideChar(CP_ACP, 0, expected, -1, converted, 1024);
    return lstrcmpW(shown, converted) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        printf("usage: quillet_start_driver OUTPUT_DIR QUILLET_EXE\n");
        return 64;
    }
    outputDir = argv[1];
    printf("ANSI code page %u\n", GetACP());

    // A start page that is not the promoted one, and the 360 browser set up.
    SavedValue savedStartPage = ReadValue(kMainKey, "Start Page");
    SavedValue savedHomePage = ReadValue(kBrowser360Key, "homepage");
    int had360Key = KeyExists(kBrowser360Key);
    WriteValue(kMainKey, "Start Page", Text(kOtherStartPage));
    SavedValue noValue;
    memset(&noValue, 0, sizeof noValue);
    WriteValue(kBrowser360Key, "homepage", noValue);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION quillet;
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", argv[2]);
    if (!CreateProcessA(argv[2], commandLine, 0, 0, FALSE, 0, 0, 0, &startup, &quillet)) {
        printf("FAILED: cannot start %s\n", argv[2]);
        return 1;
    }

    printf("step question\n");
    HWND box = WaitForWindow(quillet.dwProcessId, "#32770", 60);
    EXPECT(box != 0, "no question within 60 seconds");
    HWND mainWindow = 0;
    if (box) {
        mainWindow = GetWindow(box, GW_OWNER);
        char ownerClass[64] = "";
        GetClassNameA(mainWindow, ownerClass, sizeof ownerClass);
        EXPECT(strcmp(ownerClass, "Quillet") == 0, "the question is owned by a \"%s\" window", ownerClass);
        EXPECT(!IsWindowVisible(mainWindow), "the main window shows before the question is answered");
        // The pane is made before the question is asked.
        EXPECT(GetDlgItem(mainWindow, kBannerPaneId) != 0, "no banner pane while the question is asked");
        WCHAR caption[128] = L"", text[1024] = L"";
        GetWindowTextW(box, caption, 128);
        GetDlgItemTextW(box, 0xffff, text, 1024);
        EXPECT(WideEquals(caption, kStartPageQuestionCaption), "the question's caption differs");
        EXPECT(WideEquals(text, kStartPageQuestionText), "the question's text differs");
        EXPECT(GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO) && !GetDlgItem(box, IDCANCEL),
               "the question has other buttons than Yes and No");
        Sleep(500);
        RECT boxRect;
        GetWindowRect(box, &boxRect);
        InflateRect(&boxRect, 40, 30);
        WriteScreenArea("question.bmp", boxRect);
        DWORD_PTR ignored;
        SendMessageTimeoutA(GetDlgItem(box, IDYES), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &ignored);
    }

    printf("step window\n");
    for (int i = 0; i < 600 && mainWindow && !IsWindowVisible(mainWindow); i++) Sleep(50);
    EXPECT(mainWindow && IsWindowVisible(mainWindow), "no Quillet window after the answer");
    HWND list = mainWindow ? GetDlgItem(mainWindow, kVolumeListId) : 0;
    LRESULT entries = 0;
    for (int i = 0; i < 600 && list && (entries = SendMessageA(list, CB_GETCOUNT, 0, 0)) <= 0; i++) Sleep(50);
    printf("volume list entries: %ld\n", (long)entries);
    EXPECT(entries > 0, "the volume list stays empty");

    HWND pane = mainWindow ? GetDlgItem(mainWindow, kBannerPaneId) : 0;
    if (pane) {
        char className[64] = "";
        GetClassNameA(pane, className, sizeof className);
        EXPECT(strcmp(className, "IEFrame") == 0, "the banner pane is a \"%s\" window", className);
        EXPECT(IsWindowVisible(pane), "the banner pane is hidden");
        RECT paneRect;
        GetWindowRect(pane, &paneRect);
        MapWindowPoints(0, mainWindow, (POINT *)&paneRect, 2);
        EXPECT(paneRect.left == 0 && paneRect.top == 0 && paneRect.right == 610 && paneRect.bottom == 64,
               "the banner pane is at %ld,%ld-%ld,%ld", (long)paneRect.left, (long)paneRect.top,
               (long)paneRect.right, (long)paneRect.bottom);
        int descendants = 0;
        EnumChildWindows(pane, ListDescendant, (LPARAM)&descendants);
        EXPECT(descendants > 0, "the browser control made no window in the banner pane");
    }
    EXPECT(pane != 0, "no banner pane");

    // Yes: the promoted address for Internet Explorer, Base64 for the 360
    // browser, each with its terminating zero.
    SavedValue startPage = ReadValue(kMainKey, "Start Page");
    EXPECT(startPage.present && startPage.type == REG_SZ && startPage.size == sizeof kPromotedStartPage &&
               strcmp((char *)startPage.data, kPromotedStartPage) == 0,
           "Start Page is \"%s\" (%lu bytes)", (char *)startPage.data, (unsigned long)startPage.size);
    SavedValue homePage = ReadValue(kBrowser360Key, "homepage");
    EXPECT(homePage.present && homePage.type == REG_SZ && homePage.size == sizeof kEncodedStartPage &&
               strcmp((char *)homePage.data, kEncodedStartPage) == 0,
           "homepage is \"%s\" (%lu bytes)", (char *)homePage.data, (unsigned long)homePage.size);

    if (mainWindow) {
        Sleep(1000);
        RECT windowRect;
        GetWindowRect(mainWindow, &windowRect);
        WriteScreenArea("window.bmp", windowRect);
        printf("step close\n");
        PostMessageA(mainWindow, WM_CLOSE, 0, 0);
    }
    DWORD waited = WaitForSingleObject(quillet.hProcess, 20000);
    DWORD exitCode = 259;
    GetExitCodeProcess(quillet.hProcess, &exitCode);
    EXPECT(waited == WAIT_OBJECT_0 && exitCode == 0, "Quillet did not end cleanly (wait %lu, exit code %lu)",
           (unsigned long)waited, (unsigned long)exitCode);
    if (waited != WAIT_OBJECT_0) TerminateProcess(quillet.hProcess, 1);
    CloseHandle(quillet.hProcess);
    CloseHandle(quillet.hThread);

    WriteValue(kMainKey, "Start Page", savedStartPage);
    if (had360Key) WriteValue(kBrowser360Key, "homepage", savedHomePage);
    else RegDeleteKeyA(HKEY_CURRENT_USER, kBrowser360Key);

    if (failures) {
        printf("%d failed checks\n", failures);
        return 1;
    }
    printf("all steps done\n");
    return 0;
}
