// Sizes as the user reads and types them.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SizeParse { ok, badUnit, outOfRange };

extern const wchar_t kBadUnitMessage[];   // "Неверно задана единица измерения"
extern const wchar_t kSizeRangeMessage[];  // "Превышен диапазон. ..."

// A filter size as typed: a decimal number of bytes, optionally followed by
// one blank and a unit "кб", "мб" or "гб" (any case). Every size from 0 to
// 4294967295 bytes is valid. Only the first 255 characters are read.
SizeParse parseSize(const wchar_t* text, uint32_t* size);

// A filter size for its edit box: the largest unit that divides it exactly
// ("1536", "2 кБ", "1 МБ", "3 ГБ"); what parseSize reads back as the same size.
void formatSize(uint32_t size, wchar_t* buffer, size_t capacity);

// A byte count for display: "%d Б" below 1024, "%d кБ" below 1048576,
// "%.2f МБ" below 1073741824, "%.2f ГБ" from there on (the decimal mark of
// the process's current locale).
void formatSizeText(uint32_t length, wchar_t* buffer, size_t capacity);
