// The few socket calls the network plug-in needs (its UDP listener and its
// SAT>IP client), the same on Winsock and POSIX.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#endif

// Every wait looks at the stop flag this often.
constexpr int kPollMs = 100;
constexpr size_t kLargestDatagram = 65536;

#if defined(_WIN32)
using NativeSocket = SOCKET;
const NativeSocket kNoSocket = INVALID_SOCKET;
constexpr int kSendFlags = 0;
#else
using NativeSocket = int;
const NativeSocket kNoSocket = -1;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed connection is an error, not a signal
#endif

std::string lastSocketError();
std::string socketErrorText(int code);
// The last call failed only because the socket is non-blocking.
bool lastCallWouldBlock();
bool setNonBlocking(NativeSocket s);

class Socket {
public:
    Socket() = default;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { reset(); }
    void reset(NativeSocket s = kNoSocket);
    NativeSocket get() const { return s_; }
    bool valid() const { return s_ != kNoSocket; }

private:
    NativeSocket s_ = kNoSocket;
};

uint64_t nowMs();
// Waits up to `ms` for `s` to be readable (or writable, or failed to
// connect); false on time-out.
bool waitFor(NativeSocket s, bool writable, int ms);
sockaddr_in ipv4(uint32_t address, uint16_t port);
// The first IPv4 address of `host`, with `port`.
bool resolve(const std::string& host, uint16_t port, sockaddr_in& address);
// The same, given up as soon as `stop` is set: the look-up goes on, on a
// thread of its own, while a name server keeps us waiting.
bool resolveUnlessStopped(const std::string& host, uint16_t port, const std::atomic<bool>& stop,
                          sockaddr_in& address);
// A non-blocking TCP connection from `local` (0: any), given up after `ms`;
// `error` says why it failed ("no answer" on time-out).
bool connectTcp(const sockaddr_in& server, uint32_t local, int ms, const std::atomic<bool>& stop, Socket& result,
                std::string& error);
