// The same cases run against the POSIX half natively and the Win32 half under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/event_waiting.h"
#include "platform/platform.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

class PlatformFiles : public ::testing::Test {
protected:
    ScratchDirectory dir{"platform"};
};

TEST_F(PlatformFiles, CreateWriteSeekReadTruncateAndSize) {
    std::wstring path = dir.file(L"data.bin");
    ScopedFile file(openFile(path.c_str(), FileAccess::readWrite, FileShare::read, FileCreation::createAlways));
    ASSERT_TRUE(file.valid());
    EXPECT_EQ(writeFile(file.handle, "hello world", 11), 11);
    EXPECT_EQ(filePosition(file.handle), 11);
    EXPECT_EQ(fileSize(file.handle), 11);

    ASSERT_TRUE(seekFile(file.handle, 6));
    char buffer[16] = {};
    EXPECT_EQ(readFile(file.handle, buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "world");
    EXPECT_EQ(readFile(file.handle, buffer, sizeof buffer), 0);  // at the end

    ASSERT_TRUE(seekFile(file.handle, 5));
    ASSERT_TRUE(truncateFile(file.handle));
    EXPECT_EQ(fileSize(file.handle), 5);
    ASSERT_TRUE(seekFile(file.handle, 0));
    EXPECT_EQ(writeFile(file.handle, "J", 1), 1);
    ASSERT_TRUE(seekFileToEnd(file.handle));
    EXPECT_EQ(filePosition(file.handle), 5);
    EXPECT_EQ(writeFile(file.handle, "!", 1), 1);
}

TEST_F(PlatformFiles, CreationModesAndDeletion) {
    std::wstring path = dir.file(L"modes.txt");
    EXPECT_EQ(openFile(path.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting), kNoFile);
    EXPECT_FALSE(pathExists(path.c_str()));

    FileHandle made = openFile(path.c_str(), FileAccess::readWrite, FileShare::read, FileCreation::openAlways);
    ASSERT_NE(made, kNoFile);
    writeFile(made, "abc", 3);
    closeFile(made);

    // openAlways keeps what is there; createAlways truncates.
    FileHandle kept = openFile(path.c_str(), FileAccess::read, FileShare::read, FileCreation::openAlways);
    EXPECT_EQ(fileSize(kept), 3);
    closeFile(kept);
    FileHandle fresh = openFile(path.c_str(), FileAccess::write, FileShare::none, FileCreation::createAlways);
    EXPECT_EQ(fileSize(fresh), 0);
    closeFile(fresh);

    EXPECT_TRUE(pathExists(path.c_str()));
    EXPECT_FALSE(isDirectory(path.c_str()));
    EXPECT_TRUE(deleteFile(path.c_str()));
    EXPECT_FALSE(pathExists(path.c_str()));
    EXPECT_FALSE(deleteFile(path.c_str()));
}

TEST_F(PlatformFiles, DirectoriesAreCreatedOneLevelAtATime) {
    std::wstring sub = dir.file(L"jpg");
    std::wstring deeper = sub + kPathSeparator + L"a" + kPathSeparator + L"b";
    EXPECT_FALSE(createDirectory(deeper.c_str()));
    EXPECT_TRUE(createDirectory(sub.c_str()));
    EXPECT_TRUE(isDirectory(sub.c_str()));
    EXPECT_FALSE(createDirectory(sub.c_str()));  // already there
    // A directory is not a file to open or delete.
    EXPECT_EQ(openFile(sub.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting), kNoFile);
    EXPECT_FALSE(deleteFile(sub.c_str()));
}

TEST_F(PlatformFiles, CurrentDirectoryIsAbsoluteAndCanBeChanged) {
    wchar_t before[kMaxPath];
    size_t length = currentDirectory(before, kMaxPath);
    ASSERT_GT(length, 0u);
    EXPECT_NE(before[length - 1], kPathSeparator);
    ASSERT_TRUE(setCurrentDirectory(dir.path.c_str()));
    wchar_t now[kMaxPath];
    ASSERT_GT(currentDirectory(now, kMaxPath), 0u);
    EXPECT_EQ(std::wstring(now), dir.path);
    ASSERT_TRUE(setCurrentDirectory(before));
    wchar_t tiny[2];
    EXPECT_EQ(currentDirectory(tiny, 2), 0u);
}

// entryExists sees every entry of a directory; pathExists looks through links.
TEST_F(PlatformFiles, AnEntryExistsEvenWhenItIsALinkToNothing) {
    std::wstring file = dir.file(L"file"), sub = dir.file(L"sub"), none = dir.file(L"none");
    writeWholeFile(file, "x");
    ASSERT_TRUE(createDirectory(sub.c_str()));
    for (const std::wstring& path : {file, sub}) {
        EXPECT_TRUE(entryExists(path.c_str()));
        EXPECT_TRUE(pathExists(path.c_str()));
    }
    EXPECT_FALSE(entryExists(none.c_str()));
#if !defined(_WIN32)
    std::wstring link = dir.file(L"link");
    std::string target(none.begin(), none.end()), linkName(link.begin(), link.end());  // ASCII scratch paths
    ASSERT_EQ(::symlink(target.c_str(), linkName.c_str()), 0);
    EXPECT_TRUE(entryExists(link.c_str()));
    EXPECT_FALSE(pathExists(link.c_str()));
#endif
}

TEST_F(PlatformFiles, NonAsciiFileNamesWork) {
    std::wstring path = dir.file(L"\x0444\x0430\x0439\x043B.txt");  // "файл.txt"
    ScopedFile file(openFile(path.c_str(), FileAccess::write, FileShare::none, FileCreation::createAlways));
    ASSERT_TRUE(file.valid());
    EXPECT_TRUE(pathExists(path.c_str()));
}

// Windows enforces share modes; the POSIX half locks so that our own
// programs see the same: a second receiver can neither write nor remove a
// file that the first one holds.
TEST_F(PlatformFiles, ShareModesHoldBetweenOurOwnOpens) {
    std::wstring path = dir.file(L"shared.txt");
    writeWholeFile(path, "x");
    // A reader that lets others read: a second reader gets in, a writer does not.
    ScopedFile reader(openFile(path.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting));
    ASSERT_TRUE(reader.valid());
    ScopedFile second(openFile(path.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting));
    EXPECT_TRUE(second.valid());
    ScopedFile writer(openFile(path.c_str(), FileAccess::write, FileShare::read, FileCreation::openExisting));
    EXPECT_FALSE(writer.valid());
    EXPECT_FALSE(deleteFile(path.c_str()));
    // A live file is never emptied by a second create either.
    std::wstring live = dir.file(L"live.tmp");
    ScopedFile first(openFile(live.c_str(), FileAccess::readWrite, FileShare::read, FileCreation::createAlways));
    ASSERT_EQ(writeFile(first.handle, "data", 4), 4);
    EXPECT_EQ(openFile(live.c_str(), FileAccess::readWrite, FileShare::read, FileCreation::createAlways), kNoFile);
    EXPECT_EQ(fileSize(first.handle), 4);

    std::wstring logPath = dir.file(L"log.txt");
    FILE* log = openExclusiveAppendStream(logPath.c_str());
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(openFile(logPath.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting), kNoFile);
    std::fclose(log);
}

TEST(PlatformEvents, AnEventIsAutoResetAndRemembersASetBeforeTheWait) {
    Event* event = createEvent();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(waitEvent(event, 0), WaitResult::timedOut);
    setEvent(event);
    setEvent(event);  // still one signal
    EXPECT_EQ(waitEvent(event, 0), WaitResult::signalled);
    EXPECT_EQ(waitEvent(event, 0), WaitResult::timedOut);
    uint64_t start = monotonicMilliseconds();
    EXPECT_EQ(waitEvent(event, 50), WaitResult::timedOut);
    EXPECT_GE(monotonicMilliseconds() - start, 40u);
    closeEvent(event);
}

// Each event case runs twice: with waiters that watch the flag before they
// sleep, and with waiters that go to sleep at once, so that the sleeping
// path is tested on its own, whatever the events have learnt.
class PlatformEventWaiting : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { eventwaiting::gWatching.store(GetParam()); }
    void TearDown() override { eventwaiting::gWatching.store(true); }
};

INSTANTIATE_TEST_SUITE_P(WatchingOrSleeping, PlatformEventWaiting, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Watching" : "Sleeping");
                         });

TEST_P(PlatformEventWaiting, ASetBeforeTheWaitIsKeptForOneWaitOnly) {
    const uint32_t kWaits[] = {0, 1, 50, kWaitForever};
    for (uint32_t first : kWaits) {
        SCOPED_TRACE(first);
        Event* event = createEvent();
        ASSERT_NE(event, nullptr);
        setEvent(event);
        EXPECT_EQ(waitEvent(event, first), WaitResult::signalled);
        EXPECT_EQ(waitEvent(event, 0), WaitResult::timedOut);
        EXPECT_EQ(waitEvent(event, 5), WaitResult::timedOut);
        closeEvent(event);
    }
}

// How far monotonicMilliseconds may lag: the Windows tick count moves in
// steps of about 16 ms; elsewhere it is rounded to whole milliseconds.
#if defined(_WIN32)
constexpr uint64_t kClockStep = 16;
#else
constexpr uint64_t kClockStep = 1;
#endif

TEST_P(PlatformEventWaiting, TimeOutsAreHonoured) {
    Event* event = createEvent();
    ASSERT_NE(event, nullptr);
    const uint32_t kLimits[] = {1, 10, 30, 100};
    for (uint32_t limit : kLimits) {
        SCOPED_TRACE(limit);
        uint64_t start = monotonicMilliseconds();
        EXPECT_EQ(waitEvent(event, limit), WaitResult::timedOut);
        EXPECT_GE(monotonicMilliseconds() - start + kClockStep, limit);
    }
    EXPECT_EQ(waitEvent(nullptr, 0), WaitResult::failed);
    closeEvent(event);
}

struct PingPong {
    Event* ping;
    Event* pong;
    int rounds;
    std::atomic<int> value{0};  // the hand-off: written before each set
    std::atomic<int> wrongValues{0};
};

void answerPings(void* raw) {
    PingPong& p = *static_cast<PingPong*>(raw);
    const int rounds = p.rounds;  // `p` is gone once the last pong is set
    for (int i = 0; i < rounds; ++i) {
        if (waitEvent(p.ping, 30000) != WaitResult::signalled) return;
        if (p.value.load(std::memory_order_relaxed) != 2 * i + 1) p.wrongValues.fetch_add(1);
        p.value.store(2 * i + 2, std::memory_order_relaxed);
        setEvent(p.pong);
    }
}

TEST_P(PlatformEventWaiting, ManyHandOffsBetweenTwoThreadsLoseNothing) {
    PingPong p;
    p.rounds = 20000;
    p.ping = createEvent();
    p.pong = createEvent();
    ASSERT_TRUE(startDetachedThread(answerPings, &p));
    for (int i = 0; i < p.rounds; ++i) {
        p.value.store(2 * i + 1, std::memory_order_relaxed);
        setEvent(p.ping);
        ASSERT_EQ(waitEvent(p.pong, 30000), WaitResult::signalled) << "round " << i;
        ASSERT_EQ(p.value.load(std::memory_order_relaxed), 2 * i + 2) << "round " << i;
    }
    EXPECT_EQ(p.wrongValues.load(), 0);
    closeEvent(p.ping);
    closeEvent(p.pong);
}

TEST(PlatformEvents, TwoEventsMakeAHandOffBetweenThreads) {
    PingPong p;
    p.rounds = 1000;
    p.ping = createEvent();
    p.pong = createEvent();
    ASSERT_TRUE(startDetachedThread(answerPings, &p));
    for (int i = 0; i < 1000; ++i) {
        p.value.store(2 * i + 1, std::memory_order_relaxed);
        setEvent(p.ping);
        ASSERT_EQ(waitEvent(p.pong, 30000), WaitResult::signalled);
        ASSERT_EQ(p.value.load(std::memory_order_relaxed), 2 * i + 2);
    }
    closeEvent(p.ping);
    closeEvent(p.pong);
}

// A set must wake a waiter that begins to wait while the set is under way.
// The setter is stopped after raising the flag, or right after it looked for
// sleepers, and the waiter starts then; a setter that looked for sleepers
// before raising the flag would leave it asleep until its time-out.
struct LateWaiter {
    Event* event;
    Event* done;
    WaitResult result = WaitResult::failed;
    uint64_t waited = 0;
};

LateWaiter* gLateWaiter = nullptr;
std::atomic<bool> gPauseArmed{false};

void waitLate(void* raw) {
    LateWaiter& w = *static_cast<LateWaiter*>(raw);
    uint64_t start = monotonicMilliseconds();
    w.result = waitEvent(w.event, 3000);
    w.waited = monotonicMilliseconds() - start;
    setEvent(w.done);
}

void startWaiterInTheMiddleOfTheSet() {
    if (!gPauseArmed.exchange(false)) return;
    if (!startDetachedThread(waitLate, gLateWaiter)) return;
    sleepMilliseconds(100);  // the waiter is asleep by now, or has seen the flag
}

TEST_P(PlatformEventWaiting, AWaitThatBeginsDuringASetIsWoken) {
    for (std::atomic<void (*)()>* stop : {&eventwaiting::gWhileSetting, &eventwaiting::gAfterCountingSleepers}) {
        SCOPED_TRACE(stop == &eventwaiting::gWhileSetting ? "after the flag" : "after the look for sleepers");
        LateWaiter w{createEvent(), createEvent()};
        gLateWaiter = &w;
        gPauseArmed.store(true);
        stop->store(startWaiterInTheMiddleOfTheSet);
        setEvent(w.event);
        stop->store(nullptr);
        ASSERT_EQ(waitEvent(w.done, 30000), WaitResult::signalled);
        EXPECT_EQ(w.result, WaitResult::signalled);
        EXPECT_LT(w.waited, 2000u) << "woken only by its time-out";
        closeEvent(w.event);
        closeEvent(w.done);
    }
}

// The waiter closes the event as soon as its wait returns, while the
// setEvent that woke it may still be on its way out (AddressSanitizer sees
// any touch after the close).
struct Closer {
    std::atomic<Event*> toSet{nullptr};
    std::atomic<bool> stop{false};
    Event* finished;
};

void setWhatIsGiven(void* raw) {
    Closer& c = *static_cast<Closer*>(raw);
    while (!c.stop.load()) {
        Event* event = c.toSet.exchange(nullptr);
        if (event)
            setEvent(event);
        else
            sleepMilliseconds(0);
    }
    setEvent(c.finished);
}

TEST_P(PlatformEventWaiting, AnEventCanBeClosedAsSoonAsItsWaitReturns) {
    Closer c;
    c.finished = createEvent();
    ASSERT_TRUE(startDetachedThread(setWhatIsGiven, &c));
    for (int i = 0; i < 2000; ++i) {
        Event* event = createEvent();
        ASSERT_NE(event, nullptr);
        c.toSet.store(event);
        ASSERT_EQ(waitEvent(event, 30000), WaitResult::signalled) << "round " << i;
        closeEvent(event);
    }
    c.stop.store(true);
    ASSERT_EQ(waitEvent(c.finished, 30000), WaitResult::signalled);
    closeEvent(c.finished);
}

struct Holder {
    Mutex* mutex;
    Event* holding;
    Event* release;
    Event* released;
};

void holdMutex(void* raw) {
    Holder& h = *static_cast<Holder*>(raw);
    lockMutex(h.mutex);
    setEvent(h.holding);
    waitEvent(h.release, kWaitForever);
    unlockMutex(h.mutex);
    setEvent(h.released);
}

TEST(PlatformMutex, ATimedLockGivesUpWhileAnotherThreadHoldsIt) {
    Holder h{createMutex(), createEvent(), createEvent(), createEvent()};
    ASSERT_NE(h.mutex, nullptr);
    ASSERT_TRUE(startDetachedThread(holdMutex, &h));
    ASSERT_EQ(waitEvent(h.holding, 30000), WaitResult::signalled);
    uint64_t start = monotonicMilliseconds();
    EXPECT_FALSE(lockMutexFor(h.mutex, 10));
    EXPECT_GE(monotonicMilliseconds() - start, 8u);
    setEvent(h.release);
    ASSERT_EQ(waitEvent(h.released, 30000), WaitResult::signalled);
    EXPECT_TRUE(lockMutexFor(h.mutex, 10));
    unlockMutex(h.mutex);
    { ScopedLock lock(h.mutex); }
    closeMutex(h.mutex);
    closeEvent(h.holding);
    closeEvent(h.release);
    closeEvent(h.released);
}

struct Counter {
    Mutex* mutex;
    long value = 0;  // guarded by mutex
    Event* done;
};

void addMany(void* raw) {
    Counter& c = *static_cast<Counter*>(raw);
    for (int i = 0; i < 20000; ++i) {
        ScopedLock lock(c.mutex);
        ++c.value;
    }
    setEvent(c.done);
}

TEST(PlatformMutex, GuardsAValueAgainstConcurrentUpdates) {
    Counter c{createMutex(), 0, createEvent()};
    ASSERT_TRUE(startDetachedThread(addMany, &c));
    for (int i = 0; i < 20000; ++i) {
        ScopedLock lock(c.mutex);
        ++c.value;
    }
    ASSERT_EQ(waitEvent(c.done, 60000), WaitResult::signalled);
    {
        ScopedLock lock(c.mutex);
        EXPECT_EQ(c.value, 40000);
    }
    closeMutex(c.mutex);
    closeEvent(c.done);
}

TEST(PlatformOem, EverySingleByteSurvivesARoundTrip) {
    char bytes[255];
    for (int i = 0; i < 255; ++i) bytes[i] = char(i + 1);
    wchar_t wide[256];
    ASSERT_EQ(oemToWide(bytes, 255, wide, 256), 255u);
    EXPECT_EQ(wide[255], L'\0');
    char back[255];
    ASSERT_EQ(wideToOem(wide, back, sizeof back), 255u);
    EXPECT_EQ(std::memcmp(bytes, back, 255), 0);
    for (int i = 0; i < 127; ++i) EXPECT_EQ(wide[i], wchar_t(i + 1));  // ASCII stays ASCII
}

TEST(PlatformOem, ConversionsCutToTheirBuffers) {
    wchar_t wide[4] = {L'x', L'x', L'x', L'x'};
    EXPECT_EQ(oemToWide("abcdef", 6, wide, 4), 3u);
    EXPECT_EQ(std::wstring(wide), L"abc");
    EXPECT_EQ(oemToWide("abc", 3, wide, 0), 0u);
    EXPECT_EQ(wide[0], L'a');  // untouched
    char narrow[3];
    EXPECT_EQ(wideToOem(L"abcdef", narrow, 3), 3u);
    EXPECT_EQ(std::string(narrow, 3), "abc");
    EXPECT_EQ(wideToOem(L"a\x4E2D" L"b", narrow, 3), 3u);
    EXPECT_EQ(std::string(narrow, 3), "a?b");
}

#if !defined(_WIN32)
TEST(PlatformOem, PosixUsesCodePage866) {
    const char cyrillic[] = "\x8F\xE0\xA8\xA2\xA5\xE2\xF0";  // "Привет" and "Ё"
    wchar_t wide[16];
    ASSERT_EQ(oemToWide(cyrillic, 7, wide, 16), 7u);
    EXPECT_EQ(std::wstring(wide), L"\x041F\x0440\x0438\x0432\x0435\x0442\x0401");
}
#endif

}  // namespace
