// Sequences of object datagrams through the whole extraction path: a real
// Extraction with its workers, temporary files and finished files.
//
// Four small objects are deflated into datagrams once, at start-up. The
// input is a little program that sends them whole, in pieces, repeated, out
// of order, with the extension flag, from other source addresses, damaged,
// cut short, on moved or shared keys, mixed with raw datagrams, cancels and
// pauses. After each input every Transfer is ended and the result is judged:
//
//   - a finished file is byte for byte the object whose first datagram
//     started its Transfer (objects started by raw datagrams are not judged);
//   - nothing lies outside tmp and ok, no temporary file is left, no partial
//     file, no row;
//   - a datagram the receiver must ignore (failed check, empty payload, too
//     long) never starts a Transfer.
//
// Losing an object is always allowed. Only datagrams that a receiver cannot
// tell from good ones are kept off the objects' keys: a damaged or raw
// datagram that still passes the check goes to a key of its own, and a
// datagram 2 or later of an object goes out only while that object's first
// datagram was the last first datagram sent on its key.
//
// QM_DISPATCH_FUZZ_OWN_KEYS=1 in the environment keeps every object on a key
// of its own (the "move" step does nothing), for runs that should look past a
// known fault of objects that share a key.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include "extraction/extraction.h"
#include "extraction/object_datagram.h"
#include "settings/messages.h"
#include "tools/broadcast_lib.h"

namespace fs = std::filesystem;

namespace {

constexpr int kObjectCount = 4;
constexpr int kRealKeys = 4;     // shared by the objects
constexpr int kForeignKeys = 2;  // for datagrams that pass the check but are not an object's own
constexpr uint32_t kIdleTimeoutMs = 50;
constexpr uint32_t kDrainLimitMs = 20000;
constexpr size_t kMaxSteps = 64;
constexpr uint32_t kMaxPauseMs = 60;  // per input, so that an idle time-out can happen mid-input
constexpr uint8_t kPauseOperation = 0xFF;
// Every so many runs is a slow one: pauses are kept, and the Transfers left
// at the end run into their idle time-out instead of being cancelled.
constexpr uint64_t kSlowRunEvery = 64;

// Who the datagram being sent belongs to, for the row callback.
constexpr int kOriginForeign = -1;
constexpr int kOriginMustIgnore = -2;

struct SentObject {
    ObjectToSend object;
    std::vector<Bytes> payloads;
};

struct State {
    std::vector<SentObject> objects;
    fs::path root, tmp, ok;
    Extraction extraction;
    FilterSet filters;
    LogFile quiet;

    // Written on the packet thread (this one) and by the workers.
    std::mutex mutex;
    std::map<std::wstring, int> origins;     // a Transfer's file name -> origin
    std::map<std::string, std::wstring> placed;  // native path of a finished file -> file name
    std::atomic<uint32_t> inserted{0};
    std::atomic<uint32_t> removed{0};
    int sending = kOriginMustIgnore;  // origin of the datagram in takeObjectDatagram now
    bool ownKeys = false;
};

State* gState = nullptr;

[[noreturn]] void fail(const char* what, const std::wstring& detail = L"") {
    std::fprintf(stderr, "dispatch_fuzz: %s %ls\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// The check, written out again here so that the receiver's own is not its judge.
bool checkHolds(const uint8_t* d, size_t length) {
    if (length < 2) return false;
    uint32_t h = 5381;
    for (size_t i = length - 2; i-- > 0;) h = ((h * 33) ^ uint32_t(d[i] - 48)) & 0xFFFF;
    return h == (uint32_t(d[length - 2]) | uint32_t(d[length - 1]) << 8);
}

// Whether a receiver has to take the datagram as an object's: type 8, the
// check, at most 2048 bytes before it, and a payload of at least one byte.
bool acceptable(const Bytes& d) {
    if (d.size() < kDatagramHeaderSize + kDatagramCheckSize || d[0] != kObjectDatagramType) return false;
    size_t start = kDatagramHeaderSize + ((d[5] & kExtensionFlag) ? kDatagramExtensionSize : 0);
    size_t body = d.size() - kDatagramCheckSize;
    return body > start && body <= kMaxDatagramBody && checkHolds(d.data(), d.size());
}

void rowInserted(void*, uint32_t, Transfer*, const wchar_t* fileName, int32_t, const wchar_t*) {
    State& s = *gState;
    if (s.sending == kOriginMustIgnore) fail("a datagram that must be ignored started a Transfer:", fileName);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.origins[fileName] = s.sending;
    s.inserted.fetch_add(1);
}

void rowRemoved(void*, const void*) { gState->removed.fetch_add(1); }

void filePlaced(void*, const wchar_t* fileName, const wchar_t* path, bool placed) {
    if (!placed) return;
    State& s = *gState;
    char native[4 * kMaxPath];
    if (!wideToUtf8(path, native, sizeof native)) fail("a placed path that cannot be spelt:", path);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.placed[native] = fileName;
}

void quietMessage(void*, const wchar_t*, const wchar_t*, MessageIcon) {}

Bytes noiseOf(size_t size, uint32_t seed) {
    Bytes bytes;
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes.push_back(uint8_t(seed >> 16));
    }
    return bytes;
}

// Words in a random order: compressible, but not to nothing.
Bytes textOf(size_t size, uint32_t seed) {
    static const char* const kWords[] = {"section ", "carousel ", "object ", "stream\r\n", "datagram "};
    Bytes bytes;
    for (uint8_t pick : noiseOf(size, seed)) {
        for (const char* c = kWords[pick % 5]; *c && bytes.size() < size; ++c) bytes.push_back(uint8_t(*c));
        if (bytes.size() == size) break;
    }
    return bytes;
}

Bytes withTail(Bytes bytes, uint32_t seed) {
    Bytes tail = noiseOf(32, seed);
    std::copy(tail.begin(), tail.end(), bytes.end() - 32);
    return bytes;
}

fs::path scratchBase() {
    std::error_code error;
    if (fs::is_directory("/dev/shm", error) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return fs::temp_directory_path();
}

// Scratch trees of runs that ended by a finding (and so without their
// clean-up) are removed by the next run.
void removeStaleScratch(const fs::path& base) {
    const std::string prefix = "quillmoth-dispatch-fuzz-";
    std::error_code error;
    for (fs::directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        long pid = std::atol(name.c_str() + prefix.size());
        if (pid > 0 && kill(pid_t(pid), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            fs::remove_all(it->path(), ignored);
        }
    }
}

void removeScratch() {
    std::error_code ignored;
    if (gState) fs::remove_all(gState->root, ignored);
}

void loadAdmitAll(State& s) {
    FilterRecord all{kFilterByCategory, CategoryTable[0].nameIdentity, CategoryTable[0].listIdentity, 0,
                     0xFFFFFFFFu};
    uint8_t bytes[kFilterRecordSize];
    encodeFilterRecord(all, bytes);
    std::wstring path = (s.root / "filters.qmf").wstring();
    FileHandle file = openFile(path.c_str(), FileAccess::readWrite, FileShare::none, FileCreation::createAlways);
    if (file == kNoFile || writeFile(file, bytes, sizeof bytes) != int64_t(sizeof bytes)) fail("cannot write", path);
    reload(s.filters, file);
    closeFile(file);
    deleteFile(path.c_str());
}

std::wstring withSeparator(const fs::path& path) { return path.wstring() + kPathSeparator; }

State& setUp() {
    auto* s = new State;
    gState = s;
    // Payloads of at most 200 bytes, so that each object has several and the
    // extension bytes always fit.
    EncodeOptions encode;
    encode.maxPayload = 200;
    const std::pair<const char*, Bytes> objects[kObjectCount] = {
        {"alpha.txt", textOf(5000, 3)},
        // Two of a size that differ only at the end, so that their datagrams
        // are cut alike: one swallowed into the other's Transfer completes it.
        {"beta.bin", noiseOf(900, 7)},
        {"zeta.bin", withTail(noiseOf(900, 7), 9)},
        {"gamma.jpg", textOf(30, 5)},  // one datagram
    };
    for (const auto& [name, content] : objects) {
        SentObject sent;
        sent.object.name = name;
        sent.object.content = content;
        sent.payloads = encodeObject(sent.object, encode);
        std::fprintf(stderr, "dispatch_fuzz: %s, %zu bytes in %zu datagrams\n", name, content.size(),
                     sent.payloads.size());
        s->objects.push_back(std::move(sent));
    }

    removeStaleScratch(scratchBase());
    s->root = scratchBase() / ("quillmoth-dispatch-fuzz-" + std::to_string(getpid()));
    std::error_code ignored;
    fs::remove_all(s->root, ignored);
    s->tmp = s->root / "tmp";
    s->ok = s->root / "ok";
    fs::create_directories(s->tmp);
    fs::create_directories(s->ok);
    std::atexit(removeScratch);

    const char* ownKeys = std::getenv("QM_DISPATCH_FUZZ_OWN_KEYS");
    s->ownKeys = ownKeys && std::strcmp(ownKeys, "1") == 0;
    useStream(s->quiet, std::fopen("/dev/null", "w"), false);
    MessageSink sink;
    sink.show = quietMessage;
    setMessageSink(sink);
    loadAdmitAll(*s);

    Extraction& x = s->extraction;
    initExtractionWith(x, kIdleTimeoutMs, 0);
    setSharedPath(x.tmpDir, withSeparator(s->tmp).c_str());
    setSharedPath(x.okDir, withSeparator(s->ok).c_str());
    x.filters = &s->filters;
    x.log = &s->quiet;
    x.view.rowInserted = rowInserted;
    x.view.rowRemoved = rowRemoved;
    x.view.filePlaced = filePlaced;
    return *s;
}

// The input, read a byte at a time; zeros once it is used up.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t word() { return uint16_t(byte() | byte() << 8); }
};

// One input's run of the program.
struct Run {
    State& s;
    int key[kObjectCount];     // the real key each object is sent on
    int owner[kRealKeys];      // whose datagram 1 went last on each real key
    size_t cursor[kObjectCount] = {};
    uint8_t sourceLow = 7;
    uint32_t paused = 0;
    bool slow;

    Run(State& state, bool slowRun) : s(state), slow(slowRun) {
        for (int j = 0; j < kObjectCount; ++j) key[j] = j;
        for (int k = 0; k < kRealKeys; ++k) owner[k] = -1;
    }

    DatagramAddress addressOf(int realKey, int foreignKey) const {
        DatagramAddress a;
        a.sourceAddress = 0xC0A80000u | sourceLow;  // not part of the key
        if (realKey >= 0) {
            a.destinationAddress = 0xEF010203;
            a.destinationPort = 5001;
            a.sourcePort = uint16_t(4000 + realKey);
        } else {
            a.destinationAddress = 0xEF010204;
            a.destinationPort = 6001;
            a.sourcePort = uint16_t(7000 + foreignKey);
        }
        return a;
    }

    void deliver(const Bytes& d, const DatagramAddress& address, int origin) {
        // An exact-size heap copy, so that a read past the datagram's end is caught.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[d.empty() ? 1 : d.size()]);
        if (!d.empty()) std::memcpy(copy.get(), d.data(), d.size());
        s.sending = origin;
        takeObjectDatagram(s.extraction, address, copy.get(), uint16_t(d.size()));
        s.sending = kOriginMustIgnore;
    }

    // An object's own datagram, unchanged (or with extension bytes added).
    void sendIntact(int j, size_t i, bool extension, uint32_t extensionValue) {
        const SentObject& o = s.objects[size_t(j)];
        i %= o.payloads.size();
        int k = key[j];
        if (i == 0)
            owner[k] = j;
        else if (owner[k] != j)
            return;  // the key now belongs to another object's Transfer
        DatagramFields fields;
        fields.sequence = uint32_t(i + 1);
        fields.extension = extension;
        fields.extensionValue = extensionValue;
        deliver(buildDatagram(fields, o.payloads[i]), addressOf(k, 0), j);
    }

    // A datagram that is not an object's own: on the object's key only when
    // the receiver must ignore it, otherwise on a foreign key.
    void sendOther(const Bytes& d, int realKey, int foreignKey) {
        if (acceptable(d))
            deliver(d, addressOf(-1, foreignKey % kForeignKeys), kOriginForeign);
        else
            deliver(d, addressOf(realKey, foreignKey % kForeignKeys), kOriginMustIgnore);
    }

    Bytes plain(int j, size_t i) const {
        const SentObject& o = s.objects[size_t(j)];
        i %= o.payloads.size();
        DatagramFields fields;
        fields.sequence = uint32_t(i + 1);
        return buildDatagram(fields, o.payloads[i]);
    }

    // So that idle Transfers may end mid-input; only in slow runs.
    void pause(uint8_t length) {
        if (!slow) return;
        uint32_t ms = length % 64;
        if (paused + ms > kMaxPauseMs) ms = kMaxPauseMs - paused;
        paused += ms;
        if (ms) sleepMilliseconds(ms);
    }

    void step(Reader& in) {
        // Pauses cost real time: one operation value of 256 asks for one.
        uint8_t op = in.byte();
        if (op == kPauseOperation) return pause(in.byte());
        int j = in.byte() % kObjectCount;
        switch (op % 12) {
        case 0:  // datagram i of object j
            sendIntact(j, in.byte(), false, 0);
            break;
        case 1:  // the object's next datagram
            sendIntact(j, cursor[j]++, false, 0);
            break;
        case 2:  // the whole object in order
            for (size_t i = 0; i < s.objects[size_t(j)].payloads.size(); ++i) sendIntact(j, i, false, 0);
            break;
        case 3: {  // one byte changed
            Bytes d = plain(j, in.byte());
            uint16_t at = in.word();
            uint8_t flip = in.byte();
            d[at % d.size()] ^= uint8_t(flip ? flip : 1);
            sendOther(d, key[j], 0);
            break;
        }
        case 4: {  // with the four extension bytes
            size_t i = in.byte();
            sendIntact(j, i, true, uint32_t(in.byte()) * 0x01010101u);
            break;
        }
        case 5: {  // the object moves to another key
            int k = in.byte() % kRealKeys;
            if (!s.ownKeys) key[j] = k;
            break;
        }
        case 6: {  // raw bytes as a datagram
            size_t length = in.word() % 2112;
            int realKey = in.byte() % kRealKeys;
            Bytes d;
            while (d.size() < length && in.more()) d.push_back(in.byte());
            sendOther(d, realKey, in.byte());
            break;
        }
        case 7: {  // cut short
            Bytes d = plain(j, in.byte());
            d.resize(in.word() % d.size());
            sendOther(d, key[j], 1);
            break;
        }
        case 8: {  // the user deletes the Transfer of a key
            int k = in.byte() % kRealKeys;
            DatagramAddress a = addressOf(k, 0);
            Transfer* t = findTransfer(s.extraction.table, a.destinationAddress, a.destinationPort, a.sourcePort);
            if (t) {
                cancelTransfer(t);
                unlockMutex(s.extraction.table.mutex);
            }
            break;
        }
        case 9:  // finished files sorted by extension, or not
            s.extraction.sortByExtension.store(in.byte() & 1);
            break;
        case 10: {  // a datagram with a good check that must still be ignored
            uint32_t sequence = in.byte() % 4;
            Bytes d = {kObjectDatagramType, uint8_t(sequence), 0, 0, 0, 0};
            if (in.byte() & 1) d.resize(kMaxDatagramBody + 1 + in.byte() % 8, 0x5A);  // too long
            uint32_t h = 5381;
            for (size_t i = d.size(); i-- > 0;) h = ((h * 33) ^ uint32_t(d[i] - 48)) & 0xFFFF;
            d.push_back(uint8_t(h));
            d.push_back(uint8_t(h >> 8));
            deliver(d, addressOf(key[j], 0), kOriginMustIgnore);
            break;
        }
        case 11:  // another source address; the key stays
            sourceLow = in.byte();
            break;
        }
    }
};

// Ends every Transfer: waits until each worker has taken its last payload
// (as a dispatcher would), then cancels it, then waits for the teardowns.
// A slow run lets the idle time-outs end them instead.
void drain(State& s, bool slow) {
    TransferTable& table = s.extraction.table;
    if (!slow) {
        lockMutex(table.mutex);
        for (Transfer* t = table.first; t; t = t->next) {
            if (t->closing.load()) continue;
            waitEvent(t->readyForMore, 2000);
            if (!t->closing.load()) cancelTransfer(t);
        }
        unlockMutex(table.mutex);
    }
    uint64_t deadline = monotonicMilliseconds() + kDrainLimitMs;
    for (int spins = 0; s.removed.load() != s.inserted.load(); ++spins) {
        if (monotonicMilliseconds() > deadline) fail("Transfers still live long after they were cancelled");
        if (spins < 200)
            std::this_thread::yield();
        else
            sleepMilliseconds(1);
    }
}

bool sameBytes(const fs::path& path, const Bytes& expected) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fail("cannot read", path.wstring());
    Bytes got;
    uint8_t chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) got.insert(got.end(), chunk, chunk + n);
    std::fclose(f);
    return got == expected;
}

void judgeFinishedFile(State& s, const fs::path& path) {
    auto placed = s.placed.find(path.native());
    if (placed == s.placed.end()) fail("a file in ok that no Transfer placed:", path.wstring());
    auto origin = s.origins.find(placed->second);
    if (origin == s.origins.end()) fail("a finished file of a Transfer never started:", path.wstring());
    if (origin->second == kOriginForeign) return;
    const SentObject& sent = s.objects[size_t(origin->second)];
    if (!sameBytes(path, sent.object.content)) {
        std::fprintf(stderr, "dispatch_fuzz: expected the %zu bytes of %s\n", sent.object.content.size(),
                     sent.object.name.c_str());
        for (const SentObject& other : s.objects)
            if (sameBytes(path, other.object.content))
                std::fprintf(stderr, "dispatch_fuzz: it holds %s instead\n", other.object.name.c_str());
        fail("a finished file differs from the object sent under its name:", path.wstring());
    }
}

std::vector<fs::directory_entry> entriesOf(const fs::path& directory) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    if (error) fail("cannot list", directory.wstring());
    return entries;
}

void judge(State& s) {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const auto& entry : entriesOf(s.root))
        if (entry.path() != s.tmp && entry.path() != s.ok) fail("created outside tmp and ok:", entry.path().wstring());
    for (const auto& entry : entriesOf(s.tmp)) fail("a temporary file outlived its Transfer:", entry.path().wstring());
    for (const auto& entry : entriesOf(s.ok)) {
        if (entry.is_symlink()) fail("a link in ok:", entry.path().wstring());
        if (entry.is_directory()) {  // an extension's sub-directory
            for (const auto& inner : entriesOf(entry.path())) {
                if (inner.is_symlink() || !inner.is_regular_file()) fail("not a file:", inner.path().wstring());
                judgeFinishedFile(s, inner.path());
            }
        } else if (entry.is_regular_file()) {
            judgeFinishedFile(s, entry.path());
        } else {
            fail("not a file:", entry.path().wstring());
        }
    }
    std::error_code error;
    for (const auto& [path, name] : s.placed)
        if (!fs::exists(fs::path(path), error)) fail("a placed file is gone:", name);
}

void reset(State& s) {
    deleteDirectoryContents(withSeparator(s.ok).c_str());
    s.origins.clear();
    s.placed.clear();
    s.extraction.sortByExtension.store(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static State& s = setUp();
    static uint64_t runs = 0;
    bool slow = ++runs % kSlowRunEvery == 0;
    Reader in{data, size};
    Run run(s, slow);
    for (size_t steps = 0; steps < kMaxSteps && in.more(); ++steps) run.step(in);
    drain(s, slow);
    judge(s);
    reset(s);
    return 0;
}
