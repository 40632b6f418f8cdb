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
// A server quiet this long, neither packets nor reports nor replies, is asked
// at once whether the session is still there; one that leaves that question
// unanswered for the reply time-out has gone. A PID may rest and a server
// may send its reports rarely or never: while it answers, the session stays.
constexpr uint64_t kServerSilenceMs = 3000;
// Packets stopped this long while the tuner reports no lock: the session is
// set up again, at once, since the server answers. The wait doubles, up to
// the longest, each time a new session brings no packets either. A session
// whose tuner reports its lock, or nothing, is kept however long the PID
// rests.
constexpr uint64_t kStreamSilenceMs = 10000, kLongestStreamSilenceMs = 80000;
constexpr uint64_t kFirstRetryPauseMs = 1000, kLongestRetryPauseMs = 15000;
// Lost this many times running without a packet in between, a session that
// the server still answers for is set up again only after a pause too.
constexpr int kQuickRetries = 3;
// A session that ran this long was well: its loss starts the count anew.
constexpr uint64_t kWellSessionMs = 10000;
// Bodies beyond this are dropped as they arrive; a server's replies are a
// few hundred bytes.
constexpr size_t kLargestKeptBody = 64 * 1024;
// The search waits this much longer for others once a server has answered;
// the descriptions tell a server that serves one from a pretender.
constexpr int kDiscoveryMs = 3000, kDiscoverySettleMs = 1000;
constexpr int kDescriptionMs = 1000, kDescriptionsMs = 3000;
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
                std::vector<FoundServer> found = discoverServers(settings.hasInterface, settings.interfaceAddress,
                                                                 kDiscoveryMs, kDiscoverySettleMs, why);
                if (found.empty()) {
                    error = std::string(settingsFile_) + ": server is empty and " +
                            (why.empty() ? "no SAT>IP server answered the search" : "the search failed: " + why);
                    return false;
                }
                const size_t chosen = chooseServer(found, kDescriptionMs, kDescriptionsMs);
                discoveredHost_ = found[chosen].host;
                reportError("SAT>IP server found: " + discoveredHost_ + " (" + found[chosen].location + ")");
                std::string others;
                for (size_t i = 0; i < found.size(); ++i)
                    if (i != chosen)
                        others += (others.empty() ? "" : ", ") + found[i].host + " (" + found[i].location + ")";
                if (!others.empty()) reportError("SAT>IP servers that also answered: " + others);
            }
            settings.host = discoveredHost_;
        }
        if (settings.host != settings_.host || settings.port != settings_.port) haveAddress_ = false;
        settings_ = settings;
        where_ = "SAT>IP " + settings_.host + ":" + std::to_string(settings_.port);
        // The server must answer now, not first when the filter is set.
        const std::atomic<bool> never{false};
        RtspReply reply;
        bool answered = resolveServer(never, error) &&
                        exchange("OPTIONS", baseUrl(), "", reply, never, kReplyTimeoutMs, error);
        endSession(0);
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
        quickRetries_ = 0;
        if (!startSession(never, error)) {
            endSession(kTeardownTimeoutMs);
            return false;
        }
        sessionOpen_ = true;
        active_ = true;
        return true;
    }

    void run(const std::atomic<bool>& stop, const PacketSink& sink) override;

    void close() override {
        endSession(kTeardownTimeoutMs);
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
    // What nextItem() found in buffer_.
    enum class Item { none, frame, reply, request, garbage };

    bool readSettings(SatipSettings& settings, std::string& error) const;
    // Without the port when it is the usual one, as servers write it themselves.
    std::string baseUrl() const {
        const std::string port = settings_.port == kRtspDefaultPort ? "" : ":" + std::to_string(settings_.port);
        return "rtsp://" + settings_.host + port + "/";
    }
    std::string streamUrl() const { return streamId_.empty() ? baseUrl() : baseUrl() + "stream=" + streamId_; }

    // The server's address, looked up anew for each session; the last one
    // found serves while the name server does not answer.
    bool resolveServer(const std::atomic<bool>& stop, std::string& error);
    // The control connection for the next request. RTSP does not tie a
    // session to its connection: a server may close it when idle or after
    // each reply, and a new one carries on, unless `mayOpen` is false (the
    // connection carries the stream).
    bool ensureConnection(const std::atomic<bool>& stop, int timeoutMs, bool mayOpen, std::string& error);
    void closeConnection();
    bool openRtpPorts(std::string& error);
    bool sendText(const std::string& text, const std::atomic<bool>& stop, std::string& error);
    // Sends a request and waits for its reply, answering the server's own
    // requests and leaving data frames for the stream; once more on a new
    // connection when the one used before turns out closed. False (with
    // `error`) on time-out, a lost connection or what is not RTSP.
    bool exchange(const char* method, const std::string& url, const std::string& headers, RtspReply& reply,
                  const std::atomic<bool>& stop, int timeoutMs, std::string& error);
    // Reads what the connection has into buffer_; false when it is closed.
    bool receiveMore(std::string& error);
    // The item at `at` in buffer_: a whole data frame (left in place, its
    // size in `length`), a reply (taken out, in `reply`), a request of the
    // server's (answered and taken out), or none yet. A message too large to
    // keep is taken as its head, its body dropped as it arrives.
    Item nextItem(size_t at, size_t& length, RtspReply& reply, const std::atomic<bool>& stop);
    bool startSession(const std::atomic<bool>& stop, std::string& error);
    // Tears down the session, if there is one, on a new connection if need
    // be, within `teardownMs`; true when the server answered.
    bool endSession(int teardownMs);
    bool sendKeepAlive(const std::atomic<bool>& stop, std::string& why);
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
    sockaddr_in serverAddress_{};
    bool haveAddress_ = false;
    Socket rtsp_, rtp_, rtcp_;
    uint32_t connections_ = 0;     // connections opened, to tell the one that carries a TCP stream
    bool connectionUsed_ = false;  // a reply came on rtsp_: the server may have closed it since
    uint16_t rtpPort_ = 0;
    std::string buffer_;   // from the RTSP connection, not yet taken
    size_t skipping_ = 0;  // bytes still to come of a body too large to keep
    uint32_t cseq_ = 0;
    int64_t keepAliveCseq_ = -1;  // the keep-alive awaiting its reply
    bool keepAliveResent_ = false;
    uint64_t keepAliveSentMs_ = 0;
    std::string session_, streamId_;
    int timeoutSeconds_ = 60;
    int rtpChannel_ = 0;
    uint64_t sessionStartMs_ = 0, lastRtpMs_ = 0, lastHeardMs_ = 0, nextKeepAliveMs_ = 0;
    uint64_t retryPauseMs_ = kFirstRetryPauseMs, streamSilenceLimitMs_ = kStreamSilenceMs;
    int quickRetries_ = 0;
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

bool SatipSource::resolveServer(const std::atomic<bool>& stop, std::string& error) {
    sockaddr_in address{};
    if (resolveUnlessStopped(settings_.host, settings_.port, stop, address)) {
        serverAddress_ = address;
        haveAddress_ = true;
        return true;
    }
    if (haveAddress_ && !stop) return true;
    error = where_ + (stop ? ": stopped while looking up the host" : ": cannot find the host");
    return false;
}

bool SatipSource::ensureConnection(const std::atomic<bool>& stop, int timeoutMs, bool mayOpen,
                                   std::string& error) {
    // A close is noticed before the request is sent; what came before it
    // stays for its reader.
    if (rtsp_.valid() && waitFor(rtsp_.get(), false, 0) && !receiveMore(error)) closeConnection();
    if (rtsp_.valid()) return true;
    if (!mayOpen) {
        error = "the connection that carries the stream: " + error;
        return false;
    }
    const uint32_t local = settings_.hasInterface ? settings_.interfaceAddress : 0;
    if (!haveAddress_ || !connectTcp(serverAddress_, local, timeoutMs, stop, rtsp_, error)) {
        if (!haveAddress_) error = "cannot find the host";
        rtsp_.reset();
        return false;
    }
    ++connections_;
    connectionUsed_ = false;
    return true;
}

void SatipSource::closeConnection() {
    rtsp_.reset();
    buffer_.clear();
    skipping_ = 0;
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
        error = "connection lost: " + lastSocketError();
        return false;
    }
    return true;
}

bool SatipSource::receiveMore(std::string& error) {
    char chunk[16384];
    for (int round = 0; round < 16; ++round) {
        auto n = recv(rtsp_.get(), chunk, int(sizeof chunk), 0);
        if (n > 0) {
            const size_t dropped = std::min(skipping_, size_t(n));
            skipping_ -= dropped;
            buffer_.append(chunk + dropped, size_t(n) - dropped);
            continue;
        }
        if (n < 0 && lastCallWouldBlock()) return true;
        error = n == 0 ? "connection closed by the server" : "connection lost: " + lastSocketError();
        return false;
    }
    return true;
}

SatipSource::Item SatipSource::nextItem(size_t at, size_t& length, RtspReply& reply, const std::atomic<bool>& stop) {
    while (at < buffer_.size()) {
        const char* data = buffer_.data() + at;
        const size_t left = buffer_.size() - at;
        if (data[0] == '$') {
            if (left < 4) return Item::none;
            length = 4 + ((size_t(uint8_t(data[2])) << 8) | uint8_t(data[3]));
            return left < length ? Item::none : Item::frame;
        }
        // Line ends between messages are allowed.
        if (data[0] == '\r' || data[0] == '\n') {
            buffer_.erase(at, 1);
            continue;
        }
        size_t head = 0, body = 0;
        const RtspMessage kind = rtspMessage(data, left, head, body);
        if (kind == RtspMessage::garbage) return Item::garbage;
        if (kind == RtspMessage::incomplete) return Item::none;
        const bool kept = body <= kLargestKeptBody;
        if (kept && left < head + body) return Item::none;
        std::string message = buffer_.substr(at, kept ? head + body : head);
        if (kept) {
            buffer_.erase(at, head + body);
        } else {
            skipping_ = head + body - std::min(left, head + body);
            buffer_.erase(at, std::min(left, head + body));
        }
        lastHeardMs_ = nowMs();
        if (kind == RtspMessage::request) {
            std::string ignored;
            sendText(rtspAnswer(message), stop, ignored);
            continue;
        }
        if (!parseRtspReply(message, reply)) continue;
        return Item::reply;
    }
    return Item::none;
}

bool SatipSource::exchange(const char* method, const std::string& url, const std::string& headers,
                           RtspReply& reply, const std::atomic<bool>& stop, int timeoutMs, std::string& error) {
    const uint32_t cseq = ++cseq_;
    const uint64_t deadline = nowMs() + uint64_t(timeoutMs);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureConnection(stop, std::min(timeoutMs, kConnectTimeoutMs), true, error)) {
            error = where_ + ": " + error;
            return false;
        }
        // A connection that served before may have been closed by the server
        // just now: then the request goes once more, on a new one.
        const bool mayRetry = connectionUsed_ && attempt == 0;
        if (!sendText(rtspRequest(method, url, cseq, session_, headers), stop, error)) {
            closeConnection();
            error = where_ + ": " + method + ": " + error;
            if (mayRetry) continue;
            return false;
        }
        size_t at = 0;  // frames before the reply stay for the stream
        bool closed = false, heard = false;
        std::string lost;
        while (true) {
            size_t length = 0;
            const Item item = nextItem(at, length, reply, stop);
            if (item == Item::frame) {
                at += length;
                continue;
            }
            if (item == Item::reply) {
                heard = true;
                if (reply.cseq != int64_t(cseq)) continue;
                connectionUsed_ = true;
                return true;
            }
            if (item == Item::garbage) {
                closeConnection();
                error = where_ + ": " + method + ": not an RTSP reply";
                return false;
            }
            if (closed) break;
            if (stop || nowMs() >= deadline) {
                // The server is busy with this connection: the next request
                // goes on a new one.
                closeConnection();
                error = where_ + ": no reply to " + method;
                return false;
            }
            if (waitFor(rtsp_.get(), false, kPollMs)) closed = !receiveMore(lost);
        }
        closeConnection();
        error = where_ + ": " + method + ": " + lost;
        if (!mayRetry || heard) return false;
    }
    return false;
}

bool SatipSource::startSession(const std::atomic<bool>& stop, std::string& error) {
    session_.clear();
    streamId_.clear();
    keepAliveCseq_ = -1;
    if (!resolveServer(stop, error)) return false;
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
    // From here on the server holds a tuner for us: a failure tears it down.
    session_ = reply.session;
    if (session_.empty() || reply.streamId.empty()) {
        error = where_ + ": SETUP: the reply names no session or stream";
        return false;
    }
    streamId_ = reply.streamId;
    timeoutSeconds_ = reply.timeoutSeconds;
    rtpChannel_ = reply.interleavedRtp >= 0 ? reply.interleavedRtp : 0;
    const uint32_t streamConnection = connections_;
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
    if (settings_.tcp && (connections_ != streamConnection || !rtsp_.valid())) {
        error = where_ + ": the connection that carries the stream was closed";
        return false;
    }
    const uint64_t now = nowMs();
    sessionStartMs_ = lastRtpMs_ = lastHeardMs_ = now;
    // Well before the server's time-out ends the session.
    nextKeepAliveMs_ = now + uint64_t(timeoutSeconds_) * 500;
    streaming_ = false;
    haveSequence_ = false;
    return true;
}

bool SatipSource::endSession(int teardownMs) {
    bool answered = false;
    if (!session_.empty() && teardownMs > 0) {
        // Also when stopping: the server's tuner is not left held.
        const std::atomic<bool> never{false};
        RtspReply reply;
        std::string ignored;
        answered = exchange("TEARDOWN", streamUrl(), "", reply, never, teardownMs, ignored);
    }
    closeConnection();
    rtp_.reset();
    rtcp_.reset();
    session_.clear();
    keepAliveCseq_ = -1;
    return answered;
}

void SatipSource::takeRtp(const uint8_t* data, size_t length, const PacketSink& sink) {
    uint16_t sequence = 0;
    size_t begin = 0, end = 0;
    if (!rtpPayload(data, length, sequence, begin, end)) return;
    if (haveSequence_) gaps_ += rtpSequenceGap(nextSequence_, sequence);
    if (!haveSequence_ || rtpSequenceGap(nextSequence_, sequence) > 0 || sequence == nextSequence_)
        nextSequence_ = uint16_t(sequence + 1);
    haveSequence_ = true;
    lastRtpMs_ = lastHeardMs_ = nowMs();
    if (!streaming_) {
        streaming_ = true;
        retryPauseMs_ = kFirstRetryPauseMs;
        streamSilenceLimitMs_ = kStreamSilenceMs;
        quickRetries_ = 0;
    }
    for (size_t at = begin; at + kPacketSize <= end; at += kPacketSize) sink.offer(data + at);
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
    const std::atomic<bool> never{false};
    size_t at = 0;
    bool alive = true;
    while (alive) {
        size_t length = 0;
        RtspReply reply;
        const Item item = nextItem(at, length, reply, never);
        if (item == Item::none) break;
        if (item == Item::garbage) {
            why = "the server sent something that is neither data nor RTSP";
            // The rest of the connection cannot be read.
            closeConnection();
            return false;
        }
        if (item == Item::reply) {
            if (reply.cseq != keepAliveCseq_) continue;
            keepAliveCseq_ = -1;
            if (reply.status == 454) {
                // Gone, the server says: nothing left to tear down.
                why = "keep-alive: " + refusalText(reply);
                session_.clear();
                serverAnswering_ = true;
                alive = false;
            }
            continue;
        }
        const char* data = buffer_.data() + at;
        const auto* payload = reinterpret_cast<const uint8_t*>(data + 4);
        std::string report;
        const int channel = uint8_t(data[1]);
        if (channel == rtpChannel_) {
            takeRtp(payload, length - 4, sink);
        } else if (channel == rtpChannel_ + 1) {
            lastHeardMs_ = nowMs();
            if (findTunerReport(payload, length - 4, report)) takeReport(report);
        }
        at += length;
    }
    buffer_.erase(0, at);
    return alive;
}

// A keep-alive: in turn, well before the server's time-out, or out of turn
// when the server has been quiet. On a new connection when the server has
// closed the last one.
bool SatipSource::sendKeepAlive(const std::atomic<bool>& stop, std::string& why) {
    const uint64_t now = nowMs();
    keepAliveCseq_ = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureConnection(stop, kConnectTimeoutMs, !settings_.tcp, why)) return false;
        const uint32_t cseq = ++cseq_;
        if (sendText(rtspRequest("OPTIONS", baseUrl(), cseq, session_, ""), stop, why)) {
            keepAliveCseq_ = int64_t(cseq);
            keepAliveSentMs_ = now;
            nextKeepAliveMs_ = now + uint64_t(timeoutSeconds_) * 500;
            return true;
        }
        closeConnection();
    }
    return false;
}

// One round of waiting on the session's sockets; false when it is lost.
bool SatipSource::serviceSockets(const std::atomic<bool>& stop, const PacketSink& sink, std::string& why) {
    fd_set readable;
    FD_ZERO(&readable);
    NativeSocket highest = 0;
    bool any = false;
    for (const Socket* s : {&rtsp_, &rtp_, &rtcp_}) {
        if (!s->valid()) continue;
        FD_SET(s->get(), &readable);
        highest = any ? std::max(highest, s->get()) : s->get();
        any = true;
    }
    timeval timeout{0, kPollMs * 1000};
    if (!any) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    } else if (select(int(highest + 1), &readable, nullptr, nullptr, &timeout) > 0) {
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
        if (rtsp_.valid() && FD_ISSET(rtsp_.get(), &readable)) {
            std::string lost;
            const bool open = receiveMore(lost);
            // What came before the end is taken first: a server may close
            // right behind a reply.
            if (!takeBuffered(sink, why)) return false;
            if (!open) {
                closeConnection();
                if (settings_.tcp) {
                    why = "the connection that carries the stream: " + lost;
                    return false;
                }
                // The session lives on; a keep-alive lost with the connection
                // goes again on a new one.
                if (keepAliveCseq_ >= 0 && !keepAliveResent_) {
                    keepAliveResent_ = true;
                    const uint64_t sent = keepAliveSentMs_;
                    if (!sendKeepAlive(stop, why)) return false;
                    keepAliveSentMs_ = sent;
                }
            }
        }
    }
    const uint64_t now = nowMs();
    if (keepAliveCseq_ >= 0) {
        if (now - keepAliveSentMs_ > uint64_t(kReplyTimeoutMs)) {
            why = "the server does not answer";
            return false;
        }
    } else if (now >= nextKeepAliveMs_ || now - lastHeardMs_ >= kServerSilenceMs) {
        keepAliveResent_ = false;
        if (!sendKeepAlive(stop, why)) return false;
    }
    if (now - lastRtpMs_ > streamSilenceLimitMs_ && haveReport_ && !locked_) {
        why = "no stream for " + std::to_string(streamSilenceLimitMs_ / 1000) + " s";
        streamSilenceLimitMs_ = std::min(streamSilenceLimitMs_ * 2, kLongestStreamSilenceMs);
        serverAnswering_ = true;
        return false;
    }
    return true;
}

// From a lost session to a new one: at once while the server answers, else
// with pauses that grow while attempts fail.
void SatipSource::setUpAgain(const std::atomic<bool>& stop, const std::string& why) {
    reportError(where_ + ": " + why + "; setting the session up again");
    reconnecting_ = true;
    if (nowMs() - sessionStartMs_ >= kWellSessionMs) quickRetries_ = 0;
    const bool answered = endSession(kTeardownTimeoutMs) || serverAnswering_;
    serverAnswering_ = false;
    bool pause = !answered || quickRetries_ >= kQuickRetries;
    if (!pause) ++quickRetries_;
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
        endSession(kTeardownTimeoutMs);
        if (!stop) reportError(error);
    }
}

void SatipSource::run(const std::atomic<bool>& stop, const PacketSink& sink) {
    // open() may have left data frames before and behind the PLAY reply.
    std::string why;
    bool alive = takeBuffered(sink, why);
    while (!stop) {
        if (alive) {
            alive = serviceSockets(stop, sink, why);
            continue;
        }
        setUpAgain(stop, why);
        why.clear();
        alive = !stop && takeBuffered(sink, why);
    }
}

}  // namespace

PacketSource& satipSource(const char* settingsFile) {
    static SatipSource* source = new SatipSource(settingsFile);
    return *source;
}
