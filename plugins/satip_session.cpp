#include "plugins/satip_session.h"

#include <cstring>

namespace {

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

size_t rtspHeadLength(const char* data, size_t size) {
    size_t at = 0;
    while (at < size) {
        const void* found = std::memchr(data + at, '\n', size - at);
        if (!found) return 0;
        const size_t end = size_t(static_cast<const char*>(found) - data);
        // Some servers end their lines with LF alone: the head ends at the
        // first empty line, however each line ends.
        if (at > 0 && (end == at || (end == at + 1 && data[at] == '\r'))) return end + 1;
        at = end + 1;
    }
    return 0;
}

RtspMessage rtspMessage(const char* data, size_t size, size_t& headLength, size_t& bodyLength) {
    headLength = bodyLength = 0;
    const size_t probe = size < kLargestRtspHead ? size : kLargestRtspHead;
    const void* lineEnd = std::memchr(data, '\n', probe);
    const size_t lineLength = lineEnd ? size_t(static_cast<const char*>(lineEnd) - data) : probe;
    const bool reply = std::memcmp(data, "RTSP/", lineLength < 5 ? lineLength : 5) == 0;
    // "METHOD url RTSP/1.0": a server may ask something of us.
    size_t method = 0;
    while (method < lineLength && ((data[method] >= 'A' && data[method] <= 'Z') || data[method] == '_' ||
                                   data[method] == '-'))
        ++method;
    if (!reply && (method == 0 || (method < lineLength && data[method] != ' '))) return RtspMessage::garbage;
    if (!lineEnd) return size >= kLargestRtspHead ? RtspMessage::garbage : RtspMessage::incomplete;
    if (!reply) {
        std::string line(data, lineLength);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 10 || line.compare(line.size() - 9, 9, " RTSP/1.0") != 0) return RtspMessage::garbage;
    }
    const size_t head = rtspHeadLength(data, probe);
    if (head == 0) return size >= kLargestRtspHead ? RtspMessage::garbage : RtspMessage::incomplete;
    const std::string length = headerValue(std::string(data, head), "Content-Length");
    const long body = length.empty() ? 0 : numberOr(length, 0x7FFFFFFF);
    if (body < 0) return RtspMessage::garbage;
    headLength = head;
    bodyLength = size_t(body);
    return reply ? RtspMessage::reply : RtspMessage::request;
}

std::string rtspAnswer(const std::string& request) {
    const bool options = request.compare(0, 8, "OPTIONS ") == 0;
    std::string answer = options ? "RTSP/1.0 200 OK\r\n" : "RTSP/1.0 501 Not Implemented\r\n";
    const std::string cseq = headerValue(request.substr(0, rtspHeadLength(request.data(), request.size())), "CSeq");
    if (!cseq.empty()) answer += "CSeq: " + cseq + "\r\n";
    if (options) answer += "Public: OPTIONS\r\n";
    return answer + "\r\n";
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

    const size_t headLength = rtspHeadLength(text.data(), text.size());
    const std::string head = headLength ? text.substr(0, headLength) : text;
    if (headLength) reply.body = text.substr(headLength);

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

bool rtpPayload(const uint8_t* data, size_t length, uint16_t& sequence, size_t& begin, size_t& end) {
    if (length < kRtpHeaderSize + kPacketSize || (data[0] & 0xC0) != 0x80) return false;
    sequence = uint16_t((data[2] << 8) | data[3]);
    size_t header = kRtpHeaderSize + 4 * size_t(data[0] & 0x0F);
    if (data[0] & 0x10) {
        // The extension: 16 bits of profile data, 16 bits of length in words.
        if (header + 4 > length) return false;
        header += 4 + 4 * ((size_t(data[header + 2]) << 8) | data[header + 3]);
    }
    // Padding: its last byte counts the bytes, itself included.
    const size_t padding = (data[0] & 0x20) ? data[length - 1] : 0;
    if ((data[0] & 0x20) && padding == 0) return false;
    if (header + padding + kPacketSize > length) return false;
    begin = header;
    end = length - padding;
    return true;
}

uint32_t rtpSequenceGap(uint16_t expected, uint16_t received) {
    const uint16_t ahead = uint16_t(received - expected);
    return ahead < 0x8000 ? ahead : 0;
}
