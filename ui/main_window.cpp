// The window program's frame: the entry point, the main window's class, the
// message loop and the end of the program when the window is destroyed.
// The core is not wired in yet: the window shows its menu and answers the
// commands that need nothing else (about, exit).
#include <windows.h>

#include "resources/resource.h"
#include "ui/about_box.h"

namespace {

constexpr int kTextLength = 100;  // title and class name buffers, terminator included

HINSTANCE gInstance = nullptr;

LRESULT onCommand(HWND hwnd, WPARAM wp, LPARAM lp)
{
    switch (LOWORD(wp)) {
    case IDM_ABOUT:
        showAboutBox(gInstance, hwnd);
        return 0;
    case IDM_EXIT:
        DestroyWindow(hwnd);
        return 0;
    default:
        return DefWindowProcW(hwnd, WM_COMMAND, wp, lp);
    }
}

LRESULT CALLBACK mainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_COMMAND:
        return onCommand(hwnd, wp, lp);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

bool registerMainClass(HINSTANCE instance, const wchar_t* className)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = mainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_LARGE));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MAIN_MENU);
    wc.lpszClassName = className;
    wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_SMALL));
    return RegisterClassExW(&wc) != 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    wchar_t title[kTextLength] = {};
    wchar_t className[kTextLength] = {};
    LoadStringW(instance, IDS_APP_TITLE, title, kTextLength);
    LoadStringW(instance, IDS_WINDOW_CLASS, className, kTextLength);
    if (!registerMainClass(instance, className))
        return 0;
    gInstance = instance;

    // The class menu applies: no menu handle here.
    HWND window = CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 0;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_MAIN_ACCEL));
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}
