// Many objects at once, with a list refresh walking the table and cancelling
// at random, as the window does. Run under ThreadSanitizer and AddressSanitizer:
// no race, no deadlock, no leak, and every object either whole or gone.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/extraction_support.h"

namespace {

struct Refresher {
    Extraction* extraction;
    std::atomic<bool> stop{false};
    Event* done = createEvent();
    uint32_t walks = 0;
    uint32_t skipped = 0;
    uint32_t cancels = 0;
    uint64_t seen = 0;
};

// Like the list refresh: at most 10 ms for the mutex, else skip this turn.
void refreshUntilStopped(void* raw) {
    Refresher& r = *static_cast<Refresher*>(raw);
    std::mt19937 random(42);
    while (!r.stop.load()) {
        if (!lockMutexFor(r.extraction->table.mutex, 10)) {
            ++r.skipped;
            continue;
        }
        for (Transfer* t = r.extraction->table.first; t; t = t->next) {
            uint32_t received = t->received.load();
            r.seen += received + t->length + t->fileName[0];
            t->receivedAtRefresh = received;
            if (random() % 400 == 0) {
                cancelTransfer(t);
                ++r.cancels;
            }
        }
        ++r.walks;
        unlockMutex(r.extraction->table.mutex);
        sleepMilliseconds(1);
    }
    setEvent(r.done);
}

TEST(TransferStress, ManyObjectsWithARefreshThatCancelsAtRandom) {
    std::vector<ObjectToSend> objects;
    std::mt19937 random(5);
    for (int i = 0; i < 48; ++i) {
        size_t size = 1 + random() % 120000;
        std::string name = "object" + std::to_string(i) + (i % 2 ? ".bin" : ".txt");
        objects.push_back({name, i % 3 ? randomBytes(size, uint32_t(i)) : textBytes(size, uint32_t(i)), {}});
    }
    BroadcastOptions options;
    options.interleave = true;
    options.reorder = 0.2;
    options.duplicate = 0.1;
    options.seed = 11;
    Bytes stream = makeBroadcast(objects, options);

    TestReceiver receiver("stress");
    Refresher refresher;
    refresher.extraction = receiver.extraction.get();
    ASSERT_TRUE(startDetachedThread(refreshUntilStopped, &refresher));
    receiver.feed(stream);
    ASSERT_TRUE(receiver.waitUntilIdle(120000));
    refresher.stop.store(true);
    ASSERT_EQ(waitEvent(refresher.done, 60000), WaitResult::signalled);
    closeEvent(refresher.done);

    EXPECT_GT(refresher.walks, 0u);
    // A repeat of a first datagram that comes after its object was cancelled
    // starts the object again, so there can be more Transfers than objects.
    EXPECT_GE(receiver.view.inserted, objects.size());
    EXPECT_TRUE(receiver.filesIn(receiver.tmp).empty());
    // Whatever was placed is whole; what is missing was cancelled.
    // The counter in a name depends on arrival; the stem names the object.
    std::map<std::wstring, const ObjectToSend*> byStem;
    for (const ObjectToSend& object : objects) {
        std::string stem = object.name.substr(0, object.name.find('.'));
        byStem[std::wstring(stem.begin(), stem.end())] = &object;
    }
    std::vector<std::wstring> placed = receiver.filesIn(receiver.ok);
    for (const std::wstring& name : placed) {
        std::wstring stem = name.substr(0, name.find(L" ("));
        ASSERT_TRUE(byStem.count(stem)) << "unexpected file";
        EXPECT_TRUE(readWholeFile(receiver.ok + name) == asString(byStem[stem]->content));
    }
    EXPECT_GE(placed.size() + refresher.cancels, objects.size());
}

}  // namespace
