#include "settings/config_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

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
    size_t start;  // first byte of the line
    size_t end;    // the line's end (CR LF, LF or CR), or the end of the file
};

bool sameIgnoringCase(char a, char b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return lower(a) == lower(b);
}

// The end of the line that starts at `position`: its first CR or LF.
size_t lineEnd(const Contents& contents, size_t position) {
    while (position < contents.size && contents.bytes[position] != '\r' && contents.bytes[position] != '\n')
        ++position;
    return position;
}

// Past the line end at `end`: CR LF, a lone LF (a file edited on Linux) or a lone CR.
size_t nextLine(const Contents& contents, size_t end) {
    if (end < contents.size && contents.bytes[end] == '\r') ++end;
    if (end < contents.size && contents.bytes[end] == '\n') ++end;
    return end;
}

bool findKeyLine(const Contents& contents, const char* key, KeyLine& line) {
    size_t k = std::strlen(key);
    size_t position = 0;
    while (position < contents.size) {
        size_t end = lineEnd(contents, position);
        if (end - position >= k) {
            size_t i = 0;
            while (i < k && sameIgnoringCase(contents.bytes[position + i], key[i])) ++i;
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

bool loadForReading(const wchar_t* path, Contents& contents) {
    ScopedFile file(openFile(path, FileAccess::read, FileShare::read, FileCreation::openExisting));
    return file.valid() && readWhole(file.handle, contents);
}

// config.ini with `before` bytes of the old file, then `middle`, then the old
// file from `after` on, written beside it and put in its place in one step:
// a write that fails midway (a full disk) leaves the old file whole.
bool replaceContents(const wchar_t* path, const Contents& old, size_t before, const char* middle,
                     size_t middleCount, size_t after) {
    static const wchar_t kSuffix[] = L".new";
    wchar_t fresh[kMaxPath + 8];
    size_t length = std::wcslen(path);
    if (length + sizeof kSuffix / sizeof kSuffix[0] > sizeof fresh / sizeof fresh[0]) return false;
    std::wmemcpy(fresh, path, length);
    std::wmemcpy(fresh + length, kSuffix, sizeof kSuffix / sizeof kSuffix[0]);
    bool whole;
    {
        ScopedFile file(openFile(fresh, FileAccess::write, FileShare::none, FileCreation::createAlways));
        if (!file.valid()) return false;
        auto put = [&](const char* bytes, size_t count) {
            return count == 0 || writeFile(file.handle, bytes, uint32_t(count)) == int64_t(count);
        };
        whole = put(old.bytes, before) && put(middle, middleCount) &&
                put(old.bytes + after, old.size - after) && syncFile(file.handle);
    }
    if (whole && replaceFileWith(path, fresh)) return true;
    deleteFile(fresh);
    return false;
}

// Replaces the key's value with `value` (count bytes) and moves the rest of
// the file with it. Line ends are the file's own: only the value changes.
void rewriteValue(const wchar_t* path, const char* key, const char* value, size_t count) {
    Contents contents;
    {
        // Opened for writing as well: a file we may not write keeps its value.
        ScopedFile file(openFile(path, FileAccess::readWrite, FileShare::read, FileCreation::openExisting));
        if (!file.valid() || !readWhole(file.handle, contents)) return;
    }
    KeyLine line;
    if (!findKeyLine(contents, key, line)) return;
    size_t k = std::strlen(key);
    size_t valueStart = line.start + k + 3;
    // A line that ends inside the separator ("sort" or "sort =" alone) gets the
    // missing separator first, so the value lands on the key's own line.
    static const char kSeparator[] = " = ";
    size_t kept = valueStart <= line.end ? valueStart : line.end;
    size_t present = kept - (line.start + k);
    char middle[3 + kConfigValueLimit + 16];
    size_t used = 3 - present;
    std::memcpy(middle, kSeparator + present, used);
    if (count > sizeof middle - used) count = sizeof middle - used;
    std::memcpy(middle + used, value, count);
    replaceContents(path, contents, kept, middle, used + count, line.end);
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
