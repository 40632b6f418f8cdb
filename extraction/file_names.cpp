#include "extraction/file_names.h"

#include <cwchar>

#include "extraction/content_classes.h"

namespace {

bool forbidden(wchar_t c) {
    return c < 0x20 || c == 0x7F || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' ||
           c == L'"' || c == L'<' || c == L'>' || c == L'|';
}

// Windows resolves these names to devices whatever extension follows them,
// and ignores trailing blanks and dots before that extension.
bool isDeviceName(const wchar_t* name) {
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    size_t length = 0;
    while (name[length] && name[length] != L'.') ++length;
    while (length > 0 && (name[length - 1] == L' ' || name[length - 1] == L'.')) --length;
    for (const wchar_t* device : kDevices)
        if (std::wcslen(device) == length && equalsIgnoringAsciiCase(name, device, length)) return true;
    if (length == 4 && (equalsIgnoringAsciiCase(name, L"COM", 3) || equalsIgnoringAsciiCase(name, L"LPT", 3)))
        return name[3] >= L'0' && name[3] <= L'9';
    return false;
}

}  // namespace

void confineFileName(wchar_t* name, size_t capacity) {
    if (capacity == 0) return;
    size_t length = 0;
    for (; name[length]; ++length)
        if (forbidden(name[length])) name[length] = L'_';
    if (!isDeviceName(name)) return;
    if (length + 1 >= capacity) length = capacity - 2;  // make room by dropping the last character
    name[length + 1] = L'\0';
    for (size_t i = length; i > 0; --i) name[i] = name[i - 1];
    name[0] = L'_';
}
