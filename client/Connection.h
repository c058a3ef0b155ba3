// One client connection to a data server: connect, check the greeting, send requests, read
// and open the sealed responses. Plain blocking Winsock calls; every blocking step (connecting,
// the greeting, each response) must end within the time-out, else the socket is closed under
// it and the step fails as timed out.
//
// Thread safety: a connection is used by one thread at a time.
#pragma once

#include "client/Response.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace pelmora {

// What went wrong, one kind per failure that a caller reports differently.
enum class ClientFailure {
    HostNotFound,
    ConnectionRefused,
    TimedOut,
    NotAGreeting,
    RefusedByServer,  // the server sent its refusal text and closed
    DigestMismatch,
    ConnectionLost,      // closed or reset before a whole record arrived
    UnexpectedResponse,  // a sound record that does not answer the request
    SocketError,
};

class CClientError : public std::runtime_error {
public:
    CClientError(ClientFailure failure, const std::string &text)
        : std::runtime_error(text), m_failure(failure)
    {
    }
    ClientFailure Failure() const { return m_failure; }

private:
    ClientFailure m_failure;
};

// The text a data server sends before closing a connection whose framing is wrong.
inline constexpr char REFUSAL_TEXT[] = "Invalid connection! Go away!\r\n";
constexpr size_t REFUSAL_TEXT_LENGTH = sizeof(REFUSAL_TEXT) - 1;

class CQueryConnection {
public:
    // Resolves `host`, connects to the first of its addresses that accepts, and reads the
    // greeting. Throws CClientError.
    CQueryConnection(const std::string &host, WORD port, DWORD timeoutMs);
    ~CQueryConnection();
    CQueryConnection(const CQueryConnection &) = delete;
    CQueryConnection &operator=(const CQueryConnection &) = delete;

    // Sends one request and returns its response, deciphered, digest-checked and decoded.
    // Throws CClientError; the connection is unusable afterwards.
    MeteoReading Ask(const QueryData &query);

    // "host:port" as given, for messages.
    const std::string &Peer() const { return m_peer; }

private:
    class CWatchdog;

    void Release();
    void Connect(const std::string &host, WORD port);
    void ReadGreeting();
    void Send(const QueryData &query);
    // Reads until `size` bytes have come or the stream ends; returns the count. Stops early,
    // returning what it has, once `plausible` rejects the bytes so far.
    size_t Receive(BYTE *buffer, size_t size, bool (*plausible)(const BYTE *, size_t));
    [[noreturn]] void Fail(ClientFailure failure, const std::string &text);
    [[noreturn]] void FailSocketCall(const char *what, int error);

    std::string m_peer;
    DWORD m_timeoutMs;
    SOCKET m_socket = INVALID_SOCKET;
    bool m_winsockStarted = false;
    std::unique_ptr<CWatchdog> m_watchdog;
    CResponseReader m_reader;
};

}  // namespace pelmora
