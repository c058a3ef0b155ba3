#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

HANDLE NewPort() { return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0); }

}  // namespace

TEST(CompletionPort, timed_wait_on_an_empty_port_times_out_and_leaves_key_and_count_alone)
{
    HANDLE port = NewPort();
    ASSERT_NE(nullptr, port);
    DWORD bytes = 77;
    ULONG_PTR key = 88;
    OVERLAPPED dummy{};
    LPOVERLAPPED overlapped = &dummy;
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 20));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), GetLastError());
    EXPECT_EQ(nullptr, overlapped);
    EXPECT_EQ(77u, bytes);
    EXPECT_EQ(88u, key);
    // A zero time-out polls.
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), GetLastError());
    EXPECT_TRUE(CloseHandle(port));
}

TEST(CompletionPort, posted_packets_come_back_whole_and_in_order)
{
    HANDLE port = NewPort();
    ASSERT_NE(nullptr, port);
    OVERLAPPED first{}, second{};
    ASSERT_TRUE(PostQueuedCompletionStatus(port, 10, 1, &first));
    ASSERT_TRUE(PostQueuedCompletionStatus(port, 20, 2, &second));
    ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 0, nullptr));

    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = nullptr;
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE));
    EXPECT_EQ(10u, bytes);
    EXPECT_EQ(1u, key);
    EXPECT_EQ(&first, overlapped);
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE));
    EXPECT_EQ(20u, bytes);
    EXPECT_EQ(2u, key);
    EXPECT_EQ(&second, overlapped);
    // The stop order of the workers: key 0, nothing transferred, no overlapped record.
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 1000));
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(0u, key);
    EXPECT_EQ(nullptr, overlapped);
    EXPECT_TRUE(CloseHandle(port));
}

TEST(CompletionPort, calls_on_a_closed_or_foreign_handle_fail_with_invalid_handle)
{
    HANDLE port = NewPort();
    ASSERT_NE(nullptr, port);
    ASSERT_TRUE(CloseHandle(port));
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = nullptr;
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(PostQueuedCompletionStatus(port, 0, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    // A handle that names some other kind of object.
    HANDLE other = pelmora::platform::InsertHandle(std::make_shared<pelmora::platform::Object>());
    EXPECT_FALSE(PostQueuedCompletionStatus(other, 0, 1, nullptr));
    EXPECT_EQ(nullptr, CreateIoCompletionPort(INVALID_HANDLE_VALUE, other, 1, 0));
    EXPECT_EQ(nullptr, CreateIoCompletionPort(other, nullptr, 1, 0));
    CloseHandle(other);
}

TEST(CompletionPort, each_packet_goes_to_exactly_one_of_many_waiting_threads)
{
    HANDLE port = NewPort();
    ASSERT_NE(nullptr, port);
    constexpr int kThreads = 8;
    constexpr int kPackets = 2000;
    std::vector<std::vector<ULONG_PTR>> received(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < kThreads; ++t) {
        waiters.emplace_back([&, t] {
            for (;;) {
                DWORD bytes = 0;
                ULONG_PTR key = 0;
                LPOVERLAPPED overlapped = nullptr;
                if (!GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE)) {
                    ++failures;
                    return;
                }
                if (key == 0)
                    return;
                if (bytes != key * 3)
                    ++failures;
                received[t].push_back(key);
            }
        });
    }
    // Posting from two threads at once, while the waiters take packets.
    std::thread otherPoster([&] {
        for (int i = 1; i <= kPackets; i += 2)
            PostQueuedCompletionStatus(port, static_cast<DWORD>(i * 3), i, nullptr);
    });
    for (int i = 2; i <= kPackets; i += 2)
        PostQueuedCompletionStatus(port, static_cast<DWORD>(i * 3), i, nullptr);
    otherPoster.join();
    for (int t = 0; t < kThreads; ++t)
        PostQueuedCompletionStatus(port, 0, 0, nullptr);
    for (auto &waiter : waiters)
        waiter.join();

    EXPECT_EQ(0, failures.load());
    std::vector<ULONG_PTR> all;
    for (auto &keys : received)
        all.insert(all.end(), keys.begin(), keys.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(static_cast<size_t>(kPackets), all.size());
    for (int i = 0; i < kPackets; ++i)
        EXPECT_EQ(static_cast<ULONG_PTR>(i + 1), all[i]);
    EXPECT_TRUE(CloseHandle(port));
}

TEST(CompletionPort, a_blocked_waiter_wakes_for_a_packet_posted_later)
{
    HANDLE port = NewPort();
    ASSERT_NE(nullptr, port);
    ULONG_PTR key = 0;
    std::thread waiter([&] {
        DWORD bytes = 0;
        LPOVERLAPPED overlapped = nullptr;
        GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 10000);
    });
    PostQueuedCompletionStatus(port, 0, 42, nullptr);
    waiter.join();
    EXPECT_EQ(42u, key);
    EXPECT_TRUE(CloseHandle(port));
}

// Waiters that time out again and again (leaving the port's list of sleepers each time) while
// packets come in from two threads: each packet still reaches exactly one of them.
TEST(CompletionPort, waiters_timing_out_over_and_over_lose_no_packet)
{
    HANDLE port = NewPort();
    ASSERT_NE(nullptr, port);
    constexpr int kThreads = 4;
    constexpr int kPackets = 2000;
    std::vector<std::vector<ULONG_PTR>> received(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < kThreads; ++t) {
        waiters.emplace_back([&, t] {
            for (;;) {
                DWORD bytes = 0;
                ULONG_PTR key = 0;
                LPOVERLAPPED overlapped = nullptr;
                if (!GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 1)) {
                    if (GetLastError() != WAIT_TIMEOUT || overlapped != nullptr) {
                        ++failures;
                        return;
                    }
                    continue;
                }
                if (key == 0)
                    return;
                received[t].push_back(key);
            }
        });
    }
    std::thread otherPoster([&] {
        for (int i = 1; i <= kPackets; i += 2)
            PostQueuedCompletionStatus(port, 0, i, nullptr);
    });
    for (int i = 2; i <= kPackets; i += 2)
        PostQueuedCompletionStatus(port, 0, i, nullptr);
    otherPoster.join();
    for (int t = 0; t < kThreads; ++t)
        PostQueuedCompletionStatus(port, 0, 0, nullptr);
    for (auto &waiter : waiters)
        waiter.join();

    EXPECT_EQ(0, failures.load());
    std::vector<ULONG_PTR> all;
    for (auto &keys : received)
        all.insert(all.end(), keys.begin(), keys.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(static_cast<size_t>(kPackets), all.size());
    for (int i = 0; i < kPackets; ++i)
        EXPECT_EQ(static_cast<ULONG_PTR>(i + 1), all[i]);
    EXPECT_TRUE(CloseHandle(port));
}

// A thread that polls takes many packets that a sleeping waiter had been woken for; the waiter
// must then sleep on and still be woken for the packets that are left to it, up to the last.
TEST(CompletionPort, a_waiter_whose_packets_are_taken_by_a_polling_thread_still_gets_the_rest)
{
    HANDLE port = NewPort();
    ASSERT_NE(nullptr, port);
    constexpr int kPackets = 2000;
    std::vector<ULONG_PTR> sleeperKeys;
    std::thread sleeper([&] {
        for (;;) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED overlapped = nullptr;
            if (!GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE) || key == 0)
                return;
            sleeperKeys.push_back(key);
        }
    });
    std::vector<ULONG_PTR> pollerKeys;
    for (int i = 1; i <= kPackets; ++i) {
        PostQueuedCompletionStatus(port, 0, i, nullptr);
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        if (GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 0))
            pollerKeys.push_back(key);
    }
    PostQueuedCompletionStatus(port, 0, 0, nullptr);
    sleeper.join();  // hangs (and the test times out) if the stop packet woke nobody

    std::vector<ULONG_PTR> all = sleeperKeys;
    all.insert(all.end(), pollerKeys.begin(), pollerKeys.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(static_cast<size_t>(kPackets), all.size());
    for (int i = 0; i < kPackets; ++i)
        EXPECT_EQ(static_cast<ULONG_PTR>(i + 1), all[i]);
    EXPECT_TRUE(CloseHandle(port));
}
