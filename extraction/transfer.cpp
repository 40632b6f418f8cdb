#include "extraction/transfer.h"

Transfer* findTransfer(TransferTable& table, uint32_t destinationAddress, uint16_t destinationPort,
                       uint16_t sourcePort) {
    lockMutex(table.mutex);
    for (Transfer* t = table.first; t; t = t->next) {
        if (t->destinationAddress != destinationAddress || t->destinationPort != destinationPort ||
            t->sourcePort != sourcePort)
            continue;
        // The first Transfer with the key ends the walk: a closing one hides
        // nothing, since a newer one with the same key stands in front of it.
        if (!t->closing.load(std::memory_order_acquire)) return t;
        break;
    }
    unlockMutex(table.mutex);
    return nullptr;
}

void linkTransfer(TransferTable& table, Transfer* transfer) {
    transfer->prev = nullptr;
    transfer->next = table.first;
    if (table.first) table.first->prev = transfer;
    table.first = transfer;
}

void unlinkTransfer(TransferTable& table, Transfer* transfer) {
    if (transfer->prev)
        transfer->prev->next = transfer->next;
    else if (table.first == transfer)
        table.first = transfer->next;
    if (transfer->next) transfer->next->prev = transfer->prev;
    transfer->next = transfer->prev = nullptr;
}

bool containsTransfer(const TransferTable& table, const Transfer* transfer) {
    for (const Transfer* t = table.first; t; t = t->next)
        if (t == transfer) return true;
    return false;
}

SegmentNode* addSegment(Transfer& transfer, uint32_t sequence, uint32_t offset) {
    auto* node = new SegmentNode;
    node->sequence = sequence;
    node->offset = offset;
    node->next = transfer.segments.first;
    if (transfer.segments.first)
        transfer.segments.first->prev = node;
    else
        transfer.segments.last = node;
    transfer.segments.first = node;
    transfer.segmentIndex[sequence] = node;
    if (transfer.segmentTally) transfer.segmentTally->fetch_add(1, std::memory_order_relaxed);
    return node;
}

bool segmentFits(const TransferTable& table, const Transfer& t) {
    uint64_t own = t.segmentIndex.size() + 1;
    uint64_t earned = kSpareSegments + t.received.load(std::memory_order_relaxed) / kMinSegmentBytes;
    uint64_t all = table.segmentRecords.load(std::memory_order_relaxed) + 1;
    return own <= earned && all * kSegmentRecordBytes <= kSegmentBudgetBytes;
}

SegmentNode* findSegment(Transfer& transfer, uint32_t sequence) {
    auto found = transfer.segmentIndex.find(sequence);
    return found == transfer.segmentIndex.end() ? nullptr : found->second;
}

void removeSegment(Transfer& transfer, SegmentNode* node) {
    auto found = transfer.segmentIndex.find(node->sequence);
    if (found != transfer.segmentIndex.end() && found->second == node) transfer.segmentIndex.erase(found);
    if (node->prev) node->prev->next = node->next;
    else transfer.segments.first = node->next;
    if (node->next) node->next->prev = node->prev;
    else transfer.segments.last = node->prev;
    if (transfer.segmentTally) transfer.segmentTally->fetch_sub(1, std::memory_order_relaxed);
    delete node;
}

void freeSegments(Transfer& transfer) {
    transfer.segmentIndex.clear();
    while (transfer.segments.first) removeSegment(transfer, transfer.segments.first);
}

void freeTransfer(Transfer* transfer) {
    freeSegments(*transfer);
    delete transfer;
}
