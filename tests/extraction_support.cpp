#include "tests/extraction_support.h"

#include <algorithm>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace {

void rowInserted(void* context, uint32_t, Transfer*, const wchar_t* name, int32_t icon, const wchar_t* sizeText) {
    auto& view = *static_cast<RecordingView*>(context);
    ScopedLock lock(view.mutex);
    ++view.inserted;
    view.names.push_back(name);
    view.sizeTexts.push_back(sizeText);
    view.icons.push_back(icon);
}

void rowRemoved(void* context, const void*) {
    auto& view = *static_cast<RecordingView*>(context);
    ScopedLock lock(view.mutex);
    ++view.removed;
}

void filePlaced(void* context, const wchar_t*, const wchar_t* path, bool placed) {
    auto& view = *static_cast<RecordingView*>(context);
    ScopedLock lock(view.mutex);
    if (placed)
        view.placedPaths.push_back(path);
    else
        ++view.failedPlacements;
}

std::wstring withSeparator(const std::wstring& path) { return path + kPathSeparator; }

}  // namespace

TestReceiver::TestReceiver(const char* name, uint32_t idleTimeoutMs, int32_t sort) : root(name) {
    tmp = withSeparator(root.file(L"tmp"));
    ok = withSeparator(root.file(L"ok"));
    fs::create_directories(fs::path(tmp));
    fs::create_directories(fs::path(ok));
    Extraction& x = *extraction;
    initExtractionWith(x, idleTimeoutMs, sort);
    setSharedPath(x.tmpDir, tmp.c_str());
    setSharedPath(x.okDir, ok.c_str());
    x.filters = &filters;
    x.log = &log.log;
    x.view.rowInserted = rowInserted;
    x.view.rowRemoved = rowRemoved;
    x.view.filePlaced = filePlaced;
    x.view.context = &view;
    intake->log = &log.log;
    intake->sink = objectDatagramSink;
    intake->sinkContext = &x;
    admitAll();
}

TestReceiver::~TestReceiver() {
    waitUntilIdle();
    emptyFilterSet(filters);
    closeMutex(extraction->table.mutex);
    closeOwnFiles(extraction->ownFiles);
    closeMutex(extraction->ownFiles.mutex);
    replaceBlock(extraction->tmpDir.text, nullptr);
    replaceBlock(extraction->okDir.text, nullptr);
}

void TestReceiver::admitAll() { setFilters({byCategory(0, 0, 0xFFFFFFFFu)}); }

void TestReceiver::setFilters(const std::vector<FilterRecord>& records) {
    std::wstring path = root.file(L"filters.qmf");
    writeWholeFile(path, fileOf(records));
    ScopedFile file(openFile(path.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting));
    reload(filters, file.handle);
}

void TestReceiver::feed(const Bytes& stream) {
    for (size_t at = 0; at + kTsPacketSize <= stream.size(); at += kTsPacketSize)
        takePacket(*intake, stream.data() + at, kTsPacketSize);
}

void TestReceiver::feedDatagram(const Bytes& datagram, const UdpEndpoints& endpoints) {
    DatagramAddress address;
    address.destinationAddress = endpoints.destinationAddress;
    address.sourceAddress = endpoints.sourceAddress;
    address.destinationPort = endpoints.destinationPort;
    address.sourcePort = endpoints.sourcePort;
    takeObjectDatagram(*extraction, address, datagram.data(), uint16_t(datagram.size()));
}

uint32_t TestReceiver::liveTransfers() {
    ScopedLock lock(view.mutex);
    return view.inserted - view.removed;
}

bool TestReceiver::waitUntilIdle(uint32_t milliseconds) {
    uint64_t end = monotonicMilliseconds() + milliseconds;
    while (liveTransfers() != 0) {
        if (monotonicMilliseconds() > end) return false;
        sleepMilliseconds(5);
    }
    return true;
}

std::vector<std::wstring> TestReceiver::filesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(fs::path(directory), ignored)) {
#if defined(_WIN32)
        names.push_back(entry.path().filename().wstring());
#else
        // The native name is UTF-8; wstring() would go through the C locale
        // and throw on anything beyond ASCII.
        std::vector<wchar_t> wide(entry.path().filename().native().size() + 1);
        size_t length = 0;
        if (!utf8ToWide(entry.path().filename().c_str(), wide.data(), wide.size(), &length)) continue;
        names.push_back(std::wstring(wide.data(), length));
#endif
    }
    std::sort(names.begin(), names.end());
    return names;
}

Bytes randomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = uint8_t(random());
    return bytes;
}

Bytes textBytes(size_t size, uint32_t seed) {
    static const char* const kWords[] = {"receiver ", "satellite ", "object ", "datagram ", "section ",
                                         "stream\r\n", "file ", "carousel ", "Quillmoth "};
    std::mt19937 random(seed);
    Bytes bytes;
    bytes.reserve(size + 16);
    while (bytes.size() < size) {
        const char* word = kWords[random() % 9];
        bytes.insert(bytes.end(), word, word + std::char_traits<char>::length(word));
    }
    bytes.resize(size);
    return bytes;
}

std::string asString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
