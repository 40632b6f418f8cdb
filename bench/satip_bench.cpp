// The SAT>IP path of the network plug-in on loopback: how many transport
// packets a second it hands on, and how many it loses at the rate of a full
// transponder, with the socket buffers it ships with.
//
// The benchmark is its own minimal SAT>IP server: it answers the plug-in's
// RTSP requests and, once PLAY arrives, sends RTP datagrams of seven packets
// of PID 256 to the client port, as fast as it can or paced at a given rate.
//
// Usage: satip_bench PLUGIN_SO [SECONDS] [MBITS...]
//   PLUGIN_SO  streamsplitter.so of the build to measure
//   MBITS      rates to try, 0 = as fast as the sender can (default: 0 80)
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "reception/plugin_interface.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPacketsPerDatagram = 7;
constexpr int kPid = 256;

std::atomic<uint64_t> gReceived{0};
void QM_PLUGIN_CALL countPacket(const uint8_t*, int32_t) { gReceived.fetch_add(1, std::memory_order_relaxed); }

struct Server {
    int listener = -1;
    uint16_t port = 0;
    double mbits = 0;
    double seconds = 5;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sent{0};       // TS packets
    std::atomic<bool> finished{false};  // the sender is done
    std::thread control, sender;
};

// One RTP stream to 127.0.0.1:port for `seconds`, paced at `mbits` (0: flat out).
void sendStream(Server& server, uint16_t port) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t datagram[12 + kPacketsPerDatagram * 188] = {0x80, 33};
    uint16_t sequence = 0;
    uint8_t continuity = 0;
    const double datagramsPerSecond = server.mbits * 1e6 / (kPacketsPerDatagram * 188 * 8);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(server.seconds));
    uint64_t datagrams = 0;
    while (!server.stop && Clock::now() < end) {
        if (datagramsPerSecond > 0) {
            double due = std::chrono::duration<double>(Clock::now() - start).count() * datagramsPerSecond;
            if (double(datagrams) >= due) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
        }
        datagram[2] = uint8_t(sequence >> 8);
        datagram[3] = uint8_t(sequence);
        ++sequence;
        for (int i = 0; i < kPacketsPerDatagram; ++i) {
            uint8_t* p = datagram + 12 + i * 188;
            p[0] = 0x47;
            p[1] = uint8_t(kPid >> 8);
            p[2] = uint8_t(kPid);
            p[3] = uint8_t(0x10 | (continuity++ & 0x0F));
        }
        if (sendto(s, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0) {
            ++datagrams;
            server.sent += kPacketsPerDatagram;
        }
    }
    close(s);
    server.finished = true;
}

std::string header(const std::string& request, const char* name) {
    size_t at = request.find(std::string("\r\n") + name + ":");
    if (at == std::string::npos) return "";
    at += 2 + std::strlen(name) + 1;
    while (at < request.size() && request[at] == ' ') ++at;
    return request.substr(at, request.find("\r\n", at) - at);
}

// Answers the plug-in's requests on each connection it makes.
void serveControl(Server& server) {
    while (!server.stop) {
        int c = accept(server.listener, nullptr, nullptr);
        if (c < 0) return;
        std::string pending;
        char buffer[4096];
        uint16_t clientPort = 0;
        for (ssize_t n; (n = recv(c, buffer, sizeof buffer, 0)) > 0;) {
            pending.append(buffer, size_t(n));
            size_t end;
            while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
                std::string request = pending.substr(0, end + 2);
                pending.erase(0, end + 4);
                std::string method = request.substr(0, request.find(' '));
                std::string reply = "RTSP/1.0 200 OK\r\nCSeq: " + header(request, "CSeq") + "\r\n";
                if (method == "SETUP") {
                    std::string transport = header(request, "Transport");
                    size_t at = transport.find("client_port=");
                    if (at != std::string::npos) clientPort = uint16_t(std::atoi(transport.c_str() + at + 12));
                    reply += "Session: 0123456789;timeout=60\r\ncom.ses.streamID: 1\r\nTransport: "
                             "RTP/AVP;unicast;destination=127.0.0.1;client_port=" +
                             std::to_string(clientPort) + "-" + std::to_string(clientPort + 1) +
                             ";server_port=6970-6971\r\n";
                } else if (method == "PLAY") {
                    reply += "Session: 0123456789\r\n";
                    if (!server.sender.joinable()) server.sender = std::thread(sendStream, std::ref(server), clientPort);
                } else if (method == "OPTIONS") {
                    reply += "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN\r\n";
                    if (!header(request, "Session").empty()) reply += "Session: 0123456789\r\n";
                } else if (method == "DESCRIBE") {
                    std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=SatIPServer:1 1\r\nt=0 0\r\n"
                                      "m=video 0 RTP/AVP 33\r\nc=IN IP4 0.0.0.0\r\na=control:stream=1\r\n"
                                      "a=fmtp:33 ver=1.0;src=1;tuner=1,200,1,15,11766.00,v,dvbs2,,,,27500,;pids=256\r\n"
                                      "a=sendonly\r\n";
                    reply += "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                             "\r\n\r\n" + sdp;
                    send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
                    continue;
                } else if (method == "TEARDOWN") {
                    reply += "Session: 0123456789\r\n";
                }
                reply += "\r\n";
                send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
        close(c);
    }
}

template <typename F>
F resolve(void* library, const char* name) {
    void* f = dlsym(library, name);
    if (!f) {
        std::fprintf(stderr, "satip_bench: the plug-in has no %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<F>(f);
}

// One run at `mbits`: packets sent, received, and the time the sender took.
void measure(void* library, double mbits, double seconds) {
    Server server;
    server.mbits = mbits;
    server.seconds = seconds;
    server.listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(server.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(server.listener, 4) != 0 ||
        getsockname(server.listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("satip_bench: listen");
        std::exit(2);
    }
    server.port = ntohs(address.sin_port);
    server.control = std::thread(serveControl, std::ref(server));
    if (FILE* ini = std::fopen("streamsplitter.ini", "w")) {
        std::fprintf(ini, "source = satip\nserver = 127.0.0.1:%u\ntransport = udp\n", server.port);
        std::fclose(ini);
    }

    gReceived = 0;
    int32_t handle = 0;
    if (!resolve<CheckForDVBFunction>(library, "CheckForDVB")() || !resolve<StartDVBFunction>(library, "StartDVB")() ||
        !resolve<SetChannelFunction>(library, "SetChannel")(11766000, 27500000, 1, 0, 9750000, 10600000, 11700000) ||
        !resolve<SetFilterFunction>(library, "SetFilter")(kPid, countPacket, 2, 1, &handle)) {
        std::fprintf(stderr, "satip_bench: the plug-in did not start its session\n");
        std::exit(1);
    }
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds + 10));
    while (!server.finished && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last datagrams in the socket
    uint64_t received = gReceived, sent = server.sent;
    resolve<DelFilterFunction>(library, "DelFilter")(handle);
    resolve<StopDVBFunction>(library, "StopDVB")();
    server.stop = true;
    shutdown(server.listener, SHUT_RDWR);
    close(server.listener);
    if (server.sender.joinable()) server.sender.join();
    server.control.join();

    double lost = sent ? 100.0 * double(sent - std::min(sent, received)) / double(sent) : 0;
    if (mbits > 0)
        std::printf("%6.0f Mbit/s: %llu packets sent, %llu handed on, %.3f%% lost\n", mbits,
                    (unsigned long long)sent, (unsigned long long)received, lost);
    else
        std::printf("flat out:     %llu packets sent, %llu handed on in %.1f s: %.0f packets/s (%.0f Mbit/s), %.1f%% lost\n",
                    (unsigned long long)sent, (unsigned long long)received, seconds, double(received) / seconds,
                    double(received) * 188 * 8 / seconds / 1e6, lost);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: satip_bench PLUGIN_SO [SECONDS] [MBITS...]\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "satip_bench: %s\n", dlerror());
        return 2;
    }
    double seconds = argc > 2 ? std::atof(argv[2]) : 5;
    std::vector<double> rates;
    for (int i = 3; i < argc; ++i) rates.push_back(std::atof(argv[i]));
    if (rates.empty()) rates = {0, 80};
    // The plug-in reads streamsplitter.ini from the working directory.
    char folder[] = "/tmp/satip_bench.XXXXXX";
    if (!mkdtemp(folder) || chdir(folder) != 0) return 2;
    for (double mbits : rates) measure(library, mbits, seconds);
    unlink("streamsplitter.ini");
    rmdir(folder);
    return 0;
}
