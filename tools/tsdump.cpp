// tsdump: feeds the packets of one PID of a transport-stream capture through
// the receiver's packet intake and prints every UDP datagram it decodes, then
// the reception counters. The first thing to run when "nothing arrives".
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extraction/object_datagram.h"
#include "plugins/satip_discovery.h"
#include "plugins/satip_session.h"
#include "plugins/value_text.h"
#include "reception/section_assembler.h"
#include "settings/log_file.h"
#include "tools/stream_builder.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <linux/dvb/frontend.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: tsdump [--pid N] [--quiet] [CAPTURE]\n"
                 "       tsdump --satip-scan [ADDRESS]\n"
                 "       tsdump --dvb-list\n"
                 "  N is decimal, or hexadecimal after 0x (010 is ten), from 0 to 8191.\n"
                 "  Reads a transport-stream capture (standard input when CAPTURE is absent or -),\n"
                 "  keeps the packets of PID N (default: the first PID carrying MPE sections,\n"
                 "  table_id 0x3E) and prints each UDP datagram the receiver decodes from them:\n"
                 "  source, destination, destination MAC and payload length. --quiet prints only\n"
                 "  the counters.\n"
                 "  --satip-scan lists the SAT>IP servers that answer a search on the local\n"
                 "  network: address, name and tuners. ADDRESS is the IPv4 address of the local\n"
                 "  interface to search from (default: the system's choice).\n"
                 "  --dvb-list lists the DVB frontends under /dev/dvb (Linux): name, delivery\n"
                 "  systems and frequency range.\n");
}

// The SAT>IP servers on the network, one line each; 1 when none answers.
// From the interface `interfaceAddress` names, when it is not nullptr.
int scanSatipServers(const char* interfaceAddress) {
    constexpr int kSearchMs = 3000, kDescriptionMs = 2000;
    uint32_t address = 0;
    if (interfaceAddress && !parseIpv4(interfaceAddress, address)) {
        std::fprintf(stderr, "tsdump: --satip-scan wants the IPv4 address of a local interface, not '%s'\n",
                     interfaceAddress);
        return 2;
    }
    std::string error;
    std::vector<FoundServer> servers = discoverServers(interfaceAddress != nullptr, address, kSearchMs, -1, error);
    if (!error.empty()) {
        std::fprintf(stderr, "tsdump: SAT>IP search: %s\n", error.c_str());
        return 1;
    }
    int listed = 0;
    for (FoundServer& server : servers) {
        // A description that cannot be fetched does not make it another device.
        if (describeServer(server, kDescriptionMs) && !server.satip) {
            std::fprintf(stderr, "tsdump: %s answered as a SAT>IP server, but %s describes another device\n",
                         server.host.c_str(), server.location.c_str());
            continue;
        }
        const char* name = server.name.empty() ? "?" : server.name.c_str();
        const char* tuners = server.tuners.empty() ? "?" : server.tuners.c_str();
        std::printf("%s  \"%s\"  tuners %s  (%s)\n", server.host.c_str(), name, tuners, server.location.c_str());
        ++listed;
    }
    if (listed == 0) {
        std::fprintf(stderr, "tsdump: no SAT>IP server answered within %d s\n", kSearchMs / 1000);
        return 1;
    }
    return 0;
}

bool readAll(const char* path, std::vector<uint8_t>& data) {
    FILE* input = (path && std::strcmp(path, "-") != 0) ? std::fopen(path, "rb") : stdin;
    if (!input) return false;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, input)) > 0) data.insert(data.end(), chunk, chunk + n);
    bool ok = !std::ferror(input);
    if (input != stdin) std::fclose(input);
    return ok;
}

// The offset of the first packet: the first 0x47 followed by two more at
// packet distance (or by the end of the data).
size_t findFirstPacket(const std::vector<uint8_t>& data) {
    for (size_t i = 0; i < data.size() && i < kTsPacketSize; ++i) {
        bool synced = true;
        for (size_t k = 0; k < 3 && i + k * kTsPacketSize < data.size(); ++k)
            if (data[i + k * kTsPacketSize] != 0x47) synced = false;
        if (synced) return i;
    }
    return data.size();
}

uint16_t pidOf(const uint8_t* packet) { return uint16_t(((packet[1] & 0x1F) << 8) | packet[2]); }

// The first PID on which a section with table_id 0x3E starts; -1 if none.
int findMpePid(const std::vector<uint8_t>& data, size_t start) {
    for (size_t at = start; at + kTsPacketSize <= data.size(); at += kTsPacketSize) {
        const uint8_t* p = data.data() + at;
        if (p[0] != 0x47 || (p[1] & 0x80) || !(p[1] & 0x40)) continue;
        size_t payload = 4;
        uint8_t control = (p[3] >> 4) & 0x3;
        if (control == 0 || control == 2) continue;  // no payload
        if (control == 3) payload += 1 + p[4];
        if (payload >= kTsPacketSize) continue;
        size_t table = payload + 1 + p[payload];
        if (table < kTsPacketSize && p[table] == 0x3E) return pidOf(p);
    }
    return -1;
}

struct Dump {
    bool quiet = false;
    uint64_t datagrams = 0;
    // By what the receiver's dispatcher would make of each, in DatagramVerdict order.
    uint64_t verdicts[5] = {};
};

void printDatagram(void* context, const DatagramAddress& address, const uint8_t* payload, uint16_t length) {
    Dump& dump = *static_cast<Dump*>(context);
    ++dump.datagrams;
    ++dump.verdicts[int(classifyDatagram(payload, length))];
    if (dump.quiet) return;
    const uint8_t* m = address.destinationMac;
    std::printf("%s:%u -> %s:%u mac %02x:%02x:%02x:%02x:%02x:%02x length %u\n",
                formatAddress(address.sourceAddress).c_str(), address.sourcePort,
                formatAddress(address.destinationAddress).c_str(), address.destinationPort, m[0], m[1], m[2], m[3],
                m[4], m[5], length);
}

// A PID as the user writes it: decimal digits, or hexadecimal ones after
// "0x". A leading zero does not make it octal: "010" is ten.
bool parsePid(const char* text, int& pid) {
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0') return false;
    long value = 0;
    for (; *text; ++text) {
        int digit;
        if (*text >= '0' && *text <= '9')
            digit = *text - '0';
        else if (base == 16 && *text >= 'a' && *text <= 'f')
            digit = *text - 'a' + 10;
        else if (base == 16 && *text >= 'A' && *text <= 'F')
            digit = *text - 'A' + 10;
        else
            return false;
        value = value * base + digit;
        if (value > 0x1FFF) return false;
    }
    pid = int(value);
    return true;
}

}  // namespace

// The DVB frontends the kernel offers, one line each; 1 when there is none.
int listDvbFrontends() {
#if defined(_WIN32)
    std::fprintf(stderr, "tsdump: --dvb-list: DVB cards are read on Linux only\n");
    return 1;
#else
    static const char* const kSystems[] = {"undefined", "dvbc", "dvbc-b", "dvbt",  "dss",  "dvbs",
                                           "dvbs2",     "dvbh", "isdbt",  "isdbs", "isdbc", "atsc",
                                           "atscmh",    "dtmb", "cmmb",   "dab",   "dvbt2", "turbo", "dvbc-c"};
    int listed = 0;
    // Numbers may have gaps (a card removed), so each is tried.
    for (int adapter = 0; adapter < 16; ++adapter) {
        for (int frontend = 0; frontend < 4; ++frontend) {
            const std::string name = "adapter" + std::to_string(adapter) + "/frontend" + std::to_string(frontend);
            // Read-only: a receiver using the card keeps it.
            int fd = ::open(("/dev/dvb/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            ++listed;
            dvb_frontend_info info = {};
            if (::ioctl(fd, FE_GET_INFO, &info) != 0) {
                std::printf("%s  cannot be asked what it is: %s\n", name.c_str(), std::strerror(errno));
                ::close(fd);
                continue;
            }
            std::string systems;
            dtv_property p = {};
            p.cmd = DTV_ENUM_DELSYS;
            dtv_properties get = {1, &p};
            if (::ioctl(fd, FE_GET_PROPERTY, &get) == 0)
                for (uint32_t i = 0; i < p.u.buffer.len && i < 32; ++i) {
                    const uint8_t system = p.u.buffer.data[i];
                    systems += std::string(systems.empty() ? "" : " ") +
                               (system < sizeof kSystems / sizeof kSystems[0] ? kSystems[system] : "?");
                }
            ::close(fd);
            // Satellite frontends count in kHz, the others in Hz.
            const double unit = info.type == FE_QPSK ? 1e3 : 1e6;
            std::printf("%s  \"%s\"  %s  %.0f-%.0f MHz\n", name.c_str(), info.name,
                        systems.empty() ? "?" : systems.c_str(), info.frequency_min / unit, info.frequency_max / unit);
        }
    }
    if (listed == 0) std::fprintf(stderr, "tsdump: no DVB frontend under /dev/dvb\n");
    return listed == 0 ? 1 : 0;
#endif
}

int main(int argc, char** argv) {
    int pid = -1;
    const char* path = nullptr;
    Dump dump;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pid") == 0 && i + 1 < argc) {
            if (!parsePid(argv[++i], pid)) {
                std::fprintf(stderr,
                             "tsdump: --pid wants a number from 0 to 8191, decimal or hexadecimal after 0x, "
                             "not '%s'\n",
                             argv[i]);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--satip-scan") == 0) {
            return scanSatipServers(i + 1 < argc ? argv[i + 1] : nullptr);
        } else if (std::strcmp(argv[i], "--dvb-list") == 0) {
            return listDvbFrontends();
        } else if (std::strcmp(argv[i], "--quiet") == 0) {
            dump.quiet = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage();
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            usage();
            return 2;
        } else {
            path = argv[i];
        }
    }

    std::vector<uint8_t> data;
    if (!readAll(path, data)) {
        std::fprintf(stderr, "tsdump: cannot read %s\n", path ? path : "standard input");
        return 1;
    }
    size_t start = findFirstPacket(data);
    if (pid < 0) {
        pid = findMpePid(data, start);
        if (pid < 0) {
            std::fprintf(stderr, "tsdump: no PID carries MPE sections (table_id 0x3E); name one with --pid\n");
            return 1;
        }
    }
    std::fprintf(stderr, "tsdump: following PID %d (0x%04X)\n", pid, pid);

    // Transport and IP errors go to standard error, datagrams to standard output.
    static LogFile log;
    useStream(log, stderr, false);
    static SectionAssembler assembler;
    assembler.log = &log;
    assembler.sink = printDatagram;
    assembler.sinkContext = &dump;
    // Like a receiver's PID filter, keep the packets whose header names the PID;
    // the intake itself refuses those with a bad sync byte or the error flag.
    for (size_t at = start; at + kTsPacketSize <= data.size(); at += kTsPacketSize) {
        const uint8_t* packet = data.data() + at;
        if (pidOf(packet) == pid) takePacket(assembler, packet, kTsPacketSize);
    }

    uint64_t packets = assembler.packetCount.load();
    std::printf("packets: %" PRIu64 "\n", packets);
    std::printf("bytes: %" PRIu64 "\n", packets * kTsPacketSize);
    std::printf("discontinuities: %d\n", int(assembler.discontinuityCount.load()));
    std::printf("datagrams: %" PRIu64 "\n", dump.datagrams);
    const uint64_t* v = dump.verdicts;
    std::printf("object datagrams: %" PRIu64 " valid, %" PRIu64 " too short, %" PRIu64 " of another type, %" PRIu64
                " with a bad check, %" PRIu64 " too long\n",
                v[int(DatagramVerdict::ok)], v[int(DatagramVerdict::tooShort)], v[int(DatagramVerdict::wrongType)],
                v[int(DatagramVerdict::badCheck)], v[int(DatagramVerdict::tooLong)]);
    return 0;
}
