// Win32 half of the platform layer: the wide file API, events of our own over
// a slim lock and a condition variable, a mutex over a slim lock, and the system's OEM
// code page.
#include "platform/platform.h"
#include "platform/event_waiting.h"

#include <windows.h>
#include <timeapi.h>

#include <new>

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <cwchar>
#include <string>

namespace {
HANDLE handleOf(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
}  // namespace

FileHandle openFile(const wchar_t* path, FileAccess access, FileShare share, FileCreation creation) {
    DWORD desired = 0;
    switch (access) {
        case FileAccess::read: desired = GENERIC_READ; break;
        case FileAccess::write: desired = GENERIC_WRITE; break;
        case FileAccess::readWrite: desired = GENERIC_READ | GENERIC_WRITE; break;
    }
    DWORD disposition = OPEN_EXISTING;
    switch (creation) {
        case FileCreation::openExisting: disposition = OPEN_EXISTING; break;
        case FileCreation::createAlways: disposition = CREATE_ALWAYS; break;
        case FileCreation::openAlways: disposition = OPEN_ALWAYS; break;
        case FileCreation::createNew: disposition = CREATE_NEW; break;
    }
    DWORD shareMode = share == FileShare::read ? FILE_SHARE_READ : 0;
    HANDLE h = CreateFileW(path, desired, shareMode, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoFile;
    return reinterpret_cast<FileHandle>(h);
}

int64_t readFile(FileHandle file, void* buffer, uint32_t count) {
    DWORD done = 0;
    if (!ReadFile(handleOf(file), buffer, count, &done, nullptr)) return -1;
    return done;
}

int64_t writeFile(FileHandle file, const void* data, uint32_t count) {
    DWORD done = 0;
    if (!WriteFile(handleOf(file), data, count, &done, nullptr)) return -1;
    return done;
}

bool seekFile(FileHandle file, uint64_t offset) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return offset <= uint64_t(INT64_MAX) &&
           SetFilePointerEx(handleOf(file), distance, nullptr, FILE_BEGIN) != 0;
}

bool seekFileToEnd(FileHandle file) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return SetFilePointerEx(handleOf(file), zero, nullptr, FILE_END) != 0;
}

int64_t filePosition(FileHandle file) {
    LARGE_INTEGER zero, position;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(handleOf(file), zero, &position, FILE_CURRENT)) return -1;
    return position.QuadPart;
}

bool truncateFile(FileHandle file) { return SetEndOfFile(handleOf(file)) != 0; }

int64_t fileSize(FileHandle file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handleOf(file), &size)) return -1;
    return size.QuadPart;
}

void closeFile(FileHandle file) {
    if (file != kNoFile) CloseHandle(handleOf(file));
}

bool deleteFile(const wchar_t* path) { return DeleteFileW(path) != 0; }

bool renameFileNoReplace(const wchar_t* from, const wchar_t* to) { return MoveFileExW(from, to, 0) != 0; }

namespace {
// The path made absolute; as it is when that fails.
std::wstring fullPath(const wchar_t* path) {
    DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    DWORD length = needed ? GetFullPathNameW(path, needed, &full[0], nullptr) : 0;
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
}

// The attributes a user gives a file. Wine's ReplaceFileW moves the new file
// in as it is, so they are put back by hand where they were lost. Archive is
// left as the system sets it on a changed file.
void keepAttributes(const wchar_t* path, DWORD before) {
    const DWORD users = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    DWORD after = GetFileAttributesW(path);
    if (before == INVALID_FILE_ATTRIBUTES || after == INVALID_FILE_ATTRIBUTES || (after & users) == (before & users))
        return;
    SetFileAttributesW(path, (after & ~users) | (before & users));
}
}  // namespace

// ReplaceFileW carries the old file's security and short name (and, but for
// Wine, its attributes) over to the new one, where a move would leave a plain
// new file. Without REPLACEFILE_IGNORE_MERGE_ERRORS: a file whose security
// cannot be carried over is better overwritten in place than handed a
// default one. Given full paths: Wine's refuses a bare "config.ini"
// (ERROR_DIRECTORY).
bool replaceFileWith(const wchar_t* to, const wchar_t* from) {
    DWORD before = GetFileAttributesW(to);
    if (ReplaceFileW(fullPath(to).c_str(), fullPath(from).c_str(), nullptr, 0, nullptr, nullptr)) {
        keepAttributes(to, before);
        return true;
    }
    DWORD error = GetLastError();
    // Gone already (ERROR_UNABLE_TO_MOVE_REPLACEMENT leaves no old file), or
    // never there: the new file only needs its name.
    if (GetFileAttributesW(to) == INVALID_FILE_ATTRIBUTES)
        return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    SetLastError(error);
    return false;
}

bool overwriteFile(const wchar_t* path, const void* bytes, uint32_t count) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    ScopedFile file(reinterpret_cast<FileHandle>(h));
    // Growing the file first takes the room, so a full disk fails here.
    if (fileSize(file.handle) < int64_t(count) && !(seekFile(file.handle, count) && truncateFile(file.handle)))
        return false;
    return seekFile(file.handle, 0) && writeFile(file.handle, bytes, count) == int64_t(count) &&
           truncateFile(file.handle) && syncFile(file.handle);
}

bool syncFile(FileHandle file) { return FlushFileBuffers(handleOf(file)) != 0; }

bool pathExists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// GetFileAttributesW reports a symbolic link or junction itself, not its
// target, so a dangling link is found as well.
bool entryExists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

bool isDirectory(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool createDirectory(const wchar_t* path) { return CreateDirectoryW(path, nullptr) != 0; }

size_t currentDirectory(wchar_t* buffer, size_t capacity) {
    if (capacity == 0) return 0;
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(capacity), buffer);
    if (length == 0 || length >= capacity) return 0;
    // Only a drive root ("C:\") keeps its separator; drop it for uniformity.
    if (length > 0 && buffer[length - 1] == L'\\') buffer[--length] = L'\0';
    return length;
}

bool setCurrentDirectory(const wchar_t* path) { return SetCurrentDirectoryW(path) != 0; }

bool deleteDirectoryContents(const wchar_t* directory) {
    if (!directory[0]) return false;
    std::wstring base(directory);
    if (base.back() != L'\\' && base.back() != L'/') base += L'\\';
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((base + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    bool all = true;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        std::wstring path = base + found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(path.c_str(), found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        // A junction or link to a directory is removed, not followed.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            all = deleteDirectoryContents(path.c_str()) && RemoveDirectoryW(path.c_str()) && all;
        } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            all = RemoveDirectoryW(path.c_str()) && all;
        } else {
            all = DeleteFileW(path.c_str()) && all;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return all;
}

namespace {
// The volume and file index that identify a file or directory.
bool identify(const wchar_t* path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool known = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return known;
}
}  // namespace

bool sameEntry(const wchar_t* first, const wchar_t* second) {
    BY_HANDLE_FILE_INFORMATION a, b;
    return identify(first, a) && identify(second, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool listDirectory(const wchar_t* directory, void (*visit)(void*, const wchar_t*, bool), void* context) {
    if (!directory[0]) return false;
    std::wstring pattern(directory);
    if (pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((pattern + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    constexpr DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        visit(context, found.cFileName, (found.dwFileAttributes & notPlain) == 0);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

FILE* openExclusiveAppendStream(const wchar_t* path) {
    return _wfsopen(path, L"ab", _SH_DENYRW);
}

void hideFile(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(path, attributes | FILE_ATTRIBUTE_HIDDEN);
}

bool isVolumeRoot(const wchar_t* directory) {
    wchar_t volume[MAX_PATH + 1];
    if (!directory[0] || !GetVolumePathNameW(directory, volume, MAX_PATH + 1)) return false;
    // Both spelt the system's way ("C:\\", "\\\\server\\share\\"), so that a
    // mounted folder counts as a root too.
    wchar_t full[MAX_PATH + 1];
    DWORD length = GetFullPathNameW(directory, MAX_PATH + 1, full, nullptr);
    if (length == 0 || length > MAX_PATH) return false;
    if (full[length - 1] != L'\\' && full[length - 1] != L'/') {
        full[length++] = L'\\';
        full[length] = L'\0';
    }
    return CompareStringOrdinal(full, -1, volume, -1, TRUE) == CSTR_EQUAL;
}

int lastSystemError() { return static_cast<int>(GetLastError()); }

void systemErrorText(int code, char* buffer, size_t capacity) {
    if (capacity == 0) return;
    wchar_t text[256];
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    // English first, as the rest of the log is; the system's language where
    // no English texts are installed.
    DWORD length = FormatMessageW(flags, nullptr, DWORD(code), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                                  256, nullptr);
    if (length == 0) length = FormatMessageW(flags, nullptr, DWORD(code), 0, text, 256, nullptr);
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r' || text[length - 1] == L' ' ||
                          text[length - 1] == L'.'))
        text[--length] = L'\0';
    if (length == 0 || !wideToUtf8(text, buffer, capacity)) std::snprintf(buffer, capacity, "error %d", code);
}

// ---- The console ---------------------------------------------------------------

namespace {
void (*gStopHandler)() = nullptr;
BOOL WINAPI onConsoleControl(DWORD) {
    if (gStopHandler) gStopHandler();
    return TRUE;
}
}  // namespace

void onStopRequest(void (*handler)()) {
    gStopHandler = handler;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool standardOutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

void useUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

// ---- Threads -------------------------------------------------------------------

namespace {
struct ThreadStart {
    ThreadEntry entry;
    void* argument;
};

DWORD WINAPI threadMain(LPVOID raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.entry(start.argument);
    return 0;
}
}  // namespace

bool startDetachedThread(ThreadEntry entry, void* argument) {
    auto* start = new ThreadStart{entry, argument};
    HANDLE thread = CreateThread(nullptr, 0, threadMain, start, 0, nullptr);
    if (!thread) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}

// ---- Events and the mutex ----------------------------------------------------

namespace {
uint64_t nowNanoseconds() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return uint64_t(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t ticks = uint64_t(counter.QuadPart);
    return ticks / frequency * 1000000000u + ticks % frequency * 1000000000u / frequency;
}

// The processors this process may run on, counted once.
int usableProcessors() {
    static const int count = [] {
        DWORD_PTR process = 0, system = 0;
        if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
        int n = 0;
        for (; process; process &= process - 1) ++n;
        return n > 0 ? n : 1;
    }();
    return count;
}
}  // namespace

// An auto-reset event as a flag, with a condition variable only for waiters
// that had to go to sleep; the same design as the POSIX half, so that a
// hand-off does not always cost a trip through the kernel. How long a waiter
// watches the flag before it sleeps is learnt per event (event_waiting.h).
struct Event {
    std::atomic<bool> signalled{false};
    std::atomic<int> sleepers{0};     // waiters asleep on `changed`
    std::atomic<int> setting{0};      // setEvent calls still touching the event
    std::atomic<uint64_t> setAt{0};   // when a setEvent last found a sleeper, in ns
    eventwaiting::SpinLimit spin;
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

Event* createEvent() { return new Event; }

void setEvent(Event* event) {
    event->setting.fetch_add(1);
    event->signalled.store(true);
    if (auto pause = eventwaiting::gWhileSetting.load(std::memory_order_relaxed)) pause();
    // A waiter counts itself as a sleeper before it looks at the flag for the
    // last time, so either it sees the flag or we see it and wake it.
    if (eventwaiting::sleepersSeenBySetter(event->sleepers) > 0) {
        event->setAt.store(nowNanoseconds(), std::memory_order_relaxed);
        // Through the lock, so that a waiter between counting itself and
        // sleeping is asleep before the wake.
        AcquireSRWLockExclusive(&event->lock);
        ReleaseSRWLockExclusive(&event->lock);
        WakeConditionVariable(&event->changed);
    }
    event->setting.fetch_sub(1);
}

namespace {
bool takeSignal(Event* event) {
    return event->signalled.load(std::memory_order_relaxed) && event->signalled.exchange(false);
}

// The setEvent that raised the flag may still be on its way out; once it is
// gone, the event can be closed as soon as the wait returns.
WaitResult signalledWhenSettled(Event* event) {
    for (int round = 0; event->setting.load() != 0; ++round) {
        if (round < 64 && usableProcessors() > 1)
            YieldProcessor();
        else
            SwitchToThread();
    }
    return WaitResult::signalled;
}

uint64_t neededAfter(Event* event, uint64_t start) {
    uint64_t setAt = event->setAt.load(std::memory_order_relaxed);
    uint64_t now = nowNanoseconds();
    if (setAt < start || setAt > now) setAt = now;
    return setAt - start;
}

// Whole milliseconds left until `deadline`, rounded up so that a wait never
// ends early.
DWORD millisecondsUntil(uint64_t deadline) {
    uint64_t now = nowNanoseconds();
    if (now >= deadline) return 0;
    uint64_t left = (deadline - now + 999999) / 1000000;
    return left >= INFINITE ? INFINITE - 1 : DWORD(left);
}
}  // namespace

WaitResult waitEvent(Event* event, uint32_t milliseconds) {
    if (!event) return WaitResult::failed;
    if (takeSignal(event)) return signalledWhenSettled(event);
    if (milliseconds == 0) return WaitResult::timedOut;
    uint64_t start = nowNanoseconds();
    if (eventwaiting::watch(event->spin, usableProcessors(), start, [event] { return takeSignal(event); },
                            nowNanoseconds, [] { YieldProcessor(); }, [] { SwitchToThread(); }))
        return signalledWhenSettled(event);
    uint64_t deadline = start + uint64_t(milliseconds) * 1000000u;
    AcquireSRWLockExclusive(&event->lock);
    event->sleepers.fetch_add(1);
    bool taken = event->signalled.exchange(false);
    while (!taken) {
        DWORD left = milliseconds == kWaitForever ? INFINITE : millisecondsUntil(deadline);
        if (left == 0) break;
        SleepConditionVariableSRW(&event->changed, &event->lock, left, 0);
        taken = event->signalled.exchange(false);
    }
    event->sleepers.fetch_sub(1);
    ReleaseSRWLockExclusive(&event->lock);
    eventwaiting::learnSlept(event->spin, taken ? neededAfter(event, start) : UINT64_MAX);
    return taken ? signalledWhenSettled(event) : WaitResult::timedOut;
}

void closeEvent(Event* event) { delete event; }

// A slim reader/writer lock taken exclusively: unlike a kernel mutex it
// costs no system call when nobody else holds it (under Wine, every kernel
// object call is a round trip to the server). Not recursive, like the
// POSIX half's. A timed lock sleeps on `released` until an unlock wakes it
// or its time is up, measured on the performance counter: polling with
// Sleep(1) against the 15.6 ms tick gave up at once or waited twice as long.
struct Mutex {
    SRWLOCK lock = SRWLOCK_INIT;
    SRWLOCK gate = SRWLOCK_INIT;  // guards the sleep of timed lockers
    CONDITION_VARIABLE released = CONDITION_VARIABLE_INIT;
    std::atomic<int> timedWaiters{0};
};

Mutex* createMutex() { return new (std::nothrow) Mutex; }

void lockMutex(Mutex* mutex) { AcquireSRWLockExclusive(&mutex->lock); }

bool lockMutexFor(Mutex* mutex, uint32_t milliseconds) {
    if (milliseconds == kWaitForever) {
        lockMutex(mutex);
        return true;
    }
    if (TryAcquireSRWLockExclusive(&mutex->lock)) return true;
    if (milliseconds == 0) return false;
    uint64_t deadline = nowNanoseconds() + uint64_t(milliseconds) * 1000000u;
    // Kernel waits end on the system tick (15.6 ms unless raised): for the
    // length of this wait, a 10 ms time-out must mean 10 ms.
    timeBeginPeriod(1);
    AcquireSRWLockExclusive(&mutex->gate);
    // Counted before the next try: an unlock either comes after the count
    // and wakes this thread, or before the try and lets it succeed.
    mutex->timedWaiters.fetch_add(1);
    bool taken = false;
    for (;;) {
        if (TryAcquireSRWLockExclusive(&mutex->lock)) {
            taken = true;
            break;
        }
        DWORD left = millisecondsUntil(deadline);
        if (left == 0) break;
        SleepConditionVariableSRW(&mutex->released, &mutex->gate, left, 0);
    }
    mutex->timedWaiters.fetch_sub(1);
    ReleaseSRWLockExclusive(&mutex->gate);
    timeEndPeriod(1);
    return taken;
}

void unlockMutex(Mutex* mutex) {
    ReleaseSRWLockExclusive(&mutex->lock);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (mutex->timedWaiters.load() == 0) return;
    // Through the gate: a waiter between its try and its sleep holds it, so
    // the wake cannot fall between them.
    AcquireSRWLockExclusive(&mutex->gate);
    ReleaseSRWLockExclusive(&mutex->gate);
    WakeAllConditionVariable(&mutex->released);
}

void closeMutex(Mutex* mutex) { delete mutex; }

// On the performance counter, like the timed waits: GetTickCount64 moves in
// steps of the system tick, so a 10 ms wait could measure as 0 or 16 ms.
uint64_t monotonicMilliseconds() { return nowNanoseconds() / 1000000u; }

void sleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

// ---- OEM text ------------------------------------------------------------------

size_t oemToWide(const char* text, size_t count, wchar_t* buffer, size_t capacity) {
    if (capacity == 0) return 0;
    size_t n = count < capacity - 1 ? count : capacity - 1;
    int written = n ? MultiByteToWideChar(CP_OEMCP, 0, text, static_cast<int>(n), buffer,
                                          static_cast<int>(capacity - 1))
                    : 0;
    if (written < 0) written = 0;
    buffer[written] = L'\0';
    return static_cast<size_t>(written);
}

size_t wideToOem(const wchar_t* text, char* buffer, size_t capacity) {
    size_t length = wcslen(text);
    if (length == 0 || capacity == 0) return 0;
    int written = WideCharToMultiByte(CP_OEMCP, 0, text, static_cast<int>(length), buffer,
                                      static_cast<int>(capacity), nullptr, nullptr);
    if (written <= 0) {
        // The text does not fit whole: convert character by character up to the capacity.
        size_t used = 0;
        for (size_t i = 0; i < length && used < capacity; ++i) {
            char bytes[8];
            int n = WideCharToMultiByte(CP_OEMCP, 0, text + i, 1, bytes, sizeof bytes, nullptr, nullptr);
            if (n <= 0) { bytes[0] = '?'; n = 1; }
            if (used + size_t(n) > capacity) break;
            for (int k = 0; k < n; ++k) buffer[used++] = bytes[k];
        }
        return used;
    }
    return static_cast<size_t>(written);
}
