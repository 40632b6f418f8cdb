#include "settings/settings_text.h"

#include <cwchar>

#include "platform/platform.h"
#include "settings/config_file.h"
#include "settings/wide_format.h"

namespace {

int digitValue(wchar_t c, bool hexadecimal) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (!hexadecimal) return -1;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Digits from `text` on; false without any. Saturates above 32 bits.
bool readDigits(const wchar_t* text, bool hexadecimal, uint64_t* value, const wchar_t** end) {
    uint64_t number = 0;
    const wchar_t* at = text;
    for (int digit; (digit = digitValue(*at, hexadecimal)) >= 0; ++at) {
        number = number * (hexadecimal ? 16 : 10) + uint64_t(digit);
        if (number > 0xFFFFFFFFull) number = 0x100000000ull;
    }
    *value = number;
    if (end) *end = at;
    return at != text;
}

}  // namespace

void formatPid(int32_t pid, bool hexadecimal, wchar_t* buffer, size_t capacity) {
    formatWide(buffer, capacity, hexadecimal ? L"0x%X" : L"%d", pid);
}

bool readListedPid(const wchar_t* text, bool hexadecimal, int32_t* pid) {
    if (hexadecimal && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X') && digitValue(text[2], true) >= 0)
        text += 2;
    uint64_t value = 0;
    if (!readDigits(text, hexadecimal, &value, nullptr) || value > 0x7FFFFFFF) return false;
    *pid = int32_t(value);
    return true;
}

bool readEnteredPid(const wchar_t* text, int32_t* pid) {
    uint64_t value = 0;
    const wchar_t* end = nullptr;
    if (!readDigits(text, false, &value, &end) || *end != 0) return false;
    if (value < uint64_t(kLowestPid) || value > uint64_t(kHighestPid)) return false;
    *pid = int32_t(value);
    return true;
}

uint32_t readUnsignedBox(const wchar_t* text) {
    uint64_t value = 0;
    const wchar_t* end = nullptr;
    if (!readDigits(text, false, &value, &end) || value > 0xFFFFFFFFull) return 0;
    return uint32_t(value);
}

bool readTimeoutBox(const wchar_t* text, uint32_t* seconds) {
    uint64_t value = 0;
    readDigits(text, false, &value, nullptr);
    if (value > kLongestTimeoutSeconds) return false;
    *seconds = uint32_t(value);
    return true;
}

uint32_t idleTimeoutMilliseconds(int32_t seconds) {
    if (seconds <= 0) return 0;
    uint64_t milliseconds = uint64_t(seconds) * 1000u;
    return milliseconds < kWaitForever ? uint32_t(milliseconds) : kWaitForever - 1;
}

bool fitsOemCodePage(const wchar_t* text) {
    size_t length = std::wcslen(text);
    if (length >= kMaxPath) return false;
    char bytes[kConfigValueLimit];
    size_t count = wideToOem(text, bytes, sizeof bytes);
    wchar_t back[kMaxPath];
    return oemToWide(bytes, count, back, kMaxPath) == length && std::wcscmp(back, text) == 0;
}
