// The promises of the one-payload hand-off between the packet thread and a
// Transfer's worker, and of objects that follow each other on one key. These
// run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <zlib.h>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include "extraction/object_datagram.h"
#include "tests/extraction_support.h"

namespace {

// Random bytes do not compress: about 2 KiB of the object per datagram.
ObjectToSend randomObject(const char* name, size_t size, uint32_t seed) { return {name, randomBytes(size, seed), {}}; }

// The datagrams of one object, numbered from 1, on the default key.
std::vector<Bytes> datagramsOf(const ObjectToSend& object, EncodeOptions options = {}) {
    std::vector<Bytes> datagrams;
    uint32_t sequence = 1;
    for (const Bytes& payload : encodeObject(object, options)) {
        DatagramFields fields;
        fields.sequence = sequence++;
        datagrams.push_back(buildDatagram(fields, payload));
    }
    return datagrams;
}

Bytes datagram(uint32_t sequence, const Bytes& payload) {
    DatagramFields fields;
    fields.sequence = sequence;
    return buildDatagram(fields, payload);
}

// Every file in ok_dir must be one of the objects sent, byte for byte.
void expectOnlyWholeFiles(TestReceiver& r, const std::vector<ObjectToSend>& objects) {
    for (const std::wstring& name : r.filesIn(r.ok)) {
        std::string bytes = readWholeFile(r.ok + name);
        bool known = false;
        for (const ObjectToSend& o : objects) known = known || bytes == asString(o.content);
        EXPECT_TRUE(known) << "a finished file that was never sent: " << std::string(name.begin(), name.end());
    }
}

// Returns once the worker of the live object on `endpoints`, if there is one,
// has finished its last payload, as a packet thread would find it, and leaves
// the slot as it was.
[[maybe_unused]] void waitForWorker(TestReceiver& r, const UdpEndpoints& e) {
    Transfer* t = findTransfer(r.extraction->table, e.destinationAddress, e.destinationPort, e.sourcePort);
    if (!t) return;
    waitEvent(t->readyForMore, kWaitForever);
    setEvent(t->readyForMore);
    unlockMutex(r.extraction->table.mutex);
}

uint64_t value(const std::atomic<uint64_t>& counter) { return counter.load(); }

// --- Objects that follow each other on one key -------------------------------

constexpr int kNone = -1, kLast = -2;

struct SameKeyCase {
    const char* what;
    int lostOfFirst;         // index of a datagram of the first object never sent
    size_t completeObjects;  // objects expected in ok_dir
    uint64_t replaced;
    HeaderOptions next = HeaderOptions();  // the second object's header
};

TEST(SameKey, EachNewObjectEndsAnIncompleteOneInsteadOfFillingIt) {
    const std::vector<SameKeyCase> cases = {
        {"three whole objects in a row", kNone, 3, 0},
        {"the first object lost a middle datagram", 2, 2, 1},
        {"the first object lost its last datagram", kLast, 2, 1},
        {"the next object, refused, has status 404", 2, 1, 1, {true, true, true, {}, "HTTP/1.1", "404 Not Found"}},
        {"the next object, refused, has a type not stored", 2, 1, 1, {true, true, false, "x/y", "HTTP/1.1", "200 OK"}},
    };
    std::vector<ObjectToSend> objects = {randomObject("a.txt", 9000, 1), randomObject("b.txt", 12000, 2),
                                         {"c.bin", randomBytes(7000, 3), {}}};
    for (const SameKeyCase& c : cases) {
        SCOPED_TRACE(c.what);
        TestReceiver r("samekey");
        UdpEndpoints endpoints;
        objects[1].header = c.next;
        for (size_t o = 0; o < objects.size(); ++o) {
            std::vector<Bytes> datagrams = datagramsOf(objects[o]);
            ASSERT_GT(datagrams.size(), 3u);
            int lost = o != 0 ? kNone : c.lostOfFirst == kLast ? int(datagrams.size()) - 1 : c.lostOfFirst;
            for (size_t i = 0; i < datagrams.size(); ++i)
                if (int(i) != lost) r.feedDatagram(datagrams[i], endpoints);
        }
        ASSERT_TRUE(r.waitUntilIdle());
        std::vector<std::wstring> files = r.filesIn(r.ok);
        EXPECT_EQ(files.size(), c.completeObjects);
        expectOnlyWholeFiles(r, objects);
        EXPECT_TRUE(r.filesIn(r.tmp).empty());
        EXPECT_EQ(r.view.inserted, c.completeObjects + c.replaced);
        EXPECT_EQ(value(r.extraction->counters.replaced), c.replaced);
        EXPECT_EQ(value(r.extraction->counters.placed), c.completeObjects);
    }
}

TEST(SameKey, CarouselRepeatsCompleteObjectsAndNeverMixThem) {
    std::vector<ObjectToSend> objects = {randomObject("one.txt", 20000, 4), {"two.jpg", randomBytes(15000, 5), {}}};
    struct Case {
        const char* what;
        uint32_t repeat;
        double drop;
        size_t atLeast;  // files in ok_dir
    };
    for (const Case& c : {Case{"every pass whole", 2, 0, 4}, Case{"passes with losses", 3, 0.15, 0}}) {
        SCOPED_TRACE(c.what);
        TestReceiver r("carousel", 300);
        BroadcastOptions options;
        options.portStep = 0;
        options.repeat = c.repeat;
        options.drop = c.drop;
        options.seed = 11;
        r.feed(makeBroadcast(objects, options));
        ASSERT_TRUE(r.waitUntilIdle());
        EXPECT_GE(r.filesIn(r.ok).size(), c.atLeast);
        expectOnlyWholeFiles(r, objects);
        EXPECT_TRUE(r.filesIn(r.tmp).empty());
    }

    // One object whose first pass lost datagrams: the repeat of its first
    // datagram is recognised and the second pass fills the gaps.
    TestReceiver r("fill");
    UdpEndpoints endpoints;
    std::vector<Bytes> datagrams = datagramsOf(objects[0]);
    ASSERT_GT(datagrams.size(), 4u);
    for (size_t i = 0; i < datagrams.size(); ++i)
        if (i % 2 == 0) r.feedDatagram(datagrams[i], endpoints);
    for (const Bytes& d : datagrams) r.feedDatagram(d, endpoints);
    ASSERT_TRUE(r.waitUntilIdle());
    ASSERT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"one (0).txt"});
    expectOnlyWholeFiles(r, objects);
    EXPECT_EQ(value(r.extraction->counters.firstRepeats), 1u);
    EXPECT_EQ(value(r.extraction->counters.replaced), 0u);
}

TEST(SameKey, ADamagedFirstDatagramDoesNotEndTheLiveObject) {
    TestReceiver r("damagedfirst");
    UdpEndpoints endpoints;
    ObjectToSend object = randomObject("keep.txt", 9000, 6);
    std::vector<Bytes> payloads = encodeObject(object);
    ASSERT_GT(payloads.size(), 2u);
    r.feedDatagram(datagram(1, payloads[0]), endpoints);
    // A first datagram whose check holds but whose payload is no object header.
    r.feedDatagram(datagram(1, Bytes(40, 0x5A)), endpoints);
    for (uint32_t k = 2; k <= payloads.size(); ++k) r.feedDatagram(datagram(k, payloads[k - 1]), endpoints);
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"keep (0).txt"});
    expectOnlyWholeFiles(r, {object});
}

// --- Payloads ----------------------------------------------------------------

TEST(Payloads, EmptyPayloadsAreZeroLengthSegmentsOfTheObject) {
    ObjectToSend object = randomObject("gaps.txt", 12000, 7);
    std::vector<Bytes> payloads = encodeObject(object);
    ASSERT_GT(payloads.size(), 3u);
    struct Case {
        const char* what;
        std::vector<size_t> emptyBefore;  // an empty datagram before payloads[k]
        bool repeatEmpty;
    };
    const std::vector<Case> cases = {{"one empty datagram in the middle", {2}, false},
                                     {"two in a row", {1, 1}, false},
                                     {"one, sent twice", {2}, true},
                                     {"one right after the first", {1}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestReceiver r("empty");
        UdpEndpoints endpoints;
        uint32_t sequence = 1;
        for (size_t k = 0; k < payloads.size(); ++k) {
            for (size_t e : c.emptyBefore) {
                if (e != k) continue;
                Bytes empty = datagram(sequence++, {});
                r.feedDatagram(empty, endpoints);
                if (c.repeatEmpty) r.feedDatagram(empty, endpoints);
            }
            r.feedDatagram(datagram(sequence++, payloads[k]), endpoints);
        }
        ASSERT_TRUE(r.waitUntilIdle());
        ASSERT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"gaps (0).txt"});
        expectOnlyWholeFiles(r, {object});
        EXPECT_EQ(value(r.extraction->counters.cancelled), 0u);
    }
}

TEST(Payloads, ARepeatThatDoesNotMatchItsStoredCopyNeverDamagesTheObject) {
    ObjectToSend object = randomObject("repeats.bin", 9000, 15);
    std::vector<Bytes> payloads = encodeObject(object);
    ASSERT_EQ(payloads.size(), 5u);  // four full payloads and a short last one
    constexpr int kEmpty = -1;
    struct Send {
        uint32_t sequence;
        int payload;  // index into payloads, or kEmpty
    };
    struct Case {
        const char* what;
        std::vector<Send> order;
    };
    const std::vector<Case> cases = {
        {"an empty repeat of a stored segment", {{1, 0}, {2, 1}, {3, 2}, {2, kEmpty}, {4, 3}, {5, 4}}},
        {"a shorter repeat in the middle", {{1, 0}, {2, 1}, {3, 2}, {2, 4}, {4, 3}, {5, 4}}},
        {"a longer repeat of the last segment", {{1, 0}, {2, 1}, {3, 2}, {5, 4}, {5, 1}, {4, 3}}},
        {"an empty datagram before the real one", {{1, 0}, {3, kEmpty}, {2, 1}, {3, 2}, {4, 3}, {5, 4}}},
        {"a sequence past the length", {{1, 0}, {9000 + spareSegments(9000) + 2, 1}, {2, 1}, {3, 2}, {4, 3}, {5, 4}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestReceiver r("mismatch");
        UdpEndpoints endpoints;
        for (const Send& send : c.order)
            r.feedDatagram(datagram(send.sequence, send.payload == kEmpty ? Bytes{} : payloads[size_t(send.payload)]),
                           endpoints);
        ASSERT_TRUE(r.waitUntilIdle());
        EXPECT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"repeats (0).bin"});
        expectOnlyWholeFiles(r, {object});
    }
}

TEST(Payloads, ACorruptPayloadEndsTheObjectAndTheNextDatagramDoesNotWaitForever) {
    TestReceiver r("corrupt");
    UdpEndpoints endpoints;
    ObjectToSend object = randomObject("broken.txt", 30000, 8);
    std::vector<Bytes> payloads = encodeObject(object);
    ASSERT_GT(payloads.size(), 3u);
    r.feedDatagram(datagram(1, payloads[0]), endpoints);
    r.feedDatagram(datagram(2, Bytes(300, 0xEE)), endpoints);  // no deflate data
    for (uint32_t k = 3; k <= payloads.size(); ++k) r.feedDatagram(datagram(k, payloads[k - 1]), endpoints);
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_TRUE(r.filesIn(r.ok).empty());
    EXPECT_TRUE(r.filesIn(r.tmp).empty());
    EXPECT_EQ(value(r.extraction->counters.failed), 1u);
    // The key is free again for the object's next pass.
    for (uint32_t k = 1; k <= payloads.size(); ++k) r.feedDatagram(datagram(k, payloads[k - 1]), endpoints);
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"broken (1).txt"});
}

TEST(Payloads, AnObjectThatOutgrowsItsAnnouncedLengthEndsAtOnce) {
    std::vector<Bytes> payloads = encodeObject(randomObject("outgrown.txt", 9000, 18));
    for (bool empty : {false, true}) {
        TestReceiver r("outgrown");
        r.feedDatagram(datagram(1, payloads[0]), {});
        for (uint32_t k = 2; k < spareSegments(9000) + 3; ++k)
            r.feedDatagram(datagram(k, empty ? Bytes{} : payloads[1]), {});
        ASSERT_TRUE(r.waitUntilIdle(5000));  // well before the idle time-out
        EXPECT_EQ(value(r.extraction->counters.oversized), 1u);
    }
}

// Memory for an object's segments has a bound, whatever its header announces:
// a byte a datagram under an announced 4 GB ends the object after a few
// thousand, and with the table's budget spent no object grows at all.
TEST(Payloads, SegmentRecordsStayWithinTheirBound) {
    for (bool budgetSpent : {false, true}) {
        SCOPED_TRACE(budgetSpent ? "the table's budget spent" : "a byte a datagram");
        TestReceiver r("bounded");
        if (budgetSpent) r.extraction->table.segmentRecords.store(kSegmentBudgetBytes / kSegmentRecordBytes);
        ObjectToSend object{"big.zip", Bytes(1, 'x'), {}};
        std::string header = buildResponseHeader(object);
        size_t at = header.find("Content-Length: 1");
        ASSERT_NE(at, std::string::npos);
        header.replace(at, 17, "Content-Length: 4000000000");
        z_stream z{};
        deflateInit(&z, 1);
        auto piece = [&z](const std::string& text) {
            Bytes out(4096);
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
            z.avail_in = uInt(text.size());
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            deflate(&z, Z_SYNC_FLUSH);
            out.resize(out.size() - z.avail_out);
            return out;
        };
        r.feedDatagram(datagram(1, piece(header + "x")), {});
        for (uint32_t k = 2; k <= 3000; ++k) r.feedDatagram(datagram(k, piece("y")), {});
        deflateEnd(&z);
        ASSERT_TRUE(r.waitUntilIdle(5000));  // well before the idle time-out
        EXPECT_EQ(value(r.extraction->counters.overBudget), 1u);
        EXPECT_EQ(value(r.extraction->counters.tooManySegments), 1u);
        EXPECT_TRUE(r.filesIn(r.tmp).empty());
    }
}

#ifndef _WIN32
// A file-size limit lets part of one write through: the rewrite of a
// repeated last segment, or the first bytes of a segment that came empty.
TEST(Payloads, AShortWriteEndsTheObjectInsteadOfPlacingAShortFile) {
    struct Row {
        const char* name;
        bool emptyFirst;  // the last but one datagram first came without bytes
        long limitPastEnd;
    } rows[] = {{"a rewrite", false, -10}, {"an empty segment filled", true, 10}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestReceiver r("shortwrite");
        UdpEndpoints endpoints;
        ObjectToSend object{"short.bin", randomBytes(9000, 9), {}};
        std::vector<Bytes> datagrams = datagramsOf(object);
        ASSERT_GT(datagrams.size(), 3u);
        size_t repeated = datagrams.size() - 2;
        for (size_t i = 0; i < repeated; ++i) r.feedDatagram(datagrams[i], endpoints);
        r.feedDatagram(row.emptyFirst ? datagram(uint32_t(repeated + 1), {}) : datagrams[repeated], endpoints);
        waitForWorker(r, endpoints);
        std::vector<std::wstring> temporary = r.filesIn(r.tmp);
        ASSERT_EQ(temporary.size(), 1u);
        size_t written = readWholeFile(r.tmp + temporary[0]).size();

        void (*previousHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
        rlimit limited = previous;
        limited.rlim_cur = rlim_t(long(written) + row.limitPastEnd);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        r.feedDatagram(datagrams[repeated], endpoints);  // written at the end of the file
        waitForWorker(r, endpoints);
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);

        r.feedDatagram(datagrams.back(), endpoints);  // would complete a short object
        ASSERT_TRUE(r.waitUntilIdle());
        EXPECT_TRUE(r.filesIn(r.ok).empty());
        EXPECT_TRUE(r.filesIn(r.tmp).empty());
        EXPECT_EQ(value(r.extraction->counters.writeFailed), 1u);
        EXPECT_NE(r.log.text().find("File: short (0).bin - not saved: "), std::string::npos) << r.log.text();
    }
}
#endif

// --- The hand-off's orderings ------------------------------------------------

TEST(Handoff, AStraySignalOnAnEmptySlotIsNotTakenForThePreviousPayloadAgain) {
    TestReceiver r("stray");
    UdpEndpoints endpoints;
    ObjectToSend object = randomObject("stray.txt", 40000, 10);
    std::vector<Bytes> datagrams = datagramsOf(object);
    ASSERT_GT(datagrams.size(), 4u);
    for (size_t i = 0; i < datagrams.size(); ++i) {
        r.feedDatagram(datagrams[i], endpoints);
        if (i != 2) continue;
        // A cancel request that lost the slot to a payload leaves such a signal.
        Transfer* t = findTransfer(r.extraction->table, endpoints.destinationAddress, endpoints.destinationPort,
                                   endpoints.sourcePort);
        ASSERT_NE(t, nullptr);
        waitEvent(t->readyForMore, kWaitForever);
        setEvent(t->dataReady);
        setEvent(t->readyForMore);
        unlockMutex(r.extraction->table.mutex);
    }
    ASSERT_TRUE(r.waitUntilIdle());
    ASSERT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"stray (0).txt"});
    expectOnlyWholeFiles(r, {object});
}

TEST(Handoff, AnEndingWorkerReleasesAPacketThreadThatWaitsForItsSlot) {
    // The packet thread waits for the slot while it holds the table's mutex;
    // the worker's idle time-out must let it go before the worker needs the mutex.
    TestReceiver r("release", 2000);
    UdpEndpoints endpoints;
    std::vector<Bytes> datagrams = datagramsOf(randomObject("idle.txt", 30000, 11));
    ASSERT_GT(datagrams.size(), 2u);
    r.feedDatagram(datagrams[0], endpoints);
    r.feedDatagram(datagrams[1], endpoints);
    Transfer* t = findTransfer(r.extraction->table, endpoints.destinationAddress, endpoints.destinationPort,
                               endpoints.sourcePort);
    ASSERT_NE(t, nullptr);
    waitEvent(t->readyForMore, kWaitForever);  // datagram 2 is written
    EXPECT_EQ(t->closing.load(), 0u);
    WaitResult result = waitEvent(t->readyForMore, 10000);
    bool closing = t->closing.load() != 0;
    unlockMutex(r.extraction->table.mutex);
    EXPECT_EQ(result, WaitResult::signalled);
    EXPECT_TRUE(closing);
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_TRUE(r.filesIn(r.tmp).empty());
    EXPECT_EQ(value(r.extraction->counters.timedOut), 1u);
}

// Holds a worker for a moment right after it has signalled the payload that
// completed its object.
void holdCompletingWorker(void*, Transfer* t) {
    if (t->received.load() == t->length) sleepMilliseconds(100);
}

TEST(Handoff, ADatagramRightBehindTheCompletingOneIsDroppedNotHandedToAGoneWorker) {
    ObjectToSend object = randomObject("behind.txt", 20000, 12);
    std::vector<Bytes> datagrams = datagramsOf(object);
    ASSERT_GT(datagrams.size(), 2u);
    struct Case {
        const char* what;
        Bytes behind;
    };
    const std::vector<Case> cases = {
        // Handed on, it would make the object one whose datagram n + 1 is missing.
        {"a sequence number beyond the next", datagram(uint32_t(datagrams.size() + 2), {0x00, 0x00})},
        {"a repeat of datagram 2", datagrams[1]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestReceiver r("behind");
        r.extraction->afterReadyForMore = holdCompletingWorker;
        UdpEndpoints endpoints;
        for (const Bytes& d : datagrams) r.feedDatagram(d, endpoints);
        r.feedDatagram(c.behind, endpoints);
        ASSERT_TRUE(r.waitUntilIdle());
        ASSERT_EQ(r.filesIn(r.ok), std::vector<std::wstring>{L"behind (0).txt"});
        expectOnlyWholeFiles(r, {object});
        const ExtractionCounters& n = r.extraction->counters;
        EXPECT_EQ(value(n.lateForClosing) + value(n.notOurs), 1u);
    }
}

// A view that reads the record behind a row as the row goes: the record must
// still exist, be out of the table, and the mutex must be free.
struct CheckingView {
    TestReceiver* receiver = nullptr;
    std::atomic<int> removed{0};
    std::atomic<int> faults{0};
};

void rowGoes(void* context, const void* identity) {
    auto& view = *static_cast<CheckingView*>(context);
    Extraction& x = *view.receiver->extraction;
    const auto* t = static_cast<const Transfer*>(identity);
    if (std::wcslen(t->fileName) == 0) ++view.faults;  // a freed record shows under AddressSanitizer
    if (!lockMutexFor(x.table.mutex, 5000)) {
        ++view.faults;
    } else {
        if (containsTransfer(x.table, t)) ++view.faults;
        unlockMutex(x.table.mutex);
    }
    ++view.removed;
}

// And a row comes before its Transfer is in the table, without the mutex held.
void rowComes(void* context, uint32_t, Transfer* t, const wchar_t*, int32_t, const wchar_t*) {
    auto& view = *static_cast<CheckingView*>(context);
    Extraction& x = *view.receiver->extraction;
    if (!lockMutexFor(x.table.mutex, 5000)) {
        ++view.faults;
        return;
    }
    if (containsTransfer(x.table, t)) ++view.faults;
    unlockMutex(x.table.mutex);
}

TEST(Handoff, RowsComeAndGoOutsideTheMutexAndNeverOutliveTheirRecords) {
    TestReceiver r("rows", 100);
    CheckingView view;
    view.receiver = &r;
    r.extraction->view.rowInserted = rowComes;
    r.extraction->view.rowRemoved = rowGoes;
    r.extraction->view.filePlaced = nullptr;
    r.extraction->view.context = &view;
    UdpEndpoints endpoints;
    std::vector<Bytes> whole = datagramsOf(randomObject("placed.txt", 5000, 13));
    std::vector<Bytes> idle = datagramsOf(randomObject("idle.txt", 50000, 14));
    for (const Bytes& d : whole) r.feedDatagram(d, endpoints);
    endpoints.sourcePort = 4001;
    r.feedDatagram(idle[0], endpoints);
    uint64_t end = monotonicMilliseconds() + 20000;
    while (view.removed.load() < 2 && monotonicMilliseconds() < end) sleepMilliseconds(5);
    EXPECT_EQ(view.removed.load(), 2);
    EXPECT_EQ(view.faults.load(), 0);
    // The receiver's own bookkeeping was bypassed: balance it for its destructor.
    r.view.inserted = r.view.removed = 0;
}

// The settings point tmp_dir elsewhere, and the user deletes the new row.
void deleteOnArrival(void* view, uint32_t, Transfer* t, const wchar_t*, int32_t, const wchar_t*) {
    setSharedPath(t->owner->tmpDir, L"");
    cancelTransfer(t);
    ++static_cast<RecordingView*>(view)->inserted;
}

TEST(Handoff, TheUsersDeleteIsNeverOverwrittenByTheNextPayload) {
    // The delete comes from the window between two datagrams, while the
    // worker is idle: the next payload may reach the slot before the worker
    // has taken the request. The object must be discarded all the same.
    ObjectToSend object = randomObject("deleted.txt", 30000, 15);
    std::vector<Bytes> datagrams = datagramsOf(object);
    ASSERT_GT(datagrams.size(), 4u);
    TestReceiver r("delete");
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        UdpEndpoints endpoints;
        endpoints.sourcePort = uint16_t(5000 + round);
        r.feedDatagram(datagrams[0], endpoints);
        r.feedDatagram(datagrams[1], endpoints);
        waitForWorker(r, endpoints);
        lockMutex(r.extraction->table.mutex);
        Transfer* t = r.extraction->table.first;
        ASSERT_TRUE(t && containsTransfer(r.extraction->table, t));
        cancelTransfer(t);
        unlockMutex(r.extraction->table.mutex);
        for (size_t i = 2; i < datagrams.size(); ++i) r.feedDatagram(datagrams[i], endpoints);
        ASSERT_TRUE(r.waitUntilIdle());
    }
    // A delete as soon as the row is there, before the first hand-off.
    r.extraction->view.rowInserted = deleteOnArrival;
    r.feedDatagram(datagramsOf(randomObject("small.txt", 500, 16))[0], {});
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_TRUE(r.filesIn(r.ok).empty());
    EXPECT_TRUE(r.filesIn(r.tmp).empty());
    EXPECT_EQ(value(r.extraction->counters.cancelled), uint64_t(kRounds + 1));
    EXPECT_EQ(value(r.extraction->counters.replaced), 0u);
}

}  // namespace
