#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "settings/size_text.h"

namespace {

struct ParseCase {
    const wchar_t* text;
    SizeParse result;
    uint32_t size;
};

TEST(SizeText, TypedSizesAreBytesOrANumberWithOneBlankAndAUnit) {
    const ParseCase cases[] = {
        {L"1024", SizeParse::ok, 1024},
        {L"1 кб", SizeParse::ok, 1024},
        {L"10 МБ", SizeParse::ok, 10u * 1048576},
        {L"10 мб", SizeParse::ok, 10u * 1048576},
        {L"10 Мб", SizeParse::ok, 10u * 1048576},
        {L"3 гб", SizeParse::ok, 3221225472u},
        {L"3 ГБ", SizeParse::ok, 3221225472u},
        {L"2 кБ", SizeParse::ok, 2048},
        {L"0", SizeParse::ok, 0},
        {L"", SizeParse::ok, 0},
        {L" кб", SizeParse::ok, 0},
        {L"4294967295", SizeParse::ok, 4294967295u},
        {L"3 ГБ", SizeParse::ok, 3221225472u},
        {L"10мб", SizeParse::badUnit, 0},
        {L"10  мб", SizeParse::badUnit, 0},
        {L"10 ", SizeParse::badUnit, 0},
        {L"1.5 мб", SizeParse::badUnit, 0},
        {L"10 kb", SizeParse::badUnit, 0},
        {L"abc", SizeParse::badUnit, 0},
        {L"+", SizeParse::badUnit, 0},
        {L"4 гб", SizeParse::outOfRange, 0},
        {L"4294967296", SizeParse::outOfRange, 0},
        {L"4194304 кб", SizeParse::outOfRange, 0},
        {L"-1", SizeParse::outOfRange, 0},
        {L"99999999999999999999", SizeParse::outOfRange, 0},
        // (2^54 + 1) kB wraps to 1024 bytes in 64 bits; it must still be refused.
        {L"18014398509481985 кб", SizeParse::outOfRange, 0},
    };
    for (const ParseCase& c : cases) {
        uint32_t size = 12345;
        SizeParse result = parseSize(c.text, &size);
        EXPECT_EQ(int(result), int(c.result)) << std::wstring(c.text).size();
        if (c.result == SizeParse::ok) EXPECT_EQ(size, c.size);
        else EXPECT_EQ(size, 12345u);
    }
}

TEST(SizeText, FilterSizesAreShownInTheLargestExactUnitAndReadBack) {
    struct Case {
        uint32_t size;
        const wchar_t* text;
    } cases[] = {
        {1536, L"1536"}, {2048, L"2 кБ"}, {1048576, L"1 МБ"}, {3221225472u, L"3 ГБ"},
        {0, L"0"},       {3221225473u, L"3221225473"}, {4294967295u, L"4294967295"},
        {1073741824u + 1048576, L"1025 МБ"},
    };
    for (const Case& c : cases) {
        wchar_t text[64];
        formatSize(c.size, text, 64);
        EXPECT_EQ(std::wstring(text), c.text);
        uint32_t back = 0;
        EXPECT_EQ(parseSize(text, &back), SizeParse::ok);
        EXPECT_EQ(back, c.size);
    }
}

TEST(SizeText, ByteCountsForTheListColumn) {
    std::setlocale(LC_ALL, "C");
    struct Case {
        uint32_t length;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 Б"},           {1023, L"1023 Б"},       {1024, L"1 кБ"},
        {1048575, L"1023 кБ"}, {1048576, L"1.00 МБ"},   {1572864, L"1.50 МБ"},
        {1073741823, L"1024.00 МБ"}, {1073741824, L"1.00 ГБ"}, {4294967295u, L"4.00 ГБ"},
    };
    for (const Case& c : cases) {
        wchar_t text[64];
        formatSizeText(c.length, text, 64);
        EXPECT_EQ(std::wstring(text), c.text) << c.length;
    }
    wchar_t tiny[4];
    formatSizeText(1073741824, tiny, 4);  // cut, still terminated
    EXPECT_LT(std::wstring(tiny).size(), 4u);
}

}  // namespace
