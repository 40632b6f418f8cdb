// The stand-in receiver that takes the transport stream from UDP, the way a
// head-end or a network tuner sends it: 1 to 7 packets a datagram, bare or
// behind an RTP header.
//
// Or, with source = satip, from a SAT>IP server tuned as the program asks.
//
// streamsplitter.ini, in the working directory:
//   source = udp|satip   optional: where the stream comes from (default udp)
//   address = A.B.C.D    udp: local address, or multicast group, to listen on
//   port = N             udp: UDP port, 1 to 65535
//   interface = A.B.C.D  optional: the local address whose network joins the
//                        multicast group, or reaches the SAT>IP server
//                        (default: the system's choice)
//   server = HOST[:PORT] satip: the server's RTSP address (port 554 when not
//                        given); empty or absent: the first server found
//   msys = dvbs|dvbs2    satip: the delivery system (default dvbs2)
//   transport = udp|tcp  satip: RTP by UDP (default) or inside the RTSP
//                        connection
#include <vector>

#include "plugins/plugin_common.h"
#include "plugins/satip_net.h"
#include "plugins/satip_source.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

const char* const kPluginName = "streamsplitter";

namespace {

constexpr const char* kSettingsFile = "streamsplitter.ini";
// How long the receive thread waits for a datagram before it looks at the
// stop flag again: DelFilter returns within about this time.
constexpr int kReceiveTimeoutMs = 100;
// Room for bursts while the callback is busy.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
constexpr size_t kRtpHeaderSize = 12;

#if defined(_WIN32)
void closeSocket(NativeSocket s) { closesocket(s); }
#else
void closeSocket(NativeSocket s) { ::close(s); }
#endif

bool isMulticast(uint32_t address) { return (address >> 28) == 0xE; }

std::string formatIpv4(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

struct Settings {
    uint32_t address = 0;
    uint16_t port = 0;
    bool hasInterface = false;
    uint32_t interfaceAddress = 0;
};

// Where the packets of a datagram start: 0 for bare packets, past the RTP
// header when there is one. -1 when the datagram holds no whole packet.
long packetsStart(const uint8_t* data, size_t length) {
    if (length < kPacketSize) return -1;
    if (length % kPacketSize == 0) return 0;
    // RTP version 2 in the top two bits; CSRC count in the low four.
    if ((data[0] & 0xC0) != 0x80) return -1;
    size_t header = kRtpHeaderSize + 4 * size_t(data[0] & 0x0F);
    if (data[0] & 0x10) {
        // The extension: 16 bits of profile data, 16 bits of length in words.
        if (header + 4 > length) return -1;
        header += 4 + 4 * ((size_t(data[header + 2]) << 8) | data[header + 3]);
    }
    if (header + kPacketSize > length || data[header] != kSyncByte) return -1;
    return long(header);
}

// Opens a socket listening as `settings` say; on Windows each socket holds a
// Winsock start of its own, released by closeReceiveSocket.
bool openReceiveSocket(const Settings& settings, NativeSocket& result, std::string& error) {
    const std::string where = formatIpv4(settings.address) + ":" + std::to_string(settings.port);
#if defined(_WIN32)
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error = "cannot start Winsock";
        return false;
    }
#endif
    NativeSocket s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    auto fail = [&](const std::string& message) {
        error = message + ": " + lastSocketError();
        if (s != kNoSocket) closeSocket(s);
#if defined(_WIN32)
        WSACleanup();
#endif
        return false;
    };
    if (s == kNoSocket) return fail("cannot open a UDP socket");
    const bool multicast = isMulticast(settings.address);
    if (multicast) {
        // Other programs on this machine may listen to the same group.
        int yes = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    }
    int bufferBytes = kReceiveBufferBytes;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferBytes), sizeof bufferBytes);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(settings.port);
#if defined(_WIN32)
    // Windows binds a group's receiver to a local address, not to the group.
    local.sin_addr.s_addr = htonl(multicast ? INADDR_ANY : settings.address);
#else
    // Bound to the group, the socket sees that group's datagrams only.
    local.sin_addr.s_addr = htonl(settings.address);
#endif
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return fail(std::string(kSettingsFile) + ": cannot listen on " + where);
    if (multicast) {
        ip_mreq membership{};
        membership.imr_multiaddr.s_addr = htonl(settings.address);
        membership.imr_interface.s_addr = htonl(settings.hasInterface ? settings.interfaceAddress : INADDR_ANY);
        if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&membership),
                       sizeof membership) != 0)
            return fail(std::string(kSettingsFile) + ": cannot join " + formatIpv4(settings.address) +
                        (settings.hasInterface ? " on " + formatIpv4(settings.interfaceAddress) : std::string()));
    }
    result = s;
    return true;
}

void closeReceiveSocket(NativeSocket s) {
    closeSocket(s);
#if defined(_WIN32)
    WSACleanup();
#endif
}

class UdpReceiver : public PacketSource {
public:
    bool load(std::string& error) override {
        SettingsFile file;
        if (!readSettingsFile(kSettingsFile, file, error)) return false;
        const std::string where = std::string(kSettingsFile) + ": ";
        Settings settings;
        const std::string* value = file.find("address");
        if (!value || !parseIpv4(*value, settings.address)) {
            error = where + "address wants the IPv4 address or multicast group to listen on (address = A.B.C.D)" +
                    (value ? ", not '" + *value + "'" : std::string());
            return false;
        }
        uint32_t port = 0;
        value = file.find("port");
        if (!value || !parseNumber(*value, 65535, port) || port == 0) {
            error = where + "port wants a UDP port from 1 to 65535" + (value ? ", not '" + *value + "'" : std::string());
            return false;
        }
        settings.port = uint16_t(port);
        if ((value = file.find("interface")) && !value->empty()) {
            if (!parseIpv4(*value, settings.interfaceAddress)) {
                error = where + "interface wants a local IPv4 address, not '" + *value + "'";
                return false;
            }
            settings.hasInterface = true;
        }
        // A trial opening, so that an address that is not ours or a port in
        // use shows up now rather than when the filter is set. Not while our
        // own filter holds the port.
        if (socket_ == kNoSocket) {
            NativeSocket trial;
            if (!openReceiveSocket(settings, trial, error)) return false;
            closeReceiveSocket(trial);
        }
        settings_ = settings;
        return true;
    }

    bool open(std::string& error) override {
        return openReceiveSocket(settings_, socket_, error);
    }

    void run(const std::atomic<bool>& stop, const PacketSink& sink) override {
        std::vector<uint8_t> datagram(kLargestDatagram);
        while (!stop) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket_, &readable);
            timeval timeout{0, kReceiveTimeoutMs * 1000};
            int ready = select(int(socket_ + 1), &readable, nullptr, nullptr, &timeout);
            if (ready <= 0) continue;  // time-out, or an interrupted wait
            auto length = recv(socket_, reinterpret_cast<char*>(datagram.data()), int(datagram.size()), 0);
            // Errors (an ICMP report on Windows, say) lose at most that datagram.
            if (length <= 0) continue;
            long start = packetsStart(datagram.data(), size_t(length));
            if (start < 0) continue;
            for (size_t at = size_t(start); at + kPacketSize <= size_t(length) && !stop; at += kPacketSize)
                sink.offer(datagram.data() + at);
        }
    }

    void close() override {
        if (socket_ != kNoSocket) closeReceiveSocket(socket_);
        socket_ = kNoSocket;
    }

private:
    Settings settings_;  // as last loaded
    NativeSocket socket_ = kNoSocket;
};

// The source the settings name; the one a filter opened stays in use until
// the filter goes, whatever the settings say meanwhile.
class ChosenSource : public PacketSource {
public:
    bool load(std::string& error) override {
        SettingsFile file;
        if (!readSettingsFile(kSettingsFile, file, error)) return false;
        warnUnknownKeys(file, kSettingsFile,
                        {"source", "address", "port", "interface", "server", "msys", "transport"});
        const std::string* value = file.find("source");
        const std::string source = value ? lowerCase(*value) : std::string();
        if (source.empty() || source == "udp")
            chosen_ = &udp_;
        else if (source == "satip")
            chosen_ = &satipSource(kSettingsFile);
        else {
            error = std::string(kSettingsFile) + ": source wants udp or satip, not '" + *value + "'";
            return false;
        }
        return chosen_->load(error);
    }
    void tune(const Tuning& tuning) override { chosen_->tune(tuning); }
    bool open(std::string& error) override {
        if (!chosen_->open(error)) return false;
        opened_ = chosen_;
        return true;
    }
    void run(const std::atomic<bool>& stop, const PacketSink& sink) override { opened_.load()->run(stop, sink); }
    void close() override {
        opened_.load()->close();
        opened_ = nullptr;
    }
    bool signalStatus(std::string& text) override {
        PacketSource* source = opened_.load();
        return source && source->signalStatus(text);
    }

private:
    UdpReceiver udp_;
    PacketSource* chosen_ = &udp_;
    std::atomic<PacketSource*> opened_{nullptr};
};

}  // namespace

PacketSource& thePacketSource() {
    static ChosenSource* source = new ChosenSource;
    return *source;
}
