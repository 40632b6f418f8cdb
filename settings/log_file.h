// The diagnostic log: one process-wide byte stream, either log.txt in log_dir
// or standard output. Every line is formatted first and written with a single
// call, so lines of different threads never mix.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Where the log goes: a stream and whether its lines end in CR LF (log.txt on
// every platform) or in the platform's own line ends (standard output). The
// two are always published together, so a line is never written to one
// stream with the other's line ends. Records are immutable and never freed:
// a writer may still hold the one it read while the log is switched.
struct LogTarget {
    FILE* stream;
    bool crlf;
    const LogTarget* next;  // every record made so far, for reuse
};

// A log file this log has opened, by its path. Its stream stays open until
// the process ends, and the program's own share mode refuses a second open of
// the same file, so opening that file again, by whatever path, takes this stream.
struct OpenedLogFile {
    std::wstring path;
    FILE* stream;
};

struct LogFile {
    // nullptr until a stream is chosen: standard output.
    std::atomic<const LogTarget*> target{nullptr};
    // Files opened so far; touched only by the thread that switches the log.
    std::vector<OpenedLogFile> opened;
};

// The log of the program. Until a stream is chosen it writes to standard output.
extern LogFile gLog;

constexpr const wchar_t* kLogFileName = L"log.txt";

// Reads log_dir from config.ini, appends "log.txt" and makes that file, opened
// for appending and not shared, the log; standard output when it cannot be opened.
void openLog(LogFile& log);
// Opens `path` as the log file; false (and standard output) when it cannot.
// A file this log opened before (however its path is spelt) gets the stream
// it opened then.
bool openLogAt(LogFile& log, const wchar_t* path);
void useStandardOutput(LogFile& log);
// Writes to an already open stream; for tests and tools.
void useStream(LogFile& log, FILE* stream, bool crlf);
// The stream written to now (standard output until one is chosen).
FILE* logStream(const LogFile& log);

// One formatted write.
void logWrite(LogFile& log, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// "File: %s - ok\n" with the wide file name converted by the process's current
// locale; characters it cannot convert become "?".
void logFinishedFile(LogFile& log, const wchar_t* fileName);
// "File: %s - not saved: REASON\n": a complete object that did not become a
// file, and why (the system's words where the system refused).
void logFileNotSaved(LogFile& log, const wchar_t* fileName, const char* reason);

// Writes a hex and character dump of the 8 bytes at `data`.
void PacketDump(LogFile& log, const unsigned char* data);

// Pushes buffered lines out; the program itself relies on the runtime's flush
// at exit, tools and tests call this before reading the file.
void flushLog(LogFile& log);
