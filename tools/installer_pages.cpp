// installer-pages: walks the installer and then the uninstaller through their
// pages as a user does and draws each page into a 24-bit BMP, for
// scripts/screenshots. Run inside a Wine virtual desktop, where the screen
// can be read back.
//
//   installer-pages SETUP_EXE FOLDER
//
// Starts SETUP_EXE, saves every page and goes on with "Далее" (the button with
// id 1); the "run now" box of the last page is cleared before it closes. Then
// it starts the uninstaller the installation registered, saves its pages and
// lets it run with its defaults (the settings and received files stay).
//
// Exit codes: 0 every page saved; 1 a page did not come up, or did not end, in
// time; 2 bad usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "tools/screen_picture.h"

namespace {

constexpr DWORD kPageTimeoutMs = 30000;
constexpr DWORD kPollMs = 50;
constexpr int kNextButton = 1;
constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmoth";

enum ExitCode { kDone = 0, kTimeout = 1, kUsage = 2 };

std::wstring gFolder;
HANDLE gSetup = nullptr;      // the installer started here
DWORD gWizardProcess = 0;     // the process of the last wizard seen

// Reads the screen under `rect` and writes it to folder\name.bmp.
bool saveScreen(const RECT& rect, const wchar_t* name) {
    return saveScreenPicture(rect, gFolder + L"\\" + name + L".bmp");
}

bool hasClass(HWND window, const wchar_t* name) {
    wchar_t found[64] = L"";
    GetClassNameW(window, found, 64);
    return std::wcscmp(found, name) == 0;
}

// A wizard is a visible top-level dialog holding a page (a message box holds
// none).
BOOL CALLBACK findWizard(HWND window, LPARAM found) {
    if (!IsWindowVisible(window) || !hasClass(window, L"#32770")) return TRUE;
    if (!FindWindowExW(window, nullptr, L"#32770", nullptr)) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// The wizard's outer window. The uninstaller runs from a copy of itself, so
// its process is not the one started here.
HWND wizard() {
    HWND found = nullptr;
    EnumWindows(findWizard, reinterpret_cast<LPARAM>(&found));
    return found;
}

// The page shown: the inner dialog that each page replaces.
HWND page(HWND outer) {
    return outer ? FindWindowExW(outer, nullptr, L"#32770", nullptr) : nullptr;
}

// Waits for a page other than `previous` whose "Далее" is enabled (the
// progress page enables it once the work is done), then lets it paint.
HWND waitForPage(HWND previous) {
    for (DWORD waited = 0; waited < kPageTimeoutMs; waited += kPollMs) {
        HWND outer = wizard();
        HWND inner = page(outer);
        HWND next = outer ? GetDlgItem(outer, kNextButton) : nullptr;
        if (outer) GetWindowThreadProcessId(outer, &gWizardProcess);
        if (inner && inner != previous && next && IsWindowEnabled(next)) {
            Sleep(700);
            return inner;
        }
        Sleep(kPollMs);
    }
    return nullptr;
}

bool savePage(HWND inner, const wchar_t* name) {
    HWND outer = GetParent(inner);
    SetForegroundWindow(outer);
    Sleep(200);
    RECT rect;
    GetWindowRect(outer, &rect);
    if (saveScreen(rect, name)) return true;
    std::fwprintf(stderr, L"could not save %ls\n", name);
    return false;
}

void pressNext(HWND inner) {
    HWND outer = GetParent(inner);
    PostMessageW(outer, WM_COMMAND, MAKEWPARAM(kNextButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(outer, kNextButton)));
}

BOOL CALLBACK clearCheckBox(HWND child, LPARAM) {
    LONG type = GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK;
    if (hasClass(child, L"Button") && (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX))
        SendMessageW(child, BM_SETCHECK, BST_UNCHECKED, 0);
    return TRUE;
}

bool waitForNoWizard() {
    for (DWORD waited = 0; waited < kPageTimeoutMs; waited += kPollMs) {
        if (!wizard()) return true;
        Sleep(kPollMs);
    }
    return false;
}

// Saves the pages in order, pressing "Далее" after each; before the last
// one is left, `beforeLast` runs on it.
bool walk(const wchar_t* const* names, int count, void (*beforeLast)(HWND)) {
    HWND inner = nullptr;
    for (int i = 0; i < count; ++i) {
        inner = waitForPage(inner);
        if (!inner) {
            std::fwprintf(stderr, L"page %ls did not come up\n", names[i]);
            return false;
        }
        if (!savePage(inner, names[i])) return false;
        if (i == count - 1 && beforeLast) beforeLast(inner);
        pressNext(inner);
    }
    if (waitForNoWizard()) return true;
    std::fwprintf(stderr, L"the wizard did not close\n");
    return false;
}

bool start(const std::wstring& program) {
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fwprintf(stderr, L"could not start %ls (error %lu)\n", program.c_str(), GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    if (gSetup) CloseHandle(gSetup);
    gSetup = process.hProcess;
    return true;
}

std::wstring installedFolder() {
    wchar_t folder[MAX_PATH] = L"";
    DWORD size = sizeof folder - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, L"InstallLocation", RRF_RT_REG_SZ, nullptr, folder,
                     &size) != ERROR_SUCCESS)
        return std::wstring();
    return folder;
}

void clearRunNow(HWND inner) { EnumChildWindows(inner, clearCheckBox, 0); }

// After a failure: a wizard left open, or a message box of the installer,
// would keep the caller (which waits for every process of the Wine prefix)
// waiting for ever.
void endWizards() {
    if (gSetup) TerminateProcess(gSetup, 1);
    HANDLE wizard = gWizardProcess ? OpenProcess(PROCESS_TERMINATE, FALSE, gWizardProcess) : nullptr;
    if (wizard) {
        TerminateProcess(wizard, 1);
        CloseHandle(wizard);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: installer-pages SETUP_EXE FOLDER\n");
        return kUsage;
    }
    gFolder = argv[2];
    static const wchar_t* const installerPages[] = {L"installer_welcome", L"installer_directory",
                                                    L"installer_progress", L"installer_finish"};
    static const wchar_t* const uninstallerPages[] = {L"uninstaller_confirm", L"uninstaller_components",
                                                      L"uninstaller_progress"};
    if (!start(argv[1]) || !walk(installerPages, 4, clearRunNow)) {
        endWizards();
        return kTimeout;
    }
    std::wstring folder = installedFolder();
    if (folder.empty()) {
        std::fwprintf(stderr, L"the installation registered no folder\n");
        return kTimeout;
    }
    if (!start(folder + L"\\uninstall.exe") || !walk(uninstallerPages, 3, nullptr)) {
        endWizards();
        return kTimeout;
    }
    return kDone;
}
