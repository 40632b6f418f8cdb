#include "ui/transfer_list.h"

#include <commctrl.h>

#include <unordered_set>

#include "extraction/extraction.h"
#include "reception/section_assembler.h"
#include "resources/resource.h"
#include "settings/status_text.h"
#include "ui/main_window.h"

namespace {

constexpr int kCellLength = 128;    // list cells, terminator included
constexpr int kStatusLength = 256;  // status-bar parts
constexpr int kTimeLength = 64;     // the running-time text

// A row as the packet thread hands it to the UI thread.
struct RowRequest {
    uint32_t position;
    Transfer* transfer;
    const wchar_t* fileName;
    int32_t icon;
    const wchar_t* sizeText;
};

void viewRowInserted(void* context, uint32_t position, Transfer* transfer, const wchar_t* fileName, int32_t icon,
                     const wchar_t* sizeText)
{
    MainWindow& mw = *static_cast<MainWindow*>(context);
    if (mw.closing.load()) return;
    RowRequest request = {position, transfer, fileName, icon, sizeText};
    SendMessageW(mw.window, kRowInsertedMessage, 0, reinterpret_cast<LPARAM>(&request));
}

void viewRowRemoved(void* context, const void* identity)
{
    MainWindow& mw = *static_cast<MainWindow*>(context);
    if (mw.closing.load()) return;
    SendMessageW(mw.window, kRowRemovedMessage, 0, reinterpret_cast<LPARAM>(identity));
}

int findRow(HWND list, const void* identity)
{
    LVFINDINFOW find = {};
    find.flags = LVFI_PARAM;
    find.lParam = reinterpret_cast<LPARAM>(identity);
    return static_cast<int>(SendMessageW(list, LVM_FINDITEMW, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&find)));
}

LPARAM rowData(HWND list, int row)
{
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    item.iSubItem = 0;
    if (!SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return 0;
    return item.lParam;
}

void setCell(HWND list, int row, int column, const wchar_t* text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void setStatusPart(HWND statusBar, int part, const wchar_t* text)
{
    // Drawing style 0 in the high byte of the low word.
    SendMessageW(statusBar, SB_SETTEXTW, static_cast<WPARAM>(part & 0xFF), reinterpret_cast<LPARAM>(text));
}

void addColumn(HWND list, HINSTANCE instance, int index, int format, int width)
{
    wchar_t header[64] = {};
    LoadStringW(instance, IDS_COLUMN_NAME + index, header, 64);
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM;
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<wchar_t*>(header);
    column.iSubItem = index;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

wchar_t foldLatin(wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c; }

}  // namespace

TransferView transferViewFor(MainWindow& mw)
{
    TransferView view;
    view.rowInserted = viewRowInserted;
    view.rowRemoved = viewRowRemoved;
    view.context = &mw;
    return view;
}

LRESULT onRowInserted(MainWindow& mw, LPARAM raw)
{
    const RowRequest& request = *reinterpret_cast<const RowRequest*>(raw);
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
    // The object's counter is past the last row, so the row goes to the end.
    item.iItem = static_cast<int>(request.position);
    item.pszText = const_cast<wchar_t*>(request.fileName);
    item.iImage = request.icon;
    item.lParam = reinterpret_cast<LPARAM>(request.transfer);
    int row = static_cast<int>(SendMessageW(mw.transferList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (row >= 0) setCell(mw.transferList, row, 1, request.sizeText);
    return 0;
}

LRESULT onRowRemoved(MainWindow& mw, LPARAM identity)
{
    int row = findRow(mw.transferList, reinterpret_cast<const void*>(identity));
    if (row >= 0) SendMessageW(mw.transferList, LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
    return 0;
}

void createTransferList(MainWindow& mw, int width, int height)
{
    mw.statusBar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 0, 0, 0, 0, mw.window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusBarId)), mw.instance, nullptr);
    SendMessageW(mw.statusBar, SB_SIMPLE, FALSE, 0);
    mw.transferList =
        CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT | LVS_SINGLESEL, 0, 0, width,
                        height - kStatusBarHeight, mw.window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTransferListId)), mw.instance, nullptr);
    DWORD style = static_cast<DWORD>(SendMessageW(mw.transferList, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
    SendMessageW(mw.transferList, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, style | LVS_EX_FULLROWSELECT);
    SendMessageW(mw.transferList, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(mw.fileIcons));
    addColumn(mw.transferList, mw.instance, 0, LVCFMT_LEFT, width / 3);
    addColumn(mw.transferList, mw.instance, 1, LVCFMT_RIGHT, width / 8);
    addColumn(mw.transferList, mw.instance, 2, LVCFMT_RIGHT, width / 7);
    addColumn(mw.transferList, mw.instance, 3, LVCFMT_LEFT, width / 7);
}

void layoutStatusBar(MainWindow& mw, int width)
{
    int edges[4] = {width / 4, 2 * width / 4, 3 * width / 4, -1};
    SendMessageW(mw.statusBar, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
}

UINT refreshTimerPeriod(int32_t updatePeriod)
{
    return static_cast<UINT>(updatePeriod < kMinRefreshPeriod ? kMinRefreshPeriod : updatePeriod);
}

namespace {

// The time the rates divide by: the timer's real period, or 0 (rates of 0)
// for an update period of 0 or less.
uint32_t ratePeriod(const MainWindow& mw)
{
    return mw.updatePeriod > 0 ? refreshTimerPeriod(mw.updatePeriod) : 0;
}

}  // namespace

void refreshTransfers(MainWindow& mw)
{
    TransferTable& table = mw.services.extraction->table;
    // The packet thread may hold the mutex for long; a busy tick is skipped.
    if (!table.mutex || !lockMutexFor(table.mutex, 10)) return;
    // One walk of the rows, each looked up in the table: a refresh costs
    // rows + Transfers, not their product.
    std::unordered_set<const Transfer*> live;
    for (Transfer* t = table.first; t; t = t->next) live.insert(t);
    int rows = static_cast<int>(SendMessageW(mw.transferList, LVM_GETITEMCOUNT, 0, 0));
    // The cells are set without drawing and the list redrawn once: a redraw
    // request per cell would cost more than the texts.
    SendMessageW(mw.transferList, WM_SETREDRAW, FALSE, 0);
    for (int row = 0; row < rows; ++row) {
        Transfer* t = reinterpret_cast<Transfer*>(rowData(mw.transferList, row));
        if (!t || live.count(t) == 0) continue;
        uint32_t received = t->received.load(std::memory_order_acquire);
        wchar_t text[kCellLength];
        formatReceivedText(received, t->length, text, kCellLength);
        setCell(mw.transferList, row, 2, text);
        formatRowRate(received - t->receivedAtRefresh, ratePeriod(mw), text, kCellLength);
        setCell(mw.transferList, row, 3, text);
        t->receivedAtRefresh = received;
    }
    unlockMutex(table.mutex);
    SendMessageW(mw.transferList, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(mw.transferList, nullptr, FALSE);
}

void refreshStatusBar(MainWindow& mw)
{
    uint64_t total = mw.services.assembler->packetCount.load() * kTsPacketSize;
    wchar_t text[kStatusLength];
    formatTotal(total, text, kStatusLength);
    setStatusPart(mw.statusBar, 0, text);
    formatOverallRate(total - mw.previousTotal, ratePeriod(mw), text, kStatusLength);
    setStatusPart(mw.statusBar, 1, text);
    uint64_t errors = uint64_t(mw.services.assembler->discontinuityCount.load()) +
                      filesNotSaved(mw.services.extraction->counters);
    formatErrors(int32_t(errors), text, kStatusLength);
    setStatusPart(mw.statusBar, 2, text);
    mw.previousTotal = total;
}

void CALLBACK runningTimeTick(HWND window, UINT, UINT_PTR, DWORD)
{
    MainWindow& mw = gMainWindow;
    if (window) ++mw.runningMinutes;
    wchar_t text[kTimeLength];
    formatRunningTime(mw.runningMinutes, text, kTimeLength);
    setStatusPart(mw.statusBar, 3, text);
}

int CALLBACK compareTransfers(LPARAM first, LPARAM second, LPARAM column)
{
    // A row's Transfer lives until its row is removed, which waits for this
    // thread; the name and the length never change.
    const Transfer* a = reinterpret_cast<const Transfer*>(first);
    const Transfer* b = reinterpret_cast<const Transfer*>(second);
    if (column == 0) {
        for (size_t i = 0;; ++i) {
            wchar_t x = foldLatin(a->fileName[i]), y = foldLatin(b->fileName[i]);
            if (x != y) return int(x) - int(y);
            if (!x) return 0;
        }
    }
    if (column == 1) return static_cast<int32_t>(a->length - b->length);
    return 0;
}

void sortTransfers(MainWindow& mw, int column)
{
    SendMessageW(mw.transferList, LVM_SORTITEMS, static_cast<WPARAM>(column),
                 reinterpret_cast<LPARAM>(compareTransfers));
}

Transfer* selectedRowTransfer(MainWindow& mw)
{
    int row = static_cast<int>(SendMessageW(mw.transferList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (row < 0) return nullptr;
    return reinterpret_cast<Transfer*>(rowData(mw.transferList, row));
}

void deleteSelectedTransfer(MainWindow& mw)
{
    if (!selectedRowTransfer(mw)) return;
    TransferTable& table = mw.services.extraction->table;
    lockTableFromWindow(table.mutex);
    // The row is read again under the mutex: it may have gone meanwhile, and
    // only a Transfer still in the table may be touched.
    Transfer* t = selectedRowTransfer(mw);
    if (t && containsTransfer(table, t)) cancelTransfer(t);
    unlockMutex(table.mutex);
}
