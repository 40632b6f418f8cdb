// The SAT>IP session's texts: stream URLs from the program's tuning, the
// server's replies, and the tuner's reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugins/satip_discovery.h"
#include "plugins/satip_session.h"

namespace {

TEST(SatipUrl, CarriesTheProgramsTuningInTheServersUnits) {
    const struct {
        int32_t frequency, symbolRate, polarity, diseqcKind, diseqcCommand, pid;
        const char* msys;
        const char* query;
    } rows[] = {
        {11766000, 27500000, 1, 0, 0, 256, "dvbs2", "?src=1&freq=11766&pol=v&msys=dvbs2&sr=27500&pids=256"},
        {11766500, 27500000, 0, 0, 0, 256, "dvbs", "?src=1&freq=11766.5&pol=h&msys=dvbs&sr=27500&pids=256"},
        {10714250, 22000500, 1, 0, 0, 0, "dvbs2", "?src=1&freq=10714.25&pol=v&msys=dvbs2&sr=22000.5&pids=0"},
        {12000005, 2000000, 1, 0, 0, 8191, "dvbs2", "?src=1&freq=12000.005&pol=v&msys=dvbs2&sr=2000&pids=8191"},
        {11766000, 27500000, 1, 1, 0xF0, 1, "dvbs2", "?src=1&freq=11766&pol=v&msys=dvbs2&sr=27500&pids=1"},
        {11766000, 27500000, 1, 1, 0xF4, 1, "dvbs2", "?src=2&freq=11766&pol=v&msys=dvbs2&sr=27500&pids=1"},
        {11766000, 27500000, 1, 2, 0xF0, 1, "dvbs2", "?src=1&freq=11766&pol=v&msys=dvbs2&sr=27500&pids=1"},
        {11766000, 27500000, 1, 2, 0xF4, 1, "dvbs2", "?src=2&freq=11766&pol=v&msys=dvbs2&sr=27500&pids=1"},
        {11766000, 27500000, 1, 2, 0xF8, 1, "dvbs2", "?src=3&freq=11766&pol=v&msys=dvbs2&sr=27500&pids=1"},
        {11766000, 27500000, 1, 2, 0xFC, 1, "dvbs2", "?src=4&freq=11766&pol=v&msys=dvbs2&sr=27500&pids=1"},
        {-5, 27500000, 1, 0, 0, 1, "dvbs2", "?src=1&freq=0&pol=v&msys=dvbs2&sr=27500&pids=1"},
    };
    for (const auto& row : rows) {
        Tuning tuning;
        tuning.frequency = row.frequency;
        tuning.symbolRate = row.symbolRate;
        tuning.polarity = row.polarity;
        tuning.diseqcKind = row.diseqcKind;
        tuning.diseqcCommand = row.diseqcCommand;
        tuning.pid = row.pid;
        EXPECT_EQ(tuningQuery(tuning, row.msys), row.query) << row.query;
    }
}

TEST(SatipServerName, TakesAHostWithOrWithoutAPort) {
    const struct {
        const char* text;
        bool valid;
        const char* host;
        uint16_t port;
    } rows[] = {
        {"192.168.1.20", true, "192.168.1.20", 554},  {"tuner.local:5554", true, "tuner.local", 5554},
        {"127.0.0.1:0", false, "", 0},                {"127.0.0.1:65536", false, "", 0},
        {":554", false, "", 0},                       {"host:port", false, "", 0},
        {"rtsp://host:554", false, "", 0},
    };
    for (const auto& row : rows) {
        std::string host;
        uint16_t port = 0;
        ASSERT_EQ(parseServerName(row.text, host, port), row.valid) << row.text;
        if (!row.valid) continue;
        EXPECT_EQ(host, row.host) << row.text;
        EXPECT_EQ(port, row.port) << row.text;
    }
}

TEST(SatipReply, ReadsStatusSessionStreamAndTransport) {
    constexpr long kIncomplete = -1, kNotReply = -2;
    const struct {
        std::string text;  // one whole reply, perhaps followed by more
        long after;        // bytes after the reply, or kIncomplete, kNotReply
        int status;
        int64_t cseq;
        const char* session;
        int timeout;
        const char* streamId;
        int serverPort, interleaved;
        const char* refusal;  // the start of refusalText
    } rows[] = {
        {"RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: 12345678;timeout=30\r\ncom.ses.streamID: 7\r\n"
         "Transport: RTP/AVP;unicast;client_port=5000-5001;server_port=6970-6971\r\n\r\n$\1",
         2, 200, 3, "12345678", 30, "7", 6970, -1, ""},
        {"RTSP/1.0 200 OK\r\ncseq: 4\r\nsession:  ABCD \r\nCOM.SES.STREAMID: 1\r\n"
         "transport: RTP/AVP/TCP;interleaved=2-3\r\n\r\n",
         0, 200, 4, "ABCD", 60, "1", -1, 2, ""},
        {"RTSP/1.0 200 OK\nCSeq: 5\nSession: 99;timeout=0\n\n", 0, 200, 5, "99", 60, "", -1, -1, ""},
        {"RTSP/1.0 200 OK\r\nCSeq: 6\r\nContent-Length: 4\r\n\r\nv=0\r$", 1, 200, 6, "", 60, "", -1, -1, ""},
        // LF line ends, then a frame whose data holds CR LF CR LF.
        {std::string("RTSP/1.0 200 OK\nCSeq: 5\n\n$\0\0\4\r\n\r\n", 33), 8, 200, 5, "", 60, "", -1, -1, ""},
        {"RTSP/1.0 200 OK\r\nCSeq: 5\n\r\nv=0\r\n\r\n", 7, 200, 5, "", 60, "", -1, -1, ""},
        {"RTSP/1.0 503 Service Unavailable\r\nCSeq: 7\r\n\r\n", 0, 503, 7, "", 60, "", -1, -1, "no free tuner"},
        {"RTSP/1.0 404 Not Found\r\nCSeq: 8\r\n\r\n", 0, 404, 8, "", 60, "", -1, -1, "stream not found"},
        {"RTSP/1.0 400 Bad Request\r\nCSeq: 9\r\n\r\n", 0, 400, 9, "", 60, "", -1, -1, "tuning parameters"},
        {"RTSP/1.0 200 OK\r\nCSeq: 6\r\nContent-Length: 40\r\n\r\nv=0\r", kIncomplete, 200, 6, "", 60, "", -1, -1, ""},
        {"RTSP/1.0 200 OK\r\nCSeq: 1\r\n", kIncomplete, 200, 1, "", 60, "", -1, -1, ""},
        {"RTSP/1.0 200 OK\r\nContent-Length: 99999999\r\n\r\n", kIncomplete, 200, -1, "", 60, "", -1, -1, ""},
        {"RTSP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n", kNotReply, 200, -1, "", 60, "", -1, -1, ""},
        {"HTTP/1.1 200 OK\r\n\r\n", kNotReply, 0, -1, "", 60, "", -1, -1, ""},
    };
    for (const auto& row : rows) {
        const long length = row.after == kIncomplete ? 0 : row.after == kNotReply ? -1 : long(row.text.size()) - row.after;
        size_t head = 0, body = 0;
        const RtspMessage kind = rtspMessage(row.text.data(), row.text.size(), head, body);
        EXPECT_EQ(kind == RtspMessage::garbage ? -1 : head + body <= row.text.size() ? long(head + body) : 0, length)
            << row.text;
        EXPECT_NE(kind, RtspMessage::request) << row.text;
        RtspReply reply;
        const std::string whole = length > 0 ? row.text.substr(0, size_t(length)) : row.text;
        EXPECT_EQ(parseRtspReply(whole, reply), row.status != 0) << row.text;
        EXPECT_EQ(reply.status, row.status) << row.text;
        EXPECT_EQ(reply.cseq, row.cseq) << row.text;
        EXPECT_EQ(reply.session, row.session) << row.text;
        EXPECT_EQ(reply.timeoutSeconds, row.timeout) << row.text;
        EXPECT_EQ(reply.streamId, row.streamId) << row.text;
        EXPECT_EQ(reply.serverRtpPort, row.serverPort) << row.text;
        EXPECT_EQ(reply.interleavedRtp, row.interleaved) << row.text;
        if (*row.refusal) {
            const std::string text = refusalText(reply);
            EXPECT_EQ(text.rfind(row.refusal, 0), 0u) << text;
            EXPECT_NE(text.find(reply.statusLine), std::string::npos) << text;
        }
    }
}

TEST(SatipTunerReport, ReadsLevelLockAndQualityAndRefusesOddReports) {
    const struct {
        const char* text;
        bool valid;
        int level;
        bool locked;
        int quality;
    } rows[] = {
        {"ver=1.0;src=1;tuner=1,200,1,15,11766.00,v,dvbs2,,,,27500,34;pids=256", true, 200, true, 15},
        {"ver=1.0;src=1;tuner=2,20,0,0,11766.00,v,dvbs2,,,,27500,34;pids=", true, 20, false, 0},
        {"v=0\r\nm=video 0 RTP/AVP 33\r\na=fmtp:33 ver=1.0;src=1;tuner=1,180,1,12,11766.00,v\r\n", true, 180, true, 12},
        {"ver=1.0;tuner=1,255,1,9", true, 255, true, 9},
        {"ver=1.0;src=1;tuner=1,200,1", false, 0, false, 0},
        {"ver=1.0;src=1;tuner=", false, 0, false, 0},
        {"ver=1.0;tuner=1,256,1,15,11766", false, 0, false, 0},
        {"ver=1.0;tuner=1,200,2,15,11766", false, 0, false, 0},
        {"ver=1.0;tuner=1,200,1,16,11766", false, 0, false, 0},
        {"ver=1.0;tuner=1,-3,1,15,11766", false, 0, false, 0},
        {"ver=1.0;xtuner=1,200,1,15", false, 0, false, 0},
        {"", false, 0, false, 0},
    };
    for (const auto& row : rows) {
        SignalReport report;
        ASSERT_EQ(parseTunerReport(row.text, report), row.valid) << row.text;
        if (!row.valid) continue;
        EXPECT_EQ(report.level, row.level) << row.text;
        EXPECT_EQ(report.locked, row.locked) << row.text;
        EXPECT_EQ(report.quality, row.quality) << row.text;
    }
}

// A compound RTCP datagram: a sender report, then an application packet.
std::vector<uint8_t> rtcpWithApplication(const char* name, const std::string& text, int lengthAdjust) {
    std::vector<uint8_t> d = {0x80, 200, 0, 6};
    d.resize(28, 0);
    std::string padded = text;
    while (padded.size() % 4) padded.push_back('\0');
    const size_t words = (16 + padded.size()) / 4 - 1 + size_t(lengthAdjust);
    const uint8_t head[] = {0x80, 204, uint8_t(words >> 8), uint8_t(words), 0, 0, 0, 1};
    d.insert(d.end(), head, head + 8);
    d.insert(d.end(), name, name + 4);
    const uint8_t lengths[] = {0, 0, uint8_t(text.size() >> 8), uint8_t(text.size())};
    d.insert(d.end(), lengths, lengths + 4);
    d.insert(d.end(), padded.begin(), padded.end());
    return d;
}

TEST(SatipTunerReport, IsFoundInACompoundRtcpDatagramOnlyWhenWhole) {
    const std::string report = "ver=1.0;src=1;tuner=1,200,1,15,11766.00,v,dvbs2,,,,27500,34;pids=256";
    std::string found;
    auto whole = rtcpWithApplication("SES1", report, 0);
    ASSERT_TRUE(findTunerReport(whole.data(), whole.size(), found));
    EXPECT_EQ(found, report);
    EXPECT_FALSE(findTunerReport(whole.data(), whole.size() - 4, found));
    auto other = rtcpWithApplication("XYZ1", report, 0);
    EXPECT_FALSE(findTunerReport(other.data(), other.size(), found));
    auto tooLong = rtcpWithApplication("SES1", report, 1);
    EXPECT_FALSE(findTunerReport(tooLong.data(), tooLong.size(), found));
    auto stringPastPacket = rtcpWithApplication("SES1", report, -2);
    stringPastPacket.resize(stringPastPacket.size() - 8);
    EXPECT_FALSE(findTunerReport(stringPastPacket.data(), stringPastPacket.size(), found));
}

// A request of the server's is answered, not taken for garbage.
TEST(SatipServerRequest, IsAnsweredWithItsCSeq) {
    const struct {
        std::string text;
        RtspMessage kind;
        const char* answer;
    } rows[] = {
        {"OPTIONS * RTSP/1.0\r\nCSeq: 2\r\n\r\n", RtspMessage::request,
         "RTSP/1.0 200 OK\r\nCSeq: 2\r\nPublic: OPTIONS\r\n\r\n"},
        {"ANNOUNCE rtsp://10.0.0.1/stream=1 RTSP/1.0\nCSeq: 3\nContent-Length: 3\n\nv=0", RtspMessage::request,
         "RTSP/1.0 501 Not Implemented\r\nCSeq: 3\r\n\r\n"},
        {"SET_PARAMETER rtsp://10.0.0.1/ RTSP/1.0\r\nCSeq: 4", RtspMessage::incomplete, ""},
        {"GET / HTTP/1.1\r\n\r\n", RtspMessage::garbage, ""},
        {"options * RTSP/1.0\r\n\r\n", RtspMessage::garbage, ""},
    };
    for (const auto& row : rows) {
        size_t head = 0, body = 0;
        EXPECT_EQ(rtspMessage(row.text.data(), row.text.size(), head, body), row.kind) << row.text;
        if (*row.answer) {
            EXPECT_EQ(rtspAnswer(row.text), row.answer) << row.text;
        }
    }
}

TEST(SatipRtp, FindsThePacketsBetweenHeaderAndPaddingAndCountsLostDatagrams) {
    const struct {
        uint8_t first;       // version, padding, extension, CSRC count
        size_t extraHeader;  // CSRC and extension words' bytes
        size_t padding;      // bytes of padding at the end
        uint8_t claimed;     // what the last of them says
        size_t packets;
        bool valid;
        size_t begin, end;
    } rows[] = {
        {0x80, 0, 0, 0, 7, true, 12, 12 + 7 * 188},
        {0x82, 8, 0, 0, 1, true, 20, 20 + 188},
        {0xA0, 0, 200, 200, 7, true, 12, 12 + 7 * 188},
        {0xA0, 0, 1, 1, 1, true, 12, 12 + 188},
        {0xA0, 0, 1, 0, 1, false, 0, 0},
        {0xA0, 0, 4, 5, 1, false, 0, 0},
        {0x40, 0, 0, 0, 1, false, 0, 0},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> datagram = {row.first, 33, 0x12, 0x34};
        datagram.resize(12 + row.extraHeader + row.packets * 188 + row.padding, 0x47);
        if (row.padding) datagram.back() = row.claimed;
        uint16_t sequence = 0;
        size_t begin = 0, end = 0;
        ASSERT_EQ(rtpPayload(datagram.data(), datagram.size(), sequence, begin, end), row.valid) << int(row.first);
        if (!row.valid) continue;
        EXPECT_EQ(sequence, 0x1234);
        EXPECT_EQ(begin, row.begin) << int(row.first);
        EXPECT_EQ(end, row.end) << int(row.first) << " padding " << row.padding;
    }

    const struct {
        uint16_t expected, received;
        uint32_t gap;
    } gaps[] = {
        {10, 10, 0}, {10, 13, 3}, {65535, 1, 2}, {10, 9, 0}, {0, 65535, 0},
    };
    for (const auto& row : gaps)
        EXPECT_EQ(rtpSequenceGap(row.expected, row.received), row.gap) << row.expected << " then " << row.received;
}

TEST(SatipDescription, ReadsTheServersNameAndTunersFromItsDescription) {
    const std::string xml =
        "<?xml version=\"1.0\"?><root><device><friendlyNameX>no</friendlyNameX>"
        "<friendlyName> Tuner &amp; Co &lt;2&gt; </friendlyName><empty/>stray"
        "<satip:X_SATIPCAP xmlns:satip=\"urn:ses-com:satip\">DVBS2-2,DVBT-1</satip:X_SATIPCAP></device></root>";
    const struct {
        const char* name;
        const char* text;
    } rows[] = {
        {"friendlyName", "Tuner & Co <2>"}, {"X_SATIPCAP", "DVBS2-2,DVBT-1"}, {"empty", ""}, {"modelName", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(xmlElementText(xml, row.name), row.text) << row.name;
    EXPECT_EQ(xmlElementText("<friendlyName>cut short", "friendlyName"), "");
    // Whether a device in it is a SAT>IP server, and that device's name and tuners.
    const struct {
        const char* xml;
        bool satip;
        const char* nameAndTuners;
    } devices[] = {
        {"<device><deviceType>urn:ses-com:device:SatIPServer:1</deviceType><friendlyName>T</friendlyName>"
         "<satip:X_SATIPCAP>DVBS2-2</satip:X_SATIPCAP></device>", true, "T DVBS2-2"},
        {"<device><deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType><friendlyName>TV</friendlyName>",
         false, "TV "},
        {"<friendlyName>NAS</friendlyName><device><deviceType> URN:SES-COM:DEVICE:SATIPSERVER:2</deviceType>"
         "<friendlyName>Tuner</friendlyName>", true, "Tuner "},
        {"<deviceTypes>urn:ses-com:device:SatIPServer:1</deviceTypes><x:deviceType>urn:ses-com:device:SatIPServer"
         "</x:deviceType><modelName>deviceType >urn:ses-com:device:SatIPServer:1</modelName>", false, " "},
    };
    for (const auto& row : devices) {
        FoundServer server;
        readDescription(row.xml, server);
        EXPECT_EQ(server.satip, row.satip) << row.xml;
        EXPECT_EQ(server.name + " " + server.tuners, row.nameAndTuners) << row.xml;
    }
}

TEST(SatipDiscovery, TakesOnlyTheAnswersOfSatipServers) {
    const struct {
        std::string head;  // all but the LOCATION line
        bool satip;
    } rows[] = {
        {"HTTP/1.1 200 OK\r\nST: urn:ses-com:device:SatIPServer:1\r\n", true},
        {"HTTP/1.1  200 OK\r\nst:  URN:SES-COM:DEVICE:SATIPSERVER:1 \r\n", true},
        {"HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nUSN: uuid:1 :: urn:ses-com:device:SatIPServer:1\r\n", true},
        {"HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:device:MediaRenderer:1\r\nUSN: uuid:1::urn:x:1\r\n", false},
        {"HTTP/1.1 200 OK\r\nST: urn:ses-com:device:SatIPServer:10\r\nUSN: urn:ses-com:device:SatIPServer:1\r\n",
         false},
        {"HTTP/1.1 404 Not Found\r\nST: urn:ses-com:device:SatIPServer:1\r\n", false},
    };
    for (const auto& row : rows) {
        FoundServer server;
        EXPECT_EQ(isSatipAnswer(row.head + "LOCATION: http://10.0.0.5/d\r\n\r\n", server), row.satip) << row.head;
        EXPECT_EQ(server.host + " " + server.location, row.satip ? "10.0.0.5 http://10.0.0.5/d" : " ");
    }
    FoundServer server;
    EXPECT_FALSE(isSatipAnswer("HTTP/1.1 200 OK\r\nST: urn:ses-com:device:SatIPServer:1\r\nLOCATION: /d\r\n", server));
}

}  // namespace
