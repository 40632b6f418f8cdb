#include "settings/status_text.h"

#include "settings/size_text.h"
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

void formatReceivedText(uint32_t received, uint32_t length, wchar_t* buffer, size_t capacity) {
    formatSizeText(received, buffer, capacity);
    // The percentage has a buffer of its own, 11 characters with the
    // terminator: a count far above the announced length shows a cut figure.
    wchar_t percent[11];
    double share = length ? received * 100.0 / length : 0.0;
    formatWide(percent, 11, L" (%.2f%%)", share);
    size_t used = 0;
    while (used + 1 < capacity && buffer[used]) ++used;
    for (size_t i = 0; percent[i] && used + 1 < capacity; ++i) buffer[used++] = percent[i];
    if (capacity) buffer[used] = L'\0';
}

void formatRowRate(uint32_t bytesInPeriod, uint32_t periodMs, wchar_t* buffer, size_t capacity) {
    // The timer's period stands for the time elapsed; it is not measured.
    double rate = periodMs ? double(bytesInPeriod) / (periodMs / 1000.0) : 0.0;
    if (rate < 1024)
        formatWide(buffer, capacity, L"%d Б/c", int(rate));
    else if (rate < 1048576)
        formatWide(buffer, capacity, L"%.2f кБ/c", rate / 1024);
    else if (rate < 1073741824)
        formatWide(buffer, capacity, L"%.2f МБ/c", rate / 1048576);
    else
        formatWide(buffer, capacity, L"%.2f ГБ/c", rate / 1073741824);
}
