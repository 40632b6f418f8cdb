// The transfer list and the status bar: rows as objects start and end, their
// texts refreshed by timer 1, the running time by timer 2, the sort by
// column and the delete of the selected row.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct MainWindow;
struct Transfer;
struct TransferView;

// The core's view of the list: calls from the packet and worker threads,
// carried synchronously into the UI thread.
TransferView transferViewFor(MainWindow& mw);
// The UI thread's side of those calls (kRowInsertedMessage, kRowRemovedMessage).
LRESULT onRowInserted(MainWindow& mw, LPARAM request);
LRESULT onRowRemoved(MainWindow& mw, LPARAM identity);

// Builds the status bar and the list with its columns (creation order).
void createTransferList(MainWindow& mw, int clientWidth, int clientHeight);
// The four status-bar parts for a client width.
void layoutStatusBar(MainWindow& mw, int clientWidth);
// Timer 1's period for an update period from upd_speed: never below
// kMinRefreshPeriod, so that a hand-edited 0 does not redraw the list and
// take the table's mutex a hundred times a second.
constexpr int32_t kMinRefreshPeriod = 100;
UINT refreshTimerPeriod(int32_t updatePeriod);
// Timer 1: the rows, then the first three status-bar parts.
void refreshTransfers(MainWindow& mw);
void refreshStatusBar(MainWindow& mw);
// Timer 2's procedure; with a null window it only redraws the time.
void CALLBACK runningTimeTick(HWND window, UINT message, UINT_PTR timer, DWORD time);
// LVM_SORTITEMS comparison of two rows' Transfers by column.
int CALLBACK compareTransfers(LPARAM first, LPARAM second, LPARAM column);
void sortTransfers(MainWindow& mw, int column);
// The user's delete of the selected row's object.
void deleteSelectedTransfer(MainWindow& mw);

// The selected row's item data, or nullptr when no row is selected.
Transfer* selectedRowTransfer(MainWindow& mw);
