#include "tools/broadcast_udp.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace {

constexpr size_t kPacketSize = 188;

#if defined(_WIN32)
using NativeSocket = SOCKET;
const uintptr_t kNoSocket = uintptr_t(INVALID_SOCKET);

std::string lastError() { return "error " + std::to_string(WSAGetLastError()); }
void closeSocket(NativeSocket s) { closesocket(s); }
#else
using NativeSocket = int;
const uintptr_t kNoSocket = uintptr_t(-1);

std::string lastError() { return std::strerror(errno); }
void closeSocket(NativeSocket s) { close(s); }
#endif

NativeSocket native(uintptr_t handle) { return NativeSocket(handle); }

sockaddr_in socketAddress(uint32_t address, uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address);
    where.sin_port = htons(port);
    return where;
}

}  // namespace

UdpSocket::UdpSocket() : handle(kNoSocket) {
#if defined(_WIN32)
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw BroadcastError("cannot start Winsock");
#endif
    NativeSocket s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    handle = uintptr_t(s);
    if (handle == kNoSocket) {
#if defined(_WIN32)
        WSACleanup();
#endif
        throw BroadcastError("cannot open a UDP socket: " + lastError());
    }
}

UdpSocket::~UdpSocket() {
    closeSocket(native(handle));
#if defined(_WIN32)
    WSACleanup();
#endif
}

uint16_t UdpSocket::bindLoopback(uint16_t port) {
    sockaddr_in where = socketAddress(0x7F000001, port);
    if (bind(native(handle), reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0)
        throw BroadcastError("cannot bind a UDP socket to 127.0.0.1:" + std::to_string(port) + ": " + lastError());
    socklen_t length = sizeof where;
    if (getsockname(native(handle), reinterpret_cast<sockaddr*>(&where), &length) != 0)
        throw BroadcastError("cannot read a UDP socket's address: " + lastError());
    return ntohs(where.sin_port);
}

void UdpSocket::sendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) {
    sockaddr_in where = socketAddress(address, port);
    auto sent = sendto(native(handle), reinterpret_cast<const char*>(data), int(length), 0,
                       reinterpret_cast<const sockaddr*>(&where), sizeof where);
    if (sent < 0 || size_t(sent) != length)
        throw BroadcastError("cannot send to " + formatAddress(address) + ":" + std::to_string(port) + ": " +
                             lastError());
}

Bytes UdpSocket::receive(int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native(handle), &readable);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(int(handle + 1), &readable, nullptr, nullptr, &timeout) <= 0) return {};
    Bytes datagram(65536);
    auto length = recv(native(handle), reinterpret_cast<char*>(datagram.data()), int(datagram.size()), 0);
    if (length < 0) throw BroadcastError("cannot receive: " + lastError());
    datagram.resize(size_t(length));
    return datagram;
}

void sendStream(const Bytes& ts, uint32_t address, uint16_t port, uint32_t rateKbps) {
    if (rateKbps == 0) throw BroadcastError("the rate must be at least 1 kbit/s");
    UdpSocket socket;
    const size_t chunk = kPacketsPerUdpDatagram * kPacketSize;
    // Nanoseconds per datagram: its bits over the rate in bits per nanosecond.
    const double interval = double(chunk * 8) * 1e6 / double(rateKbps);
    auto start = std::chrono::steady_clock::now();
    size_t index = 0;
    for (size_t at = 0; at < ts.size(); at += chunk, ++index) {
        auto due = start + std::chrono::nanoseconds(int64_t(interval * double(index)));
        std::this_thread::sleep_until(due);
        socket.sendTo(address, port, ts.data() + at, std::min(chunk, ts.size() - at));
    }
}
