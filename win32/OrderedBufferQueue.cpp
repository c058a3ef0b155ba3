#include "win32/OrderedBufferQueue.h"

namespace Tarnwick {
namespace Win32 {

COrderedBufferQueue::COrderedBufferQueue(CCriticalSection &lock) : m_expected(0), m_pLock(&lock) {}

CIOBuffer *COrderedBufferQueue::OfferBuffer(CIOBuffer *pBuffer)
{
    CCriticalSectionGuard lock(*m_pLock);

    if (pBuffer->GetSequenceNumber() == m_expected)
        return pBuffer;

    m_buffers.emplace(pBuffer->GetSequenceNumber(), pBuffer);
    return TakeExpected();
}

CIOBuffer *COrderedBufferQueue::AdvanceAndTake()
{
    CCriticalSectionGuard lock(*m_pLock);

    ++m_expected;
    return TakeExpected();
}

void COrderedBufferQueue::Reset()
{
    CCriticalSectionGuard lock(*m_pLock);

    m_expected = 0;
    m_buffers.clear();
}

DWORD COrderedBufferQueue::GetExpected()
{
    CCriticalSectionGuard lock(*m_pLock);
    return m_expected;
}

size_t COrderedBufferQueue::GetWaitingCount()
{
    CCriticalSectionGuard lock(*m_pLock);
    return m_buffers.size();
}

// With the lock held.
CIOBuffer *COrderedBufferQueue::TakeExpected()
{
    auto first = m_buffers.begin();
    if (first == m_buffers.end() || first->first != m_expected)
        return nullptr;
    CIOBuffer *pBuffer = first->second;
    m_buffers.erase(first);
    return pBuffer;
}

}  // namespace Win32
}  // namespace Tarnwick
