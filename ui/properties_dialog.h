// The properties dialog: one Transfer's name, size and network addresses,
// as they were when the snapshot was taken.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct Transfer;

// Shows the dialog modally to owner; returns when the user closes it. The
// snapshot stays the caller's and must live until then; the dialog only
// reads fileName, length, destinationAddress, sourceAddress and
// destinationMac.
void showPropertiesDialog(HINSTANCE instance, HWND owner, const Transfer* snapshot);

// The texts the dialog shows. Each is cut to `capacity` and terminated.

// "Свойства: <name>", 255 characters at most (a capacity of 256).
void formatPropertiesCaption(const wchar_t* fileName, wchar_t* buffer, size_t capacity);
// "1536 байт" below 1 kB, else "1.50 кБ (1536 байт)", "… МБ (…)", "… ГБ (…)",
// two decimals; the byte count is printed unsigned, up to 4294967295.
void formatPropertiesSize(uint32_t length, wchar_t* buffer, size_t capacity);
// Dotted IPv4, the most significant byte first.
void formatPropertiesAddress(uint32_t address, wchar_t* buffer, size_t capacity);
// "01:00:5E:01:02:03": upper-case hexadecimal, in the record's byte order.
void formatPropertiesMac(const uint8_t mac[6], wchar_t* buffer, size_t capacity);
