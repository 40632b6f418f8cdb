#include "tools/broadcast_options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: broadcast [OPTIONS] FILE...\n"
    "Sends each FILE as one object of the data broadcast: an HTTP response (header, then\n"
    "the file) deflated into ObjectDatagrams, in UDP/IPv4 in MPE sections in transport-\n"
    "stream packets of one PID. Options take their value as the next argument or after '='.\n"
    "\n"
    "Output (at least one of -o, --pcap, --udp):\n"
    "  -o FILE                    write the transport stream to FILE\n"
    "  --pcap FILE                write the same packets as a pcap file of link type 243\n"
    "                             (MPEG-2 TS), one packet per record\n"
    "  --udp HOST:PORT            send the stream as UDP datagrams of 7 packets; HOST is\n"
    "                             A.B.C.D or localhost\n"
    "  --rate-kbps N              bitrate for --udp pacing and pcap timestamps (default 4000)\n"
    "  --list                     print each datagram sent, as tsdump prints it\n"
    "\n"
    "Addressing:\n"
    "  --pid N                    PID of the packets, 0..8191 (default 256)\n"
    "  --source A.B.C.D:PORT      source address and the first object's source port\n"
    "                             (default 192.168.0.7:4000)\n"
    "  --port-step N              object k sends from PORT + k * N (default 1; 0 sends every\n"
    "                             object from one port, so a receiver cannot tell them apart)\n"
    "  --destination A.B.C.D:PORT destination of every object (default 239.1.2.3:5001)\n"
    "  --mac XX:XX:XX:XX:XX:XX    destination MAC (default 01:00:5e plus the low 23 bits of a\n"
    "                             multicast destination, 02:00:A:B:C:D for others)\n"
    "\n"
    "Carousel and damage. F is a fraction 0..1: exactly round(F x n) of the n datagrams\n"
    "of a pass that may be picked are. Everything random follows --seed.\n"
    "  --seed N                   (default 1) the same seed gives the same bytes\n"
    "  --repeat N                 send the whole carousel N times (default 1)\n"
    "  --interleave               round-robin the objects' datagrams instead of one object\n"
    "                             after another\n"
    "  --pack                     start each section right behind the previous one's tail\n"
    "  --reorder F                move datagrams to random places within their object\n"
    "  --reorder-first            datagram 1 may move too (else it stays its object's first)\n"
    "  --duplicate F              send datagrams twice, the copy somewhere behind\n"
    "  --drop F                   leave datagrams out\n"
    "  --drop-first               datagram 1 may be dropped too\n"
    "  --extension-flag [F]       set flag 0x40 and four random extension bytes on every\n"
    "                             datagram, or on a fraction F of them (F is taken when the\n"
    "                             next argument is a number; write a file so named as ./NAME)\n"
    "  --corrupt-checks F         flip one bit of the DatagramCheck\n"
    "\n"
    "Response header (the same for every FILE):\n"
    "  --name NAME                announce NAME instead of the file's own name; its\n"
    "                             extension picks the Content-Type\n"
    "  --content-type TEXT        Content-Type text instead of the extension's type\n"
    "  --no-content-type          leave the Content-Type line out\n"
    "  --no-content-length        leave the Content-Length line out\n"
    "  --no-disposition           leave the Content-Disposition line out\n"
    "  --http-version TEXT        status line version (default HTTP/1.1)\n"
    "  --status TEXT              status after the version (default \"200 OK\"); a bare\n"
    "                             well-known code such as 404 gets its reason phrase\n"
    "  --allow-empty              send empty files too (the receiver drops them)\n"
    "\n"
    "  --help                     this text\n";

uint64_t parseUnsigned(const std::string& text, const std::string& what, uint64_t low, uint64_t high) {
    errno = 0;
    char* end = nullptr;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    bool digits = !text.empty() && text[0] != '-' && text[0] != '+' && *end == '\0';
    if (!digits || errno == ERANGE || value < low || value > high)
        throw UsageError(what + " wants a number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not '" + text + "'");
    return value;
}

bool isNumber(const std::string& text) {
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0';
}

double parseFraction(const std::string& text, const std::string& what) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0.0 && value <= 1.0))
        throw UsageError(what + " wants a fraction from 0 to 1, not '" + text + "'");
    return value;
}

std::string withReason(const std::string& status) {
    static const struct {
        const char* code;
        const char* reason;
    } kReasons[] = {{"200", "OK"},
                    {"206", "Partial Content"},
                    {"301", "Moved Permanently"},
                    {"302", "Found"},
                    {"304", "Not Modified"},
                    {"400", "Bad Request"},
                    {"403", "Forbidden"},
                    {"404", "Not Found"},
                    {"500", "Internal Server Error"},
                    {"503", "Service Unavailable"}};
    for (const auto& known : kReasons)
        if (status == known.code) return status + " " + known.reason;
    return status;
}

enum class Arity { none, value, optionalValue };
using Apply = void (*)(CommandLine&, const std::string& name, const std::string& value);
struct Option {
    const char* name;
    Arity arity;
    Apply apply;
};

using A = Arity;
using C = CommandLine;
using S = std::string;

const Option kOptions[] = {
    {"-o", A::value, [](C& c, const S&, const S& v) { c.output = v; }},
    {"--pcap", A::value, [](C& c, const S&, const S& v) { c.pcap = v; }},
    {"--udp", A::value,
     [](C& c, const S& n, const S& v) {
         HostPort to = parseHostPort(v, n);
         c.udp = true;
         c.udpAddress = to.address;
         c.udpPort = to.port;
     }},
    {"--rate-kbps", A::value,
     [](C& c, const S& n, const S& v) { c.rateKbps = uint32_t(parseUnsigned(v, n, 1, 10000000)); }},
    {"--list", A::none, [](C& c, const S&, const S&) { c.list = true; }},
    {"--pid", A::value, [](C& c, const S& n, const S& v) { c.broadcast.pid = uint16_t(parseUnsigned(v, n, 0, 8191)); }},
    {"--source", A::value,
     [](C& c, const S& n, const S& v) {
         HostPort from = parseHostPort(v, n);
         c.broadcast.endpoints.sourceAddress = from.address;
         c.broadcast.endpoints.sourcePort = from.port;
     }},
    {"--destination", A::value,
     [](C& c, const S& n, const S& v) {
         HostPort to = parseHostPort(v, n);
         c.broadcast.endpoints.destinationAddress = to.address;
         c.broadcast.endpoints.destinationPort = to.port;
     }},
    {"--port-step", A::value,
     [](C& c, const S& n, const S& v) { c.broadcast.portStep = uint16_t(parseUnsigned(v, n, 0, 65535)); }},
    {"--mac", A::value, [](C& c, const S& n, const S& v) { c.broadcast.mac = parseMac(v, n); }},
    {"--seed", A::value, [](C& c, const S& n, const S& v) { c.broadcast.seed = parseUnsigned(v, n, 0, UINT64_MAX); }},
    {"--repeat", A::value,
     [](C& c, const S& n, const S& v) { c.broadcast.repeat = uint32_t(parseUnsigned(v, n, 1, 1000000)); }},
    {"--interleave", A::none, [](C& c, const S&, const S&) { c.broadcast.interleave = true; }},
    {"--pack", A::none, [](C& c, const S&, const S&) { c.broadcast.pack = true; }},
    {"--reorder", A::value, [](C& c, const S& n, const S& v) { c.broadcast.reorder = parseFraction(v, n); }},
    {"--reorder-first", A::none, [](C& c, const S&, const S&) { c.broadcast.reorderFirst = true; }},
    {"--duplicate", A::value, [](C& c, const S& n, const S& v) { c.broadcast.duplicate = parseFraction(v, n); }},
    {"--drop", A::value, [](C& c, const S& n, const S& v) { c.broadcast.drop = parseFraction(v, n); }},
    {"--drop-first", A::none, [](C& c, const S&, const S&) { c.broadcast.dropFirst = true; }},
    {"--extension-flag", A::optionalValue,
     [](C& c, const S& n, const S& v) { c.broadcast.extension = v.empty() ? 1.0 : parseFraction(v, n); }},
    {"--corrupt-checks", A::value,
     [](C& c, const S& n, const S& v) { c.broadcast.corruptChecks = parseFraction(v, n); }},
    {"--allow-empty", A::none, [](C& c, const S&, const S&) { c.broadcast.allowEmpty = true; }},
    {"--name", A::value, [](C& c, const S&, const S& v) { c.name = v; }},
    {"--content-type", A::value, [](C& c, const S&, const S& v) { c.header.contentTypeText = v; }},
    {"--no-content-type", A::none, [](C& c, const S&, const S&) { c.header.contentType = false; }},
    {"--no-content-length", A::none, [](C& c, const S&, const S&) { c.header.contentLength = false; }},
    {"--no-disposition", A::none, [](C& c, const S&, const S&) { c.header.disposition = false; }},
    {"--http-version", A::value, [](C& c, const S&, const S& v) { c.header.version = v; }},
    {"--status", A::value, [](C& c, const S&, const S& v) { c.header.status = withReason(v); }},
    {"--help", A::none, [](C& c, const S&, const S&) { c.help = true; }},
    {"-h", A::none, [](C& c, const S&, const S&) { c.help = true; }},
};

const Option* findOption(const std::string& name) {
    for (const Option& option : kOptions)
        if (name == option.name) return &option;
    return nullptr;
}

// Applies the option at args[i]; returns the index of the last argument used.
size_t applyOption(CommandLine& line, const std::vector<std::string>& args, size_t i) {
    const std::string& arg = args[i];
    size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
    std::string name = arg.substr(0, equals);
    const Option* option = findOption(name);
    if (!option) throw UsageError("unknown option " + name);
    std::string value;
    if (equals != std::string::npos) {
        if (option->arity == Arity::none) throw UsageError(name + " takes no value");
        value = arg.substr(equals + 1);
    } else if (option->arity == Arity::value) {
        if (i + 1 >= args.size()) throw UsageError(name + " wants a value");
        value = args[++i];
    } else if (option->arity == Arity::optionalValue && i + 1 < args.size() && isNumber(args[i + 1])) {
        value = args[++i];
    }
    option->apply(line, name, value);
    return i;
}

}  // namespace

const char* usageText() { return kUsage; }

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    bool onlyFiles = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyFiles || arg.size() < 2 || arg[0] != '-') {
            line.files.push_back(arg);
        } else if (arg == "--") {
            onlyFiles = true;
        } else {
            i = applyOption(line, args, i);
        }
    }
    if (line.help) return line;
    if (line.files.empty()) throw UsageError("no files to send");
    if (line.output.empty() && line.pcap.empty() && !line.udp)
        throw UsageError("nothing to write: give -o FILE, --pcap FILE or --udp HOST:PORT");
    return line;
}

uint32_t parseAddress(const std::string& text, const std::string& what) {
    uint32_t address = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = at;
        while (end < text.size() && end - at < 4 && text[end] >= '0' && text[end] <= '9') ++end;
        bool separated = part == 3 ? end == text.size() : end < text.size() && text[end] == '.';
        if (end == at || end - at > 3 || !separated || std::stoul(text.substr(at, end - at)) > 255)
            throw UsageError(what + " wants an IPv4 address A.B.C.D, not '" + text + "'");
        address = (address << 8) | uint32_t(std::stoul(text.substr(at, end - at)));
        at = end + 1;
    }
    return address;
}

HostPort parseHostPort(const std::string& text, const std::string& what) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) throw UsageError(what + " wants A.B.C.D:PORT, not '" + text + "'");
    std::string host = text.substr(0, colon);
    HostPort result;
    result.address = host == "localhost" ? 0x7F000001 : parseAddress(host, what);
    result.port = uint16_t(parseUnsigned(text.substr(colon + 1), what + " port", 1, 65535));
    return result;
}

std::array<uint8_t, 6> parseMac(const std::string& text, const std::string& what) {
    std::array<uint8_t, 6> mac{};
    bool good = text.size() == 17;
    for (size_t i = 0; good && i < 6; ++i) {
        const char* pair = text.c_str() + i * 3;
        good = std::isxdigit(static_cast<unsigned char>(pair[0])) &&
               std::isxdigit(static_cast<unsigned char>(pair[1])) && (i == 5 || pair[2] == ':');
        if (good) mac[i] = uint8_t(std::strtoul(std::string(pair, 2).c_str(), nullptr, 16));
    }
    if (!good) throw UsageError(what + " wants a MAC address xx:xx:xx:xx:xx:xx, not '" + text + "'");
    return mac;
}
