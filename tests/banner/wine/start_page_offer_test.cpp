// The start-page offer under Wine: the registry is prepared for each case,
// and a watcher thread finds the question box and presses its Yes or No.
// The user's own values are kept aside and put back at the end.
#include <windows.h>
#include <string.h>

#include "start_page_offer.h"
#include "start_page_texts.h"
#include "wine_check.h"

namespace {

const char kMainKey[] = "SOFTWARE\\Microsoft\\Internet Explorer\\Main";
const char kBrowser360Key[] = "Software\\360\\360se3";
const char kBackupKey[] = "Software\\QuilletStartPageTestBackup";
const char kEncodedStartPage[] = "aHR0cHM6Ly93d3cuMjM0NS5jb20vP2Zyb209cXVpbGxldA==";

// --- The watcher ------------------------------------------------------------

struct Watch {
    DWORD offerThread;  // the thread whose box to look for
    int answer;         // IDYES or IDNO
    HANDLE stop;
    HANDLE thread;
    int boxes;          // boxes found and answered
    WCHAR caption[128];
    WCHAR text[512];
    HWND boxOwner;
    int hasYes, hasNo, hasCancel, hasQuestionIcon;
};

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
    char className[16] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") != 0 || !IsWindowVisible(window)) return TRUE;
    *(HWND *)found = window;
    return FALSE;
}

DWORD WINAPI WatchForBox(void *parameter) {
    Watch *watch = (Watch *)parameter;
    while (WaitForSingleObject(watch->stop, 20) == WAIT_TIMEOUT) {
        HWND box = 0;
        EnumThreadWindows(watch->offerThread, FindBox, (LPARAM)&box);
        if (!box) continue;
        watch->boxes++;
        GetWindowTextW(box, watch->caption, 128);
        GetDlgItemTextW(box, 0xffff, watch->text, 512);  // the message box's text control
        watch->boxOwner = GetWindow(box, GW_OWNER);
        watch->hasYes = GetDlgItem(box, IDYES) != 0;
        watch->hasNo = GetDlgItem(box, IDNO) != 0;
        watch->hasCancel = GetDlgItem(box, IDCANCEL) != 0;
        HICON question = LoadIconA(0, (LPCSTR)IDI_QUESTION);
        HWND iconControl = FindWindowExA(box, 0, "Static", 0);
        for (; iconControl; iconControl = FindWindowExA(box, iconControl, "Static", 0)) {
            if ((HICON)SendMessageA(iconControl, STM_GETICON, 0, 0) == question) watch->hasQuestionIcon = 1;
        }
        HWND button = GetDlgItem(box, watch->answer);
        if (button) SendMessageA(button, BM_CLICK, 0, 0);
        else PostMessageA(box, WM_COMMAND, IDNO, 0);
        // Not the same box twice: wait until it has gone (or the offer ended).
        // Without a window manager Wine takes two seconds to withdraw it.
        while (IsWindowVisible(box) && WaitForSingleObject(watch->stop, 20) == WAIT_TIMEOUT) {
        }
    }
    return 0;
}

void StartWatch(Watch *watch, int answer) {
    memset(watch, 0, sizeof *watch);
    watch->offerThread = GetCurrentThreadId();
    watch->answer = answer;
    watch->stop = CreateEventA(0, TRUE, FALSE, 0);
    watch->thread = CreateThread(0, 0, WatchForBox, watch, 0, 0);
}

void EndWatch(Watch *watch) {
    SetEvent(watch->stop);
    WaitForSingleObject(watch->thread, INFINITE);
    CloseHandle(watch->thread);
    CloseHandle(watch->stop);
}

// --- The registry -----------------------------------------------------------

void DeleteKey(const char *path) { RegDeleteTreeA(HKEY_CURRENT_USER, path), RegDeleteKeyA(HKEY_CURRENT_USER, path); }

int KeyExists(const char *path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegCloseKey(key);
    return 1;
}

void CreateKey(const char *path) {
    HKEY key;
    RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, 0, 0, KEY_ALL_ACCESS, 0, &key, 0);
    RegCloseKey(key);
}

void SetValue(const char *path, const char *name, DWORD type, const void *data, DWORD size) {
    HKEY key;
    RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, 0, 0, KEY_ALL_ACCESS, 0, &key, 0);
    RegSetValueExA(key, name, 0, type, (const BYTE *)data, size);
    RegCloseKey(key);
}

void SetStartPage(const char *text) { SetValue(kMainKey, "Start Page", REG_SZ, text, (DWORD)strlen(text) + 1); }

struct Value {
    int present;
    DWORD type;
    DWORD size;
    char data[1024];
};

Value ReadValue(const char *path, const char *name) {
    Value value;
    memset(&value, 0, sizeof value);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
    value.size = sizeof value.data - 1;
    value.present = RegQueryValueExA(key, name, 0, &value.type, (BYTE *)value.data, &value.size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return value;
}

// Both keys as a case starts: no 360 browser, the given start page (or no
// value, or no key).
enum StartPageSetting { kNoMainKey, kNoStartPageValue, kStartPageGiven };

void Prepare(StartPageSetting setting, const char *startPage, int with360Browser) {
    DeleteKey(kMainKey);
    DeleteKey(kBrowser360Key);
    if (setting != kNoMainKey) CreateKey(kMainKey);
    if (setting == kStartPageGiven) SetStartPage(startPage);
    if (with360Browser) CreateKey(kBrowser360Key);
}

// --- The cases --------------------------------------------------------------

HWND owner;

// Runs the offer with the watcher ready to give answer; returns the result.
int Offer(int answer, Watch *watch) {
    StartWatch(watch, answer);
    int result = OfferStartPage(owner);
    EndWatch(watch);
    return result;
}

// Nothing may be asked or written when the start page cannot be read.
void UnreadableStartPage() {
    BeginGroup("start page that cannot be read");
    Watch watch;
    Prepare(kNoMainKey, 0, 1);
    CHECK_EQ(0, Offer(IDYES, &watch));
    CHECK_EQ(0, watch.boxes);
    CHECK(!KeyExists(kMainKey));
    CHECK(!ReadValue(kBrowser360Key, "homepage").present);

    Prepare(kNoStartPageValue, 0, 1);
    CHECK_EQ(0, Offer(IDYES, &watch));
    CHECK_EQ(0, watch.boxes);
    CHECK(!ReadValue(kMainKey, "Start Page").present);
    CHECK(!ReadValue(kBrowser360Key, "homepage").present);

    // 256 bytes of text and the zero do not fit the 256-byte read.
    char longPage[300];
    memset(longPage, 'a', 256);
    longPage[256] = 0;
    Prepare(kStartPageGiven, longPage, 1);
    CHECK_EQ(0, Offer(IDYES, &watch));
    CHECK_EQ(0, watch.boxes);
    Value unchanged = ReadValue(kMainKey, "Start Page");
    CHECK_STR(longPage, unchanged.data);
    CHECK(!ReadValue(kBrowser360Key, "homepage").present);
}

void PromotedAlready() {
    BeginGroup("start page that is already the promoted address");
    Watch watch;
    Prepare(kStartPageGiven, kPromotedStartPage, 1);
    CHECK_EQ(1, Offer(IDYES, &watch));
    CHECK_EQ(0, watch.boxes);
    CHECK(!ReadValue(kBrowser360Key, "homepage").present);
}

// Any other spelling is a different page: the question comes, and No
// leaves everything as it was.
void AnsweredNo() {
    BeginGroup("question answered No");
    char upper[sizeof kPromotedStartPage];
    strcpy(upper, kPromotedStartPage);
    CharUpperA(upper);
    char slash[sizeof kPromotedStartPage + 1];
    strcpy(slash, kPromotedStartPage);
    strcat(slash, "/");
    char longest[256];  // 255 bytes and the zero: still read
    memset(longest, 'b', 255);
    longest[255] = 0;
    const char *pages[] = {"https://www.example.org/", upper, slash, longest};
    for (const char *page : pages) {
        Watch watch;
        Prepare(kStartPageGiven, page, 1);
        CHECK_EQ(1, Offer(IDNO, &watch));
        CHECK_EQ(1, watch.boxes);
        Value startPage = ReadValue(kMainKey, "Start Page");
        CHECK_STR(page, startPage.data);
        CHECK_EQ(REG_SZ, startPage.type);
        CHECK(!ReadValue(kBrowser360Key, "homepage").present);
    }

    // The box itself: the question, Yes and No, owned by the main window.
    Watch watch;
    Prepare(kStartPageGiven, "about:blank", 0);
    CHECK_EQ(1, Offer(IDNO, &watch));
    WCHAR caption[128], text[512];
    MultiByteToWideChar(CP_ACP, 0, kStartPageQuestionCaption, -1, caption, 128);
    MultiByteToWideChar(CP_ACP, 0, kStartPageQuestionText, -1, text, 512);
    CHECK(lstrcmpW(caption, watch.caption) == 0);
    CHECK(lstrcmpW(text, watch.text) == 0);
    CHECK((INT_PTR)watch.boxOwner == (INT_PTR)owner);
    CHECK(watch.hasYes && watch.hasNo && !watch.hasCancel);
    CHECK(watch.hasQuestionIcon);
}

void AnsweredYes() {
    BeginGroup("question answered Yes");
    // Without the 360 browser only Internet Explorer's start page is
    // written, and its key is not made.
    Watch watch;
    Prepare(kStartPageGiven, "https://www.example.org/", 0);
    CHECK_EQ(1, Offer(IDYES, &watch));
    CHECK_EQ(1, watch.boxes);
    Value startPage = ReadValue(kMainKey, "Start Page");
    CHECK_STR(kPromotedStartPage, startPage.data);
    CHECK_EQ(REG_SZ, startPage.type);
    CHECK_EQ(sizeof kPromotedStartPage, startPage.size);
    CHECK(!KeyExists(kBrowser360Key));

    // A value of another type is read all the same and becomes REG_SZ; the
    // 360 browser gets the Base64 text with its zero counted.
    Prepare(kStartPageGiven, "", 1);
    SetValue(kMainKey, "Start Page", REG_BINARY, "\x01\x02\x03", 3);
    CHECK_EQ(1, Offer(IDYES, &watch));
    CHECK_EQ(1, watch.boxes);
    startPage = ReadValue(kMainKey, "Start Page");
    CHECK_STR(kPromotedStartPage, startPage.data);
    CHECK_EQ(REG_SZ, startPage.type);
    Value homePage = ReadValue(kBrowser360Key, "homepage");
    CHECK(homePage.present);
    CHECK_EQ(REG_SZ, homePage.type);
    CHECK_STR(kEncodedStartPage, homePage.data);
    CHECK_EQ(sizeof kEncodedStartPage, homePage.size);

    // The next start finds the promoted address and asks nothing.
    CHECK_EQ(1, Offer(IDYES, &watch));
    CHECK_EQ(0, watch.boxes);
}

// A value without a terminating zero that fills the whole read must not
// run the comparison past the buffer.
void UnterminatedStartPage() {
    BeginGroup("start page without a terminating zero");
    char bytes[256];
    memset(bytes, 'c', sizeof bytes);
    Watch watch;
    Prepare(kStartPageGiven, "", 0);
    SetValue(kMainKey, "Start Page", REG_BINARY, bytes, sizeof bytes);
    CHECK_EQ(1, Offer(IDNO, &watch));
    CHECK_EQ(1, watch.boxes);
}

void HomePageAlone() {
    BeginGroup("360 browser home page");
    DeleteKey(kBrowser360Key);
    CHECK_EQ(0, Set360HomePage());
    CHECK(!KeyExists(kBrowser360Key));
    CreateKey(kBrowser360Key);
    CHECK_EQ(1, Set360HomePage());
    Value homePage = ReadValue(kBrowser360Key, "homepage");
    CHECK_STR(kEncodedStartPage, homePage.data);
}

}  // namespace

int main() {
    ExitOnCrash();
    owner = CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPED, 0, 0, 100, 100, 0, 0, 0, 0);
    if (!owner) {
        printf("no window could be made: is there a display?\n");
        return 1;
    }
    // Keep this user's settings aside for the run.
    int hadMainKey = KeyExists(kMainKey), had360Key = KeyExists(kBrowser360Key);
    DeleteKey(kBackupKey);
    if (hadMainKey) {
        CreateKey(kBackupKey);
        HKEY backup;
        RegOpenKeyExA(HKEY_CURRENT_USER, kBackupKey, 0, KEY_ALL_ACCESS, &backup);
        RegCopyTreeA(HKEY_CURRENT_USER, kMainKey, backup);
        RegCloseKey(backup);
    }

    UnreadableStartPage();
    PromotedAlready();
    AnsweredNo();
    AnsweredYes();
    UnterminatedStartPage();
    HomePageAlone();

    DeleteKey(kMainKey);
    DeleteKey(kBrowser360Key);
    if (hadMainKey) {
        CreateKey(kMainKey);
        HKEY main;
        RegOpenKeyExA(HKEY_CURRENT_USER, kMainKey, 0, KEY_ALL_ACCESS, &main);
        RegCopyTreeA(HKEY_CURRENT_USER, kBackupKey, main);
        RegCloseKey(main);
        DeleteKey(kBackupKey);
    }
    if (had360Key) CreateKey(kBrowser360Key);
    DestroyWindow(owner);
    printf("%d failed checks\n", checkFailures);
    return checkFailures ? 1 : 0;
}
