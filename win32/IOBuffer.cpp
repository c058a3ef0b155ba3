#include "win32/IOBuffer.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "win32/Exception.h"

namespace Tarnwick {
namespace Win32 {

CIOBuffer::CIOBuffer(Allocator &allocator, DWORD size)
    : m_overlapped(),
      m_listLink(),
      m_operation(0),
      m_sequenceNumber(0),
      m_wsabuf(),
      m_pAllocator(&allocator),
      m_ref(1),
      m_size(size),
      m_used(0)
{
    // FromOverlapped relies on the overlapped record sitting at the buffer's own address.
    static_assert(std::is_standard_layout<CIOBuffer>::value,
                  "CIOBuffer must keep a standard layout");
    static_assert(offsetof(CIOBuffer, m_overlapped) == 0, "the overlapped record must come first");
    Clear();
}

void CIOBuffer::AddRef() { m_ref.fetch_add(1); }

void CIOBuffer::Release()
{
    LONG count = m_ref.load();
    do {
        if (count == 0)
            throw CException("CIOBuffer::Release()", "m_ref is already 0");
    } while (!m_ref.compare_exchange_weak(count, count - 1));

    if (count - 1 == 0) {
        m_sequenceNumber = 0;
        m_operation = 0;
        m_used = 0;
        m_pAllocator->Release(this);
    }
}

void CIOBuffer::AddData(const void *pData, DWORD length)
{
    if (m_size - m_used < length)
        throw CException("CIOBuffer::AddData", "Not enough space in buffer");
    if (length != 0)
        memcpy(GetPayload() + m_used, pData, length);
    m_used += length;
}

void CIOBuffer::AddData(BYTE data) { AddData(&data, 1); }

void CIOBuffer::AddUsed(DWORD count)
{
    if (m_size - m_used < count)
        throw CException("CIOBuffer::AddUsed", "Not enough space in buffer");
    m_used += count;
}

void CIOBuffer::RemoveFront(DWORD count)
{
    if (count > m_used)
        throw CException("CIOBuffer::RemoveFront", "Not enough data in buffer");
    memmove(GetPayload(), GetPayload() + count, m_used - count);
    m_used -= count;
}

CIOBuffer *CIOBuffer::SplitFront(DWORD count)
{
    if (count > m_used)
        throw CException("CIOBuffer::SplitFront", "Not enough data in buffer");
    CIOBuffer *pFront = m_pAllocator->Allocate();
    try {
        pFront->AddData(GetPayload(), count);
    } catch (...) {
        pFront->Release();
        throw;
    }
    RemoveFront(count);
    return pFront;
}

void CIOBuffer::Clear()
{
    m_used = 0;
    m_wsabuf.buf = reinterpret_cast<CHAR *>(GetPayload());
    m_wsabuf.len = m_size;
}

void CIOBuffer::PrepareForRead()
{
    m_wsabuf.buf = reinterpret_cast<CHAR *>(GetPayload() + m_used);
    m_wsabuf.len = m_size - m_used;
}

void CIOBuffer::PrepareForWrite()
{
    m_wsabuf.buf = reinterpret_cast<CHAR *>(GetPayload());
    m_wsabuf.len = m_used;
    m_used = 0;
}

void CIOBuffer::PrepareForZeroByteRead()
{
    m_wsabuf.buf = reinterpret_cast<CHAR *>(GetPayload());
    m_wsabuf.len = 0;
}

CIOBuffer::Allocator::Allocator(DWORD bufferSize, DWORD maxPooledBuffers)
    : m_bufferSize(bufferSize), m_maxPooledBuffers(maxPooledBuffers)
{
}

CIOBuffer::Allocator::~Allocator()
{
    // No virtual calls from here: the derived part is gone already. A derived class that wants
    // OnBufferDestroyed for every buffer calls DestroyAllBuffers in its own destructor.
    try {
        FreeAllBuffers(false);
    } catch (...) {
        // A destructor must not throw; the lists are freed either way.
    }
}

CIOBuffer *CIOBuffer::Allocator::Allocate()
{
    CCriticalSectionGuard lock(m_criticalSection);

    CIOBuffer *pBuffer = m_freeList.PopHead();
    if (!pBuffer) {
        void *pMemory = ::operator new(sizeof(CIOBuffer) + m_bufferSize, std::nothrow);
        if (!pMemory)
            throw CException("CIOBuffer::Allocator::Allocate()", "Out of memory");
        pBuffer = new (pMemory) CIOBuffer(*this, m_bufferSize);
        OnBufferCreated();
    } else {
        pBuffer->AddRef();
    }

    m_activeList.PushHead(pBuffer);
    OnBufferAllocated();
    return pBuffer;
}

void CIOBuffer::Allocator::Release(CIOBuffer *pBuffer)
{
    if (!pBuffer)
        throw CException("CIOBuffer::Allocator::Release()", "pBuffer is null");

    CCriticalSectionGuard lock(m_criticalSection);

    OnBufferReleased();
    m_activeList.Erase(pBuffer);

    if (m_maxPooledBuffers != 0 && m_freeList.Count() >= m_maxPooledBuffers) {
        DestroyBuffer(pBuffer, true);
    } else {
        pBuffer->Clear();
        m_freeList.PushHead(pBuffer);
    }
}

void CIOBuffer::Allocator::DestroyAllBuffers() { FreeAllBuffers(true); }

void CIOBuffer::Allocator::FreeAllBuffers(bool notify)
{
    CCriticalSectionGuard lock(m_criticalSection);

    while (CIOBuffer *pBuffer = m_activeList.PopHead())
        DestroyBuffer(pBuffer, notify);
    while (CIOBuffer *pBuffer = m_freeList.PopHead())
        DestroyBuffer(pBuffer, notify);
}

size_t CIOBuffer::Allocator::GetFreeBufferCount()
{
    CCriticalSectionGuard lock(m_criticalSection);
    return m_freeList.Count();
}

size_t CIOBuffer::Allocator::GetInUseBufferCount()
{
    CCriticalSectionGuard lock(m_criticalSection);
    return m_activeList.Count();
}

// Called with the lock held, on a buffer that is in no list.
void CIOBuffer::Allocator::DestroyBuffer(CIOBuffer *pBuffer, bool notify)
{
    CIntrusiveList<CIOBuffer>::ClearLink(pBuffer);
    pBuffer->~CIOBuffer();
    ::operator delete(static_cast<void *>(pBuffer));
    if (notify)
        OnBufferDestroyed();
}

}  // namespace Win32
}  // namespace Tarnwick
