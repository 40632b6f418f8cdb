// Checking object datagrams, naming objects and finding Transfers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "extraction/object_datagram.h"
#include "tests/extraction_support.h"

namespace {

Bytes withCheck(Bytes body) {
    uint16_t check = datagramCheck(body.data(), body.size());
    body.push_back(uint8_t(check));
    body.push_back(uint8_t(check >> 8));
    return body;
}

TEST(DatagramCheck, TheExampleDatagramIsValidAndOneBitOffIsNot) {
    Bytes example = {0x08, 0x01, 0x00, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x7C, 0x56};
    EXPECT_TRUE(checkDatagram(example.data(), example.size()));
    for (size_t byte = 0; byte < example.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bad = example;
            bad[byte] ^= uint8_t(1 << bit);
            EXPECT_FALSE(checkDatagram(bad.data(), bad.size())) << byte << ":" << bit;
        }
    }
    EXPECT_FALSE(checkDatagram(example.data(), 1));
}

TEST(Dispatch, MalformedDatagramsAreIgnoredAndOnlyOversizedOnesAreLogged) {
    TestReceiver r("malformed");
    UdpEndpoints endpoints;
    std::vector<Bytes> payloads = encodeObject({"a.txt", textBytes(100, 1), {}});
    Bytes good = buildDatagram({}, payloads[0]);

    Bytes wrongType = good;
    wrongType[0] = 7;
    r.feedDatagram(withCheck(Bytes(wrongType.begin(), wrongType.end() - 2)), endpoints);
    Bytes badCheck = good;
    badCheck.back() ^= 1;
    r.feedDatagram(badCheck, endpoints);
    // Shorter than header and check, with and without the extension flag.
    for (size_t size = 0; size < 8; ++size) r.feedDatagram(Bytes(good.begin(), good.begin() + long(size)), endpoints);
    r.feedDatagram(withCheck({8, 1, 0, 0, 0, 0x40, 1, 2, 3}), endpoints);
    r.feedDatagram(withCheck({8, 1, 0, 0, 0, 0x00}), endpoints);  // no payload at all
    EXPECT_EQ(r.view.inserted, 0u);
    EXPECT_EQ(r.log.text(), "");

    // 2048 bytes before the check pass the size test; 2049 are logged and dropped.
    Bytes big(2048, 0x55);
    big[0] = 8;
    big[1] = 9;  // a sequence that starts nothing
    r.feedDatagram(withCheck(big), endpoints);
    EXPECT_EQ(r.log.text(), "");
    big.push_back(0x55);
    r.feedDatagram(withCheck(big), endpoints);
    EXPECT_EQ(r.log.text(), "Harlune: Len = 2049\n");

    r.feedDatagram(good, endpoints);
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.view.inserted, 1u);

    // Each refusal is counted where it happened.
    const ExtractionCounters& c = r.extraction->counters;
    EXPECT_EQ(c.datagrams.load(), 15u);
    EXPECT_EQ(c.wrongType.load(), 1u);
    EXPECT_EQ(c.badCheck.load(), 1u);
    EXPECT_EQ(c.tooShort.load(), 9u);
    EXPECT_EQ(c.notInflated.load(), 1u);  // the datagram without payload
    EXPECT_EQ(c.notOurs.load(), 1u);
    EXPECT_EQ(c.tooLong.load(), 1u);
    EXPECT_EQ(c.started.load(), 1u);
    EXPECT_EQ(c.placed.load(), 1u);
}

TEST(Dispatch, ObjectsRefusedBeforeTheyStartAreCountedByReason) {
    TestReceiver r("refusals");
    UdpEndpoints endpoints;
    const ExtractionCounters& c = r.extraction->counters;
    ObjectToSend noLength{"a.txt", textBytes(100, 1), {}};
    noLength.header.contentLength = false;
    r.feedDatagram(buildDatagram({}, encodeObject(noLength)[0]), endpoints);
    EXPECT_EQ(c.headerRefused.load(), 1u);

    r.setFilters({byExtension(L"pdf", 0, 0xFFFFFFFFu)});
    r.feedDatagram(buildDatagram({}, encodeObject({"b.txt", textBytes(100, 2), {}})[0]), endpoints);
    EXPECT_EQ(c.filterRefused.load(), 1u);

    r.admitAll();
    setSharedPath(r.extraction->tmpDir, L"");
    r.feedDatagram(buildDatagram({}, encodeObject({"c.txt", textBytes(100, 3), {}})[0]), endpoints);
    EXPECT_EQ(c.noTmpDir.load(), 1u);
    std::wstring missing = r.tmp + L"gone" + kPathSeparator;
    setSharedPath(r.extraction->tmpDir, missing.c_str());
    r.feedDatagram(buildDatagram({}, encodeObject({"d.txt", textBytes(100, 4), {}})[0]), endpoints);
    EXPECT_EQ(c.tempFileFailed.load(), 1u);
    EXPECT_EQ(c.started.load(), 0u);
    EXPECT_EQ(r.view.inserted, 0u);
}

TEST(Dispatch, OnlyTheFirstDatagramStartsAnObject) {
    TestReceiver r("first");
    UdpEndpoints endpoints;
    std::vector<Bytes> payloads = encodeObject({"a.txt", textBytes(20000, 1), {}});
    ASSERT_GE(payloads.size(), 1u);
    for (uint32_t sequence : {5u, 257u, 2u}) {
        DatagramFields fields;
        fields.sequence = sequence;
        r.feedDatagram(buildDatagram(fields, payloads[0]), endpoints);
    }
    EXPECT_EQ(r.view.inserted, 0u);
    DatagramFields extended;
    extended.extension = true;
    extended.extensionValue = 0xDEADBEEF;
    r.feedDatagram(buildDatagram(extended, payloads[0]), endpoints);
    EXPECT_EQ(r.view.inserted, 1u);
    {
        ScopedLock lock(r.extraction->table.mutex);
        cancelTransfer(r.extraction->table.first);
    }
    ASSERT_TRUE(r.waitUntilIdle());
}

TEST(FileNames, NamesCarryTheCounterAndFitIn255Characters) {
    DatagramAddress address;
    address.destinationAddress = 0xEF010203;
    address.destinationPort = 5001;
    address.sourcePort = 4000;
    const ExtensionEntry* pdf = findExtension(L"pdf");
    const ExtensionEntry* zip = findExtension(L"zip");
    wchar_t name[kFileNameCapacity];

    std::wstring longName(250, L'n');
    buildFileName(longName.c_str(), pdf, address, 12, name);
    EXPECT_EQ(std::wstring(name), std::wstring(246, L'n') + L" (12).pdf");
    buildFileName(L"ten chars!", pdf, address, 12, name);
    EXPECT_EQ(std::wstring(name), L"ten chars! (12).pdf");
    buildFileName(L"", zip, address, 0, name);
    EXPECT_EQ(std::wstring(name), L"EF010203_5001_4000_0.zip");
    address.destinationAddress = 0x0A010203;
    buildFileName(L"", zip, address, 7, name);
    EXPECT_EQ(std::wstring(name), L"A010203_5001_4000_7.zip");
}

// One name component holds 255 UTF-16 units on Windows and 255 UTF-8 bytes on
// POSIX; the suffix stays whole and no character is split.
TEST(FileNames, StemsAreCutToTheSystemsUnitBeforeTheirSuffix) {
    const std::wstring astral = sizeof(wchar_t) == 2 ? std::wstring(L"\xD83D\xDE00") : std::wstring(1, wchar_t(0x1F600));
    const std::wstring zhe(1, wchar_t(0x0416));    // two bytes in UTF-8
    const std::wstring shade(1, wchar_t(0x2591));  // three bytes in UTF-8
    auto repeat = [](const std::wstring& piece, size_t times) {
        std::wstring text;
        for (size_t i = 0; i < times; ++i) text += piece;
        return text;
    };
    struct Case {
        const char* what;
        std::wstring stem;
        std::wstring suffix;
        size_t keptUtf16;  // wide characters kept
        size_t keptUtf8;
    } cases[] = {
        {"short ASCII", L"report", L" (1).pdf", 6, 6},
        {"ASCII, exactly full", std::wstring(246, L'n'), L" (12).pdf", 246, 246},
        {"ASCII, one over", std::wstring(247, L'n'), L" (12).pdf", 246, 246},
        {"Cyrillic", repeat(zhe, 200), L" (0).txt", 200, 123},
        {"Cyrillic after one ASCII letter", L"a" + repeat(zhe, 200), L" (0).txt", 201, 124},
        {"three-byte characters", repeat(shade, 100), L" (0).txt", 100, 82},
        {"pairs never split", L"x" + repeat(astral, 200), L" (0).zip",
         1 + (sizeof(wchar_t) == 2 ? 2 : 1) * 123, 1 + (sizeof(wchar_t) == 2 ? 2 : 1) * 61},
        {"a suffix that fills the name", L"abc", std::wstring(255, L's'), 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fitStemBeforeSuffix(c.stem.c_str(), c.stem.size(), c.suffix.c_str(), FileNameUnit::utf16),
                  c.keptUtf16)
            << c.what;
        EXPECT_EQ(fitStemBeforeSuffix(c.stem.c_str(), c.stem.size(), c.suffix.c_str(), FileNameUnit::utf8),
                  c.keptUtf8)
            << c.what;
    }
}

TEST(FileNames, ALongCyrillicNameFitsTheSystemsLimit) {
    DatagramAddress address;
    const ExtensionEntry* pdf = findExtension(L"pdf");
    std::wstring longName(250, wchar_t(0x0416));
    wchar_t name[kFileNameCapacity];
    buildFileName(longName.c_str(), pdf, address, 12, name);
    size_t kept = kFileNameUnit == FileNameUnit::utf8 ? 123 : 246;
    EXPECT_EQ(std::wstring(name), std::wstring(kept, wchar_t(0x0416)) + L" (12).pdf");
    char utf8[1024];
    ASSERT_TRUE(wideToUtf8(name, utf8, sizeof utf8));
    EXPECT_EQ(std::strlen(utf8), kFileNameUnit == FileNameUnit::utf8 ? 255u : 2u * 246u + 9u);
}

TEST(TransferTable, TheKeyIsDestinationAddressAndPortsAndClosingOnesAreNotFound) {
    TransferTable table;
    table.mutex = createMutex();
    Transfer older, newer, other;
    for (Transfer* t : {&older, &newer}) {
        t->destinationAddress = 0xEF010203;
        t->destinationPort = 5001;
        t->sourcePort = 4000;
    }
    older.sourceAddress = 1;
    newer.sourceAddress = 2;  // another source address: still the same object
    other.destinationAddress = 0xEF010203;
    other.destinationPort = 5002;
    other.sourcePort = 4000;
    EXPECT_EQ(findTransfer(table, 0xEF010203, 5001, 4000), nullptr);
    linkTransfer(table, &older);
    linkTransfer(table, &other);
    Transfer* found = findTransfer(table, 0xEF010203, 5001, 4000);
    EXPECT_EQ(found, &older);
    if (found) unlockMutex(table.mutex);

    older.closing.store(1);
    EXPECT_EQ(findTransfer(table, 0xEF010203, 5001, 4000), nullptr);
    EXPECT_TRUE(lockMutexFor(table.mutex, 0));  // left free
    unlockMutex(table.mutex);

    linkTransfer(table, &newer);  // in front of the closing one
    found = findTransfer(table, 0xEF010203, 5001, 4000);
    EXPECT_EQ(found, &newer);
    if (found) unlockMutex(table.mutex);

    unlinkTransfer(table, &other);
    EXPECT_FALSE(containsTransfer(table, &other));
    EXPECT_TRUE(containsTransfer(table, &older));
    unlinkTransfer(table, &newer);
    unlinkTransfer(table, &older);
    EXPECT_EQ(table.first, nullptr);
    closeMutex(table.mutex);
}

TEST(TransferTable, TheObjectCounterCountsEveryTransferEverCreated) {
    TestReceiver r("counter");
    EXPECT_EQ(r.extraction->table.objectCounter, 0u);
    BroadcastOptions options;
    r.feed(makeBroadcast({{"a.txt", textBytes(10, 1), {}}, {"b.txt", textBytes(10, 2), {}}}, options));
    ASSERT_TRUE(r.waitUntilIdle());
    EXPECT_EQ(r.extraction->table.objectCounter, 2u);
    EXPECT_EQ(r.extraction->table.first, nullptr);
}

}  // namespace
