// pelmora-bare-server: the machine's limit for the data protocol. Epoll threads greet each
// connection and answer each 128-byte request with one prepared 304-byte sealed response:
// the same bytes on the wire as a data server, without sealing per request, without a thread
// pool and without the station table. Driven by pelmora-load, it shows what the sockets of this
// machine can carry.
//
// Linux only. It stops by itself after --duration seconds, or at SIGINT or SIGTERM.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench/WireProtocol.h"

using namespace pelmora::bench;

namespace {

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

uint8_t g_greeting[kResponseSize];
uint8_t g_response[kResponseSize];

struct Connection {
    int fd;
    uint8_t rx[4096];
    size_t rxUsed = 0;
    std::string tx;
    size_t txOffset = 0;
    bool wantWrite = false;
};

class Loop {
public:
    explicit Loop(int listener) : m_listener(listener) {}

    ~Loop()
    {
        for (auto &entry : m_connections)
            ::close(entry.first);
        if (m_epoll >= 0)
            ::close(m_epoll);
    }

    void Run(double seconds)
    {
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0)
            return;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLEXCLUSIVE;  // one thread woken per connection
        ev.data.fd = m_listener;
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &ev) < 0)
            return;
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        epoll_event events[256];
        while (!g_stop) {
            const int n = ::epoll_wait(m_epoll, events, 256, 100);
            for (int i = 0; i < n; ++i) {
                if (events[i].data.fd == m_listener)
                    Accept();
                else
                    Serve(events[i].data.fd, events[i].events);
            }
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9 >
                seconds)
                g_stop = true;
        }
    }

private:
    void Accept()
    {
        for (;;) {
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;  // EAGAIN: another thread took it, or none is left
            auto c = std::make_unique<Connection>();
            c->fd = fd;
            c->tx.assign(reinterpret_cast<const char *>(g_greeting), kResponseSize);
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLRDHUP;
            ev.data.fd = fd;
            if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) < 0) {
                ::close(fd);
                continue;
            }
            Connection &ref = *c;
            m_connections.emplace(fd, std::move(c));
            if (!Flush(ref))
                Close(fd);
        }
    }

    void Close(int fd)
    {
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        m_connections.erase(fd);
    }

    // False when the connection is gone.
    bool Flush(Connection &c)
    {
        while (c.txOffset < c.tx.size()) {
            const ssize_t n = ::send(c.fd, c.tx.data() + c.txOffset, c.tx.size() - c.txOffset,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                c.txOffset += size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            return false;
        }
        if (c.txOffset == c.tx.size()) {
            c.tx.clear();
            c.txOffset = 0;
        }
        const bool want = !c.tx.empty();
        if (want != c.wantWrite) {
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLRDHUP | (want ? uint32_t(EPOLLOUT) : 0u);
            ev.data.fd = c.fd;
            ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, c.fd, &ev);
            c.wantWrite = want;
        }
        return true;
    }

    void Serve(int fd, uint32_t events)
    {
        auto it = m_connections.find(fd);
        if (it == m_connections.end())
            return;
        Connection &c = *it->second;
        if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            for (;;) {
                const ssize_t n = ::recv(fd, c.rx + c.rxUsed, sizeof c.rx - c.rxUsed, MSG_DONTWAIT);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    break;
                if (n <= 0) {
                    Close(fd);
                    return;
                }
                c.rxUsed += size_t(n);
                size_t offset = 0;
                while (c.rxUsed - offset >= kRequestSize) {
                    // The length prefix must announce 128 bytes, as a data server demands.
                    if (c.rx[offset] != kRequestSize || c.rx[offset + 1] != 0) {
                        ::send(fd, kRefusalText, kRefusalLength, MSG_NOSIGNAL | MSG_DONTWAIT);
                        Close(fd);
                        return;
                    }
                    c.tx.append(reinterpret_cast<const char *>(g_response), kResponseSize);
                    offset += kRequestSize;
                }
                std::memmove(c.rx, c.rx + offset, c.rxUsed - offset);
                c.rxUsed -= offset;
            }
        }
        if (!Flush(c))
            Close(fd);
    }

    int m_listener;
    int m_epoll = -1;
    std::unordered_map<int, std::unique_ptr<Connection>> m_connections;
};

}  // namespace

int main(int argc, char **argv)
{
    int port = 0;
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    double duration = 600;
    uint32_t station = 1;
    CLI::App app{
        "Bare epoll server answering every 128-byte request with a prepared 304-byte "
        "response: the machine's limit beside a data server."};
    app.add_option("-p,--port", port, "Port on 127.0.0.1 (0: any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("-t,--threads", threads, "Epoll threads")
        ->check(CLI::Range(1u, 64u))
        ->capture_default_str();
    app.add_option("-d,--duration", duration, "Seconds after which it stops by itself")
        ->check(CLI::Range(1.0, 3600.0))
        ->capture_default_str();
    app.add_option("--station", station, "Station number the prepared response carries")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    MakeGreeting(g_greeting);
    MakeSealedResponse(station, g_response);

    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    socklen_t length = sizeof address;
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 ||
        ::listen(listener, 1024) < 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) < 0) {
        std::fprintf(stderr, "pelmora-bare-server: cannot listen on port %d: %s\n", port,
                     std::strerror(errno));
        return 2;
    }
    std::printf("listening on port %u\n", unsigned(ntohs(address.sin_port)));
    std::fflush(stdout);

    std::vector<std::unique_ptr<Loop>> loops;
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        loops.push_back(std::make_unique<Loop>(listener));
    for (auto &loop : loops)
        workers.emplace_back([&loop, duration] { loop->Run(duration); });
    for (auto &w : workers)
        w.join();
    ::close(listener);
    return 0;
}
