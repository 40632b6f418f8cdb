// The stand-in receiver plug-ins, loaded from the build and driven through
// their exports the way the program drives a receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plugins/satip_discovery.h"
#include "plugins/satip_net.h"
#include "plugins/satip_session.h"
#include "reception/receiver_plugin.h"
#include "tests/test_support.h"
#include "tools/broadcast_udp.h"

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kPid = 1001;
constexpr int32_t kOtherPid = 1002;

// ---- Loading ---------------------------------------------------------------

// Loaded once and kept, as the program keeps its plug-in: a library whose
// thread outlived a failed test must not be unloaded under it.
const ReceiverPlugin* loadPlugin(const char* name) {
#if defined(_WIN32)
    const fs::path path = fs::path(QM_PLUGIN_DIR) / (std::string(name) + ".dll");
#else
    const fs::path path = fs::path(QM_PLUGIN_DIR) / (std::string(name) + ".so");
#endif
    auto* p = new ReceiverPlugin;
    LibraryLoad result;
    p->library = loadLibraryFile(path.wstring().c_str(), &result);
    if (!p->library) {
        ADD_FAILURE() << "cannot load " << path.string();
        return nullptr;
    }
    int missing = resolvePluginExports(*p);
    if (missing >= 0) {
        ADD_FAILURE() << path.string() << " does not export " << kPluginExportNames[missing];
        return nullptr;
    }
    return p;
}

const ReceiverPlugin* streamReader() {
    static const ReceiverPlugin* p = loadPlugin("streamreader");
    return p;
}

const ReceiverPlugin* streamSplitter() {
    static const ReceiverPlugin* p = loadPlugin("streamsplitter");
    return p;
}

// ---- Recording what arrives --------------------------------------------------

// The callback has no context argument, so what it sees goes here.
struct Recorder {
    std::mutex mutex;
    std::vector<Bytes> packets;
    std::set<std::thread::id> threads;
    std::atomic<size_t> count{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> badLength{false};
    // A slow callback keeps the plug-in's thread busy inside it, where a
    // DelFilter that does not wait for the thread would return too early.
    std::atomic<int> callbackMilliseconds{0};
};
Recorder* gRecorder = nullptr;

void QM_PLUGIN_CALL onPacket(const uint8_t* packet, int32_t length) {
    Recorder& r = *gRecorder;
    if (r.inside.fetch_add(1) != 0) r.overlapped = true;
    if (length != 188) r.badLength = true;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.packets.emplace_back(packet, packet + (length > 0 ? length : 0));
        r.threads.insert(std::this_thread::get_id());
    }
    if (int ms = r.callbackMilliseconds) std::this_thread::sleep_for(milliseconds(ms));
    ++r.count;
    r.inside.fetch_sub(1);
}

bool waitFor(const std::function<bool()>& condition, milliseconds limit = milliseconds(10000)) {
    auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// A receiver started, tuned and filtering kPid as the program does it;
// stopped again at the end of the scope.
struct Reception {
    const ReceiverPlugin& plugin;
    Recorder recorder;
    int32_t handle = 0;
    bool filtering = false;
    Clock::time_point filterSet;

    explicit Reception(const ReceiverPlugin& p) : plugin(p) {
        gRecorder = &recorder;
        EXPECT_NE(plugin.CheckForDVB(), 0);
        EXPECT_NE(plugin.StartDVB(), 0);
        EXPECT_NE(plugin.SendDiSEqC(1, 0xF0), 0);
        EXPECT_NE(plugin.SetChannel(12226000, 27500000, 0, 0, 9750000, 10600000, 11700000), 0);
        filterSet = Clock::now();
        filtering = plugin.SetFilter(kPid, onPacket, 2, 1, &handle) != 0;
        EXPECT_TRUE(filtering);
        EXPECT_NE(handle, 0);
    }
    ~Reception() {
        if (filtering) plugin.DelFilter(handle);
        plugin.StopDVB();
        gRecorder = nullptr;
    }
    void stopFilter() {
        EXPECT_NE(plugin.DelFilter(handle), 0);
        filtering = false;
    }
    bool waitForPackets(size_t n) {
        return waitFor([&] { return recorder.count >= n; });
    }
    // After DelFilter: nothing more, from one thread of the plug-in's own.
    void expectDelivered(const std::vector<Bytes>& expected) {
        EXPECT_FALSE(recorder.overlapped) << "callbacks ran concurrently";
        EXPECT_FALSE(recorder.badLength);
        std::lock_guard<std::mutex> lock(recorder.mutex);
        EXPECT_EQ(recorder.threads.size(), 1u);
        EXPECT_EQ(recorder.threads.count(std::this_thread::get_id()), 0u);
        ASSERT_EQ(recorder.packets.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(recorder.packets[i], expected[i]) << "packet " << i;
    }
};

// ---- What the plug-ins say -----------------------------------------------------

// Standard error, which the plug-ins share with the tests (one C runtime),
// sent to a file for the scope.
class StandardErrorCapture {
public:
    StandardErrorCapture() : file_(std::tmpfile()) {
        std::fflush(stderr);
        if (!file_) return;
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    ~StandardErrorCapture() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
        }
        if (file_) std::fclose(file_);
    }
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;
    std::string text() {
        std::fflush(stderr);
        std::string result;
        if (!file_) return result;
        std::rewind(file_);
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) result.append(chunk, n);
        std::fseek(file_, 0, SEEK_END);
        return result;
    }

private:
    FILE* file_;
    int saved_ = -1;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---- Streams and settings ------------------------------------------------------

// A packet of `pid` whose payload carries `serial`, so that each is unique.
Bytes makePacket(int32_t pid, uint32_t serial) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = uint8_t(pid >> 8);
    p[2] = uint8_t(pid);
    p[3] = uint8_t(0x10 | (serial & 0x0F));
    for (int i = 0; i < 4; ++i) p[4 + i] = uint8_t(serial >> (8 * i));
    return p;
}

Bytes joined(const std::vector<Bytes>& packets) {
    Bytes out;
    for (const Bytes& p : packets) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The packets of `pid` among the whole packets of `stream` from `offset`.
std::vector<Bytes> packetsOf(const Bytes& stream, size_t offset, int32_t pid) {
    std::vector<Bytes> out;
    for (size_t at = offset; at + 188 <= stream.size(); at += 188)
        if ((((stream[at + 1] & 0x1F) << 8) | stream[at + 2]) == pid)
            out.emplace_back(stream.begin() + long(at), stream.begin() + long(at) + 188);
    return out;
}

std::string utf8(const std::wstring& path) { return fs::path(path).u8string(); }

void writeSettings(const ScratchDirectory& dir, const wchar_t* name, const std::vector<std::string>& lines,
                   const char* lineEnd = "\r\n") {
    std::string text;
    for (const std::string& line : lines) text += line + lineEnd;
    writeWholeFile(dir.file(name), text);
}

void writeStream(const ScratchDirectory& dir, const wchar_t* name, const Bytes& bytes) {
    writeWholeFile(dir.file(name), std::string(bytes.begin(), bytes.end()));
}

// ---- streamreader --------------------------------------------------------------

TEST(StreamReader, ReplaysOnePidOfACaptureInOrderFromItsOwnThread) {
    QM_REQUIRE_CAPTURES();
    ASSERT_TRUE(streamReader());
    ScratchDirectory dir("plugin-replay");
    CurrentDirectoryScope inside(dir.path);
    std::vector<unsigned char> capture = readCapture("tsduck-test_test-202.ts");
    ASSERT_FALSE(capture.empty());
    std::vector<Bytes> expected = packetsOf(Bytes(capture.begin(), capture.end()), 0, kPid);
    ASSERT_EQ(expected.size(), 5281u);
    // LF line ends, as an editor outside Windows writes them.
    writeSettings(dir, L"streamreader.ini", {"capture = " + utf8(capturePath("tsduck-test_test-202.ts")), "rate_kbps = 0"},
                  "\n");

    Reception reception(*streamReader());
    ASSERT_TRUE(reception.waitForPackets(expected.size()));
    std::this_thread::sleep_for(milliseconds(100));  // the end of the file is the end
    reception.stopFilter();
    reception.expectDelivered(expected);
}

TEST(StreamReader, FindsThePacketBoundaryAndSkipsAPartialLastPacket) {
    QM_REQUIRE_CAPTURES();
    ASSERT_TRUE(streamReader());
    ScratchDirectory dir("plugin-resync");
    CurrentDirectoryScope inside(dir.path);
    std::vector<unsigned char> capture = readCapture("tsduck-test_test-202.ts");
    const size_t packets = 3000;
    ASSERT_GE(capture.size(), 188 * (packets + 1));
    // From 5 bytes into packet 0 to 100 bytes into packet `packets`.
    Bytes cut(capture.begin() + 5, capture.begin() + long(188 * packets + 100));
    writeStream(dir, L"cut.ts", cut);
    std::vector<Bytes> expected = packetsOf(Bytes(capture.begin(), capture.begin() + long(188 * packets)), 188, kPid);
    ASSERT_GT(expected.size(), 100u);
    writeSettings(dir, L"streamreader.ini", {"capture = cut.ts", "rate_kbps = 0", "loop = 0"});

    Reception reception(*streamReader());
    ASSERT_TRUE(reception.waitForPackets(expected.size()));
    std::this_thread::sleep_for(milliseconds(100));
    reception.stopFilter();
    reception.expectDelivered(expected);
}

TEST(StreamReader, PacesTheWholeStreamAtTheConfiguredRate) {
    ASSERT_TRUE(streamReader());
    ScratchDirectory dir("plugin-pace");
    CurrentDirectoryScope inside(dir.path);
    std::vector<Bytes> stream;
    for (uint32_t i = 0; i < 400; ++i) stream.push_back(makePacket(i % 4 == 3 ? kOtherPid : kPid, i));
    writeStream(dir, L"paced.ts", joined(stream));
    writeSettings(dir, L"streamreader.ini", {"capture = paced.ts", "rate_kbps = 2000"});

    Reception reception(*streamReader());
    // 75 packets of kPid arrive with packet 100 of the stream: 100 packets of
    // 1504 bits at 2000 kbit/s take 75 ms. Only a lower bound: machines are slow.
    ASSERT_TRUE(reception.waitForPackets(76));
    double seconds = std::chrono::duration<double>(Clock::now() - reception.filterSet).count();
    EXPECT_GE(seconds, 0.060);
}

TEST(StreamReader, LoopsUntilTheFilterGoesAndNotAPacketAfter) {
    ASSERT_TRUE(streamReader());
    ScratchDirectory dir("plugin-loop");
    CurrentDirectoryScope inside(dir.path);
    std::vector<Bytes> stream;
    for (uint32_t i = 0; i < 10; ++i) stream.push_back(makePacket(i % 2 ? kOtherPid : kPid, i));
    writeStream(dir, L"short.ts", joined(stream));
    writeSettings(dir, L"streamreader.ini", {"capture = short.ts", "rate_kbps = 0", "loop = 1"});
    std::vector<Bytes> once = packetsOf(joined(stream), 0, kPid);

    Reception reception(*streamReader());
    reception.recorder.callbackMilliseconds = 2;
    ASSERT_TRUE(reception.waitForPackets(once.size() * 4));
    reception.stopFilter();
    size_t delivered = reception.recorder.count.load();
    EXPECT_EQ(reception.recorder.inside.load(), 0);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(reception.recorder.count.load(), delivered);
    std::vector<Bytes> expected;
    for (size_t i = 0; i < delivered; ++i) expected.push_back(once[i % once.size()]);
    reception.expectDelivered(expected);
}

TEST(StreamReader, ReportsNoReceiverForMissingOrBadSettings) {
    ASSERT_TRUE(streamReader());
    ScratchDirectory dir("plugin-reader-settings");
    CurrentDirectoryScope inside(dir.path);
    writeStream(dir, L"good.ts", joined({makePacket(kPid, 0), makePacket(kPid, 1)}));
    writeStream(dir, L"noise.ts", Bytes(2000, 0x11));
    const struct {
        std::vector<std::string> lines;  // empty: no settings file at all
        int32_t found;
    } cases[] = {
        {{}, 0},
        {{"rate_kbps = 100"}, 0},
        {{"capture = missing.ts"}, 0},
        {{"capture = noise.ts"}, 0},
        {{"capture = good.ts", "rate_kbps = fast"}, 0},
        {{"capture = good.ts", "rate_kbps = -5"}, 0},
        {{"capture = good.ts", "loop = yes"}, 0},
        {{"capture = good.ts", "just some words"}, 0},
        {{"; a comment", "CAPTURE=good.ts", "Loop = 1", "rate_kbps = 5"}, 1},
    };
    for (const auto& c : cases) {
        std::wstring settings = dir.file(L"streamreader.ini");
        if (c.lines.empty())
            std::filesystem::remove(settings);
        else
            writeSettings(dir, L"streamreader.ini", c.lines);
        std::string shown = c.lines.empty() ? "(no file)" : c.lines.back();
        EXPECT_EQ(streamReader()->CheckForDVB() != 0, c.found != 0) << shown;
    }
}

TEST(StreamReader, FindsThePacketBoundaryAgainAfterLostOrExtraBytesAndSaysHowManyItSkipped) {
    ASSERT_TRUE(streamReader());
    ScratchDirectory dir("plugin-reader-resync");
    CurrentDirectoryScope inside(dir.path);
    std::vector<Bytes> packets;
    for (uint32_t i = 0; i < 120; ++i) packets.push_back(makePacket(i % 5 == 4 ? kOtherPid : kPid, i));
    const Bytes whole = joined(packets);
    Bytes junk(50, 0x00);
    junk[0] = junk[17] = junk[40] = 0x47;  // stray sync bytes that do not recur
    const struct {
        const char* what;
        size_t at;         // where bytes are taken out or put in
        size_t lost;       // bytes taken out there
        Bytes extra;       // bytes put in there
        uint32_t missing;  // the serial of the one packet not delivered, or ~0u
        uint64_t skipped;
    } cases[] = {
        {"one byte lost inside packet 50", 188 * 50 + 100, 1, {}, 50, 187},
        {"the sync byte of packet 30 lost", 188 * 30, 1, {}, 30, 187},
        {"the sync byte of packet 30 damaged", 188 * 30, 1, {0x00}, 30, 188},
        {"junk between packets 20 and 21", 188 * 21, 0, junk, ~0u, 50},
        {"one extra byte behind packet 60", 188 * 61, 0, {0xFF}, ~0u, 1},
        {"a partial packet behind the last one", whole.size(), 0, Bytes(150, 0x47), ~0u, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes damaged(whole.begin(), whole.begin() + long(c.at));
        damaged.insert(damaged.end(), c.extra.begin(), c.extra.end());
        damaged.insert(damaged.end(), whole.begin() + long(c.at + c.lost), whole.end());
        writeStream(dir, L"damaged.ts", damaged);
        writeSettings(dir, L"streamreader.ini", {"capture = damaged.ts", "rate_kbps = 0"});
        std::vector<Bytes> expected;
        for (uint32_t i = 0; i < packets.size(); ++i)
            if (i % 5 != 4 && i != c.missing) expected.push_back(packets[i]);

        StandardErrorCapture said;
        {
            Reception reception(*streamReader());
            ASSERT_TRUE(reception.waitForPackets(expected.size()));
            std::this_thread::sleep_for(milliseconds(100));  // the end of the file is the end
            reception.stopFilter();
            reception.expectDelivered(expected);
        }
        std::string text = said.text();
        if (c.skipped == 0)
            EXPECT_FALSE(contains(text, "skipped")) << text;
        else
            EXPECT_TRUE(contains(text, "streamreader: streamreader.ini: damaged.ts: lost the packet boundary 1 time(s); "
                                       "skipped " + std::to_string(c.skipped) + " byte(s)"))
                << text;
    }
}

TEST(StreamReader, SaysWhichSettingsKeysItDoesNotKnow) {
    ASSERT_TRUE(streamReader());
    ScratchDirectory dir("plugin-reader-keys");
    CurrentDirectoryScope inside(dir.path);
    writeStream(dir, L"good.ts", joined({makePacket(kPid, 0), makePacket(kPid, 1)}));
    const struct {
        std::vector<std::string> lines;
        std::vector<std::string> unknown;
    } cases[] = {
        {{"capture = good.ts", "rate = 100"}, {"rate"}},
        {{"capture = good.ts", "Rate_KBPS = 100", "LOOP = 1"}, {}},
        {{"capture = good.ts", "rate_kpbs = 100", "looping = 1"}, {"rate_kpbs", "looping"}},
        {{"capture = good.ts"}, {}},
    };
    for (const auto& c : cases) {
        writeSettings(dir, L"streamreader.ini", c.lines);
        StandardErrorCapture said;
        EXPECT_NE(streamReader()->CheckForDVB(), 0);  // still a receiver: the key is only ignored
        std::string text = said.text();
        for (const std::string& key : c.unknown)
            EXPECT_TRUE(contains(text, "streamreader: streamreader.ini: unknown key '" + key + "' ignored")) << text;
        if (c.unknown.empty()) {
            EXPECT_FALSE(contains(text, "unknown key")) << text;
        }
    }
}

TEST(StreamReader, SetFilterSaysWhyItRefusesAPidOutsideTheRange) {
    ASSERT_TRUE(streamReader());
    ScratchDirectory dir("plugin-reader-pid");
    CurrentDirectoryScope inside(dir.path);
    writeStream(dir, L"good.ts", joined({makePacket(kPid, 0), makePacket(kPid, 1)}));
    writeSettings(dir, L"streamreader.ini", {"capture = good.ts", "rate_kbps = 0"});
    const ReceiverPlugin& plugin = *streamReader();
    Recorder recorder;
    gRecorder = &recorder;
    ASSERT_NE(plugin.CheckForDVB(), 0);
    ASSERT_NE(plugin.StartDVB(), 0);
    const struct {
        int32_t pid;
        bool accepted;
    } cases[] = {{-1, false}, {8192, false}, {INT32_MAX, false}, {0, true}, {8191, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pid);
        StandardErrorCapture said;
        int32_t handle = 0;
        EXPECT_EQ(plugin.SetFilter(c.pid, onPacket, 2, 1, &handle) != 0, c.accepted);
        if (handle != 0) {
            EXPECT_NE(plugin.DelFilter(handle), 0);
        }
        std::string text = said.text();
        if (c.accepted) {
            EXPECT_EQ(text, "");
        } else {
            EXPECT_TRUE(contains(text, "streamreader: SetFilter: PID " + std::to_string(c.pid) +
                                           " is outside 0 to 8191; no filter installed"))
                << text;
        }
    }
    plugin.StopDVB();
    gRecorder = nullptr;
}

// ---- Stopping from inside the callback -------------------------------------------

// What the callback below does on its first packet, and what came of it.
struct InsideStop {
    const ReceiverPlugin* plugin = nullptr;
    bool callDelFilter = true;  // else StopDVB
    std::atomic<int32_t> handle{0};
    std::atomic<int> packets{0};
    std::atomic<bool> returned{false};
    std::atomic<int32_t> result{-1};
};
InsideStop* gInside = nullptr;

void QM_PLUGIN_CALL stopFromInside(const uint8_t*, int32_t) {
    InsideStop& s = *gInside;
    if (s.packets.fetch_add(1) != 0) return;
    // SetFilter hands the handle back only when it returns.
    waitFor([&] { return s.handle.load() != 0; });
    s.result = s.callDelFilter ? s.plugin->DelFilter(s.handle) : s.plugin->StopDVB();
    s.returned = true;
}

TEST(StreamReader, DelFilterOrStopDvbFromInsideTheCallbackEndsDeliveryWithoutDeadlock) {
    ASSERT_TRUE(streamReader());
    ScratchDirectory dir("plugin-reader-inside");
    CurrentDirectoryScope inside(dir.path);
    std::vector<Bytes> stream;
    for (uint32_t i = 0; i < 50; ++i) stream.push_back(makePacket(kPid, i));
    writeStream(dir, L"loop.ts", joined(stream));
    writeSettings(dir, L"streamreader.ini", {"capture = loop.ts", "rate_kbps = 0", "loop = 1"});
    const ReceiverPlugin& plugin = *streamReader();
    for (bool callDelFilter : {true, false}) {
        SCOPED_TRACE(callDelFilter ? "DelFilter" : "StopDVB");
        InsideStop s;
        s.plugin = &plugin;
        s.callDelFilter = callDelFilter;
        gInside = &s;
        ASSERT_NE(plugin.CheckForDVB(), 0);
        ASSERT_NE(plugin.StartDVB(), 0);
        int32_t handle = 0;
        ASSERT_NE(plugin.SetFilter(kPid, stopFromInside, 2, 1, &handle), 0);
        s.handle = handle;
        // A deadlock leaves the plug-in's thread stuck: nothing can be cleaned up.
        ASSERT_TRUE(waitFor([&] { return s.returned.load(); }, milliseconds(5000)));
        EXPECT_EQ(s.result.load(), 1);
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(s.packets.load(), 1);  // not a packet after the call

        // From outside, the ended thread is reaped and a new filter delivers.
        auto reaped = std::make_shared<std::atomic<bool>>(false);
        const ReceiverPlugin* p = &plugin;
        std::thread([p, reaped] {
            p->StopDVB();
            *reaped = true;
        }).detach();
        ASSERT_TRUE(waitFor([&] { return reaped->load(); }, milliseconds(5000)));
        gInside = nullptr;
        Reception again(plugin);
        EXPECT_TRUE(again.waitForPackets(60));
    }
}

// ---- streamsplitter ------------------------------------------------------------

// A UDP port that was free a moment ago.
uint16_t freePort() {
    UdpSocket probe;
    return probe.bindLoopback();
}

constexpr uint32_t kLoopback = 0x7F000001;

Bytes rtpHeader(int csrcCount, int extensionWords) {
    Bytes h = {uint8_t(0x80 | (extensionWords >= 0 ? 0x10 : 0) | csrcCount), 33, 0x12, 0x34, 0, 0, 0, 1, 9, 9, 9, 9};
    h.resize(12 + 4 * size_t(csrcCount), 0xCC);
    if (extensionWords >= 0) {
        Bytes extension = {0xBE, 0xDE, 0, uint8_t(extensionWords)};
        extension.resize(4 + 4 * size_t(extensionWords), 0x47);  // sync bytes to mislead a careless parser
        h.insert(h.end(), extension.begin(), extension.end());
    }
    return h;
}

TEST(StreamSplitter, DeliversEachPacketOnceInOrderWhateverTheFraming) {
    ASSERT_TRUE(streamSplitter());
    ScratchDirectory dir("plugin-udp");
    CurrentDirectoryScope inside(dir.path);
    const uint16_t port = freePort();
    writeSettings(dir, L"streamsplitter.ini", {"address = 127.0.0.1", "port = " + std::to_string(port)});

    uint32_t serial = 0;
    auto packets = [&](size_t n) {
        std::vector<Bytes> out;
        for (size_t i = 0; i < n; ++i, ++serial) out.push_back(makePacket(serial % 3 == 2 ? kOtherPid : kPid, serial));
        return joined(out);
    };
    const struct {
        const char* what;
        Bytes prefix;
        size_t packets;
        size_t strayBytes;  // after the packets
        bool delivered;
    } datagrams[] = {
        {"seven packets", {}, 7, 0, true},
        {"one packet", {}, 1, 0, true},
        {"RTP", rtpHeader(0, -1), 7, 0, true},
        {"RTP with CSRCs and an extension", rtpHeader(2, 3), 4, 0, true},
        {"RTP with bytes after the packets", rtpHeader(0, -1), 2, 4, true},
        {"packets and stray bytes", {}, 7, 5, false},
        {"less than a packet", {}, 0, 100, false},
        {"RTP not followed by a packet", rtpHeader(0, -1), 0, 200, false},
    };

    Reception reception(*streamSplitter());
    UdpSocket sender;
    std::vector<Bytes> expected;
    for (const auto& d : datagrams) {
        Bytes body = packets(d.packets);
        Bytes datagram = d.prefix;
        datagram.insert(datagram.end(), body.begin(), body.end());
        datagram.resize(datagram.size() + d.strayBytes, 0x00);
        sender.sendTo(kLoopback, port, datagram.data(), datagram.size());
        if (d.delivered) {
            std::vector<Bytes> mine = packetsOf(body, 0, kPid);
            expected.insert(expected.end(), mine.begin(), mine.end());
        }
    }
    // Then a stream the way a head-end sends it.
    Bytes stream = packets(140);
    sendStream(stream, kLoopback, port, 20000);
    std::vector<Bytes> streamed = packetsOf(stream, 0, kPid);
    expected.insert(expected.end(), streamed.begin(), streamed.end());

    ASSERT_TRUE(reception.waitForPackets(expected.size()));
    std::this_thread::sleep_for(milliseconds(100));
    reception.stopFilter();
    reception.expectDelivered(expected);
}

TEST(StreamSplitter, DelFilterStopsDeliveryPromptly) {
    ASSERT_TRUE(streamSplitter());
    ScratchDirectory dir("plugin-udp-stop");
    CurrentDirectoryScope inside(dir.path);
    const uint16_t port = freePort();
    writeSettings(dir, L"streamsplitter.ini", {"address = 127.0.0.1", "port = " + std::to_string(port)}, "\n");
    Bytes datagram = joined({makePacket(kPid, 1), makePacket(kPid, 2)});

    Reception reception(*streamSplitter());
    UdpSocket sender;
    sender.sendTo(kLoopback, port, datagram.data(), datagram.size());
    ASSERT_TRUE(reception.waitForPackets(2));
    auto start = Clock::now();
    reception.stopFilter();
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
    size_t delivered = reception.recorder.count.load();
    sender.sendTo(kLoopback, port, datagram.data(), datagram.size());
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(reception.recorder.count.load(), delivered);
}

TEST(StreamSplitter, ReportsNoReceiverForMissingOrBadSettings) {
    ASSERT_TRUE(streamSplitter());
    ScratchDirectory dir("plugin-udp-settings");
    CurrentDirectoryScope inside(dir.path);
    const std::string port = "port = " + std::to_string(freePort());
    const struct {
        std::vector<std::string> lines;  // empty: no settings file at all
        int32_t found;
    } cases[] = {
        {{}, 0},
        {{port}, 0},
        {{"address = 127.0.0.1"}, 0},
        {{"address = 127.0.0.1", "port = 0"}, 0},
        {{"address = 127.0.0.1", "port = 70000"}, 0},
        {{"address = 127.0.0.256", port}, 0},
        {{"address = localhost", port}, 0},
        {{"address = 127.0.0.1", port, "interface = eth0"}, 0},
        {{"Address=127.0.0.1", port}, 1},
        {{"source = UDP", "address = 127.0.0.1", port}, 1},
        {{"source = rtp", "address = 127.0.0.1", port}, 0},
    };
    for (const auto& c : cases) {
        std::wstring settings = dir.file(L"streamsplitter.ini");
        if (c.lines.empty())
            std::filesystem::remove(settings);
        else
            writeSettings(dir, L"streamsplitter.ini", c.lines);
        std::string shown;
        for (const std::string& line : c.lines) shown += line + "; ";
        EXPECT_EQ(streamSplitter()->CheckForDVB() != 0, c.found != 0) << shown;
    }
}


TEST(StreamSplitter, SaysWhichSettingsKeysItDoesNotKnow) {
    ASSERT_TRUE(streamSplitter());
    ScratchDirectory dir("plugin-udp-keys");
    CurrentDirectoryScope inside(dir.path);
    const std::string port = "port = " + std::to_string(freePort());
    const struct {
        std::vector<std::string> lines;
        std::vector<std::string> unknown;
    } cases[] = {
        {{"address = 127.0.0.1", port, "interfce = 127.0.0.1"}, {"interfce"}},
        {{"ADDRESS = 127.0.0.1", port, "Interface = 127.0.0.1"}, {}},
        {{"address = 127.0.0.1", port, "group = 239.1.2.3", "rate_kbps = 5"}, {"group", "rate_kbps"}},
        {{"source = udp", "address = 127.0.0.1", port, "server = tuner", "msys = dvbs", "transport = tcp"}, {}},
    };
    for (const auto& c : cases) {
        writeSettings(dir, L"streamsplitter.ini", c.lines);
        StandardErrorCapture said;
        EXPECT_NE(streamSplitter()->CheckForDVB(), 0);  // still a receiver: the key is only ignored
        std::string text = said.text();
        for (const std::string& key : c.unknown)
            EXPECT_TRUE(contains(text, "streamsplitter: streamsplitter.ini: unknown key '" + key + "' ignored")) << text;
        if (c.unknown.empty()) {
            EXPECT_FALSE(contains(text, "unknown key")) << text;
        }
    }
}

// ---- streamsplitter from a SAT>IP server ------------------------------------

// A server of the fewest words, one RTSP connection at a time: answers each request,
// SETUP with `setupStatus`, and after PLAY sends `packets` and a tuner report
// inside the connection.
struct TinySatipServer {
    Socket listener;
    uint16_t port = 0;
    int setupStatus = 200;
    std::vector<Bytes> packets;
    std::mutex mutex;
    std::string requests;  // all of them, as received
    std::atomic<bool> stop{false};
    std::thread thread;

    TinySatipServer() {
        startNetwork();
        listener.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address = ipv4(0x7F000001, 0);
        socklen_t size = sizeof address;
        bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        listen(listener.get(), 4);
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    void start() { thread = std::thread([this] { serve(); }); }
    ~TinySatipServer() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    std::string seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
    static void sendAll(NativeSocket s, const std::string& data) { send(s, data.data(), int(data.size()), kSendFlags); }
    static std::string frame(int channel, const std::string& payload) {
        return std::string{'$', char(channel), char(payload.size() >> 8), char(payload.size() & 0xFF)} + payload;
    }
    void serve() {
        Socket client;
        std::string buffer;
        uint16_t sequence = 0;
        while (!stop) {
            if (!client.valid()) {
                if (::waitFor(listener.get(), false, 50)) client.reset(accept(listener.get(), nullptr, nullptr));
                continue;
            }
            if (!::waitFor(client.get(), false, 50)) continue;
            char chunk[4096];
            auto n = recv(client.get(), chunk, int(sizeof chunk), 0);
            if (n <= 0) {  // the next request may come on a new connection
                client.reset();
                buffer.clear();
                continue;
            }
            buffer.append(chunk, size_t(n));
            size_t end;
            while ((end = buffer.find("\r\n\r\n")) != std::string::npos) {
                const std::string request = buffer.substr(0, end + 4);
                buffer.erase(0, end + 4);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    requests += request;
                }
                const std::string method = request.substr(0, request.find(' '));
                const int status = method == "SETUP" ? setupStatus : 200;
                std::string reply = "RTSP/1.0 " + std::to_string(status) + (status == 200 ? " OK" : " Service Unavailable") +
                                    "\r\nCSeq: " + headerValue(request, "CSeq") +
                                    "\r\nSession: 42;timeout=30\r\ncom.ses.streamID: 5\r\n"
                                    "Transport: RTP/AVP/TCP;interleaved=0-1\r\n\r\n";
                sendAll(client.get(), reply);
                if (method != "PLAY") continue;
                for (const Bytes& packet : packets) {
                    std::string rtp = {char(0x80), 33, char(sequence >> 8), char(sequence & 0xFF), 0, 0, 0, 0, 0, 0, 0, 1};
                    ++sequence;
                    sendAll(client.get(), frame(0, rtp + std::string(packet.begin(), packet.end())));
                }
                const std::string report = "ver=1.0;src=1;tuner=1,200,1,15,12226.00,h,dvbs,,,,27500,34;pids=1001";
                std::string rtcp = {char(0x80), char(204), 0, char((16 + report.size()) / 4 - 1), 0, 0, 0, 1, 'S', 'E', 'S', '1',
                                    0, 0, 0, char(report.size())};
                sendAll(client.get(), frame(1, rtcp + report));
            }
        }
    }
};

TEST(StreamSplitterSatip, TunesAsAskedDeliversReportsTheSignalAndTearsDownPromptly) {
    ASSERT_TRUE(streamSplitter());
    ScratchDirectory dir("plugin-satip");
    CurrentDirectoryScope inside(dir.path);
    TinySatipServer server;
    std::vector<Bytes> sent;
    for (uint32_t i = 0; i < 50; ++i) sent.push_back(makePacket(i % 5 == 4 ? kOtherPid : kPid, i));
    server.packets = sent;
    server.start();
    writeSettings(dir, L"streamsplitter.ini",
                  {"source = satip", "server = 127.0.0.1:" + std::to_string(server.port), "msys = dvbs", "transport = tcp"});
    {
        Reception reception(*streamSplitter());
        ASSERT_TRUE(reception.filtering);
        EXPECT_TRUE(contains(server.seen(), "SETUP rtsp://127.0.0.1:" + std::to_string(server.port) +
                                                "/?src=1&freq=12226&pol=h&msys=dvbs&sr=27500&pids=1001 RTSP/1.0"))
            << server.seen();
        EXPECT_TRUE(reception.waitForPackets(40));
        char text[64] = "";
        ASSERT_TRUE(streamSplitter()->SignalStatus);
        EXPECT_TRUE(waitFor([&] {
            return streamSplitter()->SignalStatus(text, sizeof text) == 1 && std::string(text) == "lock 200/15, gaps 0";
        })) << text;
        auto asked = Clock::now();
        reception.stopFilter();
        EXPECT_LT(Clock::now() - asked, milliseconds(1500));
        EXPECT_TRUE(contains(server.seen(), "TEARDOWN rtsp://127.0.0.1:" + std::to_string(server.port) + "/stream=5"));
        EXPECT_EQ(streamSplitter()->SignalStatus(text, sizeof text), 0);
        reception.expectDelivered(packetsOf(joined(sent), 0, kPid));
    }

    TinySatipServer busy;
    busy.setupStatus = 503;
    busy.start();
    writeSettings(dir, L"streamsplitter.ini", {"source = satip", "server = 127.0.0.1:" + std::to_string(busy.port)});
    StandardErrorCapture said;
    ASSERT_NE(streamSplitter()->StartDVB(), 0);
    int32_t handle = 0;
    EXPECT_EQ(streamSplitter()->SetFilter(kPid, onPacket, 2, 1, &handle), 0);
    EXPECT_TRUE(contains(said.text(), "SETUP: no free tuner (RTSP/1.0 503 Service Unavailable)")) << said.text();
    streamSplitter()->StopDVB();
}

}  // namespace
