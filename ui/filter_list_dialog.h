// "Фильтры": the records of filters.qmf, one row each, with adding, editing
// and deleting.
#pragma once

#include <windows.h>

struct FilterSet;

// Shows the dialog modally to owner. While it is open it holds filters.qmf
// open for reading and writing (others may only read), writes every change at
// once and reloads `filters` from the file after each, so that matching uses
// the new records straight away. When the file cannot be opened for writing
// the dialog says so and offers only "Закрыть".
void showFilterListDialog(HINSTANCE instance, HWND owner, FilterSet& filters);

// The texts the dialog shows, for tests.
extern const wchar_t kDeleteFilterQuestion[];
extern const wchar_t kDeleteFilterCaption[];
extern const wchar_t kFilterFileUnavailableMessage[];
