#include "settings/wide_format.h"

#include <cstdarg>
#include <cwchar>

size_t formatWide(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
    if (capacity == 0) return 0;
    // The runtimes disagree on what a cut-off vswprintf leaves in the buffer,
    // so format into room enough for any of our texts and cut the copy.
    wchar_t whole[1024];
    va_list arguments;
    va_start(arguments, format);
    int n = std::vswprintf(whole, sizeof whole / sizeof whole[0], format, arguments);
    va_end(arguments);
    size_t length = n < 0 ? 0 : size_t(n);
    if (length > capacity - 1) length = capacity - 1;
    std::wmemcpy(buffer, whole, length);
    buffer[length] = L'\0';
    return length;
}
