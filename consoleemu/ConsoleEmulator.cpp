#include "consoleemu/ConsoleEmulator.h"

#include "console/ConsoleProtocol.h"

#include <algorithm>
#include <arpa/inet.h>
#include <iterator>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace emulator {

namespace {

void Put16(std::vector<uint8_t> &p, size_t offset, uint16_t value)
{
    p[offset] = static_cast<uint8_t>(value & 0xFF);
    p[offset + 1] = static_cast<uint8_t>(value >> 8);
}

std::vector<uint8_t> Sealed(std::vector<uint8_t> bytes)
{
    const uint16_t crc = console::Crc16(bytes.data(), bytes.size());
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    return bytes;
}

// The acknowledgement, then the answer's bytes.
std::vector<uint8_t> Acked(const std::vector<uint8_t> &bytes)
{
    std::vector<uint8_t> answer(1 + bytes.size(), console::kAck);
    std::copy(bytes.begin(), bytes.end(), answer.begin() + 1);
    return answer;
}

// Junk a console line could carry (a LF CR among it), before the bytes.
std::vector<uint8_t> Junked(const std::vector<uint8_t> &bytes)
{
    static const uint8_t kJunk[] = {0x15, 0xFF, 'x', 0x0A, 0x0D, 0x00};
    std::vector<uint8_t> junked(sizeof(kJunk) + bytes.size());
    std::copy(std::begin(kJunk), std::end(kJunk), junked.begin());
    std::copy(bytes.begin(), bytes.end(), junked.begin() + sizeof(kJunk));
    return junked;
}

bool IsSocket(int fd)
{
    int type = 0;
    socklen_t len = sizeof(type);
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0;
}

bool WriteAll(int fd, const uint8_t *p, size_t n)
{
    const bool bSocket = IsSocket(fd);
    while (n > 0) {
        const ssize_t w = bSocket ? send(fd, p, n, MSG_NOSIGNAL) : write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

std::vector<uint8_t> LoopPacketOf(const ConsoleState &s)
{
    std::vector<uint8_t> p(97, 0);
    p[0] = 'L';
    p[1] = 'O';
    p[2] = 'O';
    p[3] = 'P';
    p[4] = 0;
    Put16(p, 5, 0x7FFF);  // next archive record: not looked at
    Put16(p, 7, s.nBarometer);
    Put16(p, 9, 712);  // inside temperature: not looked at
    p[11] = 40;
    Put16(p, 12, static_cast<uint16_t>(s.nOutsideTemp));
    p[14] = s.nWindSpeed;
    p[15] = 9;
    Put16(p, 16, s.nWindDir);
    p[33] = s.nHumidity;
    Put16(p, 44, s.nSolar);
    Put16(p, 46, s.nStormRain);
    p[95] = 0x0A;
    p[96] = 0x0D;
    return Sealed(p);
}

std::unique_ptr<CConsoleEmulator> CConsoleEmulator::OnPseudoTerminal()
{
    std::unique_ptr<CConsoleEmulator> e(new CConsoleEmulator);
    e->m_nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (e->m_nMaster < 0 || grantpt(e->m_nMaster) != 0 || unlockpt(e->m_nMaster) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128] = "";
    if (ptsname_r(e->m_nMaster, name, sizeof(name)) != 0)
        throw std::runtime_error("no pseudo-terminal name");
    e->m_device = name;
    // Held open, raw, so the master never sees the terminal closed between two SDK opens.
    e->m_nSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (e->m_nSlave < 0 || tcgetattr(e->m_nSlave, &tio) != 0)
        throw std::runtime_error("pseudo-terminal does not open");
    cfmakeraw(&tio);
    tcsetattr(e->m_nSlave, TCSANOW, &tio);
    if (pipe2(e->m_nStopPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    e->m_thread = std::thread([p = e.get()] { p->Run(); });
    return e;
}

std::unique_ptr<CConsoleEmulator> CConsoleEmulator::OnTcp(uint16_t nPort)
{
    std::unique_ptr<CConsoleEmulator> e(new CConsoleEmulator);
    e->m_nListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(nPort);
    socklen_t len = sizeof(a);
    if (e->m_nListen < 0 || bind(e->m_nListen, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        listen(e->m_nListen, 4) != 0 ||
        getsockname(e->m_nListen, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        throw std::runtime_error("no listening socket");
    e->m_device = "tcp:127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    if (pipe2(e->m_nStopPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    e->m_thread = std::thread([p = e.get()] { p->Run(); });
    return e;
}

CConsoleEmulator::~CConsoleEmulator()
{
    Stop();
    for (int fd : {m_nMaster, m_nSlave, m_nListen, m_nStopPipe[0], m_nStopPipe[1]})
        if (fd >= 0)
            close(fd);
}

void CConsoleEmulator::Stop()
{
    if (m_thread.joinable()) {
        const char c = 's';
        ssize_t n;
        do {
            n = write(m_nStopPipe[1], &c, 1);
        } while (n < 0 && errno == EINTR);
        m_thread.join();
    }
}

void CConsoleEmulator::Set(const ConsoleState &state)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state = state;
}

void CConsoleEmulator::SetFault(Fault fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fault = fault;
}

void CConsoleEmulator::Unplug()
{
    m_bUnplugged = true;
    Stop();
    for (int *fd : {&m_nMaster, &m_nSlave, &m_nListen}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

bool CConsoleEmulator::Stopping() const
{
    pollfd p{m_nStopPipe[0], POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

void CConsoleEmulator::Run()
{
    if (m_nMaster >= 0) {
        Serve(m_nMaster);
        return;
    }
    while (!Stopping()) {
        pollfd p[2] = {{m_nListen, POLLIN, 0}, {m_nStopPipe[0], POLLIN, 0}};
        if (poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN))
            return;
        const int fd = accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        Serve(fd);
        if (m_bUnplugged) {
            const linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        }
        close(fd);
    }
}

void CConsoleEmulator::Serve(int fd)
{
    std::string line;
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {m_nStopPipe[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            return;
        if (p[1].revents & POLLIN)
            return;
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        uint8_t buffer[256];
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0)
            return;  // the TCP peer left
        for (ssize_t i = 0; i < n; ++i) {
            const char c = static_cast<char>(buffer[i]);
            if (c == '\r')
                continue;
            if (c != '\n') {
                if (line.size() < 64)
                    line += c;
                else
                    line.clear();
                continue;
            }
            Fault fault;
            ConsoleState state;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                fault = m_fault;
                state = m_state;
            }
            bool bPeer = true;
            if (fault == Fault::Silent) {
            } else if (line.empty()) {
                bPeer = Answer(fd, {0x0A, 0x0D}, false);
            } else if (line == "LOOP 1") {
                bPeer = Answer(fd, Acked(LoopPacketOf(state)), true);
            } else if (line == "EEBRD 2B 01") {
                bPeer = Answer(fd, Acked(Sealed({state.nCollector})), false);
            }
            line.clear();
            if (!bPeer)
                return;
        }
    }
}

bool CConsoleEmulator::Answer(int fd, const std::vector<uint8_t> &given, bool bLoop)
{
    std::vector<uint8_t> bytes = given;
    Fault fault;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fault = m_fault;
        if (bLoop && fault == Fault::BadCrcOnce)
            m_fault = Fault::None;
    }
    const bool bCommand = bytes.size() > 2;
    if (bLoop && (fault == Fault::BadCrcOnce || fault == Fault::BadCrcAlways))
        bytes.back() ^= 0x5A;
    if (bLoop && fault == Fault::CutPacket)
        bytes.resize(1 + console::kLoopSize / 2);
    if (bCommand && fault == Fault::JunkBeforeAck)
        bytes = Junked(bytes);
    // Counted before it goes: the peer may have read it before this thread runs again.
    const bool bWholePacket = bLoop && bytes.size() == 1 + console::kLoopSize;
    if (bWholePacket)
        ++m_nPackets;
    if (fault == Fault::Slow) {
        // Byte by byte; a new request from the peer ends the answer, as it would a console's.
        for (uint8_t byte : bytes) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0)
                return true;
            if (!WriteAll(fd, &byte, 1))
                return false;
        }
    } else if (!WriteAll(fd, bytes.data(), bytes.size())) {
        return false;
    }
    return true;
}

}  // namespace emulator
