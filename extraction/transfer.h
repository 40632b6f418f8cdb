// Objects in progress: the Transfer record, where its sequence numbers lie in
// its temporary file, and the table of all of them under its one mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <unordered_map>

#include "extraction/file_names.h"
#include "platform/platform.h"

struct Extraction;

// Where one sequence number's decompressed bytes lie in the temporary file.
struct SegmentNode {
    SegmentNode* next = nullptr;  // towards older nodes
    SegmentNode* prev = nullptr;  // towards newer nodes
    uint32_t offset = 0;
    uint32_t sequence = 0;
    uint32_t length = 0;  // bytes written by the last write for this sequence number
};

// Newest node first.
struct SegmentList {
    SegmentNode* first = nullptr;
    SegmentNode* last = nullptr;
};

constexpr uint16_t kHandoffCapacity = 2048;
// handoffLength of a slot whose payload the worker has taken. 0 remains the
// cancel request; real payloads are 1 to 2048 bytes, and a datagram that
// carries no payload bytes at all is handed over as kEmptyPayload.
constexpr uint16_t kSlotEmpty = 0xFFFF;
constexpr uint16_t kEmptyPayload = 0xFFFE;
constexpr uint32_t kClosedByUser = 2;
// closing of a Transfer ended because its segment records outgrew their bound.
constexpr uint32_t kClosedForMemory = 3;
// Every datagram after the first must bring at least one body byte, but for
// a few that carry nothing (a payload that inflates to no output, such as a
// piece of a block's code tables). An object of `length` bytes may have that
// many of them: sequence numbers beyond its length plus these are refused,
// and an object with more empty segments ends.
constexpr uint32_t kSpareSegments = 1024;
inline uint32_t spareSegments(uint32_t length) { return kSpareSegments + length / 1024; }

// Memory for segment records has a bound whatever a sender announces. One
// segment costs its node, its index entry with its share of the buckets, and
// the allocator's headers: about this many bytes (huge_object_bench measures it).
constexpr uint64_t kSegmentRecordBytes = 104;
// All Transfers' segment records together: enough for objects of several
// gigabytes in progress at once in datagrams of common size.
constexpr uint64_t kSegmentBudgetBytes = sizeof(void*) >= 8 ? uint64_t(256) << 20 : uint64_t(64) << 20;
// Past its first kSpareSegments, a Transfer's segments bring at least this
// many body bytes each on average: a real object's datagrams carry hundreds
// or thousands; a stream of near-empty ones only grows the records.
constexpr uint32_t kMinSegmentBytes = 16;

struct Transfer {
    Transfer* next = nullptr;
    Transfer* prev = nullptr;
    SegmentList segments;
    // The node of each sequence number (there is at most one), so that a
    // repeat or a late datagram of a huge object is found in constant time.
    std::unordered_map<uint32_t, SegmentNode*> segmentIndex;
    uint32_t emptySegments = 0;  // segments that came out empty; counted by the worker
    // The table's count of segment records, kept by addSegment and removeSegment.
    std::atomic<uint64_t>* segmentTally = nullptr;
    uint8_t rewrite = 0;  // the waiting payload repeats a stored sequence number
    // Closed and reset to kNoFile by the worker while the packet thread may
    // still read the file's position.
    std::atomic<FileHandle> tempFile{kNoFile};
    Event* dataReady = nullptr;
    Event* readyForMore = nullptr;
    uint32_t destinationAddress = 0;
    uint32_t sourceAddress = 0;
    uint8_t destinationMac[6] = {};
    uint16_t headerLength = 0;
    uint16_t destinationPort = 0;
    uint16_t sourcePort = 0;
    uint32_t maxSequence = 1;
    SegmentNode* currentSegment = nullptr;
    uint32_t length = 0;                // announced body length, never 0
    std::atomic<uint32_t> received{0};  // body bytes written, repeats not counted
    uint32_t receivedAtRefresh = 0;     // the list refresh's previous sample
    // 0 while the object is open; set when it ends (kClosedByUser for the
    // user's delete). A closing Transfer takes no more payloads.
    std::atomic<uint32_t> closing{0};
    uint32_t idleTimeout = 0;  // milliseconds
    wchar_t fileName[kFileNameCapacity] = {};
    // tmp_dir and fileName as they were when the file was made: the settings
    // may point tmp_dir elsewhere while the object is live.
    wchar_t tempPath[kMaxPath] = {};
    // Empty until the first payload; a producer fills only an empty slot, so
    // that a cancel request (0) stored first is never overwritten.
    std::atomic<uint16_t> handoffLength{kSlotEmpty};
    uint8_t handoff[kHandoffCapacity] = {};
    // The object's first payload as it arrived, so that a repeat of it can
    // be told from the first datagram of the next object on the same key.
    // Written before the worker starts, then read only by the packet thread.
    uint16_t firstPayloadLength = 0;
    uint8_t firstPayload[kHandoffCapacity] = {};
    Extraction* owner = nullptr;  // where the Transfer belongs (tmp_dir, table, view)
};

struct TransferTable {
    Transfer* first = nullptr;  // newest first
    Mutex* mutex = nullptr;
    // Transfers created so far; read and advanced only on the packet thread.
    uint32_t objectCounter = 0;
    // Segment records of all Transfers, against kSegmentBudgetBytes.
    std::atomic<uint64_t> segmentRecords{0};
};

// Whether one more segment record fits the Transfer's bound and the table's
// budget. The caller holds the mutex and the worker is idle.
bool segmentFits(const TransferTable& table, const Transfer& transfer);

// The live, not closing Transfer with this key, returned with the table's
// mutex held; nullptr (and the mutex free) when there is none. The source
// address is not part of the key.
Transfer* findTransfer(TransferTable& table, uint32_t destinationAddress, uint16_t destinationPort,
                       uint16_t sourcePort);
// Link and unlink; the caller holds the mutex.
void linkTransfer(TransferTable& table, Transfer* transfer);
void unlinkTransfer(TransferTable& table, Transfer* transfer);
// Whether `transfer` is still in the table; the caller holds the mutex. For
// commands that reach a Transfer through a list row, which can outlive it.
bool containsTransfer(const TransferTable& table, const Transfer* transfer);

// A new node at the front of the Transfer's list.
SegmentNode* addSegment(Transfer& transfer, uint32_t sequence, uint32_t offset);
// The node with this sequence number, or nullptr.
SegmentNode* findSegment(Transfer& transfer, uint32_t sequence);
void removeSegment(Transfer& transfer, SegmentNode* node);
void freeSegments(Transfer& transfer);
// Frees the nodes, then the record.
void freeTransfer(Transfer* transfer);
