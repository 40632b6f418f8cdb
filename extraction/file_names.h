// File names that come from the air. A name is used as the last component of
// paths in tmp_dir and ok_dir, so it must never be able to leave them.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Capacity of a name buffer: 255 characters and the terminator.
constexpr size_t kFileNameCapacity = 256;

// The longest file-name component, in units of the system's FileNameUnit.
constexpr size_t kFileNameLimit = 255;

// How many wide characters of `stem` (its first `stemLength`) can stand before
// `suffix` so that both together fit one name component: 255 UTF-16 units on
// Windows, 255 UTF-8 bytes elsewhere. The suffix is always kept whole, and the
// stem is cut only between characters, never inside a surrogate pair.
size_t fitStemBeforeSuffix(const wchar_t* stem, size_t stemLength, const wchar_t* suffix,
                           FileNameUnit unit = kFileNameUnit);

// Makes `name` (NUL-terminated, in a buffer of `capacity`) one plain file name
// on every platform: path separators, ":" and the other characters Windows
// forbids in names, and control characters become "_"; a name whose first
// part is a reserved device name (CON, NUL, COM1, ...) gets a leading "_".
// Without separators no component can be a parent directory.
void confineFileName(wchar_t* name, size_t capacity);
