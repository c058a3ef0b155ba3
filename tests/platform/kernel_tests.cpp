#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/win32.h"

using pelmora::platform::WaitsInProgress;

namespace {

// Closes a handle at the end of a scope.
struct Handle {
    explicit Handle(HANDLE h = nullptr) : h(h) {}
    ~Handle()
    {
        if (h)
            CloseHandle(h);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    operator HANDLE() const { return h; }
    HANDLE h;
};

// Threads that the test joins. Should a failed assertion leave the scope first, `release`
// runs and the threads are joined then, so no blocked thread aborts the whole program.
class ThreadGroup {
public:
    explicit ThreadGroup(std::function<void()> release = {}) : release_(std::move(release)) {}
    ~ThreadGroup()
    {
        if (release_)
            release_();
        Join();
    }
    template <class F>
    void Start(F f)
    {
        threads_.emplace_back(std::move(f));
    }
    void Join()
    {
        for (auto &t : threads_)
            if (t.joinable())
                t.join();
        release_ = nullptr;
    }

private:
    std::function<void()> release_;
    std::vector<std::thread> threads_;
};

// Blocks until `count` waits are in progress on `h` (the threads started them).
void AwaitWaiters(HANDLE h, size_t count)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (WaitsInProgress(h) < count) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << "waiters never blocked";
        std::this_thread::yield();
    }
}

}  // namespace

// ---- events ----------------------------------------------------------------------------------

TEST(Events, zero_timeout_wait_leaves_a_manual_reset_event_signalled)
{
    Handle e(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    ASSERT_NE(nullptr, e.h);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(e, 0));
}

TEST(Events, auto_reset_event_is_consumed_by_one_wait)
{
    Handle e(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(e, 0));
    ASSERT_TRUE(SetEvent(e));
    ASSERT_TRUE(SetEvent(e));  // does not count: one wait still takes it
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(e, 0));
}

TEST(Events, auto_reset_event_hands_exactly_one_waiter_per_set)
{
    constexpr int kWaiters = 6;
    Handle e(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle released(CreateSemaphoreA(nullptr, 0, kWaiters, nullptr));
    ThreadGroup threads([&] {
        for (int i = 0; i < kWaiters; ++i)
            SetEvent(e);
    });
    for (int i = 0; i < kWaiters; ++i)
        threads.Start([&] {
            if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0)
                ReleaseSemaphore(released, 1, nullptr);
        });
    for (int i = 1; i <= kWaiters; ++i) {
        AwaitWaiters(e, kWaiters - i + 1);
        ASSERT_TRUE(SetEvent(e));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(released, 10000));
        // The one set released one thread, the others still wait and the event is taken.
        EXPECT_EQ(static_cast<size_t>(kWaiters - i), WaitsInProgress(e));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(e, 0));
    }
    threads.Join();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(released, 0));
}

TEST(Events, pulse_without_waiters_leaves_the_event_unsignalled)
{
    for (BOOL manual : {FALSE, TRUE}) {
        Handle e(CreateEventA(nullptr, manual, FALSE, nullptr));
        ASSERT_TRUE(PulseEvent(e));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(e, 0)) << manual;
        ASSERT_TRUE(SetEvent(e));
        ASSERT_TRUE(PulseEvent(e));  // a signalled event ends non-signalled as well
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(e, 0)) << manual;
    }
}

TEST(Events, pulse_releases_all_waiters_of_a_manual_event_and_one_of_an_auto_event)
{
    for (BOOL manual : {TRUE, FALSE}) {
        constexpr int kWaiters = 4;
        Handle e(CreateEventA(nullptr, manual, FALSE, nullptr));
        Handle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::atomic<int> pulsed{0};
        ThreadGroup threads([&] { SetEvent(stop); });
        for (int i = 0; i < kWaiters; ++i)
            threads.Start([&] {
                HANDLE both[] = {e, stop};
                if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0)
                    ++pulsed;
            });
        AwaitWaiters(e, kWaiters);
        ASSERT_TRUE(PulseEvent(e));
        EXPECT_EQ(static_cast<size_t>(manual ? 0 : kWaiters - 1), WaitsInProgress(e));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(e, 0));
        SetEvent(stop);
        threads.Join();
        EXPECT_EQ(manual ? kWaiters : 1, pulsed.load()) << manual;
    }
}

TEST(Events, set_on_a_manual_event_releases_every_waiter)
{
    constexpr int kWaiters = 5;
    Handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> woken{0};
    ThreadGroup threads([&] { SetEvent(e); });
    for (int i = 0; i < kWaiters; ++i)
        threads.Start([&] {
            if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0)
                ++woken;
        });
    AwaitWaiters(e, kWaiters);
    ASSERT_TRUE(SetEvent(e));
    threads.Join();
    EXPECT_EQ(kWaiters, woken.load());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
}

TEST(Events, event_calls_on_other_handles_fail_with_invalid_handle)
{
    Handle s(CreateSemaphoreA(nullptr, 0, 1, nullptr));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(s));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(ResetEvent(reinterpret_cast<HANDLE>(0x7ffffff0)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// ---- mutexes ---------------------------------------------------------------------------------

TEST(Mutexes, owner_recurses_and_others_cannot_release)
{
    Handle m(CreateMutexA(nullptr, TRUE, nullptr));
    ASSERT_NE(nullptr, m.h);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // second level
    std::thread([&] {
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(m, 0));
        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
    }).join();
    EXPECT_TRUE(ReleaseMutex(m));
    std::thread([&] {  // still held once
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(m, 0));
    })
        .join();
    EXPECT_TRUE(ReleaseMutex(m));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
    std::thread([&] {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
        EXPECT_TRUE(ReleaseMutex(m));
    }).join();
}

TEST(Mutexes, mutex_of_an_ended_thread_is_abandoned_to_the_next_waiter)
{
    Handle m(CreateMutexA(nullptr, FALSE, nullptr));
    std::thread([&] { ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0)); }).join();
    EXPECT_EQ(WAIT_ABANDONED_0, WaitForSingleObject(m, 0));
    // The abandoned wait made this thread the owner, and the mark is gone.
    std::thread([&] {
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(m, 0));
    }).join();
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
    EXPECT_TRUE(ReleaseMutex(m));
}

TEST(Mutexes, blocked_waiter_gets_abandoned_index_when_the_owner_ends)
{
    Handle m(CreateMutexA(nullptr, FALSE, nullptr));
    Handle other(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle owned(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    DWORD result = WAIT_FAILED;
    {
        ThreadGroup threads([&] {
            SetEvent(go);
            SetEvent(other);
        });
        threads.Start([&] {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // held twice when it ends
            SetEvent(owned);
            WaitForSingleObject(go, INFINITE);
        });
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(owned, 10000));
        threads.Start([&] {
            HANDLE both[] = {other, m};
            result = WaitForMultipleObjects(2, both, FALSE, INFINITE);
            if (result == WAIT_ABANDONED_0 + 1)
                ReleaseMutex(m);
        });
        AwaitWaiters(m, 1);
        SetEvent(go);
        threads.Join();
    }
    EXPECT_EQ(WAIT_ABANDONED_0 + 1, result);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // released once, not left owned
    EXPECT_TRUE(ReleaseMutex(m));
}

TEST(Mutexes, release_hands_the_mutex_to_a_blocked_waiter)
{
    Handle m(CreateMutexA(nullptr, TRUE, nullptr));
    DWORD result = WAIT_FAILED;
    BOOL released = FALSE;
    {
        ThreadGroup waiter([&] { ReleaseMutex(m); });
        waiter.Start([&] {
            result = WaitForSingleObject(m, INFINITE);
            released = ReleaseMutex(m);
        });
        AwaitWaiters(m, 1);
        ASSERT_TRUE(ReleaseMutex(m));
        waiter.Join();
    }
    EXPECT_EQ(WAIT_OBJECT_0, result);
    EXPECT_TRUE(released);  // the waiter was made the owner
}

TEST(Mutexes, wait_all_reports_the_abandoned_mutex_among_its_objects)
{
    Handle e(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    Handle m(CreateMutexA(nullptr, FALSE, nullptr));
    Handle s(CreateSemaphoreA(nullptr, 1, 1, nullptr));
    std::thread([&] { EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0)); }).join();
    HANDLE all[] = {e, m, s};
    EXPECT_EQ(WAIT_ABANDONED_0 + 1, WaitForMultipleObjects(3, all, TRUE, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(s, 0));  // taken too
    EXPECT_TRUE(ReleaseMutex(m));
}

// ---- semaphores ------------------------------------------------------------------------------

TEST(Semaphores, release_reports_previous_count_and_refuses_to_pass_the_maximum)
{
    Handle s(CreateSemaphoreA(nullptr, 1, 3, nullptr));
    LONG previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(s, 1, &previous));
    EXPECT_EQ(1, previous);
    SetLastError(0);
    EXPECT_FALSE(ReleaseSemaphore(s, 2, &previous));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
    EXPECT_EQ(1, previous);  // untouched by the failed call
    ASSERT_TRUE(ReleaseSemaphore(s, 1, &previous));
    EXPECT_EQ(2, previous);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0)) << i;
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(s, 0));
    ASSERT_TRUE(ReleaseSemaphore(s, 3, &previous));
    EXPECT_EQ(0, previous);
}

TEST(Semaphores, bad_counts_are_refused)
{
    EXPECT_EQ(nullptr, CreateSemaphoreA(nullptr, 2, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, CreateSemaphoreA(nullptr, 0, 0, nullptr));
    EXPECT_EQ(nullptr, CreateSemaphoreA(nullptr, -1, 1, nullptr));
    Handle s(CreateSemaphoreA(nullptr, 0, 1, nullptr));
    EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(Semaphores, release_of_n_completes_exactly_n_waits)
{
    constexpr int kWaiters = 5;
    Handle s(CreateSemaphoreA(nullptr, 0, 10, nullptr));
    std::atomic<int> woken{0};
    ThreadGroup threads([&] { ReleaseSemaphore(s, kWaiters, nullptr); });
    for (int i = 0; i < kWaiters; ++i)
        threads.Start([&] {
            if (WaitForSingleObject(s, INFINITE) == WAIT_OBJECT_0)
                ++woken;
        });
    AwaitWaiters(s, kWaiters);
    LONG previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(s, 3, &previous));
    EXPECT_EQ(0, previous);
    EXPECT_EQ(static_cast<size_t>(kWaiters - 3), WaitsInProgress(s));
    ASSERT_TRUE(ReleaseSemaphore(s, 3, &previous));
    EXPECT_EQ(0, previous);  // the first three went to waiters, not to the count
    threads.Join();
    EXPECT_EQ(kWaiters, woken.load());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0));  // one left over
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(s, 0));
}

// ---- named objects ---------------------------------------------------------------------------

TEST(NamedObjects, creating_an_existing_name_opens_the_same_object)
{
    SetLastError(ERROR_INVALID_DATA);
    Handle first(CreateEventA(nullptr, TRUE, FALSE, "KernelTestEvent"));
    ASSERT_NE(nullptr, first.h);
    EXPECT_EQ(0u, GetLastError());
    Handle second(CreateEventA(nullptr, FALSE, TRUE, "KernelTestEvent"));
    ASSERT_NE(nullptr, second.h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_NE(first.h, second.h);
    // Same object, with the first creation's type and state.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(second, 0));
    ASSERT_TRUE(SetEvent(first));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));  // manual reset

    Handle opened(OpenEventA(EVENT_ALL_ACCESS, FALSE, "KernelTestEvent"));
    ASSERT_NE(nullptr, opened.h);
    ASSERT_TRUE(ResetEvent(opened));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(first, 0));
}

TEST(NamedObjects, names_are_shared_across_types_and_die_with_their_last_handle)
{
    {
        Handle e(CreateEventA(nullptr, TRUE, FALSE, "KernelTestShared"));
        SetLastError(0);
        EXPECT_EQ(nullptr, CreateMutexA(nullptr, FALSE, "KernelTestShared"));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        EXPECT_EQ(nullptr, CreateSemaphoreA(nullptr, 0, 1, "KernelTestShared"));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        EXPECT_EQ(nullptr, OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "KernelTestShared"));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    }
    EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, "KernelTestShared"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    Handle m(CreateMutexA(nullptr, FALSE, "KernelTestShared"));
    EXPECT_NE(nullptr, m.h);
    EXPECT_EQ(0u, GetLastError());
}

TEST(NamedObjects, opening_an_existing_mutex_ignores_the_initial_owner_flag)
{
    Handle first(CreateMutexA(nullptr, FALSE, "KernelTestMutex"));
    std::thread([] {
        Handle second(CreateMutexA(nullptr, TRUE, "KernelTestMutex"));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
        EXPECT_FALSE(ReleaseMutex(second));  // not made the owner
    }).join();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));  // not abandoned either
    EXPECT_TRUE(ReleaseMutex(first));
}

TEST(NamedObjects, named_semaphore_is_shared)
{
    Handle a(CreateSemaphoreA(nullptr, 0, 5, "KernelTestSemaphore"));
    Handle b(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "KernelTestSemaphore"));
    ASSERT_NE(nullptr, b.h);
    ASSERT_TRUE(ReleaseSemaphore(b, 2, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(b, 0));
}

// ---- waits -----------------------------------------------------------------------------------

TEST(Waits, wait_any_returns_the_lowest_signalled_index_and_takes_only_that_object)
{
    Handle a(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle b(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    Handle c(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    HANDLE all[] = {a, b, c};
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, all, FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, all, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, all, FALSE, 0));
    SetEvent(c);
    SetEvent(a);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, all, FALSE, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, all, FALSE, INFINITE));
}

TEST(Waits, wait_all_takes_nothing_until_all_signalled)
{
    Handle a(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    Handle b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle s(CreateSemaphoreA(nullptr, 1, 1, nullptr));
    HANDLE all[] = {a, s, b};
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, all, TRUE, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, all, TRUE, 30));
    // Nothing was taken by the failed waits.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0));
    SetEvent(a);
    ReleaseSemaphore(s, 1, nullptr);

    DWORD result = WAIT_FAILED;
    {
        ThreadGroup waiter([&] { SetEvent(b); });
        waiter.Start([&] { result = WaitForMultipleObjects(3, all, TRUE, INFINITE); });
        AwaitWaiters(b, 1);
        SetEvent(b);
        waiter.Join();
    }
    EXPECT_EQ(WAIT_OBJECT_0, result);
    // All three were taken together.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(a, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(b, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(s, 0));
}

TEST(Waits, blocked_wait_all_lets_a_wait_any_take_what_it_cannot_use)
{
    Handle a(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    DWORD allResult = WAIT_FAILED;
    {
        ThreadGroup all([&] {
            SetEvent(a);
            SetEvent(b);
        });
        all.Start([&] {
            HANDLE both[] = {a, b};
            allResult = WaitForMultipleObjects(2, both, TRUE, INFINITE);
        });
        AwaitWaiters(a, 1);
        SetEvent(a);  // the wait-all must not keep it: only one of its two objects is signalled
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));
        SetEvent(a);
        SetEvent(b);
        all.Join();
    }
    EXPECT_EQ(WAIT_OBJECT_0, allResult);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(a, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(b, 0));
}

TEST(Waits, bad_handles_and_counts_fail_the_wait)
{
    Handle e(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    HANDLE bad = reinterpret_cast<HANDLE>(0x7ffffff0);
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(bad, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    HANDLE mixed[] = {e, bad};
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, mixed, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, mixed, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e.h);
    EXPECT_EQ(WAIT_FAILED,
              WaitForMultipleObjects(static_cast<DWORD>(many.size()), many.data(), FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0));
    HANDLE twice[] = {e, e};
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, twice, TRUE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // A closed handle is a bad handle.
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(closed, 0));
}

TEST(Waits, closing_a_handle_does_not_end_a_wait_in_progress)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    Handle keep(copy);
    DWORD result = WAIT_FAILED;
    {
        ThreadGroup waiter([&] { SetEvent(copy); });
        waiter.Start([&] { result = WaitForSingleObject(e, INFINITE); });
        AwaitWaiters(e, 1);
        ASSERT_TRUE(CloseHandle(e));
        ASSERT_TRUE(SetEvent(copy));
        waiter.Join();
    }
    EXPECT_EQ(WAIT_OBJECT_0, result);
}

TEST(Waits, timed_wait_returns_when_signalled_within_its_time)
{
    Handle e(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    DWORD result = WAIT_FAILED;
    {
        ThreadGroup waiter([&] { SetEvent(e); });
        waiter.Start([&] { result = WaitForSingleObject(e, 60000); });
        AwaitWaiters(e, 1);
        ASSERT_TRUE(SetEvent(e));
        waiter.Join();
    }
    EXPECT_EQ(WAIT_OBJECT_0, result);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(e, 0));
}

TEST(Waits, timed_wait_times_out_after_its_time)
{
    Handle e(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(e, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(0u, WaitsInProgress(e));  // the timed-out wait left the object
}

TEST(Waits, wait_all_stays_atomic_under_contention)
{
    // One token at a time in each auto-reset event; every consumer reports each event it took,
    // and the producer sets an event again only when its token has been reported. A wait-all
    // that took one event and then gave up would lose a token for good (the producer then
    // waits in vain); a double take would show in the totals.
    constexpr int kTakes = 6000;
    Handle a(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle tookA(CreateSemaphoreA(nullptr, 0, 1 << 30, nullptr));
    Handle tookB(CreateSemaphoreA(nullptr, 0, 1 << 30, nullptr));
    Handle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    // The wait-any consumers take part only in alternate stretches: when blocked they are
    // handed every token at once and the wait-alls would never win one.
    Handle anyTurn(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> allWins{0}, anyWinsA{0}, anyWinsB{0};

    ThreadGroup consumers([&] { SetEvent(stop); });
    for (int i = 0; i < 3; ++i)
        consumers.Start([&, i] {  // wait-all, with zero, short and longer time-outs
            HANDLE both[] = {a, b};
            const DWORD timeout = i == 0 ? 0 : (i == 1 ? 1 : 20);
            while (WaitForSingleObject(stop, 0) == static_cast<DWORD>(WAIT_TIMEOUT)) {
                DWORD r = WaitForMultipleObjects(2, both, TRUE, timeout);
                if (r == WAIT_OBJECT_0) {
                    ++allWins;
                    ReleaseSemaphore(tookA, 1, nullptr);
                    ReleaseSemaphore(tookB, 1, nullptr);
                } else {
                    ASSERT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), r);
                }
            }
        });
    for (int i = 0; i < 2; ++i)
        consumers.Start([&, i] {  // wait-any on {stop, a} or {stop, b, a}
            HANDLE gate[] = {stop, anyTurn};
            HANDLE objects[] = {stop, i == 0 ? a.h : b.h, a};
            const DWORD count = i == 0 ? 2 : 3;
            while (WaitForMultipleObjects(2, gate, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                DWORD r = WaitForMultipleObjects(count, objects, FALSE, 20);
                if (r == WAIT_OBJECT_0)
                    return;
                if (r == static_cast<DWORD>(WAIT_TIMEOUT))
                    continue;
                ASSERT_TRUE(r == WAIT_OBJECT_0 + 1 || r == WAIT_OBJECT_0 + 2) << r;
                bool isA = objects[r - WAIT_OBJECT_0] == a.h;
                ++(isA ? anyWinsA : anyWinsB);
                ReleaseSemaphore(isA ? tookA : tookB, 1, nullptr);
            }
        });

    HANDLE reports[] = {tookA, tookB};
    int setsA = 1, setsB = 1;
    SetEvent(a);
    SetEvent(b);
    for (int n = 0; n < kTakes; ++n) {
        if (n % 200 == 0)
            (n / 200 % 2 ? SetEvent : ResetEvent)(anyTurn);
        DWORD r = WaitForMultipleObjects(2, reports, FALSE, 20000);
        ASSERT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1)
            << "a token went missing after " << n << " takes";
        ++(r == WAIT_OBJECT_0 ? setsA : setsB);
        SetEvent(r == WAIT_OBJECT_0 ? a : b);
    }
    SetEvent(anyTurn);  // lets the last two tokens be taken whatever they are
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, reports, TRUE, 20000));
    SetEvent(stop);
    consumers.Join();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(tookA, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(tookB, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(a, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(b, 0));
    EXPECT_EQ(setsA, allWins.load() + anyWinsA.load());
    EXPECT_EQ(setsB, allWins.load() + anyWinsB.load());
    EXPECT_GT(allWins.load(), 0);
    EXPECT_GT(anyWinsA.load() + anyWinsB.load(), 0);
}

// ---- critical sections and interlocked operations --------------------------------------------

TEST(CriticalSections, owner_recurses_and_other_threads_cannot_enter)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    EnterCriticalSection(&cs);
    std::thread([&] { EXPECT_FALSE(TryEnterCriticalSection(&cs)); }).join();
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread([&] { EXPECT_FALSE(TryEnterCriticalSection(&cs)); }).join();
    LeaveCriticalSection(&cs);
    std::thread([&] {
        EXPECT_TRUE(TryEnterCriticalSection(&cs));
        LeaveCriticalSection(&cs);
    }).join();
    DeleteCriticalSection(&cs);
}

TEST(CriticalSections, section_excludes_other_threads)
{
    CRITICAL_SECTION cs;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
    long counter = 0;  // plain on purpose: only the section protects it
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 20000; ++n) {
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(80000, counter);
    DeleteCriticalSection(&cs);
}

TEST(Interlocked, operations_return_the_windows_values)
{
    volatile LONG v = 5;
    EXPECT_EQ(6, InterlockedIncrement(&v));
    EXPECT_EQ(5, InterlockedDecrement(&v));
    EXPECT_EQ(5, InterlockedExchange(&v, 9));
    EXPECT_EQ(9, InterlockedExchangeAdd(&v, -4));
    EXPECT_EQ(5, v);
    EXPECT_EQ(5, InterlockedCompareExchange(&v, 7, 4));  // no match: unchanged
    EXPECT_EQ(5, v);
    EXPECT_EQ(5, InterlockedCompareExchange(&v, 7, 5));
    EXPECT_EQ(7, v);

    int x = 0, y = 0;
    PVOID volatile p = &x;
    EXPECT_EQ(&x, InterlockedExchangePointer(&p, &y));
    EXPECT_EQ(&y, InterlockedCompareExchangePointer(&p, &x, &x));
    EXPECT_EQ(&y, p);
    EXPECT_EQ(&y, InterlockedCompareExchangePointer(&p, &x, &y));
    EXPECT_EQ(&x, p);
}

TEST(Interlocked, concurrent_increments_are_all_counted)
{
    volatile LONG counter = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 50000; ++n) {
                InterlockedIncrement(&counter);
                InterlockedExchangeAdd(&counter, 2);
                InterlockedDecrement(&counter);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(4 * 50000 * 2, counter);
}
