// An owned socket handle, and the set-up of a listening socket. A CSocket is used by one thread
// at a time.
#pragma once

#include <string>

#include "platform/win32.h"
#include "win32/Exception.h"

namespace Tarnwick {
namespace Win32 {

class CSocket {
public:
    // Thrown by the operations of CSocket only; callers catch it as CException.
    class Exception : public CWin32Exception {
    public:
        Exception(const std::string &where, DWORD error);
        ~Exception() override;
    };

    // No handle.
    CSocket();
    // Takes ownership; INVALID_SOCKET throws Exception ("CSocket::CSocket()", WSAENOTSOCK).
    explicit CSocket(SOCKET theSocket);
    // Closes an owned handle abortively; failures are swallowed.
    ~CSocket();

    CSocket(const CSocket &) = delete;
    CSocket &operator=(const CSocket &) = delete;

    // Returns the handle and forgets it.
    SOCKET Detach();

    void Bind(const SOCKADDR_IN &address);
    void Listen(int backlog);
    // SD_RECEIVE, SD_SEND or SD_BOTH.
    void Shutdown(int how);
    void Close();
    // Linger on with a time of 0, so that closing resets the connection; then Close().
    void AbortiveClose();

    // An overlapped-capable IPv4 stream socket bound to `listenAddress` (host order; 0 = all
    // interfaces) and `listenPort`, listening with a backlog of 5. Address reuse is not asked
    // for, so a port already in use fails in Bind; the half-made socket is then closed.
    static SOCKET CreateListeningSocket(unsigned long listenAddress, unsigned short listenPort);

private:
    SOCKET m_socket;
};

}  // namespace Win32
}  // namespace Tarnwick
