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

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
