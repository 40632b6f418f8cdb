// quillmoth-screenshots: draws the program's windows, menus and dialogs as the
// user sees them and writes each as a 24-bit BMP into the folder given on the
// command line. Run inside a Wine virtual desktop (scripts/screenshots), where
// Wine draws the frames itself and the screen can be read back.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "resources/resource.h"

namespace {

std::wstring gFolder;
HINSTANCE gInstance = nullptr;

// Reads the screen under `rect` and writes it to folder\name.bmp.
bool saveScreen(const RECT& rect, const wchar_t* name) {
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    DWORD rowBytes = (DWORD(width) * 3 + 3) & ~3u;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + rowBytes * DWORD(height);
    std::wstring path = gFolder + L"\\" + name + L".bmp";
    FILE* out = _wfopen(path.c_str(), L"wb");
    bool ok = out && std::fwrite(&file, sizeof file, 1, out) == 1 &&
              std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
              std::fwrite(bits, rowBytes, size_t(height), out) == size_t(height);
    if (out) std::fclose(out);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
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

void saveDialog(HWND owner, int id, const wchar_t* name) {
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
    wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_SMALL));
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
    saveWindow(frame, L"main_window");
    savePopup(frame, IDR_ROW_MENU, L"row_menu");
    savePopup(frame, IDR_TRAY_MENU, L"tray_menu");
    saveDialog(frame, IDD_ABOUT, L"about_box");
    saveDialog(frame, IDD_PROPERTIES, L"properties_dialog");
    DestroyWindow(frame);
    return 0;
}
