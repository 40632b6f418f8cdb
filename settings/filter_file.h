// filters.qmf edited record by record through a handle its editor holds open.
//
// Record i lies at byte 20 x i; bytes after the last whole record are not a
// record. Every operation leaves the file a whole number of records plus at
// most the partial tail it already had (delete moves that tail along).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "settings/filter_set.h"

// Number of whole records in the open file (0 when its size cannot be read).
uint64_t filterRecordCount(FileHandle file);
// Reads record `index`; false when the file holds no whole record there.
bool readFilterRecord(FileHandle file, uint64_t index, FilterRecord* record);
// Writes the record right after the last whole one (over a partial tail, which
// is shorter than a record) and reports its index; false when it is not written whole.
bool appendFilterRecord(FileHandle file, const FilterRecord& record, uint64_t* index);
// Writes the record over record `index`, which must exist.
bool overwriteFilterRecord(FileHandle file, uint64_t index, const FilterRecord& record);
// Removes record `index`: every byte after it moves 20 bytes towards the start
// and the file ends 20 bytes sooner.
bool deleteFilterRecord(FileHandle file, uint64_t index);

// The list row of a record: "По категории: " and the category's name for kind
// 0, "По расширению: " and the extension for any other kind; "?" stands for a
// reference that names nothing. At most capacity - 1 characters.
void filterRowText(const FilterRecord& record, wchar_t* buffer, size_t capacity);
