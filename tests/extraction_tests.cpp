// From object datagrams to finished files: the whole receiving path, fed with
// streams our broadcaster makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <zlib.h>
#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

#include "extraction/object_datagram.h"
#include "tests/extraction_support.h"

namespace {

std::vector<ObjectToSend> sampleObjects() {
    return {
        {"notes.txt", textBytes(700, 1), {}},
        {"photo.jpg", randomBytes(200000, 2), {}},
        {"manual.pdf", textBytes(1500000, 3), {}},
        {"tiny.zip", randomBytes(1, 4), {}},
    };
}

void expectReceived(TestReceiver& r, const std::vector<ObjectToSend>& objects, const std::wstring& dir,
                    const std::vector<std::wstring>& names) {
    ASSERT_EQ(r.filesIn(dir), names);
    for (size_t i = 0; i < objects.size(); ++i) {
        // Names sort as the objects do here; find each by its stem.
        std::string stem = objects[i].name.substr(0, objects[i].name.find('.'));
        bool found = false;
        for (const std::wstring& name : names) {
            if (name.compare(0, stem.size(), std::wstring(stem.begin(), stem.end())) != 0) continue;
            EXPECT_TRUE(readWholeFile(dir + name) == asString(objects[i].content)) << objects[i].name;
            found = true;
        }
        EXPECT_TRUE(found) << objects[i].name;
    }
}

struct Variant {
    const char* what;
    BroadcastOptions options;
};

std::vector<Variant> variants() {
    std::vector<Variant> all;
    BroadcastOptions plain;
    all.push_back({"one object after another", plain});
    BroadcastOptions interleaved;
    interleaved.interleave = true;
    all.push_back({"interleaved objects", interleaved});
    BroadcastOptions shuffled;
    shuffled.interleave = true;
    shuffled.reorder = 0.3;
    shuffled.duplicate = 0.2;
    shuffled.seed = 7;
    all.push_back({"reordered and duplicated datagrams", shuffled});
    BroadcastOptions flagged;
    flagged.extension = 0.5;
    flagged.seed = 3;
    all.push_back({"the extension flag", flagged});
    BroadcastOptions packed;
    packed.pack = true;
    packed.interleave = true;
    all.push_back({"sections packed behind each other", packed});
    return all;
}

TEST(Extraction, EveryObjectComesOutAsTheSameFileUnderEveryStreamVariant) {
    std::vector<ObjectToSend> objects = sampleObjects();
    for (const Variant& v : variants()) {
        SCOPED_TRACE(v.what);
        TestReceiver r("e2e");
        r.feed(makeBroadcast(objects, v.options));
        ASSERT_TRUE(r.waitUntilIdle());
        expectReceived(r, objects, r.ok, {L"manual (2).pdf", L"notes (0).txt", L"photo (1).jpg", L"tiny (3).zip"});
        EXPECT_TRUE(r.filesIn(r.tmp).empty());
        EXPECT_EQ(r.view.inserted, 4u);
        EXPECT_EQ(r.view.placedPaths.size(), 4u);
        std::string log = r.log.text();
        EXPECT_NE(log.find("File: notes (0).txt - ok\n"), std::string::npos);
        EXPECT_EQ(r.intake->discontinuityCount.load(), 0);
    }
}

TEST(Extraction, TheListRowCarriesNameIconAndSizeText) {
    TestReceiver r("rows");
    r.feed(makeBroadcast({{"a.gif", randomBytes(1023, 1), {}}, {"b.png", randomBytes(1048576, 2), {}}}, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    ASSERT_EQ(r.view.names.size(), 2u);
    EXPECT_EQ(r.view.names[0], L"a (0).gif");
    EXPECT_EQ(r.view.icons[0], 0);
    EXPECT_EQ(r.view.sizeTexts[0], L"1023 Б");
    EXPECT_EQ(r.view.icons[1], 7);
    EXPECT_EQ(r.view.sizeTexts[1].substr(0, 1), L"1");
    EXPECT_EQ(r.view.sizeTexts[1].substr(4), L" МБ");
}

TEST(Extraction, ObjectsThatCannotBeReceivedLeaveNothingBehind) {
    struct Case {
        const char* what;
        std::vector<ObjectToSend> objects;
        BroadcastOptions options;
        bool emptyTmpDir;
        bool rejectAll;
    };
    BroadcastOptions dropFirst;
    dropFirst.drop = 1.0;
    dropFirst.dropFirst = true;
    ObjectToSend noLength{"a.txt", textBytes(100, 1), {}};
    noLength.header.contentLength = false;
    ObjectToSend noType{"a.gz", textBytes(100, 1), {}};
    noType.header.contentTypeText = "application/x-gzip";
    ObjectToSend notFound{"a.txt", textBytes(100, 1), {}};
    notFound.header.status = "404 Not Found";
    std::vector<Case> cases = {
        {"the first datagram missed", {{"a.txt", textBytes(5000, 1), {}}}, dropFirst, false, false},
        {"no Content-Length", {noLength}, {}, false, false},
        {"no known type", {noType}, {}, false, false},
        {"status 404", {notFound}, {}, false, false},
        {"the filter set rejects it", {{"a.txt", textBytes(100, 1), {}}}, {}, false, true},
        {"tmp_dir empty", {{"a.txt", textBytes(100, 1), {}}}, {}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestReceiver r("nothing");
        if (c.emptyTmpDir) setSharedPath(r.extraction->tmpDir, L"");
        if (c.rejectAll) r.setFilters({});
        r.feed(makeBroadcast(c.objects, c.options));
        ASSERT_TRUE(r.waitUntilIdle());
        EXPECT_EQ(r.view.inserted, 0u);
        EXPECT_TRUE(r.filesIn(r.ok).empty());
        EXPECT_TRUE(r.filesIn(r.tmp).empty());
    }
}

TEST(Extraction, AnObjectThatStopsArrivingIsDiscardedAfterTheIdleTimeOut) {
    TestReceiver r("idle", 200);
    ObjectToSend object{"big.bin", randomBytes(100000, 5), {}};
    std::vector<SentDatagram> sent;
    makeBroadcast({object}, {}, &sent);
    ASSERT_GT(sent.size(), 3u);
    for (size_t i = 0; i + 1 < sent.size(); ++i) r.feedDatagram(sent[i].datagram, sent[i].endpoints);
    EXPECT_EQ(r.liveTransfers(), 1u);
    ASSERT_TRUE(r.waitUntilIdle(10000));
    EXPECT_TRUE(r.filesIn(r.ok).empty());
    EXPECT_TRUE(r.filesIn(r.tmp).empty());
    // A late datagram of the discarded object starts nothing.
    r.feedDatagram(sent.back().datagram, sent.back().endpoints);
    EXPECT_EQ(r.view.inserted, 1u);
}

TEST(Extraction, ACancelledObjectIsDiscardedAndItsKeyCanStartAgain) {
    TestReceiver r("cancel");
    ObjectToSend object{"big.bin", randomBytes(100000, 6), {}};
    std::vector<SentDatagram> sent;
    makeBroadcast({object}, {}, &sent);
    r.feedDatagram(sent[0].datagram, sent[0].endpoints);
    ASSERT_EQ(r.liveTransfers(), 1u);
    {
        ScopedLock lock(r.extraction->table.mutex);
        Transfer* t = r.extraction->table.first;
        ASSERT_TRUE(containsTransfer(r.extraction->table, t));
        cancelTransfer(t);
    }
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_TRUE(r.filesIn(r.tmp).empty());
    // The whole object again: received under the next counter.
    for (const SentDatagram& d : sent) r.feedDatagram(d.datagram, d.endpoints);
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"big (1).bin"});
}

// A stream that ends inside an object is a failure, even when every byte arrived.
TEST(Extraction, AZlibStreamThatEndsIsAFailure) {
    std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/css\r\nContent-Length: 5\r\n\r\nabcde";
    Bytes compressed(compressBound(uLong(response.size())));
    uLongf size = uLongf(compressed.size());
    ASSERT_EQ(compress(compressed.data(), &size, reinterpret_cast<const Bytef*>(response.data()),
                       uLong(response.size())),
              Z_OK);
    compressed.resize(size);
    TestReceiver r("ended");
    UdpEndpoints endpoints;
    r.feedDatagram(buildDatagram({}, compressed), endpoints);
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.view.inserted, 0u);  // the first datagram's own inflate sees the end

    // The end arriving in a later datagram: the object is started, then discarded.
    std::vector<Bytes> payloads = encodeObject({"s.css", randomBytes(30000, 1), {}});
    ASSERT_GT(payloads.size(), 2u);
    r.feedDatagram(buildDatagram({}, payloads[0]), endpoints);
    // An empty final block and the stream's check value: the end of the stream.
    Bytes inflated(70000);
    z_stream stream{};
    ASSERT_EQ(inflateInit(&stream), Z_OK);
    stream.next_in = payloads[0].data();
    stream.avail_in = uInt(payloads[0].size());
    stream.next_out = inflated.data();
    stream.avail_out = uInt(inflated.size());
    ASSERT_EQ(inflate(&stream, Z_SYNC_FLUSH), Z_OK);
    inflateEnd(&stream);
    uLong check = adler32(adler32(0, nullptr, 0), inflated.data(), uInt(stream.total_out));
    Bytes finalBlock = {0x03, 0x00, uint8_t(check >> 24), uint8_t(check >> 16), uint8_t(check >> 8), uint8_t(check)};
    DatagramFields second;
    second.sequence = 2;
    r.feedDatagram(buildDatagram(second, finalBlock), endpoints);
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.view.inserted, 1u);
    EXPECT_TRUE(r.filesIn(r.ok).empty());
    EXPECT_TRUE(r.filesIn(r.tmp).empty());
}

TEST(Extraction, ARepeatOfTheFirstDatagramDoesNotDestroyTheObject) {
    TestReceiver r("repeat1");
    ObjectToSend object{"doc.txt", textBytes(300000, 9), {}};
    std::vector<SentDatagram> sent;
    makeBroadcast({object}, {}, &sent);
    ASSERT_GT(sent.size(), 3u);
    for (size_t i = 0; i < sent.size(); ++i) {
        r.feedDatagram(sent[i].datagram, sent[i].endpoints);
        if (i == 1) r.feedDatagram(sent[0].datagram, sent[0].endpoints);
    }
    ASSERT_TRUE(r.waitUntilIdle());
    ASSERT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"doc (0).txt"});
    EXPECT_TRUE(readWholeFile(r.ok + L"doc (0).txt") == asString(object.content));
}

TEST(Extraction, SortingPutsFilesIntoOneDirectoryPerExtension) {
    TestReceiver r("sorted", 10000, 1);
    std::vector<ObjectToSend> objects = {{"a.jpg", randomBytes(500, 1), {}},
                                         {"report.final.pdf", textBytes(500, 2), {}},
                                         {"b.jpg", randomBytes(500, 3), {}}};
    r.feed(makeBroadcast(objects, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    std::wstring jpg = r.ok + L"jpg" + kPathSeparator;
    EXPECT_EQ(r.filesIn(jpg), (std::vector<std::wstring>{L"a (0).jpg", L"b (2).jpg"}));
    EXPECT_EQ(r.filesIn(r.ok + L"pdf" + kPathSeparator), std::vector<std::wstring>{L"report.final (1).pdf"});
    EXPECT_TRUE(readWholeFile(jpg + L"b (2).jpg") == asString(objects[2].content));

    // A plain file where the directory should be: the object is lost, the
    // temporary file goes anyway, the log says why, and the next one is saved.
    writeWholeFile(r.ok + L"png", "in the way");
    r.feed(makeBroadcast({{"c.png", randomBytes(500, 4), {}}, {"d.jpg", randomBytes(500, 5), {}}}, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.view.failedPlacements, 1u);
    EXPECT_TRUE(r.filesIn(r.tmp).empty());
    EXPECT_EQ(r.log.text().find("File: c (3).png - ok"), std::string::npos);
    EXPECT_NE(r.log.text().find("File: c (3).png - not saved: "), std::string::npos);
    EXPECT_NE(r.log.text().find("File: d (4).jpg - ok\n"), std::string::npos);
    EXPECT_EQ(readWholeFile(r.ok + L"png"), "in the way");
}

TEST(Extraction, AFinishedFileNeverReplacesAnExistingOne) {
    TestReceiver r("existing");
    writeWholeFile(r.ok + L"photo (0).jpg", "yesterday's photo");
    writeWholeFile(r.ok + L"photo (0) (2).jpg", "and another");
    ObjectToSend object{"photo.jpg", randomBytes(3000, 1), {}};
    r.feed(makeBroadcast({object}, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(readWholeFile(r.ok + L"photo (0).jpg"), "yesterday's photo");
    EXPECT_EQ(readWholeFile(r.ok + L"photo (0) (2).jpg"), "and another");
    EXPECT_TRUE(readWholeFile(r.ok + L"photo (0) (3).jpg") == asString(object.content));
    ASSERT_EQ(r.view.placedPaths.size(), 1u);
    EXPECT_EQ(r.view.placedPaths[0], r.ok + L"photo (0) (3).jpg");
}

TEST(Extraction, HostileNamesStayInsideTheirDirectories) {
    TestReceiver r("hostile");
    std::vector<ObjectToSend> objects = {{"../../escape.txt", textBytes(100, 1), {}},
                                         {"..\\..\\escape2.txt", textBytes(100, 2), {}},
                                         {"CON.txt", textBytes(100, 3), {}},
                                         {"a:b.txt", textBytes(100, 4), {}}};
    r.feed(makeBroadcast(objects, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.filesIn(r.ok), (std::vector<std::wstring>{L".._.._escape (0).txt", L".._.._escape2 (1).txt",
                                                          L"_CON (2).txt", L"a_b (3).txt"}));
    EXPECT_EQ(r.filesIn(r.root.path), (std::vector<std::wstring>{L"filters.qmf", L"ok", L"tmp"}));
}

TEST(Extraction, TheSortSettingTakesEffectWithTheNextObject) {
    TestReceiver r("sort-switch");
    ObjectToSend first{"first.jpg", randomBytes(700, 1), {}}, second{"second.jpg", randomBytes(700, 2), {}};
    r.feed(makeBroadcast({first}, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    r.extraction->sortByExtension.store(1);
    r.feed(makeBroadcast({second}, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    std::wstring jpg = r.ok + L"jpg" + kPathSeparator;
    EXPECT_EQ(r.filesIn(r.ok), (std::vector<std::wstring>{L"first (0).jpg", L"jpg"}));
    EXPECT_EQ(r.filesIn(jpg), std::vector<std::wstring>{L"second (1).jpg"});
    EXPECT_TRUE(readWholeFile(jpg + L"second (1).jpg") == asString(second.content));

    r.extraction->sortByExtension.store(0);
    r.feed(makeBroadcast({{"third.jpg", randomBytes(700, 3), {}}}, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.filesIn(r.ok), (std::vector<std::wstring>{L"first (0).jpg", L"jpg", L"third (2).jpg"}));
}

TEST(Extraction, StartUpReadsTheTimeOutInSecondsAndTheSortSetting) {
    struct Case {
        const char* config;  // nullptr: no config.ini at all
        uint32_t idleTimeout;
        int32_t sort;
    } cases[] = {
        {"timeout = 2\r\nsort = 1\r\n", 2000, 1},
        {"sort = 0\r\ntimeout = 30\r\n", 30000, 0},
        {"TIMEOUT = 45 s\r\nSort = 1", 45000, 1},
        {"sort = 1\r\n", 0, 1},                 // a missing timeout reads as 0
        {"timeout = 4294968\r\n", 0xFFFFFFFEu, 0},  // too long for 32 bits: the longest finite wait
        {nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        ScratchDirectory dir("init");
        if (c.config) writeWholeFile(dir.file(L"config.ini"), c.config);
        CurrentDirectoryScope here(dir.path);
        Extraction x;
        x.idleTimeout = 12345;
        x.sortByExtension.store(7);
        initExtraction(x);
        EXPECT_NE(x.table.mutex, nullptr);
        EXPECT_EQ(x.idleTimeout, c.idleTimeout) << (c.config ? c.config : "no config.ini");
        EXPECT_EQ(x.sortByExtension.load(), c.sort) << (c.config ? c.config : "no config.ini");
        closeMutex(x.table.mutex);
        closeMutex(x.ownFiles.mutex);
    }
}

// Names in the OEM code page, as the broadcaster announces them, end up as
// the system reads that code page, cut to what one name component holds.
TEST(Extraction, CyrillicNamesArriveWholeOrCutToFit) {
    TestReceiver r("cyrillic");
    const std::string report = "\x8E\xE2\xE7\xF1\xE2";  // "Отчёт" in code page 866
    // Natively 150 times "п", 300 bytes in UTF-8, cut to fit. On Windows 100,
    // kept whole (Wine keeps names in UTF-8 on the host's file system too).
    const size_t letters = kFileNameUnit == FileNameUnit::utf8 ? 150 : 100;
    const std::string longName(letters, '\xAF');
    std::vector<ObjectToSend> objects = {{report + ".pdf", textBytes(5000, 1), {}},
                                         {longName + ".txt", textBytes(3000, 2), {}},
                                         {report + " " + report + ".jpg", randomBytes(100000, 3), {}}};
    r.feed(makeBroadcast(objects, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    auto oem = [](const std::string& bytes) {
        wchar_t wide[kFileNameCapacity];
        size_t n = oemToWide(bytes.data(), bytes.size(), wide, kFileNameCapacity);
        return std::wstring(wide, n);
    };
    size_t keptOfLong = kFileNameUnit == FileNameUnit::utf8 ? 123 : letters;
    std::vector<std::wstring> expected = {oem(report) + L" (0).pdf", oem(longName).substr(0, keptOfLong) + L" (1).txt",
                                          oem(report) + L" " + oem(report) + L" (2).jpg"};
    std::vector<std::wstring> sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(r.filesIn(r.ok), sorted);
    for (size_t i = 0; i < objects.size(); ++i)
        EXPECT_TRUE(readWholeFile(r.ok + expected[i]) == asString(objects[i].content)) << i;
    EXPECT_TRUE(r.filesIn(r.tmp).empty());
    EXPECT_EQ(r.view.failedPlacements, 0u);
}

// The partial file must fit wherever the finished one does: an ok_dir that
// leaves room for the finished name and no more still receives the file.
TEST(Extraction, AFinishedFileIsPlacedWhereverItsPathFits) {
    TestReceiver r("deep-ok");
    const std::wstring name = L"doc (0).txt";
    size_t room = kMaxPath - 1 - name.size();  // the longest ok_dir, separator included
    std::wstring prefix = r.root.file(L"o");
    ASSERT_LT(prefix.size() + 2, room);
    std::wstring deep = prefix + std::wstring(room - prefix.size() - 1, L'o') + kPathSeparator;
    ASSERT_EQ(deep.size(), room);
    ASSERT_TRUE(createDirectory(deep.substr(0, deep.size() - 1).c_str()));
    setSharedPath(r.extraction->okDir, deep.c_str());
    ObjectToSend object{"doc.txt", textBytes(4000, 1), {}};
    r.feed(makeBroadcast({object}, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    ASSERT_EQ(r.filesIn(deep), std::vector<std::wstring>{name});
    EXPECT_TRUE(readWholeFile(deep + name) == asString(object.content));
    EXPECT_EQ(r.view.failedPlacements, 0u);

    // One character more and the finished path no longer fits: nothing is
    // left behind, under any name.
    r.feed(makeBroadcast({{"docs.txt", textBytes(4000, 2), {}}}, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.view.failedPlacements, 1u);
    EXPECT_EQ(r.filesIn(deep), std::vector<std::wstring>{name});
    EXPECT_TRUE(r.filesIn(r.tmp).empty());
}

#if !defined(_WIN32)
// A link whose target is gone still holds its name: the file takes the next
// free name instead of being lost, and the link is left alone.
TEST(Extraction, ADanglingLinkAtTheNameIsPassedOver) {
    TestReceiver r("dangling");
    std::filesystem::create_symlink(std::filesystem::path(r.root.path) / "gone", std::filesystem::path(r.ok) / "photo (0).jpg");
    ObjectToSend object{"photo.jpg", randomBytes(3000, 1), {}};
    r.feed(makeBroadcast({object}, {}));
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_TRUE(readWholeFile(r.ok + L"photo (0) (2).jpg") == asString(object.content));
    EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::path(r.ok) / "photo (0).jpg"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(r.root.path) / "gone"));
    EXPECT_EQ(r.view.failedPlacements, 0u);
}
#endif

// Assembly on its own: segments filed out of order, and a missing one.
struct ManualTransfer {
    TestReceiver& r;
    Transfer* t = new Transfer;
    explicit ManualTransfer(TestReceiver& receiver) : r(receiver) {
        t->owner = r.extraction.get();
        std::wcscpy(t->fileName, L"parts (0).txt");
        t->tempFile.store(openFile((r.tmp + t->fileName).c_str(), FileAccess::readWrite, FileShare::read,
                                   FileCreation::createAlways));
    }
    ~ManualTransfer() {
        closeFile(t->tempFile.load());
        freeSegments(*t);
        delete t;
    }
    void add(uint32_t sequence, const std::string& bytes) {
        FileHandle file = t->tempFile.load();
        seekFileToEnd(file);
        SegmentNode* node = addSegment(*t, sequence, uint32_t(filePosition(file)));
        node->length = uint32_t(writeFile(file, bytes.data(), uint32_t(bytes.size())));
        if (sequence > t->maxSequence) t->maxSequence = sequence;
    }
};

TEST(Assembly, SegmentsAreCopiedInSequenceOrderWhateverTheirArrival) {
    TestReceiver r("assembly");
    ManualTransfer m(r);
    m.add(1, "one ");
    m.add(3, "three");
    m.add(2, "two ");
    m.add(4, "");  // a payload that inflated to nothing
    wchar_t placed[kMaxPath];
    EXPECT_EQ(assembleFile(r.ok.c_str(), m.t, placed), 1);
    EXPECT_EQ(readWholeFile(placed), "one two three");
    EXPECT_EQ(m.t->segments.first, nullptr);  // every node copied and freed
}

TEST(Assembly, AMissingSequenceNumberLeavesNoTruncatedFile) {
    TestReceiver r("gap");
    ManualTransfer m(r);
    m.add(1, "one ");
    m.add(3, "three");
    wchar_t placed[kMaxPath];
    EXPECT_EQ(assembleFile(r.ok.c_str(), m.t, placed), 0);
    EXPECT_TRUE(r.filesIn(r.ok).empty());
    ASSERT_NE(m.t->segments.first, nullptr);  // what was not copied stays for the teardown
    EXPECT_EQ(m.t->segments.first->sequence, 3u);
    // An unwritable destination: nothing at all.
    ManualTransfer other(r);
    other.add(1, "x");
    std::wstring missing = r.ok + L"nowhere" + kPathSeparator;
    EXPECT_EQ(assembleFile(missing.c_str(), other.t, placed), 0);
#if !defined(_WIN32)
    // The disk fills up while the finished file is written.
    ManualTransfer big(r);
    big.add(1, std::string(200000, 'b'));
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit full = {100000, before.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &full);
    EXPECT_FALSE(placeFinishedFile(big.t));
    setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(r.view.failedPlacements, 1u);
    EXPECT_TRUE(r.filesIn(r.ok).empty());
#endif
}

TEST(Exit, AnObjectBeingFinishedIsPlacedWholeHoweverShortTheWait) {
    for (bool discard : {false, true}) {
        SCOPED_TRACE(discard ? "discarding the rest" : "keeping the rest");
        TestReceiver r("exit-finish", 3000);
        r.extraction->afterReadyForMore = [](void*, Transfer* t) { t->closing.load() ? sleepMilliseconds(400) : void(); };
        std::vector<ObjectToSend> objects = {{"done.bin", randomBytes(30000, 1), {}}, {"half.bin", randomBytes(30000, 2), {}}};
        std::vector<SentDatagram> sent;
        makeBroadcast(objects, {}, &sent);
        for (size_t i = 0; i + 1 < sent.size(); ++i) r.feedDatagram(sent[i].datagram, sent[i].endpoints);
        settleTransfers(*r.extraction, discard, 20, nullptr, nullptr);
        ASSERT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"done (0).bin"});
        EXPECT_TRUE(readWholeFile(r.ok + L"done (0).bin") == asString(objects[0].content));
        EXPECT_EQ(r.liveTransfers(), discard ? 0u : 1u);
        EXPECT_EQ(r.filesIn(r.tmp).size(), discard ? 0u : 1u);
    }
}

TEST(Exit, TmpDirIsNotClearedWhereItHoldsMoreThanTheProgramsFiles) {
    TestReceiver r("exit-refuse");  // filters.qmf lies in its root
    const std::wstring sep(1, kPathSeparator), work = r.root.file(L"work") + sep, settings = r.root.file(L"settings") + sep;
    const std::wstring filters = r.root.file(L"filters") + sep;
    for (const std::wstring& dir : {work, settings, filters, r.ok + L"jpg"}) ASSERT_TRUE(createDirectory(dir.c_str()));
    writeWholeFile(settings + L"config.ini", "wnd = 5\r\n");
    writeWholeFile(filters + L"filters.qmf", "");
    CurrentDirectoryScope here(work);
    std::pair<std::wstring, const char*> rows[] = {
        {work, "it is the working directory or holds it"},
        {work + L"." + sep, "it is the working directory or holds it"},
        {r.root.path + sep, "it is the working directory or holds it"},
        {std::wstring(2, kPathSeparator) + L"nas" + sep + L"share" + sep, "it is a root directory"},
        {r.root.path.substr(0, r.root.path[1] == L':' ? 3 : 1), "it is a root directory"},
        {r.ok, "it is ok_dir or holds it"},        {r.ok + L"x" + sep + L".." + sep, "it is ok_dir or holds it"},
        {settings, "it holds config.ini"},         {filters, "it holds filters.qmf"},
        {r.tmp, nullptr},                          {r.ok + L"jpg" + sep, nullptr},
    };
#if !defined(_WIN32)
    EXPECT_STREQ(tmpClearRefusal(L"/proc/", r.ok.c_str()), "it is a root directory");  // a mount point
#endif
    for (const auto& [tmp, refusal] : rows) {
        EXPECT_STREQ(tmpClearRefusal(tmp.c_str(), r.ok.c_str()), refusal) << tmp;
        EXPECT_EQ(tmpDirMayBeCleared(*r.extraction, tmp.c_str()), refusal == nullptr);
    }
    EXPECT_NE(r.log.text().find("tmp_dir not cleared: it holds config.ini\n"), std::string::npos);
}

// Receivers sharing tmp_dir and ok_dir: one that ended without its clean-up,
// one still running, and one starting. Only what the ended one recorded goes.
TEST(OwnFiles, AStartRemovesOnlyWhatAnEndedReceiverRecorded) {
    TestReceiver ended("own-ended"), running("own-running"), starting("own-starting");
    for (TestReceiver* r : {&running, &starting}) {
        setSharedPath(r->extraction->tmpDir, ended.tmp.c_str());
        setSharedPath(r->extraction->okDir, ended.ok.c_str());
    }
    const std::wstring& tmp = ended.tmp;
    const std::wstring& ok = ended.ok;
    ASSERT_TRUE(createDirectory((ok + L"jpg").c_str()));
    auto make = [](TestReceiver& r, const std::wstring& path, OwnFileKind kind) {
        recordOwnFile(r.extraction->ownFiles, path.c_str(), kind);
        writeWholeFile(path, "ours");
    };
    startOwnFiles(*ended.extraction);
    startOwnFiles(*running.extraction);
    make(ended, ok + L"~0123abc", OwnFileKind::partial);
    make(ended, ok + L"jpg" + kPathSeparator + L"~89abcde", OwnFileKind::partial);
    make(ended, tmp + L"half (0).bin", OwnFileKind::temporary);
    make(ended, ok + L"~5555555", OwnFileKind::partial);
    forgetOwnFile(ended.extraction->ownFiles, (ok + L"~5555555").c_str());  // renamed: the user's now
    // The crash: the journal is let go of without the end's clean-up.
    closeFile(ended.extraction->ownFiles.journal);
    ended.extraction->ownFiles.journal = kNoFile;
    ended.extraction->ownFiles.live.clear();

    make(running, ok + L"~7777777", OwnFileKind::partial);
    make(running, tmp + L"live (0).bin", OwnFileKind::temporary);
    // The user's own files, some with names like ours.
    for (const std::wstring& mine : {ok + L"~0123abd", tmp + L"notes.txt", tmp + L"~1234567.tmp"})
        writeWholeFile(mine, "mine");

    startOwnFiles(*starting.extraction);
    EXPECT_NE(starting.log.text().find("Removed 2 partial files left in ok_dir\n"), std::string::npos);
    EXPECT_EQ(starting.filesIn(ok), (std::vector<std::wstring>{L"jpg", L"~0123abd", L"~5555555", L"~7777777"}));
    EXPECT_TRUE(starting.filesIn(ok + L"jpg").empty());
    // The ended receiver's temporary file is taken over, and goes at the end with clear_tmp.
    endOwnFiles(*starting.extraction, true);
    endOwnFiles(*running.extraction, false);
    std::vector<std::wstring> left = starting.filesIn(tmp);
    EXPECT_EQ(left.size(), 4u);  // the running receiver's journal, its file, and the user's two
    for (const wchar_t* name : {L"live (0).bin", L"notes.txt", L"~1234567.tmp"})
        EXPECT_NE(std::find(left.begin(), left.end(), name), left.end()) << name;
}

// Two receivers (two PIDs) on one tmp_dir and ok_dir receive two objects of
// the same name at once: each file is whole and its own, and neither is lost.
TEST(OwnFiles, ReceiversSharingFoldersNeverMixTheirFiles) {
    TestReceiver a("shared-a"), b("shared-b");
    setSharedPath(b.extraction->tmpDir, a.tmp.c_str());
    setSharedPath(b.extraction->okDir, a.ok.c_str());
    ObjectToSend first{"photo.jpg", randomBytes(200000, 7), {}}, second{"photo.jpg", randomBytes(200000, 8), {}};
    std::vector<SentDatagram> toA, toB;
    makeBroadcast({first}, {}, &toA);
    makeBroadcast({second}, {}, &toB);
    for (size_t i = 0; i < toA.size() || i < toB.size(); ++i) {
        if (i < toA.size()) a.feedDatagram(toA[i].datagram, toA[i].endpoints);
        if (i < toB.size()) b.feedDatagram(toB[i].datagram, toB[i].endpoints);
    }
    ASSERT_TRUE(a.waitUntilIdle());
    ASSERT_TRUE(b.waitUntilIdle());
    ASSERT_EQ(a.view.placedPaths.size(), 1u);
    ASSERT_EQ(b.view.placedPaths.size(), 1u);
    EXPECT_TRUE(readWholeFile(a.view.placedPaths[0]) == asString(first.content));
    EXPECT_TRUE(readWholeFile(b.view.placedPaths[0]) == asString(second.content));
    EXPECT_TRUE(a.filesIn(a.tmp).empty());
}

// The exit's clean-up wherever tmp_dir points: the user's files there stay.
TEST(OwnFiles, TheExitDeletesOnlyTheProgramsTemporaryFiles) {
    struct Row {
        const char* name;
        bool aboveWorkingDirectory;
        bool ownFileGoes;
    } rows[] = {{"a folder of the user's files", false, true}, {"the folder above the working directory", true, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestReceiver r("exit-own");
        const std::wstring work = r.tmp + L"work" + kPathSeparator;
        ASSERT_TRUE(createDirectory(work.c_str()));
        writeWholeFile(work + L"config.ini", "wnd = 5\r\n");
        writeWholeFile(r.tmp + L"Documents.txt", "mine");
        std::unique_ptr<CurrentDirectoryScope> here;
        if (row.aboveWorkingDirectory) here = std::make_unique<CurrentDirectoryScope>(work);
        startOwnFiles(*r.extraction);
        std::vector<SentDatagram> sent;
        makeBroadcast({{"half.bin", randomBytes(30000, 3), {}}}, {}, &sent);
        r.feedDatagram(sent[0].datagram, sent[0].endpoints);
        settleTransfers(*r.extraction, true, 1000, nullptr, nullptr);
        ASSERT_TRUE(r.waitUntilIdle());
        r.extraction->ownFiles.live[r.tmp + L"left (9).bin"] = OwnFileKind::temporary;  // cut off by the settle limit
        writeWholeFile(r.tmp + L"left (9).bin", "ours");
        endOwnFiles(*r.extraction, true);
        EXPECT_EQ(fileExists(r.tmp + L"left (9).bin"), !row.ownFileGoes);
        EXPECT_TRUE(fileExists(r.tmp + L"Documents.txt"));
        EXPECT_TRUE(fileExists(work + L"config.ini"));
    }
}

}  // namespace
