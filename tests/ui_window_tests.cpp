// The main window as the user meets it, in process: made the way the
// program makes it, in a working folder of its own with config.ini,
// filters.qmf and the capture-replaying plug-in, driven with messages, and
// read back through the controls, the menus, the tray and config.ini.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "extraction/extraction.h"
#include "extraction/transfer.h"
#include "reception/receiver_plugin.h"
#include "reception/section_assembler.h"
#include "resources/resource.h"
#include "settings/config_file.h"
#include "tests/extraction_support.h"
#include "tests/test_support.h"
#include "tools/broadcast_lib.h"
#include "ui/main_window.h"
#include "ui/transfer_list.h"

namespace {

// ---- Pumping and the boxes that block -------------------------------------

// Pumps this thread's messages until `done` says so; false on time-out.
bool pumpUntil(const std::function<bool()>& done, DWORD milliseconds = 20000)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > milliseconds) return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

void pumpFor(DWORD milliseconds)
{
    pumpUntil([] { return false; }, milliseconds);
}

std::wstring windowText(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

std::wstring controlText(HWND dialog, int id)
{
    wchar_t text[512] = {};
    GetDlgItemTextW(dialog, id, text, 512);
    return text;
}

// Every message box and dialog of this thread is found by a thread timer,
// which modal loops dispatch too. Message boxes are recorded and closed;
// other dialogs go to the test's handler, which must close them.
struct Boxes {
    std::vector<std::wstring> messages;  // the texts of the message boxes, in order
    std::vector<UINT> icons;             // MB_ICON* seen, by the icon control's presence
    std::function<void(HWND)> onDialog;
    std::vector<HWND> handled;
};
Boxes gBoxes;

BOOL CALLBACK visitWindow(HWND window, LPARAM)
{
    wchar_t kind[32] = {};
    GetClassNameW(window, kind, 32);
    if (std::wstring(kind) != L"#32770" || !IsWindowVisible(window)) return TRUE;
    for (HWND seen : gBoxes.handled)
        if (seen == window) return TRUE;
    gBoxes.handled.push_back(window);
    // The core's message boxes have no owner; the window's dialogs do.
    if (!GetWindow(window, GW_OWNER)) {
        gBoxes.messages.push_back(windowText(GetDlgItem(window, 0xFFFF)));
        PostMessageW(window, WM_COMMAND, IDOK, 0);
    } else if (gBoxes.onDialog) {
        gBoxes.onDialog(window);
    } else {
        PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    }
    return TRUE;
}

void CALLBACK watchBoxes(HWND, UINT, UINT_PTR, DWORD)
{
    EnumThreadWindows(GetCurrentThreadId(), visitWindow, 0);
}

// ---- A working folder for one window ---------------------------------------

struct ObjectFile {
    std::string name;
    size_t size;
};

std::string configText(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// The settings every window here starts from; a test adds or replaces lines.
std::vector<std::string> baseConfig()
{
    return {"wnd = 5", "cx = 800", "cy = 600", "tmp_dir = tmp\\", "ok_dir = ok\\", "log_dir = .\\",
            "use_log = 0", "tray = 0", "clear_tmp = 1", "timeout = 5", "upd_speed = 250", "use_spl = 0",
            "frequency = 11766", "symbol_rate = 27500", "polarity = 1", "lof1 = 9750", "lof2 = 10600",
            "switch = 11700", "diseqc = 0", "pids = 256", "sort = 0"};
}

std::vector<std::string> withLine(std::vector<std::string> lines, const std::string& line)
{
    std::string key = line.substr(0, line.find(' '));
    for (std::string& existing : lines)
        if (existing.compare(0, key.size() + 1, key + " ") == 0) {
            existing = line;
            return lines;
        }
    lines.push_back(line);
    return lines;
}

struct WindowFolder {
    ScratchDirectory dir;
    CurrentDirectoryScope here;
    std::vector<ObjectToSend> objects;

    explicit WindowFolder(const char* name, const std::vector<std::string>& config = baseConfig())
        : dir(name), here(dir.path)
    {
        CreateDirectoryW(dir.file(L"tmp").c_str(), nullptr);
        CreateDirectoryW(dir.file(L"ok").c_str(), nullptr);
        writeWholeFile(dir.file(L"config.ini"), configText(config));
        // One filter that admits every object of any size.
        writeWholeFile(dir.file(L"filters.qmf"), fileOf({byCategory(0, 0, 0xFFFFFFFFu)}));
        // Without a capture the plug-in has nothing to send, but it starts.
        writeCapture({}, 0);
    }

    // The capture the plug-in replays, paced at `rateKbps` (0: at once).
    void writeCapture(const std::vector<ObjectFile>& files, uint32_t rateKbps)
    {
        objects.clear();
        uint32_t seed = 1;
        for (const ObjectFile& f : files) objects.push_back({f.name, randomBytes(f.size, seed++), {}});
        BroadcastOptions options;
        options.interleave = true;
        Bytes stream = objects.empty() ? Bytes{} : makeBroadcast(objects, options);
        writeWholeFile(dir.file(L"sample.ts"), std::string(stream.begin(), stream.end()));
        writeWholeFile(dir.file(L"streamreader.ini"),
                       "capture = sample.ts\r\nrate_kbps = " + std::to_string(rateKbps) + "\r\n");
    }

    std::wstring tmp() const { return dir.file(L"tmp") + L"\\"; }
    std::wstring ok() const { return dir.file(L"ok") + L"\\"; }
    std::string config() const { return readWholeFile(dir.file(L"config.ini")); }
};

// The program's journal of its own files lies in tmp_dir while it runs.
std::vector<std::wstring> withoutJournal(std::vector<std::wstring> names)
{
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::wstring& name) { return name.rfind(L".quillmoth-", 0) == 0; }),
                names.end());
    return names;
}

std::vector<std::wstring> filesIn(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// ---- The window -------------------------------------------------------------

// Makes the main window as the entry point does, without its message loop:
// the test pumps. Destroying it runs the program's shutdown.
struct TestWindow {
    MainWindow& mw = gMainWindow;
    bool prepared = false;

    TestWindow()
    {
        gBoxes = Boxes{};
        // One process makes many windows: each numbers its objects from 0.
        gExtraction.table.objectCounter = 0;
        resetMainWindow(mw, GetModuleHandleW(nullptr), programServices());
        prepared = prepareMainWindow(mw);
        if (!prepared || !createMainWindow(mw)) return;
        showMainWindow(mw);
    }
    ~TestWindow() { close(); }

    bool open() const { return mw.window && IsWindow(mw.window); }
    void close()
    {
        if (open()) DestroyWindow(mw.window);
        pumpFor(50);
    }
    HWND list() const { return mw.transferList; }
    int rows() const { return int(SendMessageW(list(), LVM_GETITEMCOUNT, 0, 0)); }
    std::wstring cell(int row, int column) const
    {
        wchar_t text[256] = {};
        LVITEMW item = {};
        item.iSubItem = column;
        item.pszText = text;
        item.cchTextMax = 256;
        SendMessageW(list(), LVM_GETITEMTEXTW, WPARAM(row), LPARAM(&item));
        return text;
    }
    int icon(int row) const
    {
        LVITEMW item = {};
        item.mask = LVIF_IMAGE;
        item.iItem = row;
        SendMessageW(list(), LVM_GETITEMW, 0, LPARAM(&item));
        return item.iImage;
    }
    int rowNamed(const std::wstring& prefix) const
    {
        for (int row = 0; row < rows(); ++row)
            if (cell(row, 0).compare(0, prefix.size(), prefix) == 0) return row;
        return -1;
    }
    void select(int row) const
    {
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(list(), LVM_SETITEMSTATE, WPARAM(row), LPARAM(&item));
    }
    std::wstring statusPart(int part) const
    {
        wchar_t text[256] = {};
        SendMessageW(mw.statusBar, SB_GETTEXTW, WPARAM(part), LPARAM(text));
        return text;
    }
    void command(UINT id) const { SendMessageW(mw.window, WM_COMMAND, id, 0); }
    void tick() const { SendMessageW(mw.window, WM_TIMER, kRefreshTimer, 0); }
    void notify(NMHDR& header) const
    {
        header.hwndFrom = list();
        header.idFrom = kTransferListId;
        SendMessageW(mw.window, WM_NOTIFY, kTransferListId, LPARAM(&header));
    }
    bool trayIconPresent() const
    {
        NOTIFYICONDATAW probe = mw.trayIcon;
        return Shell_NotifyIconW(NIM_MODIFY, &probe) != FALSE;
    }
};

void CALLBACK endLoop(HWND, UINT, UINT_PTR, DWORD)
{
    PostQuitMessage(1);
}

// The timer messages the window gets in `milliseconds`.
int timerTicks(HWND window, DWORD milliseconds)
{
    int ticks = 0;
    for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds; Sleep(5))
        for (MSG m; PeekMessageW(&m, window, 0, 0, PM_REMOVE); DispatchMessageW(&m)) ticks += m.message == WM_TIMER;
    return ticks;
}

void CALLBACK closeMenu(HWND window, UINT, UINT_PTR id, DWORD)
{
    KillTimer(window, id);
    EndMenu();
}

// Chooses the n-th item of the pop-up menu that is open by then, as the keyboard does.
int gMenuItem = 0;
void CALLBACK chooseInMenu(HWND window, UINT, UINT_PTR id, DWORD)
{
    KillTimer(window, id);
    for (int k = 0; k < gMenuItem; ++k) PostMessageW(window, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
}
void chooseLater(HWND window, int item)
{
    gMenuItem = item;
    SetTimer(window, 78, 200, chooseInMenu);
}

class Window : public ::testing::Test {
protected:
    UINT_PTR watcher = 0;
    void SetUp() override { watcher = SetTimer(nullptr, 0, 30, watchBoxes); }
    void TearDown() override
    {
        KillTimer(nullptr, watcher);
        gBoxes.onDialog = nullptr;
    }
};

// ---- Start-up ---------------------------------------------------------------

TEST_F(Window, AMissingOrIncompleteConfigurationStopsTheStartWithItsMessage)
{
    const char* cases[] = {nullptr, "cx = 800\r\ncy = 600\r\ntmp_dir = tmp\\\r\n"};
    for (const char* config : cases) {
        SCOPED_TRACE(config ? "config.ini without wnd" : "no config.ini");
        ScratchDirectory dir("window-noconfig");
        CurrentDirectoryScope here(dir.path);
        if (config) writeWholeFile(dir.file(L"config.ini"), config);
        useMessageBoxes();
        TestWindow w;
        EXPECT_FALSE(w.prepared);
        EXPECT_FALSE(w.open());
        ASSERT_EQ(gBoxes.messages.size(), 1u);
        EXPECT_EQ(gBoxes.messages[0], L"Конфигурационный файл не найден!");
    }
}

TEST_F(Window, MissingDirectoriesAreReportedAndTheWindowStillOpens)
{
    std::vector<std::string> config = withLine(withLine(baseConfig(), "tmp_dir = absent-tmp\\"), "ok_dir = absent-ok\\");
    WindowFolder folder("window-nodirs", config);
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    ASSERT_TRUE(pumpUntil([] { return gBoxes.messages.size() >= 2; }));
    EXPECT_EQ(gBoxes.messages[0], L"Директория для временных файлов не найдена. Укажите правильный путь!");
    EXPECT_EQ(gBoxes.messages[1], L"Директория для загруженных файлов не найдена. Укажите правильный путь!");
    EXPECT_EQ(w.mw.tmpDir[0], L'\0');
    EXPECT_EQ(w.mw.okDir[0], L'\0');
    // The relative values were written back absolute, for the next start.
    std::string written = folder.config();
    EXPECT_NE(written.find(":\\"), std::string::npos);
    EXPECT_NE(written.find("absent-tmp\\"), std::string::npos);
}

TEST_F(Window, CreationBuildsTheStatusBarTheListAndItsColumns)
{
    WindowFolder folder("window-create", withLine(baseConfig(), "use_log = 1"));
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    EXPECT_TRUE(gBoxes.messages.empty());
    EXPECT_EQ(GetDlgCtrlID(w.mw.statusBar), kStatusBarId);
    EXPECT_EQ(GetDlgCtrlID(w.list()), kTransferListId);
    LONG style = GetWindowLongW(w.list(), GWL_STYLE);
    EXPECT_EQ(style & LVS_TYPEMASK, LVS_REPORT);
    EXPECT_TRUE(style & LVS_SINGLESEL);
    EXPECT_TRUE(SendMessageW(w.list(), LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_FULLROWSELECT);
    HIMAGELIST icons = reinterpret_cast<HIMAGELIST>(SendMessageW(w.list(), LVM_GETIMAGELIST, LVSIL_SMALL, 0));
    ASSERT_NE(icons, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(icons), 29);

    // Columns by the client width at creation.
    RECT client;
    GetClientRect(w.mw.window, &client);
    const wchar_t* headers[] = {L"Имя файла", L"Размер", L"Загружено", L"Скорость"};
    int widths[] = {client.right / 3, client.right / 8, client.right / 7, client.right / 7};
    int formats[] = {LVCFMT_LEFT, LVCFMT_RIGHT, LVCFMT_RIGHT, LVCFMT_LEFT};
    for (int c = 0; c < 4; ++c) {
        wchar_t text[64] = {};
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.pszText = text;
        column.cchTextMax = 64;
        ASSERT_TRUE(SendMessageW(w.list(), LVM_GETCOLUMNW, c, LPARAM(&column)));
        EXPECT_STREQ(text, headers[c]);
        EXPECT_EQ(column.cx, widths[c]) << c;
        EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, formats[c]) << c;
    }
    // Four status-bar parts at quarters of the width, the last to the edge;
    // the running time is there from the first layout on.
    int edges[4] = {};
    ASSERT_EQ(SendMessageW(w.mw.statusBar, SB_GETPARTS, 4, LPARAM(edges)), 4);
    EXPECT_EQ(edges[0], client.right / 4);
    EXPECT_EQ(edges[1], 2 * client.right / 4);
    EXPECT_EQ(edges[2], 3 * client.right / 4);
    EXPECT_EQ(w.statusPart(3), L"Время работы: 00:00");
    EXPECT_EQ(w.statusPart(0), L"");
    EXPECT_EQ(w.mw.trayIcon.uID, kTrayIconId);
    EXPECT_EQ(w.mw.trayIcon.uCallbackMessage, UINT(WM_USER + 100));
    EXPECT_STREQ(w.mw.trayIcon.szTip, L"Quillmoth 0.05");
    EXPECT_EQ(windowText(w.mw.window), L"Quillmoth 0.05");
    // With use_log the log is log.txt in log_dir, held open and not shared;
    // its first line is the start.
    FILE* stream = logStream(gLog);
    ASSERT_NE(stream, stdout);
    std::fflush(stream);
    EXPECT_GE(std::ftell(stream), long(std::strlen("\r\nQuillmoth sarted\r\n")));
    EXPECT_TRUE(fileExists(folder.dir.file(L"log.txt")));
    w.close();
    useStandardOutput(gLog);
}

// ---- Receiving ---------------------------------------------------------------

TEST_F(Window, RowsComeWithTheirIconsRefreshAndGoAsACaptureIsReceived)
{
    WindowFolder folder("window-receive");
    folder.writeCapture({{"first.txt", 60000}, {"second.png", 90000}, {"third.zip", 120000}}, 600);
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    ASSERT_TRUE(pumpUntil([&] { return w.rows() == 3; })) << w.rows();
    int first = w.rowNamed(L"first"), second = w.rowNamed(L"second"), third = w.rowNamed(L"third");
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    ASSERT_GE(third, 0);
    EXPECT_EQ(w.cell(first, 0), L"first (0).txt");
    EXPECT_EQ(w.cell(first, 1), L"58 кБ");
    EXPECT_EQ(w.cell(third, 1), L"117 кБ");
    // Each row carries its extension's image.
    EXPECT_EQ(w.icon(first), int(findExtension(L"txt") - ExtensionTable));
    EXPECT_EQ(w.icon(second), int(findExtension(L"png") - ExtensionTable));
    EXPECT_EQ(w.icon(third), int(findExtension(L"zip") - ExtensionTable));
    // Timer 1 fills the received and rate columns while the objects arrive.
    ASSERT_TRUE(pumpUntil([&] {
        int row = w.rowNamed(L"third");
        return row >= 0 && w.cell(row, 2).find(L"%)") != std::wstring::npos && w.cell(row, 3).find(L"/c") != std::wstring::npos;
    }));
    EXPECT_NE(w.statusPart(0).find(L"Всего: "), std::wstring::npos);
    EXPECT_EQ(w.statusPart(2), L"Ошибок: 0");
    EXPECT_EQ(w.statusPart(1).compare(0, 10, L"Cкорость: "), 0);
    // All three finished: their rows are gone and their files whole.
    ASSERT_TRUE(pumpUntil([&] { return w.rows() == 0; }, 30000)) << w.rows();
    std::vector<std::wstring> placed = filesIn(folder.ok());
    ASSERT_EQ(placed.size(), 3u);
    for (size_t i = 0; i < folder.objects.size(); ++i) {
        std::string name = folder.objects[i].name;
        std::wstring stem(name.begin(), name.begin() + name.find('.'));
        std::wstring ext(name.begin() + name.find('.'), name.end());
        std::wstring file = folder.ok() + stem + L" (" + std::to_wstring(i) + L")" + ext;
        EXPECT_EQ(readWholeFile(file), std::string(folder.objects[i].content.begin(), folder.objects[i].content.end()));
    }
    EXPECT_TRUE(withoutJournal(filesIn(folder.tmp())).empty());
}

TEST_F(Window, TheStatusBarShowsTheCountsOfTheTick)
{
    WindowFolder folder("window-status");
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    w.command(IDM_SPEED_HIGH);  // 250 ms
    pumpFor(300);
    w.tick();  // the packets of the plug-in's start, if any, are behind us
    uint64_t before = gSectionAssembler.packetCount.load();
    int32_t errors = gSectionAssembler.discontinuityCount.load();
    gSectionAssembler.packetCount.store(before + 47);
    gSectionAssembler.discontinuityCount.store(3);
    w.tick();
    EXPECT_EQ(w.statusPart(1), L"Cкорость: 34.52 кБ/c");
    EXPECT_EQ(w.statusPart(2), L"Ошибок: 3");
    gSectionAssembler.packetCount.store((uint64_t(1) << 30) / 188 * 2);
    w.tick();
    EXPECT_EQ(w.statusPart(0), L"Всего: 1 ГБ");
    // The running time counts real ticks of timer 2 only.
    runningTimeTick(w.mw.window, WM_TIMER, kRunningTimeTimer, 0);
    EXPECT_EQ(w.statusPart(3), L"Время работы: 00:01");
    runningTimeTick(nullptr, 0, 0, 0);
    EXPECT_EQ(w.statusPart(3), L"Время работы: 00:01");
    gSectionAssembler.packetCount.store(before);
    gSectionAssembler.discontinuityCount.store(errors);
}

// ---- Sorting, delete, properties -------------------------------------------

TEST_F(Window, ColumnClicksSortByNameAndBySizeOnly)
{
    WindowFolder folder("window-sort");
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    // Rows as the core inserts them, for records of the test's own.
    struct Row {
        const wchar_t* name;
        uint32_t length;
    } rows[] = {{L"beta.txt", 300},   {L"Alpha.txt", 0x90000000u}, {L"alpha2.txt", 100}, {L"Гамма.txt", 200},
                {L"able.txt", 400},   {L"Zeta.txt", 500},          {L"zebra.txt", 600},  {L"яблоко.txt", 700},
                {L"Арбуз.txt", 800},  {L"ёж.txt", 900},            {L"Ёлка.txt", 1000}};
    const int count = int(sizeof rows / sizeof rows[0]);
    std::vector<Transfer> records(count);
    TransferView view = w.mw.services.extraction->view;
    for (int i = 0; i < count; ++i) {
        wcscpy(records[i].fileName, rows[i].name);
        records[i].length = rows[i].length;
        view.rowInserted(view.context, uint32_t(100 + i), &records[i], rows[i].name, 0, L"");
    }
    ASSERT_EQ(w.rows(), count);
    auto order = [&] {
        std::vector<std::wstring> names;
        for (int r = 0; r < w.rows(); ++r) names.push_back(w.cell(r, 0));
        return names;
    };
    NMLISTVIEW click = {};
    click.hdr.code = LVN_COLUMNCLICK;
    click.iSubItem = 0;
    w.notify(click.hdr);
    // Only A to Z fold, both ends included: "able" before "Alpha", "zebra"
    // before "Zeta"; Cyrillic comes after Latin in the order of its code
    // points, capitals (Ё first) before small letters (ё last).
    EXPECT_EQ(order(), (std::vector<std::wstring>{L"able.txt", L"Alpha.txt", L"alpha2.txt", L"beta.txt",
                                                  L"zebra.txt", L"Zeta.txt", L"Ёлка.txt", L"Арбуз.txt",
                                                  L"Гамма.txt", L"яблоко.txt", L"ёж.txt"}));
    click.iSubItem = 1;
    w.notify(click.hdr);
    // Lengths compare as a wrapping difference read signed: 0x90000000 - 100
    // is negative, so the huge one sorts first, as the window always did.
    EXPECT_EQ(order().front(), L"Alpha.txt");
    EXPECT_EQ(order()[1], L"alpha2.txt");
    EXPECT_EQ(order()[2], L"Гамма.txt");
    std::vector<std::wstring> before = order();
    click.iSubItem = 2;
    w.notify(click.hdr);
    EXPECT_EQ(order(), before);
    click.iSubItem = 3;
    w.notify(click.hdr);
    EXPECT_EQ(order(), before);
    for (Transfer& t : records) view.rowRemoved(view.context, &t);
    EXPECT_EQ(w.rows(), 0);
}

TEST_F(Window, RowsShowTheirTransfersAndCommandsTouchOnlyLiveOnes)
{
    WindowFolder folder("window-rows");
    TestWindow w;
    // Rows as the core inserts them; row 1's Transfer has gone from the table.
    std::vector<Transfer> t(2);
    for (Transfer& r : t) {
        r.length = 2048;
        gExtraction.view.rowInserted(gExtraction.view.context, 0, &r, L"x", 0, L"");
    }
    linkTransfer(gExtraction.table, &t[1]);
    // Ticks every 250 ms; one while the mutex is held elsewhere gives up
    // after 10 ms, and the next measures from the last real sample.
    struct Tick {
        uint32_t received;
        bool held;
        const wchar_t* cells;
    } ticks[] = {{1024, false, L"1 кБ (50.00%)|4.00 кБ/c"}, {1536, true, L"1 кБ (50.00%)|4.00 кБ/c"},
                 {1536, false, L"1 кБ (75.00%)|2.00 кБ/c"}, {4096, false, L"4 кБ (200.00%)|10.00 кБ/c"}};
    for (const Tick& c : ticks) {
        t[1].received = c.received;
        auto start = std::chrono::steady_clock::now();
        // Held for the whole tick, however long it waits: a tick that waited
        // far beyond its 10 ms would still be seen (the bound leaves room for
        // a loaded machine).
        if (c.held) lockMutex(gExtraction.table.mutex);
        w.tick();
        if (c.held) unlockMutex(gExtraction.table.mutex);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::microseconds(c.held ? 9900 : 0));
        if (c.held) {
            EXPECT_LT(took, std::chrono::milliseconds(500));
        }
        EXPECT_EQ(w.cell(0, 2) + L"|" + w.cell(0, 3) + w.cell(1, 2), c.cells) << c.received;
    }
    gBoxes.onDialog = [](HWND dialog) {
        ADD_FAILURE() << "a dialog for a row whose object has gone";
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    };
    w.select(1);
    w.command(IDM_DELETE);
    w.command(IDM_PROPERTIES);
    pumpFor(100);
    unlinkTransfer(gExtraction.table, &t[1]);
}

TEST_F(Window, DeleteDiscardsTheSelectedObjectOnly)
{
    WindowFolder folder("window-delete", withLine(baseConfig(), "timeout = 30"));
    folder.writeCapture({{"keep.bin", 150000}, {"drop.bin", 150000}}, 500);
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    // Nothing selected: nothing happens.
    w.command(IDM_DELETE);
    ASSERT_TRUE(pumpUntil([&] { return w.rows() == 2; }));
    int row = w.rowNamed(L"drop");
    ASSERT_GE(row, 0);
    w.select(row);
    // The Delete key in the list, as the list reports it.
    NMLVKEYDOWN key = {};
    key.hdr.code = LVN_KEYDOWN;
    key.wVKey = VK_DELETE;
    w.notify(key.hdr);
    ASSERT_TRUE(pumpUntil([&] { return w.rowNamed(L"drop") < 0; }));
    EXPECT_EQ(gExtraction.counters.cancelled.load() > 0, true);
    ASSERT_TRUE(pumpUntil([&] { return w.rows() == 0; }, 30000));
    EXPECT_EQ(filesIn(folder.ok()), std::vector<std::wstring>{L"keep (0).bin"});
    EXPECT_TRUE(withoutJournal(filesIn(folder.tmp())).empty());
}

TEST_F(Window, PropertiesShowACopyOfTheSelectedObject)
{
    WindowFolder folder("window-properties");
    folder.writeCapture({{"shown.pdf", 200000}}, 400);
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    // Nothing selected: no dialog.
    int dialogs = 0;
    gBoxes.onDialog = [&](HWND dialog) {
        ++dialogs;
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    };
    w.command(IDM_PROPERTIES);
    pumpFor(100);
    EXPECT_EQ(dialogs, 0);

    ASSERT_TRUE(pumpUntil([&] { return w.rows() == 1; }));
    w.select(0);
    std::wstring caption, size, mac, source, destination;
    gBoxes.onDialog = [&](HWND dialog) {
        caption = windowText(dialog);
        size = controlText(dialog, IDC_PROP_SIZE);
        mac = controlText(dialog, IDC_PROP_DEST_MAC);
        source = controlText(dialog, IDC_PROP_SOURCE_IP);
        destination = controlText(dialog, IDC_PROP_DEST_IP);
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    };
    // "Свойства" from the row's menu.
    chooseLater(w.mw.window, 2);
    NMITEMACTIVATE click = {};
    click.hdr.code = NM_RCLICK;
    click.iItem = 0;
    w.notify(click.hdr);
    ASSERT_TRUE(pumpUntil([&] { return !caption.empty(); }));
    UdpEndpoints sent;  // the broadcaster's default addressing
    EXPECT_EQ(caption, L"Свойства: shown (0).pdf");
    EXPECT_EQ(size, L"195.31 кБ (200000 байт)");
    std::string dest = formatAddress(sent.destinationAddress), src = formatAddress(sent.sourceAddress);
    EXPECT_EQ(destination, std::wstring(dest.begin(), dest.end()));
    EXPECT_EQ(source, std::wstring(src.begin(), src.end()));
    std::array<uint8_t, 6> m = macFor(sent.destinationAddress);
    wchar_t expected[32];
    swprintf(expected, 32, L"%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", m[0], m[1], m[2], m[3], m[4], m[5]);
    EXPECT_EQ(mac, expected);
}

// ---- Menus, about, update period --------------------------------------------

TEST_F(Window, AboutBoxOpensFromItsCommandAndTheAccelerator)
{
    WindowFolder folder("window-about");
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    std::vector<std::wstring> seen;
    gBoxes.onDialog = [&](HWND dialog) {
        seen.push_back(windowText(dialog) + L"|" + controlText(dialog, IDOK));
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        if (seen.size() > 1) PostQuitMessage(0);  // ends the program's loop below
    };
    PostMessageW(w.mw.window, WM_COMMAND, IDM_ABOUT, 0);
    ASSERT_TRUE(pumpUntil([&] { return seen.size() == 1; }));
    EXPECT_EQ(seen[0], L"О программе Quillmoth|ОК");
    // Alt+"?" and Alt+"/" typed while the keyboard focus is in the list still
    // reach the window, through the program's own message loop.
    SetForegroundWindow(w.mw.window);
    SetFocus(w.list());
    pumpFor(100);
    auto key = [](WORD vk, bool up) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = vk;
        input.ki.wScan = WORD(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
        input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        return input;
    };
    // One chord per run of the loop: keys typed while the about box is up
    // are the box's.
    INPUT question[] = {key(VK_MENU, false), key(VK_SHIFT, false), key(VK_OEM_2, false), key(VK_OEM_2, true),
                        key(VK_SHIFT, true), key(VK_MENU, true)};
    INPUT slash[] = {key(VK_MENU, false), key(VK_OEM_2, false), key(VK_OEM_2, true), key(VK_MENU, true)};
    // A loop that never ends would hang the run: a watchdog ends it.
    UINT_PTR watchdog = SetTimer(nullptr, 0, 15000, endLoop);
    SendInput(UINT(std::size(question)), question, sizeof(INPUT));
    EXPECT_EQ(runMessageLoop(w.mw), 0);
    EXPECT_EQ(seen.size(), 2u);
    SendInput(UINT(std::size(slash)), slash, sizeof(INPUT));
    EXPECT_EQ(runMessageLoop(w.mw), 0);
    KillTimer(nullptr, watchdog);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2], seen[0]);
}

TEST_F(Window, TheUpdatePeriodIsWrittenAndCheckedInTheMenu)
{
    WindowFolder folder("window-period", withLine(baseConfig(), "upd_speed = 2000"));
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    HMENU bar = GetMenu(w.mw.window);
    auto checked = [&](UINT id) { return (GetMenuState(bar, id, MF_BYCOMMAND) & MF_CHECKED) != 0; };
    SendMessageW(w.mw.window, WM_INITMENU, WPARAM(bar), 0);
    EXPECT_FALSE(checked(IDM_SPEED_LOW) || checked(IDM_SPEED_NORMAL) || checked(IDM_SPEED_HIGH));
    EXPECT_EQ(timerTicks(w.mw.window, 400), 0);  // the first period is config.ini's
    struct Case {
        UINT command;
        int period;
    } cases[] = {{IDM_SPEED_NORMAL, 500}, {IDM_SPEED_HIGH, 250}, {IDM_SPEED_LOW, 1000}};
    for (const Case& c : cases) {
        w.command(c.command);
        SendMessageW(w.mw.window, WM_INITMENU, WPARAM(bar), 0);
        EXPECT_EQ(w.mw.updatePeriod, c.period);
        EXPECT_NE(folder.config().find("upd_speed = " + std::to_string(c.period) + "\r\n"), std::string::npos);
        for (UINT id : {IDM_SPEED_LOW, IDM_SPEED_NORMAL, IDM_SPEED_HIGH}) EXPECT_EQ(checked(id), id == c.command);
    }
}

TEST_F(Window, AZeroPeriodShowsRatesOfZero)
{
    WindowFolder folder("window-zero", withLine(baseConfig(), "upd_speed = 0"));
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    gSectionAssembler.packetCount.fetch_add(1000);
    w.tick();
    EXPECT_EQ(w.statusPart(1), L"Cкорость: 0.00 кБ/c");
    // And the timer has a floor: about 5 ticks in 500 ms, not the 50 of the
    // system's 10 ms; the margin is for a loaded machine.
    EXPECT_LE(timerTicks(w.mw.window, 500), 15);
}

// ---- Size changes and the tray -------------------------------------------------

TEST_F(Window, SizeChangesWriteTheWindowStateAndLayOutTheChildren)
{
    WindowFolder folder("window-size");
    std::wstring ini = folder.dir.file(L"config.ini");
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;  // as the user made it
    SetFileAttributesW(ini.c_str(), kept);
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    // At every width the four parts are quarters of the bar, and the last
    // one reaches its right edge.
    auto expectPartsCoverTheBar = [&](const char* when) {
        RECT bar;
        GetClientRect(w.mw.statusBar, &bar);
        int edges[4] = {};
        ASSERT_EQ(SendMessageW(w.mw.statusBar, SB_GETPARTS, 4, LPARAM(edges)), 4) << when;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(edges[i], (i + 1) * bar.right / 4) << when << ", part " << i;
        EXPECT_TRUE(edges[3] == -1 || edges[3] >= bar.right) << when << ": the last part ends at " << edges[3];
    };
    expectPartsCoverTheBar("at the start");
    RECT first;  // the first size is config.ini's
    GetWindowRect(w.mw.window, &first);
    EXPECT_TRUE(first.right - first.left == 800 && first.bottom - first.top == 600);
    SetWindowPos(w.mw.window, nullptr, 0, 0, 700, 500, SWP_NOMOVE | SWP_NOZORDER);
    pumpFor(50);
    std::string config = folder.config();
    EXPECT_NE(config.find("wnd = 5\r\n"), std::string::npos);
    EXPECT_NE(config.find("cx = 700\r\n"), std::string::npos);
    EXPECT_NE(config.find("cy = 500\r\n"), std::string::npos);
    EXPECT_EQ(GetFileAttributesW(ini.c_str()) & kept, kept);
    // Another program reading config.ini without sharing its deletion: the
    // file cannot be replaced, and the size still reaches it.
    HANDLE reader = CreateFileW(ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    SetWindowPos(w.mw.window, nullptr, 0, 0, 650, 450, SWP_NOMOVE | SWP_NOZORDER);
    pumpFor(50);
    CloseHandle(reader);
    config = folder.config();
    EXPECT_NE(config.find("cx = 650\r\ncy = 450\r\n"), std::string::npos);
    EXPECT_EQ(GetFileAttributesW(ini.c_str()) & kept, kept);
    RECT client, list;
    GetClientRect(w.mw.window, &client);
    GetWindowRect(w.list(), &list);
    EXPECT_EQ(list.right - list.left, client.right);
    EXPECT_EQ(list.bottom - list.top, client.bottom - 22);
    expectPartsCoverTheBar("narrower");

    ShowWindow(w.mw.window, SW_MAXIMIZE);
    pumpFor(50);
    config = folder.config();
    EXPECT_NE(config.find("wnd = 3\r\n"), std::string::npos);
    EXPECT_NE(config.find("cx = 650\r\n"), std::string::npos);  // the restored size stays
    expectPartsCoverTheBar("maximised");
    ShowWindow(w.mw.window, SW_MINIMIZE);
    pumpFor(50);
    EXPECT_NE(folder.config().find("wnd = 3\r\n"), std::string::npos);  // never a minimised state
    EXPECT_TRUE(IsWindowVisible(w.mw.window));  // no tray: on the task bar
    EXPECT_FALSE(w.mw.trayIconShown);
}

TEST_F(Window, WithTheTrayFlagMinimisingHidesTheWindowBehindAnIcon)
{
    WindowFolder folder("window-tray", withLine(withLine(baseConfig(), "tray = 1"), "wnd = 3"));
    useMessageBoxes();
    TestWindow w;
    ASSERT_TRUE(w.open());
    EXPECT_TRUE(IsZoomed(w.mw.window));  // the first state is config.ini's
    EXPECT_FALSE(w.trayIconPresent());
    ShowWindow(w.mw.window, SW_MINIMIZE);
    pumpFor(50);
    EXPECT_FALSE(IsWindowVisible(w.mw.window));
    EXPECT_TRUE(w.trayIconPresent());
    Shell_NotifyIconW(NIM_DELETE, &w.mw.trayIcon);  // Explorer restarted: its new task bar gets the icon back
    SendMessageW(w.mw.window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(w.trayIconPresent());
    // A double click brings the window back and takes the icon away.
    SendMessageW(w.mw.window, kTrayCallbackMessage, kTrayIconId, WM_LBUTTONDBLCLK);
    pumpFor(50);
    EXPECT_TRUE(IsWindowVisible(w.mw.window));
    EXPECT_FALSE(IsIconic(w.mw.window));
    EXPECT_FALSE(w.trayIconPresent());
    // Other icons' and other mouse messages change nothing.
    ShowWindow(w.mw.window, SW_MINIMIZE);
    pumpFor(50);
    SendMessageW(w.mw.window, kTrayCallbackMessage, 2, WM_LBUTTONDBLCLK);
    SendMessageW(w.mw.window, kTrayCallbackMessage, kTrayIconId, WM_MOUSEMOVE);
    EXPECT_FALSE(IsWindowVisible(w.mw.window));
    EXPECT_TRUE(w.trayIconPresent());
    // The tray menu closed without a choice keeps the icon: the hidden
    // window can still be reached.
    SetTimer(w.mw.window, 77, 200, closeMenu);
    SendMessageW(w.mw.window, kTrayCallbackMessage, kTrayIconId, WM_RBUTTONDOWN);
    EXPECT_TRUE(w.trayIconPresent());
    EXPECT_FALSE(IsWindowVisible(w.mw.window));
    // The tray menu's "Восстановить", then its "Выход" while hidden: the icon goes with the program.
    chooseLater(w.mw.window, 1);
    SendMessageW(w.mw.window, kTrayCallbackMessage, kTrayIconId, WM_RBUTTONDOWN);
    pumpFor(50);
    EXPECT_TRUE(IsWindowVisible(w.mw.window) && !IsIconic(w.mw.window) && !w.trayIconPresent());
    ShowWindow(w.mw.window, SW_MINIMIZE);
    chooseLater(w.mw.window, 2);
    SendMessageW(w.mw.window, kTrayCallbackMessage, kTrayIconId, WM_RBUTTONDOWN);
    pumpFor(50);
    EXPECT_FALSE(w.open());
    EXPECT_FALSE(w.trayIconPresent());
}

TEST_F(Window, ClosingTheWindowWhileADialogIsOpenEndsTheProgramCleanly)
{
    // The user's close reaches the window from outside (the task bar, the
    // system shutting down) while one of its modal dialogs is up.
    struct Case {
        const char* what;
        UINT command;
    } cases[] = {{"about", IDM_ABOUT}, {"settings", IDM_SETTINGS}, {"filters", IDM_FILTERS}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WindowFolder folder("window-close-dialog");
        folder.writeCapture({{"during.bin", 200000}}, 800);
        useMessageBoxes();
        TestWindow w;
        ASSERT_TRUE(w.open());
        bool asked = false;
        gBoxes.onDialog = [&](HWND) {
            if (asked) return;
            asked = true;
            PostMessageW(w.mw.window, WM_CLOSE, 0, 0);
        };
        PostMessageW(w.mw.window, WM_COMMAND, c.command, 0);
        ASSERT_TRUE(pumpUntil([&] { return !w.open(); }));
        EXPECT_TRUE(asked);
        pumpFor(200);
        EXPECT_TRUE(withoutJournal(filesIn(folder.tmp())).empty());
    }
}

// ---- Exit ----------------------------------------------------------------------

// A plug-in whose StopDVB waits until a window on the program's thread (the
// status bar stands for one of its own) has taken a posted message.
StopDVBFunction gStopDVB = nullptr;
bool gPostedTaken = false;
int32_t QM_PLUGIN_CALL stopAfterAPostedMessageIsTaken()
{
    PostMessageW(gMainWindow.statusBar, SB_SIMPLE, TRUE, 0);
    PostMessageW(gMainWindow.window, WM_COMMAND, IDM_ABOUT, 0);  // too late for the closing window
    for (int i = 0; i < 300 && !gPostedTaken; ++i, Sleep(10))
        gPostedTaken = SendMessageW(gMainWindow.statusBar, SB_ISSIMPLE, 0, 0) != 0;
    return gStopDVB();
}

TEST_F(Window, ExitByCommandOrClosingClearsItsOwnTmpFilesOnlyWhenAsked)
{
    struct Case {
        const char* what;
        bool byCommand;
        bool clear;
        bool reception = true;
    } cases[] = {// With clear_tmp 0 idle objects stay behind: those cases come last.
                 {"exit command, clear_tmp 1", true, true},
                 {"closing, clear_tmp 1", false, true},
                 {"reception never started, clear_tmp 1", true, true, false},
                 {"exit command, clear_tmp 0", true, false},
                 {"closing, clear_tmp 0", false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> config = withLine(baseConfig(), c.clear ? "clear_tmp = 1" : "clear_tmp = 0");
        WindowFolder folder("window-exit", withLine(config, "timeout = 2"));
        folder.writeCapture({{"big.bin", 400000}, {"small.txt", 2000}}, 300);
        // Something else left in tmp_dir, with a folder inside it.
        writeWholeFile(folder.tmp() + L"left-over.txt", "x");
        CreateDirectoryW((folder.tmp() + L"inner").c_str(), nullptr);
        writeWholeFile(folder.tmp() + L"inner\\deep.txt", "y");
        writeWholeFile(folder.dir.file(L"beside-tmp.txt"), "z");
        if (!c.reception) writeWholeFile(folder.dir.file(L"streamreader.ini"), "capture = absent.ts\r\n");
        useMessageBoxes();
        TestWindow w;
        ASSERT_TRUE(w.open());
        ASSERT_TRUE(!c.reception || pumpUntil([&] { return w.rowNamed(L"big") >= 0; }));
        gStopDVB = std::exchange(w.mw.services.plugin->StopDVB, stopAfterAPostedMessageIsTaken);
        gPostedTaken = false;
        size_t boxes = gBoxes.handled.size();
        if (c.byCommand)
            w.command(IDM_EXIT);
        else
            SendMessageW(w.mw.window, WM_CLOSE, 0, 0);
        w.mw.services.plugin->StopDVB = gStopDVB;
        EXPECT_FALSE(w.open());
        EXPECT_EQ(gPostedTaken, c.reception);
        EXPECT_EQ(gBoxes.handled.size(), boxes);
        MSG quit;
        EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        EXPECT_EQ(quit.wParam, 0u);
        // The user's things in tmp_dir always stay; with clear_tmp the
        // program's own files go, their journal with them.
        std::vector<std::wstring> left = filesIn(folder.tmp());
        EXPECT_EQ(std::count(left.begin(), left.end(), L"left-over.txt"), 1);
        EXPECT_EQ(std::count(left.begin(), left.end(), L"inner"), 1);
        EXPECT_TRUE(fileExists(folder.tmp() + L"inner\\deep.txt"));
        if (c.clear) {
            EXPECT_EQ(left.size(), 2u);
        }
        // Nothing outside tmp_dir, and no finished file cut short.
        EXPECT_TRUE(fileExists(folder.dir.file(L"beside-tmp.txt")));
        for (const std::wstring& name : filesIn(folder.ok())) {
            std::string bytes = readWholeFile(folder.ok() + name);
            bool whole = false;
            for (const ObjectToSend& o : folder.objects) whole = whole || bytes == std::string(o.content.begin(), o.content.end());
            EXPECT_TRUE(whole) << "a finished file that is not whole";
        }
    }
}

// The stand-in plug-in is found through the system's library search.
[[maybe_unused]] const BOOL gPluginSearch = SetDllDirectoryW(QM_WINDOW_PLUGIN_DIR);

}  // namespace
