// Finding SAT>IP servers on the local network and reading what they say of
// themselves; usable without any socket header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FoundServer {
    std::string host;      // of the description's address
    std::string location;  // the description's address, as announced
    // What the description says, once read.
    bool described = false;  // it was fetched
    bool satip = false;      // a device in it is a SAT>IP server
    std::string name;        // that device's friendlyName; empty when unknown
    std::string tuners;      // its X_SATIPCAP, "DVBS2-2"; empty when unknown
};

// Starts the system's sockets once for the process (Winsock); false when
// they cannot be used.
bool startNetwork();

// Whether `reply`, a datagram answering the search, comes from a SAT>IP
// server: "HTTP/1.1 200" whose ST is the server's device type, or whose USN
// ends in "::" and that type, with a LOCATION whose host we can read. Any
// other UPnP device may answer every search. Fills in `server`'s host and
// location when it does.
bool isSatipAnswer(const std::string& reply, FoundServer& server);

// Searches by SSDP for SAT>IP servers for `ms` milliseconds, or for at most
// `settleMs` more once the first has answered (negative: the whole time);
// from `interfaceAddress` (host byte order) when `hasInterface`. One entry
// per description address, in the order they answered. `error` says why
// when the search could not even be sent, and is empty when none answered.
std::vector<FoundServer> discoverServers(bool hasInterface, uint32_t interfaceAddress, int ms, int settleMs,
                                         std::string& error);

// Reads a device description into `server`: whether a device in it is a
// SAT>IP server (of any version), and that device's name and tuners.
void readDescription(const std::string& xml, FoundServer& server);

// Fetches `server`'s description within `ms` and reads it; false when it
// could not be fetched.
bool describeServer(FoundServer& server, int ms);

// Which of `found` (not empty) to use: the first whose description names a
// SAT>IP server, else the first. Descriptions are fetched in turn, each
// within `descriptionMs`, all within `totalMs`, until that one is found.
size_t chooseServer(std::vector<FoundServer>& found, int descriptionMs, int totalMs);

// The body of an "http://host[:port]/path" document; false when it cannot
// be fetched whole within `ms` milliseconds or the answer is not 200.
bool fetchHttp(const std::string& url, int ms, std::string& body);
