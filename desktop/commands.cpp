// What the user does: choosing a volume analyses it; TRIM trims it on a
// worker thread, or offers to trim at the next start of Windows when the
// volume cannot be locked.
#include "commands.h"

#include <stdio.h>

#include "boot_schedule.h"
#include "cluster_map.h"
#include "platform.h"
#include "resource_ids.h"
#include "texts.h"

static DWORD WINAPI TrimWorker(void *parameter);

// The one trim that may run: the TRIM button stays disabled while it does.
struct TrimJob {
    const DesktopOwner *owner;
    TrimVolume *volume;
};
static TrimJob gRunningTrim;

static HWND Control(const DesktopOwner *owner, int id) { return GetDlgItem(owner->mainWindow, id); }

// The drive letter of the selected entry, or 0 when nothing is selected.
static char SelectedDriveLetter(const DesktopOwner *owner) {
    HWND list = Control(owner, IDC_VOLUME_LIST);
    LRESULT index = SendMessageA(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return 0;
    return (char)SendMessageA(list, CB_GETITEMDATA, (WPARAM)index, 0);
}

static void AnalyseSelectedVolume(const DesktopOwner *owner) {
    char driveLetter = SelectedDriveLetter(owner);
    if (driveLetter == 0) return;
    TrimVolume *volume = 0;
    int status = OpenTrimVolume(driveLetter, &volume, 0);
    if (status != kOpenOk) {
        // The map and the label of the previous volume stay.
        char text[64];
        snprintf(text, sizeof text, kFormatErrorCode, status);
        ShowError(owner, text);
        return;
    }
    BuildClusterMap(volume, owner->mainWindow);
    PaintClusterMap();
    SetWindowTextA(Control(owner, IDC_STATUS_LABEL), StatusLabelText(volume->trimSupported, volume->partitionOffset));
    ReleaseTrimVolume(volume);
}

static void ScheduleTrimAtNextStart(const DesktopOwner *owner, char driveLetter) {
    if (MessageBoxA(owner->mainWindow, kTextAskScheduleTrim, NULL, MB_ICONQUESTION | MB_YESNO) != IDYES) return;
    // InstallBootProgram shows its own box where it fails with one.
    if (!InstallBootProgram(owner)) return;
    if (ScheduleBootTrim(driveLetter)) {
        MessageBoxA(owner->mainWindow, kTextTrimScheduled, NULL, MB_ICONINFORMATION);
    } else {
        ShowError(owner, kTextRegistryFailed);
    }
}

static void TrimSelectedVolume(const DesktopOwner *owner) {
    HWND button = Control(owner, IDC_TRIM_BUTTON);
    char driveLetter = SelectedDriveLetter(owner);
    if (driveLetter == 0) return;
    EnableWindow(button, FALSE);
    TrimVolume *volume = 0;
    int status = OpenTrimVolume(driveLetter, &volume, 1);
    if (status == kOpenOk) {
        BuildClusterMap(volume, owner->mainWindow);
        PaintClusterMap();
        // The worker owns the volume from here and enables the button.
        gRunningTrim.owner = owner;
        gRunningTrim.volume = volume;
        if (StartWorkerThread(TrimWorker, &gRunningTrim)) return;
        // Without a worker the volume would stay open and locked and the
        // button disabled: give both back and say the trim did not run.
        ReleaseTrimVolume(volume);
        ShowError(owner, kTextTrimFailed);
    } else if (status == kOpenLockFailed) {
        ScheduleTrimAtNextStart(owner, driveLetter);
    } else {
        ShowError(owner, OpenStatusMessage(status));
    }
    EnableWindow(button, TRUE);
}

void HandleCommand(const DesktopOwner *owner, WPARAM wParam) {
    int id = LOWORD(wParam);
    int notification = HIWORD(wParam);
    if (id == IDC_VOLUME_LIST && notification == CBN_SELCHANGE) {
        AnalyseSelectedVolume(owner);
    } else if (id == IDC_TRIM_BUTTON) {
        TrimSelectedVolume(owner);
    }
}

static DWORD WINAPI TrimWorker(void *parameter) {
    const TrimJob *job = (const TrimJob *)parameter;
    // A successful trim shows no box: the green cells tell it has run.
    if (!TrimFreeSpace(job->volume, MarkTrimProgress)) ShowError(job->owner, kTextTrimFailed);
    ReleaseTrimVolume(job->volume);  // ends the lock
    EnableWindow(Control(job->owner, IDC_TRIM_BUTTON), TRUE);
    return 0;
}
