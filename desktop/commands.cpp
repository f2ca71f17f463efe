// What the user does: choosing a volume analyses it; TRIM trims it on a
// worker thread, or offers to trim at the next start of Windows when the
// volume cannot be locked.
#include "commands.h"

#include <stdio.h>

#include "boot_schedule.h"
#include "cluster_map.h"
#include "main_window.h"
#include "platform.h"
#include "resource_ids.h"
#include "texts.h"

static DWORD WINAPI TrimWorker(void *parameter);

static HWND Control(int id) { return GetDlgItem(gMainWindow, id); }

// The drive letter of the selected entry, or 0 when nothing is selected.
static char SelectedDriveLetter() {
    HWND list = Control(IDC_VOLUME_LIST);
    LRESULT index = SendMessageA(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return 0;
    return (char)SendMessageA(list, CB_GETITEMDATA, (WPARAM)index, 0);
}

static void AnalyseSelectedVolume() {
    char driveLetter = SelectedDriveLetter();
    if (driveLetter == 0) return;
    TrimVolume *volume = 0;
    int status = OpenTrimVolume(driveLetter, &volume, 0);
    if (status != kOpenOk) {
        // The map and the label of the previous volume stay.
        char text[64];
        snprintf(text, sizeof text, kFormatErrorCode, status);
        ShowError(text);
        return;
    }
    BuildClusterMap(volume);
    PaintClusterMap();
    SetWindowTextA(Control(IDC_STATUS_LABEL), StatusLabelText(volume->trimSupported, volume->partitionOffset));
    ReleaseTrimVolume(volume);
}

static void ScheduleTrimAtNextStart(char driveLetter) {
    if (MessageBoxA(gMainWindow, kTextAskScheduleTrim, NULL, MB_ICONQUESTION | MB_YESNO) != IDYES) return;
    // InstallBootProgram shows its own box where it fails with one.
    if (!InstallBootProgram()) return;
    if (ScheduleBootTrim(driveLetter)) {
        MessageBoxA(gMainWindow, kTextTrimScheduled, NULL, MB_ICONINFORMATION);
    } else {
        ShowError(kTextRegistryFailed);
    }
}

static void TrimSelectedVolume() {
    HWND button = Control(IDC_TRIM_BUTTON);
    char driveLetter = SelectedDriveLetter();
    if (driveLetter == 0) return;
    EnableWindow(button, FALSE);
    TrimVolume *volume = 0;
    int status = OpenTrimVolume(driveLetter, &volume, 1);
    if (status == kOpenOk) {
        BuildClusterMap(volume);
        PaintClusterMap();
        // The worker owns the volume from here and enables the button.
        if (StartWorkerThread(TrimWorker, volume)) return;
        // Without a worker the volume would stay open and locked and the
        // button disabled: give both back and say the trim did not run.
        ReleaseTrimVolume(volume);
        ShowError(kTextTrimFailed);
    } else if (status == kOpenLockFailed) {
        ScheduleTrimAtNextStart(driveLetter);
    } else {
        ShowError(OpenStatusMessage(status));
    }
    EnableWindow(button, TRUE);
}

void HandleCommand(WPARAM wParam) {
    int id = LOWORD(wParam);
    int notification = HIWORD(wParam);
    if (id == IDC_VOLUME_LIST && notification == CBN_SELCHANGE) {
        AnalyseSelectedVolume();
    } else if (id == IDC_TRIM_BUTTON) {
        TrimSelectedVolume();
    }
}

static DWORD WINAPI TrimWorker(void *parameter) {
    TrimVolume *volume = (TrimVolume *)parameter;
    // A successful trim shows no box: the green cells tell it has run.
    if (!TrimFreeSpace(volume, MarkTrimProgress)) ShowError(kTextTrimFailed);
    ReleaseTrimVolume(volume);  // ends the lock
    EnableWindow(GetDlgItem(gMainWindow, IDC_TRIM_BUTTON), TRUE);
    return 0;
}
