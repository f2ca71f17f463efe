// Drives Quillet under Wine as a user would: starts it, answers the
// start-page question, finds the window and its controls, picks volumes
// with the keyboard, presses TRIM, answers message boxes, and writes what
// it sees (texts, layout, map cells read from the screen, screenshots,
// registry values) into files that the test script checks.
//
//   quillet_driver.exe OUTPUT_DIR PROGRAM STEP...
//
// Steps (NAME and PICTURE are file names in OUTPUT_DIR):
//   launch                 start PROGRAM without waiting for its window
//   question:yes|no:NAME:PICTURE
//                          wait for the start-page question, which comes
//                          before the window shows; record its owner, the
//                          window's state and the box as box: does, take
//                          its picture, answer it
//   start                  start PROGRAM unless launched, and wait for its
//                          window, declining the start-page offer if it asks
//   layout:NAME            client size, window style, every control
//   pane:NAME              whether the banner pane shows, and the windows
//                          inside it
//   entries:NAME           the volume list's entries and item data
//   select:X               type the letter X into the volume list
//   label:NAME             the status label's text
//   button:NAME            1 when the TRIM button is enabled, else 0
//   map:NAME               the class of every cell, read from the screen
//   shot:NAME              the window as a 24-bit BMP
//   trim                   click TRIM
//   box:yes|no|ok:NAME     wait for a message box, record it, answer it
//   nobox                  fail when a message box is open
//   wait-paused / resume   the emulated drive's pause before a TRIM command
//   wait-enabled           wait until the TRIM button is enabled again
//   value:VALUE:NAME       a registry value as stored: its type, then its
//                          bytes (UTF-16 for texts), or "novalue"
//   seed:VALUE:NAME        set the value to the bytes of file NAME
//   delete:VALUE           remove the value
//                          VALUE: bootexecute (Session Manager's BootExecute)
//                          or startpage (Internet Explorer's start page)
//   offer-aside / offer-back  set the start-page offer's keys aside, and
//                          put them back (a failing run puts them back too)
//   close                  WM_CLOSE; the process must end with status 0
// Exit status 0 when every step ran; otherwise the reason is printed.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "offer_registry.h"
#include "resource_ids.h"

namespace {

enum { kMessageBoxTextId = 0xFFFF };

const char *outputDir;
const char *program;
PROCESS_INFORMATION quillet;
HWND mainWindow;
int offerKeysAside;

void Die(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    printf("quillet_driver: ");
    vprintf(format, arguments);
    printf("\n");
    va_end(arguments);
    fflush(stdout);
    if (quillet.hProcess != NULL) TerminateProcess(quillet.hProcess, 99);
    if (offerKeysAside) PutBackOfferKeys();
    ExitProcess(1);
}

FILE *OpenOutput(const char *name, const char *mode) {
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s/%s", outputDir, name);
    FILE *file = fopen(path, mode);
    if (file == NULL) Die("cannot write %s", path);
    return file;
}

HWND Control(int id) {
    HWND control = GetDlgItem(mainWindow, id);
    if (control == NULL) Die("control %d is missing", id);
    return control;
}

// Waits until the main thread has handled what was sent before: it answers
// a sent message only from its message loop or from a modal loop.
void Settle() {
    DWORD_PTR result;
    if (!SendMessageTimeoutA(mainWindow, WM_NULL, 0, 0, SMTO_NORMAL, 20000, &result)) Die("Quillet hangs");
}

// Waits until Quillet's thread has nothing left to do and waits for input:
// it hands what it drew to the screen only then.
void WaitUntilIdle() {
    if (WaitForInputIdle(quillet.hProcess, 20000) != 0) Die("Quillet does not come to rest");
}

struct BoxSearch {
    DWORD processId;
    HWND box;
};

BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
    BoxSearch *search = (BoxSearch *)parameter;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    char className[16];
    if (processId == search->processId && IsWindowVisible(window) && GetClassNameA(window, className, sizeof className) &&
        strcmp(className, "#32770") == 0) {
        search->box = window;
        return FALSE;
    }
    return TRUE;
}

HWND OpenBox() {
    BoxSearch search = {quillet.dwProcessId, NULL};
    EnumWindows(FindBox, (LPARAM)&search);
    return search.box;
}

// Caption buttons are Marlett glyphs: without the font they read "0 1 r",
// which no Windows shows.
void RequireMarlett() {
    LOGFONTA font;
    memset(&font, 0, sizeof font);
    font.lfHeight = -13;
    font.lfCharSet = SYMBOL_CHARSET;
    strcpy(font.lfFaceName, "Marlett");
    HDC screen = GetDC(NULL);
    HGDIOBJ old = SelectObject(screen, CreateFontIndirectA(&font));
    char face[LF_FACESIZE] = "";
    GetTextFaceA(screen, sizeof face, face);
    DeleteObject(SelectObject(screen, old));
    ReleaseDC(NULL, screen);
    if (strcmp(face, "Marlett") != 0) Die("the prefix has no Marlett font (got %s): captions would be wrong", face);
}

void Launch() {
    RequireMarlett();
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", program);
    if (!CreateProcessA(program, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &quillet)) {
        Die("cannot start %s", program);
    }
}

// The window shows once WM_CREATE is over: the list is filled by then.
void Start() {
    if (quillet.hProcess == NULL) Launch();
    int offersAnswered = mainWindow != NULL;
    HWND owner = mainWindow;
    mainWindow = NULL;
    for (int i = 0; i < 300 && mainWindow == NULL; i++) {
        HWND window = owner != NULL ? owner : FindWindowA("Quillet", "Quillet");
        DWORD processId = 0;
        if (window != NULL) GetWindowThreadProcessId(window, &processId);
        if (window != NULL && processId == quillet.dwProcessId && IsWindowVisible(window)) {
            mainWindow = window;
            break;
        }
        // The start-page offer asks before the window shows: decline it,
        // which changes nothing.
        HWND offer = OpenBox();
        if (offer != NULL && offersAnswered == 0) {
            Sleep(200);
            PostMessageA(offer, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), (LPARAM)GetDlgItem(offer, IDNO));
            offersAnswered++;
        }
        Sleep(100);
    }
    if (mainWindow == NULL) Die("no Quillet window within 30 seconds");
    Settle();
    WaitUntilIdle();
}

void WriteLayout(const char *name) {
    FILE *out = OpenOutput(name, "w");
    RECT client;
    GetClientRect(mainWindow, &client);
    char title[64] = "";
    GetWindowTextA(mainWindow, title, sizeof title);
    fprintf(out, "client %ld %ld\n", client.right - client.left, client.bottom - client.top);
    fprintf(out, "window \"%s\" style %08lX\n", title, (unsigned long)GetWindowLongA(mainWindow, GWL_STYLE));
    for (HWND child = GetWindow(mainWindow, GW_CHILD); child != NULL; child = GetWindow(child, GW_HWNDNEXT)) {
        char className[64] = "";
        char text[128] = "";
        GetClassNameA(child, className, sizeof className);
        GetWindowTextA(child, text, sizeof text);
        RECT rect;
        GetWindowRect(child, &rect);
        MapWindowPoints(NULL, mainWindow, (POINT *)&rect, 2);
        fprintf(out, "control %d %s \"%s\" style %08lX at %ld %ld size %ld %ld\n", GetDlgCtrlID(child), className, text,
                (unsigned long)GetWindowLongA(child, GWL_STYLE), rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
    }
    fclose(out);
}

BOOL CALLBACK ListDescendant(HWND window, LPARAM parameter) {
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    fprintf((FILE *)parameter, "descendant %s\n", className);
    return TRUE;
}

// The banner pane: shown or not, and the windows of the browser control
// inside it, one line each.
void WritePane(const char *name) {
    FILE *out = OpenOutput(name, "w");
    HWND pane = Control(IDC_BANNER_PANE);
    fprintf(out, "visible %d\n", IsWindowVisible(pane) ? 1 : 0);
    EnumChildWindows(pane, ListDescendant, (LPARAM)out);
    fclose(out);
}

void WriteEntries(const char *name) {
    FILE *out = OpenOutput(name, "wb");
    HWND list = Control(IDC_VOLUME_LIST);
    LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    fprintf(out, "count %ld selected %ld\n", (long)count, (long)SendMessageA(list, CB_GETCURSEL, 0, 0));
    for (LRESULT i = 0; i < count; i++) {
        // Wine passes the text across processes intact only in its wide
        // form; the ANSI code page turns it back into what Quillet added.
        WCHAR wide[256] = L"";
        char text[512] = "";
        if (SendMessageW(list, CB_GETLBTEXTLEN, i, 0) < (LRESULT)(sizeof wide / sizeof wide[0])) {
            SendMessageW(list, CB_GETLBTEXT, i, (LPARAM)wide);
            WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, NULL, NULL);
        }
        fprintf(out, "%ld|%s\n", (long)SendMessageA(list, CB_GETITEMDATA, i, 0), text);
    }
    fclose(out);
}

void Select(char letter) {
    HWND list = Control(IDC_VOLUME_LIST);
    PostMessageA(list, WM_CHAR, (WPARAM)(unsigned char)letter, 0);
    // The list changes its selection, then tells the window, which analyses.
    for (int i = 0; i < 200; i++) {
        LRESULT index = SendMessageA(list, CB_GETCURSEL, 0, 0);
        if (index != CB_ERR && SendMessageA(list, CB_GETITEMDATA, index, 0) == (unsigned char)letter) break;
        if (i == 199) Die("typing %c did not select its volume", letter);
        Sleep(50);
    }
    Settle();
}

void WriteText(const char *name, int id) {
    FILE *out = OpenOutput(name, "wb");
    char text[256] = "";
    GetWindowTextA(Control(id), text, sizeof text);
    fputs(text, out);
    fclose(out);
}

// Copies a rectangle of the screen into a top-down 32-bit DIB.
struct Capture {
    int width, height;
    unsigned char *pixels;  // 4 bytes a pixel: blue, green, red, 0
};

Capture CaptureScreen(int left, int top, int width, int height) {
    Capture capture = {width, height, NULL};
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info;
    memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, left, top, SRCCOPY);
    GdiFlush();
    capture.pixels = (unsigned char *)malloc((size_t)width * height * 4);
    memcpy(capture.pixels, bits, (size_t)width * height * 4);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return capture;
}

// The screen area once what Quillet drew last has reached it: Quillet has
// come to rest, and three captures in a row, a tenth of a second apart,
// agree. A capture taken before Wine handed the drawing on would show the
// picture before it.
Capture CaptureSettled(RECT area) {
    Settle();
    WaitUntilIdle();
    int width = area.right - area.left, height = area.bottom - area.top;
    size_t bytes = (size_t)width * height * 4;
    Capture capture = CaptureScreen(area.left, area.top, width, height);
    for (int i = 0, agreeing = 0; i < 100; i++) {
        Sleep(100);
        Capture again = CaptureScreen(area.left, area.top, width, height);
        agreeing = memcmp(capture.pixels, again.pixels, bytes) == 0 ? agreeing + 1 : 0;
        free(capture.pixels);
        capture = again;
        if (agreeing == 2) return capture;
    }
    Die("the screen did not come to rest within 10 seconds");
    return capture;
}

COLORREF PixelAt(const Capture &capture, int x, int y) {
    const unsigned char *p = capture.pixels + ((size_t)y * capture.width + x) * 4;
    return RGB(p[2], p[1], p[0]);
}

const COLORREF kClassColours[9] = {
    RGB(63, 72, 204),   RGB(224, 224, 224), RGB(208, 208, 208), RGB(192, 192, 192), RGB(176, 176, 176),
    RGB(160, 160, 160), RGB(144, 144, 144), RGB(128, 128, 128), RGB(0, 255, 64),
};

char ClassOf(COLORREF colour) {
    for (int i = 0; i < 9; i++)
        if (colour == kClassColours[i]) return (char)('0' + i);
    return '?';
}

POINT ClientOrigin() {
    POINT origin = {0, 0};
    ClientToScreen(mainWindow, &origin);
    return origin;
}

// Every cell's class from the colour of its inner square, which must be
// one colour; its grid line must be the grid colour; the frame lines too.
void WriteMap(const char *name) {
    POINT origin = ClientOrigin();
    RECT area = {origin.x + 5, origin.y + 69, origin.x + 5 + 601, origin.y + 69 + 301};
    Capture capture = CaptureSettled(area);
    FILE *out = OpenOutput(name, "w");
    int faults = 0;
    for (int row = 0; row < 50; row++) {
        for (int column = 0; column < 100; column++) {
            int x = column * 6, y = row * 6;
            COLORREF inner = PixelAt(capture, x + 3, y + 3);
            char cellClass = ClassOf(inner);
            for (int dy = 1; dy < 6; dy++)
                for (int dx = 1; dx < 6; dx++)
                    if (PixelAt(capture, x + dx, y + dy) != inner) cellClass = '?';
            if (PixelAt(capture, x, y + 3) != kClassColours[0] || PixelAt(capture, x + 3, y) != kClassColours[0]) faults++;
            fputc(cellClass, out);
        }
        fputc('\n', out);
    }
    for (int i = 0; i <= 300; i++)
        if (PixelAt(capture, 600, i) != kClassColours[0]) faults++;
    for (int i = 0; i <= 600; i++)
        if (PixelAt(capture, i, 300) != kClassColours[0]) faults++;
    fprintf(out, "grid faults %d\n", faults);
    fclose(out);
    free(capture.pixels);
}

void WriteBmp(const char *name, const Capture &capture) {
    FILE *out = OpenOutput(name, "wb");
    DWORD pixelBytes = (DWORD)capture.width * capture.height * 4;
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    memset(&file, 0, sizeof file);
    memset(&info, 0, sizeof info);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + pixelBytes;
    info.biSize = sizeof info;
    info.biWidth = capture.width;
    info.biHeight = -capture.height;
    info.biPlanes = 1;
    info.biBitCount = 32;
    fwrite(&file, sizeof file, 1, out);
    fwrite(&info, sizeof info, 1, out);
    fwrite(capture.pixels, 1, pixelBytes, out);
    fclose(out);
}

// The window with its frame, and any message box on top of it.
void WriteShot(const char *name) {
    RECT rect;
    GetWindowRect(mainWindow, &rect);
    HWND box = OpenBox();
    if (box != NULL) {
        RECT boxRect;
        GetWindowRect(box, &boxRect);
        UnionRect(&rect, &rect, &boxRect);
    }
    Capture capture = CaptureSettled(rect);
    WriteBmp(name, capture);
    free(capture.pixels);
}

void ClickTrim() {
    DWORD_PTR result;
    // The click's handler may show a box, which keeps it from returning.
    SendMessageTimeoutA(Control(IDC_TRIM_BUTTON), BM_CLICK, 0, 0, SMTO_NORMAL, 500, &result);
    Settle();
}

// `step` is "yes:NAME", "no:NAME" or "ok:NAME"; for the start-page
// question "yes:NAME:PICTURE" or "no:NAME:PICTURE". The question comes
// while the main window is made: its owner, when it is Quillet's window,
// becomes the main window, and its state is recorded too.
void AnswerBox(const char *step, int question) {
    char name[MAX_PATH];
    snprintf(name, sizeof name, "%s", strchr(step, ':') ? strchr(step, ':') + 1 : "");
    char *picture = question ? strchr(name, ':') : name;
    if (name[0] == 0 || picture == NULL) Die("bad box step %s", step);
    if (question) *picture++ = 0;
    HWND box = NULL;
    for (int i = 0; i < 1200 && box == NULL; i++) {
        box = OpenBox();
        if (box == NULL) Sleep(50);
    }
    if (box == NULL) Die("no message box within a minute (expected one for %s)", name);
    HWND owner = GetWindow(box, GW_OWNER);
    char ownerClass[64] = "";
    if (question && GetClassNameA(owner, ownerClass, sizeof ownerClass) && strcmp(ownerClass, "Quillet") == 0) {
        mainWindow = owner;
    }
    Sleep(200);
    FILE *out = OpenOutput(name, "wb");
    char text[1024] = "";
    GetDlgItemTextA(box, kMessageBoxTextId, text, sizeof text);
    fprintf(out, "owner %s\n", owner == mainWindow ? "main" : "other");
    if (question) {
        fprintf(out, "window %s\n", IsWindowVisible(owner) ? "shown" : "hidden");
        fprintf(out, "pane %s\n", GetDlgItem(owner, IDC_BANNER_PANE) != NULL ? "present" : "missing");
    }
    fprintf(out, "buttons%s%s%s%s\n", GetDlgItem(box, IDOK) ? " ok" : "", GetDlgItem(box, IDYES) ? " yes" : "",
            GetDlgItem(box, IDNO) ? " no" : "", GetDlgItem(box, IDCANCEL) ? " cancel" : "");
    fprintf(out, "text %s", text);
    fclose(out);
    if (question) {
        RECT area;
        GetWindowRect(box, &area);
        InflateRect(&area, 40, 30);
        Capture capture = CaptureSettled(area);
        WriteBmp(picture, capture);
        free(capture.pixels);
    }
    int id = step[0] == 'y' ? IDYES : step[0] == 'n' ? IDNO : IDOK;
    if (GetDlgItem(box, id) == NULL) Die("the box has no button for %s", step);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
    for (int i = 0; i < 200 && IsWindow(box); i++) Sleep(50);
    if (IsWindow(box)) Die("the box for %s did not close", name);
    Settle();
}

void WaitEvent(const char *eventName) {
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, eventName);
    if (WaitForSingleObject(event, 60000) != WAIT_OBJECT_0) Die("%s was not signalled", eventName);
    CloseHandle(event);
}

void WaitEnabled() {
    for (int i = 0; i < 1200; i++) {
        if (IsWindowEnabled(Control(IDC_TRIM_BUTTON))) {
            Settle();
            return;
        }
        if (OpenBox() != NULL) Die("a message box is open while waiting for TRIM");
        Sleep(50);
    }
    Die("the TRIM button stayed disabled for a minute");
}

// The registry values the steps name.
struct KnownValue {
    const char *step;
    HKEY root;
    const WCHAR *path;
    const WCHAR *name;
    DWORD type;
};

const KnownValue kKnownValues[] = {
    {"bootexecute", HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", L"BootExecute",
     REG_MULTI_SZ},
    {"startpage", HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Internet Explorer\\Main", L"Start Page", REG_SZ},
};

// `step` is "VALUE" or "VALUE:NAME"; *name gets NAME.
const KnownValue *ValueOf(const char *step, const char **name) {
    for (const KnownValue &value : kKnownValues) {
        size_t length = strlen(value.step);
        if (strncmp(step, value.step, length) != 0 || (step[length] != 0 && step[length] != ':')) continue;
        *name = step[length] == ':' ? step + length + 1 : NULL;
        return &value;
    }
    Die("unknown registry value in %s", step);
    return NULL;
}

HKEY OpenValueKey(const KnownValue *value, REGSAM access) {
    HKEY key;
    if (RegCreateKeyExW(value->root, value->path, 0, NULL, 0, access, NULL, &key, NULL) != ERROR_SUCCESS) {
        Die("cannot open the key of %s", value->step);
    }
    return key;
}

// Wide calls throughout: the ANSI ones would turn every character outside
// the code page into "?" on the way.
void WriteValue(const char *step) {
    const char *name;
    const KnownValue *value = ValueOf(step, &name);
    if (name == NULL) Die("bad value step %s", step);
    FILE *out = OpenOutput(name, "wb");
    HKEY key = OpenValueKey(value, KEY_READ);
    DWORD type = 0;
    static BYTE data[160000];
    DWORD size = sizeof data;
    if (RegQueryValueExW(key, value->name, NULL, &type, data, &size) == ERROR_SUCCESS) {
        fprintf(out, "type %lu\n", (unsigned long)type);
        fwrite(data, 1, size, out);
    } else {
        fputs("novalue", out);
    }
    RegCloseKey(key);
    fclose(out);
}

void SeedValue(const char *step) {
    const char *name;
    const KnownValue *value = ValueOf(step, &name);
    if (name == NULL) Die("bad seed step %s", step);
    FILE *in = OpenOutput(name, "rb");
    static BYTE data[160000];
    size_t size = fread(data, 1, sizeof data, in);
    fclose(in);
    if (size == sizeof data) Die("%s is too big to seed", name);
    HKEY key = OpenValueKey(value, KEY_SET_VALUE);
    if (RegSetValueExW(key, value->name, 0, value->type, data, (DWORD)size) != ERROR_SUCCESS) {
        Die("cannot seed %s", value->step);
    }
    RegCloseKey(key);
}

void DeleteValue(const char *step) {
    const char *name;
    const KnownValue *value = ValueOf(step, &name);
    HKEY key = OpenValueKey(value, KEY_SET_VALUE);
    RegDeleteValueW(key, value->name);
    RegCloseKey(key);
}

void Close() {
    PostMessageA(mainWindow, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(quillet.hProcess, 20000) != WAIT_OBJECT_0) Die("Quillet did not end after WM_CLOSE");
    DWORD status = 1;
    GetExitCodeProcess(quillet.hProcess, &status);
    if (status != 0) Die("Quillet ended with a non-zero status");
    if (IsWindow(mainWindow)) Die("the window outlived the process");
}

const char *Argument(const char *step, const char *prefix) {
    size_t length = strlen(prefix);
    return strncmp(step, prefix, length) == 0 ? step + length : NULL;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        printf("usage: quillet_driver OUTPUT_DIR PROGRAM STEP...\n");
        return 64;
    }
    outputDir = argv[1];
    program = argv[2];
    for (int i = 3; i < argc; i++) {
        const char *step = argv[i];
        const char *value;
        printf("step %s\n", step);
        fflush(stdout);
        if (strcmp(step, "launch") == 0) Launch();
        else if ((value = Argument(step, "question:"))) AnswerBox(value, 1);
        else if (strcmp(step, "start") == 0) Start();
        else if ((value = Argument(step, "value:"))) WriteValue(value);
        else if ((value = Argument(step, "seed:"))) SeedValue(value);
        else if ((value = Argument(step, "delete:"))) DeleteValue(value);
        else if (strcmp(step, "offer-aside") == 0) {
            SetAsideOfferKeys();
            offerKeysAside = 1;
        } else if (strcmp(step, "offer-back") == 0) {
            PutBackOfferKeys();
            offerKeysAside = 0;
        } else if (mainWindow == NULL) Die("step %s before start", step);
        else if ((value = Argument(step, "layout:"))) WriteLayout(value);
        else if ((value = Argument(step, "pane:"))) WritePane(value);
        else if ((value = Argument(step, "entries:"))) WriteEntries(value);
        else if ((value = Argument(step, "select:"))) Select(value[0]);
        else if ((value = Argument(step, "label:"))) WriteText(value, IDC_STATUS_LABEL);
        else if ((value = Argument(step, "button:"))) {
            FILE *out = OpenOutput(value, "w");
            fprintf(out, "%d", IsWindowEnabled(Control(IDC_TRIM_BUTTON)) ? 1 : 0);
            fclose(out);
        } else if ((value = Argument(step, "map:"))) WriteMap(value);
        else if ((value = Argument(step, "shot:"))) WriteShot(value);
        else if (strcmp(step, "trim") == 0) ClickTrim();
        else if ((value = Argument(step, "box:"))) AnswerBox(value, 0);
        else if (strcmp(step, "nobox") == 0) {
            Settle();
            if (OpenBox() != NULL) Die("an unexpected message box is open");
        } else if (strcmp(step, "wait-paused") == 0) WaitEvent("QuilletTestTrimPaused");
        else if (strcmp(step, "resume") == 0) {
            HANDLE event = CreateEventA(NULL, TRUE, FALSE, "QuilletTestTrimResume");
            SetEvent(event);
            CloseHandle(event);
        } else if (strcmp(step, "wait-enabled") == 0) WaitEnabled();
        else if (strcmp(step, "close") == 0) Close();
        else Die("unknown step %s", step);
    }
    printf("all steps done\n");
    return 0;
}
