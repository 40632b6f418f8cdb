// How long one refresh tick of the transfer list takes on the UI thread with
// many objects in progress. Runs the real main window (no reception needed)
// with N Transfers in the table and their rows in the list, and times the
// tick; for comparison also a tick that finds each row by its item data,
// which costs rows x Transfers.
//   ui_refresh_bench [ROWS] [TICKS]     (defaults 1000 and 50)
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "extraction/extraction.h"
#include "platform/platform.h"
#include "settings/messages.h"
#include "settings/size_text.h"
#include "settings/status_text.h"
#include "ui/main_window.h"
#include "ui/transfer_list.h"

namespace {

double now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

void writeText(const char* path, const char* text)
{
    FILE* out = std::fopen(path, "wb");
    if (!out) return;
    std::fputs(text, out);
    std::fclose(out);
}

// The same tick, finding each Transfer's row by item data.
void refreshByFinding(MainWindow& mw)
{
    TransferTable& table = mw.services.extraction->table;
    if (!lockMutexFor(table.mutex, 10)) return;
    for (Transfer* t = table.first; t; t = t->next) {
        LVFINDINFOW find = {};
        find.flags = LVFI_PARAM;
        find.lParam = reinterpret_cast<LPARAM>(t);
        int row = int(SendMessageW(mw.transferList, LVM_FINDITEMW, WPARAM(-1), LPARAM(&find)));
        if (row < 0) continue;
        uint32_t received = t->received.load();
        wchar_t text[128];
        formatReceivedText(received, t->length, text, 128);
        LVITEMW item = {};
        item.iSubItem = 2;
        item.pszText = text;
        SendMessageW(mw.transferList, LVM_SETITEMTEXTW, WPARAM(row), LPARAM(&item));
        formatRowRate(received - t->receivedAtRefresh, uint32_t(mw.updatePeriod), text, 128);
        item.iSubItem = 3;
        SendMessageW(mw.transferList, LVM_SETITEMTEXTW, WPARAM(row), LPARAM(&item));
        t->receivedAtRefresh = received;
    }
    unlockMutex(table.mutex);
}

template <typename Tick>
double millisecondsPerTick(MainWindow& mw, std::vector<Transfer>& transfers, int ticks, Tick tick)
{
    double total = 0;
    for (int i = 0; i < ticks; ++i) {
        for (size_t k = 0; k < transfers.size(); ++k) transfers[k].received.fetch_add(uint32_t(1000 + k));
        double start = now();
        tick(mw);
        total += now() - start;
    }
    return total * 1000 / ticks;
}

}  // namespace

int main(int argc, char** argv)
{
    int rows = argc > 1 ? std::atoi(argv[1]) : 1000;
    int ticks = argc > 2 ? std::atoi(argv[2]) : 50;
    // A working folder of its own; reception fails to start (no plug-in
    // settings), which the window survives.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string folder = std::string(temp) + "quillmoth-refresh-bench";
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + "\\tmp").c_str(), nullptr);
    CreateDirectoryA((folder + "\\ok").c_str(), nullptr);
    SetCurrentDirectoryA(folder.c_str());
    writeText("config.ini", "wnd = 5\r\ncx = 900\r\ncy = 700\r\ntmp_dir = tmp\\\r\nok_dir = ok\\\r\nupd_speed = 60000\r\n"
                            "use_spl = 0\r\n");
    writeText("streamreader.ini", "capture = none.ts\r\n");
    MessageSink quiet;
    quiet.show = [](void*, const wchar_t*, const wchar_t*, MessageIcon) {};
    setMessageSink(quiet);

    MainWindow& mw = gMainWindow;
    resetMainWindow(mw, GetModuleHandleW(nullptr), programServices());
    if (!prepareMainWindow(mw) || !createMainWindow(mw)) {
        std::fprintf(stderr, "ui_refresh_bench: the window could not be made\n");
        return 1;
    }
    showMainWindow(mw);
    mw.updatePeriod = 500;

    std::vector<Transfer> transfers(static_cast<size_t>(rows));
    TransferTable& table = gExtraction.table;
    TransferView view = gExtraction.view;
    for (int i = 0; i < rows; ++i) {
        Transfer& t = transfers[size_t(i)];
        swprintf(t.fileName, kFileNameCapacity, L"object-%04d (%d).bin", i, i);
        t.length = 10000000;
        wchar_t size[128];
        formatSizeText(t.length, size, 128);
        view.rowInserted(view.context, uint32_t(i), &t, t.fileName, 5, size);
        lockMutex(table.mutex);
        linkTransfer(table, &t);
        unlockMutex(table.mutex);
    }
    std::printf("rows: %d, ticks: %d\n", int(SendMessageW(mw.transferList, LVM_GETITEMCOUNT, 0, 0)), ticks);
    double walk = millisecondsPerTick(mw, transfers, ticks, refreshTransfers);
    double finding = millisecondsPerTick(mw, transfers, ticks, refreshByFinding);
    std::printf("refresh tick (rows walked once, Transfers looked up): %.2f ms\n", walk);
    std::printf("refresh tick (each Transfer's row found by item data): %.2f ms\n", finding);

    lockMutex(table.mutex);
    for (Transfer& t : transfers) unlinkTransfer(table, &t);
    unlockMutex(table.mutex);
    for (Transfer& t : transfers) view.rowRemoved(view.context, &t);
    DestroyWindow(mw.window);
    return 0;
}
