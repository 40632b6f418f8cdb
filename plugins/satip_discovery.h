// Finding SAT>IP servers on the local network and reading what they say of
// themselves; usable without any socket header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FoundServer {
    std::string host;      // of the description's address
    std::string location;  // the description's address, as announced
};

// Starts the system's sockets once for the process (Winsock); false when
// they cannot be used.
bool startNetwork();

// Searches by SSDP for `ms` milliseconds, or until the first answer when
// `firstOnly`; from `interfaceAddress` (host byte order) when `hasInterface`.
// One entry per server, in the order they answered. `error` says why when
// the search could not even be sent, and is empty when nobody answered.
std::vector<FoundServer> discoverServers(bool hasInterface, uint32_t interfaceAddress, int ms, bool firstOnly,
                                         std::string& error);

// The body of an "http://host[:port]/path" document; false when it cannot
// be fetched whole within `ms` milliseconds or the answer is not 200.
bool fetchHttp(const std::string& url, int ms, std::string& body);
