// Transport-stream packets of one PID in, UDP datagrams out.
//
// Packet payloads are gathered into one MPE section at a time; the section is
// decoded (MPE header, IPv4, UDP) when the packet that starts the next one
// arrives. Everything runs on the receiver plug-in's packet thread, one
// packet at a time, and allocates nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "reception/plugin_interface.h"

struct LogFile;

constexpr uint32_t kTsPacketSize = 188;
constexpr uint32_t kSectionBufferSize = 4096;

// The addressing of one UDP datagram.
struct DatagramAddress {
    uint32_t destinationAddress = 0;  // first address byte most significant
    uint32_t sourceAddress = 0;
    uint8_t destinationMac[6] = {};   // MAC_address_1 first
    uint16_t destinationPort = 0;
    uint16_t sourcePort = 0;
};

// Where decoded UDP payloads go. The payload lies inside the section buffer
// and is valid only during the call.
using DatagramSink = void (*)(void* context, const DatagramAddress& address, const uint8_t* payload,
                              uint16_t length);

struct SectionAssembler {
    uint8_t sectionBuffer[kSectionBufferSize] = {};
    uint32_t sectionFill = 0;
    uint8_t lastContinuity = 0xFF;   // 0xFF: no packet seen yet
    bool firstUnitPending = true;    // the first section start completes nothing
    // The gathered bytes began at a section start and no gap, overflow or
    // dropped start packet has come since: only then is the section decoded.
    bool sectionFromStart = false;
    // Read by the status bar on another thread.
    std::atomic<uint64_t> packetCount{0};
    std::atomic<int32_t> discontinuityCount{0};

    DatagramSink sink = nullptr;
    void* sinkContext = nullptr;
    LogFile* log = nullptr;          // nullptr: the program's log
};

// The program's one assembler, fed by the receiver plug-in.
extern SectionAssembler gSectionAssembler;

// The packet callback handed to the receiver plug-in: takePacket on gSectionAssembler.
void QM_PLUGIN_CALL onPacket(const uint8_t* packet, int32_t length);

void takePacket(SectionAssembler& assembler, const uint8_t* packet, uint32_t length);
// Both read only the `sectionFill` bytes gathered for the current section.
void completeSection(SectionAssembler& assembler);
void takeIpDatagram(SectionAssembler& assembler, DatagramAddress& address, const uint8_t* ip);
