#include "socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "handle.h"
#include "iocp.h"

namespace pelmora::platform {
namespace {

// Errors after which the connection is gone for good. Linux reports them once and then shows
// a closed stream; Winsock keeps failing every later operation with them, so the socket
// remembers the first one.
bool IsBrokenConnection(int err)
{
    return err == ECONNRESET || err == ECONNABORTED || err == ETIMEDOUT || err == ENETRESET;
}

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// An overlapped operation waiting for its socket. Perform() is always called with the socket's
// lock held; it returns false while the operation cannot proceed yet, true once it has finished
// (error 0: `transferred` bytes moved; otherwise the errno that ended it).
class PendingOperation {
public:
    PendingOperation(LPOVERLAPPED overlapped, char *buffer, DWORD length)
        : overlapped(overlapped), buffer(buffer), length(length)
    {
    }
    virtual ~PendingOperation() = default;
    virtual bool Perform(int fd) = 0;

    LPOVERLAPPED overlapped;
    char *buffer;
    DWORD length;
    DWORD transferred = 0;
    int error = 0;
};

// Completes with whatever is available: 1 to `length` bytes, or 0 when the peer has closed.
class ReceiveOperation : public PendingOperation {
public:
    using PendingOperation::PendingOperation;

    bool Perform(int fd) override
    {
        for (;;) {
            ssize_t n;
            if (length == 0) {
                // A zero-length receive waits for data (or the end) without taking any.
                char probe;
                n = ::recvfrom(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT, nullptr, nullptr);
                if (n > 0)
                    n = 0;
            } else {
                n = ::recvfrom(fd, buffer, length, MSG_DONTWAIT, nullptr, nullptr);
            }
            if (n >= 0) {
                transferred = static_cast<DWORD>(n);
                return true;
            }
            if (errno == EINTR)
                continue;
            if (WouldBlock(errno))
                return false;
            error = errno;
            return true;
        }
    }
};

// Completes only when every byte is sent or the send failed.
class SendOperation : public PendingOperation {
public:
    using PendingOperation::PendingOperation;

    bool Perform(int fd) override
    {
        while (transferred < length) {
            ssize_t n = ::sendto(fd, buffer + transferred, length - transferred,
                                 MSG_DONTWAIT | MSG_NOSIGNAL, nullptr, 0);
            if (n >= 0) {
                transferred += static_cast<DWORD>(n);
                continue;
            }
            if (errno == EINTR)
                continue;
            if (WouldBlock(errno))
                return false;
            error = errno;
            return true;
        }
        return true;
    }
};

class SocketObject;

// The one epoll thread. Sockets are registered once, edge-triggered, for both directions, when
// they are associated with a port; an event makes the socket run its pending operations.
// Events name a socket by a registration number, never by pointer or descriptor, so a late
// event for a closed socket finds nothing.
class Reactor {
public:
    static Reactor &Instance()
    {
        static Reactor *reactor = new Reactor;  // never destroyed: its thread runs to the end
        return *reactor;
    }

    // Returns the registration number, or 0 with errno set.
    uint64_t Register(const std::shared_ptr<SocketObject> &socket, int fd)
    {
        if (epoll_ < 0) {
            errno = startError_;
            return 0;
        }
        uint64_t id;
        {
            std::lock_guard<std::mutex> guard(lock_);
            id = nextId_++;
            sockets_.emplace(id, socket);
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.u64 = id;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
            int err = errno;
            std::lock_guard<std::mutex> guard(lock_);
            sockets_.erase(id);
            errno = err;
            return 0;
        }
        return id;
    }

    // Must be called before the descriptor is closed.
    void Unregister(uint64_t id, int fd)
    {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        std::lock_guard<std::mutex> guard(lock_);
        sockets_.erase(id);
    }

private:
    Reactor()
    {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) {
            startError_ = errno;
            return;
        }
        std::thread([this] { Run(); }).detach();
    }

    void Run();

    int epoll_ = -1;
    int startError_ = 0;
    std::mutex lock_;
    std::unordered_map<uint64_t, std::weak_ptr<SocketObject>> sockets_;
    uint64_t nextId_ = 1;
};

// The object a SOCKET names.
class SocketObject : public Object {
public:
    explicit SocketObject(int fd) : fd_(fd) {}

    ~SocketObject() override
    {
        // Only reached without closesocket when the handle was closed some other way.
        if (fd_ >= 0) {
            if (registration_ != 0)
                Reactor::Instance().Unregister(registration_, fd_);
            ::close(fd_);
        }
    }

    // Runs the pending operations after the reactor saw the socket ready.
    void OnReady()
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_)
            return;
        // Reads pending when this side shut down receiving are not ended by that shut-down
        // (Linux would end them as if the peer had closed); Winsock ends them when the peer
        // closes or resets the connection, or at closesocket.
        if (!receiveShutdown_)
            RunQueue(reads_);
        else
            EndReadsIfPeerGone();
        RunQueue(writes_);
    }

    bool Associate(const std::shared_ptr<CompletionPort> &port, ULONG_PTR key)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        if (port_) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        uint64_t id = Reactor::Instance().Register(
            std::static_pointer_cast<SocketObject>(shared_from_this()), fd_);
        if (id == 0) {
            SetLastError(Win32ErrorFromErrno(errno));
            return false;
        }
        registration_ = id;
        port_ = port;
        key_ = key;
        return true;
    }

    // Starts an overlapped operation: tried at once when nothing of its direction is waiting,
    // queued otherwise. Same results as WSARecv/WSASend.
    int Start(std::unique_ptr<PendingOperation> operation, bool isRead, LPDWORD transferred)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) {
            WSASetLastError(WSAENOTSOCK);
            return SOCKET_ERROR;
        }
        if (!port_) {
            WSASetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
        if (isRead && receiveShutdown_) {
            WSASetLastError(WSAESHUTDOWN);
            return SOCKET_ERROR;
        }
        std::deque<std::unique_ptr<PendingOperation>> &queue = isRead ? reads_ : writes_;
        if (queue.empty() && Attempt(*operation)) {
            if (operation->error != 0) {
                WSASetLastError(static_cast<int>(WinsockErrorFromErrno(operation->error)));
                return SOCKET_ERROR;
            }
            Complete(*operation);
            if (transferred)
                *transferred = operation->transferred;
            return 0;
        }
        queue.push_back(std::move(operation));
        WSASetLastError(WSA_IO_PENDING);
        return SOCKET_ERROR;
    }

    // closesocket: aborts what is pending, leaves epoll, wakes the threads blocked on the
    // descriptor and releases it once they have left, so that its port is free again when
    // closesocket returns, as on Windows. A thread that does not leave within the bound keeps
    // the descriptor and releases it itself.
    void Close()
    {
        std::unique_lock<std::mutex> guard(lock_);
        if (closed_)
            return;
        closed_ = true;
        Abort(reads_);
        Abort(writes_);
        if (registration_ != 0) {
            Reactor::Instance().Unregister(registration_, fd_);
            registration_ = 0;
        }
        if (blockedUsers_ != 0) {
            // A closed descriptor would not wake them on Linux; a shut-down one does.
            ::shutdown(fd_, SHUT_RDWR);
            usersGone_.wait_for(guard, std::chrono::seconds(5),
                                [this] { return blockedUsers_ == 0; });
        }
        if (blockedUsers_ == 0)
            ReleaseDescriptor();
    }

    int Shutdown(int how)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) {
            WSASetLastError(WSAENOTSOCK);
            return SOCKET_ERROR;
        }
        if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) {
            WSASetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
        if (::shutdown(fd_, how) != 0) {
            // Linux refuses a shut-down once the connection has ended; Winsock takes another
            // one on a socket that was shut down before.
            if (!(errno == ENOTCONN && shutDown_)) {
                WSASetLastError(static_cast<int>(WinsockErrorFromErrno(errno)));
                return SOCKET_ERROR;
            }
        }
        shutDown_ = true;
        if (how != SD_SEND) {
            receiveShutdown_ = true;
            // The peer may have gone before: its event has been seen already.
            EndReadsIfPeerGone();
        }
        return 0;
    }

    // Runs a short, non-blocking call on the descriptor under the lock. The call returns 0 or
    // -1 with errno set.
    template <class Call>
    int WithDescriptor(Call call)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) {
            WSASetLastError(WSAENOTSOCK);
            return SOCKET_ERROR;
        }
        if (call(fd_) != 0) {
            WSASetLastError(static_cast<int>(WinsockErrorFromErrno(errno)));
            return SOCKET_ERROR;
        }
        return 0;
    }

    // A call that may block (accept, connect, plain send and receive) runs without the lock,
    // between BeginBlocking and EndBlocking, which keep the descriptor open meanwhile.
    // BeginBlocking returns -1 (last error set) when the socket is closed or broken.
    int BeginBlocking()
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) {
            WSASetLastError(WSAENOTSOCK);
            return -1;
        }
        if (broken_ != 0) {
            WSASetLastError(static_cast<int>(WinsockErrorFromErrno(broken_)));
            return -1;
        }
        ++blockedUsers_;
        return fd_;
    }

    // Ends a blocking call and returns the Winsock error for `err` (the call's errno; 0 when it
    // succeeded); a call during which closesocket ran reports WSAEINTR. `transfer` tells a send or
    // receive, whose failure may break the connection, from an accept or connect.
    int EndBlocking(int err, bool transfer)
    {
        std::lock_guard<std::mutex> guard(lock_);
        --blockedUsers_;
        bool closedMeanwhile = closed_;
        if (closed_ && blockedUsers_ == 0) {
            ReleaseDescriptor();
            usersGone_.notify_all();
        }
        // Whatever the call saw, closesocket interrupted it (a receive woken by the shut-down
        // would otherwise report the end of the stream).
        if (closedMeanwhile)
            return WSAEINTR;
        if (err == 0)
            return 0;
        if (transfer && IsBrokenConnection(err) && broken_ == 0)
            broken_ = err;
        return static_cast<int>(WinsockErrorFromErrno(err));
    }

private:
    using Queue = std::deque<std::unique_ptr<PendingOperation>>;

    bool Attempt(PendingOperation &operation)
    {
        if (broken_ != 0) {
            operation.error = broken_;
            return true;
        }
        if (!operation.Perform(fd_))
            return false;
        if (IsBrokenConnection(operation.error))
            broken_ = operation.error;
        return true;
    }

    void RunQueue(Queue &queue)
    {
        while (!queue.empty() && Attempt(*queue.front())) {
            Complete(*queue.front());
            queue.pop_front();
        }
    }

    // Completions are queued under the socket's lock, so that packets of one direction reach
    // the port in the order their operations were started.
    void Complete(const PendingOperation &operation)
    {
        DWORD error = 0;
        if (operation.error == ECANCELED)
            error = ERROR_OPERATION_ABORTED;
        else if (operation.error != 0)
            error = ERROR_NETNAME_DELETED;  // how a failed connection completes on Windows
        QueueCompletion(*port_, key_, operation.transferred, operation.overlapped, error);
    }

    // After this side's receive shut-down: ends the pending reads once the peer has closed
    // (0 bytes) or reset (an error) the connection. Linux shows both shut-downs alike, so the
    // peer's part is read from the connection's state.
    void EndReadsIfPeerGone()
    {
        if (reads_.empty())
            return;
        int err = 0;
        socklen_t length = sizeof err;
        if (broken_ == 0 && ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &length) == 0 &&
            IsBrokenConnection(err))
            broken_ = err;
        if (broken_ == 0 && !PeerClosed())
            return;
        for (auto &operation : reads_) {
            operation->error = broken_;
            operation->transferred = 0;
            Complete(*operation);
        }
        reads_.clear();
    }

    // True once the peer's end of stream has arrived (or the connection is gone).
    bool PeerClosed() const
    {
        tcp_info info{};
        socklen_t length = sizeof info;
        if (::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
            return false;
        switch (info.tcpi_state) {
        case TCP_CLOSE_WAIT:
        case TCP_LAST_ACK:
        case TCP_CLOSING:
        case TCP_TIME_WAIT:
        case TCP_CLOSE: return true;
        default: return false;
        }
    }

    void Abort(Queue &queue)
    {
        for (auto &operation : queue) {
            operation->error = ECANCELED;
            Complete(*operation);
        }
        queue.clear();
    }

    void ReleaseDescriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    std::mutex lock_;
    std::condition_variable usersGone_;
    int fd_;
    bool closed_ = false;
    bool receiveShutdown_ = false;
    bool shutDown_ = false;  // a shut-down of either side has succeeded
    int broken_ = 0;
    int blockedUsers_ = 0;
    uint64_t registration_ = 0;
    std::shared_ptr<CompletionPort> port_;
    ULONG_PTR key_ = 0;
    Queue reads_;
    Queue writes_;
};

void Reactor::Run()
{
    epoll_event events[64];
    for (;;) {
        int count = epoll_wait(epoll_, events, 64, -1);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "socket reactor: epoll_wait failed (errno %d)\n", errno);
            return;
        }
        for (int i = 0; i < count; ++i) {
            std::shared_ptr<SocketObject> socket;
            {
                std::lock_guard<std::mutex> guard(lock_);
                auto it = sockets_.find(events[i].data.u64);
                if (it != sockets_.end())
                    socket = it->second.lock();
            }
            if (socket)
                socket->OnReady();
        }
    }
}

std::mutex startupLock;
int startupCount = 0;

bool IsStarted()
{
    std::lock_guard<std::mutex> guard(startupLock);
    return startupCount > 0;
}

std::shared_ptr<SocketObject> LookupSocket(SOCKET s)
{
    auto socket = LookupHandleAs<SocketObject>(reinterpret_cast<HANDLE>(s));
    if (!socket)
        WSASetLastError(WSAENOTSOCK);
    return socket;
}

SOCKET InsertSocket(int fd)
{
    return reinterpret_cast<SOCKET>(InsertHandle(std::make_shared<SocketObject>(fd)));
}

// Waits for a connect that a signal interrupted, and returns its errno (0 when connected).
int FinishInterruptedConnect(int fd)
{
    pollfd waiter{fd, POLLOUT, 0};
    while (::poll(&waiter, 1, -1) < 0) {
        if (errno != EINTR)
            return errno;
    }
    int err = 0;
    socklen_t length = sizeof(err);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        return errno;
    return err;
}

}  // namespace

bool AssociateSocket(HANDLE socket, const std::shared_ptr<CompletionPort> &port, ULONG_PTR key)
{
    auto object = LookupHandleAs<SocketObject>(socket);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return object->Associate(port, key);
}

int SocketSend(SOCKET s, const char *buf, int len, int flags)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    if (len < 0 || (len > 0 && !buf)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    int fd = socket->BeginBlocking();
    if (fd < 0)
        return SOCKET_ERROR;
    int sent = 0;
    int err = 0;
    while (sent < len) {
        ssize_t n = ::sendto(fd, buf + sent, static_cast<size_t>(len - sent), flags | MSG_NOSIGNAL,
                             nullptr, 0);
        if (n >= 0) {
            sent += static_cast<int>(n);
        } else if (errno != EINTR) {
            err = errno;
            break;
        }
    }
    int result = socket->EndBlocking(err, true);
    if (result != 0) {
        WSASetLastError(result);
        return SOCKET_ERROR;
    }
    return sent;
}

int SocketRecv(SOCKET s, char *buf, int len, int flags)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    if (len < 0 || (len > 0 && !buf)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    int fd = socket->BeginBlocking();
    if (fd < 0)
        return SOCKET_ERROR;
    ssize_t n;
    do {
        n = ::recvfrom(fd, buf, static_cast<size_t>(len), flags, nullptr, nullptr);
    } while (n < 0 && errno == EINTR);
    int result = socket->EndBlocking(n < 0 ? errno : 0, true);
    if (result != 0) {
        WSASetLastError(result);
        return SOCKET_ERROR;
    }
    return static_cast<int>(n);
}

}  // namespace pelmora::platform

using pelmora::platform::LookupSocket;

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData)
{
    if (!lpWSAData)
        return WSAEFAULT;
    BYTE major = LOBYTE(wVersionRequested);
    BYTE minor = HIBYTE(wVersionRequested);
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    if (major > 2 || (major == 2 && minor > 2)) {
        major = 2;
        minor = 2;
    }
    lpWSAData->wVersion = MAKEWORD(major, minor);
    lpWSAData->wHighVersion = MAKEWORD(2, 2);
    std::snprintf(lpWSAData->szDescription, sizeof(lpWSAData->szDescription), "%s", "WinSock 2.0");
    std::snprintf(lpWSAData->szSystemStatus, sizeof(lpWSAData->szSystemStatus), "%s", "Running");
    lpWSAData->iMaxSockets = 0;
    lpWSAData->iMaxUdpDg = 0;
    lpWSAData->lpVendorInfo = nullptr;
    std::lock_guard<std::mutex> guard(pelmora::platform::startupLock);
    ++pelmora::platform::startupCount;
    return 0;
}

int WSACleanup()
{
    std::lock_guard<std::mutex> guard(pelmora::platform::startupLock);
    if (pelmora::platform::startupCount == 0) {
        WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    --pelmora::platform::startupCount;
    return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }

void WSASetLastError(int iError) { SetLastError(static_cast<DWORD>(iError)); }

SOCKET WSASocketA(int af, int type, int protocol, LPWSAPROTOCOL_INFOA lpProtocolInfo, GROUP g,
                  DWORD)
{
    if (!pelmora::platform::IsStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    if (lpProtocolInfo || g != 0) {
        WSASetLastError(WSAEINVAL);
        return INVALID_SOCKET;
    }
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        WSASetLastError(static_cast<int>(pelmora::platform::WinsockErrorFromErrno(errno)));
        return INVALID_SOCKET;
    }
    return pelmora::platform::InsertSocket(fd);
}

int closesocket(SOCKET s)
{
    auto socket = LookupSocket(s);
    if (!socket || !pelmora::platform::RemoveHandle(reinterpret_cast<HANDLE>(s))) {
        WSASetLastError(WSAENOTSOCK);  // not a socket, or closed by another thread meanwhile
        return SOCKET_ERROR;
    }
    socket->Close();
    return 0;
}

int bind(SOCKET s, const struct sockaddr *name, int namelen)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    if (!name || namelen < 0) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    return socket->WithDescriptor([&](int fd) {
        // Windows lets a listener take a port that connections, or their TIME_WAIT, still use
        // as long as no other socket listens on it; Linux needs SO_REUSEADDR for that.
        int type = 0;
        socklen_t typeLength = sizeof type;
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_STREAM) {
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        }
        return ::bind(fd, name, static_cast<socklen_t>(namelen));
    });
}

int listen(SOCKET s, int backlog)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    return socket->WithDescriptor([&](int fd) { return ::listen(fd, backlog); });
}

int connect(SOCKET s, const struct sockaddr *name, int namelen)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    if (!name || namelen < 0) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    int fd = socket->BeginBlocking();
    if (fd < 0)
        return SOCKET_ERROR;
    int err = 0;
    if (::connect(fd, name, static_cast<socklen_t>(namelen)) != 0) {
        err = errno;
        if (err == EINTR)
            err = pelmora::platform::FinishInterruptedConnect(fd);
    }
    int result = socket->EndBlocking(err, false);
    if (result != 0) {
        WSASetLastError(result);
        return SOCKET_ERROR;
    }
    return 0;
}

SOCKET WSAAccept(SOCKET s, struct sockaddr *addr, LPINT addrlen, LPCONDITIONPROC lpfnCondition,
                 DWORD_PTR)
{
    if (lpfnCondition) {
        WSASetLastError(WSAEOPNOTSUPP);
        return INVALID_SOCKET;
    }
    if (addr && (!addrlen || *addrlen < 0)) {
        WSASetLastError(WSAEFAULT);
        return INVALID_SOCKET;
    }
    auto socket = LookupSocket(s);
    if (!socket)
        return INVALID_SOCKET;
    int fd = socket->BeginBlocking();
    if (fd < 0)
        return INVALID_SOCKET;
    socklen_t capacity = addr ? static_cast<socklen_t>(*addrlen) : 0;
    socklen_t length = capacity;
    int accepted;
    do {
        accepted = ::accept4(fd, addr, addr ? &length : nullptr, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    int result = socket->EndBlocking(accepted < 0 ? errno : 0, false);
    if (result != 0) {
        if (accepted >= 0)
            ::close(accepted);
        WSASetLastError(result);
        return INVALID_SOCKET;
    }
    if (addr && length > capacity) {
        // Winsock refuses an address buffer that is too small instead of cutting the address.
        ::close(accepted);
        WSASetLastError(WSAEFAULT);
        return INVALID_SOCKET;
    }
    if (addr)
        *addrlen = static_cast<int>(length);
    return pelmora::platform::InsertSocket(accepted);
}

SOCKET accept(SOCKET s, struct sockaddr *addr, int *addrlen)
{
    return WSAAccept(s, addr, addrlen, nullptr, 0);
}

namespace {

bool CheckSingleBuffer(LPWSABUF lpBuffers, DWORD dwBufferCount,
                       LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    if (lpCompletionRoutine || dwBufferCount != 1) {
        WSASetLastError(WSAEOPNOTSUPP);
        return false;
    }
    if (!lpBuffers || (lpBuffers->len > 0 && !lpBuffers->buf) ||
        lpBuffers->len > static_cast<ULONG>(INT32_MAX)) {
        WSASetLastError(WSAEFAULT);
        return false;
    }
    return true;
}

}  // namespace

int WSARecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd,
            LPDWORD lpFlags, LPWSAOVERLAPPED lpOverlapped,
            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    if (!CheckSingleBuffer(lpBuffers, dwBufferCount, lpCompletionRoutine))
        return SOCKET_ERROR;
    if (!lpOverlapped) {
        int n = pelmora::platform::SocketRecv(s, lpBuffers->buf, static_cast<int>(lpBuffers->len),
                                              lpFlags ? static_cast<int>(*lpFlags) : 0);
        if (n < 0)
            return SOCKET_ERROR;
        if (lpNumberOfBytesRecvd)
            *lpNumberOfBytesRecvd = static_cast<DWORD>(n);
        return 0;
    }
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    if (lpFlags)
        *lpFlags = 0;
    return socket->Start(std::make_unique<pelmora::platform::ReceiveOperation>(
                             lpOverlapped, lpBuffers->buf, lpBuffers->len),
                         true, lpNumberOfBytesRecvd);
}

int WSASend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent,
            DWORD dwFlags, LPWSAOVERLAPPED lpOverlapped,
            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    if (!CheckSingleBuffer(lpBuffers, dwBufferCount, lpCompletionRoutine))
        return SOCKET_ERROR;
    if (!lpOverlapped) {
        int n = pelmora::platform::SocketSend(s, lpBuffers->buf, static_cast<int>(lpBuffers->len),
                                              static_cast<int>(dwFlags));
        if (n < 0)
            return SOCKET_ERROR;
        if (lpNumberOfBytesSent)
            *lpNumberOfBytesSent = static_cast<DWORD>(n);
        return 0;
    }
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    return socket->Start(std::make_unique<pelmora::platform::SendOperation>(
                             lpOverlapped, lpBuffers->buf, lpBuffers->len),
                         false, lpNumberOfBytesSent);
}

int shutdown(SOCKET s, int how)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    return socket->Shutdown(how);
}

int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    if (optlen < 0 || (optlen > 0 && !optval)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    return socket->WithDescriptor([&](int fd) {
        return ::setsockopt(fd, level, optname, static_cast<const void *>(optval),
                            static_cast<socklen_t>(optlen));
    });
}

int getsockopt(SOCKET s, int level, int optname, char *optval, int *optlen)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    if (!optval || !optlen || *optlen < 0) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    socklen_t length = static_cast<socklen_t>(*optlen);
    int result = socket->WithDescriptor([&](int fd) {
        return ::getsockopt(fd, level, optname, static_cast<void *>(optval), &length);
    });
    if (result == 0)
        *optlen = static_cast<int>(length);
    return result;
}

namespace {

template <class Call>
int GetAddress(SOCKET s, struct sockaddr *name, int *namelen, Call call)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < 0) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    socklen_t capacity = static_cast<socklen_t>(*namelen);
    socklen_t length = capacity;
    int result = socket->WithDescriptor([&](int fd) { return call(fd, name, &length); });
    if (result != 0)
        return result;
    if (length > capacity) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    *namelen = static_cast<int>(length);
    return 0;
}

}  // namespace

int getpeername(SOCKET s, struct sockaddr *name, int *namelen)
{
    return GetAddress(s, name, namelen, [](int fd, struct sockaddr *n, socklen_t *l) {
        return ::getpeername(fd, n, l);
    });
}

int getsockname(SOCKET s, struct sockaddr *name, int *namelen)
{
    return GetAddress(s, name, namelen, [](int fd, struct sockaddr *n, socklen_t *l) {
        return ::getsockname(fd, n, l);
    });
}
