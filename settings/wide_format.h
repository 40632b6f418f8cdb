// Formatting into fixed wide-character buffers: texts are cut to fit and
// always terminated. Use %ls for wide strings (both runtimes read it alike).
#pragma once

#include <cstddef>

// Returns the length written, without the terminator.
size_t formatWide(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
