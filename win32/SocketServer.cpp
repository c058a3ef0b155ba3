#include "win32/SocketServer.h"

#ifndef _WIN32
#include <thread>
#endif

#include "win32/Exception.h"
#include "win32/Socket.h"

namespace Tarnwick {
namespace Win32 {

namespace {

DWORD ProcessorCount()
{
#ifdef _WIN32
    SYSTEM_INFO systemInfo;
    GetSystemInfo(&systemInfo);
    return systemInfo.dwNumberOfProcessors;
#else
    // The platform layer has no GetSystemInfo; the standard library knows the same number.
    const unsigned count = std::thread::hardware_concurrency();
    return count != 0 ? static_cast<DWORD>(count) : 1;
#endif
}

DWORD ResolveWorkerThreadCount(DWORD workerThreadCount)
{
    return workerThreadCount != 0 ? workerThreadCount : ProcessorCount() * 2;
}

std::string ExceptionText(const CException &e) { return e.GetWhere() + " - " + e.GetMessage(); }

#ifdef _WIN32
// An I/O cut short by closing its socket: ERROR_OPERATION_ABORTED on Windows, where Wine reports
// ERROR_HANDLES_CLOSED (676, missing from some headers) for the same.
bool IsClosedUnderneath(DWORD error)
{
    constexpr DWORD kHandlesClosed = 676;
    return error == ERROR_OPERATION_ABORTED || error == kHandlesClosed;
}
#endif

}  // namespace

///////////////////////////////////////////////////////////////////////////////////////////////
// CSocketServer

CSocketServer::CSocketServer(unsigned long listenAddress, unsigned short listenPort,
                             DWORD maxPooledSockets, DWORD maxPooledBuffers, DWORD bufferSize,
                             DWORD workerThreadCount, bool useSequencing, bool zeroByteReads)
    : CThread(),
      CUsesWinsock(),
      CIOBuffer::Allocator(bufferSize, maxPooledBuffers),
      m_workerThreadCount(ResolveWorkerThreadCount(workerThreadCount)),
      m_listeningSocket(INVALID_SOCKET),
      m_iocp(0),
      m_shutdownEvent(false),
      m_acceptConnectionsEvent(false),
      m_address(listenAddress),
      m_port(listenPort),
      m_maxPooledSockets(maxPooledSockets),
      m_useSequencing(useSequencing),
      m_zeroByteReads(zeroByteReads)
{
}

CSocketServer::~CSocketServer() = default;

void CSocketServer::StartAcceptingConnections()
{
    if (m_listeningSocket.load() != INVALID_SOCKET)
        return;
    OnStartAcceptingConnections();
    m_listeningSocket = CreateListeningSocket(m_address, m_port);
    m_acceptConnectionsEvent.Set();
}

void CSocketServer::StopAcceptingConnections()
{
    const SOCKET listeningSocket = m_listeningSocket.load();
    if (listeningSocket == INVALID_SOCKET)
        return;

    // Reset first: the accept that the close releases then fails without being reported.
    m_acceptConnectionsEvent.Reset();
    if (closesocket(listeningSocket) == SOCKET_ERROR)
        OnError("CSocketServer::StopAcceptingConnections() - closesocket - " +
                ErrorText(WSAGetLastError()));
    m_listeningSocket = INVALID_SOCKET;
    OnStopAcceptingConnections();
}

void CSocketServer::BeginShutdown()
{
    StopAcceptingConnections();
    {
        CCriticalSectionGuard lock(m_listManipulationSection);
        Socket *pSocket = m_activeList.Head();
        while (pSocket) {
            Socket *pNext = CIntrusiveList<Socket>::Next(pSocket);
            pSocket->AbortiveClose();
            pSocket = pNext;
        }
    }
    // Told before the event is set: once it is, the server thread may complete the shutdown.
    OnShutdownInitiated();
    m_shutdownEvent.Set();
}

void CSocketServer::AwaitShutdown()
{
    BeginShutdown();
    if (GetHandle() != INVALID_HANDLE_VALUE)
        Wait();
    ReleaseSockets();
    DestroyAllBuffers();
}

size_t CSocketServer::GetActiveSocketCount()
{
    CCriticalSectionGuard lock(m_listManipulationSection);
    return m_activeList.Count();
}

size_t CSocketServer::GetFreeSocketCount()
{
    CCriticalSectionGuard lock(m_listManipulationSection);
    return m_freeList.Count();
}

int CSocketServer::Run()
{
    bool acceptLoopFailed = false;
    try {
        m_workers.reserve(m_workerThreadCount);
        for (DWORD i = 0; i < m_workerThreadCount; ++i) {
            WorkerThread *pThread = MakeWorkerThread(m_iocp);
            m_workers.push_back(pThread);
            pThread->Start();
        }

        const HANDLE handles[2] = {m_shutdownEvent.GetHandle(),
                                   m_acceptConnectionsEvent.GetHandle()};
        for (;;) {
            if (m_shutdownEvent.Wait(0))
                break;

            const DWORD waitResult = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (waitResult == WAIT_OBJECT_0)
                break;
            if (waitResult != WAIT_OBJECT_0 + 1) {
                OnError("CSocketServer::Run() - WaitForMultipleObjects: " +
                        ErrorText(GetLastError()));
                continue;
            }

            while (!m_shutdownEvent.Wait(0) && m_acceptConnectionsEvent.Wait(0)) {
                CIOBuffer *pAddress = Allocate();
                int addressSize = static_cast<int>(pAddress->GetCapacity());
                const SOCKET listeningSocket = m_listeningSocket.load();
                const SOCKET acceptedSocket =
                    WSAAccept(listeningSocket, reinterpret_cast<sockaddr *>(pAddress->GetPayload()),
                              &addressSize, nullptr, 0);
                if (acceptedSocket == INVALID_SOCKET) {
                    const DWORD lastError = static_cast<DWORD>(WSAGetLastError());
                    // A socket closed by StopAcceptingConnections is not reported, even when
                    // accepting has started again on a new one in the meantime.
                    if (m_acceptConnectionsEvent.Wait(0) &&
                        m_listeningSocket.load() == listeningSocket)
                        OnError("CSocketServer::Run() - WSAAccept:" + ErrorText(lastError));
                    pAddress->Release();
                    continue;
                }
                pAddress->AddUsed(static_cast<DWORD>(addressSize));
                Socket *pSocket = AcquireSocket(acceptedSocket);
                OnConnectionEstablished(pSocket, pAddress);
                pSocket->Release();
                pAddress->Release();
            }
        }
    } catch (const CException &e) {
        OnError("CSocketServer::Run() - Exception: " + ExceptionText(e));
        acceptLoopFailed = true;
    } catch (...) {
        OnError("CSocketServer::Run() - Unexpected exception");
        acceptLoopFailed = true;
    }

    // Accepting has ended for good, but the connections already made keep their workers
    // until the owner shuts the server down; the workers report to this object, so they are
    // stopped before the shutdown is complete in every case.
    if (acceptLoopFailed) {
        try {
            m_shutdownEvent.Wait();
        } catch (...) {
        }
    }
    StopWorkerThreads();

    OnShutdownComplete();
    return 0;
}

void CSocketServer::StopWorkerThreads()
{
    for (size_t i = 0; i < m_workers.size(); ++i) {
        try {
            m_iocp.PostStatus(0, 0, nullptr);
        } catch (const CException &e) {
            OnError("CSocketServer::Run() - Exception: " + ExceptionText(e));
        }
    }
    for (WorkerThread *pThread : m_workers) {
        try {
            if (pThread->GetHandle() != INVALID_HANDLE_VALUE)
                pThread->Wait();
        } catch (const CException &e) {
            OnError("CSocketServer::Run() - Exception: " + ExceptionText(e));
        }
        delete pThread;
    }
    m_workers.clear();
}

CSocketServer::WorkerThread *CSocketServer::MakeWorkerThread(CIOCompletionPort &iocp)
{
    return new WorkerThread(*this, iocp);
}

SOCKET CSocketServer::CreateListeningSocket(unsigned long address, unsigned short port)
{
    return CSocket::CreateListeningSocket(address, port);
}

CSocketServer::Socket *CSocketServer::AcquireSocket(SOCKET theSocket)
{
    CCriticalSectionGuard lock(m_listManipulationSection);

    Socket *pSocket = m_freeList.PopHead();
    if (!pSocket) {
        pSocket = new Socket(*this, theSocket, m_useSequencing);
        OnConnectionCreated();
    } else {
        pSocket->Attach(theSocket);
        pSocket->AddRef();
    }

    m_activeList.PushHead(pSocket);
    m_iocp.AssociateDevice(reinterpret_cast<HANDLE>(theSocket),
                           reinterpret_cast<ULONG_PTR>(pSocket));
    return pSocket;
}

void CSocketServer::ReleaseSocket(Socket *pSocket)
{
    if (!pSocket)
        throw CException("CSocketServer::ReleaseSocket()", "pSocket is null");

    CCriticalSectionGuard lock(m_listManipulationSection);
    m_activeList.Erase(pSocket);
    if (m_maxPooledSockets == 0 || m_freeList.Count() < m_maxPooledSockets)
        m_freeList.PushHead(pSocket);
    else
        DestroySocket(pSocket);
}

void CSocketServer::ReleaseSockets()
{
    CCriticalSectionGuard lock(m_listManipulationSection);

    while (Socket *pSocket = m_activeList.Head()) {
        // A connection accepted while the shutdown began is still open: its handle is closed
        // (and its pending operations ended) before the object and the buffers go.
        pSocket->AbortiveClose();
        ReleaseSocket(pSocket);
    }
    while (Socket *pSocket = m_freeList.PopHead())
        DestroySocket(pSocket);

    if (!m_activeList.IsEmpty() || !m_freeList.IsEmpty())
        OnError("CSocketServer::ReleaseSockets() - Leaked sockets");
}

// With the server lock held, on a socket that is in no list.
void CSocketServer::DestroySocket(Socket *pSocket)
{
    delete pSocket;
    OnConnectionDestroyed();
}

void CSocketServer::PostIoOperation(Socket *pSocket, CIOBuffer *pBuffer, DWORD operation)
{
    pBuffer->SetOperation(operation);
    pBuffer->AddRef();
    pSocket->AddRef();
    m_iocp.PostStatus(reinterpret_cast<ULONG_PTR>(pSocket), 0, pBuffer->GetOverlapped());
}

void CSocketServer::RequeueRead(Socket *pSocket, CIOBuffer *pBuffer)
{
    PostIoOperation(pSocket, pBuffer, IO_Read_Request_NoPreview);
}

void CSocketServer::RequeueReadCompleted(Socket *pSocket, CIOBuffer *pBuffer)
{
    if (pSocket->m_pSequenceData)
        pBuffer->SetSequenceNumber(pSocket->m_pSequenceData->requeuedReadCompletions++);
    else
        pBuffer->SetSequenceNumber(0);
    PostIoOperation(pSocket, pBuffer, IO_Read_Completed_NoPreview);
}

void CSocketServer::RequeueWriteCompleted(Socket *pSocket, CIOBuffer *pBuffer)
{
    PostIoOperation(pSocket, pBuffer, IO_Write_Completed_NoPreview);
}

void CSocketServer::RequeueWrite(Socket *pSocket, CIOBuffer *pBuffer)
{
    if (pSocket->m_writeShutdown.load())
        return;
    ++pSocket->m_outstandingWrites;
    if (pSocket->m_pSequenceData)
        pBuffer->SetSequenceNumber(pSocket->m_pSequenceData->requeuedWriteRequests++);
    else
        pBuffer->SetSequenceNumber(0);
    PostIoOperation(pSocket, pBuffer, IO_Write_Request_NoPreview);
}

void CSocketServer::ProcessCompletion(Socket *pSocket, CIOBuffer *pBuffer, DWORD dwIoSize,
                                      bool error)
{
    // Without a buffer, or with a code of no operation, the packet's references are left
    // alone: whoever made such a packet did not take them the engine's way.
    if (!pBuffer) {
        OnError("CSocketServer::WorkerThread::Run() - Unexpected - pBuffer is 0");
        return;
    }

    switch (pBuffer->GetOperation()) {
    case IO_ZeroByteRead_Request: IssueZeroByteRead(pSocket, pBuffer); break;
    case IO_ZeroByteRead_Completed:
    case IO_Read_Request:
        if (PreviewReadRequest(pSocket, pBuffer))
            IssueRead(pSocket, pBuffer);
        break;
    case IO_Read_Completed: ReadCompletedStep(pSocket, pBuffer, dwIoSize, error); break;
    case IO_Write_Request:
        if (PreviewWriteRequest(pSocket, pBuffer))
            IssueWrite(pSocket, pBuffer);
        break;
    case IO_Write_Completed:
        pBuffer->AddUsed(dwIoSize);
        if (PreviewWriteCompleted(pSocket, pBuffer)) {
            WriteCompleted(pSocket, pBuffer);
            WriteDone(pSocket);
        }
        break;
    case IO_Read_Request_NoPreview: IssueRead(pSocket, pBuffer); break;
    case IO_Read_Completed_NoPreview:
        if (pBuffer->GetUsedBytes() != 0)
            ReadCompleted(pSocket, pBuffer);
        break;
    case IO_Write_Request_NoPreview: IssueWrite(pSocket, pBuffer); break;
    case IO_Write_Completed_NoPreview:
        WriteCompleted(pSocket, pBuffer);
        WriteDone(pSocket);
        break;
    default: OnError("CSocketServer::WorkerThread::Run() - Unexpected operation"); return;
    }

    // The packet's own references, held through every call above (those take and drop their
    // own). The analyzer does not count the atomic references and takes a dropped pair for the
    // last one.
    pSocket->Release();  // NOLINT(clang-analyzer-cplusplus.NewDelete)
    pBuffer->Release();
}

void CSocketServer::ReadCompletedStep(Socket *pSocket, CIOBuffer *&pBuffer, DWORD dwIoSize,
                                      bool error)
{
    pBuffer->AddUsed(dwIoSize);
    if (!PreviewReadCompleted(pSocket, pBuffer))
        return;
    if (dwIoSize != 0)
        ReadCompleted(pSocket, pBuffer);
    else if (!error)
        ClientClose(pSocket);
}

void CSocketServer::IssueRead(Socket *pSocket, CIOBuffer *pBuffer)
{
    pSocket->AddRef();
    pBuffer->SetOperation(IO_Read_Completed);
    pBuffer->PrepareForRead();
    pBuffer->AddRef();

    DWORD lastError = 0;
    {
        // Stamping and starting under the lock make the stamps follow the order of the starts.
        CCriticalSectionGuard lock(pSocket->m_crit);
        pBuffer->SetSequenceNumber(pSocket->NextIssuedReadNumber());
        lastError = pSocket->StartReceive(pBuffer);
    }
    if (lastError != 0) {
        ReportConnectionError(ReadError, pSocket, pBuffer, lastError);
        pSocket->Release();
        pBuffer->Release();
    }
}

void CSocketServer::IssueZeroByteRead(Socket *pSocket, CIOBuffer *pBuffer)
{
    pSocket->AddRef();
    pBuffer->SetOperation(IO_ZeroByteRead_Completed);
    pBuffer->PrepareForZeroByteRead();
    pBuffer->AddRef();

    const DWORD lastError = pSocket->StartReceive(pBuffer);
    if (lastError != 0) {
        ReportConnectionError(ZeroByteReadError, pSocket, pBuffer, lastError);
        pSocket->Release();
        pBuffer->Release();
    }
}

void CSocketServer::IssueWrite(Socket *pSocket, CIOBuffer *pBuffer)
{
    pSocket->AddRef();
    pBuffer->SetOperation(IO_Write_Completed);
    pBuffer->PrepareForWrite();
    pBuffer->AddRef();

    // With sequencing a write that overtook an earlier one waits in the queue, and the thread
    // that sends the earlier one sends it too.
    Socket::SequenceData *pSequence = pSocket->m_pSequenceData.get();
    CIOBuffer *pNext = pSequence ? pSequence->outOfSequenceWrites.OfferBuffer(pBuffer) : pBuffer;
    while (pNext) {
        const DWORD lastError = pSocket->StartSend(pNext);
        if (lastError != 0) {
            ReportConnectionError(WriteError, pSocket, pNext, lastError);
            WriteDone(pSocket);
            pSocket->Release();
            pNext->Release();
        }
        pNext = pSequence ? pSequence->outOfSequenceWrites.AdvanceAndTake() : nullptr;
    }
}

void CSocketServer::WriteDone(Socket *pSocket)
{
    if (--pSocket->m_outstandingWrites == 0 && pSocket->m_writeShutdown.load())
        pSocket->Shutdown(SD_SEND);
}

void CSocketServer::ClientClose(Socket *pSocket)
{
    if (pSocket->m_clientClosed.exchange(1) == 0) {
        pSocket->Shutdown(SD_RECEIVE);
        OnConnectionClientClose(pSocket);
    }
}

void CSocketServer::ReportConnectionError(ConnectionErrorSource source, Socket *pSocket,
                                          CIOBuffer *pBuffer, DWORD lastError)
{
    if (lastError == WSAECONNABORTED || lastError == WSAECONNRESET) {
        CCriticalSectionGuard lock(pSocket->m_crit);
        if (pSocket->IsOpen()) {
            OnConnectionReset(pSocket);
            pSocket->InternalClose();
        }
    } else if (lastError == WSAESHUTDOWN) {
        ClientClose(pSocket);
    } else if (!(lastError == WSAENOTSOCK && !pSocket->IsOpen())) {
        OnConnectionError(source, pSocket, pBuffer, lastError);
    }
}

void CSocketServer::WriteCompleted(Socket *, CIOBuffer *pBuffer)
{
    if (pBuffer->GetUsedBytes() != pBuffer->GetWsaBuf()->len)
        OnError(
            "CSocketServer::WorkerThread::WriteCompleted - Socket write where not all data was "
            "written");
}

///////////////////////////////////////////////////////////////////////////////////////////////
// CSocketServer::Socket

CSocketServer::Socket::Socket(CSocketServer &server, SOCKET theSocket, bool useSequencing)
    : m_listLink(),
      m_userData(nullptr),
      m_serverData(nullptr),
      m_server(server),
      m_socket(theSocket),
      m_ref(1),
      m_outstandingWrites(0),
      m_readShutdown(false),
      m_writeShutdown(false),
      m_closing(false),
      m_clientClosed(0)
{
    if (theSocket == INVALID_SOCKET)
        throw CException("CSocketServer::Socket::Socket()", "Invalid socket");
    if (useSequencing)
        m_pSequenceData = std::make_unique<SequenceData>(m_crit);
}

CSocketServer::Socket::~Socket()
{
    m_userData = nullptr;
    m_serverData = nullptr;
}

void CSocketServer::Socket::SequenceData::Reset()
{
    issuedReads = 0;
    writeRequests = 0;
    requeuedReadCompletions = 0;
    requeuedWriteRequests = 0;
    outOfSequenceWrites.Reset();
}

void CSocketServer::Socket::Attach(SOCKET theSocket)
{
    if (IsOpen())
        throw CException("CSocketServer::Socket::Attach()", "Socket already attached");

    m_socket = theSocket;
    m_userData.exchange(nullptr);
    m_readShutdown = false;
    m_writeShutdown = false;
    m_outstandingWrites = 0;
    {
        CCriticalSectionGuard lock(m_crit);
        m_closing = false;
    }
    m_clientClosed = 0;
    if (m_pSequenceData)
        m_pSequenceData->Reset();
}

// Under the lock that InternalClose takes: a handle that a close on another thread has closed,
// and that the system may already have given to a new connection, is never used. An overlapped
// start does not block, so the lock is held only briefly.
DWORD CSocketServer::Socket::StartReceive(CIOBuffer *pBuffer)
{
    CCriticalSectionGuard lock(m_crit);
    const SOCKET theSocket = m_socket.load();
    if (theSocket == INVALID_SOCKET)
        return static_cast<DWORD>(WSAENOTSOCK);
    DWORD dwNumBytes = 0;
    DWORD dwFlags = 0;
    if (WSARecv(theSocket, pBuffer->GetWsaBuf(), 1, &dwNumBytes, &dwFlags, pBuffer->GetOverlapped(),
                nullptr) != SOCKET_ERROR)
        return 0;
    const DWORD lastError = static_cast<DWORD>(WSAGetLastError());
    return lastError == ERROR_IO_PENDING ? 0 : lastError;
}

DWORD CSocketServer::Socket::StartSend(CIOBuffer *pBuffer)
{
    CCriticalSectionGuard lock(m_crit);
    const SOCKET theSocket = m_socket.load();
    if (theSocket == INVALID_SOCKET)
        return static_cast<DWORD>(WSAENOTSOCK);
    DWORD dwNumBytes = 0;
    if (WSASend(theSocket, pBuffer->GetWsaBuf(), 1, &dwNumBytes, 0, pBuffer->GetOverlapped(),
                nullptr) != SOCKET_ERROR)
        return 0;
    const DWORD lastError = static_cast<DWORD>(WSAGetLastError());
    return lastError == ERROR_IO_PENDING ? 0 : lastError;
}

DWORD CSocketServer::Socket::NextIssuedReadNumber()
{
    return m_pSequenceData ? m_pSequenceData->issuedReads++ : 0;
}

DWORD CSocketServer::Socket::NextWriteRequestNumber()
{
    return m_pSequenceData ? m_pSequenceData->writeRequests++ : 0;
}

bool CSocketServer::Socket::Read(CIOBuffer *pBuffer, bool throwOnFailure)
{
    if (!IsOpen()) {
        if (throwOnFailure)
            throw CException("CSocketServer::Socket::Read()", "Socket is closed");
        return false;
    }

    if (pBuffer)
        pBuffer->AddRef();
    else
        pBuffer = m_server.Allocate();
    m_server.PostIoOperation(this, pBuffer,
                             m_server.m_zeroByteReads ? IO_ZeroByteRead_Request : IO_Read_Request);
    pBuffer->Release();
    return true;
}

bool CSocketServer::Socket::Write(const char *pData, DWORD dataLength, bool throwOnFailure)
{
    if (!IsOpen()) {
        if (throwOnFailure)
            throw CException("CSocketServer::Socket::Write()", "Socket is closed");
        return false;
    }
    if (m_writeShutdown.load()) {
        if (throwOnFailure)
            throw CException("CSocketServer::Socket::Write()", "Socket is shutdown");
        return false;
    }
    if (dataLength > m_server.GetBufferSize())
        throw CException("CIOBuffer::AddData", "Not enough space in buffer");

    CIOBuffer *pBuffer = m_server.Allocate();
    try {
        pBuffer->AddData(pData, dataLength);
    } catch (...) {
        pBuffer->Release();
        throw;
    }
    bool written = false;
    try {
        written = Write(pBuffer, throwOnFailure);
    } catch (...) {
        pBuffer->Release();
        throw;
    }
    pBuffer->Release();
    return written;
}

bool CSocketServer::Socket::Write(CIOBuffer *pBuffer, bool throwOnFailure)
{
    if (!IsOpen()) {
        if (throwOnFailure)
            throw CException("CSocketServer::Socket::Write()", "Socket is closed");
        return false;
    }

    // Refused before anything is counted: undoing a count on a shut-down side would shut it
    // down again.
    if (m_writeShutdown.load()) {
        if (throwOnFailure)
            throw CException("CSocketServer::Socket::Write()", "Socket is shutdown");
        return false;
    }
    // Counted before the second test: a Shutdown running at the same time either sees this
    // write and leaves the sending side to the write-done step, which the undone count then
    // takes, or is seen here.
    ++m_outstandingWrites;
    if (m_writeShutdown.load()) {
        m_server.WriteDone(this);
        if (throwOnFailure)
            throw CException("CSocketServer::Socket::Write()", "Socket is shutdown");
        return false;
    }

    pBuffer->SetSequenceNumber(NextWriteRequestNumber());
    m_server.PostIoOperation(this, pBuffer, IO_Write_Request);
    return true;
}

void CSocketServer::Socket::Shutdown(int how)
{
    if (!m_server.PreviewSocketShutdown(this, how))
        return;

    if (how == SD_RECEIVE || how == SD_BOTH)
        m_readShutdown = true;
    if (how == SD_SEND || how == SD_BOTH)
        m_writeShutdown = true;

    if (m_outstandingWrites.load() != 0) {
        // The sending side is shut down by the write-done step of the last write.
        if (how == SD_BOTH)
            how = SD_RECEIVE;
        else if (how == SD_SEND)
            return;
    }

    // Under the lock, so that a close on another thread cannot come between the test and the
    // call.
    CCriticalSectionGuard lock(m_crit);
    const SOCKET theSocket = m_socket.load();
    if (theSocket != INVALID_SOCKET && shutdown(theSocket, how) == SOCKET_ERROR)
        m_server.OnError("CSocketServer::Server::Shutdown() - " + ErrorText(WSAGetLastError()));
}

void CSocketServer::Socket::Close()
{
    CCriticalSectionGuard lock(m_crit);
    if (IsOpen() && m_server.PreviewSocketClose(this))
        InternalClose();
}

void CSocketServer::Socket::AbortiveClose()
{
    CCriticalSectionGuard lock(m_crit);
    // A socket that is already closed has no linger option to set.
    if (IsOpen()) {
        LINGER lingerStruct;
        lingerStruct.l_onoff = 1;
        lingerStruct.l_linger = 0;
        if (setsockopt(m_socket.load(), SOL_SOCKET, SO_LINGER,
                       reinterpret_cast<const char *>(&lingerStruct),
                       sizeof(lingerStruct)) == SOCKET_ERROR)
            m_server.OnError("CSocketServer::Socket::AbortiveClose() - setsockopt(SO_LINGER) - " +
                             ErrorText(WSAGetLastError()));
    }
    InternalClose();
}

void CSocketServer::Socket::InternalClose()
{
    CCriticalSectionGuard lock(m_crit);
    const SOCKET theSocket = m_socket.load();
    if (theSocket == INVALID_SOCKET)
        return;

    if (closesocket(theSocket) == SOCKET_ERROR)
        m_server.OnError("CSocketServer::Socket::InternalClose() - closesocket - " +
                         ErrorText(WSAGetLastError()));
    m_socket = INVALID_SOCKET;
    m_readShutdown = true;
    m_writeShutdown = true;
    m_server.OnConnectionClosed(this);
}

bool CSocketServer::Socket::IsConnected(int how) const
{
    switch (how) {
    case SD_RECEIVE: return !m_readShutdown.load();
    case SD_SEND: return !m_writeShutdown.load();
    case SD_BOTH: return !m_readShutdown.load() && !m_writeShutdown.load();
    default: return false;
    }
}

void CSocketServer::Socket::AddRef() { ++m_ref; }

void CSocketServer::Socket::Release()
{
    if (--m_ref != 0)
        return;

    for (;;) {
        if (!IsOpen()) {
            m_server.ReleaseSocket(this);
            return;
        }

        // Still open: keep it alive while the application is told and the socket is closed.
        ++m_ref;
        bool notify = false;
        {
            CCriticalSectionGuard lock(m_crit);
            if (!m_closing) {
                m_closing = true;
                notify = true;
            }
        }
        const bool applicationCloses = notify && m_server.OnConnectionClosing(this);
        if (!applicationCloses)
            AbortiveClose();

        if (--m_ref != 0)
            return;
    }
}

///////////////////////////////////////////////////////////////////////////////////////////////
// CSocketServer::WorkerThread

CSocketServer::WorkerThread::WorkerThread(CSocketServer &server, CIOCompletionPort &iocp)
    : m_server(server), m_iocp(iocp)
{
    m_server.OnThreadCreated();
}

CSocketServer::WorkerThread::~WorkerThread()
{
    try {
        m_server.OnThreadDestroyed();
    } catch (...) {
    }
}

int CSocketServer::WorkerThread::Run()
{
    try {
        for (;;) {
            ULONG_PTR completionKey = 0;
            DWORD dwIoSize = 0;
            OVERLAPPED *pOverlapped = nullptr;
            bool error = false;
            try {
                m_iocp.GetStatus(&completionKey, &dwIoSize, &pOverlapped);
            } catch (const CWin32Exception &e) {
#ifdef _WIN32
                // A dequeued packet is its own I/O's failure, whatever the code (a timed-out
                // or locally aborted connection has codes of its own): it fails that
                // connection, never the worker. Only a failure of the port itself ends it.
                if (!pOverlapped)
                    throw;
                error = !IsClosedUnderneath(e.GetError());
#else
                if (e.GetError() == ERROR_NETNAME_DELETED)
                    error = true;
                else if (e.GetError() != ERROR_OPERATION_ABORTED)
                    throw;
#endif
            }

            if (completionKey == 0)
                break;

            m_server.OnThreadBeginProcessing();
            ProcessCompletion(reinterpret_cast<Socket *>(completionKey),
                              pOverlapped ? CIOBuffer::FromOverlapped(pOverlapped) : nullptr,
                              dwIoSize, error);
            m_server.OnThreadEndProcessing();
        }
    } catch (const CException &e) {
        m_server.OnError("CSocketServer::WorkerThread::Run() - Exception: " + ExceptionText(e));
    } catch (...) {
        m_server.OnError("CSocketServer::WorkerThread::Run() - Unexpected exception");
    }
    return 0;
}

void CSocketServer::WorkerThread::ProcessCompletion(Socket *pSocket, CIOBuffer *pBuffer,
                                                    DWORD dwIoSize, bool error)
{
    m_server.ProcessCompletion(pSocket, pBuffer, dwIoSize, error);
}

}  // namespace Win32
}  // namespace Tarnwick
