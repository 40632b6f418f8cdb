// A receiver of our own for the extraction tests: an Extraction with scratch
// tmp and ok directories, a filter set, a view that records rows and placed
// files, and a packet intake feeding it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "extraction/extraction.h"
#include "platform/platform.h"
#include "tests/test_support.h"
#include "tools/broadcast_lib.h"

struct RecordingView {
    Mutex* mutex = createMutex();
    uint32_t inserted = 0;
    uint32_t removed = 0;
    std::vector<std::wstring> names;        // in insertion order
    std::vector<std::wstring> sizeTexts;
    std::vector<int32_t> icons;
    std::vector<std::wstring> placedPaths;  // files that were placed
    uint32_t failedPlacements = 0;
    ~RecordingView() { closeMutex(mutex); }
};

struct TestReceiver {
    ScratchDirectory root;
    std::wstring tmp;  // with the trailing separator
    std::wstring ok;
    std::unique_ptr<Extraction> extraction = std::make_unique<Extraction>();
    FilterSet filters;
    RecordingView view;
    CapturedLog log;
    std::unique_ptr<SectionAssembler> intake = std::make_unique<SectionAssembler>();

    explicit TestReceiver(const char* name, uint32_t idleTimeoutMs = 10000, int32_t sort = 0);
    ~TestReceiver();

    // Filters from records; by default one that admits everything.
    void admitAll();
    void setFilters(const std::vector<FilterRecord>& records);

    void feed(const Bytes& stream);
    void feedDatagram(const Bytes& datagram, const UdpEndpoints& endpoints);
    // Waits until every Transfer created so far is gone; false on time-out.
    bool waitUntilIdle(uint32_t milliseconds = 60000);
    uint32_t liveTransfers();
    // Names of the files in a directory (not recursive), sorted.
    std::vector<std::wstring> filesIn(const std::wstring& directory);
};

// Bytes of a given size: random (incompressible) or text-like (compressible).
Bytes randomBytes(size_t size, uint32_t seed);
Bytes textBytes(size_t size, uint32_t seed);
std::string asString(const Bytes& bytes);
