// Hands out buffers in sequence-number order: a buffer that arrives early waits until every
// buffer before it has been processed. The lock given at construction guards the queue.
//
// Use: process what OfferBuffer returns, then call AdvanceAndTake and process what it returns,
// until it returns null. The queue holds the caller's reference of a waiting buffer and hands it
// back with the buffer.
#pragma once

#include <map>

#include "platform/win32.h"
#include "win32/CriticalSection.h"
#include "win32/IOBuffer.h"

namespace Tarnwick {
namespace Win32 {

class COrderedBufferQueue {
public:
    explicit COrderedBufferQueue(CCriticalSection &lock);

    COrderedBufferQueue(const COrderedBufferQueue &) = delete;
    COrderedBufferQueue &operator=(const COrderedBufferQueue &) = delete;

    // The buffer that may be processed now (this one or an earlier arrival), or null. A second
    // buffer under a number that is already waiting is kept out: the first one stays.
    CIOBuffer *OfferBuffer(CIOBuffer *pBuffer);

    // Declares the expected number processed; the next buffer if it is waiting, else null.
    CIOBuffer *AdvanceAndTake();

    // For a reused connection: numbering starts again at 0.
    void Reset();

    DWORD GetExpected();
    size_t GetWaitingCount();

private:
    CIOBuffer *TakeExpected();

    DWORD m_expected;
    std::map<DWORD, CIOBuffer *> m_buffers;
    CCriticalSection *m_pLock;
};

}  // namespace Win32
}  // namespace Tarnwick
