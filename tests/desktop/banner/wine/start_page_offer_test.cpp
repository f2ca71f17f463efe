// The start-page offer under Wine: the registry is prepared for each case,
// and a watcher thread finds the question box, reads it and presses Yes or
// No. Wine takes two seconds to withdraw each box, so few cases ask.
#include <windows.h>
#include <string.h>

#include <string>

#include "offer_registry.h"
#include "start_page_offer.h"
#include "start_page_texts.h"
#include "wine_check.h"

namespace {

// --- The watcher ------------------------------------------------------------

struct Watch {
    DWORD offerThread;
    int answer;  // IDYES or IDNO
    HANDLE stop;
    HANDLE thread;
    int boxes;   // boxes found and answered
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
        HWND icon = 0;
        while ((icon = FindWindowExA(box, icon, "Static", 0)) != 0) {
            if ((HICON)SendMessageA(icon, STM_GETICON, 0, 0) == question) watch->hasQuestionIcon = 1;
        }
        HWND button = GetDlgItem(box, watch->answer);
        if (button) SendMessageA(button, BM_CLICK, 0, 0);
        else PostMessageA(box, WM_COMMAND, IDNO, 0);
        // Not the same box twice: wait until it has gone (or the offer ended).
        while (IsWindowVisible(box) && WaitForSingleObject(watch->stop, 20) == WAIT_TIMEOUT) {
        }
    }
    return 0;
}

// --- The cases --------------------------------------------------------------

HWND owner;

// Runs the offer with the watcher ready to give answer; checks the box, if
// one came, and returns the offer's result.
int Offer(int answer, Watch *watch) {
    memset(watch, 0, sizeof *watch);
    watch->offerThread = GetCurrentThreadId();
    watch->answer = answer;
    watch->stop = CreateEventA(0, TRUE, FALSE, 0);
    watch->thread = CreateThread(0, 0, WatchForBox, watch, 0, 0);
    int result = OfferStartPage(owner);
    SetEvent(watch->stop);
    WaitForSingleObject(watch->thread, INFINITE);
    CloseHandle(watch->thread);
    CloseHandle(watch->stop);
    if (watch->boxes) {
        WCHAR caption[128], text[512];
        MultiByteToWideChar(CP_ACP, 0, kStartPageQuestionCaption, -1, caption, 128);
        MultiByteToWideChar(CP_ACP, 0, kStartPageQuestionText, -1, text, 512);
        CHECK(lstrcmpW(caption, watch->caption) == 0);
        CHECK(lstrcmpW(text, watch->text) == 0);
        CHECK((INT_PTR)watch->boxOwner == (INT_PTR)owner);
        CHECK(watch->hasYes && watch->hasNo && !watch->hasCancel && watch->hasQuestionIcon);
    }
    return result;
}

struct OfferCase {
    const char *name;
    int mainKey;            // 0: no Internet Explorer key at all
    DWORD type;             // of the stored start page; REG_NONE: no value
    std::string startPage;  // REG_SZ values are stored with their zero
    int with360Browser;
    int answer;             // 0: no question may come
    int result;
};

std::string Upper(std::string text) {
    CharUpperA(&text[0]);
    return text;
}

void Run(const OfferCase &offer) {
    BeginGroup(offer.name);
    DeleteKey(kMainKey);
    DeleteKey(kBrowser360Key);
    if (offer.mainKey) CreateKey(kMainKey);
    if (offer.type != REG_NONE) {
        WriteValue(kMainKey, "Start Page", offer.type, offer.startPage.data(),
                   (DWORD)offer.startPage.size() + (offer.type == REG_SZ));
    }
    if (offer.with360Browser) CreateKey(kBrowser360Key);

    Watch watch;
    CHECK_EQ(offer.result, Offer(offer.answer, &watch));
    CHECK_EQ(offer.answer != 0, watch.boxes);
    CHECK_EQ(offer.mainKey, KeyExists(kMainKey));
    CHECK_EQ(offer.with360Browser, KeyExists(kBrowser360Key));
    RegistryValue startPage = ReadValue(kMainKey, "Start Page");
    RegistryValue homePage = ReadValue(kBrowser360Key, "homepage");
    if (offer.answer == IDYES) {
        // The promoted address as REG_SZ, whatever the type was; the 360
        // browser's Base64 text where it is set up; each with its zero.
        CHECK_STR(kPromotedStartPage, startPage.data);
        CHECK_EQ(REG_SZ, startPage.type);
        CHECK_EQ(sizeof kPromotedStartPage, startPage.size);
        CHECK_EQ(offer.with360Browser, homePage.present);
        if (homePage.present) {
            CHECK_STR(kEncodedStartPage, homePage.data);
            CHECK_EQ(REG_SZ, homePage.type);
            CHECK_EQ(strlen(kEncodedStartPage) + 1, homePage.size);
        }
    } else {
        CHECK_EQ(offer.type != REG_NONE, startPage.present);
        CHECK(startPage.data == offer.startPage);
        CHECK_EQ(offer.type, startPage.type);
        CHECK(!homePage.present);
    }
}

}  // namespace

int main() {
    ExitOnCrash();
    owner = CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPED, 0, 0, 100, 100, 0, 0, 0, 0);
    if (!owner) {
        printf("no window could be made: is there a display?\n");
        return 1;
    }
    SetAsideOfferKeys();

    const std::string promoted = kPromotedStartPage;
    const OfferCase cases[] = {
        {"no key", 0, REG_NONE, "", 1, 0, 0},
        {"no value", 1, REG_NONE, "", 1, 0, 0},
        // 256 bytes and the zero do not fit the 256-byte read.
        {"start page of 256 bytes", 1, REG_SZ, std::string(256, 'a'), 1, 0, 0},
        {"the promoted address", 1, REG_SZ, promoted, 1, 0, 1},
        // Any other spelling is a different page; No leaves all as it was.
        {"upper case, answered No", 1, REG_SZ, Upper(promoted), 1, IDNO, 1},
        {"trailing slash, answered No", 1, REG_SZ, promoted + "/", 1, IDNO, 1},
        {"255 bytes, answered Yes, no 360 browser", 1, REG_SZ, std::string(255, 'b'), 0, IDYES, 1},
        // Fills the read with no zero: the comparison must stop in time.
        {"256 bytes, unterminated binary, answered Yes", 1, REG_BINARY, std::string(256, 'c'), 1, IDYES, 1},
    };
    for (const OfferCase &offer : cases) Run(offer);

    BeginGroup("360 browser home page alone");
    CHECK_EQ(1, Set360HomePage());
    DeleteKey(kBrowser360Key);
    CHECK_EQ(0, Set360HomePage());
    CHECK(!KeyExists(kBrowser360Key));

    PutBackOfferKeys();
    DestroyWindow(owner);
    printf("%d failed checks\n", checkFailures);
    return checkFailures ? 1 : 0;
}
