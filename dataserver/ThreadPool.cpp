#include "dataserver/ThreadPool.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dataserver/BuildResponse.h"
#include "dataserver/Records.h"
#include "dataserver/Seal.h"
#include "service/Log.h"
#include "win32/Exception.h"

using Tarnwick::Win32::CCriticalSectionGuard;
using Tarnwick::Win32::CEvent;
using Tarnwick::Win32::CException;
using Tarnwick::Win32::CIOBuffer;
using Tarnwick::Win32::CIOCompletionPort;

namespace {

// Largest piece of a response handed to one write.
constexpr DWORD kResponseChunk = 666;

// The pool gave up on the worker while it waited for the station table: the socket, the buffers
// and the connection of its item may be gone, so it unwinds without touching them.
struct CAbandoned {};

}  // namespace

///////////////////////////////////////////////////////////////////////////////////////////////
// CClientConnection

CClientConnection::CClientConnection(Tarnwick::Win32::CSocketServer::Socket *pSocket)
    : messageQueue(m_criticalSection), m_pSocket(pSocket), m_ref(1)
{
}

CClientConnection::~CClientConnection()
{
    // Waiting messages carry numbers above the one expected: step up to each in turn.
    try {
        while (messageQueue.GetWaitingCount() != 0) {
            if (CIOBuffer *pBuffer = messageQueue.AdvanceAndTake())
                pBuffer->Release();
        }
    } catch (...) {
    }
}

void CClientConnection::AddRef() { ++m_ref; }

void CClientConnection::Release()
{
    if (--m_ref == 0)
        delete this;
}

///////////////////////////////////////////////////////////////////////////////////////////////
// CThreadPool

CThreadPool::CThreadPool(DWORD initialThreadCount, DWORD minThreadCount, DWORD maxThreadCount,
                         DWORD maxIdleThreadCount, DWORD maintenanceIntervalMs,
                         DWORD dispatchWaitMs, DWORD saturatedDispatchWaitMs,
                         DWORD readsPerConnection, bool orderedMessages, bool chunkedResponses)
    : Tarnwick::Win32::CThreadPool(initialThreadCount, minThreadCount, maxThreadCount,
                                   maxIdleThreadCount, maintenanceIntervalMs, dispatchWaitMs,
                                   saturatedDispatchWaitMs),
      m_readsPerConnection(readsPerConnection),
      m_orderedMessages(orderedMessages),
      m_chunkedResponses(chunkedResponses)
{
}

CThreadPool::~CThreadPool()
{
    try {
        if (GetHandle() != INVALID_HANDLE_VALUE)
            AwaitShutdown();
    } catch (...) {
    }
}

void CThreadPool::DoDispatch(Socket *pSocket, CIOBuffer *pBuffer, DWORD event)
{
    if (!pBuffer && event != ConnectionClosing && event != ConnectionClosed)
        throw CException("CThreadPool::DoDispatch()",
                         "Unexpected: Only the ConnectionClosed and ConnectionClosing events can "
                         "have a null pBuffer");
    pSocket->AddRef();
    if (pBuffer)
        pBuffer->AddRef();
    try {
        Dispatch(reinterpret_cast<ULONG_PTR>(pSocket), event,
                 pBuffer ? pBuffer->GetOverlapped() : nullptr);
    } catch (...) {
        if (pBuffer)
            pBuffer->Release();
        pSocket->Release();
        throw;
    }
}

void CThreadPool::DispatchConnectionEstablished(Socket *pSocket, CIOBuffer *pAddress)
{
    DoDispatch(pSocket, pAddress, ConnectionEstablished);
}

void CThreadPool::DispatchConnectionClosing(Socket *pSocket)
{
    DoDispatch(pSocket, nullptr, ConnectionClosing);
}

void CThreadPool::DispatchConnectionClosed(Socket *pSocket)
{
    DoDispatch(pSocket, nullptr, ConnectionClosed);
}

void CThreadPool::DispatchReadCompleted(Socket *pSocket, CIOBuffer *pMessage)
{
    DoDispatch(pSocket, pMessage, ReadCompleted);
}

CClientConnection *CThreadPool::AttachConnection(Socket *pSocket)
{
    CClientConnection *pConnection = new CClientConnection(pSocket);
    CClientConnection *pOld = nullptr;
    {
        CCriticalSectionGuard lock(m_connectionsLock);
        m_connections.insert(pConnection);
        pOld = static_cast<CClientConnection *>(pSocket->SetUserData(pConnection));
        if (pOld)
            m_connections.erase(pOld);
    }
    if (pOld)
        pOld->Release();
    return pConnection;
}

CClientConnection *CThreadPool::AcquireConnection(Socket *pSocket)
{
    CCriticalSectionGuard lock(m_connectionsLock);
    CClientConnection *pConnection = static_cast<CClientConnection *>(pSocket->GetUserData());
    if (pConnection)
        pConnection->AddRef();
    return pConnection;
}

void CThreadPool::DetachConnection(Socket *pSocket)
{
    CClientConnection *pConnection = nullptr;
    {
        CCriticalSectionGuard lock(m_connectionsLock);
        pConnection = static_cast<CClientConnection *>(pSocket->SetUserData(nullptr));
        if (pConnection)
            m_connections.erase(pConnection);
    }
    if (pConnection)
        pConnection->Release();
}

void CThreadPool::ReleaseConnections()
{
    std::set<CClientConnection *> left;
    {
        CCriticalSectionGuard lock(m_connectionsLock);
        left.swap(m_connections);
        for (CClientConnection *pConnection : left)
            pConnection->GetSocket()->SetUserData(nullptr);
    }
    for (CClientConnection *pConnection : left)
        pConnection->Release();
}

void CThreadPool::OnThreadStarted() { WriteLog("OnThreadStarted"); }
void CThreadPool::OnThreadInitialised() { WriteLog("OnThreadInitialised"); }
void CThreadPool::OnProcessingStarted() { WriteLog("OnProcessingStarted"); }
void CThreadPool::OnReceivedMessage() { WriteLog("OnReceivedMessage"); }
void CThreadPool::OnProcessingStopped() { WriteLog("OnProcessingStopped"); }
void CThreadPool::OnThreadStopped() { WriteLog("OnThreadStopped"); }

Tarnwick::Win32::CThreadPool::WorkerThread *CThreadPool::MakeWorkerThread(
    CIOCompletionPort &workPort, CEvent &itemTaken, Tarnwick::Win32::CThreadPool &pool)
{
    (void)pool;
    return new CThreadPoolWorkerThread(workPort, itemTaken, *this, m_readsPerConnection,
                                       m_orderedMessages, m_chunkedResponses);
}

///////////////////////////////////////////////////////////////////////////////////////////////
// CThreadPoolWorkerThread

CThreadPoolWorkerThread::CThreadPoolWorkerThread(CIOCompletionPort &workPort, CEvent &itemTaken,
                                                 CThreadPool &pool, DWORD readsPerConnection,
                                                 bool orderedMessages, bool chunkedResponses)
    : WorkerThread(workPort, itemTaken, pool),
      m_pool(pool),
      m_readsPerConnection(readsPerConnection),
      m_orderedMessages(orderedMessages),
      m_chunkedResponses(chunkedResponses)
{
}

CThreadPoolWorkerThread::~CThreadPoolWorkerThread() = default;

bool CThreadPoolWorkerThread::Initialise()
{
    WriteLog("CThreadPoolWorkerThread::Initialise");
    return true;
}

void CThreadPoolWorkerThread::Shutdown() { WriteLog("CThreadPoolWorkerThread::Shutdown"); }

void CThreadPoolWorkerThread::Process(ULONG_PTR completionKey, DWORD dwNumBytes,
                                      OVERLAPPED *pOverlapped)
{
    Socket *pSocket = reinterpret_cast<Socket *>(completionKey);
    CIOBuffer *pBuffer = pOverlapped ? CIOBuffer::FromOverlapped(pOverlapped) : nullptr;

    // Everything of the item is touched rejoined: a forced shutdown that gives up on this worker
    // goes on to destroy the server and the pool.
    if (!Rejoin())
        return;
    struct CRejoined {
        CThreadPoolWorkerThread &worker;
        bool abandoned;
        ~CRejoined()
        {
            if (!abandoned)
                worker.Depart();
        }
    } rejoined{*this, false};

    try {
        switch (dwNumBytes) {
        case CThreadPool::ConnectionEstablished: SendGreeting(pSocket); break;
        case CThreadPool::ConnectionClosing: pSocket->Close(); break;
        case CThreadPool::ConnectionClosed: m_pool.DetachConnection(pSocket); break;
        case CThreadPool::ReadCompleted: ProcessMessage(pSocket, pBuffer); break;
        default: break;
        }
    } catch (const CAbandoned &) {
        rejoined.abandoned = true;  // m_pConnection keeps what the item held reachable
        return;
    } catch (const CException &e) {
        WriteLog("Process - Exception - " + e.GetWhere() + " - " + e.GetMessage());
        pSocket->Shutdown(SD_BOTH);
    } catch (...) {
        WriteLog("Process - Unexpected exception");
        pSocket->Shutdown(SD_BOTH);
    }

    pSocket->Release();
    if (pBuffer)
        pBuffer->Release();
}

void CThreadPoolWorkerThread::SendGreeting(Socket *pSocket)
{
    m_pool.AttachConnection(pSocket);

    const MeteoResponse greeting = MakeGreeting();
    pSocket->Write(reinterpret_cast<const char *>(&greeting), METEO_RESPONSE_SIZE, false);

    for (DWORD i = 0; i < m_readsPerConnection; ++i)
        pSocket->Read(nullptr, false);
}

void CThreadPoolWorkerThread::ProcessMessage(Socket *pSocket, CIOBuffer *pBuffer)
{
    WriteLog("ProcessMessage");

    // DoDispatch refuses a read without a buffer.
    if (!pBuffer || !pSocket->IsConnected(SD_SEND))
        return;

    // Closed already (a reset): nothing to answer on.
    CClientConnection *pConnection = m_pool.AcquireConnection(pSocket);
    if (!pConnection)
        return;
    // Held here too, so that a connection kept by a worker the pool gave up on stays reachable
    // for as long as that worker's object, which is never freed.
    m_pConnection = pConnection;

    // This reference travels with the buffer through the queue.
    pBuffer->AddRef();
    try {
        // A message that gets no response still takes its turn: when it comes it is released
        // at once and the queue steps past it, so the messages behind it keep their order.
        if (m_orderedMessages)
            pBuffer = pConnection->messageQueue.OfferBuffer(pBuffer);

        if (pBuffer) {
            pelmora::SaferKey key;
            pelmora::ExpandSealKey(key);

            while (pBuffer && pSocket->IsConnected(SD_SEND)) {
                AnswerMessage(pSocket, pBuffer, key);
                pBuffer->Release();
                pBuffer = nullptr;
                if (m_orderedMessages)
                    pBuffer = pConnection->messageQueue.AdvanceAndTake();
            }
            // The sending side closed: the rest of the connection's messages go unanswered.
            if (pBuffer)
                pBuffer->Release();
        }
    } catch (const CAbandoned &) {
        throw;
    } catch (...) {
        if (pBuffer)
            pBuffer->Release();
        m_pConnection = nullptr;
        pConnection->Release();
        throw;
    }
    m_pConnection = nullptr;
    pConnection->Release();
}

void CThreadPoolWorkerThread::AnswerMessage(Socket *pSocket, const CIOBuffer *pMessage,
                                            const pelmora::SaferKey &key)
{
    if (pMessage->GetUsedBytes() < QUERY_DATA_SIZE)
        return;

    // The station table's guard is waited for without limit, so outside, where a forced
    // shutdown may give up on this worker; the request is copied out of the buffer first.
    BYTE request[QUERY_DATA_SIZE];
    std::memcpy(request, pMessage->GetPayload(), sizeof request);
    MeteoResponse response;
    bool answered = false;
    Depart();
    try {
        answered = BuildResponse(request, response);
    } catch (...) {
        if (!Rejoin())
            throw CAbandoned();
        throw;
    }
    if (!Rejoin())
        throw CAbandoned();
    if (!answered)
        return;

    const std::unique_ptr<BYTE[]> sealed = pelmora::Seal(response, key);
    const char *pData = reinterpret_cast<const char *>(sealed.get());

    if (!m_chunkedResponses) {
        pSocket->Write(pData, METEO_RESPONSE_SIZE, false);
        return;
    }
    for (DWORD offset = 0; offset < METEO_RESPONSE_SIZE && pSocket->IsConnected(SD_SEND);) {
        const DWORD length = std::min(kResponseChunk, METEO_RESPONSE_SIZE - offset);
        pSocket->Write(pData + offset, length, false);
        offset += length;
    }
}
