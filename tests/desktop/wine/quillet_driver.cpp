// Drives Quillet under Wine as a user would: starts it, finds the window
// and its controls, picks volumes with the keyboard, presses TRIM, answers
// message boxes, and writes what it sees (texts, layout, map cells read
// from the screen, screenshots) into files that the test script checks.
//
//   quillet_driver.exe OUTPUT_DIR PROGRAM STEP...
//
// Steps (NAME is a file name in OUTPUT_DIR):
//   start                  start PROGRAM and wait for its window, declining
//                          the start-page offer if it asks
//   layout:NAME            client size, window style, every control
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
//   bootexecute:NAME       the BootExecute value as stored: its type, then
//                          its UTF-16 bytes
//   seed-bootexecute:NAME  set BootExecute to the UTF-16 bytes of file NAME
//   delete-bootexecute     remove the BootExecute value
//   close                  WM_CLOSE; the process must end with status 0
// Exit status 0 when every step ran; otherwise the reason is printed.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum {
    kVolumeListId = 100,
    kStatusLabelId = 200,
    kTrimButtonId = 1000,
    kMessageBoxTextId = 0xFFFF,
};

const char *outputDir;
const char *program;
PROCESS_INFORMATION quillet;
HWND mainWindow;

void Die(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    printf("quillet_driver: ");
    vprintf(format, arguments);
    printf("\n");
    va_end(arguments);
    fflush(stdout);
    if (quillet.hProcess != NULL) TerminateProcess(quillet.hProcess, 99);
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

void Start() {
    RequireMarlett();
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", program);
    if (!CreateProcessA(program, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &quillet)) {
        Die("cannot start %s", program);
    }
    int offersAnswered = 0;
    for (int i = 0; i < 300 && mainWindow == NULL; i++) {
        HWND window = FindWindowA("Quillet", "Quillet");
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
    Sleep(300);
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

void WriteEntries(const char *name) {
    FILE *out = OpenOutput(name, "wb");
    HWND list = Control(kVolumeListId);
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
    HWND list = Control(kVolumeListId);
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
    Settle();
    POINT origin = ClientOrigin();
    Capture capture = CaptureScreen(origin.x + 5, origin.y + 69, 601, 301);
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
    Settle();
    Sleep(200);
    RECT rect;
    GetWindowRect(mainWindow, &rect);
    HWND box = OpenBox();
    if (box != NULL) {
        RECT boxRect;
        GetWindowRect(box, &boxRect);
        UnionRect(&rect, &rect, &boxRect);
    }
    Capture capture = CaptureScreen(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    WriteBmp(name, capture);
    free(capture.pixels);
}

void ClickTrim() {
    DWORD_PTR result;
    // The click's handler may show a box, which keeps it from returning.
    SendMessageTimeoutA(Control(kTrimButtonId), BM_CLICK, 0, 0, SMTO_NORMAL, 500, &result);
    Settle();
}

// `step` is "yes:NAME", "no:NAME" or "ok:NAME".
void AnswerBox(const char *step) {
    const char *name = strchr(step, ':');
    if (name++ == NULL) Die("bad box step %s", step);
    HWND box = NULL;
    for (int i = 0; i < 600 && box == NULL; i++) {
        box = OpenBox();
        if (box == NULL) Sleep(50);
    }
    if (box == NULL) Die("no message box within 30 seconds (expected one for %s)", name);
    Sleep(200);
    FILE *out = OpenOutput(name, "wb");
    char text[1024] = "";
    GetDlgItemTextA(box, kMessageBoxTextId, text, sizeof text);
    HWND owner = GetWindow(box, GW_OWNER);
    fprintf(out, "owner %s\n", owner == mainWindow ? "main" : "other");
    fprintf(out, "buttons%s%s%s%s\n", GetDlgItem(box, IDOK) ? " ok" : "", GetDlgItem(box, IDYES) ? " yes" : "",
            GetDlgItem(box, IDNO) ? " no" : "", GetDlgItem(box, IDCANCEL) ? " cancel" : "");
    fprintf(out, "text %s", text);
    fclose(out);
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
        if (IsWindowEnabled(Control(kTrimButtonId))) {
            Settle();
            return;
        }
        if (OpenBox() != NULL) Die("a message box is open while waiting for TRIM");
        Sleep(50);
    }
    Die("the TRIM button stayed disabled for a minute");
}

HKEY OpenSessionManager(REGSAM access) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, access, &key) !=
        ERROR_SUCCESS) {
        Die("cannot open the Session Manager key");
    }
    return key;
}

// Wide calls throughout: the ANSI ones would turn every character outside
// the code page into "?" on the way.
void WriteBootExecute(const char *name) {
    FILE *out = OpenOutput(name, "wb");
    HKEY key = OpenSessionManager(KEY_READ);
    DWORD type = 0;
    static BYTE value[160000];
    DWORD size = sizeof value;
    if (RegQueryValueExW(key, L"BootExecute", NULL, &type, value, &size) == ERROR_SUCCESS) {
        fprintf(out, "type %lu\n", (unsigned long)type);
        fwrite(value, 1, size, out);
    } else {
        fputs("novalue", out);
    }
    RegCloseKey(key);
    fclose(out);
}

void SeedBootExecute(const char *name) {
    FILE *in = OpenOutput(name, "rb");
    static BYTE value[160000];
    size_t size = fread(value, 1, sizeof value, in);
    fclose(in);
    if (size == sizeof value) Die("%s is too big to seed", name);
    HKEY key = OpenSessionManager(KEY_SET_VALUE);
    if (RegSetValueExW(key, L"BootExecute", 0, REG_MULTI_SZ, value, (DWORD)size) != ERROR_SUCCESS) {
        Die("cannot seed BootExecute");
    }
    RegCloseKey(key);
}

void DeleteBootExecute() {
    HKEY key = OpenSessionManager(KEY_SET_VALUE);
    RegDeleteValueA(key, "BootExecute");
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
        if (strcmp(step, "start") == 0) Start();
        else if (mainWindow == NULL) Die("step %s before start", step);
        else if ((value = Argument(step, "layout:"))) WriteLayout(value);
        else if ((value = Argument(step, "entries:"))) WriteEntries(value);
        else if ((value = Argument(step, "select:"))) Select(value[0]);
        else if ((value = Argument(step, "label:"))) WriteText(value, kStatusLabelId);
        else if ((value = Argument(step, "button:"))) {
            FILE *out = OpenOutput(value, "w");
            fprintf(out, "%d", IsWindowEnabled(Control(kTrimButtonId)) ? 1 : 0);
            fclose(out);
        } else if ((value = Argument(step, "map:"))) WriteMap(value);
        else if ((value = Argument(step, "shot:"))) WriteShot(value);
        else if (strcmp(step, "trim") == 0) ClickTrim();
        else if ((value = Argument(step, "box:"))) AnswerBox(value);
        else if (strcmp(step, "nobox") == 0) {
            Settle();
            if (OpenBox() != NULL) Die("an unexpected message box is open");
        } else if (strcmp(step, "wait-paused") == 0) WaitEvent("QuilletTestTrimPaused");
        else if (strcmp(step, "resume") == 0) {
            HANDLE event = CreateEventA(NULL, TRUE, FALSE, "QuilletTestTrimResume");
            SetEvent(event);
            CloseHandle(event);
        } else if (strcmp(step, "wait-enabled") == 0) WaitEnabled();
        else if ((value = Argument(step, "bootexecute:"))) WriteBootExecute(value);
        else if ((value = Argument(step, "seed-bootexecute:"))) SeedBootExecute(value);
        else if (strcmp(step, "delete-bootexecute") == 0) DeleteBootExecute();
        else if (strcmp(step, "close") == 0) Close();
        else Die("unknown step %s", step);
    }
    printf("all steps done\n");
    return 0;
}
