// One worker thread per Transfer: inflates each handed-off payload with the
// object's one zlib stream into the temporary file, and ends the Transfer when
// the object is complete, idle, undecodable or cancelled.
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <unordered_set>

#include <zlib.h>

#include "extraction/extraction.h"
#include "settings/messages.h"

namespace {

constexpr uint32_t kOutputCapacity = 65535;

enum class Payload { written, complete, failed, oversized };

// Inflates the slot's payload; every call must answer Z_OK. Returns the
// number of bytes produced, or -1.
int32_t inflatePayload(z_stream& stream, Transfer& t, uint16_t length, uint8_t* output) {
    stream.next_in = t.handoff;
    stream.avail_in = length;
    stream.next_out = output;
    stream.avail_out = kOutputCapacity;
    while (stream.avail_in > 0) {
        int result = inflate(&stream, Z_SYNC_FLUSH);
        if (result == Z_NEED_DICT) showMessage(L"Need DICT", nullptr, MessageIcon::none);
        // The end of the stream is a failure too: an object ends when its
        // announced length has arrived. Output beyond the buffer shows as Z_BUF_ERROR.
        if (result != Z_OK) return -1;
    }
    return int32_t(kOutputCapacity - stream.avail_out);
}

// Writes one payload's output (without the header, the first time) at the end
// of the file, or over its earlier copy for a repeated sequence number. A
// write that does not write everything fails the object: the segment would
// be short while `received` counted it whole. Bytes beyond the announced
// length, or too many segments that bring nothing, can never make a whole
// object: such an object ends at once instead of growing until it idles.
// Writes `count` bytes; on failure `why` says what went wrong.
bool writeAll(FileHandle file, const uint8_t* bytes, uint32_t count, char* why, size_t capacity) {
    if (count == 0) return true;
    int64_t written = writeFile(file, bytes, count);
    if (written == int64_t(count)) return true;
    if (written < 0)
        systemErrorText(lastSystemError(), why, capacity);
    else
        std::snprintf(why, capacity, "only %lld of %u bytes written", static_cast<long long>(written), count);
    return false;
}

bool moved(bool done, char* why, size_t capacity) {
    if (!done) systemErrorText(lastSystemError(), why, capacity);
    return done;
}

Payload storePayload(Transfer& t, const uint8_t* output, uint32_t produced, bool& headerRemoved, char* why,
                     size_t capacity) {
    uint32_t skip = 0;
    if (!headerRemoved) {
        skip = t.headerLength < produced ? t.headerLength : produced;
        headerRemoved = true;
    }
    FileHandle file = t.tempFile.load(std::memory_order_relaxed);
    SegmentNode* node = t.currentSegment;
    uint32_t count = produced - skip;
    bool rewrite = t.rewrite != 0;
    t.rewrite = 0;
    bool adds = !rewrite || (count != node->length && node->length == 0);
    if (adds && uint64_t(t.received.load(std::memory_order_relaxed)) + count > t.length) return Payload::oversized;
    if (!rewrite && count == 0 && ++t.emptySegments > spareSegments(t.length)) return Payload::oversized;
    if (rewrite && count != node->length) {
        // A repeat that does not match its stored copy in length cannot be
        // written over it: a longer one would overwrite the segment behind
        // it, a shorter one would shrink a segment that `received` counted
        // whole. Only an empty segment (a datagram that carried nothing)
        // takes the bytes, at the end of the file; otherwise the first copy stays.
        if (node->length != 0) return Payload::written;
        int64_t end = filePosition(file);
        if (!moved(end >= 0, why, capacity) || !writeAll(file, output + skip, count, why, capacity))
            return Payload::failed;
        node->offset = uint32_t(end);
        node->length = count;
        t.received.fetch_add(count, std::memory_order_release);
    } else {
        if (rewrite && !moved(seekFile(file, node->offset), why, capacity)) return Payload::failed;
        if (!writeAll(file, output + skip, count, why, capacity)) return Payload::failed;
        node->length = count;
        if (rewrite && !moved(seekFileToEnd(file), why, capacity)) return Payload::failed;
        if (!rewrite) t.received.fetch_add(count, std::memory_order_release);
    }
    return t.received.load(std::memory_order_relaxed) == t.length ? Payload::complete : Payload::written;
}

void signalReadyForMore(Transfer* t) {
    setEvent(t->readyForMore);
    Extraction& x = *t->owner;
    if (x.afterReadyForMore) x.afterReadyForMore(x.hookContext, t);
}

// Discards the object: nothing of it survives.
void fail(Transfer* t, z_stream& stream, std::atomic<uint64_t>& reason) {
    countEvent(reason);
    deleteTempFile(t);
    teardownTransfer(t);
    inflateEnd(&stream);
}

void complete(Transfer* t, z_stream& stream) {
    ExtractionCounters& c = t->owner->counters;
    countEvent(c.completed);
    countEvent(placeFinishedFile(t) ? c.placed : c.assemblyFailed);
    teardownTransfer(t);
    inflateEnd(&stream);
}

}  // namespace

void runWorker(void* raw) {
    Transfer* t = static_cast<Transfer*>(raw);
    ExtractionCounters& c = t->owner->counters;
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    inflateInit_(&stream, "1.2.3", int(sizeof stream));
    uint8_t output[kOutputCapacity];
    bool headerRemoved = false;
    for (;;) {
        // The idle time-out counts from the end of the last payload.
        if (waitEvent(t->dataReady, t->idleTimeout) != WaitResult::signalled) return fail(t, stream, c.timedOut);
        uint16_t length = t->handoffLength.exchange(kSlotEmpty, std::memory_order_acq_rel);
        // A cancel request that lost its slot to a payload leaves a second
        // signal behind; the slot is empty then, and there is nothing to do.
        if (length == kSlotEmpty) continue;
        if (length == 0) {
            // The user's delete, or the next object on the key, which closed
            // this one before asking.
            uint32_t why = t->closing.load(std::memory_order_acquire);
            if (why == kClosedForMemory) return fail(t, stream, c.overBudget);
            return fail(t, stream, why == kClosedByUser ? c.cancelled : c.replaced);
        }
        if (length == kEmptyPayload) length = 0;
        int32_t produced = inflatePayload(stream, *t, length, output);
        if (produced < 0) return fail(t, stream, c.failed);
        char why[256] = "";
        Payload stored = storePayload(*t, output, uint32_t(produced), headerRemoved, why, sizeof why);
        if (stored == Payload::failed) {
            // The disk said no: the user must learn why the file will not come.
            logFileNotSaved(*t->owner->log, t->fileName, why);
            return fail(t, stream, c.writeFailed);
        }
        if (stored == Payload::oversized) return fail(t, stream, c.oversized);
        if (stored == Payload::complete) {
            // closing before readyForMore: a packet thread waiting for the
            // slot must drop its payload, not hand it to a worker that is gone.
            t->closing.store(1, std::memory_order_release);
            signalReadyForMore(t);
            return complete(t, stream);
        }
        signalReadyForMore(t);
    }
}
void deleteTempFile(Transfer* t) {
    FileHandle file = t->tempFile.exchange(kNoFile, std::memory_order_acq_rel);
    closeFile(file);
    // The path the file was made with, wherever tmp_dir points now.
    if (t->tempPath[0] && deleteFile(t->tempPath)) forgetOwnFile(t->owner->ownFiles, t->tempPath);
}

void teardownTransfer(Transfer* t) {
    // First let a packet thread that waits for the slot go (it holds the mutex).
    t->closing.store(1, std::memory_order_release);
    setEvent(t->readyForMore);
    Extraction& x = *t->owner;
    lockMutex(x.table.mutex);
    unlinkTransfer(x.table, t);
    unlockMutex(x.table.mutex);
    // The nodes go while the table they are counted in is sure to exist:
    // once the row is gone, nothing keeps the Extraction for this worker.
    freeSegments(*t);
    // The row goes while the record still exists, so that no new Transfer
    // can take this address while a row still names it. Without the mutex:
    // the view calls into the UI thread.
    if (x.view.rowRemoved) x.view.rowRemoved(x.view.context, t);
    closeEvent(t->dataReady);
    closeEvent(t->readyForMore);
    freeTransfer(t);
}

void cancelTransfer(Transfer* t) {
    // closing first: a packet thread that takes the slot after this drops its
    // payload instead of writing it over the request. An object that is
    // already ending needs nothing.
    uint32_t open = 0;
    if (!t->closing.compare_exchange_strong(open, kClosedByUser, std::memory_order_acq_rel)) return;
    t->handoffLength.store(0, std::memory_order_release);
    setEvent(t->dataReady);
}

void settleTransfers(Extraction& x, bool discard, uint32_t limitMs, void (*whileWaiting)(void*), void* context) {
    TransferTable& table = x.table;
    if (!table.mutex) return;
    std::unordered_set<const Transfer*> claimed;
    uint64_t deadline = monotonicMilliseconds() + limitMs;
    for (;;) {
        while (!lockMutexFor(table.mutex, 10))
            if (whileWaiting) whileWaiting(context);
        bool busy = false, ending = false;
        for (Transfer* t = table.first; t; t = t->next) {
            if (!claimed.count(t) && waitEvent(t->readyForMore, 0) == WaitResult::signalled) {
                claimed.insert(t);
                if (discard) cancelTransfer(t);
            }
            // A closing Transfer is being finished or discarded: a process
            // that ended under it would leave a partial file behind.
            if (t->closing.load(std::memory_order_acquire))
                ending = true;
            else if (!claimed.count(t))
                busy = true;
        }
        if (!ending && (!busy || monotonicMilliseconds() >= deadline)) {
            // Workers still busy with a payload past the limit lose their
            // files, so that the clean-up can delete them; their objects fail.
            for (Transfer* t = table.first; t && discard; t = t->next)
                closeFile(t->tempFile.exchange(kNoFile, std::memory_order_acq_rel));
            unlockMutex(table.mutex);
            return;
        }
        unlockMutex(table.mutex);
        if (whileWaiting) whileWaiting(context);
        sleepMilliseconds(5);
    }
}
