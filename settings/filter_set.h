// The filter set: which objects are received at all.
//
// filters.qmf in the working directory is a bare sequence of 20-byte records,
// all fields 32-bit little-endian; bytes after the last whole record are
// ignored everywhere. The set in memory is the file's content as read, one
// block, replaced whole by reload while the packet thread may be matching.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "extraction/content_classes.h"
#include "platform/platform.h"
#include "settings/shared_block.h"

constexpr const wchar_t* kFilterFileName = L"filters.qmf";
constexpr size_t kFilterRecordSize = 20;

struct FilterRecord {
    uint32_t kind = 0;           // 1: by extension; anything else: by category
    uint32_t nameReference = 0;  // category name or extension entry identity (display only)
    uint32_t listReference = 0;  // category list, AllExtensions, or the extension entry identity
    uint32_t minimum = 0;        // inclusive bounds in bytes
    uint32_t maximum = 0;
};

constexpr uint32_t kFilterByCategory = 0;
constexpr uint32_t kFilterByExtension = 1;

void encodeFilterRecord(const FilterRecord& record, uint8_t bytes[kFilterRecordSize]);
FilterRecord decodeFilterRecord(const uint8_t bytes[kFilterRecordSize]);

struct FilterSet {
    SharedBlock content;  // the file's bytes as read; no block: the empty set
};

// The program's filter set.
extern FilterSet gFilterSet;

// Opens filters.qmf (creating it empty when missing), reads it whole into the
// set and closes it. An empty file draws the warning that nothing will be
// received; a file that cannot be opened leaves the set empty silently.
void load(FilterSet& set, const wchar_t* path = kFilterFileName);
// Replaces the set with the whole content of the open `file`, from offset 0.
void reload(FilterSet& set, FileHandle file);
// Makes the set empty (and frees its block).
void emptyFilterSet(FilterSet& set);
// The extension index of `extension` when a record admits an object of
// `length` bytes of that type, else -1.
int32_t match(FilterSet& set, uint32_t length, const ExtensionEntry* extension);
// Number of whole records in the set.
size_t filterCount(FilterSet& set);
