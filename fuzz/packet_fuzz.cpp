// Arbitrary bytes cut into packets for the packet intake. The first byte picks
// a packet length (so short and over-long buffers are tried too); the rest
// is fed packet by packet, with sync bytes forced on most packets so the
// fuzzer spends its time past the first check.
#include <cstdint>
#include <cstring>

#include "reception/section_assembler.h"
#include "settings/log_file.h"

namespace {

uint64_t gSeen;

void sink(void*, const DatagramAddress& address, const uint8_t* payload, uint16_t length) {
    // Touch every byte handed on, so reads outside the buffer are caught here.
    for (uint16_t i = 0; i < length; ++i) gSeen += payload[i];
    gSeen += address.destinationPort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LogFile quiet;
    static bool ready = false;
    if (!ready) {
        useStream(quiet, std::fopen("/dev/null", "w"), false);
        ready = true;
    }
    static SectionAssembler assembler;
    assembler.log = &quiet;
    assembler.sink = sink;
    if (size < 1) return 0;
    uint32_t length = data[0] % 4 == 0 ? data[0] : 188;
    ++data;
    --size;
    while (size > 0) {
        uint32_t take = size < length ? uint32_t(size) : length;
        // An exact-size heap copy, so a read past the packet's end is caught.
        uint8_t* packet = new uint8_t[take ? take : 1];
        std::memcpy(packet, data, take);
        if (take > 0 && (packet[0] & 0x0F) != 0) packet[0] = 0x47;
        takePacket(assembler, packet, take);
        delete[] packet;
        data += take;
        size -= take;
        if (take == 0) break;
    }
    return 0;
}
