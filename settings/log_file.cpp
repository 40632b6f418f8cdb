#include "settings/log_file.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/platform.h"
#include "settings/config_file.h"

LogFile gLog;

namespace {

// Longest line: "File: " plus 255 name characters of up to 4 bytes each.
constexpr size_t kLineCapacity = 2048;

// Every record ever published, newest first. They stay reachable until the
// process ends, and a stream switched back to reuses its record.
std::atomic<const LogTarget*> gTargets{nullptr};

const LogTarget* targetFor(FILE* stream, bool crlf) {
    const LogTarget* head = gTargets.load(std::memory_order_acquire);
    for (const LogTarget* t = head; t; t = t->next)
        if (t->stream == stream && t->crlf == crlf) return t;
    auto* made = new (std::nothrow) LogTarget{stream, crlf, head};
    if (!made) return nullptr;
    while (!gTargets.compare_exchange_weak(made->next, made, std::memory_order_acq_rel)) {
    }
    return made;
}

// One load: the stream and its line ends come from the same record.
LogTarget targetOf(const LogFile& log) {
    const LogTarget* target = log.target.load(std::memory_order_acquire);
    return target ? *target : LogTarget{stdout, false, nullptr};
}

// Writes `count` bytes as one call, turning "\n" into CR LF for log.txt.
void writeLine(LogFile& log, const char* text, size_t count) {
    const LogTarget target = targetOf(log);
    if (!target.crlf) {
        std::fwrite(text, 1, count, target.stream);
        return;
    }
    char translated[kLineCapacity * 2];
    size_t n = 0;
    for (size_t i = 0; i < count; ++i) {
        if (text[i] == '\n') translated[n++] = '\r';
        translated[n++] = text[i];
    }
    std::fwrite(translated, 1, n, target.stream);
}

}  // namespace

FILE* logStream(const LogFile& log) { return targetOf(log).stream; }

void useStream(LogFile& log, FILE* stream, bool crlf) {
    const LogTarget* target = targetFor(stream, crlf);
    if (target) log.target.store(target, std::memory_order_release);
}

void useStandardOutput(LogFile& log) { useStream(log, stdout, false); }

bool openLogAt(LogFile& log, const wchar_t* path) {
    // By identity, as the clean-up compares folders: "logs/./log.txt" or
    // "LOGS\LOG.TXT" is the file already open, which its sharing refuses to
    // open a second time (Windows) or would give two streams (POSIX).
    for (const OpenedLogFile& file : log.opened) {
        if (file.path == path || sameEntry(file.path.c_str(), path)) {
            useStream(log, file.stream, true);
            return true;
        }
    }
    FILE* stream = openExclusiveAppendStream(path);
    if (!stream) {
        useStandardOutput(log);
        return false;
    }
    log.opened.push_back({path, stream});
    useStream(log, stream, true);
    return true;
}

void openLog(LogFile& log) {
    wchar_t path[kMaxPath] = L"";
    readConfigString("log_dir", path, kMaxPath);
    // Start-up writes "." back as the working directory; where config.ini
    // could not be written, the same is meant: never a hidden ".log.txt".
    if (path[0] == L'.') {
        size_t length = currentDirectory(path, kMaxPath - 1);
        path[length] = length ? kPathSeparator : L'\0';
        path[length + 1] = L'\0';
    }
    size_t used = std::wcslen(path);
    size_t name = std::wcslen(kLogFileName);
    if (used + name >= kMaxPath) {
        // The path would not fit the 260-character buffer: no log file.
        useStandardOutput(log);
        return;
    }
    std::wcscpy(path + used, kLogFileName);
    openLogAt(log, path);
}

void logWrite(LogFile& log, const char* format, ...) {
    char line[kLineCapacity];
    va_list arguments;
    va_start(arguments, format);
    int n = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (n < 0) return;
    writeLine(log, line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
}

namespace {

// "File: NAME" and `tail`, the name converted by the current locale.
void logFileLine(LogFile& log, const wchar_t* fileName, const char* tail) {
    char line[kLineCapacity];
    static const char kPrefix[] = "File: ";
    size_t tailLength = std::strlen(tail);
    if (tailLength > 512) tailLength = 512;
    size_t n = sizeof kPrefix - 1;
    std::memcpy(line, kPrefix, n);
    std::mbstate_t state{};
    char bytes[16];
    for (const wchar_t* c = fileName; *c; ++c) {
        size_t count = std::wcrtomb(bytes, *c, &state);
        if (count == size_t(-1) || count > sizeof bytes) {
            bytes[0] = '?';
            count = 1;
            state = std::mbstate_t{};
        }
        if (n + count + tailLength + 1 > sizeof line) break;
        std::memcpy(line + n, bytes, count);
        n += count;
    }
    std::memcpy(line + n, tail, tailLength);
    writeLine(log, line, n + tailLength);
}

}  // namespace

void logFinishedFile(LogFile& log, const wchar_t* fileName) { logFileLine(log, fileName, " - ok\n"); }

void logFileNotSaved(LogFile& log, const wchar_t* fileName, const char* reason) {
    char tail[600];
    std::snprintf(tail, sizeof tail, " - not saved: %s\n", reason);
    logFileLine(log, fileName, tail);
}

void PacketDump(LogFile& log, const unsigned char* data) {
    logWrite(log, "\nLen: %d\n", 8);
    logWrite(log, "%.8X: ", 0u);
    for (int i = 0; i < 8; ++i) logWrite(log, "%.2X ", unsigned(data[i]));
    logWrite(log, "  ");
    for (int i = 0; i < 8; ++i) {
        char c = data[i] < 16 ? '.' : char(data[i]);
        writeLine(log, &c, 1);
    }
    logWrite(log, "\n\n");
}

void flushLog(LogFile& log) { std::fflush(logStream(log)); }
