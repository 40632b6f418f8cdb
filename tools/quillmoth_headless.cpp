// quillmoth-headless: the receiver without its window, for machines without a
// desktop and for scripts. It runs the program's start-up in the working
// directory that holds config.ini and filters.qmf, receives until it is told
// to stop (or, with --exit-when-idle, until nothing arrives any more), and
// then runs the program's shutdown. What the window shows in message boxes
// goes to standard error with the same texts (the core's default for messages).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "extraction/extraction.h"
#include "platform/platform.h"
#include "reception/receiver_plugin.h"
#include "reception/section_assembler.h"
#include "settings/config_file.h"
#include "settings/filter_set.h"
#include "settings/log_file.h"
#include "settings/messages.h"
#include "settings/startup.h"
#include "settings/status_text.h"
#include "settings/wide_format.h"
#include "tools/counter_report.h"
#include "tools/service_notify.h"

namespace {

std::atomic<bool> gStopRequested{false};
void requestStop() { gStopRequested.store(true); }

// Wide text to standard output as UTF-8, one call per line.
void printLine(const wchar_t* text) {
    char line[4096];
    if (wideToUtf8(text, line, sizeof line)) std::printf("%s\n", line);
    std::fflush(stdout);
}

// The view: objects as they start and as they are placed.
std::atomic<uint32_t> gLive{0};

void objectStarted(void*, uint32_t, Transfer*, const wchar_t* fileName, int32_t, const wchar_t* sizeText) {
    ++gLive;
    wchar_t line[512];
    formatWide(line, 512, L"Приём: %ls (%ls)", fileName, sizeText);
    printLine(line);
}

void objectGone(void*, const void*) { --gLive; }

void objectPlaced(void*, const wchar_t* fileName, const wchar_t* path, bool placed) {
    wchar_t line[768];
    if (placed)
        formatWide(line, 768, L"Готово: %ls", path);
    else
        formatWide(line, 768, L"Не сохранён: %ls", fileName);
    printLine(line);
}

// The intake as the watchdog sees it: the plug-in's thread hands each packet
// to the core through here. A packet that stays inside while no other one
// gets through means the intake is stuck (a lock never let go, a write that
// never ends), and the watchdog is no longer fed.
std::atomic<bool> gInIntake{false};
std::atomic<uint64_t> gIntakeDone{0};

void QM_PLUGIN_CALL watchedPacket(const uint8_t* packet, int32_t length) {
    gInIntake.store(true, std::memory_order_relaxed);
    onPacket(packet, length);
    // One thread writes it: no locked add on the packet path.
    gIntakeDone.store(gIntakeDone.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    gInIntake.store(false, std::memory_order_relaxed);
}

struct Options {
    long exitWhenIdleSeconds = -1;  // -1: run until stopped
};

void usage() {
    std::fprintf(stderr,
                 "usage: quillmoth-headless [--exit-when-idle SECONDS]\n"
                 "  Receives in the current directory, which holds config.ini and filters.qmf,\n"
                 "  until Ctrl+C or SIGTERM, or until no packet has arrived for SECONDS and no\n"
                 "  object is still being received.\n");
}

// 0: run; 1: done (help shown); 2: bad usage.
int parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--exit-when-idle") == 0 && i + 1 < argc) {
            char* end = nullptr;
            options.exitWhenIdleSeconds = std::strtol(argv[++i], &end, 10);
            if (*end || options.exitWhenIdleSeconds < 0) {
                std::fprintf(stderr, "quillmoth-headless: --exit-when-idle wants a number of seconds\n");
                return 2;
            }
        } else if (std::strcmp(argv[i], "--help") == 0) {
            usage();
            return 1;
        } else {
            std::fprintf(stderr, "quillmoth-headless: unknown argument %s\n", argv[i]);
            usage();
            return 2;
        }
    }
    return 0;
}

// The window's start-up, without the window. False when the program cannot run.
bool startUp() {
    if (!configurationPresent()) {
        showMessage(kConfigMissingMessage, nullptr, MessageIcon::error);
        return false;
    }
    wchar_t tmp[kMaxPath], ok[kMaxPath];
    prepareDirectory("tmp_dir", kTmpDirMissingMessage, tmp);
    prepareDirectory("ok_dir", kOkDirMissingMessage, ok);
    normalizeLogDirectory();

    int32_t useLog = 0;
    readConfigInt("use_log", &useLog);
    if (useLog)
        openLog(gLog);
    else
        useStandardOutput(gLog);
    logWrite(gLog, "\nQuillmoth sarted\n");
    checkDirectoryWritable("tmp_dir", tmp, kTmpDirUnwritableMessage, gLog);
    checkDirectoryWritable("ok_dir", ok, kOkDirUnwritableMessage, gLog);

    initExtraction(gExtraction);
    setSharedPath(gExtraction.tmpDir, tmp);
    setSharedPath(gExtraction.okDir, ok);
    gExtraction.view.rowInserted = objectStarted;
    gExtraction.view.rowRemoved = objectGone;
    gExtraction.view.filePlaced = objectPlaced;
    gSectionAssembler.sink = objectDatagramSink;
    gSectionAssembler.sinkContext = &gExtraction;
    startOwnFiles(gExtraction);

    // The filter set is in place before the first packet can arrive: objects
    // that came between the filter's installation and a later load would be
    // refused by the empty set.
    load(gFilterSet);
    gReceiverPlugin.callback = watchedPacket;
    startReception(gReceiverPlugin);
    // Without reception the window stays open for its settings; a console
    // receiver has nothing to do.
    return gReceiverPlugin.receptionStarted != 0;
}

// The status line: the window's status bar, with the counters behind it.
constexpr size_t kStatusCapacity = 1400;
void formatStatus(wchar_t* line, uint64_t packets, uint64_t previousPackets, uint32_t periodMs, uint32_t minutes) {
    wchar_t total[256], rate[256], errors[256], time[256], counters[256];
    formatTotal(packets * kTsPacketSize, total, 256);
    formatOverallRate((packets - previousPackets) * kTsPacketSize, periodMs, rate, 256);
    formatErrors(int32_t(gSectionAssembler.discontinuityCount.load() + filesNotSaved(gExtraction.counters)), errors,
                 256);
    formatRunningTime(minutes, time, 256);
    formatCounterSummary(gExtraction.counters, counters, 256);
    formatWide(line, kStatusCapacity, L"%ls | %ls | %ls | %ls | %ls", total, rate, errors, time, counters);
    // What a network tuner says of the signal, when the plug-in tells.
    char signal[128];
    wchar_t signalText[128];
    size_t length = 0;
    if (gReceiverPlugin.SignalStatus && gReceiverPlugin.SignalStatus(signal, int32_t(sizeof signal)) == 1) {
        signal[sizeof signal - 1] = '\0';
        if (utf8ToWide(signal, signalText, 128, &length) && length > 0) {
            size_t used = std::wcslen(line);
            formatWide(line + used, kStatusCapacity - used, L" | %ls", signalText);
        }
    }
}

// The service manager's copy of the status line, every few seconds.
constexpr uint64_t kNotifyStatusMs = 2000;
void notifyStatus(uint64_t packets, uint64_t previousPackets, uint32_t periodMs, uint32_t minutes) {
    wchar_t line[kStatusCapacity];
    formatStatus(line, packets, previousPackets, periodMs, minutes);
    char message[sizeof "STATUS=" + kStatusCapacity * 3] = "STATUS=";
    if (wideToUtf8(line, message + 7, sizeof message - 7)) serviceNotify(message);
}

void runUntilStopped(const Options& options) {
    bool status = standardOutputIsTerminal();
    uint64_t started = monotonicMilliseconds();
    uint64_t lastStatus = started, lastArrival = started;
    uint64_t packetsAtStatus = 0, packetsSeen = 0;
    // The service manager hears the counters from the start, and the
    // watchdog only while this loop turns and the intake moves.
    bool notifying = serviceManagerListens();
    uint64_t watchdog = serviceWatchdogInterval();
    uint64_t lastNotify = started - kNotifyStatusMs, packetsAtNotify = 0;
    uint64_t lastWatchdog = started - watchdog, lastIntakeMove = started, intakeSeen = 0;
    while (!gStopRequested.load()) {
        sleepMilliseconds(100);
        uint64_t now = monotonicMilliseconds();
        uint64_t packets = gSectionAssembler.packetCount.load();
        if (packets != packetsSeen) {
            packetsSeen = packets;
            lastArrival = now;
        }
        if (status && now - lastStatus >= 1000) {
            wchar_t line[kStatusCapacity];
            formatStatus(line, packets, packetsAtStatus, 1000, uint32_t((now - started) / 60000));
            printLine(line);
            packetsAtStatus = packets;
            lastStatus = now;
        }
        if (notifying && now - lastNotify >= kNotifyStatusMs) {
            notifyStatus(packets, packetsAtNotify, uint32_t(now - lastNotify), uint32_t((now - started) / 60000));
            packetsAtNotify = packets;
            lastNotify = now;
        }
        uint64_t done = gIntakeDone.load(std::memory_order_relaxed);
        if (done != intakeSeen || !gInIntake.load(std::memory_order_relaxed)) {
            intakeSeen = done;
            lastIntakeMove = now;
        }
        if (watchdog && now - lastWatchdog >= watchdog && now - lastIntakeMove < watchdog) {
            serviceNotify("WATCHDOG=1");
            lastWatchdog = now;
        }
        if (options.exitWhenIdleSeconds >= 0 && gLive.load() == 0 &&
            now - lastArrival >= uint64_t(options.exitWhenIdleSeconds) * 1000)
            break;
    }
}

// The window's shutdown: the receiver first, so nothing new arrives; objects
// being finished are completed whole; then, when asked for, the temporary
// files this receiver made, after the workers have discarded their objects.
void shutDown() {
    serviceNotify("STOPPING=1");
    stopReception(gReceiverPlugin);
    int32_t clearTmp = 0;
    if (gReceiverPlugin.receptionStarted) {
        readConfigInt("clear_tmp", &clearTmp);
        settleTransfers(gExtraction, clearTmp != 0, 5000, nullptr, nullptr);
    }
    endOwnFiles(gExtraction, clearTmp != 0);
}

}  // namespace

int main(int argc, char** argv) {
    useUtf8Console();
    Options options;
    if (int done = parseOptions(argc, argv, options)) return done == 1 ? 0 : 2;
    // Messages keep the core's default: "caption: text" on standard error.
    onStopRequest(requestStop);
    if (!startUp()) {
        shutDown();
        return 1;
    }
    // The filter is set and packets flow: the service is up.
    serviceNotify("READY=1");
    runUntilStopped(options);
    shutDown();
    // What became of everything that arrived: the answer when a file did not come.
    printCounterReport(gExtraction.counters, stdout);
    flushLog(gLog);
    return 0;
}
