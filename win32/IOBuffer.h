// Reference-counted I/O buffers and the allocator that pools them.
//
// A buffer is one heap block: the header below followed by the payload. Its overlapped record
// comes first, so the OVERLAPPED* that a completion hands back is the buffer's own address.
// Reference counts change atomically; the allocator's lists are guarded by its lock, which is
// held while its notifications run.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/win32.h"
#include "win32/CriticalSection.h"
#include "win32/IntrusiveList.h"

namespace Tarnwick {
namespace Win32 {

class CIOBuffer {
public:
    class Allocator;

    CIOBuffer(const CIOBuffer &) = delete;
    CIOBuffer &operator=(const CIOBuffer &) = delete;

    // The buffer whose overlapped record this is.
    static CIOBuffer *FromOverlapped(OVERLAPPED *pOverlapped)
    {
        return reinterpret_cast<CIOBuffer *>(pOverlapped);
    }
    OVERLAPPED *GetOverlapped() { return &m_overlapped; }

    void AddRef();
    // At zero the buffer goes back to its allocator; releasing a buffer whose count is already
    // zero throws and changes nothing.
    void Release();

    // Append after the used bytes; throws and changes nothing when they do not fit.
    void AddData(const void *pData, DWORD length);
    void AddData(BYTE data);
    // Adds a completed transfer's byte count to the used bytes.
    void AddUsed(DWORD count);
    // Drops the first `count` used bytes and moves the rest to the start.
    void RemoveFront(DWORD count);
    // A new buffer of the same allocator holding the first `count` bytes, which this one drops.
    CIOBuffer *SplitFront(DWORD count);

    // used = 0, transfer descriptor = the whole payload.
    void Clear();
    // Descriptor = the free tail of the payload.
    void PrepareForRead();
    // Descriptor = the used bytes, then used = 0: the completion adds the bytes sent back.
    void PrepareForWrite();
    // Descriptor of length 0 at the start of the payload.
    void PrepareForZeroByteRead();

    BYTE *GetPayload() { return reinterpret_cast<BYTE *>(this) + sizeof(CIOBuffer); }
    const BYTE *GetPayload() const
    {
        return reinterpret_cast<const BYTE *>(this) + sizeof(CIOBuffer);
    }
    DWORD GetUsedBytes() const { return m_used; }
    DWORD GetCapacity() const { return m_size; }
    WSABUF *GetWsaBuf() { return &m_wsabuf; }
    const WSABUF *GetWsaBuf() const { return &m_wsabuf; }
    DWORD GetOperation() const { return m_operation; }
    void SetOperation(DWORD operation) { m_operation = operation; }
    DWORD GetSequenceNumber() const { return m_sequenceNumber; }
    void SetSequenceNumber(DWORD sequenceNumber) { m_sequenceNumber = sequenceNumber; }
    LONG GetRefCount() const { return m_ref.load(); }
    Allocator &GetAllocator() const { return *m_pAllocator; }

private:
    friend class CIntrusiveList<CIOBuffer>;

    CIOBuffer(Allocator &allocator, DWORD size);
    ~CIOBuffer() = default;

    // Header fields, in this order; every one private so that the layout stays standard and
    // the overlapped record sits at the buffer's own address.
    OVERLAPPED m_overlapped;
    CIntrusiveList<CIOBuffer>::ListLink m_listLink;
    DWORD m_operation;
    DWORD m_sequenceNumber;
    WSABUF m_wsabuf;
    Allocator *m_pAllocator;
    std::atomic<LONG> m_ref;
    DWORD m_size;
    DWORD m_used;
};

class CIOBuffer::Allocator {
public:
    // maxPooledBuffers: most idle buffers kept for reuse; 0 = no limit.
    Allocator(DWORD bufferSize, DWORD maxPooledBuffers);
    virtual ~Allocator();

    Allocator(const Allocator &) = delete;
    Allocator &operator=(const Allocator &) = delete;

    // A buffer with count 1, used 0 and a descriptor over the whole payload.
    CIOBuffer *Allocate();

    // Frees every buffer, idle or in use, telling OnBufferDestroyed for each; only when no I/O
    // is outstanding any more. The destructor frees what is left without telling.
    void DestroyAllBuffers();

    DWORD GetBufferSize() const { return m_bufferSize; }
    size_t GetFreeBufferCount();
    size_t GetInUseBufferCount();

protected:
    // Called by CIOBuffer::Release when the count reaches zero; never by users directly.
    void Release(CIOBuffer *pBuffer);

private:
    friend class CIOBuffer;

    // Called with the allocator's lock held.
    virtual void OnBufferCreated() {}
    virtual void OnBufferAllocated() {}
    virtual void OnBufferReleased() {}
    virtual void OnBufferDestroyed() {}

    void FreeAllBuffers(bool notify);
    void DestroyBuffer(CIOBuffer *pBuffer, bool notify);

    const DWORD m_bufferSize;
    CIntrusiveList<CIOBuffer> m_freeList;
    CIntrusiveList<CIOBuffer> m_activeList;
    const DWORD m_maxPooledBuffers;
    CCriticalSection m_criticalSection;
};

}  // namespace Win32
}  // namespace Tarnwick
