// Resource and control identifiers of the installer's dialogs and pictures.
#pragma once

#define IDD_MAIN 103
#define IDI_APP 107
#define IDB_MAIN_PICTURE 131
#define IDD_PROGRESS 133
#define IDD_UNINSTALL 136
#define IDB_BANNER 138

#define IDC_DESTINATION 1000
#define IDC_BROWSE 1002
#define IDC_DESKTOP_SHORTCUT 1003
#define IDC_VERIFY_FILES 1004
#define IDC_EXIT 1005
#define IDC_LAUNCH 1006
#define IDC_MANUAL 1007
#define IDC_INSTALL 1009
#define IDC_OVERALL_BAR 1011
#define IDC_FILE_BAR 1012
#define IDC_OVERALL_PERCENT 1013
#define IDC_FILE_PERCENT 1014
#define IDC_STATUS 1015
#define IDC_REMOVE_FILES 1016
#define IDC_START_REMOVAL 1020
#define IDC_CANCEL_REMOVAL 1021

#define IDT_PROGRESS 100
