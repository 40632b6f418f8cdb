// The stand-in receiver that replays a transport-stream capture file.
//
// streamreader.ini, in the working directory:
//   capture = PATH       the capture, absolute or relative to the working directory
//   rate_kbps = N        pace of the whole stream in kbit/s (default 20000; 0: as
//                        fast as the callback takes the packets)
//   loop = 0 | 1         start again at the end of the file (default 0: stop there)
//   source = capture | dvb   the capture (default) or, on Linux, a DVB card:
//   adapter = N, frontend = M    /dev/dvb/adapterN/frontendM, demuxM, dvrM (0, 0)
//   delivery = auto | dvbs | dvbs2   auto tries DVB-S2, then DVB-S
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "plugins/plugin_common.h"
#if !defined(_WIN32)
#include "plugins/dvb_source.h"
#else
#define QM_DVB_SETTINGS_KEYS "adapter", "frontend", "delivery"
#endif

const char* const kPluginName = "streamreader";

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kSettingsFile = "streamreader.ini";
constexpr uint32_t kDefaultRateKbps = 20000;
constexpr uint32_t kHighestRateKbps = 10000000;  // 10 Gbit/s
// Whole packets read from the file at a time.
constexpr size_t kPacketsPerRead = 256;
// How many packet starts must agree before an offset counts as the packet
// boundary (fewer when the file is shorter).
constexpr size_t kSyncConfirmations = 5;
// The longest nap between two looks at the clock and the stop flag.
constexpr auto kLongestSleep = std::chrono::milliseconds(5);
// Packets go out in bursts of what is due every 2 ms at least, as a card hands
// over its buffers: a nap per packet would cost more than receiving it.
constexpr double kShortestBurstSeconds = 0.002;
// Falling further behind than this (a slow callback, a suspended machine)
// restarts the pacing instead of catching up in one burst.
constexpr double kLongestBacklogSeconds = 1.0;

struct Settings {
    fs::path capture;
    std::string captureAsWritten;
    uint32_t rateKbps = kDefaultRateKbps;
    bool loop = false;
};

FILE* openBinary(const fs::path& path) {
#if defined(_WIN32)
    return _wfopen(path.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

// The offset of the first packet boundary: the first offset below one packet
// from which the sync byte recurs every 188 bytes. -1 when the file holds no
// whole packet in sync.
long findSyncOffset(FILE* file) {
    std::vector<uint8_t> head(kPacketSize * (kSyncConfirmations + 1));
    std::rewind(file);
    size_t n = std::fread(head.data(), 1, head.size(), file);
    for (size_t offset = 0; offset < kPacketSize && offset + kPacketSize <= n; ++offset) {
        size_t whole = std::min((n - offset) / kPacketSize, kSyncConfirmations);
        size_t k = 0;
        while (k < whole && head[offset + k * kPacketSize] == kSyncByte) ++k;
        if (k == whole) return long(offset);
    }
    return -1;
}

// Whole packets from the capture, in step with the packet boundary. Lost or
// extra bytes move the boundary: where the next packet does not start with the
// sync byte, the reader skips ahead, byte by byte, to a place where the sync
// byte recurs at packet spacing, and counts what it skipped. A packet cut short
// by the move is skipped with it; a whole one before extra bytes is kept.
class PacketReader {
public:
    explicit PacketReader(FILE* file) : file_(file), buffer_(kPacketSize * kPacketsPerRead) {}

    // The next packet, or nullptr at the end of the file (a partial last
    // packet is left unread). Valid until the next call.
    const uint8_t* next() {
        fill();
        if (available() < kPacketSize) return nullptr;
        if (continuesInStep()) {
            const uint8_t* packet = buffer_.data() + at_;
            at_ += kPacketSize;
            return packet;
        }
        ++resyncs;
        const bool startsWell = at(0) == kSyncByte;
        if (startsWell) std::memcpy(held_, buffer_.data() + at_, kPacketSize);
        uint64_t skipped = 0;
        do {
            ++at_;
            ++skipped;
            fill();
        } while (available() >= kPacketSize && !isBoundary());
        if (startsWell && skipped >= kPacketSize) {
            skippedBytes += skipped - kPacketSize;
            return held_;
        }
        skippedBytes += skipped;
        if (available() < kPacketSize) return nullptr;
        const uint8_t* packet = buffer_.data() + at_;
        at_ += kPacketSize;
        return packet;
    }

    // Back to the start, at `offset`, for another pass; false when the file
    // cannot be positioned.
    bool rewind(long offset) {
        at_ = end_ = 0;
        std::clearerr(file_);
        return std::fseek(file_, offset, SEEK_SET) == 0;
    }

    uint64_t skippedBytes = 0;
    uint64_t resyncs = 0;

private:
    size_t available() const { return end_ - at_; }
    uint8_t at(size_t offset) const { return buffer_[at_ + offset]; }

    // Keeps enough bytes ahead for the checks below, unless the file ends.
    void fill() {
        if (available() >= kPacketSize * (kSyncConfirmations + 1)) return;
        std::memmove(buffer_.data(), buffer_.data() + at_, available());
        end_ -= at_;
        at_ = 0;
        end_ += std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_);
    }

    // The packet here starts with the sync byte, and so does one of the next
    // two: a damaged sync byte alone does not move the boundary, but a packet
    // that lost a byte does not pass with the next packet's sync byte at its end.
    bool continuesInStep() const {
        if (at(0) != kSyncByte) return false;
        if (available() < 2 * kPacketSize || at(kPacketSize) == kSyncByte) return true;
        return available() >= 3 * kPacketSize && at(2 * kPacketSize) == kSyncByte;
    }

    // The sync byte here and at every packet distance after it, as far as
    // kSyncConfirmations packets (fewer at the end of the file).
    bool isBoundary() const {
        size_t whole = std::min(available() / kPacketSize, kSyncConfirmations);
        for (size_t k = 0; k < whole; ++k)
            if (at(k * kPacketSize) != kSyncByte) return false;
        return true;
    }

    FILE* file_;
    std::vector<uint8_t> buffer_;
    uint8_t held_[kPacketSize] = {};  // a whole packet found before extra bytes
    size_t at_ = 0, end_ = 0;  // the unread bytes in buffer_
};

class CaptureReplay : public PacketSource {
public:
    bool load(std::string& error) override {
        error = "no settings read";
        return false;
    }

    bool configure(const SettingsFile& file, std::string& error) {
        const std::string where = std::string(kSettingsFile) + ": ";
        Settings settings;
        const std::string* value = file.find("capture");
        if (!value || value->empty()) {
            error = where + "no capture file named (capture = PATH)";
            return false;
        }
        settings.captureAsWritten = *value;
        std::error_code failed;
        // Resolved now: the working directory may change before SetFilter.
        settings.capture = fs::absolute(fs::u8path(*value), failed);
        if (failed) {
            error = where + "bad capture path: " + *value;
            return false;
        }
        if ((value = file.find("rate_kbps")) && !parseNumber(*value, kHighestRateKbps, settings.rateKbps)) {
            error = where + "rate_kbps wants a number of kbit/s from 0 to " + std::to_string(kHighestRateKbps) +
                    ", not '" + *value + "'";
            return false;
        }
        uint32_t loop = 0;
        if ((value = file.find("loop")) && !parseNumber(*value, 1, loop)) {
            error = where + "loop wants 0 or 1, not '" + *value + "'";
            return false;
        }
        settings.loop = loop == 1;
        long offset;
        FILE* capture = openCapture(settings, offset, error);
        if (!capture) return false;
        std::fclose(capture);
        settings_ = settings;
        return true;
    }

    bool open(std::string& error) override {
        active_ = settings_;
        file_ = openCapture(active_, syncOffset_, error);
        return file_ != nullptr;
    }

    void run(const std::atomic<bool>& stop, const PacketSink& sink) override {
        PacketReader reader(file_);
        replay(stop, sink, reader);
        if (reader.skippedBytes != 0)
            reportError(std::string(kSettingsFile) + ": " + active_.captureAsWritten + ": lost the packet boundary " +
                        std::to_string(reader.resyncs) + " time(s); skipped " + std::to_string(reader.skippedBytes) +
                        " byte(s) to find it again");
    }

    void replay(const std::atomic<bool>& stop, const PacketSink& sink, PacketReader& reader) {
        bool packetsThisPass = false;
        const double packetsPerSecond = double(active_.rateKbps) * 1000.0 / double(kPacketSize * 8);
        Clock::time_point epoch = Clock::now();
        uint64_t sentSinceEpoch = 0;

        while (!stop) {
            // How many packets may go now: all that are due since the epoch,
            // the first one at once.
            size_t allowed = kPacketsPerRead;
            if (active_.rateKbps != 0) {
                double elapsed = std::chrono::duration<double>(Clock::now() - epoch).count();
                double due = elapsed * packetsPerSecond + 1.0;
                if (due - double(sentSinceEpoch) > packetsPerSecond * kLongestBacklogSeconds + 1.0) {
                    epoch = Clock::now();
                    sentSinceEpoch = 0;
                    due = 1.0;
                }
                double burst = sentSinceEpoch == 0 ? 1.0
                                                   : std::min(std::max(1.0, packetsPerSecond * kShortestBurstSeconds),
                                                              double(kPacketsPerRead));
                if (double(sentSinceEpoch) + burst > due) {
                    double wait = (double(sentSinceEpoch) + burst - due) / packetsPerSecond;
                    std::this_thread::sleep_for(
                        std::min<Clock::duration>(std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(wait)),
                                                  kLongestSleep));
                    continue;
                }
                allowed = size_t(std::min(due - double(sentSinceEpoch), double(kPacketsPerRead)));
            }

            for (size_t i = 0; i < allowed && !stop; ++i) {
                const uint8_t* packet = reader.next();
                if (!packet) {
                    if (!active_.loop || !packetsThisPass) return;
                    packetsThisPass = false;
                    if (!reader.rewind(syncOffset_)) return;
                    break;
                }
                packetsThisPass = true;
                sink.offer(packet);
                ++sentSinceEpoch;
            }
        }
    }

    void close() override {
        if (file_) std::fclose(file_);
        file_ = nullptr;
    }

private:
    // The capture, positioned at its first packet boundary (also given in
    // `offset`); nullptr with a message when it is missing or holds no packets.
    static FILE* openCapture(const Settings& settings, long& offset, std::string& error) {
        FILE* file = openBinary(settings.capture);
        if (!file) {
            error = std::string(kSettingsFile) + ": capture file not found: " + settings.captureAsWritten;
            return nullptr;
        }
        offset = findSyncOffset(file);
        if (offset < 0 || std::fseek(file, offset, SEEK_SET) != 0) {
            std::fclose(file);
            error = std::string(kSettingsFile) + ": no transport-stream packets in " + settings.captureAsWritten;
            return nullptr;
        }
        return file;
    }

    Settings settings_;  // as last loaded
    Settings active_;    // what the delivery thread uses, fixed at open()
    FILE* file_ = nullptr;
    long syncOffset_ = 0;
};

// The capture or the card, as streamreader.ini says at each load.
class ChosenSource : public PacketSource {
public:
    bool load(std::string& error) override {
        SettingsFile file;
        if (!readSettingsFile(kSettingsFile, file, error)) return false;
        warnUnknownKeys(file, kSettingsFile, {"source", "capture", "rate_kbps", "loop", QM_DVB_SETTINGS_KEYS});
        const std::string* value = file.find("source");
        const std::string choice = value ? lowerCase(*value) : "capture";
        if (choice == "capture") {
            chosen_ = &capture_;
            return capture_.configure(file, error);
        }
        if (choice != "dvb") {
            error = std::string(kSettingsFile) + ": source wants capture or dvb, not '" + *value + "'";
            return false;
        }
#if defined(_WIN32)
        error = std::string(kSettingsFile) + ": source = dvb: a DVB card is read on Linux only; here use the "
                "card maker's plug-in";
        return false;
#else
        chosen_ = &theDvbSource();
        return theDvbSource().configure(file, error);
#endif
    }
    bool open(std::string& error) override { return chosen_.load()->open(error); }
    void tune(const Tuning& tuning) override { chosen_.load()->tune(tuning); }
    bool setChannel(const Tuning& tuning, std::string& error) override { return chosen_.load()->setChannel(tuning, error); }
    void run(const std::atomic<bool>& stop, const PacketSink& sink) override { chosen_.load()->run(stop, sink); }
    void close() override { chosen_.load()->close(); }
    void stopped() override { chosen_.load()->stopped(); }
    bool signalStatus(std::string& text) override { return chosen_.load()->signalStatus(text); }

private:
    CaptureReplay capture_;
    // Changed only by load(), under the exports' lock, while nothing runs.
    std::atomic<PacketSource*> chosen_{&capture_};
};

}  // namespace

PacketSource& thePacketSource() {
    static ChosenSource* source = new ChosenSource;
    return *source;
}
