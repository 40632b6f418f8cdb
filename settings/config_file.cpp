#include "settings/config_file.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "settings/log_file.h"

namespace {

// The file's bytes, read whole. Config files are a few hundred bytes; anything
// past this is not a configuration file and is refused rather than read.
constexpr int64_t kLargestConfigFile = 1 << 20;

bool readWhole(FileHandle file, std::string& contents) {
    int64_t size = fileSize(file);
    if (size < 0 || size > kLargestConfigFile) return false;
    contents.resize(size_t(size));
    size_t done = 0;
    while (done < size_t(size)) {
        int64_t n = readFile(file, &contents[done], uint32_t(size_t(size) - done));
        if (n <= 0) break;
        done += size_t(n);
    }
    contents.resize(done);
    return true;
}

// Where a key's line lies in the file.
struct KeyLine {
    size_t start;  // first byte of the line
    size_t end;    // the line's end (CR LF, LF or CR), or the end of the file
};

bool sameIgnoringCase(char a, char b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return lower(a) == lower(b);
}

// The end of the line that starts at `position`: its first CR or LF.
size_t lineEnd(const std::string& contents, size_t position) {
    while (position < contents.size() && contents[position] != '\r' && contents[position] != '\n') ++position;
    return position;
}

// Past the line end at `end`: CR LF, a lone LF (a file edited on Linux) or a lone CR.
size_t nextLine(const std::string& contents, size_t end) {
    if (end < contents.size() && contents[end] == '\r') ++end;
    if (end < contents.size() && contents[end] == '\n') ++end;
    return end;
}

bool findKeyLine(const std::string& contents, const char* key, KeyLine& line) {
    size_t k = std::strlen(key);
    size_t position = 0;
    while (position < contents.size()) {
        size_t end = lineEnd(contents, position);
        if (end - position >= k) {
            size_t i = 0;
            while (i < k && sameIgnoringCase(contents[position + i], key[i])) ++i;
            if (i == k) {
                line = {position, end};
                return true;
            }
        }
        position = nextLine(contents, end);
    }
    return false;
}

// The value's bytes for reading: from key + 3 to the end of the line, at most
// kConfigValueLimit of them.
void valueOf(const KeyLine& line, size_t keyLength, size_t* offset, size_t* count) {
    size_t begin = line.start + keyLength + 3;
    *offset = begin;
    *count = begin < line.end ? line.end - begin : 0;
    if (*count > kConfigValueLimit) *count = kConfigValueLimit;
}

bool loadForReading(const wchar_t* path, std::string& contents) {
    ScopedFile file(openFile(path, FileAccess::read, FileShare::read, FileCreation::openExisting));
    return file.valid() && readWhole(file.handle, contents);
}

// Replaces the key's value in `contents` and moves the rest of the file with
// it. Line ends are the file's own: only the value changes.
void setValueIn(std::string& contents, const ConfigValue& value) {
    KeyLine line;
    if (!findKeyLine(contents, value.key.c_str(), line)) return;
    size_t k = value.key.size();
    size_t valueStart = line.start + k + 3;
    // A line that ends inside the separator ("sort" or "sort =" alone) gets the
    // missing separator first, so the value lands on the key's own line.
    static const char kSeparator[] = " = ";
    size_t kept = valueStart <= line.end ? valueStart : line.end;
    size_t present = kept - (line.start + k);
    std::string middle(kSeparator + present);
    middle.append(value.bytes, 0, kConfigValueLimit);
    contents.replace(kept, line.end - kept, middle);
}

void logNotWritten(const char* reason) { logWrite(gLog, "Error: config.ini not written: %s\n", reason); }

// Says why the call that just failed failed.
void logLastError() {
    char text[256];
    systemErrorText(lastSystemError(), text, sizeof text);
    logNotWritten(text);
}

enum class Replacement { done, failed, impossible };

// `contents` written beside config.ini and put in its place in one step: a
// write that fails midway (a full disk) leaves the old file whole, and is
// logged. `impossible` when the new file cannot be made or cannot take the
// old one's place: nothing has been written then.
Replacement replaceContents(const wchar_t* path, const std::string& contents) {
    static const wchar_t kSuffix[] = L".new";
    wchar_t fresh[kMaxPath + 8];
    size_t length = std::wcslen(path);
    if (length + sizeof kSuffix / sizeof kSuffix[0] > sizeof fresh / sizeof fresh[0]) return Replacement::impossible;
    std::wmemcpy(fresh, path, length);
    std::wmemcpy(fresh + length, kSuffix, sizeof kSuffix / sizeof kSuffix[0]);
    bool whole;
    {
        ScopedFile file(openFile(fresh, FileAccess::write, FileShare::none, FileCreation::createAlways));
        if (!file.valid()) return Replacement::impossible;  // a folder we may not write in, say
        uint32_t size = uint32_t(contents.size());
        whole = writeFile(file.handle, contents.data(), size) == int64_t(size) && syncFile(file.handle);
        if (!whole) logLastError();
    }
    if (whole && replaceFileWith(path, fresh)) return Replacement::done;
    deleteFile(fresh);
    return whole ? Replacement::impossible : Replacement::failed;
}

}  // namespace

void setConfigInt(ConfigChange& change, const char* key, int32_t value) {
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d", value);
    change.values.push_back({key, std::string(text, size_t(n))});
}

void setConfigString(ConfigChange& change, const char* key, const wchar_t* value) {
    char text[kConfigValueLimit];
    size_t n = wideToOem(value, text, sizeof text);
    change.values.push_back({key, std::string(text, n)});
}

void writeConfigChangeTo(const wchar_t* path, const ConfigChange& change) {
    std::string contents;
    {
        // Opened for writing as well: a file we may not write keeps its values.
        ScopedFile file(openFile(path, FileAccess::readWrite, FileShare::read, FileCreation::openExisting));
        if (!file.valid()) {
            logLastError();
            return;
        }
        if (!readWhole(file.handle, contents)) {
            logNotWritten("it is over 1 MiB");
            return;
        }
    }
    std::string old = contents;
    for (const ConfigValue& value : change.values) setValueIn(contents, value);
    if (contents == old || replaceContents(path, contents) != Replacement::impossible) return;
    // Written where the user keeps the file, though a reader may now find it
    // half written.
    if (!overwriteFile(path, contents.data(), uint32_t(contents.size()))) logLastError();
}

void writeConfigChange(const ConfigChange& change) { writeConfigChangeTo(kConfigFileName, change); }

int32_t parseLenientInt(const char* text, size_t count) {
    size_t i = 0;
    while (i < count && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\v' ||
                         text[i] == '\f' || text[i] == '\r'))
        ++i;
    bool negative = false;
    if (i < count && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < count && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return int32_t(value);
}

int readConfigIntFrom(const wchar_t* path, const char* key, int32_t* out) {
    *out = 0;
    std::string contents;
    KeyLine line;
    if (!loadForReading(path, contents) || !findKeyLine(contents, key, line)) return 0;
    size_t offset, count;
    valueOf(line, std::strlen(key), &offset, &count);
    *out = parseLenientInt(contents.data() + offset, count);
    return 1;
}

int readConfigStringFrom(const wchar_t* path, const char* key, wchar_t* buffer, size_t capacity) {
    std::string contents;
    KeyLine line;
    if (!loadForReading(path, contents) || !findKeyLine(contents, key, line)) return 0;
    size_t offset, count;
    valueOf(line, std::strlen(key), &offset, &count);
    oemToWide(contents.data() + offset, count, buffer, capacity);
    return 1;
}

void writeConfigIntTo(const wchar_t* path, const char* key, int32_t value) {
    ConfigChange change;
    setConfigInt(change, key, value);
    writeConfigChangeTo(path, change);
}

void writeConfigStringTo(const wchar_t* path, const char* key, const wchar_t* value) {
    ConfigChange change;
    setConfigString(change, key, value);
    writeConfigChangeTo(path, change);
}

int readConfigInt(const char* key, int32_t* out) { return readConfigIntFrom(kConfigFileName, key, out); }

int readConfigString(const char* key, wchar_t* buffer, size_t capacity) {
    return readConfigStringFrom(kConfigFileName, key, buffer, capacity);
}

void writeConfigInt(const char* key, int32_t value) { writeConfigIntTo(kConfigFileName, key, value); }

void writeConfigString(const char* key, const wchar_t* value) {
    writeConfigStringTo(kConfigFileName, key, value);
}
