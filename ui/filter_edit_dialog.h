// "Новый фильтр": one filter record defined by category or by extension and
// a range of sizes, written straight into filters.qmf.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

enum class FilterEditMode { add, edit };

// Shows the dialog modally to owner. `file` is the filter list's open
// read/write handle on filters.qmf. In the add mode the record is appended
// after the last whole record; in the edit mode it is read from and written
// back over the 20 bytes at `offset`. Returns 1 when a record has been
// written, 0 when the user cancelled (nothing written).
int showFilterEditDialog(HINSTANCE instance, HWND owner, FileHandle file, FilterEditMode mode, uint64_t offset);

// The messages the dialog shows, for tests.
extern const wchar_t kMaximumBelowMinimumMessage[];
extern const wchar_t kFilterNotWrittenMessage[];
