// The broadcaster's edges: files in, pcap out, the command line, and the
// stream sent as TS over UDP.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/extraction_support.h"
#include "tools/broadcast_lib.h"
#include "tools/broadcast_options.h"
#include "tools/broadcast_udp.h"

namespace {

std::string text(const Bytes& bytes) { return asString(bytes); }

ObjectToSend makeObject(const std::string& name, Bytes content) { return {name, std::move(content), {}}; }

TEST(Files, LoadAndWriteThroughAScratchDirectory) {
    ScratchDirectory scratch("broadcast_files");
    writeWholeFile(scratch.file(L"Report 7.PDF"), "%PDF-1.4 body");
    ObjectToSend object = loadObject(std::filesystem::path(scratch.file(L"Report 7.PDF")));
    EXPECT_EQ(object.name, "Report 7.PDF");
    EXPECT_EQ(text(object.content), "%PDF-1.4 body");
    EXPECT_THROW(loadObject(std::filesystem::path(scratch.file(L"missing.txt"))), BroadcastError);
    EXPECT_THROW(loadObject(std::filesystem::path(scratch.path)), BroadcastError);

    Bytes ts = makeBroadcast({object}, BroadcastOptions());
    writeBytes(std::filesystem::path(scratch.file(L"out.pcap")), makePcap(ts, 1504));  // 1 ms a packet
    std::string pcap = readWholeFile(scratch.file(L"out.pcap"));
    auto le32 = [&](size_t at) {
        return uint32_t(uint8_t(pcap[at]) | uint8_t(pcap[at + 1]) << 8 | uint8_t(pcap[at + 2]) << 16 |
                        uint32_t(uint8_t(pcap[at + 3])) << 24);
    };
    ASSERT_EQ(pcap.size(), 24 + ts.size() / kTsPacketSize * (16 + kTsPacketSize));
    EXPECT_EQ(le32(0), 0xA1B2C3D4u);
    EXPECT_EQ(le32(20), 243u);
    for (size_t i = 0, at = 24; i < ts.size() / kTsPacketSize; ++i, at += 16 + kTsPacketSize) {
        EXPECT_EQ(uint64_t(le32(at)) * 1000000 + le32(at + 4), i * 1000);
        EXPECT_EQ(le32(at + 8), kTsPacketSize);
        EXPECT_EQ(le32(at + 12), kTsPacketSize);
        EXPECT_EQ(pcap.substr(at + 16, kTsPacketSize),
                  text(Bytes(ts.begin() + std::ptrdiff_t(i * kTsPacketSize),
                             ts.begin() + std::ptrdiff_t((i + 1) * kTsPacketSize))));
    }
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> result;
    for (size_t at = 0, end; at < line.size(); at = end + 1) {
        end = std::min(line.find(' ', at), line.size());
        result.push_back(line.substr(at, end - at));
    }
    return result;
}

TEST(CommandLine, OptionsReachTheirSettings) {
    CommandLine line = parseCommandLine(
        words("-o out.ts --pid=0x3E9 --source 10.1.2.3:7000 --destination 224.0.0.5:1234 --mac 01:00:5E:00:00:05 "
              "--reorder 0.25 --extension-flag a.txt --status 404 --http-version HTTP/1.2 --no-disposition "
              "--udp localhost:9000 --repeat 2 -- --odd-name"));
    EXPECT_EQ(line.files, (std::vector<std::string>{"a.txt", "--odd-name"}));
    EXPECT_EQ(line.broadcast.pid, 1001);
    EXPECT_EQ(line.broadcast.endpoints.sourceAddress, 0x0A010203u);
    EXPECT_EQ(line.broadcast.endpoints.sourcePort, 7000);
    EXPECT_EQ(line.broadcast.endpoints.destinationAddress, 0xE0000005u);
    EXPECT_EQ(line.broadcast.endpoints.destinationPort, 1234);
    EXPECT_EQ(line.broadcast.mac, (std::array<uint8_t, 6>{1, 0, 0x5E, 0, 0, 5}));
    EXPECT_EQ(line.broadcast.reorder, 0.25);
    EXPECT_EQ(line.broadcast.extension, 1.0);
    EXPECT_EQ(line.header.status, "404 Not Found");
    EXPECT_EQ(line.header.version, "HTTP/1.2");
    EXPECT_FALSE(line.header.disposition);
    EXPECT_EQ(line.udpAddress, 0x7F000001u);
    EXPECT_EQ(line.broadcast.repeat, 2u);
    EXPECT_EQ(parseCommandLine(words("--pcap p --extension-flag 0.3 f")).broadcast.extension, 0.3);
}

TEST(CommandLine, BadInputIsRefusedWithItsReason) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"-o", "x.ts"}, "no files"},
        {{"a.txt"}, "nothing to write"},
        {{"-o", "x", "--drop", "1.5", "a"}, "--drop wants a fraction from 0 to 1, not '1.5'"},
        {{"-o", "x", "--reorder", "half", "a"}, "--reorder wants a fraction"},
        {{"-o", "x", "--source", "10.1.2:80", "a"}, "--source wants an IPv4 address"},
        {{"-o", "x", "--destination", "10.1.2.256:80", "a"}, "--destination wants an IPv4 address"},
        {{"-o", "x", "--destination", "10.1.2.3", "a"}, "wants A.B.C.D:PORT"},
        {{"-o", "x", "--source", "10.1.2.3:70000", "a"}, "port wants a number from 1 to 65535"},
        {{"-o", "x", "--mac", "01:02:03:04:05", "a"}, "--mac wants a MAC address"},
        {{"-o", "x", "--pid", "9000", "a"}, "--pid wants a number from 0 to 8191"},
        {{"-o", "x", "--repeat", "0", "a"}, "--repeat wants a number from 1"},
        {{"-o", "x", "--frobnicate", "a"}, "unknown option --frobnicate"},
        {{"-o", "x", "--pack=yes", "a"}, "--pack takes no value"},
        {{"-o", "x", "a", "--seed"}, "--seed wants a value"},
    };
    for (const auto& c : cases) {
        try {
            parseCommandLine(c.first);
            ADD_FAILURE() << "accepted: " << c.second;
        } catch (const UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(c.second), std::string::npos) << error.what();
        }
    }
}

TEST(Udp, SevenPacketsADatagramPacedAtTheRate) {
    UdpSocket receiver;
    uint16_t port = receiver.bindLoopback();
    Bytes ts = makeBroadcast({makeObject("n.bin", randomBytes(20000, 12))}, BroadcastOptions());
    const size_t chunk = kPacketsPerUdpDatagram * kTsPacketSize;
    size_t datagrams = (ts.size() + chunk - 1) / chunk;
    ASSERT_GE(datagrams, 10u);
    auto start = std::chrono::steady_clock::now();
    sendStream(ts, 0x7F000001, port, 1053);  // 10 ms a datagram
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.010 * double(datagrams - 1) * 0.95);
    Bytes received;
    for (size_t i = 0; i < datagrams; ++i) {
        Bytes datagram = receiver.receive(2000);
        ASSERT_FALSE(datagram.empty()) << "datagram " << i << " of " << datagrams << " missing";
        EXPECT_EQ(datagram.size(), i + 1 < datagrams ? chunk : ts.size() - i * chunk);
        received.insert(received.end(), datagram.begin(), datagram.end());
    }
    EXPECT_EQ(received, ts);
}

}  // namespace
