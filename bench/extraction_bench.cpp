// The receiving path end to end: a capture in memory through the packet
// intake, the dispatch and the workers into finished files, beside a bare
// loop that only inflates the same payloads and writes them; and the memory
// that each live object costs.
//
// `extraction_bench --plain [ROUNDS]` measures the pipeline beside the bare
// loop without Google Benchmark (the only mode where that library is missing,
// as for the Windows builds) and prints one line per way of sending.
#if defined(QM_HAVE_GOOGLE_BENCHMARK)
#include <benchmark/benchmark.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "extraction/extraction.h"
#include "tools/broadcast_lib.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A memory file system where there is one: the figures are about the
// receiver, not about the disk's write-back.
fs::path scratchRoot() {
    std::error_code ignored;
    if (fs::is_directory("/dev/shm", ignored)) return "/dev/shm";
    return fs::temp_directory_path();
}

Bytes sampleContent(size_t size, uint32_t seed, bool text) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    static const char kText[] = "the quick receiver takes every datagram of the carousel\r\n";
    for (size_t i = 0; i < size; ++i) bytes[i] = text ? uint8_t(kText[(i + random() % 3) % 57]) : uint8_t(random());
    return bytes;
}

// 24 files of 1 MiB, half compressible text, half random.
std::vector<ObjectToSend> sampleObjects() {
    std::vector<ObjectToSend> objects;
    for (int i = 0; i < 24; ++i)
        objects.push_back({"file" + std::to_string(i) + (i % 2 ? ".bin" : ".txt"),
                           sampleContent(1 << 20, uint32_t(i), i % 2 == 0), {}});
    return objects;
}

struct Counting {
    std::atomic<uint32_t> inserted{0};
    std::atomic<uint32_t> removed{0};
};

void rowInserted(void* c, uint32_t, Transfer*, const wchar_t*, int32_t, const wchar_t*) {
    ++static_cast<Counting*>(c)->inserted;
}
void rowRemoved(void* c, const void*) { ++static_cast<Counting*>(c)->removed; }

struct Receiver {
    fs::path root;
    Extraction extraction;
    FilterSet filters;
    LogFile log;
    Counting counting;
    SectionAssembler intake;

    explicit Receiver(const fs::path& where, uint32_t timeoutMs) : root(where) {
        fs::remove_all(root);
        fs::create_directories(root / "tmp");
        fs::create_directories(root / "ok");
        initExtractionWith(extraction, timeoutMs, 0);
        setSharedPath(extraction.tmpDir, ((root / "tmp").wstring() + kPathSeparator).c_str());
        setSharedPath(extraction.okDir, ((root / "ok").wstring() + kPathSeparator).c_str());
        uint8_t record[kFilterRecordSize];
        encodeFilterRecord({kFilterByCategory, CategoryTable[0].nameIdentity, AllExtensions, 0, 0xFFFFFFFFu}, record);
        std::ofstream(root / "filters.qmf", std::ios::binary).write(reinterpret_cast<char*>(record), sizeof record);
        load(filters, (root / "filters.qmf").wstring().c_str());
        useStream(log, std::fopen("/dev/null", "w"), false);
        extraction.filters = &filters;
        extraction.log = &log;
        extraction.view.rowInserted = rowInserted;
        extraction.view.rowRemoved = rowRemoved;
        extraction.view.context = &counting;
        intake.log = &log;
        intake.sink = objectDatagramSink;
        intake.sinkContext = &extraction;
    }
    void waitIdle() {
        while (counting.removed.load() != counting.inserted.load()) sleepMilliseconds(1);
    }
};

double runPipeline(const Bytes& capture, const fs::path& where) {
    auto receiver = std::make_unique<Receiver>(where, 60000);
    auto start = Clock::now();
    for (size_t at = 0; at + kTsPacketSize <= capture.size(); at += kTsPacketSize)
        takePacket(receiver->intake, capture.data() + at, kTsPacketSize);
    receiver->waitIdle();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The same payloads, inflated with one stream per object and written to a
// temporary file, then copied into the finished file: the least any receiver
// has to do.
double runBare(const std::vector<std::vector<Bytes>>& payloads, const fs::path& where) {
    fs::remove_all(where);
    fs::create_directories(where);
    static uint8_t output[65535];
    auto start = Clock::now();
    for (size_t i = 0; i < payloads.size(); ++i) {
        std::string temp = (where / ("t" + std::to_string(i))).string();
        FILE* file = std::fopen(temp.c_str(), "w+b");
        z_stream stream{};
        inflateInit(&stream);
        for (const Bytes& payload : payloads[i]) {
            stream.next_in = const_cast<Bytef*>(payload.data());
            stream.avail_in = uInt(payload.size());
            stream.next_out = output;
            stream.avail_out = sizeof output;
            inflate(&stream, Z_SYNC_FLUSH);
            std::fwrite(output, 1, sizeof output - stream.avail_out, file);
        }
        inflateEnd(&stream);
        std::fflush(file);
        std::rewind(file);
        FILE* finished = std::fopen((where / ("f" + std::to_string(i))).string().c_str(), "wb");
        size_t n;
        while ((n = std::fread(output, 1, sizeof output, file)) > 0) std::fwrite(output, 1, n, finished);
        std::fclose(finished);
        std::fclose(file);
        std::remove(temp.c_str());
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// How the objects' datagrams follow each other on air: 1 is one object after
// another; k > 1 sends the objects in groups of k whose datagrams are
// round-robined; 0 round-robins all of them at once.
Bytes broadcastInGroups(const std::vector<ObjectToSend>& objects, size_t group) {
    BroadcastOptions options;
    options.interleave = group != 1;
    if (group <= 1) return makeBroadcast(objects, options);
    // Each group is a broadcast of its own: it begins with a throw-away
    // section and ends with a closing start, so the pieces join cleanly.
    Bytes capture;
    const uint16_t firstPort = options.endpoints.sourcePort;
    for (size_t first = 0; first < objects.size(); first += group) {
        std::vector<ObjectToSend> some(objects.begin() + std::ptrdiff_t(first),
                                       objects.begin() + std::ptrdiff_t(std::min(first + group, objects.size())));
        options.endpoints.sourcePort = uint16_t(firstPort + first);
        Bytes piece = makeBroadcast(some, options);
        capture.insert(capture.end(), piece.begin(), piece.end());
    }
    return capture;
}

struct Workload {
    std::vector<ObjectToSend> objects = sampleObjects();
    std::vector<std::vector<Bytes>> payloads;
    double megabytes = 0;
    Workload() {
        for (const ObjectToSend& object : objects) {
            payloads.push_back(encodeObject(object));
            megabytes += double(object.content.size()) / 1e6;
        }
    }
};

const Workload& workload() {
    static const Workload w;
    return w;
}

struct Figures {
    double pipelineSeconds = 0;
    double bareSeconds = 0;
};

// One round of each; the order alternates with `round`, so that neither pays
// for the other's writeback.
void measureRound(const Bytes& capture, size_t round, Figures& figures) {
    const Workload& w = workload();
    fs::path where = scratchRoot() / "quillmoth-bench";
    if (round % 2) {
        figures.pipelineSeconds += runPipeline(capture, where / "pipeline");
        figures.bareSeconds += runBare(w.payloads, where / "bare");
    } else {
        figures.bareSeconds += runBare(w.payloads, where / "bare");
        figures.pipelineSeconds += runPipeline(capture, where / "pipeline");
    }
}

// The ways of sending that both modes measure: the argument of broadcastInGroups.
const size_t kGroupings[] = {1, 4, 0};

const char* groupingName(size_t group) {
    switch (group) {
        case 1: return "one object at a time";
        case 0: return "all objects interleaved";
        default: return "groups of 4 interleaved";
    }
}

int runPlain(int rounds) {
    const Workload& w = workload();
    for (size_t group : kGroupings) {
        Bytes capture = broadcastInGroups(w.objects, group);
        Figures figures;
        measureRound(capture, 0, figures);  // warm-up
        figures = {};
        for (int i = 0; i < rounds; ++i) measureRound(capture, size_t(i), figures);
        std::printf("%-24s pipeline %7.1f MB/s  bare %7.1f MB/s  pipeline/bare %.3f\n", groupingName(group),
                    w.megabytes * rounds / figures.pipelineSeconds, w.megabytes * rounds / figures.bareSeconds,
                    figures.bareSeconds / figures.pipelineSeconds);
        std::fflush(stdout);
    }
    std::error_code ignored;
    fs::remove_all(scratchRoot() / "quillmoth-bench", ignored);
    return 0;
}

#if defined(QM_HAVE_GOOGLE_BENCHMARK)
long residentKiB() {
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
    return resident * 4;
}

// Argument: how the objects' datagrams follow each other (broadcastInGroups).
void pipelineBesideBareLoop(benchmark::State& state) {
    const Workload& w = workload();
    Bytes capture = broadcastInGroups(w.objects, size_t(state.range(0)));
    Figures figures;
    for (auto _ : state) measureRound(capture, size_t(state.iterations()), figures);
    double n = double(state.iterations());
    state.counters["pipeline_MB/s"] = w.megabytes * n / figures.pipelineSeconds;
    state.counters["bare_MB/s"] = w.megabytes * n / figures.bareSeconds;
    state.counters["pipeline/bare"] = figures.bareSeconds / figures.pipelineSeconds;
    std::error_code ignored;
    fs::remove_all(scratchRoot() / "quillmoth-bench", ignored);
}

// 1000 objects whose first datagram has arrived and whose workers wait.
void thousandLiveObjects(benchmark::State& state) {
    constexpr int kObjects = 1000;
    std::vector<Bytes> firsts;
    for (int i = 0; i < kObjects; ++i)
        firsts.push_back(encodeObject({"o.bin", sampleContent(100000, uint32_t(i), false), {}})[0]);
    fs::path where = scratchRoot() / "quillmoth-bench-live";
    for (auto _ : state) {
        auto receiver = std::make_unique<Receiver>(where, 600000);
        long before = residentKiB();
        for (int i = 0; i < kObjects; ++i) {
            DatagramAddress address;
            address.destinationAddress = 0xEF000001;
            address.destinationPort = 5000;
            address.sourcePort = uint16_t(1000 + i);
            Bytes datagram = buildDatagram({}, firsts[size_t(i)]);
            takeObjectDatagram(receiver->extraction, address, datagram.data(), uint16_t(datagram.size()));
        }
        while (receiver->counting.inserted.load() < kObjects) sleepMilliseconds(1);
        sleepMilliseconds(200);  // every worker has inflated its first payload
        long after = residentKiB();
        state.counters["KiB_per_live_object"] = double(after - before) / kObjects;
        {
            ScopedLock lock(receiver->extraction.table.mutex);
            for (Transfer* t = receiver->extraction.table.first; t; t = t->next) cancelTransfer(t);
        }
        receiver->waitIdle();
    }
    fs::remove_all(where);
}

}  // namespace

BENCHMARK(pipelineBesideBareLoop)->Arg(1)->Arg(4)->Arg(0)->ArgName("group")->Iterations(6)->Unit(benchmark::kMillisecond);
BENCHMARK(thousandLiveObjects)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--plain") == 0) return runPlain(argc >= 3 ? std::atoi(argv[2]) : 6);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
#else
}  // namespace

// extraction_bench [--plain] [ROUNDS]
int main(int argc, char** argv) {
    int at = argc >= 2 && std::strcmp(argv[1], "--plain") == 0 ? 2 : 1;
    return runPlain(argc > at ? std::atoi(argv[at]) : 6);
}
#endif
