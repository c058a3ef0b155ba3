// Console links on Linux: a serial device through termios, or a TCP connection; both are
// descriptors waited on with poll.
#include "console/ConsoleLink.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace console {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `events` on fd; false on a time-out, an error or a hang-up.
bool WaitFor(int fd, short events, int nTimeoutMs)
{
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = poll(&p, 1, nTimeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 && (p.revents & events) != 0;
    }
}

class CDescriptorLink : public CConsoleLink {
public:
    CDescriptorLink(int fd, bool bSocket) : m_fd(fd), m_bSocket(bSocket) {}
    ~CDescriptorLink() override
    {
        if (!m_bSocket)
            ioctl(m_fd, TIOCNXCL);  // the next opener of the device is not refused
        close(m_fd);
    }
    CDescriptorLink(const CDescriptorLink &) = delete;
    CDescriptorLink &operator=(const CDescriptorLink &) = delete;

    bool Send(const void *pBytes, size_t nLength, uint32_t nTimeoutMs) override
    {
        const auto end = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        const char *p = static_cast<const char *>(pBytes);
        while (nLength > 0) {
            const ssize_t n =
                m_bSocket ? send(m_fd, p, nLength, MSG_NOSIGNAL) : write(m_fd, p, nLength);
            if (n > 0) {
                p += n;
                nLength -= static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!WaitFor(m_fd, POLLOUT, MillisecondsLeft(end)))
                    return false;
            } else {
                return false;
            }
        }
        return true;
    }

    int Receive(uint8_t *pBytes, size_t nLength, uint32_t nTimeoutMs) override
    {
        pollfd p{m_fd, POLLIN, 0};
        int n = 0;
        do {
            n = poll(&p, 1, static_cast<int>(nTimeoutMs));
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        if ((p.revents & POLLIN) == 0)
            return -1;  // hung up or failed with nothing left to read
        const ssize_t got = read(m_fd, pBytes, nLength);
        if (got > 0)
            return static_cast<int>(got);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return 0;
        return -1;  // the peer closed, or the device went away (EIO)
    }

    void Discard() override
    {
        if (!m_bSocket)
            tcflush(m_fd, TCIFLUSH);
        uint8_t scrap[256];
        while (read(m_fd, scrap, sizeof(scrap)) > 0) {
        }
    }

private:
    int m_fd;
    bool m_bSocket;
};

bool SpeedOf(int32_t nSpeed, speed_t &speed)
{
    static const struct {
        int32_t nBaud;
        speed_t speed;
    } kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    for (const auto &s : kSpeeds) {
        if (s.nBaud == nSpeed) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

// strerror_r, since the stations' threads open their consoles at the same time.
std::string Text(int nError)
{
    char szText[128] = "";
    return strerror_r(nError, szText, sizeof(szText));
}

std::string Reason(const std::string &what) { return what + ": " + Text(errno); }

}  // namespace

std::unique_ptr<CConsoleLink> OpenSerialLink(const std::string &device, int32_t nSpeed,
                                             std::string &error)
{
    speed_t speed;
    if (!SpeedOf(nSpeed, speed)) {
        error = device + ": unsupported speed " + std::to_string(nSpeed);
        return nullptr;
    }
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = Reason(device);
        return nullptr;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = Reason(device);
        close(fd);
        return nullptr;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = Reason(device);
        close(fd);
        return nullptr;
    }
    // Another program opening the console meanwhile would steal its answers.
    ioctl(fd, TIOCEXCL);
    tcflush(fd, TCIOFLUSH);
    return std::make_unique<CDescriptorLink>(fd, false);
}

std::unique_ptr<CConsoleLink> OpenTcpLink(const std::string &device, const std::string &host,
                                          const std::string &port, uint32_t nTimeoutMs,
                                          std::string &error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        error = device + ": " + gai_strerror(rc);
        return nullptr;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (addrinfo *a = found; a != nullptr; a = a->ai_next) {
        const int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = Reason(device);
            continue;
        }
        int nError = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            nError = errno;
            if (nError == EINPROGRESS) {
                nError = ETIMEDOUT;
                if (WaitFor(fd, POLLOUT, MillisecondsLeft(end))) {
                    socklen_t len = sizeof(nError);
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &len);
                }
            }
        }
        if (nError == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            freeaddrinfo(found);
            return std::make_unique<CDescriptorLink>(fd, true);
        }
        error = device + ": " + Text(nError);
        close(fd);
    }
    freeaddrinfo(found);
    if (error.empty())
        error = device + ": no address";
    return nullptr;
}

}  // namespace console
