#include "extraction/file_names.h"

#include <cstdint>
#include <cwchar>

#include "extraction/content_classes.h"

namespace {

bool forbidden(wchar_t c) {
    return c < 0x20 || c == 0x7F || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' ||
           c == L'"' || c == L'<' || c == L'>' || c == L'|';
}

bool isHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The character at text[i] (of `length`): how many wide characters it takes
// and how many units it counts in a name. A lone surrogate is stored as
// U+FFFD in UTF-8.
size_t characterAt(const wchar_t* text, size_t i, size_t length, FileNameUnit unit, size_t* units) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    size_t width = 1;
    if (sizeof(wchar_t) == 2 && isHighSurrogate(c & 0xFFFF) && i + 1 < length &&
        isLowSurrogate(static_cast<uint32_t>(text[i + 1]) & 0xFFFF)) {
        width = 2;
        c = 0x10000;  // any code point beyond the basic plane
    } else if (sizeof(wchar_t) == 2) {
        c &= 0xFFFF;
    }
    if (unit == FileNameUnit::utf16) {
        *units = c >= 0x10000 ? 2 : 1;
    } else {
        *units = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 || c > 0x10FFFF ? 3 : 4;
    }
    return width;
}

size_t unitsOf(const wchar_t* text, size_t length, FileNameUnit unit) {
    size_t total = 0;
    for (size_t i = 0; i < length;) {
        size_t units;
        i += characterAt(text, i, length, unit, &units);
        total += units;
    }
    return total;
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
    // The superscript digits count as digits here, and OEM code pages have them.
    if (length == 4 && (equalsIgnoringAsciiCase(name, L"COM", 3) || equalsIgnoringAsciiCase(name, L"LPT", 3)))
        return (name[3] >= L'0' && name[3] <= L'9') || name[3] == 0x00B9 || name[3] == 0x00B2 ||
               name[3] == 0x00B3;
    return false;
}

}  // namespace

size_t fitStemBeforeSuffix(const wchar_t* stem, size_t stemLength, const wchar_t* suffix, FileNameUnit unit) {
    size_t used = unitsOf(suffix, std::wcslen(suffix), unit);
    if (used >= kFileNameLimit) return 0;
    size_t kept = 0;
    while (kept < stemLength) {
        size_t units;
        size_t width = characterAt(stem, kept, stemLength, unit, &units);
        if (used + units > kFileNameLimit) break;
        used += units;
        kept += width;
    }
    return kept;
}

void confineFileName(wchar_t* name, size_t capacity) {
    if (capacity == 0) return;
    size_t length = 0;
    for (; name[length]; ++length)
        if (forbidden(name[length])) name[length] = L'_';
    if (!isDeviceName(name)) return;
    if (length + 1 >= capacity) {
        // Make room by dropping the last character, the whole of a surrogate pair.
        length = capacity - 2;
        if (length > 0 && isHighSurrogate(static_cast<uint32_t>(name[length - 1]) & 0xFFFF)) --length;
    }
    name[length + 1] = L'\0';
    for (size_t i = length; i > 0; --i) name[i] = name[i - 1];
    name[0] = L'_';
}
