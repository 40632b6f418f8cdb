// File names that come from the air. A name is used as the last component of
// paths in tmp_dir and ok_dir, so it must never be able to leave them.
#pragma once

#include <cstddef>

// Capacity of a name buffer: 255 characters and the terminator.
constexpr size_t kFileNameCapacity = 256;

// Makes `name` (NUL-terminated, in a buffer of `capacity`) one plain file name
// on every platform: path separators, ":" and the other characters Windows
// forbids in names, and control characters become "_"; a name whose first
// part is a reserved device name (CON, NUL, COM1, ...) gets a leading "_".
// Without separators no component can be a parent directory.
void confineFileName(wchar_t* name, size_t capacity);
