#include "plugins/dvb_source.h"

#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "plugins/dvb_tuning.h"

namespace {

using Clock = std::chrono::steady_clock;

// A full transponder arrives in bursts while the delivery thread is away in
// the callback; the kernel's buffer must hold what comes meanwhile.
constexpr unsigned long kDemuxBufferBytes = 8 * 1024 * 1024;
constexpr size_t kReadBytes = kPacketSize * 1024;
constexpr int kPollMs = 100;
// A frontend that has not locked by then will not.
constexpr int kLockWaitMs = 3000;
// Switches want a quiet line around each command.
constexpr auto kSwitchPause = std::chrono::milliseconds(15);
constexpr auto kStatusEvery = std::chrono::seconds(1);
constexpr int kFirstRetrySeconds = 1, kLongestRetrySeconds = 15;

void pause(std::chrono::milliseconds length) { std::this_thread::sleep_for(length); }

std::string megahertz(int32_t kHz) {
    std::string text = std::to_string(kHz / 1000);
    if (kHz % 1000) text += "." + std::to_string(1000 + kHz % 1000).substr(1);
    return text;
}

class CardSource : public DvbSource {
public:
    bool configure(const SettingsFile& file, std::string& error) override {
        uint32_t adapter = 0, frontend = 0;
        const std::string* value;
        const std::string where = "streamreader.ini: ";
        if ((value = file.find("adapter")) && !parseNumber(*value, 255, adapter)) {
            error = where + "adapter wants a number from 0 to 255, not '" + *value + "'";
            return false;
        }
        if ((value = file.find("frontend")) && !parseNumber(*value, 255, frontend)) {
            error = where + "frontend wants a number from 0 to 255, not '" + *value + "'";
            return false;
        }
        std::vector<fe_delivery_system> systems = {SYS_DVBS2, SYS_DVBS};
        if ((value = file.find("delivery"))) {
            const std::string choice = lowerCase(*value);
            if (choice == "dvbs") systems = {SYS_DVBS};
            else if (choice == "dvbs2") systems = {SYS_DVBS2};
            else if (choice != "auto") {
                error = where + "delivery wants auto, dvbs or dvbs2, not '" + *value + "'";
                return false;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string base = "/dev/dvb/adapter" + std::to_string(adapter) + "/";
        frontendPath_ = base + "frontend" + std::to_string(frontend);
        demuxPath_ = base + "demux" + std::to_string(frontend);
        dvrPath_ = base + "dvr" + std::to_string(frontend);
        name_ = "adapter" + std::to_string(adapter) + "/frontend" + std::to_string(frontend);
        systems_ = systems;
        if (frontend_ >= 0) return true;
        if (!openFrontend(error)) return false;
        closeFrontend();
        return true;
    }

    bool load(std::string& error) override {
        error = "no settings read";
        return false;
    }

    bool setChannel(const Tuning& tuning, std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        tuning_ = tuning;
        haveTuning_ = true;
        if (frontend_ < 0 && !openFrontend(error)) return false;
        return tuneFrontend(error);
    }

    void tune(const Tuning& tuning) override {
        std::lock_guard<std::mutex> lock(mutex_);
        tuning_.pid = tuning.pid;
    }

    bool open(std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        overflowBurst_ = false;
        return openStream(error);
    }

    void run(const std::atomic<bool>& stop, const PacketSink& sink) override {
        std::vector<uint8_t> buffer(kReadBytes + kPacketSize);
        size_t have = 0;
        Clock::time_point nextStatus = Clock::now();
        while (!stop) {
            if (Clock::now() >= nextStatus) {
                nextStatus = Clock::now() + kStatusEvery;
                if (!readStatus()) {
                    recover(stop, "the frontend is gone (" + std::string(std::strerror(errno)) + ")");
                    have = 0;
                    continue;
                }
            }
            pollfd p = {dvr_, POLLIN, 0};
            int ready = ::poll(&p, 1, kPollMs);
            if (ready <= 0) continue;
            ssize_t n = ::read(dvr_, buffer.data() + have, kReadBytes - have);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                if (errno == EOVERFLOW) {
                    // The kernel's buffer ran over: packets were lost, the
                    // stream goes on.
                    ++overflows_;
                    if (!overflowBurst_)
                        reportError(name_ + ": packets lost, the program did not keep up (overflow " +
                                    std::to_string(overflows_.load()) + ")");
                    overflowBurst_ = true;
                    continue;
                }
                recover(stop, "reading failed (" + std::string(std::strerror(errno)) + ")");
                have = 0;
                continue;
            }
            if (n == 0) continue;
            overflowBurst_ = false;
            have += size_t(n);
            size_t at = 0;
            while (have - at >= kPacketSize) {
                // Out of step: on to the next place where the sync byte
                // recurs a packet later.
                if (buffer[at] != kSyncByte ||
                    (have - at >= 2 * kPacketSize && buffer[at + kPacketSize] != kSyncByte)) {
                    ++at;
                    continue;
                }
                sink.offer(buffer.data() + at);
                at += kPacketSize;
            }
            std::memmove(buffer.data(), buffer.data() + at, have - at);
            have -= at;
        }
    }

    void close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        closeStream();
    }

    void stopped() override {
        std::lock_guard<std::mutex> lock(mutex_);
        closeStream();
        closeFrontend();
        haveTuning_ = false;
    }

    bool signalStatus(std::string& text) override {
        if (!haveStatus_) return false;
        const int level = level_, cnr = cnr_;
        const std::string overflows = "overflows " + std::to_string(overflows_.load());
        if (locked_) {
            text = "lock";
            if (level >= 0) text += " " + std::to_string(level) + "%";
            if (cnr != INT_MIN) {
                char db[32];
                std::snprintf(db, sizeof db, "%.1fdB", cnr / 1000.0);
                text += (level >= 0 ? "/" : " ") + std::string(db);
            }
            text += ", " + overflows;
        } else {
            text = "no lock";
            if (level >= 0) text += ", level " + std::to_string(level) + "%";
            text += ", " + overflows;
        }
        return true;
    }

private:
    // ---- With mutex_ held ----------------------------------------------

    bool fail(const std::string& what, std::string& error) {
        error = name_ + ": " + what + ": " + std::strerror(errno);
        return false;
    }

    bool openFrontend(std::string& error) {
        frontend_ = ::open(frontendPath_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (frontend_ < 0) return fail("cannot open " + frontendPath_, error);
        dvb_frontend_info info = {};
        if (::ioctl(frontend_, FE_GET_INFO, &info) != 0) {
            fail("cannot ask what the frontend is", error);
            closeFrontend();
            return false;
        }
        if (info.type != FE_QPSK) {
            error = name_ + ": " + info.name + " is not a satellite frontend";
            closeFrontend();
            return false;
        }
        return true;
    }

    void closeFrontend() {
        if (frontend_ >= 0) ::close(frontend_);
        frontend_ = -1;
        haveStatus_ = false;
    }

    bool tuneFrontend(std::string& error) {
        const Tuning& t = tuning_;
        const LnbSetting lnb = lnbSetting(t.frequency, t.polarity, t.lof1, t.lof2, t.switchFrequency);
        const SwitchCommand command = switchCommand(t.diseqcKind, t.diseqcCommand, lnb);
        const fe_sec_voltage voltage = lnb.horizontal ? SEC_VOLTAGE_18 : SEC_VOLTAGE_13;
        if (::ioctl(frontend_, FE_SET_TONE, SEC_TONE_OFF) != 0) return fail("cannot switch the tone off", error);
        if (::ioctl(frontend_, FE_SET_VOLTAGE, voltage) != 0) return fail("cannot set the LNB voltage", error);
        if (command.length > 0 || command.burst) {
            pause(kSwitchPause);
            if (command.length > 0) {
                dvb_diseqc_master_cmd message = {};
                std::memcpy(message.msg, command.message, size_t(command.length));
                message.msg_len = uint8_t(command.length);
                if (::ioctl(frontend_, FE_DISEQC_SEND_MASTER_CMD, &message) != 0)
                    return fail("cannot send the DiSEqC command", error);
                pause(kSwitchPause);
            }
            if (command.burst) {
                if (::ioctl(frontend_, FE_DISEQC_SEND_BURST, command.burst == 'b' ? SEC_MINI_B : SEC_MINI_A) != 0)
                    return fail("cannot send the tone burst", error);
                pause(kSwitchPause);
            }
        }
        if (::ioctl(frontend_, FE_SET_TONE, lnb.highBand ? SEC_TONE_ON : SEC_TONE_OFF) != 0)
            return fail("cannot set the 22 kHz tone", error);
        const auto started = Clock::now();
        std::string tried;
        for (fe_delivery_system system : systems_) {
            const bool s2 = system == SYS_DVBS2;
            dtv_property p[9] = {};
            const uint32_t values[][2] = {
                {DTV_CLEAR, 0},
                {DTV_DELIVERY_SYSTEM, uint32_t(system)},
                {DTV_FREQUENCY, uint32_t(lnb.intermediateKHz)},
                {DTV_SYMBOL_RATE, uint32_t(t.symbolRate)},
                {DTV_INNER_FEC, FEC_AUTO},
                {DTV_MODULATION, s2 ? uint32_t(PSK_8) : uint32_t(QPSK)},
                {DTV_INVERSION, INVERSION_AUTO},
                {DTV_ROLLOFF, ROLLOFF_AUTO},
                {DTV_PILOT, PILOT_AUTO},
            };
            size_t count = s2 ? 9 : 7;
            for (size_t i = 0; i < count; ++i) {
                p[i].cmd = values[i][0];
                p[i].u.data = values[i][1];
            }
            dtv_property go = {};
            go.cmd = DTV_TUNE;
            dtv_properties set = {uint32_t(count), p}, tune = {1, &go};
            if (::ioctl(frontend_, FE_SET_PROPERTY, &set) != 0 || ::ioctl(frontend_, FE_SET_PROPERTY, &tune) != 0)
                return fail("cannot tune", error);
            tried += tried.empty() ? (s2 ? "dvbs2" : "dvbs") : (s2 ? " then dvbs2" : " then dvbs");
            const auto deadline = Clock::now() + std::chrono::milliseconds(kLockWaitMs);
            do {
                if (!readStatusLocked()) return fail("cannot read the frontend's status", error);
                if (locked_) {
                    reportError(name_ + ": locked at " + megahertz(t.frequency) + " MHz " +
                                (lnb.horizontal ? "H" : "V") + " (" + (s2 ? "dvbs2" : "dvbs") + ")" + statusText());
                    return true;
                }
                pause(std::chrono::milliseconds(50));
            } while (Clock::now() < deadline);
        }
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
        error = name_ + ": no lock at " + megahertz(t.frequency) + " MHz " + (lnb.horizontal ? "H" : "V") + " " +
                std::to_string(t.symbolRate / 1000) + " kS/s (" + megahertz(lnb.intermediateKHz) + " MHz from the LNB, " +
                (lnb.highBand ? "22 kHz on, " : "22 kHz off, ") + (lnb.horizontal ? "18 V, " : "13 V, ") + tried +
                ") after " + std::to_string(seconds) + " s";
        return false;
    }

    // Lock, level and quality into the atomics; false when the frontend
    // cannot be asked.
    bool readStatusLocked() {
        fe_status_t status = {};
        if (::ioctl(frontend_, FE_READ_STATUS, &status) != 0) return false;
        locked_ = (status & FE_HAS_LOCK) != 0;
        dtv_property p[2] = {};
        p[0].cmd = DTV_STAT_SIGNAL_STRENGTH;
        p[1].cmd = DTV_STAT_CNR;
        dtv_properties get = {2, p};
        int level = -1, cnr = INT_MIN;
        if (::ioctl(frontend_, FE_GET_PROPERTY, &get) == 0) {
            if (p[0].u.st.len > 0 && p[0].u.st.stat[0].scale == FE_SCALE_RELATIVE)
                level = int(p[0].u.st.stat[0].uvalue * 100 / 65535);
            if (p[1].u.st.len > 0 && p[1].u.st.stat[0].scale == FE_SCALE_DECIBEL) cnr = int(p[1].u.st.stat[0].svalue);
        }
        level_ = level;
        cnr_ = cnr;
        haveStatus_ = true;
        return true;
    }

    std::string statusText() {
        std::string text;
        if (signalStatus(text)) return ", " + text;
        return "";
    }

    bool openStream(std::string& error) {
        demux_ = ::open(demuxPath_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (demux_ < 0) return fail("cannot open " + demuxPath_, error);
        if (::ioctl(demux_, DMX_SET_BUFFER_SIZE, kDemuxBufferBytes) != 0) {
            fail("cannot size the demultiplexer's buffer", error);
            closeStream();
            return false;
        }
        dmx_pes_filter_params filter = {};
        filter.pid = uint16_t(tuning_.pid);
        filter.input = DMX_IN_FRONTEND;
        filter.output = DMX_OUT_TS_TAP;
        filter.pes_type = DMX_PES_OTHER;
        filter.flags = DMX_IMMEDIATE_START;
        if (::ioctl(demux_, DMX_SET_PES_FILTER, &filter) != 0) {
            fail("cannot filter PID " + std::to_string(tuning_.pid), error);
            closeStream();
            return false;
        }
        dvr_ = ::open(dvrPath_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (dvr_ < 0) {
            fail("cannot open " + dvrPath_, error);
            closeStream();
            return false;
        }
        return true;
    }

    void closeStream() {
        if (demux_ >= 0) {
            ::ioctl(demux_, DMX_STOP);
            ::close(demux_);
        }
        if (dvr_ >= 0) ::close(dvr_);
        demux_ = dvr_ = -1;
    }

    // ---- On the delivery thread -------------------------------------------

    bool readStatus() {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool wasLocked = locked_;
        if (!readStatusLocked()) return false;
        if (locked_ != wasLocked) reportError(name_ + (locked_ ? ": locked again" : ": lock lost") + statusText());
        return true;
    }

    // The device went away (a USB tuner pulled out): everything is closed,
    // then opened and tuned again after growing pauses until it is back.
    void recover(const std::atomic<bool>& stop, const std::string& why) {
        reportError(name_ + ": " + why + "; opening it again");
        int wait = kFirstRetrySeconds;
        while (!stop) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                closeStream();
                closeFrontend();
                locked_ = false;
            }
            for (int i = 0; i < wait * 10 && !stop; ++i) pause(std::chrono::milliseconds(100));
            if (stop) return;
            std::lock_guard<std::mutex> lock(mutex_);
            std::string error;
            if (openFrontend(error) && (!haveTuning_ || tuneFrontend(error)) && openStream(error)) {
                reportError(name_ + ": back, tuned and filtering again");
                return;
            }
            reportError(error + "; next try in " + std::to_string(std::min(wait * 2, kLongestRetrySeconds)) + " s");
            wait = std::min(wait * 2, kLongestRetrySeconds);
        }
    }

    std::mutex mutex_;  // the devices and the tuning
    std::string frontendPath_, demuxPath_, dvrPath_, name_;
    std::vector<fe_delivery_system> systems_;
    int frontend_ = -1, demux_ = -1, dvr_ = -1;
    Tuning tuning_;
    bool haveTuning_ = false;
    bool overflowBurst_ = false;
    std::atomic<bool> haveStatus_{false}, locked_{false};
    std::atomic<int> level_{-1}, cnr_{INT_MIN};
    std::atomic<uint64_t> overflows_{0};
};

}  // namespace

DvbSource& theDvbSource() {
    static CardSource* source = new CardSource;
    return *source;
}
