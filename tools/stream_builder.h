// The sending side of the stream, in pieces: UDP/IPv4 datagrams, MPE sections
// and 188-byte transport-stream packets of one PID. Used by the broadcaster,
// the benchmarks and the tests to make streams the receiver must understand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct UdpEndpoints {
    uint32_t sourceAddress = 0xC0A80007;       // 192.168.0.7
    uint32_t destinationAddress = 0xEF010203;  // 239.1.2.3
    uint16_t sourcePort = 4000;
    uint16_t destinationPort = 5001;
};

// An IPv4 datagram (20-byte header, correct header checksum, protocol 17)
// carrying one UDP datagram with `payload`. The UDP checksum is left 0.
Bytes buildUdpDatagram(const UdpEndpoints& endpoints, const uint8_t* payload, size_t length);

// An MPE datagram section (table_id 0x3E, section 0 of 0, LLC/SNAP off) around
// `ip`, with the MAC address given first byte first and a correct CRC_32.
Bytes buildMpeSection(const uint8_t mac[6], const Bytes& ip);

// CRC-32/MPEG-2, as MPE sections carry it.
uint32_t crc32Mpeg(const uint8_t* data, size_t length);

// Cuts sections into transport-stream packets of one PID.
struct TsPacketizer {
    uint16_t pid = 0x100;
    uint8_t continuity = 0;
    // When set, a section starts right behind the previous one's tail in the
    // same packet, located by the pointer field; otherwise every section starts
    // in a packet of its own and the last packet is padded with 0xFF. Either
    // way no packet holds more than one section start.
    bool packSections = false;
    // When packing: the tail of the last section, waiting for the packet in
    // which the next section starts.
    Bytes pending;
};

// Appends the packets that carry `section` to `out`. With packing, a tail in
// a last, partly filled packet is held back until the next section or flush.
void packetizeSection(TsPacketizer& packetizer, const Bytes& section, Bytes& out);
// Emits a held-back packet, then one packet whose payload_unit_start_indicator
// is set and whose payload is only stuffing, so that a receiver decodes the
// last section (sections are decoded when the next one starts).
void finishStream(TsPacketizer& packetizer, Bytes& out);

// Formats an IPv4 address as a.b.c.d.
std::string formatAddress(uint32_t address);
