// A TCP server on one I/O completion port: the server's own thread accepts connections, a fixed
// set of worker threads issues and completes every overlapped read and write, and each event of
// a connection's life reaches the application through the virtual notifications below.
//
// Connections are pooled, reference-counted Socket objects; data moves in CIOBuffers from the
// server itself, which is their allocator. Read and Write only queue a packet: all socket calls
// are made on the worker threads.
//
// Locks, always in this order: the server lock (socket lists), a socket's lock (open state,
// closing, starting every read and write, the write queue), the allocator's lock (buffer lists).
//
// Owner's calling order: construct; Start(); StartAcceptingConnections();
// StopAcceptingConnections() (may alternate with Start...); AwaitShutdown(); destroy.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/IOBuffer.h"
#include "win32/IOCompletionPort.h"
#include "win32/IntrusiveList.h"
#include "win32/OrderedBufferQueue.h"
#include "win32/Thread.h"
#include "win32/UsesWinsock.h"

namespace Tarnwick {
namespace Win32 {

class CSocketServer : public CThread, private CUsesWinsock, public CIOBuffer::Allocator {
public:
    class Socket;
    class WorkerThread;

    // Operation codes kept in a buffer while it is queued or in flight.
    enum IoOperation : DWORD {
        IO_ZeroByteRead_Request = 0,
        IO_ZeroByteRead_Completed = 1,
        IO_Read_Request = 2,
        IO_Read_Completed = 3,
        IO_Write_Request = 4,
        IO_Write_Completed = 5,
        IO_Read_Request_NoPreview = 6,
        IO_Read_Completed_NoPreview = 7,
        IO_Write_Request_NoPreview = 8,
        IO_Write_Completed_NoPreview = 9,
    };

    // The operation a connection error belongs to.
    enum ConnectionErrorSource : DWORD {
        ZeroByteReadError = 0,
        ReadError = 1,
        WriteError = 2,
    };

    // listenAddress in host byte order (0 = all interfaces); maxPooledSockets and
    // maxPooledBuffers 0 = no limit; workerThreadCount 0 = twice the processors.
    CSocketServer(unsigned long listenAddress, unsigned short listenPort, DWORD maxPooledSockets,
                  DWORD maxPooledBuffers, DWORD bufferSize, DWORD workerThreadCount,
                  bool useSequencing, bool zeroByteReads);
    virtual ~CSocketServer();

    void StartAcceptingConnections();
    void StopAcceptingConnections();
    bool IsAccepting() const { return m_listeningSocket.load() != INVALID_SOCKET; }

    // Stops accepting, closes every connection abortively and tells the threads to end.
    void BeginShutdown();
    // BeginShutdown, waits for the server thread, releases the connections and the buffers.
    void AwaitShutdown();

    DWORD GetWorkerThreadCount() const { return m_workerThreadCount; }
    size_t GetActiveSocketCount();
    size_t GetFreeSocketCount();

protected:
    // Re-queue operations for preview overrides that took over a buffer's operation.
    void RequeueRead(Socket *pSocket, CIOBuffer *pBuffer);
    void RequeueReadCompleted(Socket *pSocket, CIOBuffer *pBuffer);
    void RequeueWriteCompleted(Socket *pSocket, CIOBuffer *pBuffer);
    void RequeueWrite(Socket *pSocket, CIOBuffer *pBuffer);

    // Virtual operations, in slot order after the destructor.
    int Run() override;
    virtual void WriteCompleted(Socket *pSocket, CIOBuffer *pBuffer);
    virtual WorkerThread *MakeWorkerThread(CIOCompletionPort &iocp);
    virtual SOCKET CreateListeningSocket(unsigned long address, unsigned short port);

    virtual void OnStartAcceptingConnections() {}
    virtual void OnStopAcceptingConnections() {}
    virtual void OnShutdownInitiated() {}
    virtual void OnShutdownComplete() {}
    virtual void OnConnectionCreated() {}
    virtual void OnConnectionEstablished(Socket *pSocket, CIOBuffer *pAddress) = 0;
    virtual void OnConnectionClientClose(Socket *) {}
    virtual void OnConnectionReset(Socket *) {}
    virtual bool OnConnectionClosing(Socket *) { return false; }
    virtual void OnConnectionClosed(Socket *) {}
    virtual void OnConnectionDestroyed() {}
    virtual void OnConnectionError(ConnectionErrorSource, Socket *, CIOBuffer *, DWORD) {}
    virtual void OnError(const std::string &) {}
    virtual void OnThreadCreated() {}
    virtual void OnThreadBeginProcessing() {}
    virtual void OnThreadEndProcessing() {}
    virtual void OnThreadDestroyed() {}
    // Returning false takes the buffer's operation over: the override re-queues it later.
    virtual bool PreviewReadRequest(Socket *, CIOBuffer *&) { return true; }
    virtual bool PreviewReadCompleted(Socket *, CIOBuffer *&) { return true; }
    virtual bool PreviewWriteRequest(Socket *, CIOBuffer *&) { return true; }
    virtual bool PreviewWriteCompleted(Socket *, CIOBuffer *&) { return true; }
    virtual bool PreviewSocketShutdown(Socket *, int) { return true; }
    virtual bool PreviewSocketClose(Socket *) { return true; }
    virtual void ReadCompleted(Socket *pSocket, CIOBuffer *pBuffer) = 0;

private:
    friend class Socket;
    friend class WorkerThread;

    Socket *AcquireSocket(SOCKET theSocket);
    void ReleaseSocket(Socket *pSocket);
    void ReleaseSockets();
    void DestroySocket(Socket *pSocket);
    void PostIoOperation(Socket *pSocket, CIOBuffer *pBuffer, DWORD operation);
    void StopWorkerThreads();

    // The worker's handling of one completion.
    void ProcessCompletion(Socket *pSocket, CIOBuffer *pBuffer, DWORD dwIoSize, bool error);
    void IssueRead(Socket *pSocket, CIOBuffer *pBuffer);
    void IssueZeroByteRead(Socket *pSocket, CIOBuffer *pBuffer);
    void IssueWrite(Socket *pSocket, CIOBuffer *pBuffer);
    void ReadCompletedStep(Socket *pSocket, CIOBuffer *&pBuffer, DWORD dwIoSize, bool error);
    void WriteDone(Socket *pSocket);
    void ClientClose(Socket *pSocket);
    void ReportConnectionError(ConnectionErrorSource source, Socket *pSocket, CIOBuffer *pBuffer,
                               DWORD lastError);

    const DWORD m_workerThreadCount;
    CCriticalSection m_listManipulationSection;
    CIntrusiveList<Socket> m_activeList;
    CIntrusiveList<Socket> m_freeList;
    std::atomic<SOCKET> m_listeningSocket;
    CIOCompletionPort m_iocp;
    CManualResetEvent m_shutdownEvent;
    CManualResetEvent m_acceptConnectionsEvent;
    const unsigned long m_address;
    const unsigned short m_port;
    const DWORD m_maxPooledSockets;
    const bool m_useSequencing;
    const bool m_zeroByteReads;
    // The server thread's workers, in the order made; touched by the server thread only.
    std::vector<WorkerThread *> m_workers;
};

class CSocketServer::Socket {
public:
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // Queues a read with the given buffer (or a new one). False, or a throw with
    // throwOnFailure, when the socket is closed.
    bool Read(CIOBuffer *pBuffer = nullptr, bool throwOnFailure = false);
    // Queues a write. False, or a throw with throwOnFailure, when the socket is closed or its
    // sending side is shut down.
    bool Write(const char *pData, DWORD dataLength, bool throwOnFailure = false);
    bool Write(CIOBuffer *pBuffer, bool throwOnFailure = false);

    // SD_RECEIVE, SD_SEND or SD_BOTH; the sending side waits for outstanding writes.
    void Shutdown(int how = SD_BOTH);
    void Close();
    void AbortiveClose();
    bool IsConnected(int how = SD_BOTH) const;

    void AddRef();
    void Release();

    void *GetServerData() const { return m_serverData.load(); }
    void *SetServerData(void *pData) { return m_serverData.exchange(pData); }
    void *GetUserData() const { return m_userData.load(); }
    void *SetUserData(void *pData) { return m_userData.exchange(pData); }

private:
    friend class CSocketServer;
    friend class CIntrusiveList<Socket>;

    struct SequenceData {
        explicit SequenceData(CCriticalSection &lock) : outOfSequenceWrites(lock) {}
        void Reset();

        std::atomic<DWORD> issuedReads{0};
        std::atomic<DWORD> writeRequests{0};
        std::atomic<DWORD> requeuedReadCompletions{0};
        std::atomic<DWORD> requeuedWriteRequests{0};
        COrderedBufferQueue outOfSequenceWrites;
    };

    Socket(CSocketServer &server, SOCKET theSocket, bool useSequencing);
    ~Socket();

    void Attach(SOCKET theSocket);
    bool IsOpen() const { return m_socket.load() != INVALID_SOCKET; }
    void InternalClose();
    // Start an overlapped receive or send on the open handle; 0 when started (or pending),
    // otherwise the error, WSAENOTSOCK once the socket is closed.
    DWORD StartReceive(CIOBuffer *pBuffer);
    DWORD StartSend(CIOBuffer *pBuffer);
    DWORD NextIssuedReadNumber();
    DWORD NextWriteRequestNumber();

    CIntrusiveList<Socket>::ListLink m_listLink;
    std::atomic<void *> m_userData;
    std::atomic<void *> m_serverData;
    CCriticalSection m_crit;
    CSocketServer &m_server;
    std::atomic<SOCKET> m_socket;
    std::atomic<LONG> m_ref;
    std::atomic<LONG> m_outstandingWrites;
    std::atomic<bool> m_readShutdown;
    std::atomic<bool> m_writeShutdown;
    bool m_closing;  // guarded by m_crit
    std::atomic<LONG> m_clientClosed;
    std::unique_ptr<SequenceData> m_pSequenceData;
};

class CSocketServer::WorkerThread : public CThread {
public:
    WorkerThread(CSocketServer &server, CIOCompletionPort &iocp);
    virtual ~WorkerThread();

protected:
    // The handling of one dequeued packet.
    virtual void ProcessCompletion(Socket *pSocket, CIOBuffer *pBuffer, DWORD dwIoSize, bool error);

private:
    int Run() override;

    CSocketServer &m_server;
    CIOCompletionPort &m_iocp;
};

}  // namespace Win32
}  // namespace Tarnwick
