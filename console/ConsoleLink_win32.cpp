// Console links on Windows: a COM port with comm time-outs, or a TCP connection through
// Winsock waited on with select.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "console/ConsoleLink.h"

#include <chrono>

namespace console {

namespace {

using Clock = std::chrono::steady_clock;

DWORD MillisecondsLeft(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<DWORD>(left.count());
}

std::string Reason(const std::string &what, DWORD nError)
{
    return what + ": error " + std::to_string(nError);
}

class CSerialLink : public CConsoleLink {
public:
    explicit CSerialLink(HANDLE hPort) : m_hPort(hPort) {}
    ~CSerialLink() override { CloseHandle(m_hPort); }
    CSerialLink(const CSerialLink &) = delete;
    CSerialLink &operator=(const CSerialLink &) = delete;

    bool Send(const void *pBytes, size_t nLength, uint32_t nTimeoutMs) override
    {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.WriteTotalTimeoutConstant = nTimeoutMs == 0 ? 1 : nTimeoutMs;
        DWORD nWritten = 0;
        return SetCommTimeouts(m_hPort, &t) &&
               WriteFile(m_hPort, pBytes, static_cast<DWORD>(nLength), &nWritten, nullptr) &&
               nWritten == nLength;
    }

    int Receive(uint8_t *pBytes, size_t nLength, uint32_t nTimeoutMs) override
    {
        // Returns as soon as a byte is there, or after the time-out with none.
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        if (nTimeoutMs > 0) {
            t.ReadTotalTimeoutMultiplier = MAXDWORD;
            t.ReadTotalTimeoutConstant = nTimeoutMs < MAXDWORD - 1 ? nTimeoutMs : MAXDWORD - 2;
        }
        DWORD nRead = 0;
        if (!SetCommTimeouts(m_hPort, &t) ||
            !ReadFile(m_hPort, pBytes, static_cast<DWORD>(nLength), &nRead, nullptr))
            return -1;  // the adapter went away
        return static_cast<int>(nRead);
    }

    void Discard() override { PurgeComm(m_hPort, PURGE_RXCLEAR); }

private:
    HANDLE m_hPort;
};

}  // namespace

std::unique_ptr<CConsoleLink> OpenSerialLink(const std::string &device, int32_t nSpeed,
                                             std::string &error)
{
    // COM10 and above open only under the device namespace; it serves COM1 to COM9 as well.
    const std::string name = device.compare(0, 4, "\\\\.\\") == 0 ? device : "\\\\.\\" + device;
    const HANDLE hPort = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (hPort == INVALID_HANDLE_VALUE) {
        error = Reason(device, GetLastError());
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(hPort, &dcb)) {
        error = Reason(device, GetLastError());
        CloseHandle(hPort);
        return nullptr;
    }
    dcb.BaudRate = static_cast<DWORD>(nSpeed);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(hPort, &dcb)) {
        error = Reason(device, GetLastError());
        CloseHandle(hPort);
        return nullptr;
    }
    PurgeComm(hPort, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return std::make_unique<CSerialLink>(hPort);
}

namespace {

// Waits until s can be read (bRead) or written; false on a time-out or an error.
bool WaitFor(SOCKET s, bool bRead, DWORD nTimeoutMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval tv{static_cast<long>(nTimeoutMs / 1000), static_cast<long>((nTimeoutMs % 1000) * 1000)};
    const int n = select(0, bRead ? &set : nullptr, bRead ? nullptr : &set, &failed, &tv);
    return n > 0 && FD_ISSET(s, &set) && !FD_ISSET(s, &failed);
}

class CTcpLink : public CConsoleLink {
public:
    explicit CTcpLink(SOCKET s) : m_socket(s) {}
    ~CTcpLink() override
    {
        closesocket(m_socket);
        WSACleanup();
    }
    CTcpLink(const CTcpLink &) = delete;
    CTcpLink &operator=(const CTcpLink &) = delete;

    bool Send(const void *pBytes, size_t nLength, uint32_t nTimeoutMs) override
    {
        const auto end = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        const char *p = static_cast<const char *>(pBytes);
        while (nLength > 0) {
            const int n = send(m_socket, p, static_cast<int>(nLength), 0);
            if (n > 0) {
                p += n;
                nLength -= static_cast<size_t>(n);
            } else if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
                if (!WaitFor(m_socket, false, MillisecondsLeft(end)))
                    return false;
            } else {
                return false;
            }
        }
        return true;
    }

    int Receive(uint8_t *pBytes, size_t nLength, uint32_t nTimeoutMs) override
    {
        if (!WaitFor(m_socket, true, nTimeoutMs))
            return 0;
        const int n =
            recv(m_socket, reinterpret_cast<char *>(pBytes), static_cast<int>(nLength), 0);
        if (n > 0)
            return n;
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
            return 0;
        return -1;  // closed or reset by the adapter
    }

    void Discard() override
    {
        char scrap[256];
        while (recv(m_socket, scrap, sizeof(scrap), 0) > 0) {
        }
    }

private:
    SOCKET m_socket;
};

}  // namespace

std::unique_ptr<CConsoleLink> OpenTcpLink(const std::string &device, const std::string &host,
                                          const std::string &port, uint32_t nTimeoutMs,
                                          std::string &error)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        error = device + ": Winsock did not start";
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        error = Reason(device, WSAGetLastError());
        WSACleanup();
        return nullptr;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (addrinfo *a = found; a != nullptr; a = a->ai_next) {
        const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET)
            continue;
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        bool bConnected = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0;
        if (!bConnected && WSAGetLastError() == WSAEWOULDBLOCK &&
            WaitFor(s, false, MillisecondsLeft(end))) {
            int nError = 0;
            int len = sizeof(nError);
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&nError), &len);
            bConnected = nError == 0;
        }
        if (bConnected) {
            BOOL noDelay = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&noDelay),
                       sizeof(noDelay));
            freeaddrinfo(found);
            return std::make_unique<CTcpLink>(s);
        }
        error = device + ": connection failed";
        closesocket(s);
    }
    freeaddrinfo(found);
    WSACleanup();
    if (error.empty())
        error = device + ": no address";
    return nullptr;
}

}  // namespace console
