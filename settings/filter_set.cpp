#include "settings/filter_set.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "settings/messages.h"

FilterSet gFilterSet;

struct FilterBlock {
    size_t length;     // bytes as read from the file
    uint8_t bytes[1];  // `length` bytes follow
};

namespace {

uint32_t read32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void write32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(value >> (8 * i));
}

// Reads the whole file from offset 0 into a new block; nullptr when it is
// empty or cannot be read.
FilterBlock* readBlock(FileHandle file) {
    int64_t size = fileSize(file);
    // The block's header and the bytes must fit size_t as well: on a 32-bit
    // system a file near 4 GiB would otherwise wrap the allocation.
    if (size <= 0 || uint64_t(size) > 0xFFFFFFFFu ||
        uint64_t(size) > uint64_t(SIZE_MAX - offsetof(FilterBlock, bytes)) || !seekFile(file, 0))
        return nullptr;
    auto* block = static_cast<FilterBlock*>(std::malloc(offsetof(FilterBlock, bytes) + size_t(size)));
    if (!block) return nullptr;
    size_t done = 0;
    while (done < size_t(size)) {
        int64_t n = readFile(file, block->bytes + done, uint32_t(size_t(size) - done));
        if (n <= 0) break;
        done += size_t(n);
    }
    block->length = done;
    return block;
}

bool admits(const FilterRecord& record, uint32_t length, const ExtensionEntry* extension) {
    if (length < record.minimum || length > record.maximum) return false;
    if (record.kind == kFilterByExtension) return record.listReference == extension->identity;
    return listContains(record.listReference, extension);
}

}  // namespace

void encodeFilterRecord(const FilterRecord& record, uint8_t bytes[kFilterRecordSize]) {
    write32(bytes, record.kind);
    write32(bytes + 4, record.nameReference);
    write32(bytes + 8, record.listReference);
    write32(bytes + 12, record.minimum);
    write32(bytes + 16, record.maximum);
}

FilterRecord decodeFilterRecord(const uint8_t bytes[kFilterRecordSize]) {
    FilterRecord record;
    record.kind = read32(bytes);
    record.nameReference = read32(bytes + 4);
    record.listReference = read32(bytes + 8);
    record.minimum = read32(bytes + 12);
    record.maximum = read32(bytes + 16);
    return record;
}

void load(FilterSet& set, const wchar_t* path) {
    ScopedFile file(openFile(path, FileAccess::read, FileShare::read, FileCreation::openAlways));
    if (!file.valid()) return;
    FilterBlock* block = readBlock(file.handle);
    replaceBlock(set.content, block);
    if (!block || block->length == 0)
        showMessage(L"Фильтры не найдены. Необходимо создать хотя бы один фильтр.", L"Внимание!",
                    MessageIcon::warning);
}

void reload(FilterSet& set, FileHandle file) { replaceBlock(set.content, readBlock(file)); }

void emptyFilterSet(FilterSet& set) { replaceBlock(set.content, nullptr); }

int32_t match(FilterSet& set, uint32_t length, const ExtensionEntry* extension) {
    if (!extension) return -1;
    auto* block = static_cast<const FilterBlock*>(beginRead(set.content));
    int32_t result = -1;
    size_t records = block ? block->length / kFilterRecordSize : 0;
    for (size_t i = 0; i < records; ++i) {
        if (admits(decodeFilterRecord(block->bytes + i * kFilterRecordSize), length, extension)) {
            result = extension->index;
            break;
        }
    }
    endRead(set.content);
    return result;
}

size_t filterCount(FilterSet& set) {
    auto* block = static_cast<const FilterBlock*>(beginRead(set.content));
    size_t count = block ? block->length / kFilterRecordSize : 0;
    endRead(set.content);
    return count;
}
