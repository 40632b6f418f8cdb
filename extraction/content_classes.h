// The fixed vocabulary of file types and the categories built on it.
//
// An object's type is always one ExtensionTable entry, referred to by its
// entry (or its identity in filters.qmf), never by free text. An entry's
// position is its extension index: the filter match result and the icon index
// of the object's list row, so the order of the table is binding.
#pragma once

#include <cstddef>
#include <cstdint>

struct ExtensionEntry {
    uint32_t identity;   // stored in filters.qmf
    const wchar_t* text; // lower case, two to four characters
    int32_t index;       // position in the table
};

constexpr int kExtensionCount = 29;
extern const ExtensionEntry ExtensionTable[kExtensionCount];

struct Category {
    uint32_t nameIdentity;  // stored in filters.qmf as the name reference
    uint32_t listIdentity;  // stored as the list reference; AllExtensions for "Все"
    const wchar_t* name;
    const ExtensionEntry* const* members;  // nullptr for "Все"
    int memberCount;
};

constexpr int kCategoryCount = 6;
extern const Category CategoryTable[kCategoryCount];

// The list reference that stands for every entry of the table. All identities
// are listed together in content_classes.cpp.
constexpr uint32_t AllExtensions = 0x4C000000;

// The entry whose whole text equals `text` (ASCII letters compared without
// case), or nullptr.
const ExtensionEntry* findExtension(const wchar_t* text);
const ExtensionEntry* findExtension(const wchar_t* text, size_t length);
const ExtensionEntry* extensionByIdentity(uint32_t identity);
const Category* categoryByNameIdentity(uint32_t identity);
const Category* categoryByListIdentity(uint32_t identity);
// Whether the list designated by `listIdentity` holds `entry`; AllExtensions
// holds every entry, an unknown list none.
bool listContains(uint32_t listIdentity, const ExtensionEntry* entry);

// Case-insensitive comparison over ASCII letters of two wide texts of `length`
// characters.
bool equalsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b, size_t length);
