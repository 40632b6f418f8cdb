// broadcast: ordinary files in, the transport stream a receiver of the data
// broadcast must understand out. Makes the streams for tests, benchmarks and
// the demo; see usageText() for the options.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/broadcast_lib.h"
#include "tools/broadcast_options.h"
#include "tools/broadcast_udp.h"

namespace {

// One line per datagram, as tsdump prints what it decodes, so the two compare.
void listDatagrams(const std::vector<SentDatagram>& sent) {
    for (const SentDatagram& d : sent) {
        const std::array<uint8_t, 6>& m = d.mac;
        std::printf("%s:%u -> %s:%u mac %02x:%02x:%02x:%02x:%02x:%02x length %u\n",
                    formatAddress(d.endpoints.sourceAddress).c_str(), unsigned(d.endpoints.sourcePort),
                    formatAddress(d.endpoints.destinationAddress).c_str(), unsigned(d.endpoints.destinationPort), m[0],
                    m[1], m[2], m[3], m[4], m[5], unsigned(d.datagram.size()));
    }
}

int run(const CommandLine& line) {
    std::vector<ObjectToSend> objects;
    for (const std::string& file : line.files) {
        ObjectToSend object = loadObject(std::filesystem::path(file));
        if (line.name) object.name = *line.name;
        object.header = line.header;
        objects.push_back(std::move(object));
    }
    std::vector<SentDatagram> sent;
    Bytes ts = makeBroadcast(objects, line.broadcast, &sent);
    if (line.list) listDatagrams(sent);
    if (!line.output.empty()) writeBytes(std::filesystem::path(line.output), ts);
    if (!line.pcap.empty()) writeBytes(std::filesystem::path(line.pcap), makePcap(ts, line.rateKbps));
    if (line.udp) sendStream(ts, line.udpAddress, line.udpPort, line.rateKbps);
    std::fprintf(stderr, "broadcast: %" PRIu64 " objects, %" PRIu64 " datagrams, %" PRIu64 " packets on PID %u\n",
                 uint64_t(objects.size()), uint64_t(sent.size()), uint64_t(ts.size() / 188),
                 unsigned(line.broadcast.pid));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        CommandLine line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (line.help) {
            std::fputs(usageText(), stdout);
            return 0;
        }
        return run(line);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "broadcast: %s (see --help)\n", error.what());
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "broadcast: %s\n", error.what());
        return 1;
    }
}
