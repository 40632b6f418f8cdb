#include "plugins/satip_net.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "plugins/satip_discovery.h"
#include "plugins/satip_session.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#endif

#if defined(_WIN32)
std::string lastSocketError() { return socketErrorText(WSAGetLastError()); }
std::string socketErrorText(int code) { return "error " + std::to_string(code); }
bool lastCallWouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
bool setNonBlocking(NativeSocket s) {
    u_long yes = 1;
    return ioctlsocket(s, FIONBIO, &yes) == 0;
}
void Socket::reset(NativeSocket s) {
    if (s_ != kNoSocket) closesocket(s_);
    s_ = s;
}
bool startNetwork() {
    // Never cleaned up: the process's sockets may outlive any one user.
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
#else
std::string lastSocketError() { return socketErrorText(errno); }
std::string socketErrorText(int code) { return std::strerror(code); }
bool lastCallWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS; }
bool setNonBlocking(NativeSocket s) { return fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK) == 0; }
void Socket::reset(NativeSocket s) {
    if (s_ != kNoSocket) ::close(s_);
    s_ = s;
}
bool startNetwork() { return true; }
#endif

uint64_t nowMs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Winsock tells of a failed connection among the exceptions, not the writable.
bool waitFor(NativeSocket s, bool writable, int ms) {
    fd_set set, failed;
    FD_ZERO(&set);
    FD_SET(s, &set);
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    return select(int(s + 1), writable ? nullptr : &set, writable ? &set : nullptr, writable ? &failed : nullptr,
                  &timeout) > 0;
}

sockaddr_in ipv4(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

bool resolve(const std::string& host, uint16_t port, sockaddr_in& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    std::memcpy(&address, found->ai_addr, sizeof address);
    address.sin_port = htons(port);
    freeaddrinfo(found);
    return true;
}

namespace {

// A look-up of a host name on a thread of its own.
struct Lookup {
    std::string host;
    uint16_t port = 0;
    std::mutex mutex;
    bool done = false, found = false;
    sockaddr_in address{};
};

void runLookup(Lookup& lookup) {
    sockaddr_in address{};
    const bool found = resolve(lookup.host, lookup.port, address);
    std::lock_guard<std::mutex> lock(lookup.mutex);
    lookup.done = true;
    lookup.found = found;
    lookup.address = address;
}

#if defined(_WIN32)
struct LookupThread {
    std::shared_ptr<Lookup> lookup;
    HMODULE module = nullptr;
};

DWORD WINAPI lookupThread(void* parameter) {
    auto* job = static_cast<LookupThread*>(parameter);
    const HMODULE module = job->module;
    runLookup(*job->lookup);
    delete job;
    // The library may have been let go of meanwhile: it stays loaded until
    // this thread is out of it.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

bool startLookup(const std::shared_ptr<Lookup>& lookup) {
    auto* job = new LookupThread{lookup, nullptr};
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&lookupThread),
                            &job->module)) {
        delete job;
        return false;
    }
    HANDLE thread = CreateThread(nullptr, 0, lookupThread, job, 0, nullptr);
    if (!thread) {
        FreeLibrary(job->module);
        delete job;
        return false;
    }
    CloseHandle(thread);
    return true;
}
#else
bool startLookup(const std::shared_ptr<Lookup>& lookup) {
    // A look-up may outlast the library's users: the library is never
    // unloaded under it.
    static const bool pinned = [] {
        Dl_info self{};
        return dladdr(reinterpret_cast<void*>(&runLookup), &self) && self.dli_fname &&
               dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
    }();
    (void)pinned;
    std::thread([lookup] { runLookup(*lookup); }).detach();
    return true;
}
#endif

}  // namespace

bool resolveUnlessStopped(const std::string& host, uint16_t port, const std::atomic<bool>& stop,
                          sockaddr_in& address) {
    auto lookup = std::make_shared<Lookup>();
    lookup->host = host;
    lookup->port = port;
    if (!startLookup(lookup)) return resolve(host, port, address);
    while (true) {
        {
            std::lock_guard<std::mutex> lock(lookup->mutex);
            if (lookup->done) {
                address = lookup->address;
                return lookup->found;
            }
        }
        if (stop) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool connectTcp(const sockaddr_in& server, uint32_t local, int ms, const std::atomic<bool>& stop, Socket& result,
                std::string& error) {
    result.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!result.valid() || !setNonBlocking(result.get())) {
        error = "cannot open a TCP socket: " + lastSocketError();
        return false;
    }
    if (local != 0) {
        sockaddr_in from = ipv4(local, 0);
        if (bind(result.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
            error = "cannot use the interface: " + lastSocketError();
            return false;
        }
    }
    if (connect(result.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) return true;
    if (!lastCallWouldBlock()) {
        error = "cannot connect: " + lastSocketError();
        return false;
    }
    const uint64_t deadline = nowMs() + uint64_t(ms);
    bool ready = false;
    while (!ready && !stop && nowMs() < deadline) ready = waitFor(result.get(), true, kPollMs);
    int failure = 0;
    socklen_t size = sizeof failure;
    if (ready) getsockopt(result.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &size);
    if (ready && failure == 0) return true;
    error = ready ? "cannot connect: " + socketErrorText(failure) : std::string("no answer to the connection");
    return false;
}

namespace {

constexpr char kServerType[] = "urn:ses-com:device:SatIPServer:1";

// For comparing names: ASCII letters in lower case, no blanks.
std::string folded(const std::string& text) {
    std::string result;
    for (char c : text)
        if (c != ' ' && c != '\t') result.push_back(c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c);
    return result;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

bool isSatipAnswer(const std::string& reply, FoundServer& server) {
    // "HTTP/1.1 200 OK", however many blanks apart.
    const size_t code = reply.find_first_not_of(" \t", 8);
    if (reply.compare(0, 8, "HTTP/1.1") != 0 || code == 8 || code == std::string::npos ||
        reply.compare(code, 3, "200") != 0 || (code + 3 < reply.size() && std::isdigit(uint8_t(reply[code + 3]))))
        return false;
    const std::string type = folded(kServerType);
    if (folded(headerValue(reply, "ST")) != type && !endsWith(folded(headerValue(reply, "USN")), "::" + type))
        return false;
    const std::string location = headerValue(reply, "LOCATION");
    std::string host;
    if (!urlHost(location, host)) return false;
    server.location = location;
    server.host = host;
    return true;
}

std::vector<FoundServer> discoverServers(bool hasInterface, uint32_t interfaceAddress, int ms, int settleMs,
                                         std::string& error) {
    std::vector<FoundServer> found;
    error.clear();
    Socket s;
    if (!startNetwork()) {
        error = "cannot start Winsock";
        return found;
    }
    s.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!s.valid()) {
        error = "cannot open a UDP socket: " + lastSocketError();
        return found;
    }
    sockaddr_in local = ipv4(hasInterface ? interfaceAddress : INADDR_ANY, 0);
    in_addr via{};
    via.s_addr = htonl(interfaceAddress);
    if (bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        (hasInterface && setsockopt(s.get(), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&via),
                                    sizeof via) != 0)) {
        error = "cannot use the interface: " + lastSocketError();
        return found;
    }
    const std::string search = std::string("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n") +
                               "MAN: \"ssdp:discover\"\r\nMX: 2\r\nST: " + kServerType + "\r\n\r\n";
    sockaddr_in group = ipv4(0xEFFFFFFA, 1900);
    if (sendto(s.get(), search.data(), int(search.size()), 0, reinterpret_cast<const sockaddr*>(&group),
               sizeof group) < 0) {
        error = "cannot send the search: " + lastSocketError();
        return found;
    }
    uint64_t deadline = nowMs() + uint64_t(ms);
    std::vector<char> datagram(kLargestDatagram);
    for (uint64_t now = nowMs(); now < deadline; now = nowMs()) {
        if (!waitFor(s.get(), false, int(std::min<uint64_t>(deadline - now, kPollMs)))) continue;
        auto n = recv(s.get(), datagram.data(), int(datagram.size()), 0);
        if (n <= 0) continue;
        FoundServer server;
        if (!isSatipAnswer(std::string(datagram.data(), size_t(n)), server)) continue;
        bool known = false;
        for (const FoundServer& other : found) known = known || other.location == server.location;
        if (known) continue;
        // A server that answers late is seldom the one to use: do not keep
        // the user waiting the whole search for it.
        if (found.empty() && settleMs >= 0) deadline = std::min(deadline, nowMs() + uint64_t(settleMs));
        found.push_back(server);
    }
    return found;
}

void readDescription(const std::string& xml, FoundServer& server) {
    const std::string type = folded(kServerType);
    const std::string anyVersion = type.substr(0, type.rfind(':') + 1);
    // The server is the root device or one within it; its name and tuners
    // come after its type.
    for (size_t at = xml.find("deviceType"); at != std::string::npos; at = xml.find("deviceType", at + 1)) {
        const size_t open = xml.rfind('<', at), end = xml.find('>', at);
        if (open == std::string::npos || end == std::string::npos || xml[open + 1] == '/' ||
            xml.find_first_of(" \t\r\n/>", open + 1) < at || std::strchr(" \t\r\n>", xml[at + 10]) == nullptr)
            continue;
        const std::string text = folded(xml.substr(end + 1, xml.find('<', end) - end - 1));
        if (text.compare(0, anyVersion.size(), anyVersion) != 0) continue;
        const std::string rest = xml.substr(open);
        server.satip = true;
        server.name = xmlElementText(rest, "friendlyName");
        server.tuners = xmlElementText(rest, "X_SATIPCAP");
        return;
    }
    server.satip = false;
    server.name = xmlElementText(xml, "friendlyName");
    server.tuners.clear();
}

bool describeServer(FoundServer& server, int ms) {
    std::string xml;
    server.described = fetchHttp(server.location, ms, xml);
    if (server.described) readDescription(xml, server);
    return server.described;
}

size_t chooseServer(std::vector<FoundServer>& found, int descriptionMs, int totalMs) {
    const uint64_t deadline = nowMs() + uint64_t(std::max(totalMs, 0));
    for (size_t i = 0; i < found.size(); ++i) {
        const uint64_t now = nowMs();
        if (now >= deadline) break;
        if (describeServer(found[i], int(std::min<uint64_t>(uint64_t(std::max(descriptionMs, 0)), deadline - now))) &&
            found[i].satip)
            return i;
    }
    return 0;
}

bool fetchHttp(const std::string& url, int ms, std::string& body) {
    // A device description is a few kilobytes.
    constexpr size_t kLargestDocument = 256 * 1024;
    std::string host;
    if (url.compare(0, 7, "http://") != 0 || !urlHost(url, host) || !startNetwork()) return false;
    size_t pathAt = url.find('/', 7);
    const std::string hostPort = url.substr(7, pathAt == std::string::npos ? std::string::npos : pathAt - 7);
    std::string ignored;
    uint16_t port = 80;
    size_t colon = hostPort.find(':');
    if (colon != std::string::npos && !parseServerName(hostPort, ignored, port)) return false;
    sockaddr_in server{};
    const std::atomic<bool> never{false};
    Socket s;
    const uint64_t deadline = nowMs() + uint64_t(ms);
    if (!resolve(host, port, server) || !connectTcp(server, 0, ms, never, s, ignored)) return false;
    const std::string request = "GET " + (pathAt == std::string::npos ? std::string("/") : url.substr(pathAt)) +
                                " HTTP/1.0\r\nHost: " + hostPort + "\r\nConnection: close\r\n\r\n";
    if (send(s.get(), request.data(), int(request.size()), kSendFlags) != int(request.size())) return false;
    std::string answer;
    char chunk[4096];
    while (nowMs() < deadline && answer.size() < kLargestDocument) {
        if (!waitFor(s.get(), false, kPollMs)) continue;
        auto n = recv(s.get(), chunk, int(sizeof chunk), 0);
        if (n > 0) {
            answer.append(chunk, size_t(n));
            continue;
        }
        if (n < 0 && lastCallWouldBlock()) continue;
        // The server closes the connection after the document.
        size_t head = answer.find("\r\n\r\n");
        size_t space = answer.find(' ');
        if (head == std::string::npos || space == std::string::npos || answer.compare(space + 1, 3, "200") != 0)
            return false;
        body = answer.substr(head + 4);
        return true;
    }
    return false;
}
