// Real third-party captures through the packet intake, as a receiver filtering
// one PID would feed them.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "reception/section_assembler.h"
#include "tests/test_support.h"
#include "tools/stream_builder.h"

namespace {

struct Tally {
    uint64_t datagrams = 0;
    uint64_t objectDatagrams = 0;  // UDP payloads whose first byte is the object type 8
    std::set<uint32_t> payloadLengths;
    DatagramAddress last;
};

void count(void* context, const DatagramAddress& address, const uint8_t* payload, uint16_t length) {
    Tally& t = *static_cast<Tally*>(context);
    ++t.datagrams;
    if (length > 0 && payload[0] == 8) ++t.objectDatagrams;
    t.payloadLengths.insert(length);
    t.last = address;
}

uint16_t pidOf(const unsigned char* p) { return uint16_t(((p[1] & 0x1F) << 8) | p[2]); }

struct Result {
    Tally tally;
    uint64_t packets = 0;
    int32_t discontinuities = 0;
};

// Feeds the packets of `pid` (all of them when pid < 0, as if unfiltered).
Result feed(const std::vector<unsigned char>& capture, int pid, CapturedLog& captured) {
    auto assembler = std::make_unique<SectionAssembler>();
    Result result;
    assembler->log = &captured.log;
    assembler->sink = count;
    assembler->sinkContext = &result.tally;
    for (size_t at = 0; at + kTsPacketSize <= capture.size(); at += kTsPacketSize) {
        const unsigned char* p = capture.data() + at;
        if (pid < 0 || pidOf(p) == pid) takePacket(*assembler, p, kTsPacketSize);
    }
    result.packets = assembler->packetCount.load();
    result.discontinuities = assembler->discontinuityCount.load();
    return result;
}

TEST(Captures, MpeOnPid1001Gives660LoopbackDatagramsAndNoObject) {
    QM_REQUIRE_CAPTURES();
    std::vector<unsigned char> capture = readCapture("tsduck-test_test-202.ts");
    ASSERT_EQ(capture.size(), 1000160u);
    CapturedLog captured;
    Result r = feed(capture, 1001, captured);
    EXPECT_EQ(r.tally.datagrams, 660u);  // the 661st section is cut off by the end
    EXPECT_EQ(r.tally.objectDatagrams, 0u);
    EXPECT_EQ(r.tally.payloadLengths, (std::set<uint32_t>{1316}));
    EXPECT_EQ(r.tally.last.sourceAddress, 0x7F000001u);
    EXPECT_EQ(r.tally.last.destinationAddress, 0x7F000001u);
    EXPECT_EQ(r.tally.last.sourcePort, 50528);
    EXPECT_EQ(r.tally.last.destinationPort, 4000);
    for (uint8_t b : r.tally.last.destinationMac) EXPECT_EQ(b, 0);
    EXPECT_EQ(r.discontinuities, 0);
    EXPECT_EQ(captured.text(), "");
}

TEST(Captures, ABroadcastWithoutMpeGivesNoDatagramOnAnyPid) {
    QM_REQUIRE_CAPTURES();
    std::vector<unsigned char> capture = readCapture("tsduck-test_test-108.ts");
    ASSERT_EQ(capture.size(), 3760000u);
    std::set<int> pids;
    for (size_t at = 0; at + kTsPacketSize <= capture.size(); at += kTsPacketSize)
        pids.insert(pidOf(capture.data() + at));
    EXPECT_EQ(pids.size(), 41u);
    uint64_t packets = 0;
    for (int pid : pids) {
        CapturedLog captured;
        Result r = feed(capture, pid, captured);
        EXPECT_EQ(r.tally.datagrams, 0u) << "PID " << pid;
        packets += r.packets;
    }
    EXPECT_EQ(packets, 20000u);
}

TEST(Captures, ACorruptedCaptureCountsOnlyTheAcceptedPackets) {
    QM_REQUIRE_CAPTURES();
    std::vector<unsigned char> capture = readCapture("tsduck-test_test-142.ts");
    ASSERT_EQ(capture.size(), 56400u);
    size_t refused = 0;
    for (size_t at = 0; at < capture.size(); at += kTsPacketSize) {
        const unsigned char* p = capture.data() + at;
        if (p[0] != 0x47 || (p[1] & 0x80)) ++refused;
    }
    // Packets 185 to 189 have bad sync bytes; the three with the error flag are among them.
    EXPECT_EQ(refused, 5u);
    CapturedLog captured;
    Result r = feed(capture, -1, captured);
    EXPECT_EQ(r.tally.datagrams, 0u);
    EXPECT_EQ(r.packets, 300u - refused);
}

}  // namespace
