// The broadcaster's command line, parsed apart from main so that tests can
// check what each option does and how bad input is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/broadcast_lib.h"

// A command line the broadcaster cannot act on; what() is the one-line reason.
struct UsageError : BroadcastError {
    using BroadcastError::BroadcastError;
};

struct CommandLine {
    std::vector<std::string> files;
    std::string output;  // -o
    std::string pcap;
    bool udp = false;
    uint32_t udpAddress = 0;
    uint16_t udpPort = 0;
    uint32_t rateKbps = 4000;
    std::optional<std::string> name;  // announced instead of each file's own name
    HeaderOptions header;
    BroadcastOptions broadcast;
    bool list = false;
    bool help = false;
};

// `args` without the program name. Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& args);
const char* usageText();

// "a.b.c.d" with each part 0..255; throws UsageError naming `what`.
uint32_t parseAddress(const std::string& text, const std::string& what);
struct HostPort {
    uint32_t address = 0;
    uint16_t port = 0;
};
// "a.b.c.d:port" with port 1..65535; "localhost" stands for 127.0.0.1.
HostPort parseHostPort(const std::string& text, const std::string& what);
// "xx:xx:xx:xx:xx:xx" in hexadecimal.
std::array<uint8_t, 6> parseMac(const std::string& text, const std::string& what);
