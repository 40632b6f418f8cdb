// The UDP payload of the broadcast: an ObjectDatagram.
//
//   offset 0      type, must be 8
//   offset 1      sequence number, 32-bit little-endian, 1 for the first datagram
//   offset 5      flags; bit 0x40: four extension bytes follow
//   offset 6      extension (only with flag 0x40), skipped
//   offset 6/10   payload: the next piece of the object's zlib stream
//   length - 2    DatagramCheck, 16-bit little-endian
//
// Everything before the check is at most 2048 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t kObjectDatagramType = 8;
constexpr uint8_t kExtensionFlag = 0x40;
constexpr size_t kDatagramHeaderSize = 6;
constexpr size_t kDatagramExtensionSize = 4;
constexpr size_t kDatagramCheckSize = 2;
// Header and payload together, without the check.
constexpr size_t kMaxDatagramBody = 2048;

// The 16-bit check over `count` bytes, computed from the last byte back to the
// first: h = 5381, then h = (h * 33) ^ (b - 48) for each byte b, all modulo 65536.
uint16_t datagramCheck(const uint8_t* bytes, size_t count);

// What the dispatcher makes of a UDP payload before it looks for its object.
enum class DatagramVerdict {
    ok,
    tooShort,   // shorter than its header and check
    wrongType,  // type byte not 8
    badCheck,
    tooLong,    // more than 2048 bytes before the check
};
DatagramVerdict classifyDatagram(const uint8_t* datagram, size_t length);

// True when the last two bytes hold the check of the bytes before them.
// A datagram shorter than the check itself never passes.
bool checkDatagram(const uint8_t* datagram, size_t length);
