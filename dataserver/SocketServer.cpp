#include "dataserver/SocketServer.h"

#include <algorithm>
#include <cstdio>

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
void CopyBytes(CIOBuffer &to, const CIOBuffer &from, DWORD &consumed, DWORD wanted)
{
    const DWORD length = std::min(wanted, from.GetUsedBytes() - consumed);
    if (length != 0)
        to.AddData(from.GetPayload() + consumed, length);
    consumed += length;
}

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
    const DWORD used = buffer.GetUsedBytes();
    DWORD consumed = 0;
    while (consumed < used) {
        if (!framer.pendingMessage) {
            framer.pendingMessage = framer.messageAllocator.Allocate();
            framer.messageSize = 0;
            framer.pendingMessage->SetSequenceNumber(framer.nextMessageNumber++);
            CopyBytes(*framer.pendingMessage, buffer, consumed, kPrefixSize);
        }

        CIOBuffer &message = *framer.pendingMessage;
        if (framer.messageSize == 0) {
            if (message.GetUsedBytes() < kPrefixSize)
                CopyBytes(message, buffer, consumed, kPrefixSize - message.GetUsedBytes());
            // The prefix is checked as soon as it is whole, so that a wrong one is refused
            // without waiting for further bytes.
            if (message.GetUsedBytes() == kPrefixSize) {
                const BYTE *prefix = message.GetPayload();
                const DWORD length = DWORD(prefix[0]) + 256u * DWORD(prefix[1]);
                if (length != MESSAGE_SIZE) {
                    Reject(pSocket, framer, "Invalid message size");
                    return;
                }
                if (length > m_maxMessageSize) {
                    Reject(pSocket, framer, "Too much data!");
                    return;
                }
                framer.messageSize = length;
                WriteLog("Message size = " + std::to_string(length));
            }
        }

        if (framer.messageSize != 0) {
            CopyBytes(message, buffer, consumed, framer.messageSize - message.GetUsedBytes());
            if (message.GetUsedBytes() == framer.messageSize) {
                CIOBuffer *pMessage = framer.pendingMessage;
                framer.pendingMessage = nullptr;
                framer.messageSize = 0;
                try {
                    m_pool.DispatchReadCompleted(pSocket, pMessage);
                } catch (...) {
                    pMessage->Release();
                    throw;
                }
                pMessage->Release();
            }
        }
    }
}

void CSocketServer::Reject(Socket *pSocket, CMessageFramer &framer, const char *reason)
{
    WriteLog(reason);
    pSocket->Write(kRefusal, DWORD(sizeof kRefusal - 1), false);
    pSocket->Shutdown(SD_BOTH);
    framer.rejected.exchange(1);
}
