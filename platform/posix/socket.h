// Winsock: sockets, addresses and overlapped I/O.
//
// A SOCKET is a pointer-sized handle in the same table as every other HANDLE. It names a socket
// object: the descriptor plus its pending overlapped operations. Casting a SOCKET to HANDLE for
// CreateIoCompletionPort therefore names the same object, as on Windows.
//
// Overlapped WSARecv/WSASend are carried out by one reactor thread when epoll reports the socket
// ready; each finished operation queues a packet (key, byte count, OVERLAPPED*, error) on the
// port the socket is associated with. Operations of one direction complete in the order they
// were started. Errors are Winsock numbers (WSAGetLastError); errno never leaks out.
//
// Addresses are the system's own (sockaddr, sockaddr_in, in_addr), as are htons/htonl/ntohs/
// ntohl, inet_ntoa, inet_addr and getaddrinfo, and the option names (SOL_SOCKET, SO_LINGER,
// ...). The functions below are overloads on SOCKET of the system's descriptor calls of the
// same name.
//
// All functions may be called from any thread.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "errors.h"
#include "types.h"

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET (static_cast<SOCKET>(~static_cast<UINT_PTR>(0)))
#define SOCKET_ERROR (-1)

typedef int *LPINT;
typedef unsigned int GROUP;
typedef OVERLAPPED WSAOVERLAPPED;
typedef OVERLAPPED *LPWSAOVERLAPPED;

typedef struct sockaddr SOCKADDR;
typedef struct sockaddr *PSOCKADDR;
typedef struct sockaddr *LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN;
typedef struct sockaddr_in *PSOCKADDR_IN;
typedef struct sockaddr_in *LPSOCKADDR_IN;
typedef struct in_addr IN_ADDR;
typedef struct linger LINGER;

// Name resolution is the system's getaddrinfo/freeaddrinfo, as in Winsock's ws2tcpip.h; its
// failures are the resolver's own codes (nonzero), not Winsock numbers.
typedef struct addrinfo ADDRINFOA;
typedef struct addrinfo *PADDRINFOA;

#ifndef MAKEWORD
#define MAKEWORD(low, high)                       \
    (static_cast<WORD>((static_cast<BYTE>(low)) | \
                       (static_cast<WORD>(static_cast<BYTE>(high)) << 8)))
#endif
#ifndef LOBYTE
#define LOBYTE(w) (static_cast<BYTE>(static_cast<WORD>(w) & 0xff))
#endif
#ifndef HIBYTE
#define HIBYTE(w) (static_cast<BYTE>((static_cast<WORD>(w) >> 8) & 0xff))
#endif

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char *lpVendorInfo;
} WSADATA, *LPWSADATA;

typedef struct _WSABUF {
    ULONG len;
    CHAR *buf;
} WSABUF, *LPWSABUF;

// Only ever passed as null here; declared so that the Winsock signatures compile.
typedef struct _WSAPROTOCOL_INFOA WSAPROTOCOL_INFOA, *LPWSAPROTOCOL_INFOA;
typedef struct _QualityOfService QOS, *LPQOS;

typedef int(CALLBACK *LPCONDITIONPROC)(LPWSABUF lpCallerId, LPWSABUF lpCallerData, LPQOS lpSQOS,
                                       LPQOS lpGQOS, LPWSABUF lpCalleeId, LPWSABUF lpCalleeData,
                                       GROUP *g, DWORD_PTR dwCallbackData);
typedef void(CALLBACK *LPWSAOVERLAPPED_COMPLETION_ROUTINE)(DWORD dwError, DWORD cbTransferred,
                                                           LPWSAOVERLAPPED lpOverlapped,
                                                           DWORD dwFlags);

#define WSA_FLAG_OVERLAPPED 0x01

#define SD_RECEIVE 0x00
#define SD_SEND 0x01
#define SD_BOTH 0x02

// Winsock start-up is counted; every WSAStartup needs one WSACleanup. WSAStartup returns its
// error instead of setting the last error. Sockets can only be made while started.
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int iError);

// A new socket; overlapped operations are always possible, WSA_FLAG_OVERLAPPED or not.
// Only null protocol records and group 0 are supported.
SOCKET WSASocketA(int af, int type, int protocol, LPWSAPROTOCOL_INFOA lpProtocolInfo, GROUP g,
                  DWORD dwFlags);

// Closes the socket handle at once. Its pending overlapped operations complete as aborted
// (ERROR_OPERATION_ABORTED, 995) on the associated port; a thread blocked in WSAAccept, connect,
// send or recv on it returns with WSAEINTR. The descriptor (and so its port) is released before
// closesocket returns, once such threads have left it.
int closesocket(SOCKET s);

int bind(SOCKET s, const struct sockaddr *name, int namelen);
int listen(SOCKET s, int backlog);
int connect(SOCKET s, const struct sockaddr *name, int namelen);

// Blocks until a connection arrives; the condition function must be null. A thread blocked here
// is released by closesocket of the listening socket (INVALID_SOCKET, WSAEINTR).
SOCKET WSAAccept(SOCKET s, struct sockaddr *addr, LPINT addrlen, LPCONDITIONPROC lpfnCondition,
                 DWORD_PTR dwCallbackData);
SOCKET accept(SOCKET s, struct sockaddr *addr, int *addrlen);

// Overlapped receive into one buffer (dwBufferCount must be 1), completing with whatever bytes
// are available (0 = the peer has closed its side; a zero-length buffer completes with 0 once
// data or the end is there). Returns 0 when it completed at once, SOCKET_ERROR with
// WSA_IO_PENDING when it will complete later; either way a completion packet follows on the
// socket's port. Any other error means that it failed at once and no packet follows.
// With a null lpOverlapped it is a plain blocking receive. Completion routines are not supported.
int WSARecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd,
            LPDWORD lpFlags, LPWSAOVERLAPPED lpOverlapped,
            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);

// Overlapped send of one buffer; completes only when every byte was sent or the send failed.
// Return values as for WSARecv.
int WSASend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent,
            DWORD dwFlags, LPWSAOVERLAPPED lpOverlapped,
            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);

// SD_RECEIVE, SD_SEND or SD_BOTH.
int shutdown(SOCKET s, int how);

// Options are passed through with the system's names and structures (struct linger, int).
int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char *optval, int *optlen);
int getpeername(SOCKET s, struct sockaddr *name, int *namelen);
int getsockname(SOCKET s, struct sockaddr *name, int *namelen);

namespace pelmora::platform {
// Plain blocking send and receive. A send sends every byte unless it fails.
int SocketSend(SOCKET s, const char *buf, int len, int flags);
int SocketRecv(SOCKET s, char *buf, int len, int flags);
}  // namespace pelmora::platform

// The system's send/recv take a size_t length, Winsock's an int; the length is a template
// parameter so that both int and sizeof() lengths choose these overloads and never the
// descriptor calls.
template <class Length>
inline int send(SOCKET s, const char *buf, Length len, int flags)
{
    return pelmora::platform::SocketSend(s, buf, static_cast<int>(len), flags);
}

template <class Length>
inline int recv(SOCKET s, char *buf, Length len, int flags)
{
    return pelmora::platform::SocketRecv(s, buf, static_cast<int>(len), flags);
}
