// Object extraction: from checked object datagrams to finished files.
//
// Threads: the packet thread dispatches datagrams (takeObjectDatagram) and
// creates Transfers; each Transfer has a worker thread that inflates its
// payloads into a temporary file and, when the announced length has arrived,
// assembles the finished file; the user interface reads and cancels Transfers
// under the table's mutex. Lock order: the mutex, then a Transfer's
// readyForMore. Nobody calls into the view while holding the mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "extraction/own_files.h"
#include "extraction/transfer.h"
#include "reception/section_assembler.h"
#include "settings/filter_set.h"
#include "settings/log_file.h"
#include "settings/shared_block.h"

// The list window, as the core sees it. Calls are synchronous and never made
// while the table's mutex is held.
struct TransferView {
    // A new object, at the end of the list (position = the object's counter).
    void (*rowInserted)(void* context, uint32_t position, Transfer* transfer, const wchar_t* fileName,
                        int32_t icon, const wchar_t* sizeText) = nullptr;
    // The Transfer is gone; `identity` is only compared, never read.
    void (*rowRemoved)(void* context, const void* identity) = nullptr;
    // A complete object was assembled (`placed`, at `path`) or could not be.
    void (*filePlaced)(void* context, const wchar_t* fileName, const wchar_t* path, bool placed) = nullptr;
    void* context = nullptr;
};

// A directory path that the settings may replace while workers read it:
// absolute and ending with the separator, or empty (unusable).
struct SharedPath {
    SharedBlock text;
};
void setSharedPath(SharedPath& path, const wchar_t* text);
// Copies the path into `buffer` (kMaxPath characters); returns its length.
size_t readSharedPath(SharedPath& path, wchar_t* buffer);

// What became of datagrams and objects: the answer to "why did my file not
// come?". Written by the packet and worker threads, read by anyone.
struct ExtractionCounters {
    // Datagrams, in the order in which they are judged.
    std::atomic<uint64_t> datagrams{0};       // every UDP payload handed in
    std::atomic<uint64_t> tooShort{0};        // shorter than header and check
    std::atomic<uint64_t> wrongType{0};
    std::atomic<uint64_t> badCheck{0};
    std::atomic<uint64_t> tooLong{0};
    std::atomic<uint64_t> notOurs{0};         // sequence > 1 and no object on the key
    std::atomic<uint64_t> firstRepeats{0};    // the live object's own first datagram again
    std::atomic<uint64_t> lateForClosing{0};  // its object ended while the datagram waited
    std::atomic<uint64_t> beyondLength{0};    // a sequence number its object's length cannot reach
    std::atomic<uint64_t> notInflated{0};     // first datagrams that do not inflate
    std::atomic<uint64_t> headerRefused{0};   // no usable header, extension or length
    std::atomic<uint64_t> filterRefused{0};
    std::atomic<uint64_t> noTmpDir{0};
    std::atomic<uint64_t> tempFileFailed{0};  // the temporary file (or the worker) not made
    // Objects.
    std::atomic<uint64_t> started{0};
    std::atomic<uint64_t> completed{0};       // the announced length arrived
    std::atomic<uint64_t> placed{0};
    std::atomic<uint64_t> assemblyFailed{0};  // complete, but no finished file could be made
    std::atomic<uint64_t> timedOut{0};
    std::atomic<uint64_t> cancelled{0};       // by the user
    std::atomic<uint64_t> replaced{0};        // the next object on the key began first
    std::atomic<uint64_t> failed{0};          // a payload did not inflate
    std::atomic<uint64_t> writeFailed{0};     // the temporary file took not all of a payload
    // More bytes than announced, or more empty segments than allowed.
    std::atomic<uint64_t> oversized{0};
    // Segment records beyond the object's bound or the table's budget: the
    // refused datagrams, and the objects ended for it.
    std::atomic<uint64_t> tooManySegments{0};
    std::atomic<uint64_t> overBudget{0};
};

inline void countEvent(std::atomic<uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

// Objects lost to the disk or the folders, each told in the log as "not
// saved": what the window's error count and the headless status add to the
// stream's own errors.
inline uint64_t filesNotSaved(const ExtractionCounters& c) {
    return c.tempFileFailed.load() + c.writeFailed.load() + c.assemblyFailed.load();
}

struct Extraction {
    TransferTable table;
    uint32_t idleTimeout = 0;  // milliseconds, fixed at start-up
    std::atomic<int32_t> sortByExtension{0};
    SharedPath tmpDir;
    SharedPath okDir;
    TransferView view;
    FilterSet* filters = &gFilterSet;
    LogFile* log = &gLog;
    ExtractionCounters counters;
    OwnFiles ownFiles;
    // For tests: called on a worker right after it has signalled readyForMore
    // for a payload, so that a test can hold the worker at that point.
    void (*afterReadyForMore)(void* context, Transfer* transfer) = nullptr;
    void* hookContext = nullptr;
};

// The program's extraction state.
extern Extraction gExtraction;

// Creates the table's mutex and reads "timeout" (seconds, into idleTimeout in
// milliseconds) and "sort" from config.ini. Runs before any datagram arrives.
void initExtraction(Extraction& extraction);
// The same with values given directly, for tools and tests.
void initExtractionWith(Extraction& extraction, uint32_t idleTimeoutMs, int32_t sortByExtension);

// The datagram sink of the packet intake: checks an ObjectDatagram and hands
// its payload to its Transfer, or starts a Transfer for a wanted object.
void takeObjectDatagram(Extraction& extraction, const DatagramAddress& address, const uint8_t* datagram,
                        uint16_t length);
// Adapter for SectionAssembler::sink with the Extraction as context.
void objectDatagramSink(void* extraction, const DatagramAddress& address, const uint8_t* payload,
                        uint16_t length);

Transfer* createTransfer(Extraction& extraction, const DatagramAddress& address, const wchar_t* name,
                         uint32_t length, int32_t icon);

// The worker thread of one Transfer.
void runWorker(void* transfer);
// Ends a Transfer: closing, unlink, row, events, nodes, record - in this order,
// so that a row never outlives the record whose address identifies it.
void teardownTransfer(Transfer* transfer);
void deleteTempFile(Transfer* transfer);
// The user's delete: the caller holds the mutex and found the Transfer in the
// table. Returns at once; the worker discards the object.
void cancelTransfer(Transfer* transfer);
// Once nothing arrives any more: waits until every Transfer left is idle
// (its worker waits for a payload that will never come), so that no finished
// file is being written when the program ends. Idle Transfers are claimed as
// the packet thread claims a slot; with `discard` they are cancelled and
// waited for too, so that their workers have deleted their temporary files.
// An object being finished or discarded is always waited for (a placement
// is bounded by the file's size); `limitMs` bounds only the wait for workers
// still busy with a payload. With `discard`, the temporary files of those
// are closed at the end, so that the clean-up can delete them.
// `whileWaiting` (may be null) runs between looks, for a caller that must
// keep answering other threads.
void settleTransfers(Extraction& extraction, bool discard, uint32_t limitMs, void (*whileWaiting)(void*),
                     void* context);

// Assembles a complete object's segments in sequence order into a finished
// file in ok_dir (or its extension sub-directory) and deletes the temporary
// file. False when no whole finished file could be made.
bool placeFinishedFile(Transfer* transfer);
// Copies segments 1 to maxSequence into `directory` under `fileName` or, when
// that name is taken, the first free "stem (k).ext". Returns 1 and the path
// used, or 0 when the file could not be made whole; then nothing is left.
int assembleFile(const wchar_t* directory, Transfer* transfer, wchar_t* placedPath);

// "name (counter).ext", cut to 255 characters, or "%X_%d_%d_%d.ext" from the
// address when the object has no name.
void buildFileName(const wchar_t* name, const ExtensionEntry* extension, const DatagramAddress& address,
                   uint32_t counter, wchar_t* fileName);

// ---- The program's own files at start and exit ----------------------------

// Before reception starts: this receiver's journal in tmp_dir, and the
// leftovers of receivers that ended without their clean-up (their partial
// files deleted and logged, their temporary files taken over).
void startOwnFiles(Extraction& extraction);
// At exit, once no object is being written: with `clearTmp`, the temporary
// files this receiver made are deleted (unless tmpClearRefusal refuses);
// then the journal is closed, and removed when it lists nothing.
void endOwnFiles(Extraction& extraction, bool clearTmp);
// Why nothing in `tmpDir` may be deleted at exit, in English; null when the
// program's own temporary files there may go. Refused: a relative path, the
// root of a volume, share or mounted file system, the working directory,
// ok_dir or a directory that holds either, and one holding config.ini or
// filters.qmf. A second line of defence: only recorded files are ever deleted.
const char* tmpClearRefusal(const wchar_t* tmpDir, const wchar_t* okDir);
// tmpClearRefusal against the extraction's ok_dir; a refusal is logged.
bool tmpDirMayBeCleared(Extraction& extraction, const wchar_t* tmpDir);
