#include "plugins/plugin_common.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <mutex>
#include <thread>

// ---- Settings files --------------------------------------------------------

namespace {

// A settings file is a handful of lines; anything larger is not one.
constexpr long kLargestSettingsFile = 64 * 1024;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(const std::string& text, size_t begin, size_t end) {
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

const std::string* SettingsFile::find(const char* key) const {
    for (const auto& entry : entries)
        if (entry.first == key) return &entry.second;
    return nullptr;
}

bool readSettingsFile(const char* fileName, SettingsFile& settings, std::string& error) {
    settings.entries.clear();
    FILE* file = std::fopen(fileName, "rb");
    if (!file) {
        error = std::string("cannot read ") + fileName + " in the working directory";
        return false;
    }
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0 && long(text.size()) <= kLargestSettingsFile)
        text.append(chunk, n);
    std::fclose(file);
    if (long(text.size()) > kLargestSettingsFile) {
        error = std::string(fileName) + ": too large for a settings file";
        return false;
    }
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < text.size()) {
        size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos) end = text.size();
        std::string line = trimmed(text, at, end);
        at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error = std::string(fileName) + ": not a \"key = value\" line: " + line;
            return false;
        }
        std::string key = lowerCase(trimmed(line, 0, equals));
        if (!settings.find(key.c_str())) settings.entries.emplace_back(key, trimmed(line, equals + 1, line.size()));
    }
    return true;
}

void warnUnknownKeys(const SettingsFile& settings, const char* fileName, std::initializer_list<const char*> known) {
    // Read under the exports' lock, like every settings file.
    static std::string& lastWarning = *new std::string;  // never destroyed, like the exports' state
    std::string warning;
    for (const auto& entry : settings.entries) {
        bool isKnown = false;
        for (const char* key : known) isKnown = isKnown || entry.first == key;
        if (isKnown) continue;
        warning += std::string(fileName) + ": unknown key '" + entry.first + "' ignored (known keys:";
        for (const char* key : known) warning += std::string(" ") + key;
        warning += ")\n";
    }
    if (warning == lastWarning) return;
    lastWarning = warning;
    size_t at = 0, end;
    while ((end = warning.find('\n', at)) != std::string::npos) {
        reportError(warning.substr(at, end - at));
        at = end + 1;
    }
}

namespace {

// Where reportError's lines go besides standard error; never destroyed, like
// the exports' state.
struct LogDestination {
    std::mutex mutex;  // also keeps the lines of different threads whole
    PluginLogFunction function = nullptr;
    void* context = nullptr;
};

LogDestination& logDestination() {
    static LogDestination* destination = new LogDestination;
    return *destination;
}

}  // namespace

void reportError(const std::string& message) {
    // A server's reply may end up in a message: one line, nothing that
    // could pass for a second line of the log.
    std::string line = std::string(kPluginName) + ": " + message;
    for (char& c : line)
        if (uint8_t(c) < 0x20 || c == 0x7F) c = ' ';
    LogDestination& destination = logDestination();
    std::lock_guard<std::mutex> lock(destination.mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    if (destination.function) destination.function(destination.context, line.c_str());
}

// ---- The exports -----------------------------------------------------------

namespace {

struct State {
    // Serialises the exports. The delivery thread never takes it, so an
    // export may join that thread while holding it.
    std::mutex api;
    bool started = false;
    std::atomic<int32_t> activeHandle{0};  // 0: no filter installed
    int32_t lastHandle = 0;
    std::thread worker;  // joinable exactly while the source is open
    std::atomic<bool> stop{false};
    // Recorded for the source's tune(): a file or a socket ignores them.
    std::atomic<int32_t> diseqcKind{0}, diseqcCommand{0};
    std::atomic<int32_t> channel[7] = {};
};

// Never destroyed: a library may be unloaded or the process may end with the
// thread still running, and a destructor joining it from the loader's
// context could deadlock.
State& state() {
    static State* s = new State;
    return *s;
}

// Set on the delivery thread. A callback that calls DelFilter or StopDVB only
// raises the stop flag (it cannot join itself); the next export called from
// outside joins the ended thread.
thread_local bool tOnDeliveryThread = false;

// With `api` held.
void endDelivery(State& s) {
    s.stop = true;
    if (s.worker.joinable()) {
        s.worker.join();
        thePacketSource().close();
    }
    s.activeHandle = 0;
}

Tuning currentTuning(const State& s, int32_t pid) {
    Tuning tuning;
    tuning.frequency = s.channel[0];
    tuning.symbolRate = s.channel[1];
    tuning.polarity = s.channel[2];
    tuning.lof1 = s.channel[4];
    tuning.lof2 = s.channel[5];
    tuning.switchFrequency = s.channel[6];
    tuning.diseqcKind = s.diseqcKind;
    tuning.diseqcCommand = s.diseqcCommand;
    tuning.pid = pid;
    return tuning;
}

void deliver(PacketSource* source, std::atomic<bool>* stop, int32_t pid, PacketCallback callback) {
    tOnDeliveryThread = true;
    PacketSink sink(pid, callback);
    try {
        source->run(*stop, sink);
    } catch (...) {
        // Nothing may leave a thread; the source just stops delivering.
    }
}

}  // namespace

QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL CheckForDVB() {
    if (tOnDeliveryThread) return 0;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.api);
    std::string error;
    try {
        if (thePacketSource().load(error)) return 1;
    } catch (...) {
        error = "out of memory";
    }
    reportError(error);
    return 0;
}

QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL StartDVB() {
    if (tOnDeliveryThread) return 0;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.api);
    if (s.started) return 1;
    std::string error;
    try {
        if (!thePacketSource().load(error)) {
            reportError(error);
            return 0;
        }
    } catch (...) {
        reportError("out of memory");
        return 0;
    }
    s.started = true;
    return 1;
}

QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL StopDVB() {
    State& s = state();
    if (tOnDeliveryThread) {
        s.stop = true;
        return 1;
    }
    std::lock_guard<std::mutex> lock(s.api);
    endDelivery(s);
    if (s.started) thePacketSource().stopped();
    s.started = false;
    return 1;
}

QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SendDiSEqC(int32_t kind, int32_t command) {
    if (kind != 1 && kind != 2) return 0;
    State& s = state();
    s.diseqcKind = kind;
    s.diseqcCommand = command;
    return 1;
}

QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SetChannel(int32_t frequency, int32_t symbolRate, int32_t polarity,
                                                   int32_t reserved, int32_t lof1, int32_t lof2,
                                                   int32_t switchFrequency) {
    State& s = state();
    const int32_t values[7] = {frequency, symbolRate, polarity, reserved, lof1, lof2, switchFrequency};
    for (int i = 0; i < 7; ++i) s.channel[i] = values[i];
    if (tOnDeliveryThread) return 1;
    std::lock_guard<std::mutex> lock(s.api);
    if (!s.started) return 1;
    std::string error;
    try {
        if (thePacketSource().setChannel(currentTuning(s, 0), error)) return 1;
    } catch (...) {
        error = "out of memory";
    }
    reportError(error);
    return 0;
}

QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SetFilter(int32_t pid, PacketCallback callback, int32_t /*mode*/,
                                                  int32_t /*flags*/, int32_t* handle) {
    if (tOnDeliveryThread) return 0;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.api);
    if (pid < 0 || pid >= kPidCount) {
        reportError("SetFilter: PID " + std::to_string(pid) + " is outside 0 to " + std::to_string(kPidCount - 1) +
                    "; no filter installed");
        return 0;
    }
    if (!s.started || !callback) return 0;
    // One filter at a time; one that a callback released is reaped here.
    if (s.activeHandle != 0 && !s.stop) return 0;
    endDelivery(s);

    PacketSource& source = thePacketSource();
    std::string error;
    try {
        source.tune(currentTuning(s, pid));
        if (!source.open(error)) {
            reportError(error);
            return 0;
        }
    } catch (...) {
        reportError("out of memory");
        return 0;
    }
    s.lastHandle = s.lastHandle == INT32_MAX ? 1 : s.lastHandle + 1;
    s.activeHandle = s.lastHandle;
    s.stop = false;
    try {
        s.worker = std::thread(deliver, &source, &s.stop, pid, callback);
    } catch (...) {
        source.close();
        s.activeHandle = 0;
        reportError("cannot start the delivery thread");
        return 0;
    }
    if (handle) *handle = s.lastHandle;
    return 1;
}

// Never called by the program; present because the program insists on all
// eight exports.
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SetBitFilter() { return 0; }

QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL DelFilter(int32_t handle) {
    State& s = state();
    if (handle == 0 || handle != s.activeHandle) return 0;
    if (tOnDeliveryThread) {
        s.stop = true;
        return 1;
    }
    std::lock_guard<std::mutex> lock(s.api);
    if (handle != s.activeHandle) return 0;
    endDelivery(s);
    return 1;
}

// Optional, like SignalStatus.
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SetLogFunction(PluginLogFunction function, void* context) {
    LogDestination& destination = logDestination();
    std::lock_guard<std::mutex> lock(destination.mutex);
    destination.function = function;
    destination.context = context;
    return 1;
}

// Optional: a program that does not know it never calls it.
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SignalStatus(char* text, int32_t capacity) {
    if (!text || capacity <= 0) return 0;
    std::string status;
    try {
        if (!thePacketSource().signalStatus(status)) return 0;
    } catch (...) {
        return 0;
    }
    size_t length = std::min(status.size(), size_t(capacity) - 1);
    // Not in the middle of a UTF-8 sequence.
    while (length > 0 && length < status.size() && (uint8_t(status[length]) & 0xC0) == 0x80) --length;
    status.copy(text, length);
    text[length] = '\0';
    return 1;
}
