// The numbers of the settings pages as their boxes show and read them.
#pragma once

#include <cstddef>
#include <cstdint>

// The lowest and highest PID the receiver can be given.
constexpr int32_t kLowestPid = 1;
constexpr int32_t kHighestPid = 8191;

// The listed PID: "0x%X" in the hexadecimal view, "%d" otherwise.
void formatPid(int32_t pid, bool hexadecimal, wchar_t* buffer, size_t capacity);
// A listed PID read back in the notation it is shown in: decimal digits, or
// hexadecimal digits with an optional "0x". Reading stops at the first other
// character; false when there is no digit at all.
bool readListedPid(const wchar_t* text, bool hexadecimal, int32_t* pid);
// A PID typed into the entry box, always decimal; true only for a whole
// number from 1 to 8191 (an empty box, 0 or anything larger is not a PID).
bool readEnteredPid(const wchar_t* text, int32_t* pid);

// An unsigned decimal box such as the time-out in seconds: 0 when it is
// empty, holds no number or the number does not fit 32 bits.
uint32_t readUnsignedBox(const wchar_t* text);

// The longest time-out the settings accept: its milliseconds still fit the
// 32-bit wait.
constexpr uint32_t kLongestTimeoutSeconds = 4294967;
// The time-out box in seconds: 0 when empty; false when the number is above
// kLongestTimeoutSeconds.
bool readTimeoutBox(const wchar_t* text, uint32_t* seconds);
// The idle time-out in milliseconds for the `timeout` key's seconds. A value
// whose milliseconds would not fit 32 bits waits as long as a wait can
// without waiting for ever; a negative one (never written by the program)
// counts as 0.
uint32_t idleTimeoutMilliseconds(int32_t seconds);

// Whether `text` survives config.ini's OEM code page unchanged, so that what
// is stored reads back as the same path.
bool fitsOemCodePage(const wchar_t* text);
