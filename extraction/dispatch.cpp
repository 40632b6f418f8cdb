// The packet thread's side: checking object datagrams, starting Transfers for
// wanted objects and handing later payloads to their workers.
#include <cstdio>
#include <cstring>
#include <cwchar>

#include <zlib.h>

#include "extraction/extraction.h"
#include "extraction/object_datagram.h"
#include "extraction/object_header.h"
#include "settings/size_text.h"
#include "settings/wide_format.h"

namespace {

constexpr size_t kHeaderScratch = 2048;

uint32_t read32le(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The payload goes into the slot; the length is stored last, so that a worker
// that sees it also sees the bytes and the node. A payload of no bytes is
// still a payload (a zero-length segment), never the cancel request. Only an
// empty slot is filled: a cancel request waiting there stays, and the worker
// takes it instead of the payload. False when the payload was not handed over.
bool fillSlot(Transfer& t, SegmentNode* node, const uint8_t* payload, uint16_t length) {
    if (length) std::memcpy(t.handoff, payload, length);
    t.currentSegment = node;
    uint16_t empty = kSlotEmpty;
    bool filled = t.handoffLength.compare_exchange_strong(empty, length ? length : kEmptyPayload,
                                                          std::memory_order_acq_rel);
    setEvent(t.dataReady);
    return filled;
}

// Inflates the first payload once, only to read the object's header; the
// number of bytes produced, or -1.
int32_t inflateFirst(Extraction& x, const uint8_t* payload, uint16_t length, uint8_t* inflated) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    inflateInit_(&stream, "1.2.3", int(sizeof stream));
    stream.next_in = const_cast<Bytef*>(payload);
    stream.avail_in = length;
    stream.next_out = inflated;
    stream.avail_out = kHeaderScratch;
    int result = inflate(&stream, Z_SYNC_FLUSH);
    inflateEnd(&stream);
    if (result != Z_OK) {
        countEvent(x.counters.notInflated);
        return -1;
    }
    return int32_t(kHeaderScratch - stream.avail_out);
}

// Whether inflated bytes begin as an HTTP/1.x response does: the start of an
// object, whether or not its header is then accepted.
bool looksLikeResponse(const uint8_t* inflated, int32_t produced) {
    return produced >= 7 && std::memcmp(inflated, "HTTP/1.", 7) == 0;
}

uint16_t readHeader(Extraction& x, const uint8_t* inflated, int32_t produced, ObjectHeaderInfo& info) {
    uint16_t headerLength = produced < 0 ? 0 : parseObjectHeader(size_t(produced), info, inflated, *x.log);
    if (headerLength == 0 || !info.extension || info.length == 0) {
        if (produced >= 0) countEvent(x.counters.headerRefused);
        return 0;
    }
    return headerLength;
}

// The first datagram of an object whose header has been read; no Transfer
// holds its key any more.
void startObject(Extraction& x, const DatagramAddress& address, const uint8_t* payload, uint16_t length,
                 const ObjectHeaderInfo& info, uint16_t headerLength) {
    int32_t icon = match(*x.filters, info.length, info.extension);
    if (icon < 0) {
        countEvent(x.counters.filterRefused);
        return;
    }
    wchar_t fileName[kFileNameCapacity];
    buildFileName(info.name, info.extension, address, x.table.objectCounter, fileName);
    Transfer* t = createTransfer(x, address, fileName, info.length, icon);
    if (!t) return;
    // Nobody else touches these before the worker starts.
    SegmentNode* first = addSegment(*t, 1, 0);
    t->maxSequence = 1;
    t->headerLength = headerLength;
    std::memcpy(t->firstPayload, payload, length);
    t->firstPayloadLength = length;
    // A delete given since the row appeared stays in the slot; the worker
    // still has to start, to take it and discard the object.
    fillSlot(*t, first, payload, length);
    if (!startDetachedThread(runWorker, t)) {
        // Without a worker nobody would ever consume the slot, and the next
        // datagram of the object would wait for it forever.
        countEvent(x.counters.tempFileFailed);
        deleteTempFile(t);
        teardownTransfer(t);
        return;
    }
    countEvent(x.counters.started);
}

// A first datagram for a key whose Transfer is live; the mutex is held and
// released here. The object's own first datagram again (a carousel repeat)
// carries nothing new. Any other first datagram that reads as the start of
// an object means the sender has moved on to the next object on this key,
// whether or not that object is wanted: the old object can no longer be
// completed, and its missing datagrams must not be filled with the next
// object's bytes.
void firstDatagramOnLiveKey(Extraction& x, Transfer& t, const DatagramAddress& address, const uint8_t* payload,
                            uint16_t length) {
    if (length == t.firstPayloadLength && std::memcmp(payload, t.firstPayload, length) == 0) {
        countEvent(x.counters.firstRepeats);
        unlockMutex(x.table.mutex);
        return;
    }
    uint8_t inflated[kHeaderScratch];
    int32_t produced = inflateFirst(x, payload, length, inflated);
    if (!looksLikeResponse(inflated, produced)) {
        if (produced >= 0) countEvent(x.counters.headerRefused);
        unlockMutex(x.table.mutex);
        return;
    }
    // Once the worker is idle it takes the cancel request next, discards the
    // old object and tears its Transfer down; closing hides it at once. A
    // worker that ended the old object meanwhile needs nothing more.
    waitEvent(t.readyForMore, kWaitForever);
    if (!t.closing.load(std::memory_order_acquire)) {
        t.closing.store(1, std::memory_order_release);
        t.handoffLength.store(0, std::memory_order_release);
        setEvent(t.dataReady);
    }
    unlockMutex(x.table.mutex);
    wchar_t name[kFileNameCapacity];
    ObjectHeaderInfo info;
    info.name = name;
    uint16_t headerLength = readHeader(x, inflated, produced, info);
    if (headerLength != 0) startObject(x, address, payload, length, info, headerLength);
}

// A later datagram of a live Transfer; the mutex is held and released here.
void handOff(Extraction& x, Transfer& t, uint32_t sequence, const uint8_t* payload, uint16_t length) {
    // No object of this length has this many datagrams: a hostile or broken
    // sender must not make a Transfer grow without end.
    if (sequence > uint64_t(t.length) + spareSegments(t.length)) {
        countEvent(x.counters.beyondLength);
        unlockMutex(x.table.mutex);
        return;
    }
    waitEvent(t.readyForMore, kWaitForever);
    if (t.closing.load(std::memory_order_acquire)) {
        countEvent(x.counters.lateForClosing);
        unlockMutex(x.table.mutex);
        return;
    }
    SegmentNode* node = nullptr;
    if (sequence > t.maxSequence) {
        t.maxSequence = sequence;
    } else {
        node = findSegment(t, sequence);
        if (node) t.rewrite = 1;
    }
    if (!node && !segmentFits(x.table, t)) {
        // The object cannot be completed without more memory than a receiver
        // may spend on it: it ends now, as a cancelled one does.
        countEvent(x.counters.tooManySegments);
        t.closing.store(kClosedForMemory, std::memory_order_release);
        t.handoffLength.store(0, std::memory_order_release);
        setEvent(t.dataReady);
        unlockMutex(x.table.mutex);
        return;
    }
    if (!node) {
        // The worker is idle and has left the position at the end of the file.
        int64_t end = filePosition(t.tempFile.load(std::memory_order_acquire));
        node = addSegment(t, sequence, end < 0 ? 0 : uint32_t(end));
    }
    if (!fillSlot(t, node, payload, length)) countEvent(x.counters.lateForClosing);
    unlockMutex(x.table.mutex);
}

// The temporary file, always a new one: under the object's own name or,
// when that is taken (another receiver's live file, a user's file, a
// leftover), under a short name of ours. An existing file is never opened,
// so nothing of anyone else's is truncated or written. Recorded before it
// is made. `path` holds the directory and gets the file's whole path.
FileHandle createTempFile(Extraction& x, wchar_t* path, size_t dirLength, const wchar_t* name) {
    int error = 0;
    bool tooLong = false;
    for (uint32_t attempt = 0; attempt < 100; ++attempt) {
        wchar_t shortName[16];
        if (attempt > 0)
            formatWide(shortName, 16, L"~%07x.tmp", unsigned((x.table.objectCounter * 2654435761u + attempt *
                                                                0x9E3779B9u) & 0x0FFFFFFFu));
        const wchar_t* chosen = attempt == 0 ? name : shortName;
        size_t nameLength = std::wcslen(chosen);
        if (dirLength + nameLength >= kMaxPath) {
            tooLong = true;
            continue;
        }
        std::wmemcpy(path + dirLength, chosen, nameLength + 1);
        if (entryExists(path)) continue;
        recordOwnFile(x.ownFiles, path, OwnFileKind::temporary);
        FileHandle file = openFile(path, FileAccess::readWrite, FileShare::read, FileCreation::createNew);
        if (file != kNoFile) return file;
        error = lastSystemError();
        bool clash = entryExists(path);
        forgetOwnFile(x.ownFiles, path);
        if (!clash) break;  // not a name taken meanwhile: the folder is unusable
    }
    char reason[256] = "no free name";
    if (error != 0)
        systemErrorText(error, reason, sizeof reason);
    else if (tooLong)
        std::snprintf(reason, sizeof reason, "the path is too long");
    logFileNotSaved(*x.log, name, reason);
    return kNoFile;
}

}  // namespace

void buildFileName(const wchar_t* name, const ExtensionEntry* extension, const DatagramAddress& address,
                   uint32_t counter, wchar_t* fileName) {
    if (name[0] == L'\0') {
        formatWide(fileName, kFileNameCapacity, L"%X_%u_%u_%u.%ls", address.destinationAddress,
                   unsigned(address.destinationPort), unsigned(address.sourcePort), counter, extension->text);
        return;
    }
    wchar_t suffix[32];
    size_t suffixLength = formatWide(suffix, 32, L" (%u).%ls", counter, extension->text);
    size_t nameLength = fitStemBeforeSuffix(name, std::wcslen(name), suffix);
    std::wmemcpy(fileName, name, nameLength);
    std::wmemcpy(fileName + nameLength, suffix, suffixLength + 1);
}

void takeObjectDatagram(Extraction& x, const DatagramAddress& address, const uint8_t* d, uint16_t length) {
    ExtractionCounters& c = x.counters;
    countEvent(c.datagrams);
    switch (classifyDatagram(d, length)) {
    case DatagramVerdict::ok:
        break;
    case DatagramVerdict::tooShort:
        return countEvent(c.tooShort);
    case DatagramVerdict::wrongType:
        return countEvent(c.wrongType);
    case DatagramVerdict::badCheck:
        return countEvent(c.badCheck);
    case DatagramVerdict::tooLong:
        logWrite(*x.log, "Harlune: Len = %d\n", int(length - kDatagramCheckSize));
        return countEvent(c.tooLong);
    }
    size_t payloadStart = kDatagramHeaderSize + ((d[5] & kExtensionFlag) ? kDatagramExtensionSize : 0);
    uint32_t sequence = read32le(d + 1);
    const uint8_t* payload = d + payloadStart;
    uint16_t payloadLength = uint16_t(length - kDatagramCheckSize - payloadStart);

    Transfer* t = findTransfer(x.table, address.destinationAddress, address.destinationPort, address.sourcePort);
    if (t && sequence == 1) return firstDatagramOnLiveKey(x, *t, address, payload, payloadLength);
    if (t) return handOff(x, *t, sequence, payload, payloadLength);
    if (sequence != 1) return countEvent(c.notOurs);

    uint8_t inflated[kHeaderScratch];
    int32_t produced = inflateFirst(x, payload, payloadLength, inflated);
    wchar_t name[kFileNameCapacity];
    ObjectHeaderInfo info;
    info.name = name;
    uint16_t headerLength = readHeader(x, inflated, produced, info);
    if (headerLength != 0) startObject(x, address, payload, payloadLength, info, headerLength);
}

void objectDatagramSink(void* extraction, const DatagramAddress& address, const uint8_t* payload,
                        uint16_t length) {
    takeObjectDatagram(*static_cast<Extraction*>(extraction), address, payload, length);
}

Transfer* createTransfer(Extraction& x, const DatagramAddress& address, const wchar_t* name, uint32_t length,
                         int32_t icon) {
    wchar_t path[kMaxPath];
    size_t dirLength = readSharedPath(x.tmpDir, path);
    size_t nameLength = std::wcslen(name);
    if (dirLength == 0) {
        countEvent(x.counters.noTmpDir);
        return nullptr;
    }
    FileHandle file = createTempFile(x, path, dirLength, name);
    if (file == kNoFile) {
        countEvent(x.counters.tempFileFailed);
        return nullptr;
    }

    auto* t = new Transfer;
    t->dataReady = createEvent();
    t->readyForMore = createEvent();
    if (!t->dataReady || !t->readyForMore) {
        closeEvent(t->dataReady);
        closeEvent(t->readyForMore);
        closeFile(file);
        if (deleteFile(path)) forgetOwnFile(x.ownFiles, path);
        delete t;
        countEvent(x.counters.tempFileFailed);
        return nullptr;
    }
    t->tempFile.store(file);
    t->destinationAddress = address.destinationAddress;
    t->sourceAddress = address.sourceAddress;
    std::memcpy(t->destinationMac, address.destinationMac, sizeof t->destinationMac);
    t->destinationPort = address.destinationPort;
    t->sourcePort = address.sourcePort;
    t->length = length;
    t->idleTimeout = x.idleTimeout;
    std::wmemcpy(t->fileName, name, nameLength + 1);
    std::wcscpy(t->tempPath, path);
    t->owner = &x;
    t->segmentTally = &x.table.segmentRecords;

    // The row first, without the mutex: the view may call into the UI thread.
    if (x.view.rowInserted) {
        wchar_t sizeText[128];
        formatSizeText(length, sizeText, 128);
        x.view.rowInserted(x.view.context, x.table.objectCounter, t, t->fileName, icon, sizeText);
    }
    lockMutex(x.table.mutex);
    linkTransfer(x.table, t);
    unlockMutex(x.table.mutex);
    ++x.table.objectCounter;
    return t;
}
