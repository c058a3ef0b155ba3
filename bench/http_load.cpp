// HTTP load on loopback: N keep-alive connections, each sending GET PATH and reading the whole
// response before the next, for D seconds. Prints "rps=... requests=... errors=...".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Connect(unsigned short port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One response read to the end of its body; false on an error or a status other than 200.
// closing tells that the server ends the connection after it (its keep-alive limit).
bool ReadResponse(int fd, std::string &buffer, bool &closing)
{
    for (;;) {
        const size_t end = buffer.find("\r\n\r\n");
        if (end != std::string::npos) {
            const size_t length = buffer.find("Content-Length: ");
            if (length == std::string::npos || length > end)
                return false;
            const size_t body = std::strtoul(buffer.c_str() + length + 16, nullptr, 10);
            if (buffer.size() >= end + 4 + body) {
                const bool ok = buffer.compare(0, 12, "HTTP/1.1 200") == 0;
                const size_t close = buffer.find("Connection: close\r\n");
                closing = close != std::string::npos && close < end;
                buffer.erase(0, end + 4 + body);
                return ok;
            }
        }
        char chunk[16384];
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return false;
        buffer.append(chunk, size_t(got));
    }
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"HTTP keep-alive load on loopback"};
    unsigned short port = 0;
    unsigned connections = 64;
    double seconds = 4;
    std::string path = "/api/stations/1";
    app.add_option("-p,--port", port)->required();
    app.add_option("-c,--connections", connections);
    app.add_option("-d,--seconds", seconds);
    app.add_option("--path", path);
    CLI11_PARSE(app, argc, argv);

    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::atomic<unsigned long> requests{0}, errors{0};
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (unsigned c = 0; c < connections; ++c) {
        threads.emplace_back([&] {
            int fd = -1;
            std::string buffer;
            while (Clock::now() < deadline) {
                if (fd < 0) {
                    fd = Connect(port);
                    buffer.clear();
                    if (fd < 0) {
                        ++errors;
                        continue;
                    }
                }
                bool closing = false;
                if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                        ssize_t(request.size()) ||
                    !ReadResponse(fd, buffer, closing)) {
                    ++errors;
                    close(fd);
                    fd = -1;
                    continue;
                }
                ++requests;
                if (closing) {
                    close(fd);
                    fd = -1;
                }
            }
            if (fd >= 0)
                close(fd);
        });
    }
    for (std::thread &t : threads)
        t.join();
    std::printf("rps=%.0f requests=%lu errors=%lu\n", double(requests) / seconds, requests.load(),
                errors.load());
    return 0;
}
