// What a SAT>IP server, or anything answering in its place, sends: the same
// bytes as an RTSP reply stream, an RTCP report, an RTP datagram, a discovery
// answer and a device description, each in an exact-size heap buffer so that
// a read past the end is caught.
#include <cstdint>
#include <cstring>
#include <string>

#include "plugins/satip_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) size = 4096;
    uint8_t* bytes = new uint8_t[size ? size : 1];
    std::memcpy(bytes, data, size);
    const char* text = reinterpret_cast<const char*>(bytes);

    // The reply stream is cut into replies as the client cuts it.
    size_t at = 0;
    long length;
    while (at < size && (length = rtspReplyLength(text + at, size - at)) > 0) {
        if (size_t(length) > size - at) __builtin_trap();
        RtspReply reply;
        if (parseRtspReply(std::string(text + at, size_t(length)), reply)) {
            refusalText(reply);
            if (reply.timeoutSeconds <= 0) __builtin_trap();  // keep-alive would spin
        }
        at += size_t(length);
    }

    std::string report;
    SignalReport signal;
    if (findTunerReport(bytes, size, report)) {
        if (report.size() > size) __builtin_trap();
        parseTunerReport(report, signal);
    }
    uint16_t sequence;
    const long payload = rtpPayloadStart(bytes, size, sequence);
    if (payload >= 0 && size_t(payload) + 188 > size) __builtin_trap();

    const std::string whole(text, size);
    std::string host;
    urlHost(headerValue(whole, "LOCATION"), host);
    xmlElementText(whole, "friendlyName");
    xmlElementText(whole, "X_SATIPCAP");
    delete[] bytes;
    return 0;
}
