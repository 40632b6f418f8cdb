#include "ui/commands.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstring>

#include "extraction/extraction.h"
#include "resources/resource.h"
#include "settings/config_file.h"
#include "ui/about_box.h"
#include "ui/filter_list_dialog.h"
#include "ui/main_window.h"
#include "ui/properties_dialog.h"
#include "ui/settings_sheet.h"
#include "ui/transfer_list.h"

namespace {

// The properties dialog shows this copy, not the live Transfer: the fields
// it shows, taken under the table's mutex.
Transfer gPropertiesSnapshot;

void copyForProperties(const Transfer& from, Transfer& to)
{
    std::memcpy(to.fileName, from.fileName, sizeof to.fileName);
    to.length = from.length;
    to.destinationAddress = from.destinationAddress;
    to.sourceAddress = from.sourceAddress;
    std::memcpy(to.destinationMac, from.destinationMac, sizeof to.destinationMac);
}

// A pop-up menu's first sub-menu at the cursor; the chosen command, or 0.
UINT trackPopup(MainWindow& mw, UINT resource)
{
    POINT cursor;
    GetCursorPos(&cursor);
    HMENU menu = LoadMenuW(mw.instance, MAKEINTRESOURCEW(resource));
    UINT chosen = static_cast<UINT>(TrackPopupMenu(GetSubMenu(menu, 0), TPM_RETURNCMD | TPM_NONOTIFY, cursor.x,
                                                   cursor.y, 0, mw.window, nullptr));
    DestroyMenu(menu);
    return chosen;
}

void showTrayMenu(MainWindow& mw)
{
    SetForegroundWindow(mw.window);
    UINT chosen = trackPopup(mw, IDR_TRAY_MENU);
    // The menu goes away properly only after the window has had a message.
    PostMessageW(mw.window, WM_NULL, 0, 0);
    // Closed without a choice, the window is still hidden: the icon stays,
    // or nothing would be left to bring it back.
    if (chosen == 0) return;
    removeTrayIcon(mw);
    SendMessageW(mw.window, WM_COMMAND, chosen, 0);
}

void layout(MainWindow& mw, int width, int height)
{
    SendMessageW(mw.statusBar, WM_SIZE, 0, 0);
    MoveWindow(mw.transferList, 0, 0, width, height - kStatusBarHeight, TRUE);
    layoutStatusBar(mw, width);
    runningTimeTick(nullptr, 0, 0, 0);
}

}  // namespace

void addTrayIcon(MainWindow& mw)
{
    if (mw.trayIconShown) return;
    mw.trayIconShown = Shell_NotifyIconW(NIM_ADD, &mw.trayIcon) != FALSE;
}

void removeTrayIcon(MainWindow& mw)
{
    if (!mw.trayIconShown) return;
    Shell_NotifyIconW(NIM_DELETE, &mw.trayIcon);
    mw.trayIconShown = false;
}

void setUpdatePeriod(MainWindow& mw, int32_t period)
{
    mw.updatePeriod = period;
    writeConfigInt("upd_speed", period);
    SetTimer(mw.window, kRefreshTimer, refreshTimerPeriod(period), nullptr);
}

void showSelectedProperties(MainWindow& mw)
{
    if (!selectedRowTransfer(mw)) return;
    TransferTable& table = mw.services.extraction->table;
    lockTableFromWindow(table.mutex);
    Transfer* t = selectedRowTransfer(mw);
    bool live = t && containsTransfer(table, t);
    if (live) copyForProperties(*t, gPropertiesSnapshot);
    unlockMutex(table.mutex);
    if (live) showPropertiesDialog(mw.instance, mw.window, &gPropertiesSnapshot);
}

LRESULT onCommand(MainWindow& mw, WPARAM wp, LPARAM lp)
{
    switch (LOWORD(wp)) {
    case IDM_ABOUT:
        showAboutBox(mw.instance, mw.window);
        return 0;
    case IDM_EXIT:
        DestroyWindow(mw.window);
        return 0;
    case IDM_FILTERS:
        showFilterListDialog(mw.instance, mw.window, *mw.services.filters);
        return 0;
    case IDM_SETTINGS: {
        RunningSettings running;
        running.extraction = mw.services.extraction;
        running.trayFlag = &mw.trayFlag;
        running.log = mw.services.log;
        showSettingsSheet(mw.instance, mw.window, running);
        return 0;
    }
    case IDM_SPEED_LOW:
        setUpdatePeriod(mw, 1000);
        return 0;
    case IDM_SPEED_NORMAL:
        setUpdatePeriod(mw, 500);
        return 0;
    case IDM_SPEED_HIGH:
        setUpdatePeriod(mw, 250);
        return 0;
    case IDM_DELETE:
        deleteSelectedTransfer(mw);
        return 0;
    case IDM_PROPERTIES:
        showSelectedProperties(mw);
        return 0;
    case IDM_RESTORE:
        ShowWindow(mw.window, SW_RESTORE);
        SetForegroundWindow(mw.window);
        return 0;
    default:
        return DefWindowProcW(mw.window, WM_COMMAND, wp, lp);
    }
}

LRESULT onNotify(MainWindow& mw, WPARAM wp, LPARAM lp)
{
    if (wp != static_cast<WPARAM>(kTransferListId)) return 0;
    const NMHDR& header = *reinterpret_cast<const NMHDR*>(lp);
    switch (header.code) {
    case LVN_KEYDOWN:
        if (reinterpret_cast<const NMLVKEYDOWN*>(lp)->wVKey == VK_DELETE) deleteSelectedTransfer(mw);
        break;
    case LVN_COLUMNCLICK:
        sortTransfers(mw, reinterpret_cast<const NMLISTVIEW*>(lp)->iSubItem);
        break;
    case NM_RCLICK:
        if (reinterpret_cast<const NMITEMACTIVATE*>(lp)->iItem != -1) {
            UINT chosen = trackPopup(mw, IDR_ROW_MENU);
            if (chosen) SendMessageW(mw.window, WM_COMMAND, chosen, 0);
        }
        break;
    default:
        break;
    }
    return 0;
}

LRESULT onSize(MainWindow& mw, WPARAM type, LPARAM size)
{
    if (type == SIZE_MAXIMIZED) {
        writeConfigInt("wnd", SW_MAXIMIZE);
    } else if (type == SIZE_RESTORED) {
        // One write for the three: a drag of the frame sends many of these.
        RECT frame;
        GetWindowRect(mw.window, &frame);
        ConfigChange change;
        setConfigInt(change, "wnd", SW_SHOW);
        setConfigInt(change, "cx", frame.right - frame.left);
        setConfigInt(change, "cy", frame.bottom - frame.top);
        writeConfigChange(change);
    } else if (type == SIZE_MINIMIZED && mw.trayFlag) {
        // Hidden only once the icon is up: without a notification area the
        // window stays on the task bar instead of becoming unreachable.
        addTrayIcon(mw);
        if (mw.trayIconShown) {
            ShowWindow(mw.window, SW_HIDE);
            return 0;
        }
    }
    layout(mw, LOWORD(size), HIWORD(size));
    return 0;
}

LRESULT onInitMenu(MainWindow& mw, HMENU menu)
{
    UINT checked = 0;
    if (mw.updatePeriod == 1000) checked = IDM_SPEED_LOW;
    if (mw.updatePeriod == 500) checked = IDM_SPEED_NORMAL;
    if (mw.updatePeriod == 250) checked = IDM_SPEED_HIGH;
    if (checked) {
        CheckMenuRadioItem(menu, IDM_SPEED_LOW, IDM_SPEED_HIGH, checked, MF_BYCOMMAND);
    } else {
        for (UINT id = IDM_SPEED_LOW; id <= IDM_SPEED_HIGH; ++id) CheckMenuItem(menu, id, MF_BYCOMMAND | MF_UNCHECKED);
    }
    return 0;
}

LRESULT onTrayCallback(MainWindow& mw, WPARAM icon, LPARAM mouseMessage)
{
    if (icon != kTrayIconId) return 0;
    if (mouseMessage == WM_LBUTTONDBLCLK) {
        SendMessageW(mw.window, WM_COMMAND, IDM_RESTORE, 0);
        removeTrayIcon(mw);
    } else if (mouseMessage == WM_RBUTTONDOWN) {
        showTrayMenu(mw);
    }
    return 0;
}

LRESULT onTaskbarCreated(MainWindow& mw)
{
    if (!mw.trayIconShown) return 0;
    // The icon went with the old task bar; the hidden window needs it back,
    // or a task bar button when the icon cannot be added.
    mw.trayIconShown = false;
    addTrayIcon(mw);
    if (!mw.trayIconShown) ShowWindow(mw.window, SW_SHOWMINNOACTIVE);
    return 0;
}
