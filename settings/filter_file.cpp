#include "settings/filter_file.h"

#include <cwchar>
#include <vector>

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
    uint64_t offset = index * kFilterRecordSize;
    uint64_t tailStart = offset + kFilterRecordSize;
    std::vector<uint8_t> tail(size_t(uint64_t(size) - tailStart));
    if (!tail.empty() && (!seekFile(file, tailStart) || !readWhole(file, tail.data(), tail.size()))) return false;
    if (!seekFile(file, offset)) return false;
    if (!tail.empty() && !writeWhole(file, tail.data(), tail.size())) return false;
    return truncateFile(file);
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
