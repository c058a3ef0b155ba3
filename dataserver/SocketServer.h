// The data server's socket server: logs every notification of the engine, gives each
// connection a CMessageFramer that cuts its byte stream into 128-byte messages announced by a
// 16-bit length prefix, refuses a connection whose prefix is wrong, and hands connection events
// and complete messages to the application's thread pool.
//
// OnConnectionEstablished runs on the engine's accept thread, the rest on its I/O workers;
// several workers may complete reads of one connection at once, and the framer's read queue
// lets exactly one of them frame the reads, in issue order.
#pragma once

#include <atomic>
#include <string>

#include "platform/win32.h"
#include "win32/CriticalSection.h"
#include "win32/IOBuffer.h"
#include "win32/OrderedBufferQueue.h"
#include "win32/SocketServer.h"

class CThreadPool;

// The per-connection framing state, kept in the socket's server-data word. Counted: the word
// holds one reference and a worker framing a read holds another, so that a close on another
// worker cannot free it under the framing.
class CMessageFramer {
public:
    CMessageFramer(Tarnwick::Win32::CCriticalSection &readQueueLock,
                   Tarnwick::Win32::CIOBuffer::Allocator &messageAllocator);
    CMessageFramer(const CMessageFramer &) = delete;
    CMessageFramer &operator=(const CMessageFramer &) = delete;

    void AddRef();
    void Release();

    // The length prefix every message must carry.
    static constexpr DWORD MESSAGE_SIZE = 128;

    // Told of each accepted prefix and each complete message, which it borrows; may throw,
    // which ends the framing of the bytes.
    class Sink {
    public:
        virtual void PrefixAccepted(DWORD) {}
        virtual void MessageComplete(Tarnwick::Win32::CIOBuffer *pMessage) = 0;

    protected:
        ~Sink() = default;
    };

    // Cuts the next `length` bytes of the connection's stream into messages, in order, and
    // hands each complete one to `sink`. A message may span calls. Returns null when every
    // byte was taken, otherwise why the stream is refused: at a wrong prefix, which is
    // checked as soon as its two bytes are there, the rest is dropped, and so are all later
    // bytes.
    const char *Frame(const BYTE *data, DWORD length, DWORD maxMessageSize, Sink &sink);

    DWORD messageSize;
    Tarnwick::Win32::CIOBuffer *pendingMessage;
    Tarnwick::Win32::COrderedBufferQueue readQueue;
    std::atomic<DWORD> nextMessageNumber;
    std::atomic<LONG> rejected;
    Tarnwick::Win32::CIOBuffer::Allocator &messageAllocator;

private:
    // Releases a message still being filled and the reads still waiting.
    ~CMessageFramer();

    std::atomic<LONG> m_ref;
};

class CSocketServer : public Tarnwick::Win32::CSocketServer {
public:
    CSocketServer(unsigned long listenAddress, unsigned short listenPort, DWORD maxPooledSockets,
                  DWORD maxPooledBuffers, DWORD bufferSize, CThreadPool &pool, DWORD maxMessageSize,
                  bool orderedReads, bool useSequencing, bool readBeforeProcessing,
                  DWORD workerThreadCount);
    // Shuts the engine down while this object is whole: its threads call the notifications.
    ~CSocketServer() override;

    static constexpr DWORD MESSAGE_SIZE = CMessageFramer::MESSAGE_SIZE;

private:
    void OnStartAcceptingConnections() override;
    void OnStopAcceptingConnections() override;
    void OnShutdownInitiated() override;
    void OnShutdownComplete() override;
    void OnConnectionCreated() override;
    void OnConnectionEstablished(Socket *pSocket, Tarnwick::Win32::CIOBuffer *pAddress) override;
    void OnConnectionClientClose(Socket *pSocket) override;
    void OnConnectionReset(Socket *pSocket) override;
    bool OnConnectionClosing(Socket *pSocket) override;
    void OnConnectionClosed(Socket *pSocket) override;
    void OnConnectionDestroyed() override;
    void OnConnectionError(ConnectionErrorSource source, Socket *pSocket,
                           Tarnwick::Win32::CIOBuffer *pBuffer, DWORD lastError) override;
    void OnError(const std::string &message) override;
    void OnThreadCreated() override;
    void OnThreadBeginProcessing() override;
    void OnThreadEndProcessing() override;
    void OnThreadDestroyed() override;
    void ReadCompleted(Socket *pSocket, Tarnwick::Win32::CIOBuffer *pBuffer) override;

    void OnBufferCreated() override;
    void OnBufferAllocated() override;
    void OnBufferReleased() override;
    void OnBufferDestroyed() override;

    // The socket's framer with a reference for the caller, or null once it is closed.
    CMessageFramer *AcquireFramer(Socket *pSocket);
    void FrameBuffer(Socket *pSocket, CMessageFramer &framer,
                     const Tarnwick::Win32::CIOBuffer &buffer);
    void Reject(Socket *pSocket, const char *reason);

    CThreadPool &m_pool;
    Tarnwick::Win32::CIOBuffer::Allocator m_messageAllocator;
    Tarnwick::Win32::CCriticalSection m_readQueueLock;
    const DWORD m_maxMessageSize;
    const bool m_orderedReads;
    const bool m_readBeforeProcessing;
    // Guards the server-data words' exchange against a worker taking a reference.
    Tarnwick::Win32::CCriticalSection m_framerLock;
};
