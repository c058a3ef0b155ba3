#include "dataserver/SocketServer.h"

#include <algorithm>
#include <cstdio>

#include "dataserver/Counters.h"
#include "dataserver/ThreadPool.h"
#include "service/Log.h"
#include "win32/Exception.h"

using Tarnwick::Win32::CCriticalSection;
using Tarnwick::Win32::CCriticalSectionGuard;
using Tarnwick::Win32::CException;
using Tarnwick::Win32::CIOBuffer;

namespace {

// Bytes of the length prefix at the start of every message.
constexpr DWORD kPrefixSize = 2;
// Idle message buffers kept for reuse.
constexpr DWORD kPooledMessages = 10;

const char kRefusal[] = "Invalid connection! Go away!\r\n";

// The address in the form the Microsoft runtime gives "%p": all digits, upper case.
std::string PointerText(const void *p)
{
    char text[2 * sizeof(void *) + 1];
    std::snprintf(text, sizeof text, "%0*llX", int(2 * sizeof(void *)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

// Copies up to `wanted` of the bytes left in `from` after `consumed` into `to`.
void CopyBytes(CIOBuffer &to, const BYTE *from, DWORD length, DWORD &consumed, DWORD wanted)
{
    const DWORD count = std::min(wanted, length - consumed);
    if (count != 0)
        to.AddData(from + consumed, count);
    consumed += count;
}

const char kRefusedBefore[] = "Refused before";

}  // namespace

///////////////////////////////////////////////////////////////////////////////////////////////
// CMessageFramer

CMessageFramer::CMessageFramer(CCriticalSection &readQueueLock, CIOBuffer::Allocator &allocator)
    : messageSize(0),
      pendingMessage(nullptr),
      readQueue(readQueueLock),
      nextMessageNumber(0),
      rejected(0),
      messageAllocator(allocator),
      m_ref(1)
{
}

CMessageFramer::~CMessageFramer()
{
    try {
        if (pendingMessage)
            pendingMessage->Release();
        // Waiting reads carry numbers above the one expected: step up to each in turn.
        while (readQueue.GetWaitingCount() != 0) {
            if (CIOBuffer *pBuffer = readQueue.AdvanceAndTake())
                pBuffer->Release();
        }
    } catch (...) {
    }
}

void CMessageFramer::AddRef() { ++m_ref; }

const char *CMessageFramer::Frame(const BYTE *data, DWORD length, DWORD maxMessageSize, Sink &sink)
{
    if (rejected.load() != 0)
        return kRefusedBefore;
    DWORD consumed = 0;
    while (consumed < length) {
        if (!pendingMessage) {
            pendingMessage = messageAllocator.Allocate();
            messageSize = 0;
            pendingMessage->SetSequenceNumber(nextMessageNumber++);
        }

        CIOBuffer &message = *pendingMessage;
        if (messageSize == 0) {
            CopyBytes(message, data, length, consumed, kPrefixSize - message.GetUsedBytes());
            // The prefix is checked as soon as it is whole, so that a wrong one is refused
            // without waiting for further bytes.
            if (message.GetUsedBytes() < kPrefixSize)
                break;
            const BYTE *prefix = message.GetPayload();
            const DWORD size = DWORD(prefix[0]) + 256u * DWORD(prefix[1]);
            const char *refusal = nullptr;
            if (size != MESSAGE_SIZE)
                refusal = "Invalid message size";
            else if (size > maxMessageSize)
                refusal = "Too much data!";
            if (refusal) {
                rejected.exchange(1);
                return refusal;
            }
            messageSize = size;
            sink.PrefixAccepted(size);
        }

        CopyBytes(message, data, length, consumed, messageSize - message.GetUsedBytes());
        if (message.GetUsedBytes() == messageSize) {
            CIOBuffer *pMessage = pendingMessage;
            pendingMessage = nullptr;
            messageSize = 0;
            try {
                sink.MessageComplete(pMessage);
            } catch (...) {
                pMessage->Release();
                throw;
            }
            pMessage->Release();
        }
    }
    return nullptr;
}

void CMessageFramer::Release()
{
    if (--m_ref == 0)
        delete this;
}

///////////////////////////////////////////////////////////////////////////////////////////////
// CSocketServer

CSocketServer::CSocketServer(unsigned long listenAddress, unsigned short listenPort,
                             DWORD maxPooledSockets, DWORD maxPooledBuffers, DWORD bufferSize,
                             CThreadPool &pool, DWORD maxMessageSize, bool orderedReads,
                             bool useSequencing, bool readBeforeProcessing, DWORD workerThreadCount)
    : Tarnwick::Win32::CSocketServer(listenAddress, listenPort, maxPooledSockets, maxPooledBuffers,
                                     bufferSize, workerThreadCount, useSequencing, false),
      m_pool(pool),
      m_messageAllocator(maxMessageSize, kPooledMessages),
      m_maxMessageSize(maxMessageSize),
      m_orderedReads(orderedReads),
      m_readBeforeProcessing(readBeforeProcessing)
{
}

CSocketServer::~CSocketServer()
{
    try {
        if (GetHandle() != INVALID_HANDLE_VALUE && !Wait(0))
            AwaitShutdown();
    } catch (...) {
    }
}

void CSocketServer::OnStartAcceptingConnections() { WriteLog("OnStartAcceptingConnections"); }
void CSocketServer::OnStopAcceptingConnections() { WriteLog("OnStopAcceptingConnections"); }
void CSocketServer::OnShutdownInitiated() { WriteLog("OnShutdownInitiated"); }
void CSocketServer::OnShutdownComplete() { WriteLog("OnShutdownComplete"); }
void CSocketServer::OnConnectionCreated() { WriteLog("OnConnectionCreated"); }
void CSocketServer::OnConnectionClientClose(Socket *) { WriteLog("OnConnectionClientClose"); }
void CSocketServer::OnConnectionReset(Socket *) { WriteLog("OnConnectionReset"); }
void CSocketServer::OnConnectionDestroyed() { WriteLog("OnConnectionDestroyed"); }
void CSocketServer::OnError(const std::string &message) { WriteLog("OnError - " + message); }
void CSocketServer::OnThreadCreated() { WriteLog("OnThreadCreated"); }
void CSocketServer::OnThreadBeginProcessing() { WriteLog("OnThreadBeginProcessing"); }
void CSocketServer::OnThreadEndProcessing() { WriteLog("OnThreadEndProcessing"); }
void CSocketServer::OnThreadDestroyed() { WriteLog("OnThreadDestroyed"); }
void CSocketServer::OnBufferCreated() { WriteLog("OnBufferCreated"); }
void CSocketServer::OnBufferAllocated() { WriteLog("OnBufferAllocated"); }
void CSocketServer::OnBufferReleased() { WriteLog("OnBufferReleased"); }
void CSocketServer::OnBufferDestroyed() { WriteLog("OnBufferDestroyed"); }

void CSocketServer::OnConnectionEstablished(Socket *pSocket, CIOBuffer *pAddress)
{
    WriteLog("OnConnectionEstablished");
    DataServerConnections.fetch_add(1, std::memory_order_relaxed);

    if (pSocket->GetServerData())
        throw CException("CSocketServer::OnConnectionEstablished()",
                         "Programming error - Socket's server data already contains data");

    CMessageFramer *pFramer = new CMessageFramer(m_readQueueLock, m_messageAllocator);
    {
        CCriticalSectionGuard lock(m_framerLock);
        pSocket->SetServerData(pFramer);
    }
    m_pool.DispatchConnectionEstablished(pSocket, pAddress);
}

bool CSocketServer::OnConnectionClosing(Socket *pSocket)
{
    WriteLog("OnConnectionClosing");
    m_pool.DispatchConnectionClosing(pSocket);
    return true;
}

void CSocketServer::OnConnectionClosed(Socket *pSocket)
{
    WriteLog("OnConnectionClosed");

    CMessageFramer *pFramer = nullptr;
    {
        CCriticalSectionGuard lock(m_framerLock);
        pFramer = static_cast<CMessageFramer *>(pSocket->SetServerData(nullptr));
    }
    if (pFramer)
        pFramer->Release();

    m_pool.DispatchConnectionClosed(pSocket);
}

void CSocketServer::OnConnectionError(ConnectionErrorSource source, Socket *pSocket,
                                      CIOBuffer *pBuffer, DWORD lastError)
{
    const char *operation = source == ZeroByteReadError ? " Zero Byte Read Error:"
                            : source == ReadError       ? " Read Error:"
                                                        : " Write Error:";
    std::string text = Tarnwick::Win32::ErrorText(lastError);
    // One line in the log: the system's text ends with a line break.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    WriteLog("OnConnectionError - Socket = " + PointerText(pSocket) +
             " Buffer = " + PointerText(pBuffer) + operation + text);
}

CMessageFramer *CSocketServer::AcquireFramer(Socket *pSocket)
{
    CCriticalSectionGuard lock(m_framerLock);
    CMessageFramer *pFramer = static_cast<CMessageFramer *>(pSocket->GetServerData());
    if (pFramer)
        pFramer->AddRef();
    return pFramer;
}

void CSocketServer::ReadCompleted(Socket *pSocket, CIOBuffer *pBuffer)
{
    CMessageFramer *pFramer = nullptr;
    // The read this worker frames; it holds a reference to it, given back on a throw too.
    CIOBuffer *pHeld = nullptr;
    try {
        // Receiving goes on while this read is framed.
        if (m_readBeforeProcessing)
            pSocket->Read(nullptr, false);

        pFramer = AcquireFramer(pSocket);
        if (pFramer) {
            pBuffer->AddRef();
            pHeld = m_orderedReads ? pFramer->readQueue.OfferBuffer(pBuffer) : pBuffer;
            while (pHeld) {
                // A refused connection's later reads are dropped unread.
                if (pFramer->rejected.load() == 0)
                    FrameBuffer(pSocket, *pFramer, *pHeld);
                CIOBuffer *pFramed = pHeld;
                pHeld = nullptr;
                pFramed->Release();
                if (m_orderedReads)
                    pHeld = pFramer->readQueue.AdvanceAndTake();
            }
        }

        if (!m_readBeforeProcessing)
            pSocket->Read(nullptr, false);
    } catch (const CException &e) {
        WriteLog("ReadCompleted - Exception - " + e.GetWhere() + " - " + e.GetMessage());
        pSocket->Shutdown(SD_BOTH);
    } catch (...) {
        WriteLog("ReadCompleted - Unexpected exception");
        pSocket->Shutdown(SD_BOTH);
    }
    if (pHeld)
        pHeld->Release();
    if (pFramer)
        pFramer->Release();
}

void CSocketServer::FrameBuffer(Socket *pSocket, CMessageFramer &framer, const CIOBuffer &buffer)
{
    class Dispatcher final : public CMessageFramer::Sink {
    public:
        Dispatcher(CThreadPool &pool, Socket *pSocket) : m_pool(pool), m_pSocket(pSocket) {}
        void PrefixAccepted(DWORD size) override
        {
            WriteLog("Message size = " + std::to_string(size));
        }
        void MessageComplete(CIOBuffer *pMessage) override
        {
            m_pool.DispatchReadCompleted(m_pSocket, pMessage);
        }

    private:
        CThreadPool &m_pool;
        Socket *m_pSocket;
    } dispatcher(m_pool, pSocket);

    if (const char *refusal =
            framer.Frame(buffer.GetPayload(), buffer.GetUsedBytes(), m_maxMessageSize, dispatcher))
        Reject(pSocket, refusal);
}

void CSocketServer::Reject(Socket *pSocket, const char *reason)
{
    WriteLog(reason);
    pSocket->Write(kRefusal, DWORD(sizeof kRefusal - 1), false);
    pSocket->Shutdown(SD_BOTH);
}
