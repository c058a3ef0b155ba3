#include "iocp.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "errors.h"
#include "handle.h"

namespace pelmora::platform {

namespace {
struct Packet {
    ULONG_PTR key;
    DWORD bytes;
    LPOVERLAPPED overlapped;
    DWORD error;
};
}  // namespace

class CompletionPort : public Object {
public:
    void Queue(const Packet &packet)
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            packets_.push_back(packet);
        }
        ready_.notify_one();
    }

    // Waits at most `milliseconds` (INFINITE: no limit) for the next packet.
    bool Take(Packet &packet, DWORD milliseconds)
    {
        std::unique_lock<std::mutex> guard(lock_);
        auto available = [this] { return !packets_.empty(); };
        if (milliseconds == INFINITE) {
            ready_.wait(guard, available);
        } else {
            auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
            if (!ready_.wait_until(guard, deadline, available))
                return false;
        }
        packet = packets_.front();
        packets_.pop_front();
        return true;
    }

private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Packet> packets_;
};

void QueueCompletion(CompletionPort &port, ULONG_PTR key, DWORD bytes, LPOVERLAPPED overlapped,
                     DWORD error)
{
    port.Queue(Packet{key, bytes, overlapped, error});
}

}  // namespace pelmora::platform

HANDLE CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                              ULONG_PTR CompletionKey, DWORD)
{
    std::shared_ptr<pelmora::platform::CompletionPort> port;
    bool created = false;
    if (ExistingCompletionPort) {
        port = pelmora::platform::LookupHandleAs<pelmora::platform::CompletionPort>(
            ExistingCompletionPort);
        if (!port) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    } else {
        port = std::make_shared<pelmora::platform::CompletionPort>();
        created = true;
    }
    if (FileHandle != INVALID_HANDLE_VALUE) {
        if (!pelmora::platform::AssociateSocket(FileHandle, port, CompletionKey))
            return nullptr;  // a port made here dies with `port`
    } else if (!created) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return created ? pelmora::platform::InsertHandle(port) : ExistingCompletionPort;
}

BOOL PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                ULONG_PTR dwCompletionKey, LPOVERLAPPED lpOverlapped)
{
    auto port =
        pelmora::platform::LookupHandleAs<pelmora::platform::CompletionPort>(CompletionPort);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    pelmora::platform::QueueCompletion(*port, dwCompletionKey, dwNumberOfBytesTransferred,
                                       lpOverlapped, 0);
    return TRUE;
}

BOOL GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                               PULONG_PTR lpCompletionKey, LPOVERLAPPED *lpOverlapped,
                               DWORD dwMilliseconds)
{
    if (!lpNumberOfBytesTransferred || !lpCompletionKey || !lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpOverlapped = nullptr;
    // The lookup's reference keeps the port alive while this thread waits, even if its handle
    // is closed meanwhile.
    auto port =
        pelmora::platform::LookupHandleAs<pelmora::platform::CompletionPort>(CompletionPort);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    pelmora::platform::Packet packet;
    if (!port->Take(packet, dwMilliseconds)) {
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    *lpNumberOfBytesTransferred = packet.bytes;
    *lpCompletionKey = packet.key;
    *lpOverlapped = packet.overlapped;
    if (packet.error != 0) {
        SetLastError(packet.error);
        return FALSE;
    }
    return TRUE;
}
