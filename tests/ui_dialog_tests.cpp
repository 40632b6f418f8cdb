// The settings sheet and the filter dialogs driven as the user drives them:
// each test opens the real dialog in this process, over a scratch working
// folder with its own config.ini and filters.qmf, and works its controls from
// a timer that runs inside the dialog's modal loop.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "extraction/extraction.h"
#include "platform/platform.h"
#include "resources/resource.h"
#include "settings/config_file.h"
#include "settings/filter_set.h"
#include "settings/log_file.h"
#include "settings/size_text.h"
#include "tests/extraction_support.h"
#include "tests/test_support.h"
#include "ui/filter_edit_dialog.h"
#include "ui/filter_list_dialog.h"
#include "ui/settings_sheet.h"

namespace {

HINSTANCE self() { return GetModuleHandleW(nullptr); }

// ---- Driving modal windows ----------------------------------------------------

// The foremost modal window of this thread: a visible, enabled dialog (the
// windows beneath a modal one are disabled).
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

// Steps run one per timer tick inside whatever modal loop is running; a step
// returns false to be tried again at the next tick (a window not there yet).
class Script {
public:
    using Step = std::function<bool()>;
    Script& then(Step step) {
        steps_.push_back(std::move(step));
        return *this;
    }
    // Runs `open`, which returns when its modal window closes, while the steps
    // run. Whatever is still open when the steps end or stall is cancelled.
    void run(const std::function<void()>& open) {
        current_ = this;
        UINT_PTR timer = SetTimer(nullptr, 0, 15, tick);
        open();
        KillTimer(nullptr, timer);
        current_ = nullptr;
        EXPECT_EQ(next_, steps_.size()) << "the script stalled at step " << next_;
    }

private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        Script* script = current_;
        if (!script || script->busy_) return;
        script->busy_ = true;
        script->advance();
        script->busy_ = false;
    }
    void advance() {
        if (next_ < steps_.size() && ++tries_ < 400) {
            if (steps_[next_]()) {
                ++next_;
                tries_ = 0;
            }
            return;
        }
        // Done or stalled: close what is left, from the top.
        if (HWND open = topDialog()) {
            PostMessageW(open, WM_COMMAND, IDCANCEL, 0);
            PostMessageW(open, WM_COMMAND, IDNO, 0);
        }
    }
    static inline Script* current_ = nullptr;
    std::vector<Step> steps_;
    size_t next_ = 0;
    int tries_ = 0;
    bool busy_ = false;
};

std::wstring textOf(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}
std::wstring itemText(HWND dialog, int id) { return textOf(GetDlgItem(dialog, id)); }
bool enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
bool checked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

// The user's click on a check box, radio button or push button that opens
// nothing modal.
void click(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
// A click whose reaction may open a modal window: it runs after the step.
void clickLater(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(dialog, id)));
}
void type(HWND dialog, int id, const wchar_t* text) { SetDlgItemTextW(dialog, id, text); }
// Choosing a list entry as the user does: the selection, then the notice.
void choose(HWND dialog, int id, int position) {
    HWND list = GetDlgItem(dialog, id);
    wchar_t name[32] = {};
    GetClassNameW(list, name, 32);
    bool combo = _wcsicmp(name, L"ComboBox") == 0;
    SendMessageW(list, combo ? CB_SETCURSEL : LB_SETCURSEL, WPARAM(position), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, combo ? CBN_SELCHANGE : LBN_SELCHANGE), LPARAM(list));
}
int selection(HWND dialog, int id) {
    HWND list = GetDlgItem(dialog, id);
    wchar_t name[32] = {};
    GetClassNameW(list, name, 32);
    return int(SendMessageW(list, _wcsicmp(name, L"ComboBox") == 0 ? CB_GETCURSEL : LB_GETCURSEL, 0, 0));
}
std::wstring comboText(HWND dialog, int id) {
    int at = selection(dialog, id);
    if (at < 0) return L"";
    wchar_t text[128] = {};
    SendDlgItemMessageW(dialog, id, CB_GETLBTEXT, WPARAM(at), LPARAM(text));
    return text;
}
std::vector<std::wstring> listRows(HWND dialog, int id) {
    std::vector<std::wstring> rows;
    int count = int(SendDlgItemMessageW(dialog, id, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        SendDlgItemMessageW(dialog, id, LB_GETTEXT, WPARAM(i), LPARAM(text));
        rows.push_back(text);
    }
    return rows;
}
// Whether the whole text of an edit box is selected.
bool wholeTextSelected(HWND dialog, int id) {
    DWORD start = 0, end = 0;
    SendDlgItemMessageW(dialog, id, EM_GETSEL, WPARAM(&start), LPARAM(&end));
    return start == 0 && end == DWORD(GetWindowTextLengthW(GetDlgItem(dialog, id))) && end > 0;
}
// The text of a message box (its static text has the id 0xFFFF).
std::wstring messageText(HWND box) { return itemText(box, 0xFFFF); }

// ---- The settings sheet -------------------------------------------------------

HWND currentPage(HWND sheet) { return HWND(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)); }
HWND showPage(HWND sheet, int index) {
    SendMessageW(sheet, PSM_SETCURSEL, WPARAM(index), 0);
    return currentPage(sheet);
}
void pressSheet(HWND sheet, int button) { PostMessageW(sheet, PSM_PRESSBUTTON, WPARAM(button), 0); }
constexpr int kApplyButton = 0x3021;

// Every key the shipped config.ini holds. Numbers with a leading zero show
// whether a key was written: the writer spells them without it.
const char kConfig[] =
    "wnd = 5\r\ncx = 640\r\ncy = 480\r\n"
    "tmp_dir = C:\\q\\tmp\\\r\nok_dir = C:\\q\\ok\\\r\nsort = 01\r\n"
    "log_dir = C:\\q\\logs\\\r\nuse_log = 0\r\ntray = 01\r\nclear_tmp = 01\r\ntimeout = 0120\r\n"
    "upd_speed = 0500\r\nuse_spl = 01\r\n"
    "frequency = 012245\r\nsymbol_rate = 027500\r\npolarity = 01\r\nlof1 = 09750\r\nlof2 = 010600\r\n"
    "switch = 011700\r\ndiseqc = 03\r\npids = 0511\r\nhex_view = 01\r\n";

// kConfig with some values as written by the sheet.
std::string configWith(std::vector<std::pair<std::string, std::string>> values) {
    std::string text = kConfig;
    for (const auto& [key, value] : values) {
        size_t start = text.find("\n" + key + " = ") + 1 + key.size() + 3;
        size_t end = text.find("\r\n", start);
        text.replace(start, end - start, value);
    }
    return text;
}

class DialogTest : public ::testing::Test {
protected:
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ScratchDirectory dir{name.c_str()};
    CurrentDirectoryScope here{dir.path};
    HWND owner = nullptr;
    FilterSet filters;

    void SetUp() override {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = self();
        wc.lpszClassName = L"QmDialogOwner";
        RegisterClassW(&wc);  // a second registration fails harmlessly
        owner = CreateWindowExW(0, wc.lpszClassName, L"owner", WS_OVERLAPPEDWINDOW, 10, 10, 300, 200,
                                nullptr, nullptr, self(), nullptr);
        ASSERT_NE(owner, nullptr);
    }
    void TearDown() override {
        DestroyWindow(owner);
        emptyFilterSet(filters);
        gFolderBrowser = browseForFolder;
    }
    std::wstring config() { return dir.file(L"config.ini"); }
    std::string configText() { return readWholeFile(config()); }
};

using SettingsSheet = DialogTest;

TEST_F(SettingsSheet, EachPageShowsWhatConfigHolds) {
    writeWholeFile(config(), configWith({{"use_log", "1"}}));
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        EXPECT_EQ(textOf(sheet), L"Параметры");
        EXPECT_FALSE(enabled(sheet, kApplyButton));
        HWND page = currentPage(sheet);  // the first page comes first
        EXPECT_TRUE(checked(page, IDC_GEN_USE_LOG));
        EXPECT_TRUE(enabled(page, IDC_GEN_LOG_DIR));
        EXPECT_TRUE(enabled(page, IDC_GEN_LOG_BROWSE));
        EXPECT_EQ(itemText(page, IDC_GEN_LOG_DIR), L"C:\\q\\logs\\");
        EXPECT_TRUE(checked(page, IDC_GEN_CLEAR_TMP));
        EXPECT_TRUE(checked(page, IDC_GEN_USE_SPL));
        EXPECT_TRUE(checked(page, IDC_GEN_TRAY));
        EXPECT_EQ(itemText(page, IDC_GEN_TIMEOUT), L"120");

        page = showPage(sheet, 1);
        struct Box {
            int id;
            const wchar_t* text;
        } boxes[] = {{IDC_LNB_FREQUENCY, L"12245"}, {IDC_LNB_SYMBOL_RATE, L"27500"}, {IDC_LNB_LOF1, L"9750"},
                     {IDC_LNB_SWITCH, L"11700"},    {IDC_LNB_LOF2, L"10600"}};
        for (const Box& box : boxes) {
            EXPECT_EQ(itemText(page, box.id), box.text);
            EXPECT_EQ(SendDlgItemMessageW(page, box.id, EM_GETLIMITTEXT, 0, 0), 5);
        }
        EXPECT_EQ(comboText(page, IDC_LNB_POLARITY), L"Вертикальная");
        EXPECT_EQ(comboText(page, IDC_LNB_DISEQC), L"PosA - OptA");
        EXPECT_EQ(SendDlgItemMessageW(page, IDC_LNB_DISEQC, CB_GETCOUNT, 0, 0), 7);

        page = showPage(sheet, 2);
        EXPECT_TRUE(checked(page, IDC_PID_HEX_VIEW));
        EXPECT_EQ(listRows(page, IDC_PID_LIST), std::vector<std::wstring>{L"0x1FF"});
        EXPECT_FALSE(enabled(page, IDC_PID_DELETE));

        page = showPage(sheet, 3);
        EXPECT_EQ(itemText(page, IDC_DIR_TMP), L"C:\\q\\tmp\\");
        EXPECT_EQ(itemText(page, IDC_DIR_OK), L"C:\\q\\ok\\");
        EXPECT_TRUE(checked(page, IDC_DIR_SORT));
        pressSheet(sheet, PSBTN_CANCEL);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{}); });
    EXPECT_EQ(configText(), configWith({{"use_log", "1"}}));
}

TEST_F(SettingsSheet, OkAfterTheFirstPageOnlyWritesThatPagesKeys) {
    writeWholeFile(config(), kConfig);
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        pressSheet(sheet, PSBTN_OK);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{}); });
    EXPECT_EQ(configText(),
              configWith({{"use_log", "0"}, {"tray", "1"}, {"clear_tmp", "1"}, {"timeout", "120"}, {"use_spl", "1"}}));
}

TEST_F(SettingsSheet, CancelWritesNothingAndChangesNothingRunning) {
    writeWholeFile(config(), kConfig);
    Extraction extraction;
    setSharedPath(extraction.tmpDir, L"C:\\before\\");
    int32_t tray = 7;
    CapturedLog log;
    FILE* before = logStream(log.log);
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        for (int i = 0; i < 4; ++i) showPage(sheet, i);
        HWND page = showPage(sheet, 0);
        click(page, IDC_GEN_USE_LOG);
        click(page, IDC_GEN_TRAY);
        type(page, IDC_GEN_TIMEOUT, L"5");
        page = showPage(sheet, 2);
        type(page, IDC_PID_ENTRY, L"100");
        click(page, IDC_PID_INSERT);
        pressSheet(sheet, PSBTN_CANCEL);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{&extraction, &tray, &log.log}); });
    EXPECT_EQ(configText(), kConfig);
    wchar_t path[kMaxPath];
    readSharedPath(extraction.tmpDir, path);
    EXPECT_STREQ(path, L"C:\\before\\");
    EXPECT_EQ(tray, 7);
    EXPECT_EQ(logStream(log.log), before);
}

// What the fake folder browser was asked and answers.
struct FakeBrowser {
    static inline std::vector<std::wstring> starts;
    static inline std::wstring answer;  // empty: the user cancels
    static bool browse(HWND, const wchar_t* start, wchar_t* chosen) {
        starts.push_back(start);
        if (answer.empty()) return false;
        wcscpy(chosen, answer.c_str());
        return true;
    }
    static void use(const std::wstring& folder) {
        starts.clear();
        answer = folder;
        gFolderBrowser = browse;
    }
};

TEST_F(SettingsSheet, OkPutsDirectoriesSortTrayAndLogIntoEffectAtOnce) {
    writeWholeFile(config(), kConfig);
    std::wstring logs = dir.path + L"\\logs";
    ASSERT_TRUE(createDirectory(logs.c_str()));
    Extraction extraction;
    initExtractionWith(extraction, 1000, 1);
    int32_t tray = 1;
    CapturedLog log;
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        HWND page = currentPage(sheet);
        click(page, IDC_GEN_USE_LOG);
        EXPECT_TRUE(enabled(page, IDC_GEN_LOG_BROWSE));
        FakeBrowser::use(logs);
        click(page, IDC_GEN_LOG_BROWSE);
        click(page, IDC_GEN_TRAY);
        type(page, IDC_GEN_TIMEOUT, L"");
        page = showPage(sheet, 3);
        FakeBrowser::use(dir.path + L"\\new tmp");
        click(page, IDC_DIR_TMP_BROWSE);
        FakeBrowser::use(dir.path + L"\\new ok");
        click(page, IDC_DIR_OK_BROWSE);
        click(page, IDC_DIR_SORT);
        pressSheet(sheet, PSBTN_OK);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{&extraction, &tray, &log.log}); });

    wchar_t path[kMaxPath];
    readSharedPath(extraction.tmpDir, path);
    EXPECT_EQ(std::wstring(path), dir.path + L"\\new tmp\\");
    readSharedPath(extraction.okDir, path);
    EXPECT_EQ(std::wstring(path), dir.path + L"\\new ok\\");
    EXPECT_EQ(extraction.sortByExtension.load(), 0);
    EXPECT_EQ(tray, 0);
    FILE* logFile = logStream(log.log);
    EXPECT_NE(logFile, stdout);
    logWrite(log.log, "after the switch\n");
    int32_t value = -1;
    EXPECT_EQ(readConfigInt("timeout", &value), 1);  // an empty box stores 0
    EXPECT_EQ(value, 0);
    wchar_t text[kMaxPath] = {};
    readConfigString("ok_dir", text, kMaxPath);
    EXPECT_EQ(std::wstring(text), dir.path + L"\\new ok\\");

    // Unchecking the log sends the next lines to standard output at once.
    Script again;
    again.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        click(currentPage(sheet), IDC_GEN_USE_LOG);
        EXPECT_FALSE(enabled(currentPage(sheet), IDC_GEN_LOG_DIR));
        pressSheet(sheet, PSBTN_OK);
        return true;
    });
    again.run([&] { showSettingsSheet(self(), owner, RunningSettings{&extraction, &tray, &log.log}); });
    EXPECT_EQ(logStream(log.log), stdout);
    // Nothing writes through the log file any more: close it to read it.
    if (logFile != stdout) std::fclose(logFile);
    EXPECT_EQ(readWholeFile(logs + L"\\log.txt"), "after the switch\r\n");
}

// One OK over every page: a box left alone keeps its key even when it cannot take
// the value as typed, an empty directory box (no key) keeps the running directory,
// and log.txt goes on taking the lines.
TEST_F(SettingsSheet, OkKeepsWhatWasLeftAloneAndTheLogFile) {
    std::wstring logs = dir.path + L"\\logs";
    ASSERT_TRUE(createDirectory(logs.c_str()));
    std::string text = configWith({{"use_log", "1"}, {"log_dir", std::string(logs.begin(), logs.end()) + "\\"},
                                   {"lof1", "-1"}});
    text.erase(text.find("ok_dir"), text.find("sort") - text.find("ok_dir"));
    writeWholeFile(config(), text);
    Extraction extraction;
    setSharedPath(extraction.okDir, L"C:\\ok\\");
    LogFile log;
    openLog(log);
    logWrite(log, "before\n");
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        type(currentPage(sheet), IDC_GEN_TIMEOUT, L"4294967");
        type(showPage(sheet, 1), IDC_LNB_FREQUENCY, L"11000");
        FakeBrowser::use(L"D:\\tmp");
        click(showPage(sheet, 3), IDC_DIR_TMP_BROWSE);
        click(currentPage(sheet), IDC_DIR_SORT);
        pressSheet(sheet, PSBTN_OK);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{&extraction, nullptr, &log}); });
    for (auto [key, value] : {std::pair{"timeout", 4294967}, {"lof1", -1}, {"lof2", 10600}, {"frequency", 11000},
                              {"sort", 0}}) {
        int32_t stored = 0;
        EXPECT_TRUE(readConfigInt(key, &stored) && stored == value) << key;
    }
    wchar_t path[kMaxPath] = {};
    readConfigString("tmp_dir", path, kMaxPath);
    EXPECT_STREQ(path, L"D:\\tmp\\");
    readSharedPath(extraction.okDir, path);
    EXPECT_STREQ(path, L"C:\\ok\\");
    EXPECT_EQ(extraction.sortByExtension.load(), 0);
    logWrite(log, "after OK\n");
    ASSERT_NE(logStream(log), stdout);
    std::fclose(logStream(log));
    useStandardOutput(log);
    EXPECT_EQ(readWholeFile(logs + L"\\log.txt"), "before\r\nafter OK\r\n");
}

// Every box of the LNB page gets a value that no other box has, so that a
// box stored under another's key shows.
TEST_F(SettingsSheet, TheLnbPageStoresEachBoxUnderItsOwnKey) {
    writeWholeFile(config(), kConfig);
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        HWND page = showPage(sheet, 1);
        for (auto [id, text] : {std::pair{IDC_LNB_FREQUENCY, L"11111"}, {IDC_LNB_SYMBOL_RATE, L"22222"},
                                {IDC_LNB_LOF1, L"9333"}, {IDC_LNB_SWITCH, L"11444"}, {IDC_LNB_LOF2, L"10555"}})
            type(page, id, text);
        choose(page, IDC_LNB_POLARITY, 0);
        choose(page, IDC_LNB_DISEQC, 5);
        pressSheet(sheet, PSBTN_OK);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{}); });
    EXPECT_EQ(configText(), configWith({{"use_log", "0"}, {"tray", "1"}, {"clear_tmp", "1"}, {"timeout", "120"},
                                        {"use_spl", "1"}, {"frequency", "11111"}, {"symbol_rate", "22222"},
                                        {"polarity", "0"}, {"lof1", "9333"}, {"lof2", "10555"},
                                        {"switch", "11444"}, {"diseqc", "5"}}));
}

TEST_F(SettingsSheet, PidNotationRoundTripsAndInsertTakesOnly1To8191) {
    writeWholeFile(config(), kConfig);
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        HWND page = showPage(sheet, 2);
        choose(page, IDC_PID_LIST, 0);
        EXPECT_TRUE(enabled(page, IDC_PID_DELETE));
        click(page, IDC_PID_HEX_VIEW);
        EXPECT_EQ(listRows(page, IDC_PID_LIST), std::vector<std::wstring>{L"511"});
        EXPECT_EQ(selection(page, IDC_PID_LIST), 0);  // the selection is kept
        click(page, IDC_PID_HEX_VIEW);
        EXPECT_EQ(listRows(page, IDC_PID_LIST), std::vector<std::wstring>{L"0x1FF"});

        struct Entry {
            const wchar_t* typed;
            const wchar_t* row;
        } entries[] = {{L"8191", L"0x1FFF"}, {L"8192", L"0x1FFF"}, {L"0", L"0x1FFF"},
                       {L"", L"0x1FFF"},     {L"1", L"0x1"},       {L"4660", L"0x1234"}};
        for (const Entry& entry : entries) {
            type(page, IDC_PID_ENTRY, entry.typed);
            click(page, IDC_PID_INSERT);
            EXPECT_EQ(listRows(page, IDC_PID_LIST), std::vector<std::wstring>{entry.row}) << entry.typed;
        }
        EXPECT_EQ(SendDlgItemMessageW(page, IDC_PID_ENTRY, EM_GETLIMITTEXT, 0, 0), 6);
        EXPECT_FALSE(enabled(page, IDC_PID_DELETE));
        type(page, IDC_PID_ENTRY, L"8192");
        click(page, IDC_PID_INSERT);
        EXPECT_EQ(itemText(page, IDC_PID_ENTRY), L"8192");  // ignored: the box keeps its text
        type(page, IDC_PID_ENTRY, L"511");
        click(page, IDC_PID_INSERT);
        EXPECT_EQ(itemText(page, IDC_PID_ENTRY), L"");
        click(page, IDC_PID_HEX_VIEW);
        pressSheet(sheet, PSBTN_OK);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{}); });
    // The first page is always shown, so its keys are stored as well.
    EXPECT_EQ(configText(), configWith({{"use_log", "0"}, {"tray", "1"}, {"clear_tmp", "1"}, {"timeout", "120"},
                                        {"use_spl", "1"}, {"pids", "511"}, {"hex_view", "0"}}));

    // Left in hexadecimal, the row still stores the number it shows.
    writeWholeFile(config(), kConfig);
    Script hex;
    hex.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        showPage(sheet, 2);
        pressSheet(sheet, PSBTN_OK);
        return true;
    });
    hex.run([&] { showSettingsSheet(self(), owner, RunningSettings{}); });
    EXPECT_NE(configText().find("pids = 511\r\nhex_view = 1\r\n"), std::string::npos);
}

TEST_F(SettingsSheet, ADeletedPidRowLeavesThePidAsItWas) {
    writeWholeFile(config(), kConfig);
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        HWND page = showPage(sheet, 2);
        choose(page, IDC_PID_LIST, 0);
        click(page, IDC_PID_DELETE);
        EXPECT_TRUE(listRows(page, IDC_PID_LIST).empty());
        EXPECT_FALSE(enabled(page, IDC_PID_DELETE));
        click(page, IDC_PID_HEX_VIEW);  // an empty list stays empty
        EXPECT_TRUE(listRows(page, IDC_PID_LIST).empty());
        pressSheet(sheet, PSBTN_OK);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{}); });
    std::string text = configText();
    EXPECT_NE(text.find("pids = 0511\r\n"), std::string::npos);
    EXPECT_NE(text.find("hex_view = 0\r\n"), std::string::npos);
}

TEST_F(SettingsSheet, MissingKeysShowEmptyAndTheBrowserStartsInTheCurrentFolder) {
    writeWholeFile(config(), "wnd = 5\r\nuse_log = 1\r\n");
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        HWND page = currentPage(sheet);
        EXPECT_EQ(itemText(page, IDC_GEN_LOG_DIR), L"");
        EXPECT_EQ(itemText(page, IDC_GEN_TIMEOUT), L"0");
        FakeBrowser::use(L"");
        click(page, IDC_GEN_LOG_BROWSE);
        page = showPage(sheet, 2);
        EXPECT_TRUE(listRows(page, IDC_PID_LIST).empty());
        page = showPage(sheet, 3);
        EXPECT_EQ(itemText(page, IDC_DIR_TMP), L"");
        EXPECT_EQ(itemText(page, IDC_DIR_OK), L"");
        click(page, IDC_DIR_TMP_BROWSE);
        click(page, IDC_DIR_OK_BROWSE);
        EXPECT_EQ(itemText(page, IDC_DIR_TMP), L"");  // cancelled: unchanged
        pressSheet(sheet, PSBTN_CANCEL);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{}); });
    EXPECT_EQ(FakeBrowser::starts, std::vector<std::wstring>(3, dir.path));
}

TEST_F(SettingsSheet, TheDirectoryBrowserStartsAtTheConfiguredFolderNotTheBox) {
    writeWholeFile(config(), kConfig);
    Script script;
    script.then([&] {
        HWND sheet = topDialog();
        if (!sheet) return false;
        HWND page = showPage(sheet, 3);
        FakeBrowser::use(L"D:\\data");
        click(page, IDC_DIR_TMP_BROWSE);
        EXPECT_EQ(itemText(page, IDC_DIR_TMP), L"D:\\data\\");
        click(page, IDC_DIR_TMP_BROWSE);
        EXPECT_EQ(FakeBrowser::starts, std::vector<std::wstring>(2, L"C:\\q\\tmp\\"));
        FakeBrowser::use(L"D:\\");
        click(page, IDC_DIR_OK_BROWSE);
        EXPECT_EQ(itemText(page, IDC_DIR_OK), L"D:\\\\");
        pressSheet(sheet, PSBTN_CANCEL);
        return true;
    });
    script.run([&] { showSettingsSheet(self(), owner, RunningSettings{}); });
    EXPECT_EQ(FakeBrowser::starts, std::vector<std::wstring>{L"C:\\q\\ok\\"});
}

TEST_F(SettingsSheet, AFolderWhosePathFillsTheBufferIsRefusedWithAMessage) {
    std::wstring longest = L"C:\\" + std::wstring(255, L'a');  // 258: room for the backslash
    std::wstring tooLong = longest + L"b";                       // 259: none
    FakeBrowser::use(longest);
    wchar_t path[260] = L"C:\\start";
    EXPECT_EQ(chooseFolder(owner, path), 1);
    EXPECT_EQ(std::wstring(path), longest + L"\\");

    FakeBrowser::use(tooLong);
    wcscpy(path, L"C:\\start");
    std::wstring shown;
    int result = -1;
    Script script;
    script.then([&] {
        HWND box = topDialog();
        if (!box) return false;
        shown = messageText(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return true;
    });
    script.run([&] { result = chooseFolder(owner, path); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(shown, kFolderPathTooLongMessage);
    EXPECT_STREQ(path, L"C:\\start");
}

TEST_F(SettingsSheet, TheRealFolderBrowserCancelsWithoutChangingThePath) {
    wchar_t path[260] = L"C:\\windows";
    int result = -1;
    bool seen = false;
    Script script;
    script.then([&] {
        HWND browser = topDialog();
        if (!browser) return false;
        seen = true;
        PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
        return true;
    });
    script.run([&] { result = chooseFolder(owner, path); });
    EXPECT_TRUE(seen);
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(path, L"C:\\windows");
}



// ---- The templates --------------------------------------------------------------

INT_PTR CALLBACK bareDialog(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

TEST(DialogTemplates, EveryControlHasItsKindTextAndState) {
    struct Control {
        int id;
        const wchar_t* kind;
        const wchar_t* text;  // nullptr: not checked
        DWORD styles;         // style bits that must be set
        bool enabledAtFirst;
    };
    struct Template {
        int id;
        const wchar_t* caption;
        std::vector<Control> controls;
    } templates[] = {
        {IDD_GENERAL_PAGE,
         L"Общие",
         {{IDC_GEN_USE_LOG, L"Button", L"Использовать лог-файл", BS_AUTOCHECKBOX, true},
          {IDC_GEN_LOG_DIR, L"Edit", L"", ES_READONLY, false},
          {IDC_GEN_LOG_BROWSE, L"Button", L"...", 0, false},
          {IDC_GEN_CLEAR_TMP, L"Button", L"Очищать папку временных файлов при завершении работы", BS_AUTOCHECKBOX, true},
          {IDC_GEN_USE_SPL, L"Button", L"Использовать streamsplitter.dll", BS_AUTOCHECKBOX, true},
          {IDC_GEN_TRAY, L"Button", L"Сворачивать в трей", BS_AUTOCHECKBOX, true},
          {IDC_GEN_TIMEOUT, L"Edit", nullptr, ES_NUMBER | ES_RIGHT, true}}},
        {IDD_LNB_PAGE,
         L"LNB",
         {{IDC_LNB_FREQUENCY, L"Edit", nullptr, ES_NUMBER | ES_RIGHT, true},
          {IDC_LNB_SYMBOL_RATE, L"Edit", nullptr, ES_NUMBER | ES_RIGHT, true},
          {IDC_LNB_POLARITY, L"ComboBox", nullptr, CBS_DROPDOWNLIST, true},
          {IDC_LNB_DISEQC, L"ComboBox", nullptr, CBS_DROPDOWNLIST, true},
          {IDC_LNB_LOF1, L"Edit", nullptr, ES_NUMBER | ES_RIGHT, true},
          {IDC_LNB_SWITCH, L"Edit", nullptr, ES_NUMBER | ES_RIGHT, true},
          {IDC_LNB_LOF2, L"Edit", nullptr, ES_NUMBER | ES_RIGHT, true}}},
        {IDD_PID_PAGE,
         L"Пиды",
         {{IDC_PID_HEX_VIEW, L"Button", L"Шестнадцатиричный вид", BS_AUTOCHECKBOX, true},
          {IDC_PID_LIST, L"ListBox", nullptr, LBS_SORT | LBS_NOTIFY, true},
          {IDC_PID_ENTRY, L"Edit", nullptr, ES_NUMBER | ES_RIGHT, true},
          {IDC_PID_INSERT, L"Button", L"Вставить", 0, true},
          {IDC_PID_DELETE, L"Button", L"Удалить", 0, false}}},
        {IDD_DIRECTORIES_PAGE,
         L"Каталоги",
         {{IDC_DIR_TMP, L"Edit", nullptr, ES_READONLY, true},
          {IDC_DIR_TMP_BROWSE, L"Button", L"...", 0, true},
          {IDC_DIR_OK, L"Edit", nullptr, ES_READONLY, true},
          {IDC_DIR_OK_BROWSE, L"Button", L"...", 0, true},
          {IDC_DIR_SORT, L"Button", L"Сортировать завершенные файлы по расширению", BS_AUTOCHECKBOX, true}}},
        {IDD_FILTER_EDIT,
         L"Новый фильтр",
         {{IDC_FILTER_BY_CATEGORY, L"Button", L"По категории", BS_AUTORADIOBUTTON, true},
          {IDC_FILTER_BY_EXTENSION, L"Button", L"По расширению", BS_AUTORADIOBUTTON, true},
          {IDC_FILTER_CATEGORY, L"ComboBox", nullptr, CBS_DROPDOWNLIST, true},
          {IDC_FILTER_EXTENSION, L"ComboBox", nullptr, CBS_DROPDOWNLIST, false},
          {IDC_FILTER_MINIMUM, L"Edit", L"", 0, false},
          {IDC_FILTER_MAXIMUM, L"Edit", L"", 0, false},
          {IDOK, L"Button", L"OK", BS_DEFPUSHBUTTON, false},
          {IDCANCEL, L"Button", L"Отмена", 0, true}}},
        {IDD_FILTER_LIST,
         L"Фильтры",
         {{IDC_FILTER_LIST, L"ListBox", nullptr, LBS_NOTIFY, true},
          {IDC_FILTER_ADD, L"Button", L"Добавить...", BS_DEFPUSHBUTTON, true},
          {IDC_FILTER_CHANGE, L"Button", L"Изменить...", 0, false},
          {IDC_FILTER_DELETE, L"Button", L"Удалить", 0, false},
          {IDCANCEL, L"Button", L"Закрыть", 0, true}}},
    };
    // The pages are child windows: they need a parent.
    HWND parent = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 600, 400, nullptr, nullptr, self(), nullptr);
    ASSERT_NE(parent, nullptr);
    for (const Template& t : templates) {
        SCOPED_TRACE(t.id);
        HWND dialog = CreateDialogParamW(self(), MAKEINTRESOURCEW(t.id), parent, bareDialog, 0);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(textOf(dialog), t.caption);
        for (const Control& c : t.controls) {
            SCOPED_TRACE(c.id);
            HWND control = GetDlgItem(dialog, c.id);
            ASSERT_NE(control, nullptr);
            wchar_t kind[32] = {};
            GetClassNameW(control, kind, 32);
            EXPECT_EQ(_wcsicmp(kind, c.kind), 0) << std::wstring(kind).size();
            if (c.text) {
                EXPECT_EQ(textOf(control), c.text);
            }
            DWORD style = DWORD(GetWindowLongPtrW(control, GWL_STYLE));
            EXPECT_EQ(style & c.styles, c.styles);
            EXPECT_EQ(IsWindowEnabled(control) != FALSE, c.enabledAtFirst);
        }
        if (t.id == IDD_FILTER_LIST) {  // rows stay in file order
            EXPECT_EQ(GetWindowLongPtrW(GetDlgItem(dialog, IDC_FILTER_LIST), GWL_STYLE) & LBS_SORT, 0);
        }
        DestroyWindow(dialog);
    }
    DestroyWindow(parent);
}

// ---- The filter dialogs ---------------------------------------------------------

using FilterDialogs = DialogTest;

const uint32_t kGb = 1073741824u;

// Opens the edit dialog from the list dialog's "Добавить..." or "Изменить...".
Script::Step openEditor(int button) {
    return [button] {
        HWND list = topDialog();
        if (!list) return false;
        clickLater(list, button);
        return true;
    };
}

// Waits for the edit dialog, then does `work` in it.
Script::Step inEditor(std::function<void(HWND)> work) {
    return [work] {
        HWND editor = topDialog();
        if (!editor || textOf(editor) != L"Новый фильтр") return false;
        work(editor);
        return true;
    };
}

Script::Step inList(std::function<void(HWND)> work) {
    return [work] {
        HWND list = topDialog();
        if (!list || textOf(list) != L"Фильтры") return false;
        work(list);
        return true;
    };
}

TEST_F(FilterDialogs, AddEditAndDeleteWriteTheFileRecordByRecord) {
    std::wstring file = dir.file(L"filters.qmf");
    writeWholeFile(file, "");
    std::vector<std::wstring> rows;
    Script script;
    // Add: everything up to 3 ГБ.
    script.then(openEditor(IDC_FILTER_ADD)).then(inEditor([](HWND editor) {
        choose(editor, IDC_FILTER_CATEGORY, 0);
        type(editor, IDC_FILTER_MAXIMUM, L"3 гб");
        click(editor, IDOK);
    }));
    script.then(inList([&](HWND list) {
        EXPECT_EQ(listRows(list, IDC_FILTER_LIST), std::vector<std::wstring>{L"По категории: Все"});
        EXPECT_EQ(readWholeFile(file), fileOf({byCategory(0, 0, 3 * kGb)}));
        EXPECT_EQ(filterCount(filters), 1u);
        clickLater(list, IDC_FILTER_ADD);
    }));
    // Add: "js" from 1 кб to 2 мб.
    script.then(inEditor([](HWND editor) {
        click(editor, IDC_FILTER_BY_EXTENSION);
        choose(editor, IDC_FILTER_EXTENSION, findExtension(L"js")->index);
        type(editor, IDC_FILTER_MINIMUM, L"1 кб");
        type(editor, IDC_FILTER_MAXIMUM, L"2 МБ");
        click(editor, IDOK);
    }));
    // Add: videos, then cancel a fourth.
    script.then(openEditor(IDC_FILTER_ADD)).then(inEditor([](HWND editor) {
        choose(editor, IDC_FILTER_CATEGORY, 2);
        type(editor, IDC_FILTER_MAXIMUM, L"10 Мб");
        click(editor, IDOK);
    }));
    script.then(openEditor(IDC_FILTER_ADD)).then(inEditor([](HWND editor) {
        choose(editor, IDC_FILTER_CATEGORY, 1);
        click(editor, IDCANCEL);
    }));
    script.then(inList([&](HWND list) {
        EXPECT_EQ(listRows(list, IDC_FILTER_LIST),
                  (std::vector<std::wstring>{L"По категории: Все", L"По расширению: js", L"По категории: Видео"}));
        EXPECT_EQ(readWholeFile(file), fileOf({byCategory(0, 0, 3 * kGb), byExtension(L"js", 1024, 2097152),
                                               byCategory(2, 0, 10485760)}));
        EXPECT_EQ(filterCount(filters), 3u);
        EXPECT_FALSE(enabled(list, IDC_FILTER_CHANGE));
        choose(list, IDC_FILTER_LIST, 1);
        EXPECT_TRUE(enabled(list, IDC_FILTER_CHANGE));
        EXPECT_TRUE(enabled(list, IDC_FILTER_DELETE));
        clickLater(list, IDC_FILTER_CHANGE);
    }));
    // Edit the "js" record: it opens as written.
    script.then(inEditor([](HWND editor) {
        EXPECT_TRUE(checked(editor, IDC_FILTER_BY_EXTENSION));
        EXPECT_FALSE(enabled(editor, IDC_FILTER_CATEGORY));
        EXPECT_EQ(comboText(editor, IDC_FILTER_EXTENSION), L"js");
        EXPECT_EQ(itemText(editor, IDC_FILTER_MINIMUM), L"1 кБ");
        EXPECT_EQ(itemText(editor, IDC_FILTER_MAXIMUM), L"2 МБ");
        EXPECT_TRUE(enabled(editor, IDOK));
        choose(editor, IDC_FILTER_EXTENSION, findExtension(L"jpg")->index);
        EXPECT_EQ(itemText(editor, IDC_FILTER_MINIMUM), L"1 кБ");  // edit mode keeps the sizes
        type(editor, IDC_FILTER_MAXIMUM, L"5 мб");
        click(editor, IDOK);
    }));
    script.then(inList([&](HWND list) {
        EXPECT_EQ(listRows(list, IDC_FILTER_LIST)[1], L"По расширению: jpg");
        EXPECT_EQ(selection(list, IDC_FILTER_LIST), -1);
        EXPECT_FALSE(enabled(list, IDC_FILTER_CHANGE));
        EXPECT_EQ(readWholeFile(file), fileOf({byCategory(0, 0, 3 * kGb), byExtension(L"jpg", 1024, 5242880),
                                               byCategory(2, 0, 10485760)}));
        choose(list, IDC_FILTER_LIST, 0);
        clickLater(list, IDC_FILTER_DELETE);
    }));
    // Delete the first: asked, answered No, nothing changes.
    script.then([&] {
        HWND box = topDialog();
        if (!box || textOf(box) != L"Удаление фильтра") return false;
        EXPECT_EQ(messageText(box), L"Вы действительно хотите удалить данный фильтр");
        PostMessageW(box, WM_COMMAND, IDNO, 0);
        return true;
    });
    script.then(inList([&](HWND list) {
        EXPECT_EQ(listRows(list, IDC_FILTER_LIST).size(), 3u);
        EXPECT_EQ(readWholeFile(file).size(), 60u);
        clickLater(list, IDC_FILTER_DELETE);
    }));
    script.then([&] {
        HWND box = topDialog();
        if (!box || textOf(box) != L"Удаление фильтра") return false;
        PostMessageW(box, WM_COMMAND, IDYES, 0);
        return true;
    });
    // The rows that followed now stand for the records one place earlier.
    script.then(inList([&](HWND list) {
        EXPECT_EQ(listRows(list, IDC_FILTER_LIST),
                  (std::vector<std::wstring>{L"По расширению: jpg", L"По категории: Видео"}));
        EXPECT_EQ(readWholeFile(file), fileOf({byExtension(L"jpg", 1024, 5242880), byCategory(2, 0, 10485760)}));
        EXPECT_EQ(filterCount(filters), 2u);
        EXPECT_FALSE(enabled(list, IDC_FILTER_DELETE));
        SendMessageW(GetDlgItem(list, IDC_FILTER_LIST), LB_SETCURSEL, 0, 0);
        // A double click edits like "Изменить...".
        PostMessageW(list, WM_COMMAND, MAKEWPARAM(IDC_FILTER_LIST, LBN_DBLCLK), LPARAM(GetDlgItem(list, IDC_FILTER_LIST)));
    }));
    script.then(inEditor([](HWND editor) {
        EXPECT_EQ(comboText(editor, IDC_FILTER_EXTENSION), L"jpg");
        type(editor, IDC_FILTER_MINIMUM, L"0");
        click(editor, IDOK);
    }));
    script.then(inList([&](HWND list) {
        EXPECT_EQ(readWholeFile(file), fileOf({byExtension(L"jpg", 0, 5242880), byCategory(2, 0, 10485760)}));
        choose(list, IDC_FILTER_LIST, 0);
        clickLater(list, IDC_FILTER_DELETE);
    }));
    script.then([&] {
        HWND box = topDialog();
        if (!box || textOf(box) != L"Удаление фильтра") return false;
        PostMessageW(box, WM_COMMAND, IDYES, 0);
        return true;
    });
    script.then(inList([&](HWND list) {
        choose(list, IDC_FILTER_LIST, 0);
        clickLater(list, IDC_FILTER_DELETE);
    }));
    script.then([&] {
        HWND box = topDialog();
        if (!box || textOf(box) != L"Удаление фильтра") return false;
        PostMessageW(box, WM_COMMAND, IDYES, 0);
        return true;
    });
    script.then(inList([&](HWND list) {
        rows = listRows(list, IDC_FILTER_LIST);
        PostMessageW(list, WM_COMMAND, IDCANCEL, 0);
    }));
    script.run([&] { showFilterListDialog(self(), owner, filters); });
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(readWholeFile(file), "");
    EXPECT_EQ(filterCount(filters), 0u);
}

TEST_F(FilterDialogs, TheListHoldsTheFileOpenForWritingAndLetsOthersOnlyRead) {
    std::wstring file = dir.file(L"filters.qmf");
    writeWholeFile(file, fileOf({byCategory(0, 0, 100)}, "xyz"));
    Script script;
    script.then(inList([&](HWND list) {
        EXPECT_EQ(listRows(list, IDC_FILTER_LIST), std::vector<std::wstring>{L"По категории: Все"});
        // Another program may read (it must let the holder go on writing), never write.
        HANDLE reader = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE);
        if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
        HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        PostMessageW(list, WM_COMMAND, IDCANCEL, 0);
    }));
    script.run([&] { showFilterListDialog(self(), owner, filters); });
    FileHandle writer = openFile(file.c_str(), FileAccess::readWrite, FileShare::read, FileCreation::openExisting);
    EXPECT_NE(writer, kNoFile);
    if (writer != kNoFile) closeFile(writer);
}

TEST_F(FilterDialogs, AFileThatCannotBeOpenedForWritingLeavesOnlyClose) {
    std::wstring file = dir.file(L"filters.qmf");
    std::string before = fileOf({byCategory(0, 0, 100)});
    writeWholeFile(file, before);
    ScopedFile held(openFile(file.c_str(), FileAccess::read, FileShare::none, FileCreation::openExisting));
    ASSERT_TRUE(held.valid());
    Script script;
    script.then(inList([&](HWND list) {
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(list, IDC_FILTER_LIST)));
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(list, IDC_FILTER_FILE_ERROR)));
        EXPECT_EQ(itemText(list, IDC_FILTER_FILE_ERROR), kFilterFileUnavailableMessage);
        for (int id : {IDC_FILTER_ADD, IDC_FILTER_CHANGE, IDC_FILTER_DELETE}) EXPECT_FALSE(enabled(list, id)) << id;
        EXPECT_TRUE(enabled(list, IDCANCEL));
        EXPECT_EQ(GetFocus(), GetDlgItem(list, IDCANCEL));
        clickLater(list, IDC_FILTER_ADD);  // even a command that slips through writes nothing
        PostMessageW(list, WM_COMMAND, IDCANCEL, 0);
    }));
    script.run([&] { showFilterListDialog(self(), owner, filters); });
    closeFile(held.handle);
    held.handle = kNoFile;
    EXPECT_EQ(readWholeFile(file), before);
}

TEST_F(FilterDialogs, TheEditDialogEnablesWhatTheChoiceAllows) {
    FilterRecord unknown = byCategory(3, 10, 20);  // a category this program does not know
    unknown.nameReference = 0x12345678;
    writeWholeFile(dir.file(L"filters.qmf"), fileOf({byExtension(L"js", 1536, 3221225473u), unknown}));
    Script script;
    script.then(openEditor(IDC_FILTER_ADD)).then(inEditor([](HWND editor) {
        EXPECT_TRUE(checked(editor, IDC_FILTER_BY_CATEGORY));
        EXPECT_EQ(SendDlgItemMessageW(editor, IDC_FILTER_CATEGORY, CB_GETCOUNT, 0, 0), 6);
        EXPECT_EQ(SendDlgItemMessageW(editor, IDC_FILTER_EXTENSION, CB_GETCOUNT, 0, 0), 29);
        EXPECT_EQ(selection(editor, IDC_FILTER_CATEGORY), -1);
        EXPECT_TRUE(enabled(editor, IDC_FILTER_CATEGORY));
        for (int id : {IDC_FILTER_EXTENSION, IDC_FILTER_MINIMUM, IDC_FILTER_MAXIMUM, IDOK})
            EXPECT_FALSE(enabled(editor, id)) << id;
        choose(editor, IDC_FILTER_CATEGORY, 0);
        EXPECT_EQ(comboText(editor, IDC_FILTER_CATEGORY), L"(Все)");
        EXPECT_EQ(itemText(editor, IDC_FILTER_MINIMUM), L"0");
        EXPECT_EQ(itemText(editor, IDC_FILTER_MAXIMUM), L"0");
        EXPECT_TRUE(enabled(editor, IDOK));
        type(editor, IDC_FILTER_MINIMUM, L"");
        EXPECT_FALSE(enabled(editor, IDOK));
        type(editor, IDC_FILTER_MINIMUM, L"1");
        EXPECT_TRUE(enabled(editor, IDOK));
        click(editor, IDC_FILTER_BY_EXTENSION);
        EXPECT_FALSE(enabled(editor, IDC_FILTER_CATEGORY));
        EXPECT_EQ(selection(editor, IDC_FILTER_CATEGORY), -1);
        EXPECT_TRUE(enabled(editor, IDC_FILTER_EXTENSION));
        for (int id : {IDC_FILTER_MINIMUM, IDC_FILTER_MAXIMUM, IDOK}) EXPECT_FALSE(enabled(editor, id)) << id;
        EXPECT_EQ(itemText(editor, IDC_FILTER_MINIMUM), L"");
        choose(editor, IDC_FILTER_EXTENSION, 3);
        click(editor, IDC_FILTER_BY_CATEGORY);
        EXPECT_EQ(selection(editor, IDC_FILTER_EXTENSION), -1);
        click(editor, IDCANCEL);
    }));
    script.then(inList([](HWND list) {
        choose(list, IDC_FILTER_LIST, 0);
        clickLater(list, IDC_FILTER_CHANGE);
    }));
    script.then(inEditor([](HWND editor) {
        // "js", not "json"; sizes in the largest unit that divides them.
        EXPECT_EQ(comboText(editor, IDC_FILTER_EXTENSION), L"js");
        EXPECT_EQ(itemText(editor, IDC_FILTER_MINIMUM), L"1536");
        EXPECT_EQ(itemText(editor, IDC_FILTER_MAXIMUM), L"3221225473");
        for (int id : {IDC_FILTER_EXTENSION, IDC_FILTER_MINIMUM, IDC_FILTER_MAXIMUM, IDOK})
            EXPECT_TRUE(enabled(editor, id)) << id;
        click(editor, IDC_FILTER_BY_CATEGORY);
        choose(editor, IDC_FILTER_CATEGORY, 3);
        EXPECT_TRUE(enabled(editor, IDC_FILTER_MINIMUM));
        EXPECT_EQ(itemText(editor, IDC_FILTER_MINIMUM), L"");  // the edit mode does not fill in "0"
        click(editor, IDCANCEL);
    }));
    script.then(inList([](HWND list) {
        choose(list, IDC_FILTER_LIST, 1);
        clickLater(list, IDC_FILTER_CHANGE);
    }));
    script.then(inEditor([](HWND editor) {
        EXPECT_EQ(selection(editor, IDC_FILTER_CATEGORY), -1);  // "По категории: ?" keeps its references
        type(editor, IDC_FILTER_MAXIMUM, L"30");
        click(editor, IDOK);
    }));
    script.then(inList([](HWND list) { PostMessageW(list, WM_COMMAND, IDCANCEL, 0); }));
    script.run([&] { showFilterListDialog(self(), owner, filters); });
    unknown.maximum = 30;
    EXPECT_EQ(readWholeFile(dir.file(L"filters.qmf")), fileOf({byExtension(L"js", 1536, 3221225473u), unknown}));
}

TEST_F(FilterDialogs, BadSizesAreReportedWithTheBoxReadyForCorrecting) {
    struct Case {
        const wchar_t* minimum;
        const wchar_t* maximum;
        const wchar_t* message;
        int box;
        bool selectedBeforeTheMessage;
    } cases[] = {
        {L"10мб", L"0", kBadUnitMessage, IDC_FILTER_MINIMUM, false},
        {L"10  мб", L"0", kBadUnitMessage, IDC_FILTER_MINIMUM, false},
        {L"0", L"10 ", kBadUnitMessage, IDC_FILTER_MAXIMUM, false},
        {L"0", L"1.5 мб", kBadUnitMessage, IDC_FILTER_MAXIMUM, false},
        {L"0", L"4 гб", kSizeRangeMessage, IDC_FILTER_MAXIMUM, true},
        {L"2 мб", L"1 мб", kMaximumBelowMinimumMessage, IDC_FILTER_MAXIMUM, true},
    };
    writeWholeFile(dir.file(L"filters.qmf"), "");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "min " << std::string(c.minimum, c.minimum + wcslen(c.minimum)).size());
        std::wstring shown;
        bool selectedDuring = false;
        HWND editorWindow = nullptr;
        Script script;
        script.then(openEditor(IDC_FILTER_ADD)).then(inEditor([&](HWND editor) {
            editorWindow = editor;
            choose(editor, IDC_FILTER_CATEGORY, 0);
            type(editor, IDC_FILTER_MINIMUM, c.minimum);
            type(editor, IDC_FILTER_MAXIMUM, c.maximum);
            SetFocus(GetDlgItem(editor, IDC_FILTER_CATEGORY));
            clickLater(editor, IDOK);
        }));
        script.then([&] {
            HWND box = topDialog();
            if (!box || box == editorWindow) return false;
            shown = messageText(box);
            EXPECT_EQ(GetWindow(box, GW_OWNER), editorWindow);
            selectedDuring = wholeTextSelected(editorWindow, c.box);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            return true;
        });
        // Without a window manager the editor may be activated again a tick
        // after the box has gone: the focus is looked at once it is back.
        int ticks = 0;
        script.then([&] {
            HWND editor = topDialog();
            if (!editor || textOf(editor) != L"Новый фильтр") return false;
            if (GetFocus() == nullptr && ++ticks < 20) return false;
            EXPECT_EQ(GetFocus(), GetDlgItem(editor, c.box));
            EXPECT_TRUE(wholeTextSelected(editor, c.box));
            click(editor, IDCANCEL);
            return true;
        });
        script.then(inList([](HWND list) { PostMessageW(list, WM_COMMAND, IDCANCEL, 0); }));
        script.run([&] { showFilterListDialog(self(), owner, filters); });
        EXPECT_EQ(shown, c.message);
        EXPECT_EQ(selectedDuring, c.selectedBeforeTheMessage);
        EXPECT_EQ(readWholeFile(dir.file(L"filters.qmf")), "");
    }
    // A unit was read: the process now formats with the Russian decimal comma.
    wchar_t text[32];
    formatSizeText(1572864, text, 32);
    EXPECT_STREQ(text, L"1,50 МБ");
}

TEST_F(FilterDialogs, AFilterAddedDuringReceptionAdmitsTheNextObjectAtOnce) {
    writeWholeFile(dir.file(L"filters.qmf"), "");
    TestReceiver receiver("dialog_reception");
    receiver.setFilters({});
    BroadcastOptions options;
    receiver.feed(makeBroadcast({{"before.txt", textBytes(100, 1), {}}}, options));
    ASSERT_TRUE(receiver.waitUntilIdle());
    EXPECT_EQ(receiver.extraction->counters.filterRefused.load(), 1u);

    Script script;
    script.then(openEditor(IDC_FILTER_ADD)).then(inEditor([](HWND editor) {
        click(editor, IDC_FILTER_BY_EXTENSION);
        choose(editor, IDC_FILTER_EXTENSION, findExtension(L"txt")->index);
        type(editor, IDC_FILTER_MAXIMUM, L"1 мб");
        click(editor, IDOK);
    }));
    script.then(inList([&](HWND list) {
        // The dialog is still open: the receiver already matches against the new record.
        options.seed = 2;
        receiver.feed(makeBroadcast({{"after.txt", textBytes(100, 2), {}}}, options));
        EXPECT_TRUE(receiver.waitUntilIdle());
        PostMessageW(list, WM_COMMAND, IDCANCEL, 0);
    }));
    script.run([&] { showFilterListDialog(self(), owner, receiver.filters); });
    EXPECT_EQ(receiver.extraction->counters.filterRefused.load(), 1u);
    EXPECT_EQ(receiver.extraction->counters.placed.load(), 1u);
}

}  // namespace
