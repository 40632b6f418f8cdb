#include "extraction/object_header.h"

#include <cstring>

#include "platform/platform.h"

namespace {

// A run of header bytes; never reaches beyond the header text.
struct Text {
    const uint8_t* data;
    size_t size;
};

bool equalsAsciiNoCase(Text text, const char* word) {
    size_t n = std::strlen(word);
    if (text.size != n) return false;
    for (size_t i = 0; i < n; ++i) {
        uint8_t a = text.data[i], b = uint8_t(word[i]);
        if (a >= 'A' && a <= 'Z') a = uint8_t(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = uint8_t(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

bool equalsExactly(Text text, const char* word) {
    return text.size == std::strlen(word) && std::memcmp(text.data, word, text.size) == 0;
}

bool startsWith(Text text, const char* prefix) {
    size_t n = std::strlen(prefix);
    return text.size >= n && std::memcmp(text.data, prefix, n) == 0;
}

// Content-Length: lenient unsigned decimal; "-" negates modulo 2^32 and a
// number past 4294967295 reads as 4294967295, as the C library's strtoul does.
uint32_t readLength(Text value) {
    size_t i = 0;
    while (i < value.size && (value.data[i] == ' ' || (value.data[i] >= '\t' && value.data[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < value.size && (value.data[i] == '+' || value.data[i] == '-')) negative = value.data[i++] == '-';
    uint64_t number = 0;
    bool overflow = false;
    for (; i < value.size && value.data[i] >= '0' && value.data[i] <= '9'; ++i) {
        number = number * 10 + (value.data[i] - '0');
        if (number > 0xFFFFFFFFu) {
            overflow = true;
            number = 0xFFFFFFFFu;
        }
    }
    if (overflow) return 0xFFFFFFFFu;
    return negative ? uint32_t(0u - uint32_t(number)) : uint32_t(number);
}

const ExtensionEntry* lookUpExtension(Text text) {
    wchar_t wide[8];
    if (text.size == 0 || text.size >= 8) return nullptr;  // no entry is longer than four
    size_t n = oemToWide(reinterpret_cast<const char*>(text.data), text.size, wide, 8);
    return findExtension(wide, n);
}

void takeDisposition(Text value, ObjectHeaderInfo& info) {
    // Parameters are separated by ";"; the first "filename=" one names the file.
    Text parameter = {nullptr, 0};
    for (size_t start = 0; start <= value.size;) {
        const uint8_t* end = static_cast<const uint8_t*>(
            std::memchr(value.data + start, ';', value.size - start));
        size_t stop = end ? size_t(end - value.data) : value.size;
        Text p = {value.data + start, stop - start};
        if (p.size > 0 && p.data[0] == ' ') p = {p.data + 1, p.size - 1};
        if (startsWith(p, "filename=")) {
            parameter = {p.data + 9, p.size - 9};
            break;
        }
        start = stop + 1;
    }
    if (!parameter.data) return;
    Text raw = parameter;
    if (raw.size > 0 && raw.data[0] == '"') {
        const uint8_t* quote = static_cast<const uint8_t*>(std::memchr(raw.data + 1, '"', raw.size - 1));
        raw = {raw.data + 1, quote ? size_t(quote - raw.data - 1) : raw.size - 1};
    }
    Text name = raw, extension = {nullptr, 0};
    for (size_t i = raw.size; i > 0; --i) {
        if (raw.data[i - 1] == '.') {
            name = {raw.data, i - 1};
            extension = {raw.data + i, raw.size - i};
            break;
        }
    }
    oemToWide(reinterpret_cast<const char*>(name.data), name.size, info.name, kFileNameCapacity);
    confineFileName(info.name, kFileNameCapacity);
    if (!info.extension && extension.data) info.extension = lookUpExtension(extension);
}

struct SubtypeRule {
    const char* subtype;
    const char* extension;  // nullptr: probe the body
};

const SubtypeRule kApplication[] = {
    {"xml", "xml"}, {"zip", "zip"}, {"x-zip", "zip"}, {"x-zip-compressed", "zip"},
    {"x-rar-compressed", "rar"}, {"rar", "rar"}, {"x-rar", "rar"}, {"x-cab-compressed", "cab"},
    {"cab", "cab"}, {"pdf", "pdf"}, {"octet-stream", nullptr}, {"x-javascript", "js"},
    {"javascript", "js"}, {"json", "json"}, {"x-shockwave-flash", "swf"}, {"msword", "doc"},
    {"x-msdownload", "exe"}, {nullptr, nullptr}};
const SubtypeRule kImage[] = {
    {"gif", "gif"}, {"jpeg", "jpg"}, {"jpg", "jpg"}, {"pjpeg", "jpg"}, {"png", "png"},
    {"x-png", "png"}, {"x-icon", "ico"}, {"ico", "ico"}, {"x-ico", "ico"},
    {"vnd.microsoft.icon", "ico"}, {"bmp", "bmp"}, {"x-ms-bmp", "bmp"}, {"vnd.djvu", "djv"},
    {"x-djvu", "djv"}, {nullptr, nullptr}};
const SubtypeRule kText[] = {
    {"html", "html"}, {"xml", "xml"}, {"css", "css"}, {"txt", "txt"}, {"text", "txt"},
    {"plain", nullptr}, {"javascript", "js"}, {"x-js", "js"}, {nullptr, nullptr}};
const SubtypeRule kAudio[] = {
    {"x-ms-wma", "wma"}, {"wma-audio", "wma"}, {"mpeg", "mp3"}, {"mp3", "mp3"},
    {"basic", "au"}, {nullptr, nullptr}};
const SubtypeRule kVideo[] = {
    {"x-flv", "flv"}, {"flv", "flv"}, {"x-ms-wmv", "wmv"}, {"x-msvideo", "avi"},
    {"quicktime", "mov"}, {nullptr, nullptr}};

struct MainType {
    const char* name;
    const SubtypeRule* rules;
};
const MainType kMainTypes[] = {
    {"application", kApplication}, {"image", kImage}, {"text", kText}, {"audio", kAudio}, {"video", kVideo}};

const ExtensionEntry* extensionNamed(const char* text) {
    wchar_t wide[8];
    size_t n = oemToWide(text, std::strlen(text), wide, 8);
    return findExtension(wide, n);
}

bool bodyStartsWith(Text body, size_t offset, const char* magic) {
    size_t n = std::strlen(magic);
    return offset + n <= body.size && std::memcmp(body.data + offset, magic, n) == 0;
}

// The first bytes of the body decide when the type is too generic.
const char* probe(bool application, Text body) {
    if (application) {
        if (bodyStartsWith(body, 0, "ID3")) return "mp3";
        if (bodyStartsWith(body, 0, "Rar!")) return "rar";
        if (bodyStartsWith(body, 0, "MZ")) return "exe";
        if (bodyStartsWith(body, 0, "PK")) return "zip";
        if (bodyStartsWith(body, 0, "FLV")) return "flv";
        if (bodyStartsWith(body, 0, "RIFF")) return bodyStartsWith(body, 8, "AVI") ? "avi" : "bin";
        return nullptr;
    }
    if (bodyStartsWith(body, 0, "Rar")) return "rar";
    if (bodyStartsWith(body, 0, "PK")) return "zip";
    if (bodyStartsWith(body, 0, "FLV")) return "flv";
    return nullptr;
}

void takeContentType(Text value, Text body, ObjectHeaderInfo& info) {
    if (info.extension) return;
    const uint8_t* slash = static_cast<const uint8_t*>(std::memchr(value.data, '/', value.size));
    if (!slash) return;
    Text main = {value.data, size_t(slash - value.data)};
    Text rest = {slash + 1, value.size - main.size - 1};
    const uint8_t* semicolon = static_cast<const uint8_t*>(std::memchr(rest.data, ';', rest.size));
    Text subtype = {rest.data, semicolon ? size_t(semicolon - rest.data) : rest.size};
    if (subtype.size == 0) return;
    for (const MainType& type : kMainTypes) {
        if (!equalsExactly(main, type.name)) continue;
        for (const SubtypeRule* rule = type.rules; rule->subtype; ++rule) {
            if (!equalsAsciiNoCase(subtype, rule->subtype)) continue;
            const char* extension = rule->extension ? rule->extension : probe(type.rules == kApplication, body);
            if (extension) info.extension = extensionNamed(extension);
            return;
        }
        return;
    }
}

void takeLine(Text line, Text body, ObjectHeaderInfo& info) {
    size_t start = 0;
    while (start < line.size && line.data[start] == ':') ++start;
    const uint8_t* colon = static_cast<const uint8_t*>(std::memchr(line.data + start, ':', line.size - start));
    if (!colon) return;
    Text name = {line.data + start, size_t(colon - line.data) - start};
    size_t after = size_t(colon - line.data) + 1;
    if (after >= line.size) return;  // nothing after the colon
    // The first character after the colon is dropped whatever it is.
    Text value = {line.data + after + 1, line.size - after - 1};
    if (equalsAsciiNoCase(name, "Content-Length"))
        info.length = readLength(value);
    else if (equalsAsciiNoCase(name, "Content-Disposition"))
        takeDisposition(value, info);
    else if (equalsAsciiNoCase(name, "Content-Type"))
        takeContentType(value, body, info);
}

}  // namespace

uint16_t parseObjectHeader(size_t count, ObjectHeaderInfo& info, const uint8_t* bytes, LogFile& log) {
    if (count < 12 || std::memcmp(bytes, "HTTP/1.", 7) != 0) return 0;
    if (bytes[7] != '0' && bytes[7] != '1') {
        logWrite(log, "ERROR: HTTP ver");
        PacketDump(log, bytes);
        return 0;
    }
    if (std::memcmp(bytes + 9, "200", 3) != 0) return 0;

    size_t end = 0;
    bool found = false;
    for (size_t i = 0; i + 4 <= count && i + 4 <= 0xFFFF; ++i) {
        if (bytes[i] == '\r' && bytes[i + 1] == '\n' && bytes[i + 2] == '\r' && bytes[i + 3] == '\n') {
            end = i;
            found = true;
            break;
        }
    }
    if (!found) return 0;
    uint16_t headerLength = uint16_t(end + 4);

    info.extension = nullptr;
    info.name[0] = L'\0';
    info.length = 0;
    Text body = {bytes + headerLength, count - headerLength};
    bool statusLine = true;
    for (size_t start = 0; start < end;) {
        size_t stop = start;
        while (stop < end && bytes[stop] != '\r' && bytes[stop] != '\n') ++stop;
        if (stop > start) {
            if (!statusLine) takeLine({bytes + start, stop - start}, body, info);
            statusLine = false;
        }
        start = stop + 1;
    }
    return headerLength;
}
