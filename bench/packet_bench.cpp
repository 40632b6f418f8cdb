// Throughput of the packet path: transport-stream packets through takePacket
// into a sink that does nothing, on a synthetic capture held in memory.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "reception/section_assembler.h"
#include "settings/log_file.h"
#include "tools/stream_builder.h"

namespace {

struct Sunk {
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
};

void ignore(void* context, const DatagramAddress&, const uint8_t*, uint16_t length) {
    Sunk& sunk = *static_cast<Sunk*>(context);
    ++sunk.datagrams;
    sunk.bytes += length;
}

// About 16 MB of stream: datagrams of broadcast sizes (up to 2050 bytes of
// UDP payload), each in sections of its own or packed behind each other.
Bytes makeCapture(bool pack) {
    std::mt19937 random(1);
    Bytes stream;
    TsPacketizer packetizer;
    packetizer.packSections = pack;
    UdpEndpoints endpoints;
    const uint8_t mac[6] = {1, 0, 0x5E, 1, 2, 3};
    while (stream.size() < 16u * 1024 * 1024) {
        Bytes payload(1500 + random() % 551);
        for (auto& b : payload) b = uint8_t(random());
        packetizeSection(packetizer, buildMpeSection(mac, buildUdpDatagram(endpoints, payload.data(), payload.size())),
                         stream);
    }
    finishStream(packetizer, stream);
    return stream;
}

void packetPath(benchmark::State& state) {
    static const Bytes captures[2] = {makeCapture(false), makeCapture(true)};
    const Bytes& capture = captures[state.range(0)];
    static LogFile quiet;
    useStream(quiet, stderr, false);
    auto assembler = std::make_unique<SectionAssembler>();
    Sunk sunk;
    assembler->log = &quiet;
    assembler->sink = ignore;
    assembler->sinkContext = &sunk;
    size_t packets = capture.size() / kTsPacketSize;
    // Continuity runs on across iterations: each pass restarts the counter at
    // the capture's first packet, so the intake is re-primed first.
    for (auto _ : state) {
        assembler->lastContinuity = 0xFF;
        for (size_t i = 0; i < packets; ++i)
            takePacket(*assembler, capture.data() + i * kTsPacketSize, kTsPacketSize);
        benchmark::DoNotOptimize(sunk);
    }
    state.counters["datagrams"] = benchmark::Counter(double(sunk.datagrams) / double(state.iterations()));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(packets));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(capture.size()));
    state.counters["Mbit/s"] = benchmark::Counter(double(capture.size()) * 8 / 1e6,
                                                  benchmark::Counter::kIsIterationInvariantRate);
    if (assembler->discontinuityCount.load() != 0) state.SkipWithError("continuity gaps in the synthetic capture");
}

}  // namespace

BENCHMARK(packetPath)->Arg(0)->Arg(1)->ArgName("packed")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
