// An I/O completion port. A packet carries a completion key (the object it is for; 0 is the
// stop order of the server engine and the thread pool), a byte count and an OVERLAPPED pointer.
// Any number of threads may wait in GetStatus at once; each packet goes to exactly one of them.
// PostStatus may be called from any thread.
#pragma once

#include "platform/win32.h"

namespace Tarnwick {
namespace Win32 {

class CIOCompletionPort {
public:
    // A new port not associated with any handle; 0 allows as many threads as processors.
    explicit CIOCompletionPort(DWORD maxConcurrentThreads);
    ~CIOCompletionPort();

    CIOCompletionPort(const CIOCompletionPort &) = delete;
    CIOCompletionPort &operator=(const CIOCompletionPort &) = delete;

    HANDLE GetHandle() const { return m_iocp; }

    // Completions of overlapped I/O on the handle (a socket) are queued with this key.
    void AssociateDevice(HANDLE hDevice, ULONG_PTR completionKey);

    void PostStatus(ULONG_PTR completionKey, DWORD dwNumBytes = 0,
                    OVERLAPPED *pOverlapped = nullptr);

    // Waits for the next packet. A packet of a failed overlapped operation fills in all three
    // values and then throws CWin32Exception with the operation's error.
    void GetStatus(ULONG_PTR *pCompletionKey, DWORD *pdwNumBytes, OVERLAPPED **ppOverlapped);

    // As above, but waits at most `timeoutMillis`: false on time-out, with the three values
    // left as they were.
    bool GetStatus(ULONG_PTR *pCompletionKey, DWORD *pdwNumBytes, OVERLAPPED **ppOverlapped,
                   DWORD timeoutMillis);

private:
    // True for a dequeued packet (throwing for a failed operation), false on time-out.
    bool Dequeue(ULONG_PTR *pCompletionKey, DWORD *pdwNumBytes, OVERLAPPED **ppOverlapped,
                 DWORD timeoutMillis);

    HANDLE m_iocp;
};

}  // namespace Win32
}  // namespace Tarnwick
