#include "win32/Socket.h"

namespace Tarnwick {
namespace Win32 {

CSocket::Exception::Exception(const std::string &where, DWORD error) : CWin32Exception(where, error)
{
}

CSocket::Exception::~Exception() = default;

CSocket::CSocket() : m_socket(INVALID_SOCKET) {}

CSocket::CSocket(SOCKET theSocket) : m_socket(theSocket)
{
    if (m_socket == INVALID_SOCKET)
        throw Exception("CSocket::CSocket()", WSAENOTSOCK);
}

CSocket::~CSocket()
{
    if (m_socket != INVALID_SOCKET) {
        try {
            AbortiveClose();
        } catch (...) {
        }
    }
}

SOCKET CSocket::Detach()
{
    const SOCKET theSocket = m_socket;
    m_socket = INVALID_SOCKET;
    return theSocket;
}

void CSocket::Bind(const SOCKADDR_IN &address)
{
    if (bind(m_socket, reinterpret_cast<const SOCKADDR *>(&address), sizeof(SOCKADDR_IN)) ==
        SOCKET_ERROR)
        throw Exception("CSocket::Bind()", static_cast<DWORD>(WSAGetLastError()));
}

void CSocket::Listen(int backlog)
{
    if (listen(m_socket, backlog) == SOCKET_ERROR)
        throw Exception("CSocket::Listen()", static_cast<DWORD>(WSAGetLastError()));
}

void CSocket::Shutdown(int how)
{
    if (shutdown(m_socket, how) == SOCKET_ERROR)
        throw Exception(" CSocket::Shutdown()", static_cast<DWORD>(WSAGetLastError()));
}

void CSocket::Close()
{
    const SOCKET theSocket = m_socket;
    // Forgotten even when closing fails: the handle is not to be closed a second time.
    m_socket = INVALID_SOCKET;
    if (closesocket(theSocket) == SOCKET_ERROR)
        throw Exception("CSocket::Close()", static_cast<DWORD>(WSAGetLastError()));
}

void CSocket::AbortiveClose()
{
    LINGER lingerStruct;
    lingerStruct.l_onoff = 1;
    lingerStruct.l_linger = 0;
    if (setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&lingerStruct),
                   sizeof(lingerStruct)) == SOCKET_ERROR)
        throw Exception("CSocket::AbortiveClose()", static_cast<DWORD>(WSAGetLastError()));
    Close();
}

SOCKET CSocket::CreateListeningSocket(unsigned long listenAddress, unsigned short listenPort)
{
    const SOCKET theSocket = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (theSocket == INVALID_SOCKET)
        throw CWin32Exception("CSocket::CreateListeningSocket()",
                              static_cast<DWORD>(WSAGetLastError()));

    // Closes the socket abortively should binding or listening fail.
    CSocket listeningSocket(theSocket);

    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(listenPort);
    address.sin_addr.s_addr = htonl(static_cast<uint32_t>(listenAddress));
    listeningSocket.Bind(address);
    listeningSocket.Listen(5);

    return listeningSocket.Detach();
}

}  // namespace Win32
}  // namespace Tarnwick
