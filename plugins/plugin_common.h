// What both stand-in receiver plug-ins share: their small settings files, the
// PID filter and the one delivery thread behind the eight exports.
//
// Each plug-in supplies a PacketSource (a capture file, a UDP socket) and its
// name; plugin_common.cpp implements the exports on top of it, so that the
// rules the program relies on (one packet per call, one thread, nothing after
// DelFilter returns) live in one place.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "plugins/value_text.h"
#include "reception/plugin_interface.h"

constexpr size_t kPacketSize = 188;
constexpr uint8_t kSyncByte = 0x47;
constexpr int32_t kPidCount = 0x2000;

inline int32_t packetPid(const uint8_t* packet) { return ((packet[1] & 0x1F) << 8) | packet[2]; }

// ---- Settings files --------------------------------------------------------
//
// "key = value" lines ended by CR LF, LF or CR; keys are matched ignoring
// case, the first line of a key wins, blank lines and lines starting with ';'
// or '#' are skipped. Values are UTF-8 (a leading byte-order mark is ignored)
// and run to the end of the line, so paths may hold spaces.
struct SettingsFile {
    std::vector<std::pair<std::string, std::string>> entries;  // keys in lower case
    // nullptr when the key is absent.
    const std::string* find(const char* key) const;
};

// Reads `fileName` from the working directory; false with a message when it
// cannot be read.
bool readSettingsFile(const char* fileName, SettingsFile& settings, std::string& error);

// Says on standard error, naming the key and `fileName`, which keys of
// `settings` are none of `known`: a misspelt key would otherwise leave its
// setting at the default without a word. The settings are read more than once
// a start, so the same warning is not repeated back to back.
void warnUnknownKeys(const SettingsFile& settings, const char* fileName, std::initializer_list<const char*> known);

// ASCII letters in lower case; for keys and for values that name a choice.
std::string lowerCase(std::string text);

// ---- The packet source -----------------------------------------------------

// Hands packets to the installed filter; used on the delivery thread only.
class PacketSink {
public:
    PacketSink(int32_t pid, PacketCallback callback) : pid_(pid), callback_(callback) {}
    // One whole packet; passed on when it is in sync and of the filtered PID.
    void offer(const uint8_t* packet) const {
        if (packet[0] == kSyncByte && packetPid(packet) == pid_) callback_(packet, int32_t(kPacketSize));
    }

private:
    int32_t pid_;
    PacketCallback callback_;
};

// What the program asked the receiver to tune to, as the exports received it.
struct Tuning {
    int32_t frequency = 0;   // kHz
    int32_t symbolRate = 0;  // symbols per second
    int32_t polarity = 0;    // 0 horizontal, 1 vertical
    int32_t diseqcKind = 0;  // 0: no DiSEqC command was sent
    int32_t diseqcCommand = 0;
    int32_t pid = 0;
    int32_t lof1 = 0, lof2 = 0, switchFrequency = 0;  // kHz; 0: not given
};

class PacketSource {
public:
    virtual ~PacketSource() = default;
    // Reads and checks the settings file (CheckForDVB, StartDVB). On failure
    // `error` is the line for the user, without the plug-in's name.
    virtual bool load(std::string& error) = 0;
    // Opens the file or socket for a new filter, on the caller's thread, so
    // that whatever arrives after SetFilter returns is delivered.
    virtual bool open(std::string& error) = 0;
    // The tuning for the next open(); sources that cannot tune ignore it.
    virtual void tune(const Tuning& /*tuning*/) {}
    // SetChannel, on the caller's thread: a source that tunes a card does so
    // now and says whether it locked; the others tune at open().
    virtual bool setChannel(const Tuning& /*tuning*/, std::string& /*error*/) { return true; }
    // Delivers packets until `stop` is set or the source ends; on the
    // delivery thread. Should look at `stop` at least every 100 ms.
    virtual void run(const std::atomic<bool>& stop, const PacketSink& sink) = 0;
    // Releases what open() took; the delivery thread has ended.
    virtual void close() = 0;
    // StopDVB, after close(): what setChannel() holds open is let go.
    virtual void stopped() {}
    // A short line on the signal for the program's status ("lock 200/15,
    // gaps 0"); false when the source has none. Any thread, never blocks.
    virtual bool signalStatus(std::string& /*text*/) { return false; }
};

// Defined by each plug-in.
PacketSource& thePacketSource();
extern const char* const kPluginName;

// "name: message" on standard error, and to the program's log function when it
// gave one (SetLogFunction).
void reportError(const std::string& message);
