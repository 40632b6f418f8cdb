#include "settings/config_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

// The file's bytes, read whole. Config files are a few hundred bytes; anything
// past this is not a configuration file and is refused rather than read.
constexpr int64_t kLargestConfigFile = 1 << 20;

struct Contents {
    char* bytes = nullptr;
    size_t size = 0;
    ~Contents() { std::free(bytes); }
};

bool readWhole(FileHandle file, Contents& contents) {
    int64_t size = fileSize(file);
    if (size < 0 || size > kLargestConfigFile) return false;
    contents.bytes = static_cast<char*>(std::malloc(size_t(size) + 1));
    if (!contents.bytes) return false;
    size_t done = 0;
    while (done < size_t(size)) {
        int64_t n = readFile(file, contents.bytes + done, uint32_t(size_t(size) - done));
        if (n <= 0) break;
        done += size_t(n);
    }
    contents.size = done;
    return true;
}

// Where a key's line lies in the file.
struct KeyLine {
    size_t start;   // first byte of the line
    size_t end;     // the line's CR, or the end of the file
    bool hasCr;     // the line is ended by a CR
};

bool sameIgnoringCase(char a, char b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return lower(a) == lower(b);
}

bool findKeyLine(const Contents& contents, const char* key, KeyLine& line) {
    size_t k = std::strlen(key);
    size_t position = 0;
    while (position < contents.size) {
        const char* cr = static_cast<const char*>(
            std::memchr(contents.bytes + position, '\r', contents.size - position));
        size_t end = cr ? size_t(cr - contents.bytes) : contents.size;
        if (end - position >= k) {
            size_t i = 0;
            while (i < k && sameIgnoringCase(contents.bytes[position + i], key[i])) ++i;
            if (i == k) {
                line = {position, end, cr != nullptr};
                return true;
            }
        }
        position = end + 2;  // past the CR and its LF
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

bool loadForReading(const wchar_t* path, Contents& contents) {
    ScopedFile file(openFile(path, FileAccess::read, FileShare::read, FileCreation::openExisting));
    return file.valid() && readWhole(file.handle, contents);
}

// Replaces the key's value with `value` (count bytes) and moves the rest of
// the file with it.
void rewriteValue(const wchar_t* path, const char* key, const char* value, size_t count) {
    ScopedFile file(openFile(path, FileAccess::readWrite, FileShare::read, FileCreation::openExisting));
    Contents contents;
    if (!file.valid() || !readWhole(file.handle, contents)) return;
    KeyLine line;
    if (!findKeyLine(contents, key, line)) return;
    size_t k = std::strlen(key);
    size_t valueStart = line.start + k + 3;
    if (valueStart > line.end) {
        // The line ends inside the separator ("sort" or "sort =" alone). Writing
        // at key + 3 would overwrite the line end and the next line, so the
        // missing separator is written first.
        static const char kSeparator[] = " = ";
        size_t present = line.end - (line.start + k);
        if (!seekFile(file.handle, line.end)) return;
        writeFile(file.handle, kSeparator + present, uint32_t(3 - present));
    } else if (!seekFile(file.handle, valueStart)) {
        return;
    }
    writeFile(file.handle, value, uint32_t(count));
    if (line.hasCr) writeFile(file.handle, contents.bytes + line.end, uint32_t(contents.size - line.end));
    truncateFile(file.handle);
}

}  // namespace

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
    Contents contents;
    KeyLine line;
    if (!loadForReading(path, contents) || !findKeyLine(contents, key, line)) return 0;
    size_t offset, count;
    valueOf(line, std::strlen(key), &offset, &count);
    *out = parseLenientInt(contents.bytes + offset, count);
    return 1;
}

int readConfigStringFrom(const wchar_t* path, const char* key, wchar_t* buffer, size_t capacity) {
    Contents contents;
    KeyLine line;
    if (!loadForReading(path, contents) || !findKeyLine(contents, key, line)) return 0;
    size_t offset, count;
    valueOf(line, std::strlen(key), &offset, &count);
    oemToWide(contents.bytes + offset, count, buffer, capacity);
    return 1;
}

void writeConfigIntTo(const wchar_t* path, const char* key, int32_t value) {
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d", value);
    rewriteValue(path, key, text, size_t(n));
}

void writeConfigStringTo(const wchar_t* path, const char* key, const wchar_t* value) {
    char text[kConfigValueLimit];
    size_t n = wideToOem(value, text, sizeof text);
    rewriteValue(path, key, text, n);
}

int readConfigInt(const char* key, int32_t* out) { return readConfigIntFrom(kConfigFileName, key, out); }

int readConfigString(const char* key, wchar_t* buffer, size_t capacity) {
    return readConfigStringFrom(kConfigFileName, key, buffer, capacity);
}

void writeConfigInt(const char* key, int32_t value) { writeConfigIntTo(kConfigFileName, key, value); }

void writeConfigString(const char* key, const wchar_t* value) {
    writeConfigStringTo(kConfigFileName, key, value);
}
