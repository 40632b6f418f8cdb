#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "extraction/content_classes.h"
#include "platform/platform.h"
#include "settings/filter_set.h"
#include "settings/messages.h"
#include "tests/test_support.h"

namespace {

struct Said {
    std::wstring text;
    std::wstring caption;
    MessageIcon icon;
};

void record(void* context, const wchar_t* text, const wchar_t* caption, MessageIcon icon) {
    static_cast<std::vector<Said>*>(context)->push_back({text, caption ? caption : L"", icon});
}

const ExtensionEntry* ext(const wchar_t* text) { return findExtension(text); }

class FilterSetTest : public ::testing::Test {
protected:
    ScratchDirectory dir{"filters"};
    std::wstring path = dir.file(L"filters.qmf");
    std::vector<Said> said;
    FilterSet set;

    void SetUp() override { setMessageSink({record, &said}); }
    void TearDown() override {
        setMessageSink({});
        emptyFilterSet(set);
    }
    void loadFile(const std::string& bytes) {
        writeWholeFile(path, bytes);
        load(set, path.c_str());
    }
};

TEST_F(FilterSetTest, AMissingFileIsCreatedEmptyAndDrawsTheWarning) {
    load(set, path.c_str());
    EXPECT_TRUE(fileExists(path));
    EXPECT_EQ(readWholeFile(path), "");
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].text, L"Фильтры не найдены. Необходимо создать хотя бы один фильтр.");
    EXPECT_EQ(said[0].caption, L"Внимание!");
    EXPECT_EQ(said[0].icon, MessageIcon::warning);
    EXPECT_EQ(match(set, 100, ext(L"gif")), -1);
}

TEST_F(FilterSetTest, AnEmptyFileWarnsAndAPartialOneDoesNot) {
    loadFile("");
    EXPECT_EQ(said.size(), 1u);
    said.clear();
    loadFile(std::string(10, '\0'));
    EXPECT_TRUE(said.empty());
    EXPECT_EQ(filterCount(set), 0u);
    EXPECT_EQ(match(set, 100, ext(L"gif")), -1);
}

TEST_F(FilterSetTest, TrailingBytesAfterTheLastWholeRecordAreIgnored) {
    loadFile(fileOf({byExtension(L"zip", 0, 10), byExtension(L"jpg", 0, 10)}, "12345"));
    EXPECT_EQ(filterCount(set), 2u);
    EXPECT_EQ(match(set, 5, ext(L"jpg")), 2);
}

TEST_F(FilterSetTest, MatchingFollowsKindListAndInclusiveBounds) {
    struct Case {
        std::vector<FilterRecord> records;
        uint32_t length;
        const wchar_t* extension;
        int32_t result;
    } cases[] = {
        {{byCategory(0, 0, 4294967295u)}, 1, L"gif", 0},
        {{byCategory(0, 0, 4294967295u)}, 4294967295u, L"nrg", 28},
        {{byCategory(3, 0, 1000)}, 10, L"js", 9},
        {{byCategory(3, 0, 1000)}, 10, L"json", 10},
        {{byCategory(3, 0, 1000)}, 10, L"jpg", -1},
        {{byCategory(1, 0, 1000)}, 10, L"exe", -1},  // exe is in no category
        {{byExtension(L"js", 0, 1000)}, 10, L"json", -1},
        {{byExtension(L"js", 0, 1000)}, 10, L"js", 9},
        {{byExtension(L"pdf", 1000, 1000)}, 999, L"pdf", -1},
        {{byExtension(L"pdf", 1000, 1000)}, 1000, L"pdf", 20},
        {{byExtension(L"pdf", 1000, 1000)}, 1001, L"pdf", -1},
        {{byCategory(0, 0, 0)}, 1, L"gif", -1},      // a maximum of 0 admits nothing
        {{byCategory(0, 10, 5)}, 7, L"gif", -1},     // minimum above maximum
        {{byExtension(L"zip", 0, 10), byExtension(L"zip", 100, 200)}, 150, L"zip", 16},
        {{byExtension(L"zip", 0, 10), byExtension(L"zip", 100, 200)}, 50, L"zip", -1},
    };
    for (const Case& c : cases) {
        loadFile(fileOf(c.records));
        EXPECT_EQ(match(set, c.length, ext(c.extension)), c.result)
            << "length " << c.length << " extension " << std::string(c.extension, c.extension + 3);
    }
}

TEST_F(FilterSetTest, AnyKindOtherThanOneMatchesByCategory) {
    FilterRecord odd = byCategory(4, 0, 100);
    odd.kind = 7;
    loadFile(fileOf({odd}));
    EXPECT_EQ(match(set, 1, ext(L"png")), 7);
    // An unknown list designates nothing.
    FilterRecord unknown = byCategory(4, 0, 100);
    unknown.listReference = 0x12345678;
    loadFile(fileOf({unknown}));
    EXPECT_EQ(match(set, 1, ext(L"png")), -1);
}

TEST_F(FilterSetTest, RecordsAreLittleEndianOnDisk) {
    FilterRecord r{1, 0x45000002, 0x45000002, 0x01020304, 0xA0B0C0D0};
    std::string bytes = fileOf({r});
    ASSERT_EQ(bytes.size(), 20u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x01\0\0\0", 4));
    EXPECT_EQ(bytes.substr(12, 4), "\x04\x03\x02\x01");
    EXPECT_EQ(bytes.substr(16, 4), "\xD0\xC0\xB0\xA0");
    FilterRecord back = decodeFilterRecord(reinterpret_cast<const uint8_t*>(bytes.data()));
    EXPECT_EQ(back.maximum, 0xA0B0C0D0u);
    EXPECT_EQ(back.listReference, 0x45000002u);
}

TEST_F(FilterSetTest, ReloadReadsTheOpenFileFromTheStart) {
    loadFile(fileOf({byExtension(L"gif", 0, 10)}));
    writeWholeFile(path, fileOf({byExtension(L"gif", 0, 10), byExtension(L"png", 0, 10)}));
    ScopedFile file(openFile(path.c_str(), FileAccess::readWrite, FileShare::read, FileCreation::openExisting));
    ASSERT_TRUE(file.valid());
    seekFileToEnd(file.handle);
    reload(set, file.handle);
    EXPECT_EQ(match(set, 5, ext(L"png")), 7);
    // Emptied by the dialog: the set is empty again, and nothing is said.
    seekFile(file.handle, 0);
    truncateFile(file.handle);
    reload(set, file.handle);
    EXPECT_EQ(match(set, 5, ext(L"gif")), -1);
    EXPECT_TRUE(said.empty());
}

// The packet thread matches while the user interface replaces the set: every
// match must see one whole set, never a freed or half-read block.
struct Matcher {
    FilterSet* set;
    std::atomic<bool>* stop;
    Event* done;
    std::atomic<long> rounds{0};
    long gifs = 0;
    long zips = 0;
    long wrong = 0;
};

void matchUntilStopped(void* raw) {
    Matcher& m = *static_cast<Matcher*>(raw);
    const ExtensionEntry* gif = findExtension(L"gif");
    const ExtensionEntry* zip = findExtension(L"zip");
    while (!m.stop->load()) {
        int32_t g = match(*m.set, 100, gif);
        int32_t z = match(*m.set, 100, zip);
        if (g == 0) ++m.gifs; else if (g != -1) ++m.wrong;
        if (z == 16) ++m.zips; else if (z != -1) ++m.wrong;
        m.rounds.fetch_add(1);
    }
    setEvent(m.done);
}

TEST_F(FilterSetTest, ReloadWhileMatchingNeverShowsAMixedOrFreedSet) {
    std::wstring pathA = dir.file(L"a.qmf"), pathB = dir.file(L"b.qmf");
    std::vector<FilterRecord> manyA(50, byExtension(L"png", 0, 1));
    manyA.push_back(byExtension(L"gif", 0, 1000));
    std::vector<FilterRecord> manyB(50, byExtension(L"png", 0, 1));
    manyB.push_back(byExtension(L"zip", 0, 1000));
    writeWholeFile(pathA, fileOf(manyA));
    writeWholeFile(pathB, fileOf(manyB));
    ScopedFile a(openFile(pathA.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting));
    ScopedFile b(openFile(pathB.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting));
    reload(set, a.handle);

    std::atomic<bool> stop{false};
    Matcher matcher{&set, &stop, createEvent()};
    ASSERT_TRUE(startDetachedThread(matchUntilStopped, &matcher));
    // The reloads only prove something while the matcher is matching: on a
    // loaded machine its thread may start after they would all be over.
    uint64_t deadline = monotonicMilliseconds() + 60000;
    while (matcher.rounds.load() == 0 && monotonicMilliseconds() < deadline) sleepMilliseconds(1);
    bool matching = matcher.rounds.load() > 0;
    for (int i = 0; i < 2000; ++i) reload(set, (i % 2) ? a.handle : b.handle);
    stop.store(true);
    ASSERT_EQ(waitEvent(matcher.done, 60000), WaitResult::signalled);
    closeEvent(matcher.done);
    EXPECT_TRUE(matching) << "the matching thread never ran";
    EXPECT_EQ(matcher.wrong, 0);
    // Both sets were seen (each is in place for half of the reloads).
    EXPECT_GT(matcher.gifs + matcher.zips, 0);
}

}  // namespace
