#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/IOBuffer.h"
#include "win32/IntrusiveList.h"
#include "win32/OrderedBufferQueue.h"
#include "win32/Thread.h"

using namespace Tarnwick::Win32;

namespace {

class CCountingAllocator : public CIOBuffer::Allocator {
public:
    CCountingAllocator(DWORD bufferSize, DWORD maxPooledBuffers)
        : Allocator(bufferSize, maxPooledBuffers)
    {
    }

    std::atomic<int> created{0};
    std::atomic<int> allocated{0};
    std::atomic<int> released{0};
    std::atomic<int> destroyed{0};

    using Allocator::Release;

private:
    void OnBufferCreated() override { ++created; }
    void OnBufferAllocated() override { ++allocated; }
    void OnBufferReleased() override { ++released; }
    void OnBufferDestroyed() override { ++destroyed; }
};

// Expects `action` to throw a CException with exactly this where and message.
template <class Action>
void ExpectThrows(Action action, const char *where, const char *message)
{
    try {
        action();
        ADD_FAILURE() << "no exception; expected " << where;
    } catch (const CException &e) {
        EXPECT_EQ(where, e.GetWhere());
        EXPECT_EQ(message, e.GetMessage());
    }
}

void ExpectWholePayloadDescriptor(CIOBuffer *pBuffer)
{
    EXPECT_EQ(reinterpret_cast<CHAR *>(pBuffer->GetPayload()), pBuffer->GetWsaBuf()->buf);
    EXPECT_EQ(pBuffer->GetCapacity(), pBuffer->GetWsaBuf()->len);
}

struct Node {
    explicit Node(int v) : value(v), m_listLink() {}
    int value;
    CIntrusiveList<Node>::ListLink m_listLink;
};

std::vector<int> Values(const CIntrusiveList<Node> &list)
{
    std::vector<int> values;
    for (Node *p = list.Head(); p; p = CIntrusiveList<Node>::Next(p))
        values.push_back(p->value);
    return values;
}

}  // namespace

TEST(IntrusiveList, inserts_at_the_head_and_pops_last_in_first_out)
{
    Node a(1), b(2), c(3);
    CIntrusiveList<Node> list;
    list.PushHead(&a);
    list.PushHead(&b);
    list.PushHead(&c);
    EXPECT_EQ(3u, list.Count());
    EXPECT_EQ((std::vector<int>{3, 2, 1}), Values(list));
    EXPECT_EQ(&c, list.PopHead());
    EXPECT_EQ(&b, list.PopHead());
    EXPECT_EQ(&a, list.PopHead());
    EXPECT_EQ(nullptr, list.PopHead());
    EXPECT_TRUE(list.IsEmpty());
}

TEST(IntrusiveList, erasing_any_element_relinks_its_neighbours_and_clears_its_links)
{
    Node a(1), b(2), c(3);
    CIntrusiveList<Node> list;
    list.PushHead(&a);
    list.PushHead(&b);
    list.PushHead(&c);

    list.Erase(&b);
    EXPECT_EQ((std::vector<int>{3, 1}), Values(list));
    EXPECT_EQ(nullptr, b.m_listLink.pNext);
    EXPECT_EQ(nullptr, b.m_listLink.pPrev);
    EXPECT_EQ(nullptr, b.m_listLink.pList);

    list.Erase(&c);  // the head: its successor becomes the head
    EXPECT_EQ(&a, list.Head());
    EXPECT_EQ(nullptr, a.m_listLink.pPrev);
    EXPECT_EQ(1u, list.Count());
}

TEST(IntrusiveList, refuses_elements_of_another_list)
{
    Node a(1);
    CIntrusiveList<Node> first, second;
    first.PushHead(&a);
    EXPECT_THROW(second.Erase(&a), CException);
    EXPECT_THROW(second.PushHead(&a), CException);
    EXPECT_TRUE(first.Contains(&a));
    EXPECT_EQ(0u, second.Count());
}

TEST(IOBuffer, a_new_buffer_has_one_reference_nothing_used_and_covers_its_payload)
{
    CCountingAllocator allocator(64, 0);
    CIOBuffer *pBuffer = allocator.Allocate();
    EXPECT_EQ(1, pBuffer->GetRefCount());
    EXPECT_EQ(0u, pBuffer->GetUsedBytes());
    EXPECT_EQ(64u, pBuffer->GetCapacity());
    EXPECT_EQ(0u, pBuffer->GetOperation());
    EXPECT_EQ(0u, pBuffer->GetSequenceNumber());
    ExpectWholePayloadDescriptor(pBuffer);
    EXPECT_EQ(pBuffer, CIOBuffer::FromOverlapped(pBuffer->GetOverlapped()));
    EXPECT_EQ(1, allocator.created);
    EXPECT_EQ(1, allocator.allocated);
    pBuffer->Release();
}

TEST(IOBuffer, add_data_exactly_to_capacity_fills_it_and_one_byte_more_changes_nothing)
{
    CCountingAllocator allocator(8, 0);
    CIOBuffer *pBuffer = allocator.Allocate();
    pBuffer->AddData(BYTE{'a'});
    pBuffer->AddData("bcdefgh", 7);
    EXPECT_EQ(8u, pBuffer->GetUsedBytes());
    EXPECT_EQ(0, memcmp("abcdefgh", pBuffer->GetPayload(), 8));

    ExpectThrows([&] { pBuffer->AddData(BYTE{'x'}); }, "CIOBuffer::AddData",
                 "Not enough space in buffer");
    ExpectThrows([&] { pBuffer->AddData("xyz", 3); }, "CIOBuffer::AddData",
                 "Not enough space in buffer");
    EXPECT_EQ(8u, pBuffer->GetUsedBytes());
    EXPECT_EQ(0, memcmp("abcdefgh", pBuffer->GetPayload(), 8));
    pBuffer->Release();
}

TEST(IOBuffer, descriptors_for_read_write_and_zero_byte_read)
{
    CCountingAllocator allocator(16, 0);
    CIOBuffer *pBuffer = allocator.Allocate();
    pBuffer->AddData("12345", 5);

    pBuffer->PrepareForRead();
    EXPECT_EQ(reinterpret_cast<CHAR *>(pBuffer->GetPayload() + 5), pBuffer->GetWsaBuf()->buf);
    EXPECT_EQ(11u, pBuffer->GetWsaBuf()->len);

    pBuffer->PrepareForZeroByteRead();
    EXPECT_EQ(reinterpret_cast<CHAR *>(pBuffer->GetPayload()), pBuffer->GetWsaBuf()->buf);
    EXPECT_EQ(0u, pBuffer->GetWsaBuf()->len);
    EXPECT_EQ(5u, pBuffer->GetUsedBytes());

    pBuffer->PrepareForWrite();
    EXPECT_EQ(reinterpret_cast<CHAR *>(pBuffer->GetPayload()), pBuffer->GetWsaBuf()->buf);
    EXPECT_EQ(5u, pBuffer->GetWsaBuf()->len);
    EXPECT_EQ(0u, pBuffer->GetUsedBytes());  // the completion adds the bytes sent back
    pBuffer->AddUsed(5);
    EXPECT_EQ(5u, pBuffer->GetUsedBytes());

    pBuffer->Clear();
    EXPECT_EQ(0u, pBuffer->GetUsedBytes());
    ExpectWholePayloadDescriptor(pBuffer);
    pBuffer->Release();
}

TEST(IOBuffer, remove_front_and_split_front_keep_the_remaining_bytes_at_the_start)
{
    CCountingAllocator allocator(16, 0);
    CIOBuffer *pBuffer = allocator.Allocate();
    pBuffer->AddData("abcdefghij", 10);

    pBuffer->RemoveFront(3);
    EXPECT_EQ(7u, pBuffer->GetUsedBytes());
    EXPECT_EQ(0, memcmp("defghij", pBuffer->GetPayload(), 7));

    CIOBuffer *pFront = pBuffer->SplitFront(4);
    EXPECT_EQ(&pBuffer->GetAllocator(), &pFront->GetAllocator());
    EXPECT_EQ(4u, pFront->GetUsedBytes());
    EXPECT_EQ(0, memcmp("defg", pFront->GetPayload(), 4));
    EXPECT_EQ(3u, pBuffer->GetUsedBytes());
    EXPECT_EQ(0, memcmp("hij", pBuffer->GetPayload(), 3));
    EXPECT_EQ(1, pFront->GetRefCount());

    EXPECT_THROW(pBuffer->RemoveFront(4), CException);
    EXPECT_EQ(3u, pBuffer->GetUsedBytes());
    pFront->Release();
    pBuffer->Release();
}

TEST(IOBuffer, release_at_zero_throws_and_leaves_the_free_list_alone)
{
    CCountingAllocator allocator(16, 0);
    CIOBuffer *pBuffer = allocator.Allocate();
    pBuffer->Release();
    ASSERT_EQ(1u, allocator.GetFreeBufferCount());
    ASSERT_EQ(1, allocator.released);

    ExpectThrows([&] { pBuffer->Release(); }, "CIOBuffer::Release()", "m_ref is already 0");
    EXPECT_EQ(1u, allocator.GetFreeBufferCount());
    EXPECT_EQ(0u, allocator.GetInUseBufferCount());
    EXPECT_EQ(1, allocator.released);
    EXPECT_EQ(0, allocator.destroyed);
    EXPECT_EQ(0, pBuffer->GetRefCount());

    // Still a healthy idle buffer: it is handed out again.
    EXPECT_EQ(pBuffer, allocator.Allocate());
    pBuffer->Release();
}

TEST(IOBuffer, the_last_release_resets_operation_sequence_and_used)
{
    CCountingAllocator allocator(16, 0);
    CIOBuffer *pBuffer = allocator.Allocate();
    pBuffer->AddRef();
    pBuffer->SetOperation(5);
    pBuffer->SetSequenceNumber(9);
    pBuffer->AddData("abc", 3);
    pBuffer->Release();
    EXPECT_EQ(5u, pBuffer->GetOperation());  // still referenced: untouched
    EXPECT_EQ(0u, allocator.GetFreeBufferCount());
    pBuffer->Release();
    EXPECT_EQ(0u, pBuffer->GetOperation());
    EXPECT_EQ(0u, pBuffer->GetSequenceNumber());
    EXPECT_EQ(0u, pBuffer->GetUsedBytes());
    EXPECT_EQ(1u, allocator.GetFreeBufferCount());
}

TEST(Allocator, a_pool_limit_of_one_keeps_the_first_release_and_destroys_the_second)
{
    CCountingAllocator allocator(32, 1);
    CIOBuffer *pFirst = allocator.Allocate();
    CIOBuffer *pSecond = allocator.Allocate();
    EXPECT_EQ(2, allocator.created);

    pFirst->Release();
    EXPECT_EQ(1u, allocator.GetFreeBufferCount());
    EXPECT_EQ(0, allocator.destroyed);

    pSecond->Release();
    EXPECT_EQ(1u, allocator.GetFreeBufferCount());
    EXPECT_EQ(1, allocator.destroyed);
    EXPECT_EQ(2, allocator.released);
    EXPECT_EQ(0u, allocator.GetInUseBufferCount());

    EXPECT_EQ(pFirst, allocator.Allocate());  // the survivor is the pooled one
    pFirst->Release();
}

TEST(Allocator, without_a_pool_limit_nothing_is_destroyed_before_shutdown)
{
    CCountingAllocator allocator(32, 0);
    std::vector<CIOBuffer *> buffers;
    for (int i = 0; i < 50; ++i)
        buffers.push_back(allocator.Allocate());
    for (CIOBuffer *pBuffer : buffers)
        pBuffer->Release();
    EXPECT_EQ(50u, allocator.GetFreeBufferCount());
    EXPECT_EQ(0, allocator.destroyed);

    allocator.DestroyAllBuffers();
    EXPECT_EQ(50, allocator.destroyed);
    EXPECT_EQ(0u, allocator.GetFreeBufferCount());
}

TEST(Allocator, reuses_the_most_recently_released_buffer_cleared_and_without_creating)
{
    CCountingAllocator allocator(32, 0);
    CIOBuffer *pA = allocator.Allocate();
    CIOBuffer *pB = allocator.Allocate();
    pA->AddData("hello", 5);
    pA->PrepareForRead();
    pB->Release();
    pA->Release();

    CIOBuffer *pReused = allocator.Allocate();
    EXPECT_EQ(pA, pReused);
    EXPECT_EQ(1, pReused->GetRefCount());
    EXPECT_EQ(0u, pReused->GetUsedBytes());
    ExpectWholePayloadDescriptor(pReused);
    EXPECT_EQ(2, allocator.created);
    EXPECT_EQ(3, allocator.allocated);
    EXPECT_EQ(pB, allocator.Allocate());
    pA->Release();
    pB->Release();
}

TEST(Allocator, destroy_all_buffers_frees_idle_and_in_use_buffers)
{
    CCountingAllocator allocator(32, 0);
    allocator.Allocate();
    allocator.Allocate();
    allocator.Allocate()->Release();
    EXPECT_EQ(2u, allocator.GetInUseBufferCount());
    EXPECT_EQ(1u, allocator.GetFreeBufferCount());

    allocator.DestroyAllBuffers();
    EXPECT_EQ(3, allocator.destroyed);
    EXPECT_EQ(0u, allocator.GetInUseBufferCount());
    EXPECT_EQ(0u, allocator.GetFreeBufferCount());
}

TEST(Allocator, releasing_null_to_the_allocator_throws)
{
    CCountingAllocator allocator(32, 0);
    ExpectThrows([&] { allocator.Release(nullptr); }, "CIOBuffer::Allocator::Release()",
                 "pBuffer is null");
    EXPECT_EQ(0, allocator.released);
}

namespace {

// Allocates, fills, shares and releases buffers; several run at once on one allocator.
class CChurnThread : public CThread {
public:
    CChurnThread(CIOBuffer::Allocator &allocator, CManualResetEvent &go)
        : m_allocator(allocator), m_go(go)
    {
    }
    std::atomic<int> errors{0};

private:
    int Run() override
    {
        m_go.Wait();
        for (int i = 0; i < 2000; ++i) {
            CIOBuffer *pBuffer = m_allocator.Allocate();
            if (pBuffer->GetUsedBytes() != 0 || pBuffer->GetRefCount() != 1)
                ++errors;
            pBuffer->AddData(static_cast<BYTE>(i));
            pBuffer->AddRef();
            pBuffer->Release();
            pBuffer->Release();
        }
        return 0;
    }

    CIOBuffer::Allocator &m_allocator;
    CManualResetEvent &m_go;
};

}  // namespace

TEST(Allocator, concurrent_allocation_and_release_keep_the_lists_consistent)
{
    CCountingAllocator allocator(16, 3);
    CManualResetEvent go(false);
    std::vector<std::unique_ptr<CChurnThread>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(std::make_unique<CChurnThread>(allocator, go));
        threads.back()->Start();
    }
    go.Set();
    for (auto &thread : threads)
        thread->Wait();

    for (auto &thread : threads)
        EXPECT_EQ(0, thread->errors);
    EXPECT_EQ(0u, allocator.GetInUseBufferCount());
    EXPECT_LE(allocator.GetFreeBufferCount(), 3u);
    EXPECT_EQ(8000, allocator.allocated);
    EXPECT_EQ(8000, allocator.released);
    EXPECT_EQ(allocator.created - allocator.destroyed,
              static_cast<int>(allocator.GetFreeBufferCount()));
}

namespace {

class OrderedBufferQueueTest : public ::testing::Test {
protected:
    CIOBuffer *Numbered(DWORD sequenceNumber)
    {
        CIOBuffer *pBuffer = allocator.Allocate();
        pBuffer->SetSequenceNumber(sequenceNumber);
        buffers.push_back(pBuffer);
        return pBuffer;
    }
    void TearDown() override
    {
        for (CIOBuffer *pBuffer : buffers)
            pBuffer->Release();
    }

    CCountingAllocator allocator{16, 0};
    CCriticalSection lock;
    COrderedBufferQueue queue{lock};
    std::vector<CIOBuffer *> buffers;
};

}  // namespace

TEST_F(OrderedBufferQueueTest, offering_one_then_zero_hands_out_zero_then_one_then_nothing)
{
    CIOBuffer *pOne = Numbered(1);
    CIOBuffer *pZero = Numbered(0);
    EXPECT_EQ(nullptr, queue.OfferBuffer(pOne));
    EXPECT_EQ(pZero, queue.OfferBuffer(pZero));
    EXPECT_EQ(0u, queue.GetExpected());  // offering does not advance
    EXPECT_EQ(pOne, queue.AdvanceAndTake());
    EXPECT_EQ(nullptr, queue.AdvanceAndTake());
    EXPECT_EQ(2u, queue.GetExpected());
    EXPECT_EQ(0u, queue.GetWaitingCount());
}

TEST_F(OrderedBufferQueueTest, the_expected_buffer_passes_straight_through)
{
    CIOBuffer *pZero = Numbered(0);
    EXPECT_EQ(pZero, queue.OfferBuffer(pZero));
    EXPECT_EQ(nullptr, queue.AdvanceAndTake());
    CIOBuffer *pOne = Numbered(1);
    EXPECT_EQ(pOne, queue.OfferBuffer(pOne));
}

TEST_F(OrderedBufferQueueTest, a_reversed_run_comes_out_in_order)
{
    const DWORD count = 20;
    std::vector<CIOBuffer *> byNumber(count);
    for (DWORD n = count; n-- > 1;) {
        byNumber[n] = Numbered(n);
        EXPECT_EQ(nullptr, queue.OfferBuffer(byNumber[n]));
    }
    byNumber[0] = Numbered(0);
    std::vector<CIOBuffer *> out;
    for (CIOBuffer *p = queue.OfferBuffer(byNumber[0]); p; p = queue.AdvanceAndTake())
        out.push_back(p);
    EXPECT_EQ(byNumber, out);
}

TEST_F(OrderedBufferQueueTest, a_second_buffer_under_a_waiting_number_is_never_handed_out)
{
    CIOBuffer *pFirst = Numbered(1);
    CIOBuffer *pDuplicate = Numbered(1);
    EXPECT_EQ(nullptr, queue.OfferBuffer(pFirst));
    EXPECT_EQ(nullptr, queue.OfferBuffer(pDuplicate));
    EXPECT_EQ(1u, queue.GetWaitingCount());
    CIOBuffer *pZero = Numbered(0);
    EXPECT_EQ(pZero, queue.OfferBuffer(pZero));
    EXPECT_EQ(pFirst, queue.AdvanceAndTake());
    EXPECT_EQ(nullptr, queue.AdvanceAndTake());
}

TEST_F(OrderedBufferQueueTest, reset_starts_the_numbering_again_at_zero)
{
    CIOBuffer *pZero = Numbered(0);
    EXPECT_EQ(pZero, queue.OfferBuffer(pZero));
    EXPECT_EQ(nullptr, queue.AdvanceAndTake());
    queue.Reset();
    EXPECT_EQ(0u, queue.GetExpected());
    CIOBuffer *pAgain = Numbered(0);
    EXPECT_EQ(pAgain, queue.OfferBuffer(pAgain));
}
