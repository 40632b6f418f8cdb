// One huge object through the dispatch and its worker: the time per datagram
// must stay flat however many segments the object already has, on its first
// pass (new sequence numbers, half of them late) and on a repeated pass
// (every datagram a repeat whose segment must be found), and the assembly of
// the out-of-order segments must take time in proportion to their number.
//
// It also shows what one segment's records cost in memory, the figure that
// the bound on segment records counts with.
//
// huge_object_bench [DATAGRAMS]   (default 500000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "extraction/extraction.h"
#include "tools/broadcast_lib.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 40;  // body bytes per datagram

// Every payload is whole stored blocks ending on a full flush, so that a
// repeat inflates the same whatever came before it, as a real carousel's does.
std::vector<Bytes> storedPayloads(const std::string& header, size_t datagrams) {
    z_stream stream{};
    deflateInit(&stream, 0);
    std::vector<Bytes> payloads;
    uint8_t out[4096];
    Bytes chunk(kChunk);
    for (size_t k = 0; k < datagrams; ++k) {
        for (size_t i = 0; i < kChunk; ++i) chunk[i] = uint8_t('a' + (k * 7 + i) % 26);
        Bytes input = chunk;
        if (k == 0) input.insert(input.begin(), header.begin(), header.end());
        stream.next_in = input.data();
        stream.avail_in = uInt(input.size());
        stream.next_out = out;
        stream.avail_out = sizeof out;
        deflate(&stream, Z_FULL_FLUSH);
        payloads.emplace_back(out, out + (sizeof out - stream.avail_out));
    }
    deflateEnd(&stream);
    return payloads;
}

struct Counting {
    std::atomic<uint32_t> removed{0};
    std::atomic<bool> placed{false};
};

void rowRemoved(void* c, const void*) { ++static_cast<Counting*>(c)->removed; }
void filePlaced(void* c, const wchar_t*, const wchar_t*, bool placed) { static_cast<Counting*>(c)->placed = placed; }

double microsecondsSince(Clock::time_point start, size_t count) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / double(count);
}

// Feeds the datagrams of `order` and prints the time per datagram of its
// first and last tenth.
void feedPass(Extraction& x, const std::vector<Bytes>& datagrams, const std::vector<uint32_t>& order,
              const char* name) {
    DatagramAddress address;
    address.destinationAddress = 0xEF000001;
    address.destinationPort = 5000;
    address.sourcePort = 4000;
    size_t tenth = order.size() / 10;
    double first = 0, last = 0;
    Clock::time_point start = Clock::now();
    for (size_t i = 0; i < order.size(); ++i) {
        if (i == tenth) first = microsecondsSince(start, tenth);
        if (i == order.size() - tenth) start = Clock::now();
        const Bytes& d = datagrams[order[i] - 1];
        takeObjectDatagram(x, address, d.data(), uint16_t(d.size()));
    }
    last = microsecondsSince(start, tenth);
    std::printf("%-34s first tenth %6.2f us/datagram, last tenth %6.2f us/datagram\n", name, first, last);
}

// Bytes the allocator has handed out, its own headers included, where it
// tells (glibc); 0 elsewhere.
long long allocatedBytes() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
    return static_cast<long long>(mallinfo2().uordblks);
#else
    return 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = argc > 1 ? size_t(std::atoll(argv[1])) : 500000;
    if (count < 20) count = 20;
    std::error_code ignored;
    fs::path root = (fs::is_directory("/dev/shm", ignored) ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                    "quillmoth-huge-bench";
    fs::remove_all(root, ignored);
    fs::create_directories(root / "tmp");
    fs::create_directories(root / "ok");

    ObjectToSend object{"huge.bin", Bytes(count * kChunk), {}};
    std::vector<Bytes> datagrams;
    {
        std::vector<Bytes> payloads = storedPayloads(buildResponseHeader(object), count);
        for (size_t k = 0; k < count; ++k) {
            DatagramFields fields;
            fields.sequence = uint32_t(k + 1);
            datagrams.push_back(buildDatagram(fields, payloads[k]));
        }
    }

    auto x = std::make_unique<Extraction>();
    Counting counting;
    LogFile log;
    useStream(log, std::fopen(fs::exists("/dev/null") ? "/dev/null" : "NUL", "w"), false);
    FilterSet filters;
    uint8_t record[kFilterRecordSize];
    encodeFilterRecord({kFilterByCategory, CategoryTable[0].nameIdentity, AllExtensions, 0, 0xFFFFFFFFu}, record);
    FILE* filterFile = std::fopen((root / "filters.qmf").string().c_str(), "wb");
    if (!filterFile) return 1;
    std::fwrite(record, 1, sizeof record, filterFile);
    std::fclose(filterFile);
    initExtractionWith(*x, 600000, 0);
    setSharedPath(x->tmpDir, ((root / "tmp").wstring() + kPathSeparator).c_str());
    setSharedPath(x->okDir, ((root / "ok").wstring() + kPathSeparator).c_str());
    load(filters, (root / "filters.qmf").wstring().c_str());
    x->filters = &filters;
    x->log = &log;
    x->view.rowRemoved = rowRemoved;
    x->view.filePlaced = filePlaced;
    x->view.context = &counting;

    // First pass: odd sequence numbers, then the even ones late; the last
    // datagram is lost, so the object stays open for the next pass.
    std::vector<uint32_t> order;
    for (uint32_t k = 1; k < count; k += 2) order.push_back(k);
    for (uint32_t k = 2; k < count; k += 2) order.push_back(k);
    long long before = allocatedBytes();
    feedPass(*x, datagrams, order, "first pass (half late)");
    long long after = allocatedBytes();
    if (before > 0)
        std::printf("%-34s %6.1f bytes/segment (%llu records; the bound counts %llu each)\n",
                    "memory of the segment records", double(after - before) / double(order.size()),
                    static_cast<unsigned long long>(x->table.segmentRecords.load()),
                    static_cast<unsigned long long>(kSegmentRecordBytes));
    // Second pass: every datagram again, in order; the last one completes it.
    order.clear();
    for (uint32_t k = 1; k < count; ++k) order.push_back(k);
    feedPass(*x, datagrams, order, "repeated pass");
    Clock::time_point start = Clock::now();
    const Bytes& lastDatagram = datagrams.back();
    DatagramAddress address;
    address.destinationAddress = 0xEF000001;
    address.destinationPort = 5000;
    address.sourcePort = 4000;
    takeObjectDatagram(*x, address, lastDatagram.data(), uint16_t(lastDatagram.size()));
    while (counting.removed.load() == 0) sleepMilliseconds(1);
    std::printf("%-34s %6.2f us/segment (%zu segments), %s\n", "assembly, segments out of order",
                microsecondsSince(start, count), count, counting.placed.load() ? "placed" : "NOT placed");
    std::printf("datagrams %zu, object %zu bytes; counters: repeats of datagram 1 %llu, late %llu\n", count,
                object.content.size(), static_cast<unsigned long long>(x->counters.firstRepeats.load()),
                static_cast<unsigned long long>(x->counters.lateForClosing.load()));
    emptyFilterSet(filters);
    fs::remove_all(root, ignored);
    return counting.placed.load() ? 0 : 1;
}
