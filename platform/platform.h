// The thin operating-system layer under the portable core: files, directories,
// detached threads, auto-reset events, the one mutex and OEM text conversion.
// platform_win32.cpp and platform_posix.cpp implement exactly this interface.
//
// Paths are wide strings. On Windows they go to the wide API as they are; on
// POSIX they are converted to UTF-8. kPathSeparator is the character that the
// core appends after a directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#if defined(_WIN32)
constexpr wchar_t kPathSeparator = L'\\';
#else
constexpr wchar_t kPathSeparator = L'/';
#endif

// What the system's 255-unit limit on one file-name component counts:
// UTF-16 code units on Windows, bytes of the UTF-8 form on POSIX.
enum class FileNameUnit { utf16, utf8 };
#if defined(_WIN32)
constexpr FileNameUnit kFileNameUnit = FileNameUnit::utf16;
#else
constexpr FileNameUnit kFileNameUnit = FileNameUnit::utf8;
#endif

// Longest path the core builds, in wide characters with the terminator.
constexpr size_t kMaxPath = 260;

// ---- Files ---------------------------------------------------------------

// An open file. kNoFile marks "none" (a failed open, a closed handle).
using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;

enum class FileAccess { read, write, readWrite };
// Who else may open the file while we hold it. POSIX has no mandatory share
// modes: there a writer, or an opener that shares with nobody, takes an
// exclusive advisory lock and a sharing reader a shared one, so that our own
// programs see each other's files as Windows shows them (an open that
// conflicts fails, and nothing is truncated before the lock is held).
enum class FileShare { none, read };
enum class FileCreation {
    openExisting,   // fail when the file does not exist
    createAlways,   // create, truncating an existing file
    openAlways,     // open, creating an empty file when missing
    createNew,      // create; fail when the name is taken
};

FileHandle openFile(const wchar_t* path, FileAccess access, FileShare share, FileCreation creation);
// Bytes read (0 at the end of the file), or -1 on error.
int64_t readFile(FileHandle file, void* buffer, uint32_t count);
// Bytes written, or -1 on error.
int64_t writeFile(FileHandle file, const void* data, uint32_t count);
// Moves the position to `offset` from the start; false on error.
bool seekFile(FileHandle file, uint64_t offset);
bool seekFileToEnd(FileHandle file);
// Current position, or -1 on error.
int64_t filePosition(FileHandle file);
// Ends the file at the current position.
bool truncateFile(FileHandle file);
// Size in bytes, or -1 on error.
int64_t fileSize(FileHandle file);
void closeFile(FileHandle file);

// Closes the file it owns when it goes out of scope.
struct ScopedFile {
    FileHandle handle = kNoFile;
    explicit ScopedFile(FileHandle h) : handle(h) {}
    ~ScopedFile() { if (handle != kNoFile) closeFile(handle); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
    bool valid() const { return handle != kNoFile; }
};

// Removes a file or link, never a directory. A file held open through
// openFile (by any process) is not removed, on either system.
bool deleteFile(const wchar_t* path);
// Gives a file a new name in the same directory, never replacing a file that
// already has that name; false when `to` exists or the rename fails.
bool renameFileNoReplace(const wchar_t* from, const wchar_t* to);
// Puts the file `from` in the place of `to` in one step: whoever opens `to`
// finds either its old content or the whole new one. Both lie in the same
// directory. The file stays as its user made it: its attributes (hidden,
// system, archive), security and owner carry over, and a link stays a link.
// false when it could not be done: `to` is then as it was and `from` is still
// there. That happens where the rename cannot: another program holds `to`
// without delete sharing, a link leads into another file system, or the
// owner of `to` is one the new file cannot be given.
bool replaceFileWith(const wchar_t* to, const wchar_t* from);
// Writes `count` bytes over the existing file `path` (through a link), which
// then ends after them: for a file that cannot be replaced. Room for the bytes
// is taken first, so a full disk fails before anything is overwritten, and
// the bytes are on the disk when it returns. It shares the file with whoever
// holds it. false on error.
bool overwriteFile(const wchar_t* path, const void* bytes, uint32_t count);
// Pushes what was written to the file down to the disk; false on error.
bool syncFile(FileHandle file);
bool pathExists(const wchar_t* path);
// true when the directory holds an entry of that name, whatever it is: unlike
// pathExists, a symbolic link counts even when its target is missing.
bool entryExists(const wchar_t* path);
bool isDirectory(const wchar_t* path);
// Creates one directory level; false when it could not be created (it may
// already exist).
bool createDirectory(const wchar_t* path);
// Writes the current directory, without a trailing separator, into `buffer`
// (capacity in wide characters, terminator included). Returns its length, or
// 0 when it does not fit or cannot be read.
size_t currentDirectory(wchar_t* buffer, size_t capacity);
bool setCurrentDirectory(const wchar_t* path);

// Deletes everything inside `directory` (files and sub-directories, without
// following links out of it), leaving the directory itself. False when
// something could not be deleted.
bool deleteDirectoryContents(const wchar_t* directory);

// true when both paths name the same existing file or directory, however
// they are spelt (case, links, "." and ".." as the system resolves them).
bool sameEntry(const wchar_t* first, const wchar_t* second);
// Hides a file from the usual listings (Windows' hidden attribute; a name
// that starts with "." is hidden already elsewhere).
void hideFile(const wchar_t* path);
// true when the directory is the root of a volume or file system: a drive,
// a network share, "/", or a folder that another file system is mounted on.
bool isVolumeRoot(const wchar_t* directory);
// Calls `visit` with the name of every entry of `directory` but "." and "..",
// and whether it is a plain file (not a directory, link or device). False
// when the directory cannot be read.
bool listDirectory(const wchar_t* directory, void (*visit)(void* context, const wchar_t* name, bool plainFile),
                   void* context);

// A C stream for appending text that nobody else may open while we hold it
// (where the system can enforce that). Bytes are written as they are: no
// line-end translation. nullptr on failure.
FILE* openExclusiveAppendStream(const wchar_t* path);

// The code of the last failed system call on this thread (errno, or
// GetLastError()), and the system's words for a code, without a line end.
int lastSystemError();
void systemErrorText(int code, char* buffer, size_t capacity);

// ---- Threads, events, mutex ----------------------------------------------

using ThreadEntry = void (*)(void* argument);
// Starts a thread that nobody joins; false when it could not be started.
bool startDetachedThread(ThreadEntry entry, void* argument);

// Milliseconds to wait; kWaitForever waits without a limit.
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
enum class WaitResult { signalled, timedOut, failed };

// An auto-reset event: set() wakes one waiter, or the next one to wait, and
// the event resets itself as that waiter returns. A waiter that was signalled
// may close the event at once: the setEvent that woke it has left it by then.
// A waiter may watch the event briefly before it sleeps; how long is learnt
// per event from how long its waits last.
struct Event;
Event* createEvent();   // not signalled; nullptr on failure
void setEvent(Event* event);
WaitResult waitEvent(Event* event, uint32_t milliseconds);
void closeEvent(Event* event);

// A mutex that can be waited for with a time limit.
struct Mutex;
Mutex* createMutex();   // nullptr on failure
void lockMutex(Mutex* mutex);
// true when the mutex was taken within the time.
bool lockMutexFor(Mutex* mutex, uint32_t milliseconds);
void unlockMutex(Mutex* mutex);
void closeMutex(Mutex* mutex);

// Holds a mutex for the scope.
struct ScopedLock {
    Mutex* mutex;
    explicit ScopedLock(Mutex* m) : mutex(m) { lockMutex(mutex); }
    ~ScopedLock() { unlockMutex(mutex); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
};

// Milliseconds from an arbitrary fixed point; only differences mean anything.
uint64_t monotonicMilliseconds();
void sleepMilliseconds(uint32_t milliseconds);

// ---- The console ---------------------------------------------------------------

// Calls `handler` (on some thread) when the user asks a console program to
// stop: Ctrl+C, Ctrl+Break, SIGINT, SIGTERM.
void onStopRequest(void (*handler)());
bool standardOutputIsTerminal();
// Makes the console show UTF-8 output as text (Windows); nothing elsewhere.
void useUtf8Console();

// ---- Text in the OEM code page -------------------------------------------
// Windows uses the system's OEM code page; POSIX uses code page 866.

// Converts `count` OEM bytes into `buffer` (capacity in wide characters,
// terminator included), cutting what does not fit. Returns the number of wide
// characters written before the terminator. Nothing is written when capacity
// is 0.
size_t oemToWide(const char* text, size_t count, wchar_t* buffer, size_t capacity);
// Converts a NUL-terminated wide string to OEM bytes, one byte per character;
// a character the code page lacks becomes its default character ('?').
// Writes at most `capacity` bytes, no terminator; returns the count written.
size_t wideToOem(const wchar_t* text, char* buffer, size_t capacity);

// ---- UTF-8 ---------------------------------------------------------------------
// Portable, the same on both halves. Wide text is UTF-16 where wchar_t has 16
// bits (surrogate pairs are joined) and UTF-32 elsewhere; what cannot be
// encoded becomes U+FFFD.

// Writes NUL-terminated UTF-8; false (and an empty string when capacity > 0)
// when it does not fit.
bool wideToUtf8(const wchar_t* text, char* out, size_t capacity);
// Writes NUL-terminated wide text and its length; false when it does not fit.
bool utf8ToWide(const char* text, wchar_t* out, size_t capacity, size_t* length);
