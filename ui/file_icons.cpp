#include "ui/file_icons.h"

#include <shellapi.h>

#include <climits>
#include <cwchar>

#include "extraction/content_classes.h"
#include "settings/wide_format.h"

namespace {

constexpr int kExeIndex = 17;
constexpr DWORD kClassNameBytes = 128;
constexpr DWORD kValueBytes = 256;  // icon locations and class identifiers
constexpr size_t kKeyPathLength = 300;

class RegistryKey {
public:
    RegistryKey(HKEY root, const wchar_t* path)
    {
        if (RegOpenKeyExW(root, path, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~RegistryKey()
    {
        if (key_) RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool isOpen() const { return key_ != nullptr; }

    // The key's default value as text, with no more than `roomBytes` bytes
    // (terminator included) stored; false when it is missing, not text or
    // longer. `text` holds at least roomBytes / 2 + 1 characters.
    bool readDefault(wchar_t* text, DWORD roomBytes) const
    {
        std::wmemset(text, L'\0', roomBytes / sizeof(wchar_t) + 1);
        DWORD type = 0;
        DWORD size = roomBytes;
        if (RegQueryValueExW(key_, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
            return false;
        if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
        // A stored value need not carry its terminator.
        text[size / sizeof(wchar_t)] = L'\0';
        return true;
    }

private:
    HKEY key_ = nullptr;
};

bool readDefaultValue(HKEY root, const wchar_t* path, wchar_t* text, DWORD roomBytes)
{
    RegistryKey key(root, path);
    return key.isOpen() && key.readDefault(text, roomBytes);
}

bool isBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

int readSignedDecimal(const wchar_t* text)
{
    while (isBlank(*text)) ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
    long long value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        value = value * 10 + (*text - L'0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

// The extension's own icon from the registry, or nullptr. The caller
// destroys it.
HICON extractFileTypeIcon(const wchar_t* extension)
{
    wchar_t location[kValueBytes / sizeof(wchar_t) + 1];
    if (!fileTypeIconLocation(extension, location, sizeof location / sizeof location[0])) return nullptr;
    wchar_t file[MAX_PATH];
    int index = 0;
    splitIconLocation(location, file, MAX_PATH, &index);
    HICON icon = ExtractIconW(GetModuleHandleW(nullptr), file, static_cast<UINT>(index));
    // 1 means a file that holds no icons. With index -1 the result is a count,
    // not an icon: ImageList_ReplaceIcon refuses it and the default is taken.
    if (icon == reinterpret_cast<HICON>(1)) return nullptr;
    return icon;
}

}  // namespace

bool fileTypeIconLocation(const wchar_t* extension, wchar_t* location, size_t capacity)
{
    if (capacity == 0) return false;
    location[0] = L'\0';
    wchar_t path[kKeyPathLength];
    wchar_t className[kClassNameBytes / sizeof(wchar_t) + 1];
    formatWide(path, kKeyPathLength, L"SOFTWARE\\Classes\\.%ls", extension);
    if (!readDefaultValue(HKEY_LOCAL_MACHINE, path, className, kClassNameBytes)) return false;

    wchar_t value[kValueBytes / sizeof(wchar_t) + 1];
    formatWide(path, kKeyPathLength, L"SOFTWARE\\Classes\\%ls\\DefaultIcon", className);
    RegistryKey defaultIcon(HKEY_LOCAL_MACHINE, path);
    if (defaultIcon.isOpen()) {
        if (!defaultIcon.readDefault(value, kValueBytes)) return false;
    } else {
        wchar_t classId[kValueBytes / sizeof(wchar_t) + 1];
        formatWide(path, kKeyPathLength, L"SOFTWARE\\Classes\\%ls\\CLSID", className);
        if (!readDefaultValue(HKEY_LOCAL_MACHINE, path, classId, kValueBytes)) return false;
        formatWide(path, kKeyPathLength, L"CLSID\\%ls\\DefaultIcon", classId);
        if (!readDefaultValue(HKEY_CLASSES_ROOT, path, value, kValueBytes)) return false;
    }
    formatWide(location, capacity, L"%ls", value);
    return true;
}

void splitIconLocation(const wchar_t* location, wchar_t* file, size_t capacity, int* index)
{
    const wchar_t* comma = std::wcschr(location, L',');
    size_t length = comma ? size_t(comma - location) : std::wcslen(location);
    if (capacity > 0) {
        if (length > capacity - 1) length = capacity - 1;
        std::wmemcpy(file, location, length);
        file[length] = L'\0';
    }
    *index = comma ? readSignedDecimal(comma + 1) : 0;
}

HIMAGELIST buildFileTypeImageList()
{
    HICON defaultIcon = nullptr;
    if (HMODULE shell = LoadLibraryW(L"shell32.dll")) {
        defaultIcon = LoadIconW(shell, MAKEINTRESOURCEW(1));
        FreeLibrary(shell);
    }
    HICON applicationIcon = LoadIconW(nullptr, IDI_APPLICATION);
    // Without shell32's icon the positions must still hold.
    if (!defaultIcon) defaultIcon = applicationIcon;

    HIMAGELIST list = ImageList_Create(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                       ILC_COLOR32 | ILC_MASK, 0, 1);
    if (!list) return nullptr;
    for (const ExtensionEntry& entry : ExtensionTable) {
        HICON own = entry.index == kExeIndex ? nullptr : extractFileTypeIcon(entry.text);
        HICON icon = entry.index == kExeIndex ? applicationIcon : (own ? own : defaultIcon);
        if (ImageList_ReplaceIcon(list, -1, icon) == -1) ImageList_ReplaceIcon(list, -1, defaultIcon);
        if (own) DestroyIcon(own);
    }
    return list;
}
