#include "ui/settings_sheet.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwchar>

#include "extraction/extraction.h"
#include "platform/platform.h"
#include "resources/resource.h"
#include "settings/config_file.h"
#include "settings/log_file.h"
#include "settings/settings_text.h"
#include "settings/wide_format.h"

FolderBrowser gFolderBrowser = browseForFolder;

const wchar_t kFolderPathTooLongMessage[] =
    L"Путь к выбранной папке слишком длинный: к нему нельзя добавить обратную косую черту. "
    L"Выберите папку, путь к которой короче 259 символов.";
const wchar_t kFolderOutsideCodePageMessage[] =
    L"Путь к выбранной папке содержит символы, которые нельзя сохранить в файле настроек. "
    L"Выберите папку, в пути к которой нет таких символов.";
const wchar_t kTimeoutTooLongMessage[] =
    L"Время ожидания не может быть больше 4294967 секунд.";

namespace {

constexpr size_t kPathCapacity = 260;  // a path with its terminator
constexpr int kPageCount = 4;

// ---- Helpers over one page's controls --------------------------------------

bool isChecked(HWND page, int id) { return IsDlgButtonChecked(page, id) == BST_CHECKED; }
void setChecked(HWND page, int id, bool checked) { CheckDlgButton(page, id, checked ? BST_CHECKED : BST_UNCHECKED); }
void enable(HWND page, int id, bool enabled) { EnableWindow(GetDlgItem(page, id), enabled ? TRUE : FALSE); }

int32_t configInt(const char* key) {
    int32_t value = 0;
    readConfigInt(key, &value);
    return value;
}

// The key's value, or an empty text when config.ini does not hold it.
void configPath(const char* key, wchar_t* buffer) {
    buffer[0] = 0;
    readConfigString(key, buffer, kPathCapacity);
}

void startAtCurrentDirectory(wchar_t* buffer) {
    if (GetCurrentDirectoryW(DWORD(kPathCapacity), buffer) >= kPathCapacity) buffer[0] = 0;
}

// Asks for a folder starting at `start`; a confirmed one becomes the text of `box`.
void browseInto(HWND page, int box, wchar_t* start) {
    if (chooseFolder(page, start)) SetDlgItemTextW(page, box, start);
}

void setCheck(ConfigChange& change, HWND page, int id, const char* key) {
    setConfigInt(change, key, isChecked(page, id) ? 1 : 0);
}

// A number key as its box shows it: "%d", or "%u" for a box of unsigned numbers.
void formatStored(const char* key, bool asUnsigned, wchar_t* text, size_t capacity) {
    int32_t value = configInt(key);
    if (asUnsigned)
        formatWide(text, capacity, L"%u", uint32_t(value));
    else
        formatWide(text, capacity, L"%d", value);
}

// A box that still shows the key's value stands for that value, even one the
// box could not take as typed (a negative one, say): OK stores it unchanged.
bool showsStored(const wchar_t* text, const char* key, bool asUnsigned) {
    wchar_t stored[16];
    formatStored(key, asUnsigned, stored, 16);
    return std::wcscmp(text, stored) == 0;
}

// Refuses the page's values: the sheet stays open on this page, the box's
// text selected for correcting.
INT_PTR refused(HWND page, int pageIndex, int box, const wchar_t* message) {
    SendMessageW(GetParent(page), PSM_SETCURSEL, WPARAM(pageIndex), 0);
    MessageBoxW(page, message, nullptr, MB_OK);
    SetFocus(GetDlgItem(page, box));
    SendDlgItemMessageW(page, box, EM_SETSEL, 0, -1);
    SetWindowLongPtrW(page, DWLP_MSGRESULT, PSNRET_INVALID_NOCHANGEPAGE);
    return TRUE;
}

// Accepts the page's changes on OK; the sheet goes on closing.
INT_PTR applied(HWND page) {
    SetWindowLongPtrW(page, DWLP_MSGRESULT, PSNRET_NOERROR);
    return TRUE;
}

const RunningSettings* runningOf(HWND page) {
    return reinterpret_cast<const RunningSettings*>(GetWindowLongPtrW(page, GWLP_USERDATA));
}

void keepRunning(HWND page, LPARAM lp) {
    const PROPSHEETPAGEW* sheetPage = reinterpret_cast<const PROPSHEETPAGEW*>(lp);
    SetWindowLongPtrW(page, GWLP_USERDATA, sheetPage->lParam);
}

bool isApply(LPARAM lp) { return reinterpret_cast<const NMHDR*>(lp)->code == PSN_APPLY; }

// ---- General page -----------------------------------------------------------

void fillGeneral(HWND page) {
    setChecked(page, IDC_GEN_USE_SPL, configInt("use_spl") != 0);
    setChecked(page, IDC_GEN_TRAY, configInt("tray") != 0);
    if (configInt("use_log") != 0) {
        enable(page, IDC_GEN_LOG_DIR, true);
        enable(page, IDC_GEN_LOG_BROWSE, true);
        setChecked(page, IDC_GEN_USE_LOG, true);
    }
    wchar_t dir[kPathCapacity];
    configPath("log_dir", dir);
    SetDlgItemTextW(page, IDC_GEN_LOG_DIR, dir);
    setChecked(page, IDC_GEN_CLEAR_TMP, configInt("clear_tmp") != 0);
    wchar_t timeout[16];
    formatStored("timeout", true, timeout, 16);
    SetDlgItemTextW(page, IDC_GEN_TIMEOUT, timeout);
}

// The seconds to store for the time-out box; false when its milliseconds
// would not fit the 32-bit wait.
bool typedTimeout(HWND page, int32_t* seconds) {
    wchar_t text[64] = {};
    GetDlgItemTextW(page, IDC_GEN_TIMEOUT, text, 64);
    if (showsStored(text, "timeout", true)) {
        *seconds = configInt("timeout");
        return true;
    }
    uint32_t typed = 0;
    if (!readTimeoutBox(text, &typed)) return false;
    *seconds = int32_t(typed);
    return true;
}

// Each page's values go to config.ini in one write.
void applyGeneral(HWND page, int32_t timeout) {
    const RunningSettings& running = *runningOf(page);
    bool useLog = isChecked(page, IDC_GEN_USE_LOG);
    bool tray = isChecked(page, IDC_GEN_TRAY);
    wchar_t dir[kPathCapacity] = {};
    GetDlgItemTextW(page, IDC_GEN_LOG_DIR, dir, int(kPathCapacity));
    ConfigChange change;
    setConfigInt(change, "use_log", useLog ? 1 : 0);
    setConfigString(change, "log_dir", dir);
    setCheck(change, page, IDC_GEN_CLEAR_TMP, "clear_tmp");
    setConfigInt(change, "tray", tray ? 1 : 0);
    setConfigInt(change, "timeout", timeout);
    setCheck(change, page, IDC_GEN_USE_SPL, "use_spl");
    writeConfigChange(change);  // before the log opens again: it reads log_dir
    if (running.log) {
        if (useLog)
            openLog(*running.log);
        else
            useStandardOutput(*running.log);
    }
    if (running.trayFlag) *running.trayFlag = tray ? 1 : 0;
}

INT_PTR onGeneralCommand(HWND page, WPARAM wp) {
    switch (LOWORD(wp)) {
    case IDC_GEN_USE_LOG: {
        bool on = isChecked(page, IDC_GEN_USE_LOG);
        enable(page, IDC_GEN_LOG_DIR, on);
        enable(page, IDC_GEN_LOG_BROWSE, on);
        return TRUE;
    }
    case IDC_GEN_LOG_BROWSE: {
        wchar_t start[kPathCapacity];
        startAtCurrentDirectory(start);
        browseInto(page, IDC_GEN_LOG_DIR, start);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

// Nothing is stored until the time-out is one the program can wait for.
INT_PTR onGeneralApply(HWND page) {
    int32_t timeout = 0;
    if (!typedTimeout(page, &timeout)) return refused(page, 0, IDC_GEN_TIMEOUT, kTimeoutTooLongMessage);
    applyGeneral(page, timeout);
    return applied(page);
}

INT_PTR CALLBACK generalProc(HWND page, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        keepRunning(page, lp);
        fillGeneral(page);
        return TRUE;
    case WM_COMMAND:
        return onGeneralCommand(page, wp);
    case WM_NOTIFY:
        if (!isApply(lp)) return FALSE;
        return onGeneralApply(page);
    default:
        return FALSE;
    }
}

// ---- LNB page ----------------------------------------------------------------

struct LnbBox {
    int id;
    const char* key;
};
// In the order in which they are filled and stored.
const LnbBox kLnbBoxes[] = {
    {IDC_LNB_LOF1, "lof1"},          {IDC_LNB_LOF2, "lof2"},
    {IDC_LNB_SWITCH, "switch"},      {IDC_LNB_FREQUENCY, "frequency"},
    {IDC_LNB_SYMBOL_RATE, "symbol_rate"},
};
const wchar_t* const kPolarities[] = {L"Горизонтальная", L"Вертикальная"};
const wchar_t* const kDiseqcChoices[] = {L"Нет",         L"Simple A",    L"Simple B",   L"PosA - OptA",
                                         L"PosA - OptB", L"PosB - OptA", L"PosB - OptB"};

void fillList(HWND page, int id, const wchar_t* const* entries, size_t count, int32_t selected) {
    for (size_t i = 0; i < count; ++i) SendDlgItemMessageW(page, id, CB_ADDSTRING, 0, LPARAM(entries[i]));
    SendDlgItemMessageW(page, id, CB_SETCURSEL, WPARAM(selected), 0);  // out of range: nothing chosen
}

void fillLnb(HWND page) {
    for (const LnbBox& box : kLnbBoxes) {
        wchar_t text[16];
        formatStored(box.key, false, text, 16);
        SetDlgItemTextW(page, box.id, text);
        SendDlgItemMessageW(page, box.id, EM_LIMITTEXT, 5, 0);
    }
    fillList(page, IDC_LNB_POLARITY, kPolarities, 2, configInt("polarity"));
    fillList(page, IDC_LNB_DISEQC, kDiseqcChoices, 7, configInt("diseqc"));
}

// A list with nothing chosen (the key held a value it does not offer) keeps its key.
void storeChoice(ConfigChange& change, HWND page, int id, const char* key) {
    LRESULT position = SendDlgItemMessageW(page, id, CB_GETCURSEL, 0, 0);
    if (position != CB_ERR) setConfigInt(change, key, int32_t(position));
}

void applyLnb(HWND page) {
    ConfigChange change;
    for (const LnbBox& box : kLnbBoxes) {
        wchar_t text[16] = {};
        GetDlgItemTextW(page, box.id, text, 16);
        if (!showsStored(text, box.key, false)) setConfigInt(change, box.key, int32_t(readUnsignedBox(text)));
    }
    storeChoice(change, page, IDC_LNB_POLARITY, "polarity");
    storeChoice(change, page, IDC_LNB_DISEQC, "diseqc");
    writeConfigChange(change);
}

INT_PTR CALLBACK lnbProc(HWND page, UINT msg, WPARAM, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        keepRunning(page, lp);
        fillLnb(page);
        return TRUE;
    case WM_NOTIFY:
        if (!isApply(lp)) return FALSE;
        applyLnb(page);
        return applied(page);
    default:
        return FALSE;
    }
}

// ---- PID page ----------------------------------------------------------------
// The list holds at most one row: the PID, in the notation of the check box.

LRESULT pidList(HWND page, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
    return SendDlgItemMessageW(page, IDC_PID_LIST, msg, wp, lp);
}

void showPid(HWND page, int32_t pid) {
    wchar_t text[16];
    formatPid(pid, isChecked(page, IDC_PID_HEX_VIEW), text, 16);
    pidList(page, LB_ADDSTRING, 0, LPARAM(text));
}

// The row's PID read in the notation `hexadecimal`; false without a row.
bool listedPid(HWND page, bool hexadecimal, int32_t* pid) {
    if (pidList(page, LB_GETCOUNT) < 1 || pidList(page, LB_GETTEXTLEN) >= 64) return false;
    wchar_t text[64] = {};
    pidList(page, LB_GETTEXT, 0, LPARAM(text));
    return readListedPid(text, hexadecimal, pid);
}

void fillPid(HWND page) {
    setChecked(page, IDC_PID_HEX_VIEW, configInt("hex_view") != 0);
    int32_t pid = 0;
    if (readConfigInt("pids", &pid)) showPid(page, pid);
    SendDlgItemMessageW(page, IDC_PID_ENTRY, EM_LIMITTEXT, 6, 0);
}

// The box has already changed: the row was written in the other notation.
void convertPidRow(HWND page) {
    int32_t pid = 0;
    if (!listedPid(page, !isChecked(page, IDC_PID_HEX_VIEW), &pid)) return;
    bool selected = pidList(page, LB_GETCURSEL) == 0;
    pidList(page, LB_DELETESTRING, 0);
    showPid(page, pid);
    if (selected) pidList(page, LB_SETCURSEL, 0);
}

void insertPid(HWND page) {
    wchar_t text[16] = {};
    GetDlgItemTextW(page, IDC_PID_ENTRY, text, 16);
    int32_t pid = 0;
    if (!readEnteredPid(text, &pid)) return;
    pidList(page, LB_RESETCONTENT);
    showPid(page, pid);
    SetDlgItemTextW(page, IDC_PID_ENTRY, L"");
    enable(page, IDC_PID_DELETE, false);
}

void deletePid(HWND page) {
    LRESULT selected = pidList(page, LB_GETCURSEL);
    if (selected != LB_ERR) pidList(page, LB_DELETESTRING, WPARAM(selected));
    enable(page, IDC_PID_DELETE, false);
}

void applyPid(HWND page) {
    bool hexadecimal = isChecked(page, IDC_PID_HEX_VIEW);
    ConfigChange change;
    setConfigInt(change, "hex_view", hexadecimal ? 1 : 0);
    int32_t pid = 0;
    // An empty list leaves the PID the receiver had.
    if (listedPid(page, hexadecimal, &pid)) setConfigInt(change, "pids", pid);
    writeConfigChange(change);
}

INT_PTR onPidCommand(HWND page, WPARAM wp) {
    switch (LOWORD(wp)) {
    case IDC_PID_HEX_VIEW:
        convertPidRow(page);
        return TRUE;
    case IDC_PID_INSERT:
        insertPid(page);
        return TRUE;
    case IDC_PID_DELETE:
        deletePid(page);
        return TRUE;
    case IDC_PID_LIST:
        if (HIWORD(wp) == LBN_SELCHANGE)
            enable(page, IDC_PID_DELETE, pidList(page, LB_GETCURSEL) != LB_ERR);
        else if (HIWORD(wp) == LBN_SELCANCEL)
            enable(page, IDC_PID_DELETE, false);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK pidProc(HWND page, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        keepRunning(page, lp);
        fillPid(page);
        return TRUE;
    case WM_COMMAND:
        return onPidCommand(page, wp);
    case WM_NOTIFY:
        if (!isApply(lp)) return FALSE;
        applyPid(page);
        return applied(page);
    default:
        return FALSE;
    }
}

// ---- Directories page --------------------------------------------------------

void fillDirectories(HWND page) {
    wchar_t dir[kPathCapacity];
    configPath("tmp_dir", dir);
    SetDlgItemTextW(page, IDC_DIR_TMP, dir);
    configPath("ok_dir", dir);
    SetDlgItemTextW(page, IDC_DIR_OK, dir);
    setChecked(page, IDC_DIR_SORT, configInt("sort") != 0);
}

// The browser starts where config.ini says, not at the box's text.
void browseDirectory(HWND page, const char* key, int box) {
    wchar_t start[kPathCapacity];
    if (!readConfigString(key, start, kPathCapacity)) startAtCurrentDirectory(start);
    browseInto(page, box, start);
}

void applyDirectory(ConfigChange& change, HWND page, int box, const char* key, SharedPath* running) {
    wchar_t dir[kPathCapacity] = {};
    GetDlgItemTextW(page, box, dir, int(kPathCapacity));
    // An empty box (config.ini had no such key) is no directory: the running
    // one and the key stay as they are.
    if (dir[0] == 0) return;
    if (running) setSharedPath(*running, dir);
    setConfigString(change, key, dir);
}

void applyDirectories(HWND page) {
    Extraction* extraction = runningOf(page)->extraction;
    ConfigChange change;
    applyDirectory(change, page, IDC_DIR_TMP, "tmp_dir", extraction ? &extraction->tmpDir : nullptr);
    applyDirectory(change, page, IDC_DIR_OK, "ok_dir", extraction ? &extraction->okDir : nullptr);
    bool sort = isChecked(page, IDC_DIR_SORT);
    if (extraction) extraction->sortByExtension.store(sort ? 1 : 0);
    setConfigInt(change, "sort", sort ? 1 : 0);
    writeConfigChange(change);
}

INT_PTR onDirectoriesCommand(HWND page, WPARAM wp) {
    switch (LOWORD(wp)) {
    case IDC_DIR_TMP_BROWSE:
        browseDirectory(page, "tmp_dir", IDC_DIR_TMP);
        return TRUE;
    case IDC_DIR_OK_BROWSE:
        browseDirectory(page, "ok_dir", IDC_DIR_OK);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK directoriesProc(HWND page, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        keepRunning(page, lp);
        fillDirectories(page);
        return TRUE;
    case WM_COMMAND:
        return onDirectoriesCommand(page, wp);
    case WM_NOTIFY:
        if (!isApply(lp)) return FALSE;
        applyDirectories(page);
        return applied(page);
    default:
        return FALSE;
    }
}

// ---- The folder browser ------------------------------------------------------

int CALLBACK preselect(HWND browser, UINT msg, LPARAM, LPARAM start) {
    if (msg == BFFM_INITIALIZED) SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, start);
    return 0;
}

}  // namespace

bool browseForFolder(HWND owner, const wchar_t* start, wchar_t* chosen) {
    // The newer style needs OLE on this thread.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    wchar_t displayName[MAX_PATH] = {};
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;
    info.pszDisplayName = displayName;
    info.lpszTitle = nullptr;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    info.lpfn = preselect;
    info.lParam = LPARAM(start);
    PIDLIST_ABSOLUTE folder = SHBrowseForFolderW(&info);
    bool confirmed = false;
    if (folder) {
        confirmed = SHGetPathFromIDListW(folder, chosen) != FALSE;
        CoTaskMemFree(folder);
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return confirmed;
}

int chooseFolder(HWND owner, wchar_t* path) {
    wchar_t chosen[MAX_PATH + 1] = {};
    if (!gFolderBrowser(owner, path, chosen)) return 0;
    size_t length = wcsnlen(chosen, MAX_PATH);
    if (length + 1 >= kPathCapacity) {
        MessageBoxW(owner, kFolderPathTooLongMessage, L"Параметры", MB_OK | MB_ICONWARNING);
        return 0;
    }
    // config.ini keeps paths in the OEM code page: a folder it cannot spell
    // would be stored with "?" in its name.
    if (!fitsOemCodePage(chosen)) {
        MessageBoxW(owner, kFolderOutsideCodePageMessage, L"Параметры", MB_OK | MB_ICONWARNING);
        return 0;
    }
    // Also after a drive's root, which already ends with one: the log file's
    // name is appended to whatever the box holds.
    chosen[length] = L'\\';
    chosen[length + 1] = 0;
    wcscpy(path, chosen);
    return 1;
}

void showSettingsSheet(HINSTANCE instance, HWND parent, const RunningSettings& running) {
    struct PageSource {
        int templateId;
        DLGPROC proc;
    } sources[kPageCount] = {
        {IDD_GENERAL_PAGE, generalProc},
        {IDD_LNB_PAGE, lnbProc},
        {IDD_PID_PAGE, pidProc},
        {IDD_DIRECTORIES_PAGE, directoriesProc},
    };
    PROPSHEETPAGEW pages[kPageCount] = {};
    for (int i = 0; i < kPageCount; ++i) {
        pages[i].dwSize = sizeof pages[i];
        pages[i].dwFlags = PSP_DEFAULT;
        pages[i].hInstance = instance;
        pages[i].pszTemplate = MAKEINTRESOURCEW(sources[i].templateId);
        pages[i].pfnDlgProc = sources[i].proc;
        pages[i].lParam = LPARAM(&running);
    }
    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_NOCONTEXTHELP;
    header.hwndParent = parent;
    header.hInstance = instance;
    header.pszCaption = L"Параметры";
    header.nPages = kPageCount;
    header.nStartPage = 0;
    header.ppsp = pages;
    PropertySheetW(&header);
}
