// A block that one thread replaces whole while others read it, without a lock
// on the readers' side: a reader announces itself before it takes the block,
// and the writer frees a replaced block only once no reader is left.
// Used for the filter set and the directory paths.
#pragma once

#include <atomic>
#include <cstdint>

struct SharedBlock {
    std::atomic<void*> block{nullptr};
    std::atomic<uint32_t> readers{0};
};

// Takes the current block for reading; hand it back with endRead.
const void* beginRead(SharedBlock& shared);
void endRead(SharedBlock& shared);
// Puts `fresh` (from malloc, or nullptr) in place and frees the block it
// replaces once no reader can still hold it.
void replaceBlock(SharedBlock& shared, void* fresh);
