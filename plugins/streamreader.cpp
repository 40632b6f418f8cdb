// The stand-in receiver that replays a transport-stream capture file.
//
// streamreader.ini, in the working directory:
//   capture = PATH       the capture, absolute or relative to the working directory
//   rate_kbps = N        pace of the whole stream in kbit/s (default 20000; 0: as
//                        fast as the callback takes the packets)
//   loop = 0 | 1         start again at the end of the file (default 0: stop there)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "plugins/plugin_common.h"

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

class CaptureReplay : public PacketSource {
public:
    bool load(std::string& error) override {
        SettingsFile file;
        if (!readSettingsFile(kSettingsFile, file, error)) return false;
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
        std::vector<uint8_t> buffer(kPacketSize * kPacketsPerRead);
        size_t buffered = 0, next = 0;  // whole packets in the buffer, the next to deliver
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
                if (next == buffered) {
                    buffered = std::fread(buffer.data(), 1, buffer.size(), file_) / kPacketSize;
                    next = 0;
                    if (buffered == 0) {
                        // The end (a partial last packet is left unread).
                        if (!active_.loop || !packetsThisPass) return;
                        packetsThisPass = false;
                        std::clearerr(file_);
                        if (std::fseek(file_, syncOffset_, SEEK_SET) != 0) return;
                        break;
                    }
                    packetsThisPass = true;
                }
                sink.offer(buffer.data() + kPacketSize * next++);
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

}  // namespace

PacketSource& thePacketSource() {
    static CaptureReplay* source = new CaptureReplay;
    return *source;
}
