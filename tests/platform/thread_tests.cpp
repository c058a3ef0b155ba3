#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/win32.h"

namespace {

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

struct Gate {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD tid = 0;
    DWORD code = 0;
    ~Gate()
    {
        CloseHandle(go);
        CloseHandle(running);
    }
};

// Reports its id, then blocks until released and returns the gate's code.
unsigned __stdcall GatedThread(void *parameter)
{
    Gate *gate = static_cast<Gate *>(parameter);
    gate->tid = GetCurrentThreadId();
    SetEvent(gate->running);
    WaitForSingleObject(gate->go, INFINITE);
    return gate->code;
}

DWORD WINAPI ReturnsParameter(LPVOID parameter)
{
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter));
}

// True while the kernel still lists the thread in this process.
bool KernelThreadExists(DWORD tid)
{
    struct stat info;
    std::string path = "/proc/self/task/" + std::to_string(tid);
    return stat(path.c_str(), &info) == 0;
}

// A per-thread clean-up that holds its thread until let go, as a library's thread-exit
// destructor may: the thread's function has returned, the thread has not ended.
struct ExitGate {
    std::mutex lock;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
};

struct HeldAtExit {
    ExitGate *gate = nullptr;
    ~HeldAtExit()
    {
        if (!gate)
            return;
        std::unique_lock<std::mutex> guard(gate->lock);
        gate->entered = true;
        gate->changed.notify_all();
        gate->changed.wait(guard, [this] { return gate->released; });
    }
};

thread_local HeldAtExit tHeldAtExit;

}  // namespace

TEST(Threads, exit_code_is_still_active_while_running_then_the_returned_value)
{
    Gate gate;
    gate.code = 42;
    unsigned id = 0;
    uintptr_t raw = _beginthreadex(nullptr, 0, GatedThread, &gate, 0, &id);
    ASSERT_NE(0u, raw);
    Handle thread(reinterpret_cast<HANDLE>(raw));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gate.running, 10000));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));
    SetEvent(gate.go);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(42u, code);
    EXPECT_EQ(gate.tid, id);
}

TEST(Threads, handle_stays_waitable_after_the_thread_has_gone)
{
    DWORD id = 0;
    Handle thread(CreateThread(nullptr, 0, ReturnsParameter, reinterpret_cast<LPVOID>(7), 0, &id));
    ASSERT_NE(nullptr, thread.h);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (KernelThreadExists(id))  // let the OS thread end completely before waiting
        ASSERT_LT(std::chrono::steady_clock::now(), limit);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(7u, code);
    EXPECT_EQ(id, GetThreadId(thread));
}

TEST(Threads, several_waiters_see_the_same_thread_end)
{
    Gate gate;
    gate.code = 3;
    Handle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, GatedThread, &gate, 0, nullptr)));
    Handle other(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> seen{0};
    std::thread a([&] {
        if (WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0)
            ++seen;
    });
    std::thread b([&] {
        HANDLE both[] = {other, thread};
        if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
            ++seen;
    });
    SetEvent(gate.go);
    a.join();
    b.join();
    EXPECT_EQ(2, seen.load());
}

TEST(Threads, current_thread_id_is_the_kernel_id_and_differs_between_threads)
{
    DWORD mine = GetCurrentThreadId();
    EXPECT_EQ(static_cast<DWORD>(gettid()), mine);
    EXPECT_EQ(mine, GetCurrentThreadId());
    DWORD theirs = 0, theirsKernel = 0;
    std::thread([&] {
        theirs = GetCurrentThreadId();
        theirsKernel = static_cast<DWORD>(gettid());
    }).join();
    EXPECT_EQ(theirsKernel, theirs);
    EXPECT_NE(mine, theirs);
    if (getpid() == gettid()) {
        EXPECT_EQ(static_cast<DWORD>(getpid()), mine);
    }
}

TEST(Threads, terminate_abandons_a_blocked_thread_with_the_given_code)
{
    Gate gate;
    gate.code = 99;
    unsigned id = 0;
    Handle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, GatedThread, &gate, 0, &id)));
    ASSERT_NE(nullptr, thread.h);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gate.running, 10000));
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] { result = WaitForSingleObject(thread, INFINITE); });
    ASSERT_TRUE(TerminateThread(thread, 5));
    waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, result);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(5u, code);

    // The abandoned thread still runs; when it does end, its own exit code is ignored.
    EXPECT_TRUE(KernelThreadExists(id));
    SetEvent(gate.go);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (KernelThreadExists(id))
        ASSERT_LT(std::chrono::steady_clock::now(), limit);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(5u, code);
}

TEST(Threads, mutexes_of_an_ended_thread_are_free_when_its_handle_signals)
{
    Handle m(CreateMutexA(nullptr, FALSE, nullptr));
    struct Arg {
        HANDLE m;
        DWORD took;
    } arg{m, WAIT_FAILED};
    Handle thread(CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            Arg *a = static_cast<Arg *>(p);
            a->took = WaitForSingleObject(a->m, 0);
            return 0;
        },
        &arg, 0, nullptr));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, arg.took);
    EXPECT_EQ(WAIT_ABANDONED_0, WaitForSingleObject(m, 0));
    EXPECT_TRUE(ReleaseMutex(m));
}

TEST(Threads, handle_signals_only_after_the_thread_exit_destructors_ran)
{
    static ExitGate gate;  // outlives the thread even if a check below gives up early
    gate.entered = gate.released = false;
    Handle thread(CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            tHeldAtExit.gate = static_cast<ExitGate *>(p);
            return 7;
        },
        &gate, 0, nullptr));
    ASSERT_NE(nullptr, thread.h);
    {
        std::unique_lock<std::mutex> guard(gate.lock);
        ASSERT_TRUE(
            gate.changed.wait_for(guard, std::chrono::seconds(10), [] { return gate.entered; }));
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 100));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(STILL_ACTIVE, code);

    {
        std::lock_guard<std::mutex> guard(gate.lock);
        gate.released = true;
    }
    gate.changed.notify_all();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(7u, code);
}

TEST(Threads, current_thread_pseudo_handle_names_the_caller)
{
    HANDLE self = GetCurrentThread();
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(self, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(GetCurrentThreadId(), GetThreadId(self));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(self, 0));
}

TEST(Threads, duplicated_pseudo_handle_of_any_thread_signals_when_it_ends)
{
    HANDLE real = nullptr;
    DWORD id = 0;
    std::thread([&] {
        id = GetCurrentThreadId();
        EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                                    &real, 0, FALSE, DUPLICATE_SAME_ACCESS));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(real, &code));
        EXPECT_EQ(STILL_ACTIVE, code);
    }).join();
    Handle thread(real);
    ASSERT_NE(nullptr, thread.h);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    DWORD code = STILL_ACTIVE;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(id, GetThreadId(thread));
}

TEST(Threads, bad_arguments_fail_without_a_thread)
{
    EXPECT_EQ(0u, _beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(reinterpret_cast<HANDLE>(0x7ffffff0), &code));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(TerminateThread(event, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Threads, explicit_stack_size_is_honoured_enough_to_run)
{
    Handle thread(CreateThread(nullptr, 256 * 1024, ReturnsParameter, reinterpret_cast<LPVOID>(11),
                               0, nullptr));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(11u, code);
}

TEST(Sleeping, sleep_lasts_at_least_its_time)
{
    const auto start = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    Sleep(0);
}
