#include "tests/system/loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>

#include "client/Response.h"

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

}  // namespace

sockaddr_in LoopbackAddress(unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

namespace {

// Nothing holds the port on any address: no listener, no connection, no TIME_WAIT left on it.
bool Bindable(unsigned short port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address = LoopbackAddress(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);  // as the server binds
    const bool bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

}  // namespace

// Chosen below the kernel's range for connecting clients: a port from that range can be taken
// by any concurrent test's outgoing connection between the choice and the server's bind.
unsigned short FreePort()
{
    unsigned clientLow = 32768;
    if (FILE *range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        unsigned low = 0;
        if (std::fscanf(range, "%u", &low) == 1)
            clientLow = low;
        std::fclose(range);
    }
    const unsigned first = 20000;
    static std::mutex lock;
    static std::mt19937 random(std::random_device{}());
    for (int attempt = 0; clientLow > first + 1000 && attempt < 500; ++attempt) {
        unsigned short port;
        {
            std::lock_guard<std::mutex> hold(lock);
            port = static_cast<unsigned short>(first + random() % (clientLow - first));
        }
        if (Bindable(port))
            return port;
    }
    // No room below the client range: the kernel's choice, bound and released.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackAddress(0);
    unsigned short port = 0;
    socklen_t length = sizeof address;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

std::string Request(LONG nOperation, DWORD nStationNumber, DWORD nSlot)
{
    const QueryData query = pelmora::MakeQuery(nOperation, nStationNumber, nSlot);
    return std::string(reinterpret_cast<const char *>(&query), sizeof query);
}

bool SendAll(int fd, const void *data, size_t length)
{
    const char *bytes = static_cast<const char *>(data);
    while (length != 0) {
        const ssize_t sent = send(fd, static_cast<const void *>(bytes), length, int(MSG_NOSIGNAL));
        if (sent <= 0)
            return false;
        bytes += sent;
        length -= size_t(sent);
    }
    return true;
}

bool ReceiveExactly(int fd, std::string &bytes, size_t length, int timeoutMs)
{
    bytes.clear();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (bytes.size() < length) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0)
            return false;
        const size_t want = std::min(sizeof buffer, length - bytes.size());
        const ssize_t got = recv(fd, static_cast<void *>(buffer), want, 0);
        if (got <= 0)
            return false;
        bytes.append(buffer, size_t(got));
    }
    return true;
}

bool ReceiveUntilEnd(int fd, std::string &bytes, int timeoutMs)
{
    bytes.clear();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0)
            return false;
        const ssize_t got = recv(fd, static_cast<void *>(buffer), sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET))
            return true;
        if (got < 0)
            return false;
        bytes.append(buffer, size_t(got));
    }
}
