// Resource identifiers of the window program, shared by quillmoth.rc and ui/.
// The numbers are fixed: settings, tests and the dialogs of later windows
// refer to them.
#pragma once

// String table
#define IDS_APP_TITLE 103   // window title and tray tip
#define IDS_WINDOW_CLASS 109  // window class name
#define IDS_COLUMN_NAME 200     // the transfer list's headers, in column order
#define IDS_COLUMN_SIZE 201
#define IDS_COLUMN_RECEIVED 202
#define IDS_COLUMN_RATE 203

// Icon groups
#define IDI_APP_LARGE 107  // class icon
#define IDI_APP_SMALL 108  // class small icon and tray icon

// Menus and accelerators
#define IDR_MAIN_MENU 109
#define IDR_MAIN_ACCEL 109
#define IDR_ROW_MENU 139
#define IDR_TRAY_MENU 141

// Dialogs
#define IDD_ABOUT 103
#define IDD_PROPERTIES 140

// Commands
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_FILTERS 32771
#define IDM_SPEED_LOW 32772
#define IDM_SPEED_NORMAL 32773
#define IDM_SPEED_HIGH 32774
#define IDM_SETTINGS 32779
#define IDM_DELETE 32780
#define IDM_PROPERTIES 32781
#define IDM_RESTORE 32782

// Controls of the properties dialog
#define IDC_PROP_DEST_IP 1040
#define IDC_PROP_DEST_MAC 1041
#define IDC_PROP_SOURCE_IP 1042
#define IDC_PROP_SIZE 1043

// Settings sheet pages and the filter dialogs
#define IDD_LNB_PAGE 129
#define IDD_PID_PAGE 130
#define IDD_DIRECTORIES_PAGE 131
#define IDD_GENERAL_PAGE 133
#define IDD_FILTER_EDIT 134
#define IDD_FILTER_LIST 135

// Controls of the LNB page
#define IDC_LNB_LOF1 1000
#define IDC_LNB_SWITCH 1001
#define IDC_LNB_LOF2 1002
#define IDC_LNB_POLARITY 1003
#define IDC_LNB_SYMBOL_RATE 1004
#define IDC_LNB_FREQUENCY 1005
#define IDC_LNB_DISEQC 1006

// Controls of the PID page
#define IDC_PID_HEX_VIEW 1008
#define IDC_PID_LIST 1009
#define IDC_PID_INSERT 1010
#define IDC_PID_DELETE 1011
#define IDC_PID_ENTRY 1023

// Controls of the directories page
#define IDC_DIR_TMP_BROWSE 1014
#define IDC_DIR_OK_BROWSE 1015
#define IDC_DIR_TMP 1017
#define IDC_DIR_OK 1018
#define IDC_DIR_SORT 1038

// Controls of the general page
#define IDC_GEN_USE_LOG 1019
#define IDC_GEN_LOG_BROWSE 1020
#define IDC_GEN_CLEAR_TMP 1021
#define IDC_GEN_LOG_DIR 1022
#define IDC_GEN_TIMEOUT 1036
#define IDC_GEN_USE_SPL 1037
#define IDC_GEN_TRAY 1038

// Controls of the filter edit dialog
#define IDC_FILTER_BY_CATEGORY 1024
#define IDC_FILTER_BY_EXTENSION 1025
#define IDC_FILTER_CATEGORY 1026
#define IDC_FILTER_EXTENSION 1027
#define IDC_FILTER_MINIMUM 1044
#define IDC_FILTER_MAXIMUM 1045

// Controls of the filter list dialog
#define IDC_FILTER_LIST 1030
#define IDC_FILTER_ADD 1031
#define IDC_FILTER_CHANGE 1032
#define IDC_FILTER_DELETE 1033
// Shown instead of the list when filters.qmf cannot be opened for writing.
#define IDC_FILTER_FILE_ERROR 1046

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
