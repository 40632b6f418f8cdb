// The window program's frame: the checks before the window exists, the main
// window's class and creation (which starts every service), the message
// loop, and the shutdown when the window is destroyed.
#include "ui/main_window.h"

#include "extraction/extraction.h"
#include "reception/receiver_plugin.h"
#include "reception/section_assembler.h"
#include "resources/resource.h"
#include "settings/config_file.h"
#include "settings/filter_set.h"
#include "settings/log_file.h"
#include "settings/messages.h"
#include "settings/startup.h"
#include "ui/commands.h"
#include "ui/file_icons.h"
#include "ui/transfer_list.h"

MainWindow gMainWindow;

namespace {

// How long the shutdown waits for workers still busy with a payload; objects
// being finished or discarded are always waited for.
constexpr uint32_t kSettleMilliseconds = 2500;

void messageBox(void*, const wchar_t* text, const wchar_t* caption, MessageIcon icon)
{
    UINT flags = MB_OK;
    switch (icon) {
    case MessageIcon::error: flags |= MB_ICONERROR; break;
    case MessageIcon::warning: flags |= MB_ICONWARNING; break;
    case MessageIcon::information: flags |= MB_ICONINFORMATION; break;
    case MessageIcon::question: flags |= MB_ICONQUESTION; break;
    case MessageIcon::none: break;
    }
    MessageBoxW(nullptr, text, caption, flags);
}

// The icon group's own small image, not the large one scaled down.
HICON loadSmallAppIcon(HINSTANCE instance)
{
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP_SMALL), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED));
}

void fillTrayIcon(MainWindow& mw)
{
    NOTIFYICONDATAW& icon = mw.trayIcon;
    icon = NOTIFYICONDATAW{};
    icon.cbSize = sizeof icon;
    icon.hWnd = mw.window;
    icon.uID = kTrayIconId;
    icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon.uCallbackMessage = kTrayCallbackMessage;
    icon.hIcon = loadSmallAppIcon(mw.instance);
    lstrcpynW(icon.szTip, mw.title, 64);
}

LRESULT onCreate(MainWindow& mw, HWND window)
{
    mw.window = window;
    INITCOMMONCONTROLSEX controls = {sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);
    RECT client;
    GetClientRect(window, &client);
    mw.fileIcons = buildFileTypeImageList();
    createTransferList(mw, client.right, client.bottom);

    readConfigInt("tray", &mw.trayFlag);
    int32_t useLog = 0;
    readConfigInt("use_log", &useLog);
    LogFile& log = *mw.services.log;
    if (useLog)
        openLog(log);
    else
        useStandardOutput(log);
    logWrite(log, "\nQuillmoth sarted\n");
    checkDirectoryWritable("tmp_dir", mw.tmpDir, kTmpDirUnwritableMessage, log);
    checkDirectoryWritable("ok_dir", mw.okDir, kOkDirUnwritableMessage, log);

    Extraction& x = *mw.services.extraction;
    initExtraction(x);
    setSharedPath(x.tmpDir, mw.tmpDir);
    setSharedPath(x.okDir, mw.okDir);
    x.view = transferViewFor(mw);
    x.filters = mw.services.filters;
    x.log = mw.services.log;
    mw.services.assembler->sink = objectDatagramSink;
    mw.services.assembler->sinkContext = &x;
    startOwnFiles(x);
    // The filter set is in place before the first packet can arrive: an
    // object that came before a later load would be refused by the empty set.
    load(*mw.services.filters);
    startReception(*mw.services.plugin);

    readConfigInt("upd_speed", &mw.updatePeriod);
    SetTimer(window, kRefreshTimer, refreshTimerPeriod(mw.updatePeriod), nullptr);
    SetTimer(window, kRunningTimeTimer, kRunningTimePeriod, runningTimeTick);
    fillTrayIcon(mw);
    mw.taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    return 0;
}

struct StopRequest {
    ReceiverPlugin* plugin;
    Event* done;
};

void stopOnThread(void* raw)
{
    StopRequest& request = *static_cast<StopRequest*>(raw);
    stopReception(*request.plugin);
    setEvent(request.done);
}

// While the shutdown waits, this thread answers sent messages and
// dispatches posted ones: the plug-in's thread may be waiting inside a call
// into this thread, and a plug-in may wait for a window of its own here. The
// closing window ignores the commands among them; the program posts its own
// quit at the end. A bounded batch per call: a window that never validates
// itself would otherwise keep this loop busy with WM_PAINT.
void dispatchWhileClosing(void*)
{
    MSG msg;
    for (int n = 0; n < 64 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++n)
        if (msg.message != WM_QUIT) DispatchMessageW(&msg);
}

// DelFilter may wait for the plug-in's thread to end while that thread waits
// for this one: the receiver is stopped on a thread of its own.
void stopReceptionFromWindow(ReceiverPlugin& plugin)
{
    StopRequest request = {&plugin, createEvent()};
    if (!request.done || !startDetachedThread(stopOnThread, &request)) {
        if (request.done) closeEvent(request.done);
        stopReception(plugin);
        return;
    }
    while (waitEvent(request.done, 10) != WaitResult::signalled) dispatchWhileClosing(nullptr);
    closeEvent(request.done);
}

LRESULT onDestroy(MainWindow& mw)
{
    mw.closing.store(true);
    // Gone for the user at once, however long the objects take to finish.
    ShowWindow(mw.window, SW_HIDE);
    removeTrayIcon(mw);
    KillTimer(mw.window, kRefreshTimer);
    KillTimer(mw.window, kRunningTimeTimer);
    ReceiverPlugin& plugin = *mw.services.plugin;
    Extraction& x = *mw.services.extraction;
    int32_t clearTmp = 0;
    if (plugin.receptionStarted) {
        stopReceptionFromWindow(plugin);
        readConfigInt("clear_tmp", &clearTmp);
        // Objects being finished are completed whole before the process
        // ends; with clear_tmp the rest are discarded by their workers.
        settleTransfers(x, clearTmp != 0, kSettleMilliseconds, dispatchWhileClosing, nullptr);
    }
    // Only the temporary files this program made go, never the folder's other contents.
    endOwnFiles(x, clearTmp != 0);
    PostQuitMessage(0);
    return 0;
}

// What reaches the window while it closes, from the waits above, is not acted on.
bool ignoredWhileClosing(const MainWindow& mw, UINT message)
{
    return mw.closing.load() &&
           (message == WM_COMMAND || message == WM_CLOSE || message == WM_TIMER || message == kTrayCallbackMessage);
}

LRESULT onTimer(MainWindow& mw, WPARAM timer)
{
    if (timer == kRefreshTimer) {
        refreshTransfers(mw);
        refreshStatusBar(mw);
    }
    return 0;
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wp, LPARAM lp)
{
    MainWindow& mw = gMainWindow;
    if (ignoredWhileClosing(mw, message)) return 0;
    if (mw.taskbarCreated && message == mw.taskbarCreated) return onTaskbarCreated(mw);
    switch (message) {
    case WM_CREATE: return onCreate(mw, window);
    case WM_DESTROY: return onDestroy(mw);
    case WM_SIZE: return onSize(mw, wp, lp);
    case WM_NOTIFY: return onNotify(mw, wp, lp);
    case WM_COMMAND: return onCommand(mw, wp, lp);
    case WM_TIMER: return onTimer(mw, wp);
    case WM_INITMENU: return onInitMenu(mw, reinterpret_cast<HMENU>(wp));
    case kTrayCallbackMessage: return onTrayCallback(mw, wp, lp);
    case kRowInsertedMessage: return onRowInserted(mw, lp);
    case kRowRemovedMessage: return onRowRemoved(mw, lp);
    default: return DefWindowProcW(window, message, wp, lp);
    }
}

void registerMainClass(MainWindow& mw)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = mainWindowProc;
    wc.hInstance = mw.instance;
    wc.hIcon = LoadIconW(mw.instance, MAKEINTRESOURCEW(IDI_APP_LARGE));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MAIN_MENU);
    wc.lpszClassName = mw.className;
    wc.hIconSm = loadSmallAppIcon(mw.instance);
    RegisterClassExW(&wc);  // a second window in one process finds it registered
}

}  // namespace

void resetMainWindow(MainWindow& mw, HINSTANCE instance, const MainWindowServices& services)
{
    mw.instance = instance;
    mw.title[0] = mw.className[0] = L'\0';
    mw.services = services;
    mw.showCommand = mw.width = mw.height = 0;
    mw.tmpDir[0] = mw.okDir[0] = L'\0';
    mw.window = mw.statusBar = mw.transferList = nullptr;
    mw.fileIcons = nullptr;
    mw.accelerators = nullptr;
    mw.trayFlag = mw.updatePeriod = 0;
    mw.trayIcon = NOTIFYICONDATAW{};
    mw.trayIconShown = false;
    mw.taskbarCreated = 0;
    mw.previousTotal = 0;
    mw.runningMinutes = 0;
    mw.closing.store(false);
}

MainWindowServices programServices()
{
    return MainWindowServices{&gExtraction, &gReceiverPlugin, &gSectionAssembler, &gFilterSet, &gLog};
}

void useMessageBoxes()
{
    MessageSink sink;
    sink.show = messageBox;
    setMessageSink(sink);
}

bool prepareMainWindow(MainWindow& mw)
{
    LoadStringW(mw.instance, IDS_APP_TITLE, mw.title, kTitleLength);
    LoadStringW(mw.instance, IDS_WINDOW_CLASS, mw.className, kTitleLength);
    registerMainClass(mw);
    if (!configurationPresent()) {
        showMessage(kConfigMissingMessage, nullptr, MessageIcon::error);
        return false;
    }
    readConfigInt("wnd", &mw.showCommand);
    readConfigInt("cx", &mw.width);
    readConfigInt("cy", &mw.height);
    prepareDirectory("tmp_dir", kTmpDirMissingMessage, mw.tmpDir);
    prepareDirectory("ok_dir", kOkDirMissingMessage, mw.okDir);
    normalizeLogDirectory();
    return true;
}

HWND createMainWindow(MainWindow& mw)
{
    // A size missing from config.ini leaves the size to the system rather
    // than making a window too small to see.
    int width = mw.width > 0 && mw.height > 0 ? mw.width : CW_USEDEFAULT;
    int height = mw.width > 0 && mw.height > 0 ? mw.height : 0;
    // The class menu applies: no menu handle here.
    return CreateWindowExW(0, mw.className, mw.title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, width, height, nullptr,
                           nullptr, mw.instance, nullptr);
}

void showMainWindow(MainWindow& mw)
{
    // wnd is passed as stored; the system's own show command is not used.
    ShowWindow(mw.window, mw.showCommand);
    UpdateWindow(mw.window);
    mw.accelerators = LoadAcceleratorsW(mw.instance, MAKEINTRESOURCEW(IDR_MAIN_ACCEL));
}

int runMessageLoop(MainWindow& mw)
{
    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // Accelerators act for the main window wherever the keyboard focus
        // is, the list included.
        if (!TranslateAcceleratorW(mw.window, mw.accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

int runProgram(HINSTANCE instance)
{
    useMessageBoxes();
    resetMainWindow(gMainWindow, instance, programServices());
    if (!prepareMainWindow(gMainWindow)) return 0;
    if (!createMainWindow(gMainWindow)) return 0;
    showMainWindow(gMainWindow);
    return runMessageLoop(gMainWindow);
}

void answerSentMessages()
{
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

void lockTableFromWindow(Mutex* mutex)
{
    while (!lockMutexFor(mutex, 10)) answerSentMessages();
}
