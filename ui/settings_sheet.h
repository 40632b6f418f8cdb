// The settings sheet "Параметры": four pages over config.ini, and the folder
// browser its pages use.
#pragma once

#include <windows.h>

#include <cstdint>

struct Extraction;
struct LogFile;

// What the sheet changes in the running program when OK is pressed.
struct RunningSettings {
    Extraction* extraction = nullptr;  // tmpDir, okDir, sortByExtension
    int32_t* trayFlag = nullptr;       // the main window's tray flag
    LogFile* log = nullptr;            // switched to log.txt in log_dir or standard output
};

// Shows the sheet modally to parent, first page first. On OK every page that
// was shown writes its keys to config.ini and updates `running`; Cancel
// changes nothing. The pointers in `running` may be null: that part of the
// running program is then left alone.
void showSettingsSheet(HINSTANCE instance, HWND parent, const RunningSettings& running);

// Lets the user pick a file-system folder, starting at `path`. `path` holds
// 260 characters, terminator included. Returns 1 and the chosen folder
// followed by a backslash in `path`, or 0 with `path` unchanged when the user
// cancels, or picks a folder whose path leaves no room for the backslash or
// that config.ini's OEM code page cannot hold (then after telling the user so).
int chooseFolder(HWND owner, wchar_t* path);

// The system folder browser itself: file-system folders only, the newer
// style, no title, the whole namespace, `start` preselected. On confirm it
// writes the folder's path (MAX_PATH characters at most) to `chosen` and
// returns true. Tests replace it through gFolderBrowser.
bool browseForFolder(HWND owner, const wchar_t* start, wchar_t* chosen);
using FolderBrowser = bool (*)(HWND owner, const wchar_t* start, wchar_t* chosen);
extern FolderBrowser gFolderBrowser;

// The messages the sheet shows, for tests: a chosen folder's path too long,
// or with characters config.ini's code page lacks; a time-out too long.
extern const wchar_t kFolderPathTooLongMessage[];
extern const wchar_t kFolderOutsideCodePageMessage[];
extern const wchar_t kTimeoutTooLongMessage[];
