// The broadcaster's workings, callable in-process by the tests and benchmarks.
//
// A file becomes an object: an HTTP response (header, then the file), deflated
// as one zlib stream that is never finished and cut into payloads at full
// flushes, so that each payload inflates on its own whatever arrived before it.
// Each payload goes into an ObjectDatagram; each datagram into UDP/IPv4 in an
// MPE section in transport-stream packets of one PID.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "extraction/object_datagram.h"
#include "tools/stream_builder.h"

// Input the broadcaster refuses, or a file it cannot read or write. The
// message is one line for the user.
struct BroadcastError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The lines of the response header; each can be left out or bent so that
// tests can send what a well-behaved sender never would.
struct HeaderOptions {
    bool contentType = true;
    bool contentLength = true;
    bool disposition = true;
    std::optional<std::string> contentTypeText;  // instead of the extension's type
    std::string version = "HTTP/1.1";
    std::string status = "200 OK";
};

struct ObjectToSend {
    std::string name;  // announced as filename="..."; its extension picks the Content-Type
    Bytes content;
    HeaderOptions header;
};

// What one payload may inflate to: the receiver inflates into a buffer of this size.
constexpr size_t kMaxInflatedPayload = 65535;
// The receiver looks for the whole header in the first 2048 inflated bytes.
constexpr size_t kMaxResponseHeader = kMaxDatagramBody - 1;
constexpr size_t kMaxPlainPayload = kMaxDatagramBody - kDatagramHeaderSize;
constexpr size_t kMaxExtendedPayload = kMaxPlainPayload - kDatagramExtensionSize;

struct EncodeOptions {
    size_t maxPayload = kMaxPlainPayload;
    size_t maxInflated = kMaxInflatedPayload;
    bool allowEmpty = false;  // the receiver drops objects whose Content-Length is 0
};

// "image/gif" for "a.gif" and so on; application/octet-stream for anything unknown.
std::string contentTypeFor(const std::string& name);
// Status line, header lines and the empty line, each ended CR LF.
std::string buildResponseHeader(const ObjectToSend& object);
// The object's payloads in sequence order. Throws BroadcastError for an empty
// file (unless allowed) or a header that cannot travel in the first payload.
std::vector<Bytes> encodeObject(const ObjectToSend& object, const EncodeOptions& options = {});
// The file's bytes, announced under its own name with the default header.
ObjectToSend loadObject(const std::filesystem::path& path);

struct DatagramFields {
    uint32_t sequence = 1;
    bool extension = false;
    uint32_t extensionValue = 0;
    int corruptBit = -1;  // 0..15: this bit of the check is flipped
};

// type, sequence, flags, [extension], payload, check.
Bytes buildDatagram(const DatagramFields& fields, const Bytes& payload);

struct BroadcastOptions {
    uint64_t seed = 1;
    uint16_t pid = 0x100;
    UdpEndpoints endpoints;                     // sourcePort is the first object's
    uint16_t portStep = 1;                      // object k sends from sourcePort + k * portStep
    std::optional<std::array<uint8_t, 6>> mac;  // default: macFor(destination)
    bool interleave = false;
    bool pack = false;
    // Fractions of the datagrams of each pass. Datagram 1 of an object stays
    // first among its own and is never dropped unless the *First flags say so.
    double reorder = 0;
    double duplicate = 0;
    double drop = 0;
    bool reorderFirst = false;
    bool dropFirst = false;
    double extension = 0;  // datagrams that carry the four extension bytes
    double corruptChecks = 0;
    uint32_t repeat = 1;
    bool allowEmpty = false;
};

// One datagram as it went out, for tests and listings.
struct SentDatagram {
    size_t object = 0;  // index into the objects given
    uint32_t pass = 0;
    uint32_t sequence = 0;
    UdpEndpoints endpoints;
    std::array<uint8_t, 6> mac{};
    bool extension = false;
    bool corruptCheck = false;
    bool duplicate = false;  // a second copy of a datagram already sent in this pass
    Bytes datagram;          // the UDP payload
};

// The whole transport stream: a throw-away section first (a receiver's first
// section start only begins gathering), every pass of the carousel, then a
// closing start so that the last section is decoded.
Bytes makeBroadcast(const std::vector<ObjectToSend>& objects, const BroadcastOptions& options,
                    std::vector<SentDatagram>* sent = nullptr);

// 01:00:5e plus the low 23 bits for a multicast address; 02:00 plus the
// address (locally administered) otherwise.
std::array<uint8_t, 6> macFor(uint32_t destinationAddress);

// A pcap file of link type 243 (MPEG-2 TS), one packet per record, stamped
// as if sent at `rateKbps`.
Bytes makePcap(const Bytes& ts, uint32_t rateKbps);
constexpr uint32_t kPcapLinkTypeMpeg2Ts = 243;

void writeBytes(const std::filesystem::path& path, const Bytes& bytes);
