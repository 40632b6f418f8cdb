#include "settings/shared_block.h"

#include <cstdlib>

#include "platform/platform.h"

const void* beginRead(SharedBlock& shared) {
    shared.readers.fetch_add(1, std::memory_order_seq_cst);
    return shared.block.load(std::memory_order_seq_cst);
}

void endRead(SharedBlock& shared) { shared.readers.fetch_sub(1, std::memory_order_seq_cst); }

void replaceBlock(SharedBlock& shared, void* fresh) {
    // A reader that got the old block announced itself before the exchange,
    // so it keeps `readers` above zero until it is done with it.
    void* old = shared.block.exchange(fresh, std::memory_order_seq_cst);
    while (shared.readers.load(std::memory_order_seq_cst) != 0) sleepMilliseconds(0);
    std::free(old);
}
