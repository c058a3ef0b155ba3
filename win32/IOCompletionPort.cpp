#include "win32/IOCompletionPort.h"

#include "win32/Exception.h"

namespace Tarnwick {
namespace Win32 {

CIOCompletionPort::CIOCompletionPort(DWORD maxConcurrentThreads)
    : m_iocp(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, maxConcurrentThreads))
{
    if (m_iocp == nullptr)
        throw CWin32Exception("CIOCompletionPort::CIOCompletionPort() - CreateIoCompletionPort",
                              GetLastError());
}

CIOCompletionPort::~CIOCompletionPort() { CloseHandle(m_iocp); }

void CIOCompletionPort::AssociateDevice(HANDLE hDevice, ULONG_PTR completionKey)
{
    if (CreateIoCompletionPort(hDevice, m_iocp, completionKey, 0) != m_iocp)
        throw CWin32Exception("CIOCompletionPort::AssociateDevice() - CreateIoCompletionPort",
                              GetLastError());
}

void CIOCompletionPort::PostStatus(ULONG_PTR completionKey, DWORD dwNumBytes,
                                   OVERLAPPED *pOverlapped)
{
    if (!PostQueuedCompletionStatus(m_iocp, dwNumBytes, completionKey, pOverlapped))
        throw CWin32Exception("CIOCompletionPort::PostStatus() - PostQueuedCompletionStatus",
                              GetLastError());
}

void CIOCompletionPort::GetStatus(ULONG_PTR *pCompletionKey, DWORD *pdwNumBytes,
                                  OVERLAPPED **ppOverlapped)
{
    if (!Dequeue(pCompletionKey, pdwNumBytes, ppOverlapped, INFINITE))
        throw CWin32Exception("CIOCompletionPort::GetStatus() - GetQueuedCompletionStatus",
                              WAIT_TIMEOUT);
}

bool CIOCompletionPort::GetStatus(ULONG_PTR *pCompletionKey, DWORD *pdwNumBytes,
                                  OVERLAPPED **ppOverlapped, DWORD timeoutMillis)
{
    return Dequeue(pCompletionKey, pdwNumBytes, ppOverlapped, timeoutMillis);
}

bool CIOCompletionPort::Dequeue(ULONG_PTR *pCompletionKey, DWORD *pdwNumBytes,
                                OVERLAPPED **ppOverlapped, DWORD timeoutMillis)
{
    // Locals, so that a time-out leaves the caller's values alone.
    ULONG_PTR completionKey = 0;
    DWORD dwNumBytes = 0;
    OVERLAPPED *pOverlapped = nullptr;
    const BOOL ok =
        GetQueuedCompletionStatus(m_iocp, &dwNumBytes, &completionKey, &pOverlapped, timeoutMillis);
    const DWORD lastError = ok ? 0 : GetLastError();
    // A failure with an OVERLAPPED is a dequeued packet of a failed operation: it is handed out
    // like any other before the error is thrown.
    if (ok || pOverlapped != nullptr) {
        *pCompletionKey = completionKey;
        *pdwNumBytes = dwNumBytes;
        *ppOverlapped = pOverlapped;
    }
    if (ok)
        return true;
    if (pOverlapped == nullptr && lastError == WAIT_TIMEOUT)
        return false;
    throw CWin32Exception("CIOCompletionPort::GetStatus() - GetQueuedCompletionStatus", lastError);
}

}  // namespace Win32
}  // namespace Tarnwick
