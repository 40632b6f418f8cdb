// The status bar's texts, shared by the window and the headless receiver.
#pragma once

#include <cstddef>
#include <cstdint>

// "Всего: %d МБ" below 2^30 bytes, "Всего: %d ГБ" from there on (truncated).
void formatTotal(uint64_t totalBytes, wchar_t* buffer, size_t capacity);
// The overall rate from the bytes received in one period, in kB/s, MB/s or GB/s.
void formatOverallRate(uint64_t bytesInPeriod, uint32_t periodMs, wchar_t* buffer, size_t capacity);
// "Ошибок: %d"
void formatErrors(int32_t errors, wchar_t* buffer, size_t capacity);
// "Время работы: hh:mm" from whole minutes; hours are not wrapped.
void formatRunningTime(uint32_t minutes, wchar_t* buffer, size_t capacity);

// The transfer list's cells.
// "Загружено": the size text of `received` and " (%.2f%%)" of `length`; the
// percentage is cut to 10 characters.
void formatReceivedText(uint32_t received, uint32_t length, wchar_t* buffer, size_t capacity);
// "Скорость" from the bytes received in one period: "%d Б/c", "%.2f кБ/c",
// "%.2f МБ/c" or "%.2f ГБ/c". A period of 0 shows 0 Б/c.
void formatRowRate(uint32_t bytesInPeriod, uint32_t periodMs, wchar_t* buffer, size_t capacity);
