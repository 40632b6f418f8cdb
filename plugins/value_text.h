// Numbers and addresses as settings files and command lines write them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A decimal number from 0 to `maximum`, nothing else around it.
inline bool parseNumber(const std::string& text, uint32_t maximum, uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + uint64_t(c - '0');
    }
    if (number > maximum) return false;
    value = uint32_t(number);
    return true;
}

// A dotted IPv4 address a.b.c.d, host byte order.
inline bool parseIpv4(const std::string& text, uint32_t& address) {
    uint32_t result = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = part < 3 ? text.find('.', at) : text.size();
        if (end == std::string::npos || end - at > 3) return false;
        uint32_t byte;
        if (!parseNumber(text.substr(at, end - at), 255, byte)) return false;
        result = (result << 8) | byte;
        at = end + 1;
    }
    address = result;
    return true;
}
