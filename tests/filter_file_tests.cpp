// filters.qmf edited record by record through one open handle, and the
// settings pages' number texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extraction/content_classes.h"
#include "platform/platform.h"
#include "settings/filter_file.h"
#include "settings/filter_set.h"
#include "settings/settings_text.h"
#include "tests/test_support.h"

namespace {

const FilterRecord kAll = byCategory(0, 0, 3221225472u);
const FilterRecord kVideo = byCategory(2, 1024, 10485760);
const FilterRecord kJs = byExtension(L"js", 1, 2);
const FilterRecord kJpg = byExtension(L"jpg", 0, 4294967295u);

class FilterFileTest : public ::testing::Test {
protected:
    ScratchDirectory dir{"filter_file"};
    std::wstring path = dir.file(L"filters.qmf");

    FileHandle open(const std::string& bytes) {
        writeWholeFile(path, bytes);
        return openFile(path.c_str(), FileAccess::readWrite, FileShare::read, FileCreation::openExisting);
    }
};

TEST_F(FilterFileTest, AppendOverwriteAndDeleteKeepRecordsInFileOrder) {
    ScopedFile file(open(""));
    ASSERT_TRUE(file.valid());
    uint64_t index = 99;
    for (const FilterRecord& record : {kAll, kVideo, kJs}) ASSERT_TRUE(appendFilterRecord(file.handle, record, &index));
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(filterRecordCount(file.handle), 3u);

    ASSERT_TRUE(overwriteFilterRecord(file.handle, 1, kJpg));
    FilterRecord read;
    ASSERT_TRUE(readFilterRecord(file.handle, 1, &read));
    EXPECT_EQ(read.listReference, kJpg.listReference);
    EXPECT_EQ(read.maximum, kJpg.maximum);

    ASSERT_TRUE(deleteFilterRecord(file.handle, 0));  // the first: the rest move up
    closeFile(file.handle);
    file.handle = kNoFile;
    EXPECT_EQ(readWholeFile(path), fileOf({kJpg, kJs}));
}

TEST_F(FilterFileTest, DeletingTheLastOrOnlyRecordCutsTheFile) {
    struct Case {
        std::vector<FilterRecord> before;
        uint64_t index;
        std::vector<FilterRecord> after;
    } cases[] = {
        {{kAll}, 0, {}},
        {{kAll, kVideo, kJs}, 2, {kAll, kVideo}},
        {{kAll, kVideo, kJs}, 1, {kAll, kJs}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        ScopedFile file(open(fileOf(c.before)));
        ASSERT_TRUE(deleteFilterRecord(file.handle, c.index));
        closeFile(file.handle);
        file.handle = kNoFile;
        EXPECT_EQ(readWholeFile(path), fileOf(c.after));
    }
}

TEST_F(FilterFileTest, APartialTailIsNoRecordAndAnAppendTakesItsPlace) {
    ScopedFile file(open(fileOf({kAll}, "xyz")));
    EXPECT_EQ(filterRecordCount(file.handle), 1u);
    FilterRecord read;
    EXPECT_FALSE(readFilterRecord(file.handle, 1, &read));
    EXPECT_FALSE(overwriteFilterRecord(file.handle, 1, kJs));
    EXPECT_FALSE(deleteFilterRecord(file.handle, 1));
    uint64_t index = 0;
    ASSERT_TRUE(appendFilterRecord(file.handle, kJs, &index));
    EXPECT_EQ(index, 1u);
    closeFile(file.handle);
    file.handle = kNoFile;
    EXPECT_EQ(readWholeFile(path), fileOf({kAll, kJs}));
}

TEST_F(FilterFileTest, DeletingMovesAPartialTailAlong) {
    ScopedFile file(open(fileOf({kAll, kJs}, "xyz")));
    ASSERT_TRUE(deleteFilterRecord(file.handle, 0));
    closeFile(file.handle);
    file.handle = kNoFile;
    EXPECT_EQ(readWholeFile(path), fileOf({kJs}, "xyz"));
}

TEST(FilterRowText, NamesTheCategoryOrTheExtension) {
    FilterRecord odd = kJs;
    odd.kind = 7;  // any kind but 0 reads as by extension
    FilterRecord unknown = kAll;
    unknown.nameReference = 0x12345678;
    struct Case {
        FilterRecord record;
        const wchar_t* row;
    } cases[] = {
        {kAll, L"По категории: Все"},
        {kVideo, L"По категории: Видео"},
        {kJs, L"По расширению: js"},
        {odd, L"По расширению: js"},
        {unknown, L"По категории: ?"},
    };
    for (const Case& c : cases) {
        wchar_t row[128];
        filterRowText(c.record, row, 128);
        EXPECT_STREQ(row, c.row);
    }
}

TEST(PidText, ListedPidRoundTripsInBothNotations) {
    struct Case {
        int32_t pid;
        bool hex;
        const wchar_t* text;
    } cases[] = {
        {511, true, L"0x1FF"}, {511, false, L"511"}, {8191, true, L"0x1FFF"}, {1, true, L"0x1"}, {4096, false, L"4096"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        wchar_t text[16];
        formatPid(c.pid, c.hex, text, 16);
        EXPECT_STREQ(text, c.text);
        int32_t back = 0;
        ASSERT_TRUE(readListedPid(text, c.hex, &back));
        EXPECT_EQ(back, c.pid);
    }
    int32_t pid = 0;
    EXPECT_TRUE(readListedPid(L"1ff", true, &pid));  // "0x" is optional
    EXPECT_EQ(pid, 511);
    EXPECT_TRUE(readListedPid(L"0x1FF", false, &pid));  // decimal stops at the x
    EXPECT_EQ(pid, 0);
    EXPECT_FALSE(readListedPid(L"", true, &pid));
}

TEST(PidText, OnlyOneTo8191IsEntered) {
    struct Case {
        const wchar_t* text;
        bool accepted;
        int32_t pid;
    } cases[] = {
        {L"1", true, 1},     {L"8191", true, 8191}, {L"000511", true, 511}, {L"0", false, 0},
        {L"8192", false, 0}, {L"999999", false, 0}, {L"", false, 0},         {L"12a", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t pid = -5;
        EXPECT_EQ(readEnteredPid(c.text, &pid), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(pid, c.pid);
        }
    }
}

TEST(UnsignedBox, EmptyOrTooLargeReadsAsZero) {
    struct Case {
        const wchar_t* text;
        uint32_t value;
    } cases[] = {
        {L"", 0}, {L"30", 30}, {L"4294967295", 4294967295u}, {L"4294967296", 0}, {L"99999999999999999999", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(readUnsignedBox(c.text), c.value) << static_cast<const void*>(c.text);
    uint32_t seconds = 0;  // a time-out's milliseconds must fit 32 bits
    EXPECT_TRUE(readTimeoutBox(L"4294967", &seconds) && seconds == 4294967u && !readTimeoutBox(L"4294968", &seconds));
}

}  // namespace
