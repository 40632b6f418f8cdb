#include "extraction/object_datagram.h"

uint16_t datagramCheck(const uint8_t* bytes, size_t count) {
    uint16_t h = 5381;
    for (size_t i = count; i > 0; --i) h = uint16_t((h * 33u) ^ uint16_t(bytes[i - 1] - 48u));
    return h;
}

bool checkDatagram(const uint8_t* datagram, size_t length) {
    if (length < kDatagramCheckSize) return false;
    size_t count = length - kDatagramCheckSize;
    uint16_t stored = uint16_t(datagram[count] | (datagram[count + 1] << 8));
    return datagramCheck(datagram, count) == stored;
}

DatagramVerdict classifyDatagram(const uint8_t* d, size_t length) {
    if (length < 1) return DatagramVerdict::tooShort;
    if (d[0] != kObjectDatagramType) return DatagramVerdict::wrongType;
    if (length < kDatagramHeaderSize + kDatagramCheckSize) return DatagramVerdict::tooShort;
    size_t payloadStart = kDatagramHeaderSize + ((d[5] & kExtensionFlag) ? kDatagramExtensionSize : 0);
    if (length < payloadStart + kDatagramCheckSize) return DatagramVerdict::tooShort;
    if (!checkDatagram(d, length)) return DatagramVerdict::badCheck;
    if (length - kDatagramCheckSize > kMaxDatagramBody) return DatagramVerdict::tooLong;
    return DatagramVerdict::ok;
}
