// Telling the service manager that started quillmoth-headless how it is
// doing: ready, its counters, stopping, and the watchdog's "still alive".
// Linux only; elsewhere, and when the program was not started with a
// notification socket, every call does nothing.
#pragma once

#include <cstdint>

// Sends one message ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1") as a
// datagram to the socket named by NOTIFY_SOCKET: a path, or with a leading '@'
// a name in the abstract namespace. False when there is no socket or the
// message did not go.
bool serviceNotify(const char* message);
// True when a service manager gave us a socket to send to.
bool serviceManagerListens();

// How often the watchdog wants to hear from us: half of WATCHDOG_USEC, in
// milliseconds; 0 when no watchdog is set, or when WATCHDOG_PID names another
// process.
uint64_t serviceWatchdogInterval();
