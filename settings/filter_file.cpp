#include "settings/filter_file.h"

#include <cwchar>

#include "extraction/content_classes.h"
#include "settings/wide_format.h"

namespace {

bool writeWhole(FileHandle file, const uint8_t* data, size_t count) {
    while (count > 0) {
        uint32_t chunk = count < 65536 ? uint32_t(count) : 65536u;
        int64_t n = writeFile(file, data, chunk);
        if (n <= 0) return false;
        data += n;
        count -= size_t(n);
    }
    return true;
}

bool readWhole(FileHandle file, uint8_t* data, size_t count) {
    while (count > 0) {
        uint32_t chunk = count < 65536 ? uint32_t(count) : 65536u;
        int64_t n = readFile(file, data, chunk);
        if (n <= 0) return false;
        data += n;
        count -= size_t(n);
    }
    return true;
}

}  // namespace

uint64_t filterRecordCount(FileHandle file) {
    int64_t size = fileSize(file);
    return size < 0 ? 0 : uint64_t(size) / kFilterRecordSize;
}

bool readFilterRecord(FileHandle file, uint64_t index, FilterRecord* record) {
    if (index >= filterRecordCount(file)) return false;
    uint8_t bytes[kFilterRecordSize];
    if (!seekFile(file, index * kFilterRecordSize) || !readWhole(file, bytes, sizeof bytes)) return false;
    *record = decodeFilterRecord(bytes);
    return true;
}

bool appendFilterRecord(FileHandle file, const FilterRecord& record, uint64_t* index) {
    uint64_t count = filterRecordCount(file);
    uint8_t bytes[kFilterRecordSize];
    encodeFilterRecord(record, bytes);
    if (!seekFile(file, count * kFilterRecordSize) || !writeWhole(file, bytes, sizeof bytes)) return false;
    if (index) *index = count;
    return true;
}

bool overwriteFilterRecord(FileHandle file, uint64_t index, const FilterRecord& record) {
    if (index >= filterRecordCount(file)) return false;
    uint8_t bytes[kFilterRecordSize];
    encodeFilterRecord(record, bytes);
    return seekFile(file, index * kFilterRecordSize) && writeWhole(file, bytes, sizeof bytes);
}

bool deleteFilterRecord(FileHandle file, uint64_t index) {
    int64_t size = fileSize(file);
    if (size < 0 || index >= uint64_t(size) / kFilterRecordSize) return false;
    // The rest moves up piece by piece: however large the file, nothing
    // larger than one piece is held in memory.
    uint8_t piece[16384];
    uint64_t to = index * kFilterRecordSize;
    for (uint64_t from = to + kFilterRecordSize; from < uint64_t(size);) {
        uint64_t left = uint64_t(size) - from;
        size_t count = left < sizeof piece ? size_t(left) : sizeof piece;
        if (!seekFile(file, from) || !readWhole(file, piece, count)) return false;
        if (!seekFile(file, to) || !writeWhole(file, piece, count)) return false;
        from += count;
        to += count;
    }
    return seekFile(file, to) && truncateFile(file);
}

void filterRowText(const FilterRecord& record, wchar_t* buffer, size_t capacity) {
    if (record.kind == kFilterByCategory) {
        const Category* category = categoryByNameIdentity(record.nameReference);
        formatWide(buffer, capacity, L"По категории: %ls", category ? category->name : L"?");
    } else {
        const ExtensionEntry* entry = extensionByIdentity(record.nameReference);
        formatWide(buffer, capacity, L"По расширению: %ls", entry ? entry->text : L"?");
    }
}
