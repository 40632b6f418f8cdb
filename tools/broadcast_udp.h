// The stream as TS over UDP, the way a head-end feeds a modulator: seven
// packets to a datagram, paced at a bitrate. Winsock on Windows, BSD sockets
// elsewhere.
#pragma once

#include <cstdint>

#include "tools/broadcast_lib.h"

constexpr size_t kPacketsPerUdpDatagram = 7;

// An IPv4 UDP socket. Errors throw BroadcastError.
struct UdpSocket {
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Binds to 127.0.0.1:port (0: a free one) and returns the port.
    uint16_t bindLoopback(uint16_t port = 0);
    void sendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length);
    // The next datagram, or nothing after `timeoutMs` without one.
    Bytes receive(int timeoutMs);

    uintptr_t handle;
};

// Sends `ts` to address:port in datagrams of up to seven packets, datagram i
// no earlier than the time i datagrams take at `rateKbps` after the first.
void sendStream(const Bytes& ts, uint32_t address, uint16_t port, uint32_t rateKbps);
