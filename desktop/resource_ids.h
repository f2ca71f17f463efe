// Resource and control ids, shared by the program and its resource script.
#ifndef QUILLET_DESKTOP_RESOURCE_IDS_H
#define QUILLET_DESKTOP_RESOURCE_IDS_H

#define IDI_QUILLET 10
#define IDB_SPLASH 102
#define RT_BOOT_PROGRAM 100
#define IDR_BOOT_PROGRAM_X86 100
#define IDR_BOOT_PROGRAM_X64 101
// The banner pane's page (RT_HTML), by name, as res: addresses name it.
#define IDR_BANNER_PAGE "BANNER.HTML"

#define IDC_VOLUME_LIST 100
#define IDC_STATUS_LABEL 200
#define IDC_BANNER_PANE 300
#define IDC_TRIM_BUTTON 1000

#endif
