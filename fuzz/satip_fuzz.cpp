// What a SAT>IP server, or anything answering in its place, sends: the same
// bytes as an RTSP connection's replies and requests, an RTCP report, an RTP
// datagram, a discovery answer and a device description, each in an
// exact-size heap buffer so that a read past the end is caught.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "plugins/satip_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) size = 4096;
    uint8_t* bytes = new uint8_t[size ? size : 1];
    std::memcpy(bytes, data, size);
    const char* text = reinterpret_cast<const char*>(bytes);

    // The connection's bytes are cut into replies and requests as the client
    // cuts them.
    size_t at = 0;
    size_t head = 0, body = 0;
    RtspMessage kind;
    while (at < size && (kind = rtspMessage(text + at, size - at, head, body)) != RtspMessage::garbage &&
           kind != RtspMessage::incomplete) {
        if (head == 0 || head > size - at) __builtin_trap();
        const std::string message(text + at, std::min(size - at, head + body));
        RtspReply reply;
        if (kind == RtspMessage::request) {
            if (rtspAnswer(message).compare(0, 9, "RTSP/1.0 ") != 0) __builtin_trap();
        } else if (parseRtspReply(message, reply)) {
            refusalText(reply);
            if (reply.timeoutSeconds <= 0) __builtin_trap();  // keep-alive would spin
        }
        if (body > size - at - head) break;
        at += head + body;
    }

    std::string report;
    SignalReport signal;
    if (findTunerReport(bytes, size, report)) {
        if (report.size() > size) __builtin_trap();
        parseTunerReport(report, signal);
    }
    uint16_t sequence;
    size_t begin = 0, end = 0;
    if (rtpPayload(bytes, size, sequence, begin, end) && (begin + 188 > end || end > size)) __builtin_trap();

    const std::string whole(text, size);
    std::string host;
    urlHost(headerValue(whole, "LOCATION"), host);
    xmlElementText(whole, "friendlyName");
    xmlElementText(whole, "X_SATIPCAP");
    delete[] bytes;
    return 0;
}
