#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extraction/content_classes.h"
#include "settings/filter_set.h"
#include "settings/size_text.h"
#include "tests/test_support.h"
#include "tools/filters_cli.h"

namespace {

struct Outcome {
    int status;
    std::wstring out;
    std::wstring err;
};

const FilterRecord kVideo = byCategory(2, 0, 10 * 1048576);
const FilterRecord kJs = byExtension(L"js", 1536, 2048);
const FilterRecord kAll = byCategory(0, 0, 0xFFFFFFFFu);

class FiltersCliTest : public ::testing::Test {
protected:
    ScratchDirectory dir{"filters_cli"};
    CurrentDirectoryScope here{dir.path};
    std::wstring path = dir.file(L"filters.qmf");
    FilterSet set;

    void TearDown() override { emptyFilterSet(set); }

    Outcome run(const std::vector<std::wstring>& args) {
        Outcome outcome;
        outcome.status = runFiltersCommand(args, outcome.out, outcome.err);
        return outcome;
    }
    // What the receiver itself makes of the file.
    int32_t admitted(uint32_t length, const wchar_t* extension) {
        load(set, path.c_str());
        return match(set, length, findExtension(extension));
    }
};

TEST_F(FiltersCliTest, AddsEverythingUpToThreeGigabytesAsTheReceiverReadsIt) {
    Outcome added = run({L"add", L"--category", L"(Все)", L"--min", L"0", L"--max", L"3 ГБ"});
    ASSERT_EQ(added.status, kFiltersOk) << added.err;
    EXPECT_EQ(added.out, L"Добавлено: 1. По категории: Все  от 0 до 3 ГБ\n");
    EXPECT_EQ(readWholeFile(path), fileOf({byCategory(0, 0, 3221225472u)}));
    EXPECT_EQ(admitted(100, L"gif"), findExtension(L"gif")->index);
    EXPECT_EQ(admitted(3221225473u, L"gif"), -1);
}

TEST_F(FiltersCliTest, NamesAreTakenAsTheDialogOffersThem) {
    struct Case {
        std::vector<std::wstring> what;
        FilterRecord record;
    } cases[] = {
        {{L"--category", L"(Все)"}, byCategory(0, 5, 7)},
        {{L"--category", L"Все"}, byCategory(0, 5, 7)},
        {{L"--category", L"(вСЕ)"}, byCategory(0, 5, 7)},
        {{L"--category", L"Изображения"}, byCategory(4, 5, 7)},
        {{L"--category", L"МУЗЫКА"}, byCategory(5, 5, 7)},
        {{L"--extension", L"js"}, byExtension(L"js", 5, 7)},
        {{L"--extension", L".JSON"}, byExtension(L"json", 5, 7)},
    };
    for (const Case& c : cases) {
        writeWholeFile(path, "");
        std::vector<std::wstring> args = {L"add", c.what[0], c.what[1], L"--min", L"5", L"--max", L"7"};
        Outcome added = run(args);
        EXPECT_EQ(added.status, kFiltersOk) << c.what[1] << ": " << added.err;
        EXPECT_EQ(readWholeFile(path), fileOf({c.record})) << c.what[1];
    }
}

TEST_F(FiltersCliTest, AnExtensionFilterAdmitsThatExtensionAlone) {
    ASSERT_EQ(run({L"add", L"--extension", L"js", L"--min", L"0", L"--max", L"1 мб"}).status, kFiltersOk);
    EXPECT_EQ(admitted(1048576, L"js"), findExtension(L"js")->index);
    EXPECT_EQ(admitted(1048577, L"js"), -1);
    EXPECT_EQ(admitted(100, L"json"), -1);
}

TEST_F(FiltersCliTest, AddWritesRightAfterTheLastWholeRecord) {
    const FilterRecord added = byCategory(1, 1024, 1048576);
    struct Case {
        const char* name;
        bool exists;
        std::string before;
        std::string after;
    } cases[] = {
        {"missing file", false, "", fileOf({added})},
        {"empty file", true, "", fileOf({added})},
        {"two records", true, fileOf({kVideo, kJs}), fileOf({kVideo, kJs, added})},
        {"partial record at the end", true, fileOf({kVideo}, "1234567"), fileOf({kVideo, added})},
    };
    for (const Case& c : cases) {
        deleteFile(path.c_str());
        if (c.exists) writeWholeFile(path, c.before);
        Outcome outcome = run({L"add", L"--category", L"Архивы", L"--min", L"1 кб", L"--max", L"1 МБ"});
        EXPECT_EQ(outcome.status, kFiltersOk) << c.name << ": " << outcome.err;
        EXPECT_EQ(readWholeFile(path), c.after) << c.name;
    }
}

TEST_F(FiltersCliTest, ListShowsTheDialogsRows) {
    const uint32_t gif = findExtension(L"gif")->identity;
    writeWholeFile(path, fileOf({kVideo, kJs, {kFilterByCategory, 0x12345678, AllExtensions, 0, 0xFFFFFFFFu},
                                 {7, gif, gif, 3221225472u, 3221225472u}},
                                "tail"));
    Outcome listed = run({L"list"});
    EXPECT_EQ(listed.status, kFiltersOk);
    EXPECT_EQ(listed.out,
              L"1. По категории: Видео  от 0 до 10 МБ\n"
              L"2. По расширению: js  от 1536 до 2 кБ\n"
              L"3. По категории: ?  от 0 до 4294967295\n"
              L"4. По расширению: gif  от 3 ГБ до 3 ГБ\n");
    EXPECT_EQ(listed.err, L"");

    for (const std::string& content : {std::string(), std::string(kFilterRecordSize - 1, 'x')}) {
        writeWholeFile(path, content);
        EXPECT_EQ(run({L"list"}).out, L"Фильтров нет.\n");
        EXPECT_EQ(readWholeFile(path), content);
    }
}

TEST_F(FiltersCliTest, DeleteMovesTheLaterRecordsUp) {
    struct Case {
        std::string before;
        const wchar_t* number;
        std::string after;
    } cases[] = {
        {fileOf({kVideo, kJs, kAll}), L"1", fileOf({kJs, kAll})},
        {fileOf({kVideo, kJs, kAll}), L"3", fileOf({kVideo, kJs})},
        {fileOf({kVideo}), L"1", ""},
        {fileOf({kVideo, kJs, kAll}, "xyz"), L"2", fileOf({kVideo, kAll}, "xyz")},
    };
    for (const Case& c : cases) {
        writeWholeFile(path, c.before);
        Outcome outcome = run({L"delete", c.number});
        EXPECT_EQ(outcome.status, kFiltersOk) << c.number << ": " << outcome.err;
        EXPECT_EQ(readWholeFile(path), c.after) << c.number;
    }
}

TEST_F(FiltersCliTest, RefusalsLeaveTheFileAsItWas) {
    const std::wstring range = std::wstring(L"--max: ") + kSizeRangeMessage;
    const std::wstring unit = std::wstring(L"--min: ") + kBadUnitMessage;
    struct Case {
        std::vector<std::wstring> args;
        std::wstring said;  // part of the error
    } cases[] = {
        {{L"add", L"--category", L"(Все)", L"--min", L"0", L"--max", L"4 гб"}, range},
        {{L"add", L"--category", L"(Все)", L"--min", L"10мб", L"--max", L"1 гб"}, unit},
        {{L"add", L"--category", L"(Все)", L"--min", L"-1", L"--max", L"1 гб"}, L"--min: Превышен диапазон"},
        {{L"add", L"--category", L"(Все)", L"--min", L"2 кб", L"--max", L"2047"},
         L"Максимальное значение размера файла не может быть меньше минимального!"},
        {{L"add", L"--category", L"Фото", L"--min", L"0", L"--max", L"1"}, L"(Все), Архивы, Видео"},
        {{L"add", L"--extension", L"docx", L"--min", L"0", L"--max", L"1"}, L"gif, html, jpg"},
        {{L"add", L"--extension", L"", L"--min", L"0", L"--max", L"1"}, L"неизвестное расширение"},
        {{L"add", L"--category", L"Видео", L"--extension", L"js", L"--min", L"0", L"--max", L"1"}, L"--category"},
        {{L"add", L"--category", L"Видео", L"--min", L"0"}, L"--max"},
        {{L"add", L"--category", L"Видео", L"--min", L"--max", L"1"}, L"--min"},
        {{L"add", L"--category", L"Видео", L"--min", L"0", L"--max"}, L"--max"},
        {{L"add", L"--category", L"Видео", L"--min", L"", L"--max", L"1"}, L"пустое значение у параметра --min"},
        {{L"add", L"--category", L"Видео", L"--min", L"0", L"--max", L""}, L"пустое значение у параметра --max"},
        {{L"add", L"--extension", L"gif", L"--min", L"0", L"--max", L"  "}, L"пустое значение у параметра --max"},
        {{L"add", L"--category", L"Видео", L"--category", L"Видео", L"--min", L"0", L"--max", L"1"}, L"дважды"},
        {{L"add", L"--size", L"1"}, L"--size"},
        {{L"delete", L"0"}, L"всего фильтров: 3"},
        {{L"delete", L"4"}, L"всего фильтров: 3"},
        {{L"delete", L"99999999999999999999999"}, L"всего фильтров: 3"},
        {{L"delete", L"-1"}, L"-1"},
        {{L"delete"}, L"номер"},
        {{L"list", L"all"}, L"all"},
        {{L"remove", L"1"}, L"remove"},
        {{}, L"команда"},
    };
    const std::string before = fileOf({kVideo, kJs, kAll});
    for (const Case& c : cases) {
        writeWholeFile(path, before);
        Outcome outcome = run(c.args);
        std::wstring line;
        for (const std::wstring& a : c.args) line += L"[" + a + L"]";
        EXPECT_EQ(outcome.status, kFiltersBadUsage) << line;
        EXPECT_NE(outcome.err.find(c.said), std::wstring::npos) << line << ": " << outcome.err;
        EXPECT_EQ(outcome.out, L"") << line;
        EXPECT_EQ(readWholeFile(path), before) << line;
    }
}

TEST_F(FiltersCliTest, AMissingFileIsOnlyCreatedByASuccessfulAdd) {
    EXPECT_EQ(run({L"list"}).out, L"Фильтров нет.\n");
    EXPECT_EQ(run({L"delete", L"1"}).status, kFiltersBadUsage);
    EXPECT_EQ(run({L"add", L"--extension", L"gif", L"--min", L"0", L"--max", L"4 гб"}).status, kFiltersBadUsage);
    EXPECT_FALSE(fileExists(path));
}

TEST_F(FiltersCliTest, AFileThatCannotBeUsedIsAFileError) {
    ASSERT_TRUE(createDirectory(path.c_str()));
    const std::vector<std::wstring> commands[] = {
        {L"list"},
        {L"add", L"--extension", L"gif", L"--min", L"0", L"--max", L"1"},
        {L"delete", L"1"},
    };
    for (const std::vector<std::wstring>& args : commands) {
        Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, kFiltersFileError) << args[0];
        EXPECT_NE(outcome.err.find(L"filters.qmf"), std::wstring::npos) << args[0] << ": " << outcome.err;
    }
}

}  // namespace
