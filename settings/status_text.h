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
