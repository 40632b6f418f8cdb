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

    // UDP lengths below the UDP header and beyond the section buffer.
    for (uint16_t udpLength : {uint16_t(0), uint16_t(7), uint16_t(4096 - 40 + 9), uint16_t(0xFFFF)}) {
        Bytes section = udpSection(endpoints, Bytes{1});
        section[12 + 24] = uint8_t(udpLength >> 8);
        section[12 + 25] = uint8_t(udpLength);
        sendSmallSection(section, cc);
    }
    EXPECT_TRUE(received.empty());

    // The largest length that still fits the buffer is passed on.
    Bytes section = udpSection(endpoints, Bytes{1});
    uint16_t fits = 4096 - 40 + 8;
    section[12 + 24] = uint8_t(fits >> 8);
    section[12 + 25] = uint8_t(fits);
    sendSmallSection(section, cc);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].payload.size(), 4096u - 40);
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
