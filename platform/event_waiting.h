// How a waiter on an event decides between watching the flag and sleeping;
// shared by both halves of the platform layer, which give it their clock,
// their pause and their yield. Not part of the platform interface.
//
// The packet thread and a worker hand one payload at a time to each other.
// When one object is on air, each side waits a few microseconds for the other,
// and being woken from a sleep costs more than that: a short watch pays. When
// many objects are interleaved, a worker waits for its next payload while
// all the others are served, and every microsecond it watches is taken from
// the threads doing the work. So each event learns how long its waits last:
//
// - a waiter watches at most the event's spin limit, then sleeps;
// - a watch that caught the signal after t raises the limit to at least 2t;
// - a waiter that slept learns from the setter's time stamp how long a watch
//   would have needed: up to kMaxSpinNs it raises the limit to twice that,
//   beyond it (or after a time-out) the limit is halved, down to no watch;
// - a catch that came only after the limit (the watcher lost its processor
//   meanwhile, as on a busy machine) halves the limit too;
// - at most one waiter per processor watches at a time (two on a single
//   processor);
// - the watch yields the processor after each round of looks (one look on a
//   single processor): a setter that shares our processor gets to run, and
//   on a busy machine the watch does not hold a processor that the other
//   side needs; with a processor to spare the yield returns at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace eventwaiting {

// Longest watch; a wait longer than this is cheaper asleep. A text payload
// can take a worker tens of microseconds to inflate.
constexpr uint32_t kMaxSpinNs = 200000;
// Below this the limit drops to no watch at all.
constexpr uint32_t kMinSpinNs = 2000;
// A new event expects a quick hand-off.
constexpr uint32_t kInitialSpinNs = 10000;
constexpr int kChecksPerRound = 32;

// The waiters now watching a flag, across the process.
inline std::atomic<int> gWatchers{0};
// false: every waiter goes to sleep at once (the tests use it to exercise the
// sleeping path on its own).
inline std::atomic<bool> gWatching{true};
// Called by setEvent between raising the flag and looking for sleepers, and
// right after the look (wherever that is), when set: the tests use them to
// stop a setter at those points.
inline std::atomic<void (*)()> gWhileSetting{nullptr};
inline std::atomic<void (*)()> gAfterCountingSleepers{nullptr};

// The setter's look for sleepers, with the tests' stop bound to it.
template <class Counter>
int sleepersSeenBySetter(const Counter& sleepers) {
    int seen = sleepers.load();
    if (auto pause = gAfterCountingSleepers.load(std::memory_order_relaxed)) pause();
    return seen;
}

struct SpinLimit {
    std::atomic<uint32_t> nanoseconds{kInitialSpinNs};
};

inline uint32_t clampLimit(uint64_t ns) {
    if (ns < kMinSpinNs) return 0;
    return ns > kMaxSpinNs ? kMaxSpinNs : uint32_t(ns);
}

// A watch caught the signal after `waited` nanoseconds.
inline void learnCaught(SpinLimit& limit, uint64_t waited) {
    uint32_t now = limit.nanoseconds.load(std::memory_order_relaxed);
    uint64_t wanted = 2 * waited + kMinSpinNs;
    if (wanted > now) limit.nanoseconds.store(clampLimit(wanted), std::memory_order_relaxed);
}

// A waiter slept; `needed` is how long after the start of its wait the event
// was set, or UINT64_MAX when it never was (a time-out).
inline void learnSlept(SpinLimit& limit, uint64_t needed) {
    uint32_t now = limit.nanoseconds.load(std::memory_order_relaxed);
    if (needed <= kMaxSpinNs)
        limit.nanoseconds.store(clampLimit(2 * needed + kMinSpinNs), std::memory_order_relaxed);
    else
        limit.nanoseconds.store(clampLimit(now / 2), std::memory_order_relaxed);
}

// Watches the flag through `take` for up to the event's limit. Returns true
// when the signal was taken. `processors` is how many the process may run on.
template <class Take, class Clock, class Pause, class Yield>
bool watch(SpinLimit& limit, int processors, uint64_t start, Take take, Clock now, Pause pause, Yield yield) {
    uint32_t budget = limit.nanoseconds.load(std::memory_order_relaxed);
    if (budget == 0 || !gWatching.load(std::memory_order_relaxed)) return false;
    int most = processors > 1 ? processors : 2;
    if (gWatchers.fetch_add(1, std::memory_order_relaxed) >= most) {
        gWatchers.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    bool caught = false;
    uint64_t waited = 0;
    for (;;) {
        int checks = processors > 1 ? kChecksPerRound : 1;
        for (int i = 0; i < checks && !caught; ++i) {
            caught = take();
            if (!caught) pause();
        }
        waited = now() - start;
        if (caught || waited >= budget) break;
        yield();
    }
    gWatchers.fetch_sub(1, std::memory_order_relaxed);
    // A catch long after the limit means that the watcher lost its processor
    // meanwhile: on a busy machine a watch does not pay.
    if (caught && waited > budget)
        learnSlept(limit, UINT64_MAX);
    else if (caught)
        learnCaught(limit, waited);
    return caught;
}

}  // namespace eventwaiting
