#include "extraction/content_classes.h"

#include <cwchar>

// The identities below are written to filters.qmf and read back by every later
// run, on Windows and natively alike: never change or reuse one.
//   extension entry k        0x45000000 + k   ('E')
//   category name at k       0x4E000000 + k   ('N')
//   category list at k       0x4C000000 + k   ('L'); the list of "Все" is AllExtensions
static_assert(AllExtensions == 0x4C000000, "the list identity of category 0");

const ExtensionEntry ExtensionTable[kExtensionCount] = {
    {0x45000000, L"gif", 0},  {0x45000001, L"html", 1}, {0x45000002, L"jpg", 2},  {0x45000003, L"xml", 3},
    {0x45000004, L"txt", 4},  {0x45000005, L"bin", 5},  {0x45000006, L"css", 6},  {0x45000007, L"png", 7},
    {0x45000008, L"ico", 8},  {0x45000009, L"js", 9},   {0x4500000A, L"json", 10}, {0x4500000B, L"swf", 11},
    {0x4500000C, L"bmp", 12}, {0x4500000D, L"wmv", 13}, {0x4500000E, L"avi", 14}, {0x4500000F, L"rar", 15},
    {0x45000010, L"zip", 16}, {0x45000011, L"exe", 17}, {0x45000012, L"wma", 18}, {0x45000013, L"flv", 19},
    {0x45000014, L"pdf", 20}, {0x45000015, L"cab", 21}, {0x45000016, L"mp3", 22}, {0x45000017, L"djv", 23},
    {0x45000018, L"doc", 24}, {0x45000019, L"au", 25},  {0x4500001A, L"mov", 26}, {0x4500001B, L"iso", 27},
    {0x4500001C, L"nrg", 28},
};

namespace {

constexpr const ExtensionEntry* entry(int index) { return &ExtensionTable[index]; }

const ExtensionEntry* const kArchives[] = {entry(16), entry(15), entry(21)};  // zip rar cab
const ExtensionEntry* const kVideo[] = {entry(13), entry(14), entry(19), entry(26)};  // wmv avi flv mov
const ExtensionEntry* const kDocuments[] = {entry(1), entry(3), entry(4), entry(6), entry(9),
                                            entry(10), entry(20), entry(23), entry(24)};
const ExtensionEntry* const kImages[] = {entry(0), entry(2), entry(7), entry(8), entry(11), entry(12)};
const ExtensionEntry* const kMusic[] = {entry(22), entry(18), entry(25)};  // mp3 wma au

}  // namespace

const Category CategoryTable[kCategoryCount] = {
    {0x4E000000, AllExtensions, L"Все", nullptr, kExtensionCount},
    {0x4E000001, 0x4C000001, L"Архивы", kArchives, 3},
    {0x4E000002, 0x4C000002, L"Видео", kVideo, 4},
    {0x4E000003, 0x4C000003, L"Документы", kDocuments, 9},
    {0x4E000004, 0x4C000004, L"Изображения", kImages, 6},
    {0x4E000005, 0x4C000005, L"Музыка", kMusic, 3},
};

bool equalsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b, size_t length) {
    auto lower = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; };
    for (size_t i = 0; i < length; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

const ExtensionEntry* findExtension(const wchar_t* text, size_t length) {
    for (const ExtensionEntry& e : ExtensionTable)
        if (std::wcslen(e.text) == length && equalsIgnoringAsciiCase(e.text, text, length)) return &e;
    return nullptr;
}

const ExtensionEntry* findExtension(const wchar_t* text) { return findExtension(text, std::wcslen(text)); }

const ExtensionEntry* extensionByIdentity(uint32_t identity) {
    for (const ExtensionEntry& e : ExtensionTable)
        if (e.identity == identity) return &e;
    return nullptr;
}

const Category* categoryByNameIdentity(uint32_t identity) {
    for (const Category& c : CategoryTable)
        if (c.nameIdentity == identity) return &c;
    return nullptr;
}

const Category* categoryByListIdentity(uint32_t identity) {
    for (const Category& c : CategoryTable)
        if (c.listIdentity == identity) return &c;
    return nullptr;
}

bool listContains(uint32_t listIdentity, const ExtensionEntry* entry) {
    if (listIdentity == AllExtensions) return entry != nullptr;
    const Category* category = categoryByListIdentity(listIdentity);
    if (!category || !entry) return false;
    for (int i = 0; i < category->memberCount; ++i)
        if (category->members[i] == entry) return true;
    return false;
}
