#include "tools/stream_builder.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t kPacketPayload = 184;

void put16(Bytes& out, uint32_t value) {
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

void put32(Bytes& out, uint32_t value) {
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}

// One packet: header, then `payload` (at most 184 bytes), padded with 0xFF.
void emitPacket(TsPacketizer& packetizer, bool unitStart, const uint8_t* payload, size_t length, Bytes& out) {
    out.push_back(0x47);
    out.push_back(uint8_t((unitStart ? 0x40 : 0x00) | ((packetizer.pid >> 8) & 0x1F)));
    out.push_back(uint8_t(packetizer.pid));
    out.push_back(uint8_t(0x10 | packetizer.continuity));  // payload only
    packetizer.continuity = (packetizer.continuity + 1) & 0x0F;
    out.insert(out.end(), payload, payload + length);
    out.insert(out.end(), kPacketPayload - length, 0xFF);
}

}  // namespace

uint32_t crc32Mpeg(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= uint32_t(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

Bytes buildUdpDatagram(const UdpEndpoints& endpoints, const uint8_t* payload, size_t length) {
    Bytes ip;
    ip.reserve(28 + length);
    uint32_t total = uint32_t(28 + length);
    ip.push_back(0x45);
    ip.push_back(0x00);
    put16(ip, total);
    put16(ip, 0);       // identification
    put16(ip, 0x4000);  // don't fragment
    ip.push_back(64);   // time to live
    ip.push_back(17);   // UDP
    put16(ip, 0);       // checksum, filled below
    put32(ip, endpoints.sourceAddress);
    put32(ip, endpoints.destinationAddress);
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum += (uint32_t(ip[i]) << 8) | ip[i + 1];
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    uint16_t checksum = uint16_t(~sum);
    ip[10] = uint8_t(checksum >> 8);
    ip[11] = uint8_t(checksum);
    put16(ip, endpoints.sourcePort);
    put16(ip, endpoints.destinationPort);
    put16(ip, uint32_t(8 + length));
    put16(ip, 0);  // no UDP checksum
    ip.insert(ip.end(), payload, payload + length);
    return ip;
}

Bytes buildMpeSection(const uint8_t mac[6], const Bytes& ip) {
    Bytes section;
    section.reserve(12 + ip.size() + 4);
    uint32_t sectionLength = uint32_t(9 + ip.size() + 4);
    section.push_back(0x3E);
    section.push_back(uint8_t(0xB0 | ((sectionLength >> 8) & 0x0F)));
    section.push_back(uint8_t(sectionLength));
    section.push_back(mac[5]);
    section.push_back(mac[4]);
    section.push_back(0xC1);  // no scrambling, no LLC/SNAP, current
    section.push_back(0);     // section_number
    section.push_back(0);     // last_section_number
    section.push_back(mac[3]);
    section.push_back(mac[2]);
    section.push_back(mac[1]);
    section.push_back(mac[0]);
    section.insert(section.end(), ip.begin(), ip.end());
    put32(section, crc32Mpeg(section.data(), section.size()));
    return section;
}

void packetizeSection(TsPacketizer& packetizer, const Bytes& section, Bytes& out) {
    size_t done = 0;
    uint8_t first[kPacketPayload];
    size_t used = 0;
    Bytes& tail = packetizer.pending;
    if (packetizer.packSections && !tail.empty() && tail.size() + 2 <= kPacketPayload) {
        // The previous section's tail, then this section's start, in one packet.
        first[used++] = uint8_t(tail.size());
        std::copy(tail.begin(), tail.end(), first + used);
        used += tail.size();
    } else {
        if (!tail.empty()) emitPacket(packetizer, false, tail.data(), tail.size(), out);
        first[used++] = 0;  // pointer field: the section starts right away
    }
    tail.clear();
    size_t take = std::min(kPacketPayload - used, section.size());
    std::copy(section.begin(), section.begin() + long(take), first + used);
    used += take;
    done = take;
    // A receiver reads one section start per packet, so a section that ends in
    // its first packet leaves the rest of that packet as stuffing.
    emitPacket(packetizer, true, first, used, out);
    while (section.size() - done >= kPacketPayload) {
        emitPacket(packetizer, false, section.data() + done, kPacketPayload, out);
        done += kPacketPayload;
    }
    if (done == section.size()) return;
    if (packetizer.packSections) {
        tail.assign(section.begin() + long(done), section.end());
    } else {
        emitPacket(packetizer, false, section.data() + done, section.size() - done, out);
    }
}

void finishStream(TsPacketizer& packetizer, Bytes& out) {
    Bytes& pending = packetizer.pending;
    uint8_t payload[kPacketPayload];
    size_t used = 0;
    payload[used++] = uint8_t(pending.size());
    std::copy(pending.begin(), pending.end(), payload + used);
    used += pending.size();
    pending.clear();
    emitPacket(packetizer, true, payload, used, out);
}

std::string formatAddress(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
    return text;
}
