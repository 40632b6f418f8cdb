// The text side of a SAT>IP session: the RTSP requests we send, the replies
// and discovery answers we read, the stream URL made from the program's
// tuning, and the tuner reports in RTCP and SDP. No sockets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugins/plugin_common.h"

constexpr uint16_t kRtspDefaultPort = 554;

// The server named in the settings: "host" or "host:port". False when the
// port is not 1 to 65535 or the host is empty.
bool parseServerName(const std::string& text, std::string& host, uint16_t& port);

// The tuner input, 1 to 4, that a DiSEqC command selects; 1 without one.
int satipInput(int32_t diseqcKind, int32_t diseqcCommand);

// A value in thousandths as the URL wants it: 11766000 -> "11766",
// 11766500 -> "11766.5". Negative values count as 0.
std::string thousandthsText(int32_t value);

// "?src=1&freq=11766&pol=v&msys=dvbs2&sr=27500&pids=256"; `msys` is "dvbs"
// or "dvbs2".
std::string tuningQuery(const Tuning& tuning, const std::string& msys);

// One request, ended by the empty line. `session` and `extraHeaders` (whole
// "Name: value\r\n" lines) may be empty.
std::string rtspRequest(const char* method, const std::string& url, uint32_t cseq, const std::string& session,
                        const std::string& extraHeaders);

// A head longer than this is not taken for RTSP.
constexpr size_t kLargestRtspHead = 64 * 1024;

// Where an RTSP head ends, past its empty line (lines may end with CR LF or
// LF alone); 0 while it has not come whole.
size_t rtspHeadLength(const char* data, size_t size);

enum class RtspMessage { incomplete, reply, request, garbage };

// What starts `data` (never empty): a reply, a request the server sends us,
// neither, or too little to tell. For a reply or request whose head has come,
// `headLength` and `bodyLength` (its Content-Length) are set; the message is
// whole once `size` reaches their sum.
RtspMessage rtspMessage(const char* data, size_t size, size_t& headLength, size_t& bodyLength);

// Our answer to a request from the server: 200 to OPTIONS, 501 to the rest,
// with its CSeq.
std::string rtspAnswer(const std::string& request);

struct RtspReply {
    int status = 0;          // 200, 404, 503...
    std::string statusLine;  // "RTSP/1.0 503 Service Unavailable"
    int64_t cseq = -1;       // -1: none
    std::string session;     // the id, without parameters
    int timeoutSeconds = 60; // the session's time-out; 60 when not given
    std::string streamId;
    int serverRtpPort = -1;  // Transport server_port, first of the pair
    int interleavedRtp = -1; // Transport interleaved, the RTP channel
    std::string body;
};

// Parses one reply, its head or its head and body; false when the status
// line is not an RTSP one.
bool parseRtspReply(const std::string& text, RtspReply& reply);

// Why a request failed, for the user: the kind of refusal and the status line.
std::string refusalText(const RtspReply& reply);

// The value of header `name` (any case) in a head of "Name: value" lines;
// empty when absent.
std::string headerValue(const std::string& head, const char* name);

// The host of "scheme://host[:port]/..."; false when there is none.
bool urlHost(const std::string& url, std::string& host);

// The text of the first element named `name` (any namespace prefix) in a
// device description, entities resolved; empty when there is none.
std::string xmlElementText(const std::string& xml, const char* name);

// ---- What the tuner reports ------------------------------------------------

struct SignalReport {
    int level = 0;    // 0 to 255
    bool locked = false;
    int quality = 0;  // 0 to 15
};

// Reads "tuner=<id>,<level>,<lock>,<quality>,..." out of a report such as
// "ver=1.0;src=1;tuner=1,200,1,15,11766.00,v,dvbs2,...;pids=..." (the RTCP
// report or the SDP's fmtp line). False when absent or out of range.
bool parseTunerReport(const std::string& text, SignalReport& report);

// The report string of the "SES1" application packet in a compound RTCP
// datagram; false when there is none or it is cut short.
bool findTunerReport(const uint8_t* data, size_t length, std::string& text);

// Where the transport-stream packets of an RTP datagram lie, between `begin`
// and `end` (before any padding); false when it is not RTP version 2 or holds
// no whole packet. `sequence` gets the RTP sequence number.
bool rtpPayload(const uint8_t* data, size_t length, uint16_t& sequence, size_t& begin, size_t& end);

// How many datagrams went missing between the one expected next and the one
// that came; 0 for the expected one and for late or repeated ones.
uint32_t rtpSequenceGap(uint16_t expected, uint16_t received);
