// The window program's resources as the user meets them: texts, menus,
// accelerators, dialogs, icons and the manifest, read back through the same
// calls the program makes. The resource script is linked into this test.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "resources/resource.h"

namespace {

HINSTANCE self() { return GetModuleHandleW(nullptr); }

std::wstring menuText(HMENU menu, int position)
{
    wchar_t text[256] = {};
    GetMenuStringW(menu, static_cast<UINT>(position), text, 256, MF_BYPOSITION);
    return text;
}

struct MenuItem {
    const wchar_t* text;
    UINT id;
};

// Checks a menu's items in order: captions and command ids.
void expectItems(HMENU menu, const std::vector<MenuItem>& items)
{
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), static_cast<int>(items.size()));
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(menuText(menu, static_cast<int>(i)), items[i].text);
        EXPECT_EQ(GetMenuItemID(menu, static_cast<int>(i)), items[i].id);
    }
}

TEST(Resources, StringTableHoldsTitleAndClassName)
{
    struct Case {
        UINT id;
        const wchar_t* text;
    } cases[] = {{IDS_APP_TITLE, L"Quillmoth 0.05"}, {IDS_WINDOW_CLASS, L"QUILLMOTH"}};
    for (const Case& c : cases) {
        wchar_t text[100] = {};
        EXPECT_GT(LoadStringW(self(), c.id, text, 100), 0) << c.id;
        EXPECT_STREQ(text, c.text);
    }
}

TEST(Resources, MainMenuHasItsFourMenusAndCommands)
{
    HMENU bar = LoadMenuW(self(), MAKEINTRESOURCEW(109));
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(GetMenuItemCount(bar), 4);
    const wchar_t* captions[] = {L"&Файл", L"&Вид", L"С&ервис", L"&Справка"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(menuText(bar, i), captions[i]) << i;

    expectItems(GetSubMenu(bar, 0), {{L"В&ыход", 105}});
    HMENU view = GetSubMenu(bar, 1);
    ASSERT_EQ(GetMenuItemCount(view), 1);
    EXPECT_EQ(menuText(view, 0), L"Скорость обновления");
    expectItems(GetSubMenu(view, 0), {{L"Низкая", 32772}, {L"Обычная", 32773}, {L"Высокая", 32774}});
    expectItems(GetSubMenu(bar, 2), {{L"Фильтры...", 32771}, {L"Параметры...", 32779}});
    expectItems(GetSubMenu(bar, 3), {{L"&О программе ...", 104}});
    DestroyMenu(bar);
}

TEST(Resources, PopUpMenusShowTheirFirstSubMenu)
{
    struct Case {
        int id;
        std::vector<MenuItem> items;
    } cases[] = {
        {139, {{L"Удалить", 32780}, {L"Свойства", 32781}}},
        {141, {{L"Восстановить", 32782}, {L"Выход", 105}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        HMENU menu = LoadMenuW(self(), MAKEINTRESOURCEW(c.id));
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(menuText(menu, 0), L"Меню");
        expectItems(GetSubMenu(menu, 0), c.items);
        DestroyMenu(menu);
    }
}

// Counts the WM_COMMAND ids that reach a plain window.
std::vector<WORD> gCommands;
LRESULT CALLBACK recordingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_COMMAND) {
        gCommands.push_back(LOWORD(wp));
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

TEST(Resources, AltQuestionMarkAndAltSlashOpenTheAboutBox)
{
    HACCEL table = LoadAcceleratorsW(self(), MAKEINTRESOURCEW(109));
    ASSERT_NE(table, nullptr);
    ACCEL entries[4] = {};
    ASSERT_EQ(CopyAcceleratorTableW(table, entries, 4), 2);
    for (const ACCEL& a : entries) {
        if (a.cmd == 0)
            continue;
        EXPECT_EQ(a.cmd, IDM_ABOUT);
        EXPECT_EQ(a.fVirt & (FVIRTKEY | FALT | FCONTROL | FSHIFT), FALT) << "a character key with Alt";
    }
    EXPECT_TRUE((entries[0].key == '?' && entries[1].key == '/') || (entries[0].key == '/' && entries[1].key == '?'));

    WNDCLASSW wc = {};
    wc.lpfnWndProc = recordingProc;
    wc.hInstance = self();
    wc.lpszClassName = L"QmAcceleratorProbe";
    ASSERT_NE(RegisterClassW(&wc), 0);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                  nullptr, self(), nullptr);
    ASSERT_NE(window, nullptr);

    // A character typed with Alt held arrives as WM_SYSCHAR with bit 29 set
    // while the thread's key state has Alt down; without Alt it is a plain
    // WM_CHAR and must stay a character.
    struct Case {
        bool alt;
        wchar_t key;
        bool translated;
    } cases[] = {
        {true, L'?', true}, {true, L'/', true}, {false, L'?', false}, {false, L'/', false}, {true, L'x', false},
    };
    BYTE keys[256] = {};
    ASSERT_TRUE(GetKeyboardState(keys));
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.key));
        SCOPED_TRACE(c.alt ? "with Alt" : "without Alt");
        keys[VK_MENU] = c.alt ? 0x80 : 0;
        ASSERT_TRUE(SetKeyboardState(keys));
        gCommands.clear();
        MSG msg = {};
        msg.hwnd = window;
        msg.message = c.alt ? WM_SYSCHAR : WM_CHAR;
        msg.wParam = c.key;
        msg.lParam = c.alt ? 0x20000001 : 0x00000001;
        EXPECT_EQ(TranslateAcceleratorW(window, table, &msg) != 0, c.translated);
        if (c.translated)
            EXPECT_EQ(gCommands, std::vector<WORD>{IDM_ABOUT});
        else
            EXPECT_TRUE(gCommands.empty());
    }
    keys[VK_MENU] = 0;
    SetKeyboardState(keys);
    DestroyWindow(window);
    DestroyAcceleratorTable(table);
}

INT_PTR CALLBACK quietDialogProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

std::wstring windowText(HWND hwnd)
{
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 256);
    return text;
}

struct Control {
    int id;  // -1: a label, found by its text
    const wchar_t* text;
    RECT units;  // x, y, width, height in dialog units
};

BOOL CALLBACK findLabel(HWND child, LPARAM lp)
{
    auto* wanted = reinterpret_cast<std::pair<const wchar_t*, HWND>*>(lp);
    if (windowText(child) == wanted->first) {
        wanted->second = child;
        return FALSE;
    }
    return TRUE;
}

// Opens a dialog modeless and checks its caption and each control's text and
// place (converted from dialog units the way the dialog itself converts them).
void expectDialog(int id, const wchar_t* caption, const std::vector<Control>& controls)
{
    SCOPED_TRACE(id);
    HWND dialog = CreateDialogParamW(self(), MAKEINTRESOURCEW(id), nullptr, quietDialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(windowText(dialog), caption);
    for (const Control& c : controls) {
        SCOPED_TRACE(c.text);
        HWND child = nullptr;
        if (c.id == -1) {
            std::pair<const wchar_t*, HWND> wanted{c.text, nullptr};
            EnumChildWindows(dialog, findLabel, reinterpret_cast<LPARAM>(&wanted));
            child = wanted.second;
        } else {
            child = GetDlgItem(dialog, c.id);
        }
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(windowText(child), c.text);
        // The dialog converts position and size each on its own.
        RECT expected = c.units;
        MapDialogRect(dialog, &expected);
        RECT actual;
        GetWindowRect(child, &actual);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        EXPECT_EQ(actual.right - actual.left, expected.right) << "width";
        EXPECT_EQ(actual.bottom - actual.top, expected.bottom) << "height";
    }
    DestroyWindow(dialog);
}

TEST(Resources, AboutBoxShowsNameVersionAndCyrillicOk)
{
    expectDialog(103, L"О программе Quillmoth",
                 {{-1, L"Quillmoth, версия 0.05", {42, 14, 114, 8}}, {IDOK, L"\u041E\u041A", {113, 41, 50, 14}}});
    HWND dialog = CreateDialogParamW(self(), MAKEINTRESOURCEW(103), nullptr, quietDialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(dialog, IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON);
    DestroyWindow(dialog);
}

TEST(Resources, PropertiesDialogHasItsLabelsAndEmptyValueFields)
{
    expectDialog(140, L"Свойства",
                 {
                     {IDOK, L"OK", {77, 126, 50, 14}},
                     {-1, L"Размер файла:", {7, 17, 52, 8}},
                     {-1, L"MAC адрес назначения:", {7, 35, 82, 8}},
                     {-1, L"IP адрес источника:", {7, 55, 68, 8}},
                     {-1, L"IP адрес назначения:", {7, 77, 73, 8}},
                     {1043, L"", {100, 18, 98, 8}},
                     {1041, L"", {100, 36, 98, 8}},
                     {1042, L"", {100, 55, 98, 8}},
                     {1040, L"", {100, 77, 98, 8}},
                 });
    HWND dialog = CreateDialogParamW(self(), MAKEINTRESOURCEW(140), nullptr, quietDialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    for (int id : {1040, 1041, 1042, 1043}) {
        LONG style = GetWindowLongW(GetDlgItem(dialog, id), GWL_STYLE);
        EXPECT_EQ(style & SS_TYPEMASK, SS_LEFTNOWORDWRAP) << id;
    }
    DestroyWindow(dialog);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved, type, count;
};
#pragma pack(pop)

TEST(Resources, BothIconGroupsHold16And32And48PixelImages)
{
    for (int group : {IDI_APP_LARGE, IDI_APP_SMALL}) {
        SCOPED_TRACE(group);
        HRSRC found = FindResourceW(self(), MAKEINTRESOURCEW(group), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
        ASSERT_NE(found, nullptr);
        const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(self(), found)));
        GroupIconHeader header;
        std::memcpy(&header, bytes, sizeof header);
        ASSERT_EQ(header.count, 3);
        std::vector<int> sizes;
        for (int i = 0; i < header.count; ++i) {
            GroupIconEntry e;
            std::memcpy(&e, bytes + sizeof header + i * sizeof e, sizeof e);
            sizes.push_back(e.width);
            EXPECT_EQ(e.bitCount, 32);
        }
        EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48}));

        for (int size : {16, 32, 48}) {
            SCOPED_TRACE(size);
            HICON icon = static_cast<HICON>(
                LoadImageW(self(), MAKEINTRESOURCEW(group), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
            ASSERT_NE(icon, nullptr);
            ICONINFO info = {};
            ASSERT_TRUE(GetIconInfo(icon, &info));
            ASSERT_NE(info.hbmColor, nullptr);
            BITMAP bm = {};
            GetObjectW(info.hbmColor, sizeof bm, &bm);
            EXPECT_EQ(bm.bmWidth, size);
            EXPECT_EQ(bm.bmHeight, size);

            // The mark covers part of the square and leaves the corners clear.
            BITMAPINFO bi = {};
            bi.bmiHeader.biSize = sizeof bi.bmiHeader;
            bi.bmiHeader.biWidth = size;
            bi.bmiHeader.biHeight = -size;
            bi.bmiHeader.biPlanes = 1;
            bi.bmiHeader.biBitCount = 32;
            std::vector<DWORD> pixels(size * size);
            HDC dc = GetDC(nullptr);
            ASSERT_EQ(GetDIBits(dc, info.hbmColor, 0, size, pixels.data(), &bi, DIB_RGB_COLORS), size);
            ReleaseDC(nullptr, dc);
            int opaque = 0;
            for (DWORD p : pixels)
                opaque += (p >> 24) == 0xFF;
            EXPECT_GT(opaque, size * size / 5);
            EXPECT_LT(opaque, size * size * 4 / 5);
            EXPECT_EQ(pixels[0] >> 24, 0u);
            EXPECT_EQ(pixels[size * size - 1] >> 24, 0u);
            DeleteObject(info.hbmColor);
            DeleteObject(info.hbmMask);
            DestroyIcon(icon);
        }
    }
}

TEST(Resources, ManifestAsksForCommonControls6AndNoElevation)
{
    HRSRC found = FindResourceW(self(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(self(), found)));
    std::string manifest(text, SizeofResource(self(), found));
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}

// The program itself carries every resource this test reads from its own copy.
TEST(Resources, TheProgramCarriesEveryResource)
{
    HMODULE program = LoadLibraryExW(QM_PROGRAM, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr) << QM_PROGRAM;
    struct Case {
        int type;
        int id;
    } cases[] = {
        {6, IDS_APP_TITLE / 16 + 1},  // RT_STRING: the block holding 103 and 109
        {14, IDI_APP_LARGE}, {14, IDI_APP_SMALL},  // RT_GROUP_ICON
        {4, IDR_MAIN_MENU}, {4, IDR_ROW_MENU}, {4, IDR_TRAY_MENU},  // RT_MENU
        {9, IDR_MAIN_ACCEL},  // RT_ACCELERATOR
        {5, IDD_ABOUT}, {5, IDD_PROPERTIES},  // RT_DIALOG
        {24, 1},  // RT_MANIFEST
    };
    for (const Case& c : cases)
        EXPECT_NE(FindResourceW(program, MAKEINTRESOURCEW(c.id), MAKEINTRESOURCEW(c.type)), nullptr)
            << "type " << c.type << ", id " << c.id;
    wchar_t title[100] = {};
    LoadStringW(program, IDS_APP_TITLE, title, 100);
    EXPECT_STREQ(title, L"Quillmoth 0.05");
    FreeLibrary(program);
}

}  // namespace
