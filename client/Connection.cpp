#include "client/Connection.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace pelmora {
namespace {

std::string SocketErrorText(int error)
{
    char text[256];
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, DWORD(error), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r' ||
                          text[length - 1] == '\n' || text[length - 1] == '.'))
        --length;
    char line[320];
    if (length == 0)
        std::snprintf(line, sizeof line, "error %d", error);
    else
        std::snprintf(line, sizeof line, "error %d: %.*s", error, int(length), text);
    return line;
}

const BYTE *GreetingBytes()
{
    static const MeteoResponse greeting = MakeGreeting();
    return reinterpret_cast<const BYTE *>(&greeting);
}

bool IsRefusalPrefix(const BYTE *bytes, size_t count)
{
    return count <= REFUSAL_TEXT_LENGTH && std::memcmp(bytes, REFUSAL_TEXT, count) == 0;
}

bool IsRefusal(const BYTE *bytes, size_t count)
{
    return count == REFUSAL_TEXT_LENGTH && IsRefusalPrefix(bytes, count);
}

// While the greeting comes in, any byte that belongs neither to it nor to the refusal text
// shows that the peer is something else; no need to wait for 304 bytes that may never come.
bool MayBeGreetingOrRefusal(const BYTE *bytes, size_t count)
{
    return std::memcmp(bytes, GreetingBytes(), count) == 0 || IsRefusalPrefix(bytes, count);
}

std::string Seconds(DWORD ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

}  // namespace

// Closes the armed socket when a step outlasts its time; closing is what releases a thread
// blocked in connect or recv on every platform we build for.
class CQueryConnection::CWatchdog {
public:
    CWatchdog()
    {
        InitializeCriticalSection(&m_lock);
        m_changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (m_changed)
            m_thread = CreateThread(nullptr, 0, &CWatchdog::Run, this, 0, nullptr);
    }

    ~CWatchdog()
    {
        if (m_thread) {
            EnterCriticalSection(&m_lock);
            m_quit = true;
            LeaveCriticalSection(&m_lock);
            SetEvent(m_changed);
            WaitForSingleObject(m_thread, INFINITE);
            CloseHandle(m_thread);
        }
        if (m_changed)
            CloseHandle(m_changed);
        DeleteCriticalSection(&m_lock);
    }

    bool Running() const { return m_thread != nullptr; }

    // From now on `socket` is closed unless Disarm comes within `timeoutMs`.
    void Arm(SOCKET socket, DWORD timeoutMs)
    {
        EnterCriticalSection(&m_lock);
        m_socket = socket;
        m_deadline = GetTickCount64() + timeoutMs;
        m_armed = true;
        LeaveCriticalSection(&m_lock);
        SetEvent(m_changed);
    }

    // Ends the step; true when its time had run out and the socket has been closed.
    bool Disarm()
    {
        EnterCriticalSection(&m_lock);
        m_armed = false;
        const bool fired = m_fired;
        m_fired = false;
        LeaveCriticalSection(&m_lock);
        return fired;
    }

private:
    static DWORD WINAPI Run(LPVOID self)
    {
        static_cast<CWatchdog *>(self)->Watch();
        return 0;
    }

    void Watch()
    {
        for (;;) {
            DWORD wait = INFINITE;
            EnterCriticalSection(&m_lock);
            if (m_quit) {
                LeaveCriticalSection(&m_lock);
                return;
            }
            if (m_armed) {
                const ULONGLONG now = GetTickCount64();
                if (now >= m_deadline) {
                    closesocket(m_socket);
                    m_armed = false;
                    m_fired = true;
                } else {
                    wait = DWORD(m_deadline - now);
                }
            }
            LeaveCriticalSection(&m_lock);
            WaitForSingleObject(m_changed, wait);
        }
    }

    CRITICAL_SECTION m_lock;
    HANDLE m_changed = nullptr;  // auto-reset: the state above changed
    HANDLE m_thread = nullptr;
    SOCKET m_socket = INVALID_SOCKET;
    ULONGLONG m_deadline = 0;
    bool m_armed = false;
    bool m_fired = false;
    bool m_quit = false;
};

CQueryConnection::CQueryConnection(const std::string &host, WORD port, DWORD timeoutMs)
    : m_peer(host + ":" + std::to_string(port)), m_timeoutMs(timeoutMs)
{
    WSADATA data;
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0)
        throw CClientError(ClientFailure::SocketError,
                           "cannot start Winsock: " + SocketErrorText(started));
    m_winsockStarted = true;
    try {
        m_watchdog = std::make_unique<CWatchdog>();
        if (!m_watchdog->Running())
            Fail(ClientFailure::SocketError,
                 "cannot start the time-out thread: " + SocketErrorText(int(GetLastError())));
        Connect(host, port);
        ReadGreeting();
    } catch (...) {
        Release();
        throw;
    }
}

CQueryConnection::~CQueryConnection() { Release(); }

void CQueryConnection::Release()
{
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
    m_watchdog.reset();
    if (m_winsockStarted) {
        WSACleanup();
        m_winsockStarted = false;
    }
}

void CQueryConnection::Fail(ClientFailure failure, const std::string &text)
{
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
    throw CClientError(failure, text);
}

void CQueryConnection::FailSocketCall(const char *what, int error)
{
    if (error == WSAECONNRESET || error == WSAECONNABORTED)
        Fail(ClientFailure::ConnectionLost, m_peer + " reset the connection");
    Fail(ClientFailure::SocketError,
         std::string(what) + " on " + m_peer + " failed: " + SocketErrorText(error));
}

void CQueryConnection::Connect(const std::string &host, WORD port)
{
    ADDRINFOA hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[8];
    std::snprintf(service, sizeof service, "%u", unsigned(port));
    PADDRINFOA addresses = nullptr;
    if (getaddrinfo(host.c_str(), service, &hints, &addresses) != 0 || !addresses)
        Fail(ClientFailure::HostNotFound, "cannot find the host " + host);

    // One time limit for the whole attempt, whatever the number of addresses ("localhost"
    // may be ::1 first while the server listens on IPv4 only).
    const ULONGLONG deadline = GetTickCount64() + m_timeoutMs;
    int lastError = WSAECONNREFUSED;
    for (PADDRINFOA a = addresses; a && m_socket == INVALID_SOCKET; a = a->ai_next) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        SOCKET s = WSASocketA(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0, 0);
        if (s == INVALID_SOCKET) {
            lastError = WSAGetLastError();
            continue;
        }
        m_watchdog->Arm(s, DWORD(deadline - now));
        const int result = connect(s, a->ai_addr, int(a->ai_addrlen));
        const int error = result == 0 ? 0 : WSAGetLastError();
        if (m_watchdog->Disarm()) {
            freeaddrinfo(addresses);
            Fail(ClientFailure::TimedOut,
                 "no connection to " + m_peer + " within " + Seconds(m_timeoutMs));
        }
        if (result == 0) {
            m_socket = s;
        } else {
            closesocket(s);
            lastError = error;
        }
    }
    freeaddrinfo(addresses);
    if (m_socket != INVALID_SOCKET)
        return;
    if (GetTickCount64() >= deadline)
        Fail(ClientFailure::TimedOut,
             "no connection to " + m_peer + " within " + Seconds(m_timeoutMs));
    if (lastError == WSAECONNREFUSED)
        Fail(ClientFailure::ConnectionRefused,
             "cannot connect to " + m_peer + ": connection refused");
    FailSocketCall("connect", lastError);
}

size_t CQueryConnection::Receive(BYTE *buffer, size_t size, bool (*plausible)(const BYTE *, size_t))
{
    size_t received = 0;
    int error = 0;
    m_watchdog->Arm(m_socket, m_timeoutMs);
    while (received < size) {
        const int n =
            recv(m_socket, reinterpret_cast<char *>(buffer + received), int(size - received), 0);
        if (n < 0)
            error = WSAGetLastError();
        if (n <= 0)
            break;
        received += size_t(n);
        if (plausible && !plausible(buffer, received))
            break;
    }
    if (m_watchdog->Disarm()) {
        m_socket = INVALID_SOCKET;  // the watchdog closed it
        Fail(ClientFailure::TimedOut,
             m_peer + " sent no whole record within " + Seconds(m_timeoutMs));
    }
    if (error != 0)
        FailSocketCall("recv", error);
    return received;
}

void CQueryConnection::ReadGreeting()
{
    BYTE record[METEO_RESPONSE_SIZE];
    const size_t received = Receive(record, sizeof record, &MayBeGreetingOrRefusal);
    if (received == sizeof record && IsGreeting(record))
        return;
    if (IsRefusal(record, received))
        Fail(ClientFailure::RefusedByServer, m_peer + " refused the connection");
    if (MayBeGreetingOrRefusal(record, received))
        Fail(ClientFailure::NotAGreeting, m_peer + " closed the connection after " +
                                              std::to_string(received) + " bytes of its greeting");
    Fail(ClientFailure::NotAGreeting,
         m_peer + " is not a Pelmora data server: its first bytes are not a greeting");
}

void CQueryConnection::Send(const QueryData &query)
{
    m_watchdog->Arm(m_socket, m_timeoutMs);
    const int sent = send(m_socket, reinterpret_cast<const char *>(&query), int(sizeof query), 0);
    const int error = sent == int(sizeof query) ? 0 : WSAGetLastError();
    if (m_watchdog->Disarm()) {
        m_socket = INVALID_SOCKET;
        Fail(ClientFailure::TimedOut, m_peer + " took no request within " + Seconds(m_timeoutMs));
    }
    if (error != 0)
        FailSocketCall("send", error);
}

MeteoReading CQueryConnection::Ask(const QueryData &query)
{
    if (m_socket == INVALID_SOCKET)
        throw CClientError(ClientFailure::ConnectionLost,
                           "the connection to " + m_peer + " is closed");
    Send(query);

    BYTE record[METEO_RESPONSE_SIZE];
    const size_t received = Receive(record, sizeof record, nullptr);
    if (IsRefusal(record, received))
        Fail(ClientFailure::RefusedByServer,
             m_peer + " refused the request and closed the connection");
    if (received < sizeof record)
        Fail(ClientFailure::ConnectionLost,
             m_peer + " closed the connection after " + std::to_string(received) + " of " +
                 std::to_string(sizeof record) + " bytes of a response");

    MeteoReading reading;
    if (!m_reader.Read(record, reading))
        Fail(ClientFailure::DigestMismatch,
             "a response from " + m_peer +
                 " failed its digest check (damaged, or not sealed with our key)");
    const LONG station = LONG(query.nStationNumber);
    if (reading.nSize != LONG(METEO_RESPONSE_SIZE) || reading.nVersion != METEO_RESPONSE_VERSION ||
        (reading.nStation != station && reading.nStation != STATION_NOT_CONFIGURED &&
         reading.nStation != SLOT_OUT_OF_RANGE && reading.nStation != WINDOW_EMPTY))
        Fail(ClientFailure::UnexpectedResponse,
             m_peer + " answered with a record that does not fit the request (size " +
                 std::to_string(reading.nSize) + ", version " + std::to_string(reading.nVersion) +
                 ", station " + std::to_string(reading.nStation) + ")");
    return reading;
}

}  // namespace pelmora
