#include "tools/service_notify.h"

#if defined(__linux__)

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The socket, opened on the first message and kept: only the main thread sends.
int gSocket = -1;

}  // namespace

bool serviceNotify(const char* message) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || (name[0] != '/' && name[0] != '@')) return false;
    sockaddr_un address{};
    size_t length = std::strlen(name);
    if (length < 2 || length >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name, length);
    // An abstract name is counted by the address length, not ended by a zero.
    socklen_t addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + length);
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    else
        addressLength += 1;
    if (gSocket < 0) gSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (gSocket < 0) return false;
    return sendto(gSocket, message, std::strlen(message), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                  addressLength) == ssize_t(std::strlen(message));
}

bool serviceManagerListens() {
    const char* name = std::getenv("NOTIFY_SOCKET");
    return name && (name[0] == '/' || name[0] == '@');
}

uint64_t serviceWatchdogInterval() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (!usec || !*usec) return 0;
    const char* pid = std::getenv("WATCHDOG_PID");
    if (pid && *pid && std::strtol(pid, nullptr, 10) != long(getpid())) return 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(usec, &end, 10);
    if (*end || value == 0) return 0;
    uint64_t interval = value / 2000;
    return interval > 0 ? interval : 1;
}

#else

bool serviceNotify(const char*) { return false; }
bool serviceManagerListens() { return false; }
uint64_t serviceWatchdogInterval() { return 0; }

#endif
