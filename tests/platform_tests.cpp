// The same cases run against the POSIX half natively and the Win32 half under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

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

#if defined(_WIN32)
TEST_F(PlatformFiles, ShareModesAreEnforcedOnWindows) {
    std::wstring path = dir.file(L"shared.txt");
    writeWholeFile(path, "x");
    // A reader that lets others read: a second reader gets in, a writer does not.
    ScopedFile reader(openFile(path.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting));
    ASSERT_TRUE(reader.valid());
    ScopedFile second(openFile(path.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting));
    EXPECT_TRUE(second.valid());
    ScopedFile writer(openFile(path.c_str(), FileAccess::write, FileShare::read, FileCreation::openExisting));
    EXPECT_FALSE(writer.valid());

    std::wstring logPath = dir.file(L"log.txt");
    FILE* log = openExclusiveAppendStream(logPath.c_str());
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(openFile(logPath.c_str(), FileAccess::read, FileShare::read, FileCreation::openExisting), kNoFile);
    std::fclose(log);
}
#endif

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

struct PingPong {
    Event* ping;
    Event* pong;
    std::atomic<int> rounds{0};
};

void answerPings(void* raw) {
    PingPong& p = *static_cast<PingPong*>(raw);
    for (int i = 0; i < 1000; ++i) {
        if (waitEvent(p.ping, kWaitForever) != WaitResult::signalled) return;
        p.rounds.fetch_add(1);
        setEvent(p.pong);
    }
}

TEST(PlatformEvents, TwoEventsMakeAHandOffBetweenThreads) {
    PingPong p;
    p.ping = createEvent();
    p.pong = createEvent();
    ASSERT_TRUE(startDetachedThread(answerPings, &p));
    for (int i = 0; i < 1000; ++i) {
        setEvent(p.ping);
        ASSERT_EQ(waitEvent(p.pong, 30000), WaitResult::signalled);
        ASSERT_EQ(p.rounds.load(), i + 1);
    }
    closeEvent(p.ping);
    closeEvent(p.pong);
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
