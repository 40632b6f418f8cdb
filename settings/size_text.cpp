#include "settings/size_text.h"

#include <cwchar>

#include "settings/wide_format.h"

const wchar_t kBadUnitMessage[] = L"Неверно задана единица измерения";
const wchar_t kSizeRangeMessage[] = L"Превышен диапазон. Допустимое значение размера для фильтра - до 4 ГБайт";

namespace {

constexpr size_t kSizeTextLimit = 255;

// Lower case for ASCII and Cyrillic letters.
wchar_t fold(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return wchar_t(c + 32);
    if (c >= 0x0410 && c <= 0x042F) return wchar_t(c + 32);  // А-Я
    if (c >= 0x0400 && c <= 0x040F) return wchar_t(c + 80);  // Ѐ-Џ, Ё among them
    return c;
}

bool sameUnit(const wchar_t* unit, size_t length, const wchar_t* expected) {
    if (std::wcslen(expected) != length) return false;
    for (size_t i = 0; i < length; ++i)
        if (fold(unit[i]) != fold(expected[i])) return false;
    return true;
}

bool isSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// The C library's unsigned 64-bit decimal conversion: leading white space, an
// optional sign ("-" negates modulo 2^64), digits; saturates on overflow.
// Returns how many characters it consumed (0 when there are no digits).
size_t readUnsigned64(const wchar_t* text, size_t length, uint64_t* value) {
    size_t i = 0;
    while (i < length && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < length && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    size_t digits = i;
    uint64_t number = 0;
    bool overflow = false;
    for (; i < length && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        uint64_t digit = uint64_t(text[i] - L'0');
        if (number > (UINT64_MAX - digit) / 10) overflow = true;
        number = number * 10 + digit;
    }
    if (i == digits) return 0;
    *value = overflow ? UINT64_MAX : (negative ? 0 - number : number);
    return i;
}

}  // namespace

SizeParse parseSize(const wchar_t* text, uint32_t* size) {
    size_t length = 0;
    while (length < kSizeTextLimit && text[length]) ++length;
    size_t blank = 0;
    while (blank < length && text[blank] != L' ') ++blank;
    uint64_t number = 0;
    if (blank > 0 && readUnsigned64(text, blank, &number) != blank) return SizeParse::badUnit;
    uint64_t multiplier = 1;
    if (blank < length) {
        const wchar_t* unit = text + blank + 1;
        size_t unitLength = length - blank - 1;
        if (sameUnit(unit, unitLength, L"кб"))
            multiplier = 1024;
        else if (sameUnit(unit, unitLength, L"мб"))
            multiplier = 1048576;
        else if (sameUnit(unit, unitLength, L"гб"))
            multiplier = 1073741824;
        else
            return SizeParse::badUnit;
    }
    // Compared before multiplying, so that a huge number cannot wrap around
    // to a small size.
    if (number > 0xFFFFFFFFu / multiplier) return SizeParse::outOfRange;
    *size = uint32_t(number * multiplier);
    return SizeParse::ok;
}

void formatSize(uint32_t size, wchar_t* buffer, size_t capacity) {
    if (size == 0 || size % 1024 != 0)
        formatWide(buffer, capacity, L"%u", size);
    else if (size % 1048576 != 0)
        formatWide(buffer, capacity, L"%u кБ", size / 1024);
    else if (size % 1073741824 != 0)
        formatWide(buffer, capacity, L"%u МБ", size / 1048576);
    else
        formatWide(buffer, capacity, L"%u ГБ", size / 1073741824);
}

void formatSizeText(uint32_t length, wchar_t* buffer, size_t capacity) {
    if (length < 1024)
        formatWide(buffer, capacity, L"%u Б", length);
    else if (length < 1048576)
        formatWide(buffer, capacity, L"%u кБ", length / 1024);
    else if (length < 1073741824)
        formatWide(buffer, capacity, L"%.2f МБ", double(length) / 1048576);
    else
        formatWide(buffer, capacity, L"%.2f ГБ", double(length) / 1073741824);
}
