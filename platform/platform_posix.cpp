// POSIX half of the platform layer. Paths are wide strings converted to UTF-8;
// the OEM code page is 866.
#include "platform/platform.h"
#include "platform/event_waiting.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <cstdio>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Room for kMaxPath wide characters at four UTF-8 bytes each.
constexpr size_t kUtf8PathCapacity = kMaxPath * 4 + 1;

int fd(FileHandle file) { return static_cast<int>(file); }

const uint16_t kCp866High[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

char wideToCp866(wchar_t c) {
    if (static_cast<uint32_t>(c) < 0x80) return static_cast<char>(c);
    for (int i = 0; i < 128; ++i)
        if (kCp866High[i] == static_cast<uint32_t>(c)) return static_cast<char>(0x80 + i);
    return '?';
}

}  // namespace

namespace {

// Windows' share modes, as far as our own programs are concerned: a writer,
// or whoever lets nobody else in, holds an exclusive lock; a reader that lets
// others read holds a shared one. The lock is taken before anything is
// truncated, so a second receiver can never empty a file the first is writing.
// Takes the lock without waiting; false (errno EWOULDBLOCK) when it is held.
bool tryLock(int file, int kind) {
    int result;
    do result = ::flock(file, kind | LOCK_NB); while (result != 0 && errno == EINTR);
    return result == 0;
}

bool lockLikeShareMode(int file, FileAccess access, FileShare share) {
    int kind = (access != FileAccess::read || share == FileShare::none) ? LOCK_EX : LOCK_SH;
    if (tryLock(file, kind)) return true;
    // Where the file system has no locks at all, nothing can be enforced.
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) return true;
    errno = EBUSY;
    return false;
}

}  // namespace

FileHandle openFile(const wchar_t* path, FileAccess access, FileShare share, FileCreation creation) {
    char name[kUtf8PathCapacity];
    if (!wideToUtf8(path, name, sizeof name)) {
        errno = ENAMETOOLONG;
        return kNoFile;
    }
    int flags = O_CLOEXEC;
    switch (access) {
        case FileAccess::read: flags |= O_RDONLY; break;
        case FileAccess::write: flags |= O_WRONLY; break;
        case FileAccess::readWrite: flags |= O_RDWR; break;
    }
    bool truncate = false;
    switch (creation) {
        case FileCreation::openExisting: break;
        case FileCreation::createAlways: flags |= O_CREAT; truncate = true; break;
        case FileCreation::openAlways: flags |= O_CREAT; break;
        case FileCreation::createNew: flags |= O_CREAT | O_EXCL; break;
    }
    int result = ::open(name, flags, 0666);
    if (result < 0) return kNoFile;
    struct stat info;
    if (fstat(result, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(result);
        errno = EISDIR;
        return kNoFile;
    }
    // Like O_TRUNC, which devices and pipes ignore.
    bool truncates = truncate && S_ISREG(info.st_mode);
    if (!lockLikeShareMode(result, access, share) || (truncates && ::ftruncate(result, 0) != 0)) {
        int error = errno;
        ::close(result);
        errno = error;
        return kNoFile;
    }
    return result;
}

int64_t readFile(FileHandle file, void* buffer, uint32_t count) {
    ssize_t n;
    do n = ::read(fd(file), buffer, count); while (n < 0 && errno == EINTR);
    return n;
}

int64_t writeFile(FileHandle file, const void* data, uint32_t count) {
    const char* p = static_cast<const char*>(data);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd(file), p + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done ? int64_t(done) : -1;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

bool seekFile(FileHandle file, uint64_t offset) {
    if (offset > uint64_t(INT64_MAX)) return false;
    return ::lseek(fd(file), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool seekFileToEnd(FileHandle file) { return ::lseek(fd(file), 0, SEEK_END) >= 0; }

int64_t filePosition(FileHandle file) { return ::lseek(fd(file), 0, SEEK_CUR); }

bool truncateFile(FileHandle file) {
    off_t here = ::lseek(fd(file), 0, SEEK_CUR);
    return here >= 0 && ::ftruncate(fd(file), here) == 0;
}

int64_t fileSize(FileHandle file) {
    struct stat info;
    if (fstat(fd(file), &info) != 0) return -1;
    return info.st_size;
}

void closeFile(FileHandle file) {
    if (file != kNoFile) ::close(fd(file));
}

bool deleteFile(const wchar_t* path) {
    char name[kUtf8PathCapacity];
    if (!wideToUtf8(path, name, sizeof name)) return false;
    struct stat info;
    if (lstat(name, &info) != 0) return false;
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return false;
    }
    // As on Windows, a file that someone holds open through openFile stays:
    // another receiver's live file is not ours to remove.
    if (S_ISREG(info.st_mode)) {
        int file = ::open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (file >= 0) {
            bool held = !tryLock(file, LOCK_EX) && errno == EWOULDBLOCK;
            bool removed = !held && ::unlink(name) == 0;
            int error = errno;
            ::close(file);
            errno = held ? EBUSY : error;
            return removed;
        }
    }
    return ::unlink(name) == 0;
}

bool renameFileNoReplace(const wchar_t* from, const wchar_t* to) {
    char source[kUtf8PathCapacity], target[kUtf8PathCapacity];
    if (!wideToUtf8(from, source, sizeof source) || !wideToUtf8(to, target, sizeof target)) return false;
    if (::renameat2(AT_FDCWD, source, AT_FDCWD, target, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the no-replace rename: a hard link fails on an
    // existing name just as well.
    if (::link(source, target) != 0) return false;
    ::unlink(source);
    return true;
}

bool replaceFileWith(const wchar_t* to, const wchar_t* from) {
    char source[kUtf8PathCapacity], target[kUtf8PathCapacity];
    if (!wideToUtf8(from, source, sizeof source) || !wideToUtf8(to, target, sizeof target)) return false;
    // A link is replaced at what it names and stays a link: a service's
    // config.ini links to /etc, where the administrator edits it. Across file
    // systems the rename fails, and the caller writes over the file instead.
    struct stat info;
    char resolved[PATH_MAX];
    const char* place = target;
    if (::lstat(target, &info) == 0 && S_ISLNK(info.st_mode) && ::realpath(target, resolved)) place = resolved;
    // The new file takes the old one's owner, then its mode (a change of owner
    // may clear mode bits). An owner we may not give, such as the
    // administrator's, fails here rather than pass the file to us.
    if (::stat(place, &info) == 0 &&
        (::chown(source, info.st_uid, info.st_gid) != 0 || ::chmod(source, info.st_mode & 07777) != 0))
        return false;
    return ::rename(source, place) == 0;
}

bool overwriteFile(const wchar_t* path, const void* bytes, uint32_t count) {
    char name[kUtf8PathCapacity];
    if (!wideToUtf8(path, name, sizeof name)) {
        errno = ENAMETOOLONG;
        return false;
    }
    int opened = ::open(name, O_WRONLY | O_CLOEXEC);
    if (opened < 0) return false;
    ScopedFile file(opened);
    // A file system that cannot reserve room is written all the same.
    int reserved = count ? ::posix_fallocate(opened, 0, off_t(count)) : 0;
    if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) {
        errno = reserved;
        return false;
    }
    return writeFile(file.handle, bytes, count) == int64_t(count) && truncateFile(file.handle) &&
           syncFile(file.handle);
}

bool syncFile(FileHandle file) { return ::fsync(fd(file)) == 0; }

bool pathExists(const wchar_t* path) {
    char name[kUtf8PathCapacity];
    struct stat info;
    return wideToUtf8(path, name, sizeof name) && ::stat(name, &info) == 0;
}

bool entryExists(const wchar_t* path) {
    char name[kUtf8PathCapacity];
    struct stat info;
    return wideToUtf8(path, name, sizeof name) && ::lstat(name, &info) == 0;
}

bool isDirectory(const wchar_t* path) {
    char name[kUtf8PathCapacity];
    struct stat info;
    return wideToUtf8(path, name, sizeof name) && ::stat(name, &info) == 0 && S_ISDIR(info.st_mode);
}

bool createDirectory(const wchar_t* path) {
    char name[kUtf8PathCapacity];
    return wideToUtf8(path, name, sizeof name) && ::mkdir(name, 0777) == 0;
}

size_t currentDirectory(wchar_t* buffer, size_t capacity) {
    char name[PATH_MAX];
    if (!::getcwd(name, sizeof name)) return 0;
    size_t length = 0;
    if (capacity == 0 || !utf8ToWide(name, buffer, capacity, &length)) return 0;
    return length;
}

bool setCurrentDirectory(const wchar_t* path) {
    char name[kUtf8PathCapacity];
    return wideToUtf8(path, name, sizeof name) && ::chdir(name) == 0;
}

namespace {
bool deleteContents(const char* directory) {
    DIR* listing = opendir(directory);
    if (!listing) return false;
    bool all = true;
    while (dirent* entry = readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        std::string path = std::string(directory) + "/" + entry->d_name;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode))  // a link to a directory is removed as a link
            all = deleteContents(path.c_str()) && ::rmdir(path.c_str()) == 0 && all;
        else
            all = ::unlink(path.c_str()) == 0 && all;
    }
    closedir(listing);
    return all;
}
}  // namespace

bool deleteDirectoryContents(const wchar_t* directory) {
    char name[kUtf8PathCapacity];
    if (!wideToUtf8(directory, name, sizeof name) || name[0] == '\0') return false;
    return deleteContents(name);
}

bool sameEntry(const wchar_t* first, const wchar_t* second) {
    char one[kUtf8PathCapacity], two[kUtf8PathCapacity];
    struct stat a, b;
    return wideToUtf8(first, one, sizeof one) && wideToUtf8(second, two, sizeof two) && ::stat(one, &a) == 0 &&
           ::stat(two, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool listDirectory(const wchar_t* directory, void (*visit)(void*, const wchar_t*, bool), void* context) {
    char name[kUtf8PathCapacity];
    if (!wideToUtf8(directory, name, sizeof name) || name[0] == '\0') return false;
    DIR* listing = opendir(name);
    if (!listing) return false;
    while (dirent* entry = readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        wchar_t wide[kMaxPath];
        size_t length = 0;
        if (!utf8ToWide(entry->d_name, wide, kMaxPath, &length)) continue;
        struct stat info;
        bool plain = fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
        visit(context, wide, plain);
    }
    closedir(listing);
    return true;
}

FILE* openExclusiveAppendStream(const wchar_t* path) {
    char name[kUtf8PathCapacity];
    if (!wideToUtf8(path, name, sizeof name)) return nullptr;
    FILE* stream = std::fopen(name, "ab");
    if (stream && !lockLikeShareMode(fileno(stream), FileAccess::write, FileShare::none)) {
        std::fclose(stream);
        errno = EBUSY;
        return nullptr;
    }
    return stream;
}

void hideFile(const wchar_t*) {}

bool isVolumeRoot(const wchar_t* directory) {
    char name[kUtf8PathCapacity];
    if (!wideToUtf8(directory, name, sizeof name - 3) || name[0] == '\0') return false;
    std::string parent = std::string(name) + "/..";
    struct stat here, above;
    if (::stat(name, &here) != 0 || ::stat(parent.c_str(), &above) != 0) return false;
    // The root of the tree, or a file system mounted on a folder.
    return here.st_dev != above.st_dev || here.st_ino == above.st_ino;
}

int lastSystemError() { return errno; }

void systemErrorText(int code, char* buffer, size_t capacity) {
    if (capacity == 0) return;
    std::snprintf(buffer, capacity, "%s", std::strerror(code));
}

// ---- The console ---------------------------------------------------------------

namespace {
void (*gStopHandler)() = nullptr;
void onSignal(int) {
    if (gStopHandler) gStopHandler();
}
}  // namespace

void onStopRequest(void (*handler)()) {
    gStopHandler = handler;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool standardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

void useUtf8Console() {}

// ---- Threads ---------------------------------------------------------------

namespace {
struct ThreadStart {
    ThreadEntry entry;
    void* argument;
};

void* threadMain(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.entry(start.argument);
    return nullptr;
}
}  // namespace

bool startDetachedThread(ThreadEntry entry, void* argument) {
    auto* start = new ThreadStart{entry, argument};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // Workers keep a 64 KiB buffer on their stack; give them room as Windows does.
    pthread_attr_setstacksize(&attributes, 1024 * 1024);
    pthread_t thread;
    int result = pthread_create(&thread, &attributes, threadMain, start);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete start;
        return false;
    }
    return true;
}

// ---- Events and the mutex ----------------------------------------------------

namespace {
timespec deadlineAfter(uint32_t milliseconds) {
    timespec when;
    clock_gettime(CLOCK_MONOTONIC, &when);
    when.tv_sec += milliseconds / 1000;
    when.tv_nsec += long(milliseconds % 1000) * 1000000L;
    if (when.tv_nsec >= 1000000000L) {
        when.tv_sec += 1;
        when.tv_nsec -= 1000000000L;
    }
    return when;
}
}  // namespace

// An auto-reset event as a flag, with a condition variable only for waiters
// that had to go to sleep. How long a waiter watches the flag before it
// sleeps is learnt per event (event_waiting.h).
struct Event {
    std::atomic<bool> signalled;
    std::atomic<int> sleepers;  // waiters blocked on `changed`
    std::atomic<int> setting;   // setEvent calls still touching the event
    std::atomic<uint64_t> setAt;  // when a setEvent last found a sleeper, in ns
    eventwaiting::SpinLimit spin;
    pthread_mutex_t lock;
    pthread_cond_t changed;
};

namespace {
uint64_t nowNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The processors this process may run on, counted once.
int usableProcessors() {
    static const int count = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
        int n = CPU_COUNT(&set);
        return n > 0 ? n : 1;
    }();
    return count;
}
}  // namespace

Event* createEvent() {
    Event* event = new Event;
    pthread_mutex_init(&event->lock, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&event->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    event->signalled.store(false);
    event->sleepers.store(0);
    event->setting.store(0);
    event->setAt.store(0);
    return event;
}

void setEvent(Event* event) {
    event->setting.fetch_add(1);
    event->signalled.store(true);
    if (auto pause = eventwaiting::gWhileSetting.load(std::memory_order_relaxed)) pause();
    // A waiter counts itself as a sleeper before it looks at the flag for the
    // last time, so either it sees the flag or we see it and wake it.
    if (eventwaiting::sleepersSeenBySetter(event->sleepers) > 0) {
        event->setAt.store(nowNanoseconds(), std::memory_order_relaxed);
        // Through the lock, so that a waiter between counting itself and
        // sleeping is asleep before the signal; signalled after it, so that
        // the woken waiter does not run into the lock we hold.
        pthread_mutex_lock(&event->lock);
        pthread_mutex_unlock(&event->lock);
        pthread_cond_signal(&event->changed);
    }
    event->setting.fetch_sub(1);
}

namespace {
bool takeSignal(Event* event) {
    return event->signalled.load(std::memory_order_relaxed) && event->signalled.exchange(false);
}

// The setEvent that raised the flag may still be on its way out; once it is
// gone, the event can be closed as soon as the wait returns.
// The setter may have lost its processor to us (waking us is the usual way to
// lose it), so after a short spin the processor is handed back.
WaitResult signalledWhenSettled(Event* event) {
    for (int round = 0; event->setting.load() != 0; ++round) {
        if (round < 64 && usableProcessors() > 1)
            cpuRelax();
        else
            sched_yield();
    }
    return WaitResult::signalled;
}

// How long after `start` the event was set, for a waiter that slept and
// took the signal.
uint64_t neededAfter(Event* event, uint64_t start) {
    uint64_t setAt = event->setAt.load(std::memory_order_relaxed);
    uint64_t now = nowNanoseconds();
    if (setAt < start || setAt > now) setAt = now;
    return setAt - start;
}
}  // namespace

WaitResult waitEvent(Event* event, uint32_t milliseconds) {
    if (!event) return WaitResult::failed;
    if (takeSignal(event)) return signalledWhenSettled(event);
    if (milliseconds == 0) return WaitResult::timedOut;
    uint64_t start = nowNanoseconds();
    if (eventwaiting::watch(event->spin, usableProcessors(), start, [event] { return takeSignal(event); },
                            nowNanoseconds, cpuRelax, [] { sched_yield(); }))
        return signalledWhenSettled(event);
    timespec deadline = deadlineAfter(milliseconds == kWaitForever ? 0 : milliseconds);
    pthread_mutex_lock(&event->lock);
    event->sleepers.fetch_add(1);
    bool taken = event->signalled.exchange(false);
    while (!taken) {
        int result = milliseconds == kWaitForever
                         ? pthread_cond_wait(&event->changed, &event->lock)
                         : pthread_cond_timedwait(&event->changed, &event->lock, &deadline);
        taken = event->signalled.exchange(false);
        if (result == ETIMEDOUT) break;
    }
    event->sleepers.fetch_sub(1);
    pthread_mutex_unlock(&event->lock);
    eventwaiting::learnSlept(event->spin, taken ? neededAfter(event, start) : UINT64_MAX);
    return taken ? signalledWhenSettled(event) : WaitResult::timedOut;
}

void closeEvent(Event* event) {
    if (!event) return;
    pthread_cond_destroy(&event->changed);
    pthread_mutex_destroy(&event->lock);
    delete event;
}

struct Mutex {
    pthread_mutex_t lock;
};

Mutex* createMutex() {
    Mutex* mutex = new Mutex;
    pthread_mutex_init(&mutex->lock, nullptr);
    return mutex;
}

void lockMutex(Mutex* mutex) { pthread_mutex_lock(&mutex->lock); }

bool lockMutexFor(Mutex* mutex, uint32_t milliseconds) {
    if (milliseconds == kWaitForever) {
        lockMutex(mutex);
        return true;
    }
    // pthread_mutex_timedlock measures against the realtime clock; poll the
    // monotonic one instead so that a clock change cannot stretch the wait.
    uint64_t end = monotonicMilliseconds() + milliseconds;
    for (;;) {
        if (pthread_mutex_trylock(&mutex->lock) == 0) return true;
        if (monotonicMilliseconds() >= end) return false;
        timespec pause = {0, 200000};  // 0.2 ms
        nanosleep(&pause, nullptr);
    }
}

void unlockMutex(Mutex* mutex) { pthread_mutex_unlock(&mutex->lock); }

void closeMutex(Mutex* mutex) {
    if (!mutex) return;
    pthread_mutex_destroy(&mutex->lock);
    delete mutex;
}

uint64_t monotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
}

void sleepMilliseconds(uint32_t milliseconds) {
    timespec pause = {time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// ---- OEM text ------------------------------------------------------------------

size_t oemToWide(const char* text, size_t count, wchar_t* buffer, size_t capacity) {
    if (capacity == 0) return 0;
    size_t n = count < capacity - 1 ? count : capacity - 1;
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        buffer[i] = b < 0x80 ? wchar_t(b) : wchar_t(kCp866High[b - 0x80]);
    }
    buffer[n] = L'\0';
    return n;
}

size_t wideToOem(const wchar_t* text, char* buffer, size_t capacity) {
    size_t n = 0;
    for (; text[n] && n < capacity; ++n) buffer[n] = wideToCp866(text[n]);
    return n;
}
