// The design's limit: every request passes the thread pool's dispatch, one item at a time,
// with a hand-off to the worker that takes it. Items whose Process does nothing show the most
// items per second that this dispatch can pass on this machine.
//
// Beside it, the hand-offs it is made of: an event ping-pong between two threads and a
// completion-port ping-pong, each against the same ping-pong on a bare futex.
#include <benchmark/benchmark.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "bench/RatioReporter.h"
#include "win32/Event.h"
#include "win32/IOCompletionPort.h"
#include "win32/ThreadPool.h"

using namespace Tarnwick::Win32;

namespace {

// Counts processed items and wakes the benchmark when a batch is through.
class CBatch {
public:
    void Expect(int64_t count)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_remaining = count;
    }

    void Done()
    {
        if (m_remaining.fetch_sub(1) == 1) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_done.notify_one();
        }
    }

    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_done.wait(lock, [this] { return m_remaining.load() == 0; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_done;
    std::atomic<int64_t> m_remaining{0};
};

class CEmptyPool : public CThreadPool {
public:
    // The service's own pool parameters, with the configuration's default thread limits.
    explicit CEmptyPool(CBatch &batch) : CThreadPool(5, 5, 10, 5, 5000, 100, 10000), m_batch(batch)
    {
    }
    ~CEmptyPool() override { AwaitShutdown(); }

private:
    class CWorker : public WorkerThread {
    public:
        CWorker(CIOCompletionPort &port, CEvent &taken, CThreadPool &pool, CBatch &batch)
            : WorkerThread(port, taken, pool), m_batch(batch)
        {
        }

    private:
        void Process(ULONG_PTR, DWORD, OVERLAPPED *) override { m_batch.Done(); }
        CBatch &m_batch;
    };

    WorkerThread *MakeWorkerThread(CIOCompletionPort &port, CEvent &taken,
                                   CThreadPool &pool) override
    {
        return new CWorker(port, taken, pool, m_batch);
    }

    CBatch &m_batch;
};

constexpr int64_t kBatch = 2000;

// Items per second through Dispatch, the pool's thread and a worker.
void ThreadPool_DispatchEmptyItems(benchmark::State &state)
{
    CBatch batch;
    CEmptyPool pool(batch);
    pool.Start();
    for (auto _ : state) {
        batch.Expect(kBatch);
        for (int64_t i = 0; i < kBatch; ++i)
            pool.Dispatch(1, 3, nullptr);
        batch.Wait();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["workers"] = double(pool.GetActiveThreads());
}
BENCHMARK(ThreadPool_DispatchEmptyItems)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One round trip: the benchmark thread sets `ping` and waits for `pong`, which a second thread
// sets once it has seen `ping`. Auto-reset behaviour is had by resetting after each wait.
void Event_PingPong(benchmark::State &state)
{
    CEvent ping(nullptr, false, false), pong(nullptr, false, false);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        for (;;) {
            ping.Wait();
            if (stop)
                return;
            pong.Set();
        }
    });
    for (auto _ : state) {
        ping.Set();
        pong.Wait();
    }
    stop = true;
    ping.Set();
    peer.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Event_PingPong)->UseRealTime();

void CompletionPort_PingPong(benchmark::State &state)
{
    CIOCompletionPort ping(0), pong(0);
    std::thread peer([&] {
        for (;;) {
            ULONG_PTR key = 0;
            DWORD bytes = 0;
            OVERLAPPED *overlapped = nullptr;
            ping.GetStatus(&key, &bytes, &overlapped);
            if (key == 0)
                return;
            pong.PostStatus(key);
        }
    });
    for (auto _ : state) {
        ping.PostStatus(1);
        ULONG_PTR key = 0;
        DWORD bytes = 0;
        OVERLAPPED *overlapped = nullptr;
        pong.GetStatus(&key, &bytes, &overlapped);
    }
    ping.PostStatus(0);
    peer.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CompletionPort_PingPong)->UseRealTime();

// The floor: the same round trip on two futex words, with nothing around the system calls.
struct Futex {
    std::atomic<uint32_t> word{0};

    void Set()
    {
        word.store(1);
        syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

    void Wait()
    {
        for (;;) {
            uint32_t expected = 1;
            if (word.compare_exchange_strong(expected, 0))
                return;
            syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        }
    }
};

void Futex_PingPong(benchmark::State &state)
{
    Futex ping, pong;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        for (;;) {
            ping.Wait();
            if (stop)
                return;
            pong.Set();
        }
    });
    for (auto _ : state) {
        ping.Set();
        pong.Wait();
    }
    stop = true;
    ping.Set();
    peer.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Futex_PingPong)->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CRatioReporter reporter;
    reporter.CompareRealTime("Event_PingPong/real_time", "Futex_PingPong/real_time");
    reporter.CompareRealTime("CompletionPort_PingPong/real_time", "Futex_PingPong/real_time");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
