// What the main window does for the user: menu commands and accelerators,
// the list's notifications, the pop-up menus, the tray icon and size changes.
#pragma once

#include <windows.h>

#include <cstdint>

struct MainWindow;

LRESULT onCommand(MainWindow& mw, WPARAM wp, LPARAM lp);
LRESULT onNotify(MainWindow& mw, WPARAM wp, LPARAM lp);
LRESULT onSize(MainWindow& mw, WPARAM type, LPARAM size);
LRESULT onInitMenu(MainWindow& mw, HMENU menu);
LRESULT onTrayCallback(MainWindow& mw, WPARAM icon, LPARAM mouseMessage);
// The task bar came back (Explorer restarted) without our icon.
LRESULT onTaskbarCreated(MainWindow& mw);

// The refresh period: written to upd_speed and timer 1 re-armed with it.
void setUpdatePeriod(MainWindow& mw, int32_t period);
// The selected row's properties, from a copy taken under the table's mutex.
void showSelectedProperties(MainWindow& mw);
// Puts the tray icon up or takes it down (no-op when it already is so).
void addTrayIcon(MainWindow& mw);
void removeTrayIcon(MainWindow& mw);
