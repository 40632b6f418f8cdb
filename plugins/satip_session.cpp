#include "plugins/satip_session.h"

#include <cstring>

namespace {

// A reply head and body together; a server's replies are a few hundred bytes.
constexpr size_t kLargestReply = 64 * 1024;
constexpr size_t kRtpHeaderSize = 12;
constexpr uint8_t kRtcpApplication = 204;

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool startsWithIgnoringCase(const std::string& text, size_t at, const char* prefix) {
    for (size_t i = 0; prefix[i]; ++i)
        if (at + i >= text.size() || lower(text[at + i]) != lower(prefix[i])) return false;
    return true;
}

std::string trimmedText(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// A decimal number, nothing else; -1 when it is not one or above `maximum`.
long numberOr(const std::string& text, long maximum) {
    const std::string digits = trimmedText(text);
    if (digits.empty() || digits.size() > 10) return -1;
    long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value > maximum ? -1 : long(value);
}

// The value of parameter `name` in "a;name=value;b" (names in any case).
bool parameterValue(const std::string& text, const char* name, std::string& value) {
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(';', at);
        if (end == std::string::npos) end = text.size();
        std::string item = trimmedText(text.substr(at, end - at));
        size_t equals = item.find('=');
        if (equals != std::string::npos && startsWithIgnoringCase(item, 0, name) && std::strlen(name) == equals) {
            value = item.substr(equals + 1);
            return true;
        }
        at = end + 1;
    }
    return false;
}

// The first number of "a-b" or "a".
long firstOfPair(const std::string& text) { return numberOr(text.substr(0, text.find('-')), 65535); }

}  // namespace

bool parseServerName(const std::string& text, std::string& host, uint16_t& port) {
    size_t colon = text.rfind(':');
    long number = kRtspDefaultPort;
    if (colon != std::string::npos && (number = numberOr(text.substr(colon + 1), 65535)) <= 0) return false;
    std::string name = text.substr(0, colon);
    if (name.empty() || name.find_first_of(" \t/:") != std::string::npos) return false;
    host = name;
    port = uint16_t(number);
    return true;
}

int satipInput(int32_t diseqcKind, int32_t diseqcCommand) {
    // Committed switch: bit 2 the position, bit 3 the option; a simple one
    // only has the position.
    if (diseqcKind == 1) return (diseqcCommand & 0x04) ? 2 : 1;
    if (diseqcKind == 2) return 1 + ((diseqcCommand >> 2) & 0x03);
    return 1;
}

std::string thousandthsText(int32_t value) {
    if (value < 0) value = 0;
    std::string text = std::to_string(value / 1000);
    int fraction = value % 1000;
    if (fraction == 0) return text;
    char digits[4] = {char('0' + fraction / 100), char('0' + fraction / 10 % 10), char('0' + fraction % 10), 0};
    std::string decimals(digits);
    decimals.erase(decimals.find_last_not_of('0') + 1);
    return text + "." + decimals;
}

std::string tuningQuery(const Tuning& tuning, const std::string& msys) {
    return "?src=" + std::to_string(satipInput(tuning.diseqcKind, tuning.diseqcCommand)) +
           "&freq=" + thousandthsText(tuning.frequency) + "&pol=" + (tuning.polarity == 0 ? "h" : "v") +
           "&msys=" + msys + "&sr=" + thousandthsText(tuning.symbolRate) + "&pids=" + std::to_string(tuning.pid);
}

std::string rtspRequest(const char* method, const std::string& url, uint32_t cseq, const std::string& session,
                        const std::string& extraHeaders) {
    std::string request = std::string(method) + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n";
    if (!session.empty()) request += "Session: " + session + "\r\n";
    return request + extraHeaders + "\r\n";
}

long rtspReplyLength(const char* data, size_t size) {
    const size_t probe = size < 5 ? size : 5;
    if (std::memcmp(data, "RTSP/", probe) != 0) return -1;
    const std::string text(data, size < kLargestReply ? size : kLargestReply);
    size_t end = text.find("\r\n\r\n");
    size_t headLength = end == std::string::npos ? 0 : end + 4;
    if (end == std::string::npos) {
        // Some servers end their lines with LF alone.
        end = text.find("\n\n");
        if (end != std::string::npos) headLength = end + 2;
    }
    if (headLength == 0) return size >= kLargestReply ? -1 : 0;
    std::string length = headerValue(text.substr(0, headLength), "Content-Length");
    long body = length.empty() ? 0 : numberOr(length, long(kLargestReply));
    if (body < 0 || headLength + size_t(body) > kLargestReply) return -1;
    return headLength + size_t(body) <= size ? long(headLength + size_t(body)) : 0;
}

std::string headerValue(const std::string& head, const char* name) {
    const size_t nameLength = std::strlen(name);
    size_t at = head.find('\n');  // past the status line
    while (at != std::string::npos && at + 1 < head.size()) {
        ++at;
        size_t end = head.find('\n', at);
        if (end == std::string::npos) end = head.size();
        if (startsWithIgnoringCase(head, at, name) && at + nameLength < end && head[at + nameLength] == ':')
            return trimmedText(head.substr(at + nameLength + 1, end - at - nameLength - 1));
        at = end;
    }
    return std::string();
}

bool parseRtspReply(const std::string& text, RtspReply& reply) {
    reply = RtspReply();
    size_t lineEnd = text.find('\n');
    reply.statusLine = trimmedText(text.substr(0, lineEnd));
    if (reply.statusLine.compare(0, 5, "RTSP/") != 0) return false;
    size_t space = reply.statusLine.find(' ');
    long status = space == std::string::npos ? -1 : numberOr(reply.statusLine.substr(space + 1, 3), 999);
    if (status < 100) return false;
    reply.status = int(status);

    size_t headEnd = text.find("\r\n\r\n");
    size_t bodyStart = headEnd == std::string::npos ? std::string::npos : headEnd + 4;
    if (headEnd == std::string::npos && (headEnd = text.find("\n\n")) != std::string::npos) bodyStart = headEnd + 2;
    const std::string head = text.substr(0, headEnd);
    if (bodyStart != std::string::npos) reply.body = text.substr(bodyStart);

    std::string value = headerValue(head, "CSeq");
    if (!value.empty()) reply.cseq = numberOr(value, 0x7FFFFFFF);
    value = headerValue(head, "Session");
    reply.session = trimmedText(value.substr(0, value.find(';')));
    std::string timeout;
    if (parameterValue(value, "timeout", timeout)) {
        long seconds = numberOr(timeout, 86400);
        if (seconds > 0) reply.timeoutSeconds = int(seconds);
    }
    reply.streamId = headerValue(head, "com.ses.streamID");
    value = headerValue(head, "Transport");
    std::string ports;
    if (parameterValue(value, "server_port", ports)) reply.serverRtpPort = int(firstOfPair(ports));
    if (parameterValue(value, "interleaved", ports)) reply.interleavedRtp = int(firstOfPair(ports));
    return true;
}

std::string refusalText(const RtspReply& reply) {
    const char* kind = "refused";
    if (reply.status == 503)
        kind = "no free tuner";
    else if (reply.status == 404)
        kind = "stream not found";
    else if (reply.status == 454)
        kind = "session not found";
    else if (reply.status >= 400 && reply.status < 500)
        kind = "tuning parameters refused";
    else if (reply.status >= 500)
        kind = "server error";
    return std::string(kind) + " (" + reply.statusLine + ")";
}

bool urlHost(const std::string& url, std::string& host) {
    size_t at = url.find("://");
    if (at == std::string::npos) return false;
    at += 3;
    size_t end = url.find_first_of(":/?", at);
    if (end == std::string::npos) end = url.size();
    if (end == at || url[at] == '[') return false;  // no host, or an IPv6 literal
    host = url.substr(at, end - at);
    return true;
}

std::string xmlElementText(const std::string& xml, const char* name) {
    const size_t nameLength = std::strlen(name);
    size_t at = 0;
    while ((at = xml.find('<', at)) != std::string::npos) {
        size_t tagEnd = xml.find_first_of(" \t\r\n/>", ++at);
        if (tagEnd == std::string::npos) return std::string();
        // "name" or "prefix:name".
        const std::string tag = xml.substr(at, tagEnd - at);
        const size_t colon = tag.find(':');
        const std::string local = colon == std::string::npos ? tag : tag.substr(colon + 1);
        if (local.size() != nameLength || local.compare(0, nameLength, name) != 0) continue;
        const size_t open = xml.find('>', tagEnd);
        if (open == std::string::npos || xml[open - 1] == '/') return std::string();
        const size_t close = xml.find('<', open + 1);
        if (close == std::string::npos) return std::string();
        const std::string raw = xml.substr(open + 1, close - open - 1);
        static const char* const entities[][2] = {
            {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}};
        std::string text;
        for (size_t i = 0; i < raw.size();) {
            bool replaced = false;
            for (const auto& entity : entities)
                if (raw.compare(i, std::strlen(entity[0]), entity[0]) == 0) {
                    text += entity[1];
                    i += std::strlen(entity[0]);
                    replaced = true;
                    break;
                }
            if (!replaced) text += raw[i++];
        }
        return trimmedText(text);
    }
    return std::string();
}

// ---- What the tuner reports ------------------------------------------------

bool parseTunerReport(const std::string& text, SignalReport& report) {
    size_t at = 0;
    while ((at = text.find("tuner=", at)) != std::string::npos) {
        if (at == 0 || text[at - 1] == ';' || text[at - 1] == ' ') break;
        at += 6;
    }
    if (at == std::string::npos) return false;
    at += 6;
    size_t end = text.find_first_of("; \r\n", at);
    const std::string fields = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    long values[4];
    size_t from = 0;
    for (long& value : values) {
        size_t comma = fields.find(',', from);
        if (comma == std::string::npos && &value != &values[3]) return false;
        value = numberOr(fields.substr(from, comma == std::string::npos ? std::string::npos : comma - from), 255);
        if (value < 0) return false;
        from = comma + 1;
    }
    if (values[2] > 1 || values[3] > 15) return false;
    report.level = int(values[1]);
    report.locked = values[2] == 1;
    report.quality = int(values[3]);
    return true;
}

bool findTunerReport(const uint8_t* data, size_t length, std::string& text) {
    size_t at = 0;
    while (at + 4 <= length) {
        if ((data[at] & 0xC0) != 0x80) return false;
        const size_t packetLength = 4 * (size_t((data[at + 2] << 8) | data[at + 3]) + 1);
        if (at + packetLength > length) return false;
        // Type, sender, name, then a 16-bit identifier and the string's length.
        if (data[at + 1] == kRtcpApplication && packetLength >= 16 && std::memcmp(data + at + 8, "SES1", 4) == 0) {
            const size_t stringLength = size_t((data[at + 14] << 8) | data[at + 15]);
            if (16 + stringLength > packetLength) return false;
            text.assign(reinterpret_cast<const char*>(data + at + 16), stringLength);
            return true;
        }
        at += packetLength;
    }
    return false;
}

long rtpPayloadStart(const uint8_t* data, size_t length, uint16_t& sequence) {
    if (length < kRtpHeaderSize + kPacketSize || (data[0] & 0xC0) != 0x80) return -1;
    sequence = uint16_t((data[2] << 8) | data[3]);
    size_t header = kRtpHeaderSize + 4 * size_t(data[0] & 0x0F);
    if (data[0] & 0x10) {
        // The extension: 16 bits of profile data, 16 bits of length in words.
        if (header + 4 > length) return -1;
        header += 4 + 4 * ((size_t(data[header + 2]) << 8) | data[header + 3]);
    }
    if (header + kPacketSize > length) return -1;
    return long(header);
}

uint32_t rtpSequenceGap(uint16_t expected, uint16_t received) {
    const uint16_t ahead = uint16_t(received - expected);
    return ahead < 0x8000 ? ahead : 0;
}
