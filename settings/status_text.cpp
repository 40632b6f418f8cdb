#include "settings/status_text.h"

#include "settings/wide_format.h"

void formatTotal(uint64_t totalBytes, wchar_t* buffer, size_t capacity) {
    if (totalBytes >= (uint64_t(1) << 30))
        formatWide(buffer, capacity, L"Всего: %llu ГБ", static_cast<unsigned long long>(totalBytes >> 30));
    else
        formatWide(buffer, capacity, L"Всего: %llu МБ", static_cast<unsigned long long>(totalBytes >> 20));
}

void formatOverallRate(uint64_t bytesInPeriod, uint32_t periodMs, wchar_t* buffer, size_t capacity) {
    // The difference is taken modulo 2^32, as the window has always shown it.
    // "C" of "Cкорость" is the Latin letter, and so is the "c" after "/".
    double seconds = periodMs / 1000.0;
    double kilobytes = seconds > 0 ? double(uint32_t(bytesInPeriod)) / seconds / 1024 : 0;
    if (kilobytes < 1024)
        formatWide(buffer, capacity, L"Cкорость: %.2f кБ/c", kilobytes);
    else if (kilobytes < 1048576)
        formatWide(buffer, capacity, L"Cкорость: %.2f МБ/c", kilobytes / 1024);
    else
        formatWide(buffer, capacity, L"Cкорость: %.2f ГБ/c", kilobytes / 1048576);
}

void formatErrors(int32_t errors, wchar_t* buffer, size_t capacity) {
    formatWide(buffer, capacity, L"Ошибок: %d", errors);
}

void formatRunningTime(uint32_t minutes, wchar_t* buffer, size_t capacity) {
    formatWide(buffer, capacity, L"Время работы: %.2u:%.2u", minutes / 60, minutes % 60);
}
