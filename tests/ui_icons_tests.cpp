// The file-type image list built from registry entries this test writes into
// its own prefix (and removes again), and the texts of the properties dialog
// opened against a snapshot.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "extraction/content_classes.h"
#include "extraction/transfer.h"
#include "resources/resource.h"
#include "ui/file_icons.h"
#include "ui/properties_dialog.h"

namespace {

// ---------------------------------------------------------------------------
// Registry entries of the test

std::wstring systemFile(const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

void setDefaultValue(HKEY root, const std::wstring& path, const std::wstring& value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS)
        << path.c_str();
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void setDefaultNumber(HKEY root, const std::wstring& path, DWORD number)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
    RegSetValueExW(key, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(key);
}

bool keyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

const std::wstring kClasses = L"SOFTWARE\\Classes\\";
const std::wstring kClassId = L"{5A0C1E52-7D3B-4F61-9C2A-0B8E4D6F1A37}";
const std::wstring kLongClass(70, L'Q');  // longer than the lookup's room for a class name

std::wstring shell32() { return systemFile(L"shell32.dll"); }
// A module without icon resources.
std::wstring noIconsFile() { return systemFile(L"kernel32.dll"); }

struct Layout {
    std::wstring negative = shell32() + L",-3";
    std::wstring positive = shell32() + L",2";
    std::wstring byClassId = shell32() + L",-4";
    std::wstring noIcons = noIconsFile() + L",0";
};

// Extensions of the table that a fresh prefix leaves unregistered, each
// given one case below; "nrg" stays unregistered. Nor does it register
// "exe" itself (only a class for it), so the test gives it an icon of its own.
const wchar_t* const kTestExtensions[] = {L"djv", L"flv", L"swf", L"au", L"iso", L"cab", L"wma", L"json", L"exe"};

void removeTestEntries()
{
    for (const wchar_t* extension : kTestExtensions)
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kClasses + L"." + extension).c_str());
    for (const wchar_t* name : {L"QuillmothTest.Negative", L"QuillmothTest.Positive", L"QuillmothTest.ByClassId",
                                L"QuillmothTest.NoIcons", L"QuillmothTest.Bare", L"QuillmothTest.NotText"})
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kClasses + name).c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kClasses + kLongClass).c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kClasses + L"CLSID\\" + kClassId).c_str());
}

void writeTestEntries()
{
    Layout layout;
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L".djv", L"QuillmothTest.Negative");
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L"QuillmothTest.Negative\\DefaultIcon", layout.negative);
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L".flv", L"QuillmothTest.Positive");
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L"QuillmothTest.Positive\\DefaultIcon", layout.positive);
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L".swf", L"QuillmothTest.ByClassId");
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L"QuillmothTest.ByClassId\\CLSID", kClassId);
    // Written under HKLM, read back through HKEY_CLASSES_ROOT.
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L"CLSID\\" + kClassId + L"\\DefaultIcon", layout.byClassId);
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L".au", L"QuillmothTest.NoIcons");
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L"QuillmothTest.NoIcons\\DefaultIcon", layout.noIcons);
    // A class that is named but not there.
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L".iso", L"QuillmothTest.Missing");
    // A class with neither DefaultIcon nor CLSID.
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L".cab", L"QuillmothTest.Bare");
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L"QuillmothTest.Bare\\shell", L"");
    // A class name too long for the lookup, although its icon is there.
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L".wma", kLongClass);
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + kLongClass + L"\\DefaultIcon", layout.positive);
    // A DefaultIcon that is a number, not text.
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L".json", L"QuillmothTest.NotText");
    setDefaultNumber(HKEY_LOCAL_MACHINE, kClasses + L"QuillmothTest.NotText\\DefaultIcon", 7);
    // Executables with a real icon in the registry.
    setDefaultValue(HKEY_LOCAL_MACHINE, kClasses + L".exe", L"QuillmothTest.Positive");
}

// ---------------------------------------------------------------------------
// Images compared by their pixels and masks, as the list holds them

struct ImageBits {
    std::vector<uint32_t> color;
    std::vector<uint32_t> mask;
    bool operator==(const ImageBits& other) const { return color == other.color && mask == other.mask; }
    bool operator!=(const ImageBits& other) const { return !(*this == other); }
};

// Failures print a checksum, not the vectors' insides.
void PrintTo(const ImageBits& bits, std::ostream* out)
{
    uint32_t sum = 2166136261u;
    for (const std::vector<uint32_t>* part : {&bits.color, &bits.mask})
        for (uint32_t pixel : *part) sum = (sum ^ pixel) * 16777619u;
    *out << bits.color.size() << " pixels, checksum " << std::hex << sum << std::dec;
}

std::vector<uint32_t> bitmapBits(HBITMAP bitmap, int width, int height)
{
    std::vector<uint32_t> bits(static_cast<size_t>(width) * height);
    if (!bitmap) return {};
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    int lines = GetDIBits(screen, bitmap, 0, height, bits.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (lines != height) return {};
    return bits;
}

ImageBits imageBits(HIMAGELIST list, int index)
{
    ImageBits result;
    int width = 0, height = 0;
    ImageList_GetIconSize(list, &width, &height);
    HICON icon = ImageList_GetIcon(list, index, ILD_NORMAL);
    if (!icon) return result;
    ICONINFO info = {};
    if (GetIconInfo(icon, &info)) {
        result.color = bitmapBits(info.hbmColor, width, height);
        result.mask = bitmapBits(info.hbmMask, width, height);
        if (info.hbmColor) DeleteObject(info.hbmColor);
        if (info.hbmMask) DeleteObject(info.hbmMask);
    }
    DestroyIcon(icon);
    return result;
}

// An icon as the file-type list would hold it: put through a list of the
// same kind.
ImageBits iconBits(HICON icon)
{
    HIMAGELIST list = ImageList_Create(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                       ILC_COLOR32 | ILC_MASK, 0, 1);
    ImageBits result;
    if (ImageList_ReplaceIcon(list, -1, icon) == 0) result = imageBits(list, 0);
    ImageList_Destroy(list);
    return result;
}

ImageBits extractedBits(const std::wstring& file, int index)
{
    HICON icon = ExtractIconW(GetModuleHandleW(nullptr), file.c_str(), static_cast<UINT>(index));
    if (!icon || icon == reinterpret_cast<HICON>(1)) return {};
    ImageBits bits = iconBits(icon);
    DestroyIcon(icon);
    return bits;
}

ImageBits defaultBits()
{
    HMODULE shell = LoadLibraryW(L"shell32.dll");
    ImageBits bits = iconBits(LoadIconW(shell, MAKEINTRESOURCEW(1)));
    FreeLibrary(shell);
    return bits;
}

int indexOf(const wchar_t* extension) { return findExtension(extension)->index; }

class FileTypeIcons : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        removeTestEntries();
        // A fresh prefix registers none of the test's extensions, nor "nrg".
        for (const wchar_t* extension : kTestExtensions)
            ASSERT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kClasses + L"." + extension)) << extension;
        ASSERT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kClasses + L".nrg"));
        writeTestEntries();
        list_ = buildFileTypeImageList();
    }
    static void TearDownTestSuite()
    {
        if (list_) ImageList_Destroy(list_);
        list_ = nullptr;
        removeTestEntries();
    }
    static HIMAGELIST list_;
};

HIMAGELIST FileTypeIcons::list_ = nullptr;

TEST_F(FileTypeIcons, LocationIsFoundThroughTheClassOrItsClassId)
{
    Layout layout;
    struct Case {
        const wchar_t* extension;
        bool found;
        std::wstring location;
    } cases[] = {
        {L"djv", true, layout.negative},
        {L"flv", true, layout.positive},
        {L"swf", true, layout.byClassId},
        {L"au", true, layout.noIcons},
        {L"nrg", false, L""},   // no class at all
        {L"iso", false, L""},   // the class named is not there
        {L"cab", false, L""},   // a class without DefaultIcon and CLSID
        {L"wma", false, L""},   // a class name longer than the room for it
        {L"json", false, L""},  // a DefaultIcon that is not text
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.extension);
        wchar_t location[200] = L"junk";
        EXPECT_EQ(fileTypeIconLocation(c.extension, location, 200), c.found);
        if (c.found) {
            EXPECT_EQ(std::wstring(location), c.location);
        }
    }
}

TEST_F(FileTypeIcons, ListHoldsOneSmallImagePerTableEntry)
{
    ASSERT_NE(list_, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(list_), kExtensionCount);
    int width = 0, height = 0;
    ASSERT_TRUE(ImageList_GetIconSize(list_, &width, &height));
    EXPECT_EQ(width, GetSystemMetrics(SM_CXSMICON));
    EXPECT_EQ(height, GetSystemMetrics(SM_CYSMICON));
}

TEST_F(FileTypeIcons, ImagesAreTheRegistryIconsOrTheDefault)
{
    ASSERT_NE(list_, nullptr);
    const ImageBits fallback = defaultBits();
    ASSERT_FALSE(fallback.color.empty());
    const std::wstring shell = shell32();
    struct Extracted {
        const wchar_t* extension;
        int index;
    } extracted[] = {{L"djv", -3}, {L"flv", 2}, {L"swf", -4}};
    for (const Extracted& e : extracted) {
        SCOPED_TRACE(e.index);
        ImageBits expected = extractedBits(shell, e.index);
        ASSERT_FALSE(expected.color.empty());
        ASSERT_NE(expected, fallback) << "the case would not tell its icon from the default";
        EXPECT_EQ(imageBits(list_, indexOf(e.extension)), expected);
    }
    for (const wchar_t* extension : {L"au", L"nrg", L"iso", L"cab", L"wma", L"json"}) {
        SCOPED_TRACE(indexOf(extension));
        EXPECT_EQ(imageBits(list_, indexOf(extension)), fallback);
    }
}

TEST_F(FileTypeIcons, ExecutablesShowTheApplicationIconWhateverTheRegistrySays)
{
    ASSERT_NE(list_, nullptr);
    const ImageBits application = iconBits(LoadIconW(nullptr, IDI_APPLICATION));
    ASSERT_FALSE(application.color.empty());
    ASSERT_NE(application, defaultBits());
    EXPECT_EQ(indexOf(L"exe"), 17);
    EXPECT_EQ(imageBits(list_, 17), application);
    // The registry names another icon for executables, and it is not taken.
    Layout layout;
    wchar_t location[200] = {};
    ASSERT_TRUE(fileTypeIconLocation(L"exe", location, 200));
    EXPECT_EQ(std::wstring(location), layout.positive);
    EXPECT_NE(extractedBits(shell32(), 2), application);
}

TEST(IconLocation, SplitsAtTheFirstCommaIntoFileAndSignedIndex)
{
    struct Case {
        const wchar_t* location;
        const wchar_t* file;
        int index;
    } cases[] = {
        {L"C:\\a\\icons.dll,-3", L"C:\\a\\icons.dll", -3},
        {L"icons.dll,2", L"icons.dll", 2},
        {L"icons.dll", L"icons.dll", 0},
        {L"icons.dll,", L"icons.dll", 0},
        {L",5", L"", 5},
        {L"a,b,3", L"a", 0},                  // the index stops at the first non-digit
        {L"a,  +7x", L"a", 7},                // leading blanks and a sign
        {L"a,\t-12,4", L"a", -12},
        {L"a,- 3", L"a", 0},                  // a sign with no digit after it
        {L"\"C:\\p q\\f.dll\",1", L"\"C:\\p q\\f.dll\"", 1},  // quotes kept
        {L"%SystemRoot%\\f.dll,1", L"%SystemRoot%\\f.dll", 1},  // no expansion
        {L"", L"", 0},
    };
    for (const Case& c : cases) {
        wchar_t file[MAX_PATH] = L"junk";
        int index = 99;
        splitIconLocation(c.location, file, MAX_PATH, &index);
        EXPECT_STREQ(file, c.file) << c.index;
        EXPECT_EQ(index, c.index) << c.index;
    }
    wchar_t small[4];
    int index = 0;
    splitIconLocation(L"abcdef,9", small, 4, &index);
    EXPECT_STREQ(small, L"abc");
    EXPECT_EQ(index, 9);
}

// ---------------------------------------------------------------------------
// The properties dialog

TEST(PropertiesTexts, SizeTakesTheLargestUnitAndAlwaysTheUnsignedByteCount)
{
    struct Case {
        uint32_t length;
        const wchar_t* text;
    } cases[] = {
        {1, L"1 байт"},
        {1023, L"1023 байт"},
        {1024, L"1.00 кБ (1024 байт)"},
        {1536, L"1.50 кБ (1536 байт)"},
        {1048575, L"1024.00 кБ (1048575 байт)"},
        {1048576, L"1.00 МБ (1048576 байт)"},
        {1073741823, L"1024.00 МБ (1073741823 байт)"},
        {1073741824, L"1.00 ГБ (1073741824 байт)"},
        {2147483648u, L"2.00 ГБ (2147483648 байт)"},
        {4294967295u, L"4.00 ГБ (4294967295 байт)"},
    };
    for (const Case& c : cases) {
        wchar_t text[64];
        formatPropertiesSize(c.length, text, 64);
        EXPECT_STREQ(text, c.text) << c.length;
    }
}

TEST(PropertiesTexts, AddressesAndMacInTheirUsualForms)
{
    wchar_t text[64];
    formatPropertiesAddress(0xE0010203, text, 64);
    EXPECT_STREQ(text, L"224.1.2.3");
    formatPropertiesAddress(0, text, 64);
    EXPECT_STREQ(text, L"0.0.0.0");
    formatPropertiesAddress(0xFFFFFFFF, text, 64);
    EXPECT_STREQ(text, L"255.255.255.255");
    const uint8_t multicast[6] = {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03};
    formatPropertiesMac(multicast, text, 64);
    EXPECT_STREQ(text, L"01:00:5E:01:02:03");
    const uint8_t high[6] = {0xFF, 0xAB, 0x0C, 0xD0, 0x00, 0x9F};
    formatPropertiesMac(high, text, 64);
    EXPECT_STREQ(text, L"FF:AB:0C:D0:00:9F");
}

TEST(PropertiesTexts, CaptionIsCutTo255Characters)
{
    wchar_t caption[256];
    formatPropertiesCaption(L"report.pdf", caption, 256);
    EXPECT_STREQ(caption, L"Свойства: report.pdf");
    const std::wstring name(255, L'ж');
    formatPropertiesCaption(name.c_str(), caption, 256);
    EXPECT_EQ(std::wstring(caption), L"Свойства: " + name.substr(0, 245));
}

struct SeenDialog {
    bool found = false;
    std::wstring caption, size, mac, source, destination;
    bool closedOnTime = true;
};

SeenDialog gSeen;
UINT gCloseMessage = 0;  // BM_CLICK on OK, or WM_CLOSE
int gTicks = 0;

BOOL CALLBACK findDialog(HWND window, LPARAM found)
{
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (std::wstring(name) != L"#32770") return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

std::wstring controlText(HWND dialog, int id)
{
    wchar_t text[300] = {};
    GetDlgItemTextW(dialog, id, text, 300);
    return text;
}

// Runs inside the dialog's modal loop: reads what the user sees, then closes
// the dialog the way the user would (and ends it by force if that fails).
void CALLBACK readAndClose(HWND, UINT, UINT_PTR, DWORD)
{
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), findDialog, reinterpret_cast<LPARAM>(&dialog));
    if (!dialog) return;
    ++gTicks;
    if (!gSeen.found) {
        gSeen.found = true;
        wchar_t caption[300] = {};
        GetWindowTextW(dialog, caption, 300);
        gSeen.caption = caption;
        gSeen.size = controlText(dialog, IDC_PROP_SIZE);
        gSeen.mac = controlText(dialog, IDC_PROP_DEST_MAC);
        gSeen.source = controlText(dialog, IDC_PROP_SOURCE_IP);
        gSeen.destination = controlText(dialog, IDC_PROP_DEST_IP);
        if (gCloseMessage == BM_CLICK)
            PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        else
            PostMessageW(dialog, gCloseMessage, 0, 0);
    } else if (gTicks > 50) {
        gSeen.closedOnTime = false;
        EndDialog(dialog, 0);
    }
}

SeenDialog openProperties(const Transfer& snapshot, UINT closeMessage)
{
    gSeen = SeenDialog();
    gCloseMessage = closeMessage;
    gTicks = 0;
    UINT_PTR timer = SetTimer(nullptr, 0, 20, readAndClose);
    showPropertiesDialog(GetModuleHandleW(nullptr), nullptr, &snapshot);
    KillTimer(nullptr, timer);
    return gSeen;
}

std::unique_ptr<Transfer> sampleSnapshot()
{
    auto snapshot = std::make_unique<Transfer>();
    wcscpy(snapshot->fileName, L"отчёт.pdf");
    snapshot->length = 1536;
    snapshot->destinationAddress = 0xE0010203;  // 224.1.2.3
    snapshot->sourceAddress = 0x0A000001;       // 10.0.0.1
    const uint8_t mac[6] = {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03};
    memcpy(snapshot->destinationMac, mac, 6);
    return snapshot;
}

TEST(PropertiesDialog, ShowsTheSnapshotAndClosesWithOk)
{
    auto snapshot = sampleSnapshot();
    SeenDialog seen = openProperties(*snapshot, BM_CLICK);
    ASSERT_TRUE(seen.found);
    EXPECT_TRUE(seen.closedOnTime);
    EXPECT_EQ(seen.caption, L"Свойства: отчёт.pdf");
    EXPECT_EQ(seen.size, L"1.50 кБ (1536 байт)");
    EXPECT_EQ(seen.destination, L"224.1.2.3");
    EXPECT_EQ(seen.source, L"10.0.0.1");
    EXPECT_EQ(seen.mac, L"01:00:5E:01:02:03");
}

TEST(PropertiesDialog, LongNameAndLargeLengthAndTheCloseBox)
{
    auto snapshot = sampleSnapshot();
    const std::wstring name(255, L'я');
    wcscpy(snapshot->fileName, name.c_str());
    snapshot->length = 3221225472u;  // 3 GB: beyond a signed 32-bit count
    snapshot->sourceAddress = 0xC0A80AFE;
    SeenDialog seen = openProperties(*snapshot, WM_CLOSE);
    ASSERT_TRUE(seen.found);
    EXPECT_TRUE(seen.closedOnTime);
    EXPECT_EQ(seen.caption.size(), 255u);
    EXPECT_EQ(seen.caption, L"Свойства: " + name.substr(0, 245));
    EXPECT_EQ(seen.size, L"3.00 ГБ (3221225472 байт)");
    EXPECT_EQ(seen.source, L"192.168.10.254");
}

}  // namespace
