// The broadcaster, checked with the receiver's own pieces: its stream goes
// through the packet intake, its datagrams through the check, its payloads
// through one inflate stream per object as the receiver runs it.
#define ZLIB_CONST
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "extraction/object_datagram.h"
#include "reception/section_assembler.h"
#include "tests/test_support.h"
#include "tools/broadcast_lib.h"
#include "tools/broadcast_options.h"
#include "tools/broadcast_udp.h"

namespace {

Bytes randomBytes(size_t count, uint32_t seed) {
    std::mt19937 engine(seed);
    Bytes bytes(count);
    for (uint8_t& b : bytes) b = uint8_t(engine() >> 24);
    return bytes;
}

// Text that deflates to about a third: numbered lines of a few words.
Bytes textBytes(size_t count) {
    static const char* const kWords[] = {"carousel ", "object ", "satellite ", "datagram ", "receiver ", "stream "};
    std::string text;
    for (unsigned line = 0; text.size() < count; ++line)
        text += std::to_string(line * 7919 % 100003) + " " + kWords[line % 6] + kWords[line * 5 % 6] + "\n";
    return Bytes(text.begin(), text.begin() + std::ptrdiff_t(count));
}

// Long runs of zeros between random stretches: payloads hit the inflated limit.
Bytes mixedBytes(size_t count) {
    Bytes bytes(count, 0);
    Bytes noise = randomBytes(count, 99);
    for (size_t at = 0; at < count; at += 300000)
        std::copy(noise.begin() + std::ptrdiff_t(at), noise.begin() + std::ptrdiff_t(std::min(count, at + 5000)),
                  bytes.begin() + std::ptrdiff_t(at));
    return bytes;
}

ObjectToSend makeObject(const std::string& name, Bytes content) {
    ObjectToSend object;
    object.name = name;
    object.content = std::move(content);
    return object;
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// One inflate stream, one call per payload with Z_SYNC_FLUSH into a buffer
// of the receiver's size. Each call must take the whole payload and return
// Z_OK: a payload that needed more room, or that ended the stream, fails.
struct ReceiverInflate {
    z_stream stream{};
    ReceiverInflate() { EXPECT_EQ(inflateInit(&stream), Z_OK); }
    ~ReceiverInflate() { inflateEnd(&stream); }
    Bytes take(const Bytes& payload) {
        Bytes out(kMaxInflatedPayload);
        stream.next_in = payload.data();
        stream.avail_in = uInt(payload.size());
        stream.next_out = out.data();
        stream.avail_out = uInt(out.size());
        EXPECT_EQ(inflate(&stream, Z_SYNC_FLUSH), Z_OK);
        EXPECT_EQ(stream.avail_in, 0u) << "the payload inflates to more than " << kMaxInflatedPayload << " bytes";
        out.resize(out.size() - stream.avail_out);
        return out;
    }
};

std::vector<size_t> inSequence(size_t count) {
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i) order[i] = i;
    return order;
}

// Payload 1 (index 0) first, as the receiver needs it; then the others with a
// third of them twice, shuffled.
std::vector<size_t> shuffledWithRepeats(size_t count, uint32_t seed) {
    std::vector<size_t> rest;
    for (size_t i = 1; i < count; ++i) rest.push_back(i);
    for (size_t i = 1; i < count; i += 3) rest.push_back(i);
    std::shuffle(rest.begin(), rest.end(), std::mt19937(seed));
    rest.insert(rest.begin(), 0);
    return rest;
}

// Inflates payloads[order[0]], payloads[order[1]], ... with one stream and
// returns each payload's output, by payload index (repeats must agree).
std::vector<Bytes> inflateInOrder(const std::vector<Bytes>& payloads, const std::vector<size_t>& order) {
    ReceiverInflate receiver;
    std::vector<Bytes> outputs(payloads.size());
    std::vector<bool> seen(payloads.size());
    for (size_t index : order) {
        Bytes out = receiver.take(payloads[index]);
        if (seen[index]) {
            EXPECT_EQ(out, outputs[index]) << "payload " << index + 1 << " again";
        }
        outputs[index] = std::move(out);
        seen[index] = true;
    }
    return outputs;
}

// Everything the receiver relies on, for one object's payloads in sequence order.
void expectObjectDecodes(const ObjectToSend& object, const std::vector<Bytes>& payloads, size_t maxPayload) {
    ASSERT_FALSE(payloads.empty());
    for (const Bytes& payload : payloads) EXPECT_LE(payload.size(), maxPayload);
    std::vector<Bytes> outputs = inflateInOrder(payloads, inSequence(payloads.size()));
    std::string first = text(outputs[0]);
    size_t headerEnd = first.find("\r\n\r\n");
    ASSERT_NE(headerEnd, std::string::npos) << "payload 1 lacks the end of the header";
    EXPECT_LT(headerEnd + 4, kMaxDatagramBody);
    EXPECT_EQ(first.substr(0, headerEnd + 4), buildResponseHeader(object));
    std::string whole;
    for (const Bytes& out : outputs) whole += text(out);
    EXPECT_TRUE(whole.substr(headerEnd + 4) == text(object.content)) << "the body differs from the file";
    EXPECT_EQ(inflateInOrder(payloads, shuffledWithRepeats(payloads.size(), 5)), outputs);
}

TEST(ContentType, FollowsTheExtensionWhateverItsCase) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"a.gif", "image/gif"},                          {"index.html", "text/html"},
        {"photo.JPG", "image/jpeg"},                     {"feed.xml", "text/xml"},
        {"readme.txt", "text/txt"},                      {"x.css", "text/css"},
        {"x.png", "image/png"},                          {"favicon.ico", "image/x-icon"},
        {"x.js", "application/x-javascript"},            {"x.json", "application/json"},
        {"x.swf", "application/x-shockwave-flash"},      {"x.bmp", "image/bmp"},
        {"x.wmv", "video/x-ms-wmv"},                     {"x.avi", "video/x-msvideo"},
        {"x.rar", "application/x-rar-compressed"},       {"x.zip", "application/zip"},
        {"setup.exe", "application/x-msdownload"},       {"x.wma", "audio/x-ms-wma"},
        {"x.flv", "video/x-flv"},                        {"x.pdf", "application/pdf"},
        {"x.cab", "application/x-cab-compressed"},       {"x.mp3", "audio/mpeg"},
        {"x.djv", "image/vnd.djvu"},                     {"x.doc", "application/msword"},
        {"x.au", "audio/basic"},                         {"x.mov", "video/quicktime"},
        {"disc.iso", "application/octet-stream"},        {"disc.nrg", "application/octet-stream"},
        {"x.bin", "application/octet-stream"},           {"no_extension", "application/octet-stream"},
        {"archive.tar.gz", "application/octet-stream"},  {"trailing.", "application/octet-stream"},
        {"gif", "application/octet-stream"},
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(contentTypeFor(c.first), c.second) << c.first;
}

TEST(ResponseHeader, EachLineCanBeLeftOutOrBent) {
    struct Case {
        void (*bend)(ObjectToSend&);
        const char* expected;
    } cases[] = {
        {[](ObjectToSend&) {},
         "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 5\r\n"
         "Content-Disposition: attachment; filename=\"logo.gif\"\r\n\r\n"},
        {[](ObjectToSend& o) { o.header.contentType = false; },
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Disposition: attachment; filename=\"logo.gif\"\r\n\r\n"},
        {[](ObjectToSend& o) { o.header.contentLength = false; },
         "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Disposition: attachment; "
         "filename=\"logo.gif\"\r\n\r\n"},
        {[](ObjectToSend& o) { o.header.disposition = false; },
         "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 5\r\n\r\n"},
        {[](ObjectToSend& o) { o.header = {false, false, false, {}, "HTTP/1.1", "200 OK"}; },
         "HTTP/1.1 200 OK\r\n\r\n"},
        {[](ObjectToSend& o) {
             o.name = "..\\evil\"name";
             o.header.contentTypeText = "made/up";
         },
         "HTTP/1.1 200 OK\r\nContent-Type: made/up\r\nContent-Length: 5\r\n"
         "Content-Disposition: attachment; filename=\"..\\evil\"name\"\r\n\r\n"},
        {[](ObjectToSend& o) {
             o.header.version = "HTTP/1.2";
             o.header.status = "404 Not Found";
             o.header.contentLength = false;
             o.header.disposition = false;
         },
         "HTTP/1.2 404 Not Found\r\nContent-Type: image/gif\r\n\r\n"},
    };
    for (const Case& c : cases) {
        ObjectToSend object = makeObject("logo.gif", Bytes(5, 'x'));
        c.bend(object);
        EXPECT_EQ(buildResponseHeader(object), c.expected);
    }
}

TEST(EncodeObject, EveryPayloadInflatesOnItsOwnInAnyOrderAfterTheFirst) {
    struct Case {
        std::string name;
        Bytes content;
        size_t maxPayload;
    } cases[] = {
        {"one.bin", Bytes{42}, kMaxPlainPayload},
        {"page.html", textBytes(40000), kMaxPlainPayload},
        {"book.txt", textBytes(3000000), kMaxPlainPayload},
        {"noise.zip", randomBytes(3000000, 1), kMaxPlainPayload},
        {"noise.rar", randomBytes(100000, 2), kMaxExtendedPayload},
        {"disc.iso", mixedBytes(4000000), kMaxPlainPayload},
        {"blank.bin", Bytes(2000000, 0), kMaxExtendedPayload},
        {std::string(1900, 'n'), randomBytes(5000, 3), kMaxPlainPayload},  // header near its limit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        ObjectToSend object = makeObject(c.name, c.content);
        EncodeOptions options;
        options.maxPayload = c.maxPayload;
        expectObjectDecodes(object, encodeObject(object, options), c.maxPayload);
    }
}

// Each payload is filled to the room a datagram leaves, unless it already
// inflates to the receiver's limit: a sender that flushed early would need
// many times the datagrams.
TEST(EncodeObject, PayloadsFillTheDatagramOrTheInflateLimit) {
    const Bytes contents[] = {textBytes(2000000), randomBytes(1000000, 4), mixedBytes(2000000)};
    for (const Bytes& content : contents) {
        ObjectToSend object = makeObject("f.bin", content);
        std::vector<Bytes> payloads = encodeObject(object);
        std::vector<Bytes> outputs = inflateInOrder(payloads, inSequence(payloads.size()));
        for (size_t i = 0; i + 1 < payloads.size(); ++i) {
            if (outputs[i].size() < kMaxInflatedPayload) {
                EXPECT_GE(payloads[i].size(), kMaxPlainPayload - 16) << "payload " << i + 1;
            }
        }
    }
}

TEST(EncodeObject, RefusesWhatTheReceiverCannotTake) {
    ObjectToSend empty = makeObject("empty.txt", {});
    EXPECT_THROW(encodeObject(empty), BroadcastError);
    EncodeOptions allow;
    allow.allowEmpty = true;
    std::vector<Bytes> payloads = encodeObject(empty, allow);
    ASSERT_EQ(payloads.size(), 1u);
    expectObjectDecodes(empty, payloads, kMaxPlainPayload);

    ObjectToSend longName = makeObject(std::string(2100, 'n') + ".txt", Bytes{1});
    try {
        encodeObject(longName);
        ADD_FAILURE() << "a header beyond 2047 bytes was accepted";
    } catch (const BroadcastError& error) {
        EXPECT_NE(std::string(error.what()).find("header"), std::string::npos) << error.what();
    }
}

TEST(Datagram, LayoutAndCheck) {
    const Bytes payload{0x78, 0x9C, 0x01, 0x02};
    struct Case {
        DatagramFields fields;
        Bytes head;
    } cases[] = {
        {{1, false, 0, -1}, {8, 1, 0, 0, 0, 0}},
        {{0x01020304, false, 0, 3}, {8, 4, 3, 2, 1, 0}},
        {{7, true, 0xAABBCCDD, -1}, {8, 7, 0, 0, 0, 0x40, 0xDD, 0xCC, 0xBB, 0xAA}},
        {{7, true, 0x11223344, 15}, {8, 7, 0, 0, 0, 0x40, 0x44, 0x33, 0x22, 0x11}},
    };
    for (const Case& c : cases) {
        Bytes datagram = buildDatagram(c.fields, payload);
        Bytes expected = c.head;
        expected.insert(expected.end(), payload.begin(), payload.end());
        ASSERT_EQ(datagram.size(), expected.size() + 2);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), datagram.begin()));
        uint16_t stored = uint16_t(datagram[datagram.size() - 2] | datagram[datagram.size() - 1] << 8);
        uint16_t wanted = datagramCheck(datagram.data(), datagram.size() - 2);
        EXPECT_EQ(checkDatagram(datagram.data(), datagram.size()), c.fields.corruptBit < 0);
        EXPECT_EQ(stored ^ wanted, c.fields.corruptBit < 0 ? 0 : 1 << c.fields.corruptBit);
    }
}

// ---- The whole stream through the receiver's intake -----------------------

struct Arrival {
    DatagramAddress address;
    Bytes datagram;
};

void collect(void* context, const DatagramAddress& address, const uint8_t* payload, uint16_t length) {
    static_cast<std::vector<Arrival>*>(context)->push_back({address, Bytes(payload, payload + length)});
}

struct Reception {
    std::vector<Arrival> arrivals;
    int32_t discontinuities = 0;
    std::string log;
};

Reception receive(const Bytes& ts, uint16_t pid) {
    EXPECT_EQ(ts.size() % kTsPacketSize, 0u);
    CapturedLog captured;
    auto assembler = std::make_unique<SectionAssembler>();
    Reception reception;
    assembler->log = &captured.log;
    assembler->sink = collect;
    assembler->sinkContext = &reception.arrivals;
    for (size_t at = 0; at + kTsPacketSize <= ts.size(); at += kTsPacketSize) {
        EXPECT_EQ(ts[at], 0x47);
        EXPECT_EQ(((ts[at + 1] & 0x1F) << 8) | ts[at + 2], pid);
        takePacket(*assembler, ts.data() + at, kTsPacketSize);
    }
    reception.discontinuities = assembler->discontinuityCount.load();
    reception.log = captured.text();
    return reception;
}

uint32_t sequenceOf(const Bytes& d) { return uint32_t(d[1] | d[2] << 8 | d[3] << 16 | uint32_t(d[4]) << 24); }

Bytes payloadOf(const Bytes& d) {
    size_t start = kDatagramHeaderSize + ((d[5] & kExtensionFlag) ? kDatagramExtensionSize : 0);
    return Bytes(d.begin() + std::ptrdiff_t(start), d.end() - 2);
}

// The reference: each payload's output when the object is inflated in order.
std::vector<Bytes> referenceOutputs(const ObjectToSend& object) {
    std::vector<Bytes> payloads = encodeObject(object);
    return inflateInOrder(payloads, inSequence(payloads.size()));
}

std::vector<ObjectToSend> threeObjects() {
    return {makeObject("notes.txt", textBytes(300000)), makeObject("noise.bin", randomBytes(90000, 6)),
            makeObject("dot.gif", Bytes{0x47})};
}

class WholeStream : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(WholeStream, EveryObjectArrivesAddressedInSequenceAndDecodes) {
    std::vector<ObjectToSend> objects = threeObjects();
    BroadcastOptions options;
    std::tie(options.pack, options.interleave) = GetParam();
    options.pid = 0x123;
    options.endpoints = {0x0A000009, 0xEF0A141E, 7000, 6000};  // 10.0.0.9 -> 239.10.20.30
    std::vector<SentDatagram> sent;
    Reception r = receive(makeBroadcast(objects, options, &sent), 0x123);
    EXPECT_EQ(r.discontinuities, 0);
    EXPECT_EQ(r.log, "");
    ASSERT_EQ(r.arrivals.size(), sent.size());
    std::map<uint16_t, std::vector<Bytes>> payloadsByPort;
    std::vector<uint16_t> ports;
    for (const Arrival& a : r.arrivals) {
        EXPECT_EQ(a.address.sourceAddress, 0x0A000009u);
        EXPECT_EQ(a.address.destinationAddress, 0xEF0A141Eu);
        EXPECT_EQ(a.address.destinationPort, 6000);
        EXPECT_EQ(Bytes(a.address.destinationMac, a.address.destinationMac + 6), (Bytes{1, 0, 0x5E, 0x0A, 0x14, 0x1E}));
        ASSERT_TRUE(checkDatagram(a.datagram.data(), a.datagram.size()));
        ASSERT_LE(a.datagram.size() - 2, kMaxDatagramBody);
        EXPECT_EQ(a.datagram[0], kObjectDatagramType);
        EXPECT_EQ(a.datagram[5], 0);
        std::vector<Bytes>& payloads = payloadsByPort[a.address.sourcePort];
        EXPECT_EQ(sequenceOf(a.datagram), payloads.size() + 1);
        payloads.push_back(payloadOf(a.datagram));
        ports.push_back(a.address.sourcePort);
    }
    ASSERT_EQ(payloadsByPort.size(), 3u);
    for (size_t k = 0; k < 3; ++k)
        expectObjectDecodes(objects[k], payloadsByPort[uint16_t(7000 + k)], kMaxPlainPayload);
    if (options.interleave) {
        EXPECT_EQ(std::vector<uint16_t>(ports.begin(), ports.begin() + 4),
                  (std::vector<uint16_t>{7000, 7001, 7002, 7000}));
    } else {
        EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(PackAndInterleave, WholeStream, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

BroadcastOptions damaging(uint64_t seed) {
    BroadcastOptions options;
    options.seed = seed;
    options.reorder = 0.5;
    options.duplicate = 0.25;
    options.drop = 0.2;
    options.extension = 0.5;
    options.corruptChecks = 0.1;
    options.interleave = true;
    return options;
}

TEST(Damage, TheSameSeedGivesTheSameBytes) {
    std::vector<ObjectToSend> objects = threeObjects();
    Bytes first = makeBroadcast(objects, damaging(11));
    EXPECT_EQ(makeBroadcast(objects, damaging(11)), first);
    EXPECT_NE(makeBroadcast(objects, damaging(12)), first);
}

// Damage as ordered, and what survives still inflates in arrival order.
TEST(Damage, ReorderedRepeatedAndThinnedObjectsStillDecode) {
    std::vector<ObjectToSend> objects = {makeObject("a.bin", randomBytes(80000, 7)),
                                         makeObject("b.txt", textBytes(250000)),
                                         makeObject("c.bin", randomBytes(60000, 8))};
    BroadcastOptions options = damaging(3);
    options.extension = options.corruptChecks = 0;
    std::vector<SentDatagram> sent;
    Reception r = receive(makeBroadcast(objects, options, &sent), options.pid);
    ASSERT_EQ(r.arrivals.size(), sent.size());
    size_t total = 0, kept = 0, anyReordered = 0;
    for (size_t k = 0; k < objects.size(); ++k) {
        std::vector<Bytes> reference = referenceOutputs(objects[k]);
        std::vector<uint32_t> order;
        ReceiverInflate receiver;
        for (const Arrival& a : r.arrivals) {
            if (a.address.sourcePort != 4000 + k) continue;
            order.push_back(sequenceOf(a.datagram));
            EXPECT_EQ(receiver.take(payloadOf(a.datagram)), reference.at(order.back() - 1));
        }
        ASSERT_FALSE(order.empty());
        EXPECT_EQ(order[0], 1u) << "datagram 1 must open its object";
        anyReordered += !std::is_sorted(order.begin(), order.end());
        total += reference.size();
        kept += std::set<uint32_t>(order.begin(), order.end()).size();
    }
    size_t dropped = size_t(std::llround(0.2 * double(total - objects.size())));
    EXPECT_EQ(kept, total - dropped);
    EXPECT_EQ(r.arrivals.size() - kept, size_t(std::llround(0.25 * double(kept))));
    EXPECT_GT(anyReordered, 0u);
}

TEST(Damage, DatagramOneMovesOrGoesOnlyWhenAsked) {
    std::vector<ObjectToSend> objects = {makeObject("a.bin", randomBytes(40000, 9)),
                                         makeObject("b.bin", randomBytes(40000, 10))};
    auto firstSequences = [&](const BroadcastOptions& options) {
        std::vector<SentDatagram> sent;
        makeBroadcast(objects, options, &sent);
        std::vector<uint32_t> firsts;  // the first sequence number of each object present
        std::set<size_t> seen;
        for (const SentDatagram& d : sent)
            if (seen.insert(d.object).second) firsts.push_back(d.sequence);
        return std::make_pair(firsts, sent.size());
    };
    BroadcastOptions options;
    options.drop = 1.0;
    EXPECT_EQ(firstSequences(options), std::make_pair(std::vector<uint32_t>{1, 1}, size_t(2)));
    options.dropFirst = true;
    EXPECT_EQ(firstSequences(options).second, 0u);
    options = BroadcastOptions();
    options.reorder = 1.0;
    options.duplicate = 1.0;
    EXPECT_EQ(firstSequences(options).first, (std::vector<uint32_t>{1, 1}));
    options.reorderFirst = true;
    EXPECT_NE(firstSequences(options).first, (std::vector<uint32_t>{1, 1}));
}

TEST(Damage, CorruptedChecksFailAndOnlyThose) {
    std::vector<SentDatagram> sent;
    BroadcastOptions options = damaging(21);
    options.corruptChecks = 0.3;
    options.drop = 0;
    Reception r = receive(makeBroadcast(threeObjects(), options, &sent), options.pid);
    ASSERT_EQ(r.arrivals.size(), sent.size());
    size_t failing = 0, unique = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        const Bytes& d = r.arrivals[i].datagram;
        bool passes = checkDatagram(d.data(), d.size());
        EXPECT_EQ(passes, !sent[i].corruptCheck);
        uint16_t flipped = uint16_t((d[d.size() - 2] | d[d.size() - 1] << 8) ^ datagramCheck(d.data(), d.size() - 2));
        EXPECT_TRUE(passes || (flipped & (flipped - 1)) == 0) << "more than one bit flipped";
        if (!sent[i].duplicate) {
            ++unique;
            failing += !passes;
        }
    }
    // Picked before any copies were made; a copy keeps its original's check.
    EXPECT_EQ(failing, size_t(std::llround(0.3 * double(unique))));
}

TEST(Damage, ExtensionBytesOnAllOrAFractionOfTheDatagrams) {
    for (double fraction : {1.0, 0.5}) {
        BroadcastOptions options;
        options.extension = fraction;
        std::vector<ObjectToSend> objects = threeObjects();
        Reception r = receive(makeBroadcast(objects, options), options.pid);
        size_t extended = 0;
        std::map<uint16_t, std::vector<Bytes>> payloads;
        for (const Arrival& a : r.arrivals) {
            ASSERT_TRUE(checkDatagram(a.datagram.data(), a.datagram.size()));
            EXPECT_LE(a.datagram.size() - 2, kMaxDatagramBody);
            EXPECT_TRUE(a.datagram[5] == 0 || a.datagram[5] == kExtensionFlag);
            extended += a.datagram[5] == kExtensionFlag;
            payloads[a.address.sourcePort].push_back(payloadOf(a.datagram));
        }
        EXPECT_EQ(extended, size_t(std::llround(fraction * double(r.arrivals.size()))));
        for (size_t k = 0; k < objects.size(); ++k)
            expectObjectDecodes(objects[k], payloads[uint16_t(4000 + k)], kMaxExtendedPayload);
    }
}

TEST(Carousel, RepeatSendsEveryPassOnOneContinuousStream) {
    BroadcastOptions options;
    options.repeat = 3;
    options.pack = true;
    options.portStep = 0;
    std::vector<SentDatagram> sent;
    std::vector<ObjectToSend> objects = threeObjects();
    Reception r = receive(makeBroadcast(objects, options, &sent), options.pid);
    EXPECT_EQ(r.discontinuities, 0);
    ASSERT_EQ(r.arrivals.size(), sent.size());
    size_t perPass = 0;
    for (const ObjectToSend& object : objects) perPass += encodeObject(object).size();
    EXPECT_EQ(sent.size(), 3 * perPass);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].pass, i / perPass);
        EXPECT_EQ(r.arrivals[i].address.sourcePort, 4000);  // step 0: one port for all
        EXPECT_EQ(r.arrivals[i].datagram, sent[i % perPass].datagram);
    }
}

TEST(Carousel, RefusesImpossibleOptions) {
    struct Case {
        void (*bend)(BroadcastOptions&);
        const char* message;
    } cases[] = {
        {[](BroadcastOptions& o) { o.drop = 1.5; }, "drop"},
        {[](BroadcastOptions& o) { o.reorder = -0.1; }, "reorder"},
        {[](BroadcastOptions& o) { o.repeat = 0; }, "repeat"},
        {[](BroadcastOptions& o) { o.endpoints.sourcePort = 65534; }, "65535"},
    };
    for (const Case& c : cases) {
        BroadcastOptions options;
        c.bend(options);
        try {
            makeBroadcast(threeObjects(), options);
            ADD_FAILURE() << c.message;
        } catch (const BroadcastError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

}  // namespace
