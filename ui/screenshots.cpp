// quillmoth-screenshots: draws the program's windows, menus and dialogs as the
// user sees them and writes each as a 24-bit BMP into the folder given on the
// command line. Run inside a Wine virtual desktop (scripts/screenshots), where
// Wine draws the frames itself and the screen can be read back.
#include <windows.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include <commctrl.h>

#include "extraction/transfer.h"
#include "resources/resource.h"
#include "settings/config_file.h"
#include "settings/filter_set.h"
#include "tools/broadcast_lib.h"
#include "tools/screen_picture.h"
#include "ui/main_window.h"
#include "ui/transfer_list.h"
#include "ui/filter_list_dialog.h"
#include "ui/settings_sheet.h"

namespace {

std::wstring gFolder;
HINSTANCE gInstance = nullptr;

// Reads the screen under `rect` and writes it to folder\name.bmp.
bool saveScreen(const RECT& rect, const wchar_t* name) {
    return saveScreenPicture(rect, gFolder + L"\\" + name + L".bmp");
}

// Lets the windows paint before the screen is read.
void settle() {
    for (int i = 0; i < 20; ++i) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(25);
    }
}

void saveWindow(HWND window, const wchar_t* name) {
    settle();
    RECT rect;
    GetWindowRect(window, &rect);
    saveScreen(rect, name);
}

INT_PTR CALLBACK staticDialog(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

[[maybe_unused]] void saveDialog(HWND owner, int id, const wchar_t* name) {
    HWND dialog = CreateDialogParamW(gInstance, MAKEINTRESOURCEW(id), owner, staticDialog, 0);
    if (!dialog) return;
    ShowWindow(dialog, SW_SHOW);
    saveWindow(dialog, name);
    DestroyWindow(dialog);
}

// A pop-up menu is modal: a timer inside its loop reads the screen and closes it.
const wchar_t* gMenuShot = nullptr;
RECT gMenuArea = {};

void CALLBACK shootMenu(HWND window, UINT, UINT_PTR id, DWORD) {
    KillTimer(window, id);
    settle();
    saveScreen(gMenuArea, gMenuShot);
    EndMenu();
}

void savePopup(HWND owner, int id, const wchar_t* name) {
    HMENU menu = LoadMenuW(gInstance, MAKEINTRESOURCEW(id));
    if (!menu) return;
    RECT window;
    GetWindowRect(owner, &window);
    POINT at = {window.left + 120, window.top + 90};
    gMenuArea = {window.left, window.top, window.left + 480, window.top + 300};
    gMenuShot = name;
    SetTimer(owner, 1, 300, shootMenu);
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_TOPALIGN, at.x, at.y, 0, owner, nullptr);
    DestroyMenu(menu);
}

// ---- The real main window, receiving -----------------------------------------

void writeText(const std::wstring& path, const std::string& text) {
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (!out) return;
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
}

Bytes patternedContent(size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return bytes;
}

// A working folder in the temporary directory with config.ini, filters.qmf
// and a capture of a few objects that the stand-in plug-in replays slowly,
// so that the list is full while the pictures are taken.
bool prepareReceivingFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"quillmoth-screenshots";
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\tmp").c_str(), nullptr);
    CreateDirectoryW((folder + L"\\ok").c_str(), nullptr);
    if (!SetCurrentDirectoryW(folder.c_str())) return false;
    writeText(folder + L"\\config.ini",
              "wnd = 5\r\ncx = 760\r\ncy = 420\r\ntmp_dir = tmp\\\r\nok_dir = ok\\\r\nlog_dir = .\\\r\n"
              "use_log = 0\r\ntray = 0\r\nclear_tmp = 1\r\ntimeout = 30\r\nupd_speed = 500\r\nuse_spl = 0\r\n"
              "pids = 256\r\nsort = 0\r\n");
    uint8_t record[kFilterRecordSize];
    FilterRecord everything;
    everything.listReference = AllExtensions;
    everything.maximum = 0xFFFFFFFFu;
    encodeFilterRecord(everything, record);
    writeText(folder + L"\\filters.qmf", std::string(reinterpret_cast<char*>(record), kFilterRecordSize));
    struct Sample {
        const char* name;
        size_t size;
    } samples[] = {// "Отчёт за квартал.pdf", in the OEM code page the names travel in.
                   {"\x8E\xE2\xE7\xF1\xE2 \xA7\xA0 \xAA\xA2\xA0\xE0\xE2\xA0\xAB.pdf", 2300000}, {"weather-map.png", 640000}, {"news.html", 180000},
                   {"photo_2026-12-08.jpg", 1200000}, {"podcast.mp3", 3500000}, {"setup.exe", 900000},
                   {"archive.zip", 5200000}};
    std::vector<ObjectToSend> objects;
    uint32_t seed = 1;
    for (const Sample& sample : samples) objects.push_back({sample.name, patternedContent(sample.size, seed++), {}});
    BroadcastOptions options;
    options.interleave = true;
    Bytes stream = makeBroadcast(objects, options);
    writeText(folder + L"\\sample.ts", std::string(stream.begin(), stream.end()));
    writeText(folder + L"\\streamreader.ini", "capture = sample.ts\r\nrate_kbps = 6000\r\n");
    return true;
}

void pumpFor(DWORD milliseconds) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// A modal dialog of the main window is saved from a timer inside its loop.
const wchar_t* gDialogShot = nullptr;

BOOL CALLBACK findOwnedDialog(HWND window, LPARAM found) {
    wchar_t kind[16] = {};
    GetClassNameW(window, kind, 16);
    if (IsWindowVisible(window) && std::wcscmp(kind, L"#32770") == 0) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK shootDialog(HWND window, UINT, UINT_PTR id, DWORD) {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), findOwnedDialog, reinterpret_cast<LPARAM>(&dialog));
    if (!dialog) return;
    KillTimer(window, id);
    saveWindow(dialog, gDialogShot);
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
}

void saveCommandDialog(HWND window, UINT command, const wchar_t* name) {
    gDialogShot = name;
    SetTimer(window, 41, 300, shootDialog);
    SendMessageW(window, WM_COMMAND, command, 0);
    KillTimer(window, 41);
}

void selectRow(HWND list, int row) {
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, WPARAM(row), LPARAM(&item));
}

// The main window as the program makes it, while it receives; then the row
// menu, the properties and the about box opened from it.
void saveReceivingWindow(HINSTANCE instance) {
    if (!prepareReceivingFolder()) return;
    MainWindow& mw = gMainWindow;
    resetMainWindow(mw, instance, programServices());
    if (!prepareMainWindow(mw) || !createMainWindow(mw)) return;
    showMainWindow(mw);
    SetWindowPos(mw.window, nullptr, 20, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    pumpFor(4000);
    int rows = int(SendMessageW(mw.transferList, LVM_GETITEMCOUNT, 0, 0));
    if (rows > 1) selectRow(mw.transferList, 1);
    saveWindow(mw.window, L"main_window");

    // The row menu at a row, as a right click opens it.
    RECT row = {LVIR_BOUNDS, 0, 0, 0};
    SendMessageW(mw.transferList, LVM_GETITEMRECT, 1, LPARAM(&row));
    POINT at = {row.left + 140, row.top + 8};
    ClientToScreen(mw.transferList, &at);
    SetCursorPos(at.x, at.y);
    RECT frame;
    GetWindowRect(mw.window, &frame);
    gMenuArea = frame;
    gMenuShot = L"row_menu";
    SetTimer(mw.window, 1001, 300, shootMenu);
    NMITEMACTIVATE click = {};
    click.hdr.hwndFrom = mw.transferList;
    click.hdr.idFrom = kTransferListId;
    click.hdr.code = NM_RCLICK;
    click.iItem = 1;
    SendMessageW(mw.window, WM_NOTIFY, kTransferListId, LPARAM(&click));

    saveCommandDialog(mw.window, IDM_PROPERTIES, L"properties_dialog");
    saveCommandDialog(mw.window, IDM_ABOUT, L"about_box");
    DestroyWindow(mw.window);
    pumpFor(200);
}

// ---- Modal dialogs, worked from a timer inside their own loop ----------------

// The foremost modal window of this thread.
BOOL CALLBACK findModal(HWND window, LPARAM found) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (wcscmp(name, L"#32770") != 0 || !IsWindowVisible(window) || !IsWindowEnabled(window)) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

HWND topDialog() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), findModal, LPARAM(&found));
    return found;
}

// One step per tick; a step returns false to be tried again (its window is
// not up yet). When the steps are done, whatever is open is cancelled.
std::vector<std::function<bool()>> gSteps;
size_t gNextStep = 0;
bool gStepping = false;

void CALLBACK runStep(HWND, UINT, UINT_PTR, DWORD) {
    if (gStepping) return;
    gStepping = true;
    if (gNextStep < gSteps.size()) {
        if (gSteps[gNextStep]()) ++gNextStep;
    } else if (HWND open = topDialog()) {
        PostMessageW(open, WM_COMMAND, IDCANCEL, 0);
    }
    gStepping = false;
}

void runModal(const std::function<void()>& open) {
    gNextStep = 0;
    UINT_PTR timer = SetTimer(nullptr, 0, 200, runStep);
    open();
    KillTimer(nullptr, timer);
    gSteps.clear();
}

void post(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(dialog, id)));
}

void chooseEntry(HWND dialog, int id, int position) {
    SendDlgItemMessageW(dialog, id, CB_SETCURSEL, WPARAM(position), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(GetDlgItem(dialog, id)));
}

// A step that waits for a modal window with this caption and works in it.
std::function<bool()> in(const wchar_t* caption, std::function<void(HWND)> work) {
    return [caption, work] {
        HWND dialog = topDialog();
        wchar_t text[100] = {};
        if (dialog) GetWindowTextW(dialog, text, 100);
        if (!dialog || wcscmp(text, caption) != 0) return false;
        work(dialog);
        return true;
    };
}

// A working folder with a filled config.ini and three filters.
void prepareWorkingFolder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"quillmoth-screenshots";
    CreateDirectoryW(folder.c_str(), nullptr);
    SetCurrentDirectoryW(folder.c_str());
    const char config[] =
        "wnd = 5\r\ncx = 640\r\ncy = 480\r\ntmp_dir = C:\\Quillmoth\\tmp\\\r\nok_dir = C:\\Quillmoth\\ok\\\r\n"
        "sort = 1\r\nlog_dir = C:\\Quillmoth\\\r\nuse_log = 1\r\ntray = 1\r\nclear_tmp = 0\r\ntimeout = 120\r\n"
        "upd_speed = 500\r\nuse_spl = 0\r\nfrequency = 12245\r\nsymbol_rate = 27500\r\npolarity = 1\r\n"
        "lof1 = 9750\r\nlof2 = 10600\r\nswitch = 11700\r\ndiseqc = 1\r\npids = 511\r\nhex_view = 1\r\n";
    FILE* out = _wfopen(L"config.ini", L"wb");
    if (out) {
        std::fwrite(config, 1, sizeof config - 1, out);
        std::fclose(out);
    }
    const FilterRecord records[] = {
        {kFilterByCategory, CategoryTable[0].nameIdentity, CategoryTable[0].listIdentity, 0, 3221225472u},
        {kFilterByExtension, ExtensionTable[4].identity, ExtensionTable[4].identity, 1024, 2097152},
        {kFilterByCategory, CategoryTable[4].nameIdentity, CategoryTable[4].listIdentity, 0, 10485760},
    };
    out = _wfopen(kFilterFileName, L"wb");
    if (out) {
        for (const FilterRecord& record : records) {
            uint8_t bytes[kFilterRecordSize];
            encodeFilterRecord(record, bytes);
            std::fwrite(bytes, 1, sizeof bytes, out);
        }
        std::fclose(out);
    }
}

void saveSettingsPages(HWND owner) {
    const wchar_t* names[] = {L"settings_general", L"settings_lnb", L"settings_pids", L"settings_directories"};
    for (int i = 0; i < 4; ++i)
        gSteps.push_back(in(L"Параметры", [i, names](HWND sheet) {
            SendMessageW(sheet, PSM_SETCURSEL, WPARAM(i), 0);
            saveWindow(sheet, names[i]);
        }));
    runModal([owner] { showSettingsSheet(gInstance, owner, RunningSettings{}); });
}

void saveFilterDialogs(HWND owner) {
    FilterSet filters;
    gSteps.push_back(in(L"Фильтры", [](HWND list) {
        SendDlgItemMessageW(list, IDC_FILTER_LIST, LB_SETCURSEL, 1, 0);
        SendMessageW(list, WM_COMMAND, MAKEWPARAM(IDC_FILTER_LIST, LBN_SELCHANGE), 0);
        saveWindow(list, L"filter_list");
        post(list, IDC_FILTER_ADD);
    }));
    gSteps.push_back(in(L"Новый фильтр", [](HWND edit) {
        saveWindow(edit, L"filter_add");
        chooseEntry(edit, IDC_FILTER_CATEGORY, 0);
        SetDlgItemTextW(edit, IDC_FILTER_MAXIMUM, L"4 гб");
        post(edit, IDOK);
    }));
    gSteps.push_back([] {
        HWND box = topDialog();
        wchar_t text[100] = {};
        if (box) GetWindowTextW(box, text, 100);
        if (!box || wcscmp(text, L"Новый фильтр") == 0 || wcscmp(text, L"Фильтры") == 0) return false;
        HWND edit = GetWindow(box, GW_OWNER);
        settle();
        RECT a, b, both;
        GetWindowRect(edit, &a);
        GetWindowRect(box, &b);
        UnionRect(&both, &a, &b);
        saveScreen(both, L"filter_add_message");
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return true;
    });
    gSteps.push_back(in(L"Новый фильтр", [](HWND edit) { post(edit, IDCANCEL); }));
    gSteps.push_back(in(L"Фильтры", [](HWND list) {
        SendDlgItemMessageW(list, IDC_FILTER_LIST, LB_SETCURSEL, 1, 0);
        post(list, IDC_FILTER_CHANGE);
    }));
    gSteps.push_back(in(L"Новый фильтр", [](HWND edit) {
        saveWindow(edit, L"filter_edit");
        post(edit, IDCANCEL);
    }));
    runModal([owner, &filters] { showFilterListDialog(gInstance, owner, filters); });
    emptyFilterSet(filters);
}

LRESULT CALLBACK frameProc(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    return DefWindowProcW(window, message, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    if (__argc < 2) return 2;
    gFolder = __wargv[1];
    gInstance = instance;

    wchar_t title[100] = {};
    LoadStringW(instance, IDS_APP_TITLE, title, 100);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = frameProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_LARGE));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP_SMALL), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                               LR_SHARED));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MAIN_MENU);
    wc.lpszClassName = L"QuillmothScreenshots";
    if (!RegisterClassExW(&wc)) return 1;
    HWND frame = CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW, 20, 20, 640, 400, nullptr,
                                 nullptr, instance, nullptr);
    if (!frame) return 1;
    ShowWindow(frame, SW_SHOW);
    UpdateWindow(frame);
    savePopup(frame, IDR_TRAY_MENU, L"tray_menu");
    prepareWorkingFolder();
    saveSettingsPages(frame);
    saveFilterDialogs(frame);
    // A size with a unit in the filter dialog switched the process to the
    // Russian locale; the main window is drawn as a fresh start shows it.
    setlocale(LC_ALL, "C");
    DestroyWindow(frame);
    saveReceivingWindow(instance);
    return 0;
}
