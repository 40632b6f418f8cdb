// Objects' payloads to datagrams, the carousel's sending order (with the
// damage tests ask for), and the transport stream around it.
#include "tools/broadcast_lib.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace {

constexpr size_t kPacketSize = 188;

// splitmix64: the same numbers from the same seed on every platform and
// standard library, which the std distributions do not promise.
struct Random {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t below(size_t bound) { return bound ? size_t(next() % bound) : 0; }
};

// One datagram of one pass on its way out.
struct Emission {
    size_t object = 0;
    uint32_t sequence = 0;
    bool extension = false;
    bool corrupt = false;
    bool duplicate = false;
    bool marked = false;
    Bytes datagram;
};
using Queue = std::vector<Emission>;  // one object's datagrams in sending order

// Marks exactly round(fraction × candidates) of the emissions that satisfy
// `eligible`, chosen at random; clears every other mark.
template <class Eligible>
void markFraction(Random& random, std::vector<Queue>& queues, double fraction, Eligible eligible) {
    std::vector<Emission*> candidates;
    for (Queue& queue : queues)
        for (Emission& emission : queue) {
            emission.marked = false;
            if (eligible(emission)) candidates.push_back(&emission);
        }
    size_t count = size_t(std::llround(fraction * double(candidates.size())));
    for (size_t i = 0; i < count; ++i) {
        std::swap(candidates[i], candidates[i + random.below(candidates.size() - i)]);
        candidates[i]->marked = true;
    }
}

void put16le(Bytes& out, uint32_t value) {
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}

void put32le(Bytes& out, uint32_t value) {
    put16le(out, value & 0xFFFF);
    put16le(out, value >> 16);
}

std::vector<Queue> buildQueues(Random& random, const std::vector<std::vector<Bytes>>& payloads,
                               const BroadcastOptions& options) {
    std::vector<Queue> queues(payloads.size());
    for (size_t k = 0; k < payloads.size(); ++k)
        for (size_t i = 0; i < payloads[k].size(); ++i) {
            Emission emission;
            emission.object = k;
            emission.sequence = uint32_t(i + 1);
            queues[k].push_back(std::move(emission));
        }
    auto all = [](const Emission&) { return true; };
    markFraction(random, queues, options.extension, all);
    for (Queue& queue : queues)
        for (Emission& e : queue) e.extension = e.marked;
    markFraction(random, queues, options.corruptChecks, all);
    for (Queue& queue : queues)
        for (Emission& e : queue) {
            DatagramFields fields;
            fields.sequence = e.sequence;
            fields.extension = e.extension;
            if (e.extension) fields.extensionValue = uint32_t(random.next());
            e.corrupt = e.marked;
            if (e.corrupt) fields.corruptBit = int(random.below(16));
            e.datagram = buildDatagram(fields, payloads[e.object][e.sequence - 1]);
        }
    return queues;
}

void dropSome(Random& random, std::vector<Queue>& queues, const BroadcastOptions& options) {
    markFraction(random, queues, options.drop, [&](const Emission& e) { return options.dropFirst || e.sequence != 1; });
    for (Queue& queue : queues)
        queue.erase(std::remove_if(queue.begin(), queue.end(), [](const Emission& e) { return e.marked; }),
                    queue.end());
}

// A copy goes somewhere behind its original; a copy of a protected datagram 1
// goes right behind it, so that nothing else of its object precedes it.
void duplicateSome(Random& random, std::vector<Queue>& queues, const BroadcastOptions& options) {
    markFraction(random, queues, options.duplicate, [](const Emission&) { return true; });
    for (Queue& queue : queues)
        for (size_t i = queue.size(); i-- > 0;) {
            if (!queue[i].marked) continue;
            Emission copy = queue[i];
            copy.marked = false;
            copy.duplicate = true;
            bool keepClose = copy.sequence == 1 && !options.reorderFirst;
            size_t at = keepClose ? i + 1 : i + 1 + random.below(queue.size() - i);
            queue.insert(queue.begin() + std::ptrdiff_t(at), std::move(copy));
        }
}

// Moved datagrams are taken out and put back at random places, behind the
// leading copies of datagram 1 unless that one may move too.
void reorderSome(Random& random, std::vector<Queue>& queues, const BroadcastOptions& options) {
    markFraction(random, queues, options.reorder,
                 [&](const Emission& e) { return options.reorderFirst || e.sequence != 1; });
    for (Queue& queue : queues) {
        Queue moving;
        Queue staying;
        for (Emission& e : queue) (e.marked ? moving : staying).push_back(std::move(e));
        size_t head = 0;
        if (!options.reorderFirst)
            while (head < staying.size() && staying[head].sequence == 1) ++head;
        for (Emission& e : moving) {
            size_t at = head + random.below(staying.size() - head + 1);
            staying.insert(staying.begin() + std::ptrdiff_t(at), std::move(e));
        }
        queue = std::move(staying);
    }
}

Queue merge(std::vector<Queue>& queues, bool interleave) {
    Queue order;
    if (!interleave) {
        for (Queue& queue : queues)
            for (Emission& e : queue) order.push_back(std::move(e));
        return order;
    }
    for (size_t round = 0;; ++round) {
        bool any = false;
        for (Queue& queue : queues)
            if (round < queue.size()) {
                order.push_back(std::move(queue[round]));
                any = true;
            }
        if (!any) return order;
    }
}

Queue planPass(Random& random, const std::vector<std::vector<Bytes>>& payloads, const BroadcastOptions& options) {
    std::vector<Queue> queues = buildQueues(random, payloads, options);
    dropSome(random, queues, options);
    duplicateSome(random, queues, options);
    reorderSome(random, queues, options);
    return merge(queues, options.interleave);
}

void requireFraction(double value, const char* what) {
    if (!(value >= 0.0 && value <= 1.0)) throw BroadcastError(std::string(what) + " must be a fraction from 0 to 1");
}

void validate(const BroadcastOptions& options, size_t objectCount) {
    requireFraction(options.reorder, "reorder");
    requireFraction(options.duplicate, "duplicate");
    requireFraction(options.drop, "drop");
    requireFraction(options.extension, "extension");
    requireFraction(options.corruptChecks, "corrupt-checks");
    if (options.repeat == 0) throw BroadcastError("repeat must be at least 1");
    if (options.pid > 0x1FFF) throw BroadcastError("the PID must be at most 8191");
    if (objectCount == 0) throw BroadcastError("no files to send");
    uint64_t lastPort = options.endpoints.sourcePort + uint64_t(objectCount - 1) * options.portStep;
    if (lastPort > 0xFFFF)
        throw BroadcastError(std::to_string(objectCount) + " objects need source ports up to " +
                             std::to_string(lastPort) + ", beyond 65535");
}

}  // namespace

Bytes buildDatagram(const DatagramFields& fields, const Bytes& payload) {
    Bytes datagram;
    datagram.reserve(kDatagramHeaderSize + kDatagramExtensionSize + payload.size() + kDatagramCheckSize);
    datagram.push_back(kObjectDatagramType);
    put32le(datagram, fields.sequence);
    datagram.push_back(fields.extension ? kExtensionFlag : 0);
    if (fields.extension) put32le(datagram, fields.extensionValue);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    uint16_t check = datagramCheck(datagram.data(), datagram.size());
    if (fields.corruptBit >= 0) check = uint16_t(check ^ (1u << (fields.corruptBit & 15)));
    put16le(datagram, check);
    return datagram;
}

std::array<uint8_t, 6> macFor(uint32_t destination) {
    uint8_t b1 = uint8_t(destination >> 16), b2 = uint8_t(destination >> 8), b3 = uint8_t(destination);
    if ((destination >> 28) == 0xE) return {0x01, 0x00, 0x5E, uint8_t(b1 & 0x7F), b2, b3};
    return {0x02, 0x00, uint8_t(destination >> 24), b1, b2, b3};
}

Bytes makeBroadcast(const std::vector<ObjectToSend>& objects, const BroadcastOptions& options,
                    std::vector<SentDatagram>* sent) {
    validate(options, objects.size());
    EncodeOptions encode;
    encode.maxPayload = options.extension > 0 ? kMaxExtendedPayload : kMaxPlainPayload;
    encode.allowEmpty = options.allowEmpty;
    std::vector<std::vector<Bytes>> payloads;
    for (const ObjectToSend& object : objects) payloads.push_back(encodeObject(object, encode));

    std::array<uint8_t, 6> mac = options.mac.value_or(macFor(options.endpoints.destinationAddress));
    Random random{options.seed};
    TsPacketizer packetizer;
    packetizer.pid = options.pid;
    packetizer.packSections = options.pack;
    Bytes ts;
    packetizeSection(packetizer, Bytes{0xFF}, ts);
    for (uint32_t pass = 0; pass < options.repeat; ++pass) {
        for (Emission& e : planPass(random, payloads, options)) {
            UdpEndpoints endpoints = options.endpoints;
            endpoints.sourcePort = uint16_t(endpoints.sourcePort + e.object * options.portStep);
            Bytes ip = buildUdpDatagram(endpoints, e.datagram.data(), e.datagram.size());
            packetizeSection(packetizer, buildMpeSection(mac.data(), ip), ts);
            if (sent)
                sent->push_back({e.object, pass, e.sequence, endpoints, mac, e.extension, e.corrupt, e.duplicate,
                                 std::move(e.datagram)});
        }
    }
    finishStream(packetizer, ts);
    return ts;
}

Bytes makePcap(const Bytes& ts, uint32_t rateKbps) {
    if (rateKbps == 0) throw BroadcastError("the rate must be at least 1 kbit/s");
    Bytes out;
    put32le(out, 0xA1B2C3D4);  // microsecond timestamps
    put16le(out, 2);
    put16le(out, 4);
    put32le(out, 0);  // UTC
    put32le(out, 0);
    put32le(out, 65535);
    put32le(out, kPcapLinkTypeMpeg2Ts);
    const uint64_t packetBits = uint64_t(kPacketSize) * 8;
    for (size_t at = 0, index = 0; at + kPacketSize <= ts.size(); at += kPacketSize, ++index) {
        uint64_t micros = index * packetBits * 1000 / rateKbps;
        put32le(out, uint32_t(micros / 1000000));
        put32le(out, uint32_t(micros % 1000000));
        put32le(out, kPacketSize);
        put32le(out, kPacketSize);
        out.insert(out.end(), ts.begin() + std::ptrdiff_t(at), ts.begin() + std::ptrdiff_t(at + kPacketSize));
    }
    return out;
}
