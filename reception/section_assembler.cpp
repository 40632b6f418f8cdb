#include "reception/section_assembler.h"

#include <cstring>

#include "settings/log_file.h"

SectionAssembler gSectionAssembler;

namespace {

constexpr uint8_t kMpeTableId = 0x3E;
constexpr uint8_t kIpv4NoOptions = 0x45;
constexpr uint8_t kUdpProtocol = 17;
constexpr uint32_t kMpeHeaderSize = 12;
constexpr uint32_t kIpUdpHeaderSize = 28;

LogFile& logOf(SectionAssembler& assembler) { return assembler.log ? *assembler.log : gLog; }

uint16_t read16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

uint32_t read32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Forgets the gathered bytes; what is gathered next is not a section's start.
void abandonSection(SectionAssembler& assembler) {
    assembler.sectionFill = 0;
    assembler.sectionFromStart = false;
}

// Adds payload bytes to the section being gathered. The buffer holds at most
// 4095 gathered bytes: bytes that would reach 4096 abandon the gathering and
// start a new one at offset 0, which no section start begins.
void append(SectionAssembler& assembler, const uint8_t* bytes, uint32_t count) {
    if (assembler.sectionFill + count >= kSectionBufferSize) {
        logWrite(logOf(assembler), "Error: Overflow\n");
        abandonSection(assembler);
    }
    std::memcpy(assembler.sectionBuffer + assembler.sectionFill, bytes, count);
    assembler.sectionFill += count;
}

}  // namespace

void QM_PLUGIN_CALL onPacket(const uint8_t* packet, int32_t length) {
    if (length < 0) return;
    takePacket(gSectionAssembler, packet, uint32_t(length));
}

void takePacket(SectionAssembler& assembler, const uint8_t* packet, uint32_t length) {
    // Only the first packet of the buffer is read; a buffer too short for a
    // packet header carries nothing that could be counted.
    if (length > kTsPacketSize) length = kTsPacketSize;
    if (length < 4 || packet[0] != 0x47) return;
    uint16_t flags = read16(packet + 1);
    if (flags & 0x8000) return;  // transport_error_indicator
    assembler.packetCount.fetch_add(1, std::memory_order_relaxed);

    // A repeated counter is a gap too; the test ignores adaptation_field_control.
    uint8_t cc = packet[3] & 0x0F;
    if (assembler.lastContinuity != 0xFF && assembler.lastContinuity != ((cc - 1) & 0x0F)) {
        assembler.discontinuityCount.fetch_add(1, std::memory_order_relaxed);
        logWrite(logOf(assembler), "discontinuity\n");
        abandonSection(assembler);
    }
    assembler.lastContinuity = cc;

    uint32_t payloadStart = 4;
    if (flags & 0x4000) {  // payload_unit_start_indicator
        // A pointer field beyond the packet's end makes the packet unreadable:
        // it is dropped, and the section it would have ended, now missing its
        // end, is never decoded.
        if (length < 5 || 5 + uint32_t(packet[4]) > length) {
            assembler.sectionFromStart = false;
            return;
        }
        uint32_t pointer = packet[4];
        append(assembler, packet + 5, pointer);
        if (assembler.firstUnitPending)
            assembler.firstUnitPending = false;
        else if (assembler.sectionFromStart)
            completeSection(assembler);
        assembler.sectionFill = 0;
        assembler.sectionFromStart = true;
        payloadStart = 5 + pointer;
    }
    append(assembler, packet + payloadStart, length - payloadStart);
}

void completeSection(SectionAssembler& assembler) {
    // Bytes beyond the gathered count belong to an older section.
    if (assembler.sectionFill < kMpeHeaderSize) return;
    const uint8_t* section = assembler.sectionBuffer;
    if (section[0] != kMpeTableId || section[6] != 0 || section[7] != 0) return;
    DatagramAddress address;
    address.destinationMac[0] = section[11];
    address.destinationMac[1] = section[10];
    address.destinationMac[2] = section[9];
    address.destinationMac[3] = section[8];
    address.destinationMac[4] = section[4];
    address.destinationMac[5] = section[3];
    takeIpDatagram(assembler, address, section + kMpeHeaderSize);
}

void takeIpDatagram(SectionAssembler& assembler, DatagramAddress& address, const uint8_t* ip) {
    // Only the gathered bytes of this section may be read.
    const uint8_t* gatheredEnd = assembler.sectionBuffer + assembler.sectionFill;
    if (ip < assembler.sectionBuffer || ip >= gatheredEnd) return;
    const uint32_t available = uint32_t(gatheredEnd - ip);
    if (ip[0] != kIpv4NoOptions) {
        logWrite(logOf(assembler), "Error: IP ver\n");
        return;
    }
    if (available < kIpUdpHeaderSize) return;
    address.destinationAddress = read32(ip + 16);
    address.sourceAddress = read32(ip + 12);
    if (ip[9] != kUdpProtocol) return;
    address.sourcePort = read16(ip + 20);
    address.destinationPort = read16(ip + 22);
    uint16_t udpLength = read16(ip + 24);
    // A UDP length below its own header, or one that reaches past the bytes
    // gathered for this section, cannot describe a payload in it: the
    // datagram is dropped.
    if (udpLength < 8) return;
    uint16_t payloadLength = uint16_t(udpLength - 8);
    if (available - kIpUdpHeaderSize < payloadLength) return;
    const uint8_t* payload = ip + kIpUdpHeaderSize;
    if (assembler.sink) assembler.sink(assembler.sinkContext, address, payload, payloadLength);
}
