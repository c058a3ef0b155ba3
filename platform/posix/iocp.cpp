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

// Waking a sleeping thread costs two context switches, far more than handing over a packet, so
// a port wakes one only when the packets outnumber the threads already on their way to them, and
// a thread that comes back for more takes a waiting packet without sleeping. Sleepers are woken
// last in, first out, so that the same few threads stay warm and the rest stay asleep.
class CompletionPort : public Object {
public:
    void Queue(const Packet &packet)
    {
        Sleeper *wake = nullptr;
        {
            const std::unique_lock<std::mutex> guard = Lock();
            packets_.push_back(packet);
            wake = PickSleeper();
        }
        if (wake)
            wake->ready.notify_one();
    }

    // Waits at most `milliseconds` (INFINITE: no limit) for the next packet.
    bool Take(Packet &packet, DWORD milliseconds)
    {
        Sleeper &self = ThisSleeper();
        std::unique_lock<std::mutex> guard = Lock();
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            if (!packets_.empty()) {
                Pop(packet);
                Sleeper *wake = PickSleeper();
                guard.unlock();
                if (wake)
                    wake->ready.notify_one();
                return true;
            }
            if (milliseconds == 0)
                return false;
            self.woken = false;
            self.next = sleepers_;
            sleepers_ = &self;
            if (milliseconds == INFINITE) {
                self.ready.wait(guard, [&] { return self.woken; });
            } else if (!self.ready.wait_until(guard, deadline, [&] { return self.woken; })) {
                Unlink(self);
                return false;
            }
            --wakesPending_;
        }
    }

private:
    struct Sleeper {
        std::condition_variable ready;
        bool woken = false;  // under the port's lock
        Sleeper *next = nullptr;
    };

    // A thread sleeps on one port at a time, so one record per thread serves them all. Records
    // are pooled and never freed: a waker notifies after it has let go of the lock, possibly
    // when the sleeper has already left (and its thread ended), which then costs only a
    // spurious wake-up of the record's next owner.
    struct SleeperHolder {
        Sleeper *sleeper = nullptr;
        ~SleeperHolder()
        {
            if (!sleeper)
                return;
            std::lock_guard<std::mutex> guard(FreeLock());
            sleeper->next = FreeSleepers();
            FreeSleepers() = sleeper;
        }
    };

    static std::mutex &FreeLock()
    {
        static std::mutex *lock = new std::mutex;  // never destroyed: threads may outlive main
        return *lock;
    }

    static Sleeper *&FreeSleepers()
    {
        static Sleeper *head = nullptr;
        return head;
    }

    static Sleeper &ThisSleeper()
    {
        thread_local SleeperHolder holder;
        if (!holder.sleeper) {
            {
                std::lock_guard<std::mutex> guard(FreeLock());
                if ((holder.sleeper = FreeSleepers()))
                    FreeSleepers() = holder.sleeper->next;
            }
            if (!holder.sleeper)
                holder.sleeper = new Sleeper;
            holder.sleeper->next = nullptr;
        }
        return *holder.sleeper;
    }

    // Under the lock: a sleeper to wake when the packets outnumber the threads already coming
    // for them (marked woken and unlinked), or null.
    Sleeper *PickSleeper()
    {
        if (!sleepers_ || packets_.size() <= static_cast<size_t>(wakesPending_))
            return nullptr;
        Sleeper *sleeper = sleepers_;
        sleepers_ = sleeper->next;
        sleeper->next = nullptr;
        sleeper->woken = true;
        ++wakesPending_;
        return sleeper;
    }

    void Unlink(Sleeper &self)
    {
        for (Sleeper **link = &sleepers_; *link; link = &(*link)->next) {
            if (*link == &self) {
                *link = self.next;
                self.next = nullptr;
                return;
            }
        }
    }

    void Pop(Packet &packet)
    {
        packet = packets_.front();
        packets_.pop_front();
    }

    // The port's lock is held for a few instructions at a time but taken by every producer and
    // consumer: a short spin before blocking keeps contention from costing futex calls.
    std::unique_lock<std::mutex> Lock()
    {
        for (int i = 0; i < 100; ++i) {
            if (lock_.try_lock())
                return std::unique_lock<std::mutex>(lock_, std::adopt_lock);
            CpuRelax();
        }
        return std::unique_lock<std::mutex>(lock_);
    }

    static void CpuRelax()
    {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    std::mutex lock_;
    std::deque<Packet> packets_;
    Sleeper *sleepers_ = nullptr;  // the last to sleep first
    int wakesPending_ = 0;         // woken sleepers that have not come back for a packet yet
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
