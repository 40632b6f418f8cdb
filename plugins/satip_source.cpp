#include "plugins/satip_source.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "plugins/satip_discovery.h"
#include "plugins/satip_net.h"
#include "plugins/satip_session.h"

namespace {

constexpr int kConnectTimeoutMs = 2000;
constexpr int kReplyTimeoutMs = 2000;
// DelFilter waits this long for the server to confirm the teardown.
constexpr int kTeardownTimeoutMs = 1000;
// A session the server has gone quiet on, neither packets nor reports, for
// this long is set up again.
constexpr uint64_t kServerSilenceMs = 3000;
// So is one whose packets have stopped this long while the reports go on, at
// once, since the server answers. A PID may rest for a while, so the wait
// doubles, up to the longest, each time a new session brings no packets
// either: a server that is well is not set up again and again, and what
// comes when the PID resumes is received, not missed in a pause.
constexpr uint64_t kStreamSilenceMs = 10000, kLongestStreamSilenceMs = 80000;
constexpr uint64_t kFirstRetryPauseMs = 1000, kLongestRetryPauseMs = 15000;
constexpr int kDiscoveryMs = 3000;
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

struct SatipSettings {
    std::string host;  // empty: found by discovery
    uint16_t port = kRtspDefaultPort;
    std::string msys = "dvbs2";
    bool tcp = false;
    bool hasInterface = false;
    uint32_t interfaceAddress = 0;
};

class SatipSource : public PacketSource {
public:
    explicit SatipSource(const char* settingsFile) : settingsFile_(settingsFile) {}

    bool load(std::string& error) override {
        if (!startNetwork()) {
            error = "cannot start Winsock";
            return false;
        }
        SatipSettings settings;
        if (!readSettings(settings, error)) return false;
        // The delivery thread uses the settings while a session is open.
        if (sessionOpen_) return true;
        if (settings.host.empty()) {
            if (discoveredHost_.empty()) {
                std::string why;
                std::vector<FoundServer> found =
                    discoverServers(settings.hasInterface, settings.interfaceAddress, kDiscoveryMs, 0, why);
                if (found.empty()) {
                    error = std::string(settingsFile_) + ": server is empty and " +
                            (why.empty() ? "no SAT>IP server answered the search" : "the search failed: " + why);
                    return false;
                }
                discoveredHost_ = found[0].host;
                reportError("SAT>IP server found: " + discoveredHost_ + " (" + found[0].location + ")");
            }
            settings.host = discoveredHost_;
        }
        settings_ = settings;
        where_ = "SAT>IP " + settings_.host + ":" + std::to_string(settings_.port);
        // The server must answer now, not first when the filter is set.
        const std::atomic<bool> never{false};
        RtspReply reply;
        bool answered = connectServer(never, error) &&
                        exchange("OPTIONS", baseUrl(), "", reply, never, kReplyTimeoutMs, error);
        endSession(never, 0);
        if (answered && reply.status != 200) error = where_ + ": OPTIONS " + refusalText(reply);
        return answered && reply.status == 200;
    }

    void tune(const Tuning& tuning) override { tuning_ = tuning; }

    bool open(std::string& error) override {
        const std::atomic<bool> never{false};
        gaps_ = 0;
        haveReport_ = false;
        reconnecting_ = false;
        retryPauseMs_ = kFirstRetryPauseMs;
        streamSilenceLimitMs_ = kStreamSilenceMs;
        if (!startSession(never, error)) {
            endSession(never, 0);
            return false;
        }
        sessionOpen_ = true;
        active_ = true;
        return true;
    }

    void run(const std::atomic<bool>& stop, const PacketSink& sink) override;

    void close() override {
        const std::atomic<bool> never{false};
        endSession(never, kTeardownTimeoutMs);
        sessionOpen_ = false;
        active_ = false;
    }

    bool signalStatus(std::string& text) override {
        if (!active_) return false;
        const std::string gaps = "gaps " + std::to_string(gaps_.load());
        if (reconnecting_)
            text = "SAT>IP reconnecting, " + gaps;
        else if (!haveReport_)
            text = "no tuner report, " + gaps;
        else if (locked_)
            text = "lock " + std::to_string(level_.load()) + "/" + std::to_string(quality_.load()) + ", " + gaps;
        else
            text = "no lock, level " + std::to_string(level_.load()) + ", " + gaps;
        return true;
    }

private:
    bool readSettings(SatipSettings& settings, std::string& error) const;
    // Without the port when it is the usual one, as servers write it themselves.
    std::string baseUrl() const {
        const std::string port = settings_.port == kRtspDefaultPort ? "" : ":" + std::to_string(settings_.port);
        return "rtsp://" + settings_.host + port + "/";
    }
    std::string streamUrl() const { return baseUrl() + "stream=" + streamId_; }

    bool connectServer(const std::atomic<bool>& stop, std::string& error);
    bool openRtpPorts(std::string& error);
    bool sendText(const std::string& text, const std::atomic<bool>& stop, std::string& error);
    // Sends a request and waits for its reply, skipping stale replies and
    // data frames; false (with `error`) on time-out or a lost connection.
    bool exchange(const char* method, const std::string& url, const std::string& headers, RtspReply& reply,
                  const std::atomic<bool>& stop, int timeoutMs, std::string& error);
    // Reads what the connection has into buffer_; false when it is closed.
    bool receiveMore(std::string& error);
    bool startSession(const std::atomic<bool>& stop, std::string& error);
    void endSession(const std::atomic<bool>& stop, int teardownMs);
    // Hands on the frames and replies in buffer_; false when the session is lost.
    bool takeBuffered(const PacketSink& sink, std::string& why);
    void takeRtp(const uint8_t* data, size_t length, const PacketSink& sink);
    void takeReport(const std::string& text);
    bool serviceSockets(const std::atomic<bool>& stop, const PacketSink& sink, std::string& why);
    void setUpAgain(const std::atomic<bool>& stop, const std::string& why);

    const char* settingsFile_;
    SatipSettings settings_;
    std::string where_;  // "SAT>IP host:port", for messages
    std::string discoveredHost_;
    Tuning tuning_;
    bool sessionOpen_ = false;  // between open() and close()

    // The session; used by one thread at a time (the exports', then the
    // delivery thread between open() and close()).
    Socket rtsp_, rtp_, rtcp_;
    uint16_t rtpPort_ = 0;
    std::string buffer_;  // from the RTSP connection, not yet taken
    uint32_t cseq_ = 0;
    int64_t keepAliveCseq_ = -1;
    std::string session_, streamId_;
    int timeoutSeconds_ = 60;
    int rtpChannel_ = 0;
    uint64_t lastRtpMs_ = 0, lastHeardMs_ = 0, nextKeepAliveMs_ = 0, retryPauseMs_ = kFirstRetryPauseMs;
    uint64_t streamSilenceLimitMs_ = kStreamSilenceMs;
    bool serverAnswering_ = false;  // the lost session's server still answered
    bool streaming_ = false;
    bool haveSequence_ = false;
    uint16_t nextSequence_ = 0;
    std::vector<uint8_t> datagram_ = std::vector<uint8_t>(kLargestDatagram);

    // Read by SignalStatus on the program's thread.
    std::atomic<bool> active_{false}, reconnecting_{false}, haveReport_{false}, locked_{false};
    std::atomic<int> level_{0}, quality_{0};
    std::atomic<uint32_t> gaps_{0};
};

bool SatipSource::readSettings(SatipSettings& settings, std::string& error) const {
    SettingsFile file;
    if (!readSettingsFile(settingsFile_, file, error)) return false;
    const std::string where = std::string(settingsFile_) + ": ";
    const std::string* value = file.find("server");
    if (value && !value->empty() && !parseServerName(*value, settings.host, settings.port)) {
        error = where + "server wants a host or host:port, not '" + *value + "'";
        return false;
    }
    if ((value = file.find("msys")) && !value->empty()) {
        const std::string msys = lowerCase(*value);
        if (msys != "dvbs" && msys != "dvbs2") {
            error = where + "msys wants dvbs or dvbs2, not '" + *value + "'";
            return false;
        }
        settings.msys = msys;
    }
    if ((value = file.find("transport")) && !value->empty()) {
        const std::string transport = lowerCase(*value);
        if (transport != "udp" && transport != "tcp") {
            error = where + "transport wants udp or tcp, not '" + *value + "'";
            return false;
        }
        settings.tcp = transport == "tcp";
    }
    if ((value = file.find("interface")) && !value->empty()) {
        if (!parseIpv4(*value, settings.interfaceAddress)) {
            error = where + "interface wants a local IPv4 address, not '" + *value + "'";
            return false;
        }
        settings.hasInterface = true;
    }
    return true;
}

bool SatipSource::connectServer(const std::atomic<bool>& stop, std::string& error) {
    sockaddr_in server{};
    if (!resolve(settings_.host, settings_.port, server)) {
        error = where_ + ": cannot find the host";
        return false;
    }
    buffer_.clear();
    const uint32_t local = settings_.hasInterface ? settings_.interfaceAddress : 0;
    if (connectTcp(server, local, kConnectTimeoutMs, stop, rtsp_, error)) return true;
    error = where_ + ": " + error;
    return false;
}

// An even RTP port and the RTCP port above it, as the protocol wants.
bool SatipSource::openRtpPorts(std::string& error) {
    const uint32_t local = settings_.hasInterface ? settings_.interfaceAddress : INADDR_ANY;
    for (int attempt = 0; attempt < 32; ++attempt) {
        rtp_.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        rtcp_.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        if (!rtp_.valid() || !rtcp_.valid()) break;
        sockaddr_in address = ipv4(local, 0);
        socklen_t size = sizeof address;
        if (bind(rtp_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(rtp_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
            break;
        uint16_t port = ntohs(address.sin_port);
        if (port % 2 != 0 || port == 65534) continue;
        address.sin_port = htons(uint16_t(port + 1));
        if (bind(rtcp_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) continue;
        int bufferBytes = kReceiveBufferBytes;
        setsockopt(rtp_.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferBytes), sizeof bufferBytes);
        rtpPort_ = port;
        return true;
    }
    error = where_ + ": cannot open a pair of UDP ports for RTP: " + lastSocketError();
    rtp_.reset();
    rtcp_.reset();
    return false;
}

bool SatipSource::sendText(const std::string& text, const std::atomic<bool>& stop, std::string& error) {
    size_t sent = 0;
    const uint64_t deadline = nowMs() + kReplyTimeoutMs;
    while (sent < text.size()) {
        auto n = send(rtsp_.get(), text.data() + sent, int(text.size() - sent), kSendFlags);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && lastCallWouldBlock() && !stop && nowMs() < deadline) {
            waitFor(rtsp_.get(), true, kPollMs);
            continue;
        }
        error = where_ + ": connection lost: " + lastSocketError();
        return false;
    }
    return true;
}

bool SatipSource::receiveMore(std::string& error) {
    char chunk[16384];
    for (int round = 0; round < 16; ++round) {
        auto n = recv(rtsp_.get(), chunk, int(sizeof chunk), 0);
        if (n > 0) {
            buffer_.append(chunk, size_t(n));
            continue;
        }
        if (n < 0 && lastCallWouldBlock()) return true;
        error = n == 0 ? "connection closed by the server" : "connection lost: " + lastSocketError();
        return false;
    }
    return true;
}

bool SatipSource::exchange(const char* method, const std::string& url, const std::string& headers,
                           RtspReply& reply, const std::atomic<bool>& stop, int timeoutMs, std::string& error) {
    const uint32_t cseq = ++cseq_;
    if (!sendText(rtspRequest(method, url, cseq, session_, headers), stop, error)) return false;
    const uint64_t deadline = nowMs() + uint64_t(timeoutMs);
    // A server may close the connection right behind its reply.
    bool closed = false;
    std::string lost;
    while (true) {
        // Frames before the reply are of a stream being torn down.
        while (buffer_.size() >= 4 && buffer_[0] == '$') {
            size_t frame = 4 + ((size_t(uint8_t(buffer_[2])) << 8) | uint8_t(buffer_[3]));
            if (frame > buffer_.size()) break;
            buffer_.erase(0, frame);
        }
        if (!buffer_.empty() && buffer_[0] != '$') {
            long length = rtspReplyLength(buffer_.data(), buffer_.size());
            if (length < 0) {
                error = where_ + ": " + method + ": not an RTSP reply";
                return false;
            }
            if (length > 0) {
                bool parsed = parseRtspReply(buffer_.substr(0, size_t(length)), reply);
                buffer_.erase(0, size_t(length));
                if (parsed && reply.cseq == int64_t(cseq)) return true;
                continue;
            }
        }
        if (closed) {
            error = where_ + ": " + method + ": " + lost;
            return false;
        }
        if (stop || nowMs() >= deadline) {
            error = where_ + ": no reply to " + method;
            return false;
        }
        if (waitFor(rtsp_.get(), false, kPollMs)) closed = !receiveMore(lost);
    }
}

bool SatipSource::startSession(const std::atomic<bool>& stop, std::string& error) {
    session_.clear();
    streamId_.clear();
    if (!connectServer(stop, error)) return false;
    std::string transport = "Transport: RTP/AVP/TCP;interleaved=0-1\r\n";
    if (!settings_.tcp) {
        if (!openRtpPorts(error)) return false;
        transport = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(rtpPort_) + "-" +
                    std::to_string(rtpPort_ + 1) + "\r\n";
    }
    RtspReply reply;
    if (!exchange("SETUP", baseUrl() + tuningQuery(tuning_, settings_.msys), transport, reply, stop,
                  kReplyTimeoutMs, error))
        return false;
    if (reply.status != 200) {
        error = where_ + ": SETUP: " + refusalText(reply);
        return false;
    }
    if (reply.session.empty() || reply.streamId.empty()) {
        error = where_ + ": SETUP: the reply names no session or stream";
        return false;
    }
    session_ = reply.session;
    streamId_ = reply.streamId;
    timeoutSeconds_ = reply.timeoutSeconds;
    rtpChannel_ = reply.interleavedRtp >= 0 ? reply.interleavedRtp : 0;
    // The tuner's first report, before the stream's data can arrive; a
    // server without DESCRIBE still streams.
    if (exchange("DESCRIBE", streamUrl(), "Accept: application/sdp\r\n", reply, stop, kReplyTimeoutMs, error) &&
        reply.status == 200) {
        SignalReport report;
        if (parseTunerReport(reply.body, report)) takeReport(reply.body);
    }
    if (!exchange("PLAY", streamUrl(), "", reply, stop, kReplyTimeoutMs, error)) return false;
    if (reply.status != 200) {
        error = where_ + ": PLAY: " + refusalText(reply);
        return false;
    }
    const uint64_t now = nowMs();
    lastRtpMs_ = lastHeardMs_ = now;
    // Well before the server's time-out ends the session.
    nextKeepAliveMs_ = now + uint64_t(timeoutSeconds_) * 500;
    keepAliveCseq_ = -1;
    streaming_ = false;
    haveSequence_ = false;
    return true;
}

void SatipSource::endSession(const std::atomic<bool>& stop, int teardownMs) {
    if (rtsp_.valid() && !session_.empty() && teardownMs > 0) {
        RtspReply reply;
        std::string ignored;
        exchange("TEARDOWN", streamUrl(), "", reply, stop, teardownMs, ignored);
    }
    rtsp_.reset();
    rtp_.reset();
    rtcp_.reset();
    buffer_.clear();
    session_.clear();
}

void SatipSource::takeRtp(const uint8_t* data, size_t length, const PacketSink& sink) {
    uint16_t sequence = 0;
    long start = rtpPayloadStart(data, length, sequence);
    if (start < 0) return;
    if (haveSequence_) gaps_ += rtpSequenceGap(nextSequence_, sequence);
    if (!haveSequence_ || rtpSequenceGap(nextSequence_, sequence) > 0 || sequence == nextSequence_)
        nextSequence_ = uint16_t(sequence + 1);
    haveSequence_ = true;
    lastRtpMs_ = lastHeardMs_ = nowMs();
    if (!streaming_) {
        streaming_ = true;
        retryPauseMs_ = kFirstRetryPauseMs;
        streamSilenceLimitMs_ = kStreamSilenceMs;
    }
    for (size_t at = size_t(start); at + kPacketSize <= length; at += kPacketSize) sink.offer(data + at);
}

void SatipSource::takeReport(const std::string& text) {
    SignalReport report;
    if (!parseTunerReport(text, report)) return;
    const bool changed = !haveReport_ || report.locked != locked_;
    const bool wasLocked = haveReport_ && locked_;
    level_ = report.level;
    quality_ = report.quality;
    locked_ = report.locked;
    haveReport_ = true;
    if (!changed) return;
    if (report.locked)
        reportError(where_ + ": locked, level " + std::to_string(report.level) + ", quality " +
                    std::to_string(report.quality));
    else
        reportError(where_ + (wasLocked ? ": lock lost, level " : ": no lock, level ") + std::to_string(report.level));
}

bool SatipSource::takeBuffered(const PacketSink& sink, std::string& why) {
    size_t at = 0;
    bool alive = true;
    while (alive && at < buffer_.size()) {
        const char* data = buffer_.data() + at;
        const size_t left = buffer_.size() - at;
        if (data[0] == '$') {
            if (left < 4) break;
            const size_t length = (size_t(uint8_t(data[2])) << 8) | uint8_t(data[3]);
            if (left < 4 + length) break;
            const auto* payload = reinterpret_cast<const uint8_t*>(data + 4);
            std::string report;
            const int channel = uint8_t(data[1]);
            if (channel == rtpChannel_) {
                takeRtp(payload, length, sink);
            } else if (channel == rtpChannel_ + 1) {
                lastHeardMs_ = nowMs();
                if (findTunerReport(payload, length, report)) takeReport(report);
            }
            at += 4 + length;
            continue;
        }
        long length = rtspReplyLength(data, left);
        if (length == 0) break;
        if (length < 0) {
            why = "the server sent something that is neither data nor a reply";
            alive = false;
            break;
        }
        RtspReply reply;
        if (parseRtspReply(std::string(data, size_t(length)), reply) && reply.cseq == keepAliveCseq_ &&
            reply.status != 200) {
            why = "keep-alive " + refusalText(reply);
            alive = false;
        }
        at += size_t(length);
    }
    buffer_.erase(0, at);
    return alive;
}

// One round of waiting on the session's sockets; false when it is lost.
bool SatipSource::serviceSockets(const std::atomic<bool>& stop, const PacketSink& sink, std::string& why) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(rtsp_.get(), &readable);
    NativeSocket highest = rtsp_.get();
    for (const Socket* s : {&rtp_, &rtcp_}) {
        if (!s->valid()) continue;
        FD_SET(s->get(), &readable);
        highest = std::max(highest, s->get());
    }
    timeval timeout{0, kPollMs * 1000};
    if (select(int(highest + 1), &readable, nullptr, nullptr, &timeout) > 0) {
        std::vector<uint8_t>& datagram = datagram_;
        if (rtp_.valid() && FD_ISSET(rtp_.get(), &readable)) {
            // A burst at a time, without starving the other sockets.
            for (int i = 0; i < 64 && !stop; ++i) {
                auto n = recv(rtp_.get(), reinterpret_cast<char*>(datagram.data()), int(datagram.size()), 0);
                if (n <= 0) break;
                takeRtp(datagram.data(), size_t(n), sink);
                if (!waitFor(rtp_.get(), false, 0)) break;
            }
        }
        if (rtcp_.valid() && FD_ISSET(rtcp_.get(), &readable)) {
            auto n = recv(rtcp_.get(), reinterpret_cast<char*>(datagram.data()), int(datagram.size()), 0);
            std::string report;
            if (n > 0) lastHeardMs_ = nowMs();
            if (n > 0 && findTunerReport(datagram.data(), size_t(n), report)) takeReport(report);
        }
        if (FD_ISSET(rtsp_.get(), &readable) && !receiveMore(why)) return false;
        if (!takeBuffered(sink, why)) return false;
    }
    const uint64_t now = nowMs();
    if (now - lastHeardMs_ > kServerSilenceMs) {
        why = "nothing from the server for " + std::to_string(kServerSilenceMs / 1000) + " s";
        return false;
    }
    if (now - lastRtpMs_ > streamSilenceLimitMs_) {
        why = "no stream for " + std::to_string(streamSilenceLimitMs_ / 1000) + " s";
        streamSilenceLimitMs_ = std::min(streamSilenceLimitMs_ * 2, kLongestStreamSilenceMs);
        serverAnswering_ = true;
        return false;
    }
    if (now >= nextKeepAliveMs_) {
        keepAliveCseq_ = int64_t(cseq_ + 1);
        if (!sendText(rtspRequest("OPTIONS", baseUrl(), ++cseq_, session_, ""), stop, why)) return false;
        nextKeepAliveMs_ = now + uint64_t(timeoutSeconds_) * 500;
    }
    return true;
}

// From a lost session to a new one, with pauses that grow while attempts fail;
// the first attempt at once when the server was still answering.
void SatipSource::setUpAgain(const std::atomic<bool>& stop, const std::string& why) {
    reportError(where_ + ": " + why + "; setting the session up again");
    reconnecting_ = true;
    endSession(stop, kPollMs * 5);
    bool pause = !serverAnswering_;
    serverAnswering_ = false;
    while (!stop) {
        if (pause) {
            const uint64_t resume = nowMs() + retryPauseMs_;
            while (!stop && nowMs() < resume) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            if (stop) return;
            retryPauseMs_ = std::min(retryPauseMs_ * 2, kLongestRetryPauseMs);
        }
        pause = true;
        std::string error;
        if (startSession(stop, error)) {
            reconnecting_ = false;
            reportError(where_ + ": session set up again");
            return;
        }
        endSession(stop, 0);
        if (!stop) reportError(error);
    }
}

void SatipSource::run(const std::atomic<bool>& stop, const PacketSink& sink) {
    // open() may have left data frames behind the PLAY reply.
    std::string why;
    bool alive = takeBuffered(sink, why);
    while (!stop) {
        if (alive && rtsp_.valid()) {
            alive = serviceSockets(stop, sink, why);
            continue;
        }
        if (stop) break;
        setUpAgain(stop, why);
        alive = rtsp_.valid();
    }
}

}  // namespace

PacketSource& satipSource(const char* settingsFile) {
    static SatipSource* source = new SatipSource(settingsFile);
    return *source;
}
