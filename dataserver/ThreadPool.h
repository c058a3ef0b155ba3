// The application's thread pool: its workers greet new clients, answer each request message
// with one sealed response record, and tidy up when a connection closes.
//
// DoDispatch is called on the socket server's threads; Process runs on pool workers, several
// at once, also for one connection. A connection's messages are answered in the order the
// framing numbered them, whichever worker takes them first.
#pragma once

#include <set>

#include "dataserver/Safer.h"
#include "platform/win32.h"
#include "win32/CriticalSection.h"
#include "win32/IOBuffer.h"
#include "win32/OrderedBufferQueue.h"
#include "win32/SocketServer.h"
#include "win32/ThreadPool.h"

// The worker side's per-connection object, kept in the socket's user-data word. Counted: the
// user-data word holds one reference, and a worker answering a message holds another while it
// uses the queue, so that a close on another thread cannot free it under that worker.
class CClientConnection {
public:
    explicit CClientConnection(Tarnwick::Win32::CSocketServer::Socket *pSocket);
    CClientConnection(const CClientConnection &) = delete;
    CClientConnection &operator=(const CClientConnection &) = delete;

    void AddRef();
    void Release();

    Tarnwick::Win32::CSocketServer::Socket *GetSocket() const { return m_pSocket; }

    Tarnwick::Win32::CCriticalSection m_criticalSection;
    // Message buffers waiting for their predecessors; guarded by m_criticalSection.
    Tarnwick::Win32::COrderedBufferQueue messageQueue;

private:
    // Releases the messages still waiting.
    ~CClientConnection();

    Tarnwick::Win32::CSocketServer::Socket *const m_pSocket;
    std::atomic<LONG> m_ref;
};

class CThreadPool : public Tarnwick::Win32::CThreadPool {
public:
    using Socket = Tarnwick::Win32::CSocketServer::Socket;
    using CIOBuffer = Tarnwick::Win32::CIOBuffer;

    // Dispatch event codes: the byte count of a pool item.
    enum DispatchEvent : DWORD {
        ConnectionEstablished = 0,
        ConnectionClosing = 1,
        ConnectionClosed = 2,
        ReadCompleted = 3,
    };

    CThreadPool(DWORD initialThreadCount, DWORD minThreadCount, DWORD maxThreadCount,
                DWORD maxIdleThreadCount, DWORD maintenanceIntervalMs, DWORD dispatchWaitMs,
                DWORD saturatedDispatchWaitMs, DWORD readsPerConnection, bool orderedMessages,
                bool chunkedResponses);
    // Stops the workers while this object is whole: they call its notifications.
    ~CThreadPool() override;

    // Queues one event of a connection; the item holds a reference to the socket and, when
    // given, to the buffer until a worker has handled it.
    void DoDispatch(Socket *pSocket, CIOBuffer *pBuffer, DWORD event);
    void DispatchConnectionEstablished(Socket *pSocket, CIOBuffer *pAddress);
    void DispatchConnectionClosing(Socket *pSocket);
    void DispatchConnectionClosed(Socket *pSocket);
    void DispatchReadCompleted(Socket *pSocket, CIOBuffer *pMessage);

    // After AwaitShutdown: drops the connection objects whose close event was never handled,
    // releasing their waiting messages. Must run while the socket server is still whole.
    void ReleaseConnections();

    // The connection bookkeeping of the workers.
    CClientConnection *AttachConnection(Socket *pSocket);
    // The socket's connection with a reference for the caller, or null.
    CClientConnection *AcquireConnection(Socket *pSocket);
    void DetachConnection(Socket *pSocket);

private:
    void OnThreadStarted() override;
    void OnThreadInitialised() override;
    void OnProcessingStarted() override;
    void OnReceivedMessage() override;
    void OnProcessingStopped() override;
    void OnThreadStopped() override;

    WorkerThread *MakeWorkerThread(Tarnwick::Win32::CIOCompletionPort &workPort,
                                   Tarnwick::Win32::CEvent &itemTaken,
                                   Tarnwick::Win32::CThreadPool &pool) override;

    const DWORD m_readsPerConnection;
    const bool m_orderedMessages;
    const bool m_chunkedResponses;

    // Guards the user-data words' exchange against a worker taking a reference, and the set of
    // connections whose close has not been handled yet.
    Tarnwick::Win32::CCriticalSection m_connectionsLock;
    std::set<CClientConnection *> m_connections;
};

class CThreadPoolWorkerThread : public Tarnwick::Win32::CThreadPool::WorkerThread {
public:
    CThreadPoolWorkerThread(Tarnwick::Win32::CIOCompletionPort &workPort,
                            Tarnwick::Win32::CEvent &itemTaken, CThreadPool &pool,
                            DWORD readsPerConnection, bool orderedMessages, bool chunkedResponses);
    ~CThreadPoolWorkerThread() override;

private:
    using Socket = Tarnwick::Win32::CSocketServer::Socket;
    using CIOBuffer = Tarnwick::Win32::CIOBuffer;

    bool Initialise() override;
    void Process(ULONG_PTR completionKey, DWORD dwNumBytes, OVERLAPPED *pOverlapped) override;
    void Shutdown() override;

    void SendGreeting(Socket *pSocket);
    void ProcessMessage(Socket *pSocket, CIOBuffer *pBuffer);
    // Sends the sealed response to one message, or nothing when it gets none.
    void AnswerMessage(Socket *pSocket, const CIOBuffer *pMessage, const pelmora::SaferKey &key);

    CThreadPool &m_pool;
    const DWORD m_readsPerConnection;
    const bool m_orderedMessages;
    const bool m_chunkedResponses;
    // The connection whose message is being answered, or null.
    CClientConnection *m_pConnection = nullptr;
};
