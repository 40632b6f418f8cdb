// The main window: its record, its creation and shutdown, and the message
// routing shared by the frame, the transfer list and the commands.
//
// Everything here runs on the UI thread. The packet and worker threads reach
// the window only through the transfer view (rows inserted and removed by
// synchronous calls into this thread) and the message sink.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

struct Extraction;
struct FilterSet;
struct LogFile;
struct ReceiverPlugin;
struct SectionAssembler;

constexpr int kTitleLength = 100;  // title and class name buffers, terminator included
constexpr int kTransferListId = 1;
constexpr int kStatusBarId = 10;
constexpr int kStatusBarHeight = 22;  // left below the list for the status bar
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT_PTR kRunningTimeTimer = 2;
constexpr UINT kRunningTimePeriod = 60000;
constexpr UINT kTrayIconId = 1;
constexpr UINT kTrayCallbackMessage = WM_USER + 100;
// Sent by the packet and worker threads; handled on the UI thread.
constexpr UINT kRowInsertedMessage = WM_APP + 1;
constexpr UINT kRowRemovedMessage = WM_APP + 2;

// The services the window drives; the program's own globals unless a test
// gives others.
struct MainWindowServices {
    Extraction* extraction;
    ReceiverPlugin* plugin;
    SectionAssembler* assembler;
    FilterSet* filters;
    LogFile* log;
};

struct MainWindow {
    HINSTANCE instance = nullptr;
    wchar_t title[kTitleLength] = {};
    wchar_t className[kTitleLength] = {};
    MainWindowServices services = {};

    // From config.ini before the window exists.
    int32_t showCommand = 0;  // wnd
    int32_t width = 0;        // cx
    int32_t height = 0;       // cy
    wchar_t tmpDir[kMaxPath] = {};
    wchar_t okDir[kMaxPath] = {};

    HWND window = nullptr;
    HWND statusBar = nullptr;
    HWND transferList = nullptr;
    HIMAGELIST fileIcons = nullptr;
    HACCEL accelerators = nullptr;

    int32_t trayFlag = 0;      // minimising hides the window in the tray
    int32_t updatePeriod = 0;  // upd_speed, milliseconds
    NOTIFYICONDATAW trayIcon = {};
    bool trayIconShown = false;
    UINT taskbarCreated = 0;  // the message a new task bar sends to every window

    uint64_t previousTotal = 0;   // bytes at the previous status refresh
    uint32_t runningMinutes = 0;

    // Set when the window starts to go: the transfer view stops calling in.
    std::atomic<bool> closing{false};
};

// The program's one main window.
extern MainWindow gMainWindow;

// Clears the record for a new window (tests make several, one at a time).
void resetMainWindow(MainWindow& mw, HINSTANCE instance, const MainWindowServices& services);

// The program's own services: the core's process-wide records.
MainWindowServices programServices();

// Start-up up to the window: title and class name, the class, and the
// checks of config.ini and the directories with their messages. False when
// the program cannot start (config.ini missing or without wnd).
bool prepareMainWindow(MainWindow& mw);
// Creates the window (its creation starts every service). nullptr on failure.
HWND createMainWindow(MainWindow& mw);
// Shows the window as `wnd` says and loads the accelerators.
void showMainWindow(MainWindow& mw);
// The message loop; returns the WM_QUIT code.
int runMessageLoop(MainWindow& mw);
// The whole program, as the entry point runs it.
int runProgram(HINSTANCE instance);

// Waits for the table's mutex while answering the calls that the packet and
// worker threads make into this thread, so that a thread that holds the
// mutex and waits for the window can always go on.
void lockTableFromWindow(Mutex* mutex);
// Answers the calls other threads are waiting on, without taking posted
// messages.
void answerSentMessages();

// The core's messages become message boxes: no owner, the given caption (the
// system's default when none) and icon.
void useMessageBoxes();
