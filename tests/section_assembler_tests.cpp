#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "reception/section_assembler.h"
#include "tests/test_support.h"
#include "tools/stream_builder.h"

namespace {

struct Received {
    DatagramAddress address;
    Bytes payload;
};

void collect(void* context, const DatagramAddress& address, const uint8_t* payload, uint16_t length) {
    static_cast<std::vector<Received>*>(context)->push_back({address, Bytes(payload, payload + length)});
}

// A packet with the given flags and continuity counter; `payload` follows the
// 4-byte header (pointer field included when the caller puts one there) and
// the rest is 0xFF.
Bytes packet(bool unitStart, uint8_t cc, const Bytes& payload) {
    Bytes p(kTsPacketSize, 0xFF);
    p[0] = 0x47;
    p[1] = unitStart ? 0x41 : 0x01;
    p[2] = 0x00;
    p[3] = uint8_t(0x10 | (cc & 0x0F));
    if (!payload.empty()) std::memcpy(p.data() + 4, payload.data(), std::min(payload.size(), size_t(184)));
    return p;
}

// A section start: pointer field 0, then `section`'s first 183 bytes.
Bytes startPacket(uint8_t cc, const Bytes& section) {
    Bytes payload{0};
    payload.insert(payload.end(), section.begin(), section.begin() + long(std::min(section.size(), size_t(183))));
    return packet(true, cc, payload);
}

const uint8_t kMac[6] = {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03};

Bytes udpSection(const UdpEndpoints& endpoints, const Bytes& payload) {
    return buildMpeSection(kMac, buildUdpDatagram(endpoints, payload.data(), payload.size()));
}

class SectionAssemblerTest : public ::testing::Test {
protected:
    CapturedLog captured;
    std::unique_ptr<SectionAssembler> assembler = std::make_unique<SectionAssembler>();
    std::vector<Received> received;

    void SetUp() override {
        assembler->log = &captured.log;
        assembler->sink = collect;
        assembler->sinkContext = &received;
    }
    void take(const Bytes& p) { takePacket(*assembler, p.data(), uint32_t(p.size())); }
    // Sends a section that fits one packet, then a start that completes it.
    void sendSmallSection(const Bytes& section, uint8_t& cc) {
        take(startPacket(cc++, section));
        take(startPacket(cc++, Bytes{0xFF}));
    }
};

TEST_F(SectionAssemblerTest, ContinuityCountersFollowModuloSixteen) {
    uint8_t counters[] = {7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1};
    for (uint8_t cc : counters) take(packet(false, cc, {}));
    EXPECT_EQ(assembler->discontinuityCount.load(), 0);
    EXPECT_EQ(assembler->packetCount.load(), 11u);
    EXPECT_EQ(captured.text(), "");
}

TEST_F(SectionAssemblerTest, ARepeatedOrSkippedCounterIsOneGapThatAbandonsTheSection) {
    UdpEndpoints endpoints;
    Bytes section = udpSection(endpoints, Bytes(300, 0xAB));  // spans two packets
    take(startPacket(0, Bytes{0xFF}));                          // first start: gathers only
    take(startPacket(1, section));
    take(packet(false, 1, Bytes(section.begin() + 183, section.end())));  // counter repeated
    EXPECT_EQ(assembler->discontinuityCount.load(), 1);
    EXPECT_EQ(captured.text(), "discontinuity\n");
    EXPECT_EQ(assembler->sectionFill, 184u);  // only the packet after the gap
    take(packet(false, 3, {}));             // counter skipped
    EXPECT_EQ(assembler->discontinuityCount.load(), 2);
    EXPECT_EQ(assembler->lastContinuity, 3);
}

TEST_F(SectionAssemblerTest, TheFirstStartAfterStartUpDecodesNothingTheSecondDecodesTheFirst) {
    UdpEndpoints endpoints;
    uint8_t cc = 0;
    take(startPacket(cc++, udpSection(endpoints, Bytes{1, 2, 3})));
    EXPECT_TRUE(received.empty());
    EXPECT_FALSE(assembler->firstUnitPending);
    take(startPacket(cc++, udpSection(endpoints, Bytes{4, 5})));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].payload, (Bytes{1, 2, 3}));
}

TEST_F(SectionAssemblerTest, APointerFieldEndsTheGatheredSectionAndStartsTheNext) {
    UdpEndpoints endpoints;
    Bytes first = udpSection(endpoints, Bytes(150, 0x11));  // 194 bytes
    Bytes second = udpSection(endpoints, Bytes(20, 0x22));
    uint8_t cc = 0;
    take(startPacket(cc++, Bytes{0xFF}));
    take(startPacket(cc++, first));  // 183 bytes of it; 11 remain
    ASSERT_EQ(first.size() - 183, 11u);
    Bytes payload{11};
    payload.insert(payload.end(), first.begin() + 183, first.end());
    payload.insert(payload.end(), second.begin(), second.end());
    take(packet(true, cc++, payload));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].payload, Bytes(150, 0x11));
    // The next section begins with byte 5 + 11 of that packet.
    EXPECT_EQ(assembler->sectionBuffer[0], 0x3E);
    take(startPacket(cc++, Bytes{0xFF}));
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].payload, Bytes(20, 0x22));
}

TEST_F(SectionAssemblerTest, TheBufferHoldsAtMost4095GatheredBytes) {
    // A start with pointer 0 and 183 payload bytes, then 21 packets of 184:
    // 183 + 21 * 184 = 4047; one more reaches 4231 and overflows.
    uint8_t cc = 0;
    take(startPacket(cc++, Bytes{0xFF}));
    take(startPacket(cc++, Bytes(183, 0x3E)));
    for (int i = 0; i < 21; ++i) take(packet(false, cc++, Bytes(184, 0x00)));
    EXPECT_EQ(assembler->sectionFill, 4047u);
    EXPECT_EQ(captured.text(), "");
    Bytes last(184, 0x77);
    take(packet(false, cc++, last));
    EXPECT_EQ(captured.text(), "Error: Overflow\n");
    EXPECT_EQ(assembler->sectionFill, 184u);
    EXPECT_EQ(assembler->sectionBuffer[0], 0x77);
}

TEST_F(SectionAssemblerTest, ExactlyFilling4095BytesIsAccepted) {
    // 4095 = 1 + 183 + 21 * 184 + 48: the last packet carries 48 bytes by
    // ending at a pointer field of 48 in the next start.
    uint8_t cc = 0;
    take(startPacket(cc++, Bytes{0xFF}));
    take(packet(true, cc++, Bytes{0, 0x3E}));  // pointer 0; 183 bytes gathered
    for (int i = 0; i < 21; ++i) take(packet(false, cc++, Bytes(184, 0x00)));
    ASSERT_EQ(assembler->sectionFill, 183u + 21 * 184);
    Bytes ending{uint8_t(4095 - assembler->sectionFill)};  // pointer field
    ending.resize(1 + ending[0], 0x55);
    take(packet(true, cc++, ending));
    EXPECT_EQ(captured.text(), "");
    EXPECT_EQ(assembler->sectionBuffer[4094], 0x55);
}

TEST_F(SectionAssemblerTest, OnlySingleSectionMpeCarriesDatagrams) {
    UdpEndpoints endpoints;
    Bytes good = udpSection(endpoints, Bytes{9});
    struct Case {
        size_t offset;
        uint8_t value;
    } cases[] = {{0, 0x3F}, {6, 1}, {7, 1}};
    uint8_t cc = 0;
    take(startPacket(cc++, Bytes{0xFF}));
    for (const Case& c : cases) {
        Bytes bad = good;
        bad[c.offset] = c.value;
        sendSmallSection(bad, cc);
    }
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(captured.text(), "");
}

TEST_F(SectionAssemblerTest, OnlyIpv4WithoutOptionsAndOnlyUdpGoOn) {
    UdpEndpoints endpoints;
    Bytes good = udpSection(endpoints, Bytes{9});
    uint8_t cc = 0;
    take(startPacket(cc++, Bytes{0xFF}));
    for (uint8_t first : {uint8_t(0x46), uint8_t(0x60)}) {  // options; version 6
        Bytes bad = good;
        bad[12] = first;
        sendSmallSection(bad, cc);
    }
    EXPECT_EQ(captured.text(), "Error: IP ver\nError: IP ver\n");
    for (uint8_t protocol : {uint8_t(6), uint8_t(1)}) {  // TCP, ICMP: silently
        Bytes bad = good;
        bad[12 + 9] = protocol;
        sendSmallSection(bad, cc);
    }
    EXPECT_EQ(captured.text(), "Error: IP ver\nError: IP ver\n");
    EXPECT_TRUE(received.empty());
    sendSmallSection(good, cc);
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(SectionAssemblerTest, TheAddressCarriesBothAddressesPortsAndTheMacInOrder) {
    UdpEndpoints endpoints;
    endpoints.destinationAddress = 0x0A010203;  // 10.1.2.3
    endpoints.destinationPort = 5000;
    endpoints.sourceAddress = 0xC0A80007;  // 192.168.0.7
    endpoints.sourcePort = 1234;
    uint8_t cc = 0;
    take(startPacket(cc++, Bytes{0xFF}));
    sendSmallSection(udpSection(endpoints, Bytes{1, 2}), cc);
    ASSERT_EQ(received.size(), 1u);
    const DatagramAddress& a = received[0].address;
    EXPECT_EQ(a.destinationAddress >> 24, 10u);
    EXPECT_EQ(a.destinationAddress & 0xFF, 3u);
    EXPECT_EQ(a.destinationAddress, 0x0A010203u);
    EXPECT_EQ(a.sourceAddress, 0xC0A80007u);
    EXPECT_EQ(a.destinationPort, 5000);
    EXPECT_EQ(a.sourcePort, 1234);
    EXPECT_EQ(0, std::memcmp(a.destinationMac, kMac, 6));
}

TEST_F(SectionAssemblerTest, OnlyAcceptedPacketsAreCountedWhateverTheirLength) {
    Bytes p = packet(false, 0, {});
    for (uint8_t cc = 0; cc < 5; ++cc) {
        p[3] = uint8_t(0x10 | cc);
        takePacket(*assembler, p.data(), cc == 2 ? 100 : 188);
    }
    Bytes badSync = p;
    badSync[0] = 0x48;
    take(badSync);
    Bytes error = p;
    error[1] |= 0x80;
    take(error);
    EXPECT_EQ(assembler->packetCount.load() * kTsPacketSize, 940u);
    EXPECT_EQ(assembler->discontinuityCount.load(), 0);
}

TEST_F(SectionAssemblerTest, LengthsThatPointOutsideThePacketOrBufferAreDroppedSilently) {
    UdpEndpoints endpoints;
    uint8_t cc = 0;
    take(startPacket(cc++, Bytes{0xFF}));

    // Pointer fields past the packet's end, and packets too short to read.
    Bytes wild = packet(true, cc++, Bytes{200});
    take(wild);
    takePacket(*assembler, wild.data(), 4);  // start flag but no pointer byte
    Bytes shortPacket = packet(false, cc, {});
    for (uint32_t length = 0; length < 4; ++length) takePacket(*assembler, shortPacket.data(), length);

    // UDP lengths below the UDP header, beyond the 183 bytes gathered and
    // beyond the section buffer.
    for (uint16_t udpLength : {uint16_t(0), uint16_t(1), uint16_t(6), uint16_t(7), uint16_t(183 - 40 + 9), uint16_t(4096 - 40 + 9),
                               uint16_t(0xFFFF)}) {
        Bytes section = udpSection(endpoints, Bytes{1});
        section[12 + 24] = uint8_t(udpLength >> 8);
        section[12 + 25] = uint8_t(udpLength);
        sendSmallSection(section, cc);
    }
    EXPECT_TRUE(received.empty());

    // The largest length that still fits the gathered bytes is passed on.
    Bytes section = udpSection(endpoints, Bytes{1});
    uint16_t fits = 183 - 40 + 8;
    section[12 + 24] = uint8_t(fits >> 8);
    section[12 + 25] = uint8_t(fits);
    sendSmallSection(section, cc);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].payload.size(), 183u - 40);
}

// ---- Only what was gathered for this section is ever decoded ----------------

// A datagram told apart by its source port and payload.
struct Sent {
    uint16_t sourcePort;
    Bytes payload;
};

Bytes sectionFor(const Sent& d) {
    UdpEndpoints endpoints;
    endpoints.sourcePort = d.sourcePort;
    return udpSection(endpoints, d.payload);
}

Bytes slice(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + long(from), bytes.begin() + long(std::min(bytes.size(), from + count)));
}

// A start packet whose pointer field is `pointer`: `tail` (the end of the
// section being gathered, padded with 0xFF to `pointer` bytes) and then
// `next` (the start of the next section).
Bytes startWithTail(uint8_t cc, uint8_t pointer, const Bytes& tail, const Bytes& next) {
    Bytes payload{pointer};
    payload.insert(payload.end(), tail.begin(), tail.end());
    payload.resize(1 + size_t(pointer), 0xFF);
    payload.insert(payload.end(), next.begin(), next.end());
    return packet(true, cc, payload);
}

struct StaleCase {
    const char* what;
    std::vector<Bytes> packets;
    std::vector<Sent> expected;  // exactly these, in this order
};

// A long datagram spanning two packets (the first one's 183 bytes and 153 more).
const Sent kLong{2001, Bytes(292, 0x4C)};
// A small datagram that fits the start packet, and the one that shows the
// assembler found its feet again afterwards.
const Sent kSmall{2002, Bytes{5, 6, 7}};
const Sent kAfter{2003, Bytes{8, 9}};

std::vector<StaleCase> staleCases() {
    const Bytes longSection = sectionFor(kLong);
    const Bytes smallSection = sectionFor(kSmall);
    const Bytes afterSection = sectionFor(kAfter);
    std::vector<StaleCase> cases;

    // The long section's second packet is lost; the next start (pointer 0)
    // would decode its head with 29 bytes of whatever lay behind.
    cases.push_back({"a gap loses the rest of a section",
                     {startPacket(0, Bytes{0xFF}), startPacket(1, longSection),
                      startPacket(3, afterSection), startPacket(4, Bytes{0xFF})},
                     {kAfter}});

    // A gap in the middle of a section, then bytes that would read as a whole
    // section of their own: they are still the middle of something.
    cases.push_back({"a gap, then what looks like a section",
                     {startPacket(0, Bytes{0xFF}), startPacket(1, longSection), packet(false, 3, smallSection),
                      startPacket(4, afterSection), startPacket(5, Bytes{0xFF})},
                     {kAfter}});

    // The same gap, but inside a start packet that carries the long section's
    // tail: the tail lands at offset 0 and is no section.
    cases.push_back({"a gap at a start packet",
                     {startPacket(0, Bytes{0xFF}), startPacket(1, longSection),
                      startWithTail(3, 153, slice(longSection, 183, 153), Bytes{}), startPacket(4, afterSection),
                      startPacket(5, Bytes{0xFF})},
                     {kAfter}});

    // A start packet whose pointer field reaches past the packet is dropped;
    // it held the long section's tail, and what follows is not that section.
    {
        Bytes wild = packet(true, 2, Bytes{200});
        cases.push_back({"a dropped start packet",
                         {startPacket(0, Bytes{0xFF}), startPacket(1, longSection), wild,
                          packet(false, 3, Bytes(184, 0x99)), startPacket(4, afterSection),
                          startPacket(5, Bytes{0xFF})},
                         {kAfter}});
    }

    // Gathering that overflows restarts at offset 0 with the bytes of the
    // middle of a section; here they even look like a whole datagram.
    {
        std::vector<Bytes> packets{startPacket(0, Bytes{0xFF}), startPacket(1, Bytes(183, 0x00))};
        uint8_t cc = 2;
        for (int i = 0; i < 21; ++i) packets.push_back(packet(false, cc++, Bytes(184, 0x00)));
        packets.push_back(packet(false, cc++, smallSection));  // 4047 + 184: overflow
        packets.push_back(startPacket(cc++, afterSection));
        packets.push_back(startPacket(cc++, Bytes{0xFF}));
        cases.push_back({"an overflow", packets, {kAfter}});
    }

    // A section of 5 bytes after a long one: its MPE, IPv4 and UDP headers
    // would come from the long one.
    cases.push_back({"a section shorter than its headers after a long one",
                     {startPacket(0, Bytes{0xFF}), startPacket(1, longSection),
                      startWithTail(2, 178, slice(longSection, 183, 153), slice(smallSection, 0, 5)),
                      startPacket(3, afterSection), startPacket(4, Bytes{0xFF})},
                     {kLong, kAfter}});

    // A section that holds whole headers but claims a longer payload than was
    // gathered: the rest would be the long one's old bytes.
    {
        Sent claimed{2004, Bytes(200, 0x43)};
        cases.push_back({"a short section claiming the old tail",
                         {startPacket(0, Bytes{0xFF}), startPacket(1, longSection),
                          startWithTail(2, 153, slice(longSection, 183, 153), Bytes{}),
                          startPacket(3, slice(sectionFor(claimed), 0, 60)), startPacket(4, afterSection),
                          startPacket(5, Bytes{0xFF})},
                         {kLong, kAfter}});
    }

    // A start packet whose pointer bytes fill it completes the small section
    // and starts the next with no byte at all; the start after that must not
    // decode the small one again from the buffer's head.
    cases.push_back({"an empty section after a completed one",
                     {startPacket(0, Bytes{0xFF}), startPacket(1, smallSection), startWithTail(2, 183, Bytes{}, Bytes{}),
                      startPacket(3, afterSection), startPacket(4, Bytes{0xFF})},
                     {kSmall, kAfter}});
    return cases;
}

TEST_F(SectionAssemblerTest, AStaleSectionHeadIsNeverDecodedAndTheNextStartRecovers) {
    for (const StaleCase& c : staleCases()) {
        SCOPED_TRACE(c.what);
        assembler = std::make_unique<SectionAssembler>();
        SetUp();
        received.clear();
        for (const Bytes& p : c.packets) take(p);
        EXPECT_EQ(received.size(), c.expected.size());
        if (received.size() != c.expected.size()) continue;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(received[i].address.sourcePort, c.expected[i].sourcePort) << i;
            EXPECT_EQ(received[i].payload, c.expected[i].payload) << i;
        }
    }
}

TEST(SectionAssemblerBounds, ASectionOf4095BytesIsDecodedAndOneOf4096Overflows) {
    const struct {
        size_t sectionSize;
        bool delivered;
        const char* log;
    } cases[] = {{4095, true, ""}, {4096, false, "Error: Overflow\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectionSize);
        // Packed, so that the section's tail ends at the next start's pointer
        // field and no stuffing is gathered behind it.
        TsPacketizer packetizer;
        packetizer.packSections = true;
        Bytes stream;
        packetizeSection(packetizer, Bytes{0xFF}, stream);
        UdpEndpoints endpoints;
        Bytes payload(c.sectionSize - 12 - 28 - 4);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7);
        packetizeSection(packetizer, udpSection(endpoints, payload), stream);
        finishStream(packetizer, stream);

        CapturedLog captured;
        auto assembler = std::make_unique<SectionAssembler>();
        std::vector<Received> received;
        assembler->log = &captured.log;
        assembler->sink = collect;
        assembler->sinkContext = &received;
        for (size_t at = 0; at + kTsPacketSize <= stream.size(); at += kTsPacketSize)
            takePacket(*assembler, stream.data() + at, kTsPacketSize);
        EXPECT_EQ(captured.text(), c.log);
        ASSERT_EQ(received.size(), c.delivered ? 1u : 0u);
        if (c.delivered) {
            EXPECT_EQ(received[0].payload, payload);
        }
    }
}

TEST_F(SectionAssemblerTest, APointerFieldMayEndExactlyAtThePacketsEndButNotBeyond) {
    // A section of 366 bytes: 183 in its start packet, 183 in the next start's
    // pointer bytes, which fill that packet to its last byte.
    const Sent datagram{3000, Bytes(366 - 44, 0x5A)};
    const Bytes section = sectionFor(datagram);
    ASSERT_EQ(section.size(), 366u);
    const struct {
        int pointer;
        bool delivered;
    } cases[] = {{183, true}, {184, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pointer);
        assembler = std::make_unique<SectionAssembler>();
        SetUp();
        received.clear();
        take(startPacket(0, Bytes{0xFF}));
        take(startPacket(1, section));
        Bytes ending{uint8_t(c.pointer)};
        ending.insert(ending.end(), section.begin() + 183, section.end());
        take(packet(true, 2, ending));
        ASSERT_EQ(received.size(), c.delivered ? 1u : 0u);
        if (c.delivered) {
            EXPECT_EQ(received[0].payload, datagram.payload);
            EXPECT_EQ(assembler->sectionFill, 0u);  // the next section has no byte yet
        }
        EXPECT_EQ(assembler->packetCount.load(), 3u);
    }
}

TEST_F(SectionAssemblerTest, OnlyTheFirst188BytesOfALongerBufferAreRead) {
    UdpEndpoints endpoints;
    Bytes section = udpSection(endpoints, Bytes{1, 2, 3});
    uint8_t cc = 0;
    take(startPacket(cc++, Bytes{0xFF}));
    // The section's start and, behind it in the same buffer, a start packet
    // that would complete it.
    Bytes twoPackets = startPacket(cc, section);
    Bytes second = startPacket(uint8_t(cc + 1), Bytes{0xFF});
    twoPackets.insert(twoPackets.end(), second.begin(), second.end());
    takePacket(*assembler, twoPackets.data(), uint32_t(twoPackets.size()));
    ++cc;
    EXPECT_EQ(assembler->packetCount.load(), 2u);
    EXPECT_EQ(assembler->sectionFill, 183u);
    EXPECT_TRUE(received.empty());
    take(startPacket(cc++, Bytes{0xFF}));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].payload, (Bytes{1, 2, 3}));
    EXPECT_EQ(assembler->discontinuityCount.load(), 0);
}

// Datagrams of every size a broadcast uses, sent whole and packed behind each
// other, must come out exactly as they went in.
void roundTrip(bool pack) {
    std::mt19937 random(pack ? 7 : 11);
    std::vector<Bytes> sent;
    Bytes stream;
    TsPacketizer packetizer;
    packetizer.packSections = pack;
    Bytes prelude{0xFF};
    packetizeSection(packetizer, prelude, stream);  // the start that only begins gathering
    UdpEndpoints endpoints;
    for (int i = 0; i < 300; ++i) {
        size_t length = (i < 3) ? size_t(i) : (i % 50 == 0 ? 2050 : random() % 2051);
        Bytes payload(length);
        for (auto& b : payload) b = uint8_t(random());
        endpoints.sourcePort = uint16_t(1000 + i);
        sent.push_back(payload);
        packetizeSection(packetizer, udpSection(endpoints, payload), stream);
    }
    finishStream(packetizer, stream);

    CapturedLog captured;
    auto assembler = std::make_unique<SectionAssembler>();
    std::vector<Received> received;
    assembler->log = &captured.log;
    assembler->sink = collect;
    assembler->sinkContext = &received;
    ASSERT_EQ(stream.size() % kTsPacketSize, 0u);
    for (size_t at = 0; at < stream.size(); at += kTsPacketSize) takePacket(*assembler, stream.data() + at, 188);

    EXPECT_EQ(captured.text(), "");
    EXPECT_EQ(assembler->discontinuityCount.load(), 0);
    ASSERT_EQ(received.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(received[i].payload, sent[i]) << "datagram " << i;
        EXPECT_EQ(received[i].address.sourcePort, 1000 + i);
    }
}

TEST(SectionAssemblerRoundTrip, DatagramsInSectionsOfTheirOwnComeOutWhole) { roundTrip(false); }
TEST(SectionAssemblerRoundTrip, DatagramsPackedBehindEachOtherComeOutWhole) { roundTrip(true); }

TEST(SectionAssemblerGlobal, OnPacketFeedsTheProgramsAssembler) {
    uint64_t before = gSectionAssembler.packetCount.load();
    Bytes p = packet(false, 0, {});
    onPacket(p.data(), int32_t(p.size()));
    onPacket(p.data(), -1);
    EXPECT_EQ(gSectionAssembler.packetCount.load(), before + 1);
}

}  // namespace
