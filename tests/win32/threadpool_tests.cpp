#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/ThreadPool.h"

using namespace Tarnwick::Win32;
using PelmoraTest::CCounter;
using PelmoraTest::CLog;
using PelmoraTest::kPromptly;

namespace {

// One work item; its address is the item's completion key.
struct Job {
    CManualResetEvent entered{false};
    CManualResetEvent release{true};  // not signalled: Process blocks until the test says so
    CManualResetEvent left{false};
    bool throws = false;
    bool countsAsProcessed = true;  // false: Process must not touch the pool once released
};

Job *BlockingJob()
{
    Job *pJob = new Job;
    pJob->release.Reset();
    return pJob;
}

class CTestPool;

class CTestWorker : public CThreadPool::WorkerThread {
public:
    CTestWorker(CIOCompletionPort &workPort, CEvent &itemTaken, CThreadPool &pool, CTestPool &owner)
        : WorkerThread(workPort, itemTaken, pool), m_owner(owner)
    {
    }

private:
    bool Initialise() override;
    void Process(ULONG_PTR completionKey, DWORD dwNumBytes, OVERLAPPED *pOverlapped) override;
    void Shutdown() override;

    CTestPool &m_owner;
};

class CTestPool : public CThreadPool {
public:
    CTestPool(DWORD initial, DWORD minimum, DWORD maximum, DWORD maxIdle, DWORD maintenance,
              DWORD dispatchWait, DWORD saturatedWait)
        : CThreadPool(initial, minimum, maximum, maxIdle, maintenance, dispatchWait, saturatedWait)
    {
    }
    // The workers call this object's notifications: stop them while it is whole.
    ~CTestPool() override { AwaitShutdown(); }

    using CThreadPool::TrimIdleThreads;

    bool initialiseResult = true;
    bool logSteps = false;
    CLog steps;
    CCounter started, initialised, received, processingStarted, processingStopped, stopped,
        processed, shutdowns;

    void Step(const char *name)
    {
        if (logSteps)
            steps.Add(name);
    }

private:
    void OnThreadStarted() override { Note("OnThreadStarted", started); }
    void OnThreadInitialised() override { Note("OnThreadInitialised", initialised); }
    void OnReceivedMessage() override { Note("OnReceivedMessage", received); }
    void OnProcessingStarted() override { Note("OnProcessingStarted", processingStarted); }
    void OnProcessingStopped() override { Note("OnProcessingStopped", processingStopped); }
    void OnThreadStopped() override { Note("OnThreadStopped", stopped); }

    void Note(const char *name, CCounter &counter)
    {
        Step(name);
        counter.Increment();
    }

    WorkerThread *MakeWorkerThread(CIOCompletionPort &workPort, CEvent &itemTaken,
                                   CThreadPool &pool) override
    {
        return new CTestWorker(workPort, itemTaken, pool, *this);
    }
};

bool CTestWorker::Initialise()
{
    m_owner.Step("Initialise");
    return m_owner.initialiseResult;
}

void CTestWorker::Process(ULONG_PTR completionKey, DWORD dwNumBytes, OVERLAPPED *pOverlapped)
{
    m_owner.Step("Process");
    Job *pJob = reinterpret_cast<Job *>(completionKey);
    EXPECT_EQ(7u, dwNumBytes);
    EXPECT_EQ(reinterpret_cast<OVERLAPPED *>(pJob), pOverlapped);  // passed through untouched
    pJob->entered.Set();
    pJob->release.Wait();
    const bool throws = pJob->throws;
    const bool counts = pJob->countsAsProcessed;
    pJob->left.Set();
    if (throws)
        throw CException("CTestWorker::Process()", "item failed");
    if (counts)
        m_owner.processed.Increment();
}

void CTestWorker::Shutdown()
{
    m_owner.Step("Shutdown");
    m_owner.shutdowns.Increment();
}

void Dispatch(CThreadPool &pool, Job *pJob)
{
    pool.Dispatch(reinterpret_cast<ULONG_PTR>(pJob), 7, reinterpret_cast<OVERLAPPED *>(pJob));
}

// How long the pool gets to do something it must not do.
constexpr DWORD kNegativeWait = 300;

}  // namespace

TEST(ThreadPool, dispatch_with_key_zero_throws_and_queues_nothing)
{
    CTestPool pool(1, 1, 5, 5, INFINITE, 20, 20);
    pool.Start();
    ASSERT_TRUE(pool.initialised.WaitFor(1));

    try {
        pool.Dispatch(0, 7, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const CException &e) {
        EXPECT_EQ("CThreadPool::Dispatch()", e.GetWhere());
        EXPECT_EQ("0 is an invalid value for completionKey", e.GetMessage());
    }

    // A queued key 0 would have stopped the only worker; the next item would need a new one.
    Job job;
    Dispatch(pool, &job);
    ASSERT_TRUE(pool.processed.WaitFor(1));
    EXPECT_EQ(1, pool.started.Value());
    EXPECT_EQ(0, pool.stopped.Value());
    EXPECT_EQ(1, pool.GetActiveThreads());
}

TEST(ThreadPool, a_worker_reports_its_steps_in_order)
{
    CTestPool pool(1, 1, 1, 5, INFINITE, 20, 20);
    pool.logSteps = true;
    pool.Start();
    // The item comes once the worker counts as active: the pool grows while every active worker
    // is busy, and one still starting up (slow under Wine) is not counted yet.
    ASSERT_TRUE(pool.initialised.WaitFor(1));
    Job job;
    Dispatch(pool, &job);
    ASSERT_TRUE(pool.processingStopped.WaitFor(1));
    pool.AwaitShutdown();

    EXPECT_EQ((std::vector<std::string>{"OnThreadStarted", "Initialise", "OnThreadInitialised",
                                        "OnReceivedMessage", "OnProcessingStarted", "Process",
                                        "OnProcessingStopped", "Shutdown", "OnThreadStopped"}),
              pool.steps.Entries());
    EXPECT_EQ(0, pool.GetActiveThreads());
}

TEST(ThreadPool, grows_by_exactly_one_when_every_worker_is_busy)
{
    CTestPool pool(5, 1, 10, 10, INFINITE, 20, 5000);
    pool.Start();
    ASSERT_TRUE(pool.initialised.WaitFor(5));

    std::vector<std::unique_ptr<Job>> jobs;
    for (int i = 0; i < 5; ++i) {
        jobs.emplace_back(BlockingJob());
        Dispatch(pool, jobs.back().get());
    }
    ASSERT_TRUE(pool.processingStarted.WaitFor(5));
    EXPECT_EQ(5, pool.started.Value());
    EXPECT_EQ(5, pool.GetProcessingThreads());

    jobs.emplace_back(BlockingJob());
    Dispatch(pool, jobs.back().get());
    ASSERT_TRUE(jobs.back()->entered.Wait(kPromptly));  // taken by the one new worker
    EXPECT_EQ(6, pool.started.Value());
    EXPECT_EQ(6, pool.GetActiveThreads());
    EXPECT_EQ(6, pool.GetProcessingThreads());

    for (auto &job : jobs)
        job->release.Set();
    ASSERT_TRUE(pool.processingStopped.WaitFor(6));
    EXPECT_EQ(6, pool.started.Value());
    EXPECT_EQ(0, pool.GetProcessingThreads());
}

TEST(ThreadPool, does_not_grow_beyond_its_maximum)
{
    CTestPool pool(5, 1, 5, 10, INFINITE, 10, 10);
    pool.Start();
    ASSERT_TRUE(pool.initialised.WaitFor(5));

    std::vector<std::unique_ptr<Job>> jobs;
    for (int i = 0; i < 6; ++i) {
        jobs.emplace_back(BlockingJob());
        Dispatch(pool, jobs.back().get());
    }
    ASSERT_TRUE(pool.processingStarted.WaitFor(5));
    EXPECT_FALSE(pool.started.WaitFor(6, kNegativeWait));
    EXPECT_FALSE(jobs[5]->entered.Wait(0));

    jobs[0]->release.Set();
    ASSERT_TRUE(jobs[5]->entered.Wait(kPromptly));  // the first free worker takes it
    EXPECT_EQ(5, pool.started.Value());
    for (auto &job : jobs)
        job->release.Set();
    ASSERT_TRUE(pool.processed.WaitFor(6));
}

TEST(ThreadPool, twelve_idle_workers_with_at_most_five_idle_lose_four)
{
    CTestPool pool(12, 2, 20, 5, INFINITE, 10, 10);
    pool.Start();
    ASSERT_TRUE(pool.initialised.WaitFor(12));
    EXPECT_EQ(12, pool.GetActiveThreads());

    pool.TrimIdleThreads();
    ASSERT_TRUE(pool.stopped.WaitFor(4));
    EXPECT_FALSE(pool.stopped.WaitFor(5, kNegativeWait));
    EXPECT_EQ(8, pool.GetActiveThreads());
    EXPECT_EQ(4, pool.shutdowns.Value());
}

TEST(ThreadPool, retires_nobody_at_its_minimum_however_many_are_idle)
{
    CTestPool pool(3, 3, 20, 0, INFINITE, 10, 10);
    pool.Start();
    ASSERT_TRUE(pool.initialised.WaitFor(3));
    pool.TrimIdleThreads();
    EXPECT_FALSE(pool.stopped.WaitFor(1, kNegativeWait));
    EXPECT_EQ(3, pool.GetActiveThreads());
}

TEST(ThreadPool, shrinks_on_its_own_schedule_but_not_below_the_idle_limit_or_minimum)
{
    // 8 idle, at most 5 idle: 2 go at one check and 1 at the next, unless a check comes before
    // the stop items were taken; either way the pool ends between its minimum and 5.
    CTestPool pool(8, 2, 20, 5, 50, 10, 10);
    pool.Start();
    ASSERT_TRUE(pool.stopped.WaitFor(3));
    const LONG active = pool.GetActiveThreads();
    EXPECT_LE(active, 5);
    EXPECT_GE(active, 2);
}

TEST(ThreadPool, a_throwing_process_leaves_the_processing_count_as_it_was)
{
    CTestPool pool(1, 1, 1, 5, INFINITE, 20, 20);
    pool.Start();
    ASSERT_TRUE(pool.initialised.WaitFor(1));

    Job failing;
    failing.throws = true;
    Dispatch(pool, &failing);
    ASSERT_TRUE(pool.processingStopped.WaitFor(1));
    EXPECT_EQ(0, pool.GetProcessingThreads());

    Job next;  // the same worker goes on with the next item
    Dispatch(pool, &next);
    ASSERT_TRUE(pool.processingStopped.WaitFor(2));
    EXPECT_EQ(1, pool.processed.Value());
    EXPECT_EQ(1, pool.started.Value());
    EXPECT_EQ(0, pool.stopped.Value());
    EXPECT_EQ(0, pool.GetProcessingThreads());
}

TEST(ThreadPool, a_worker_whose_initialise_fails_ends_without_shutdown)
{
    CTestPool pool(2, 0, 2, 5, INFINITE, 20, 20);
    pool.initialiseResult = false;
    pool.Start();
    ASSERT_TRUE(pool.stopped.WaitFor(2));
    EXPECT_EQ(0, pool.initialised.Value());
    EXPECT_EQ(0, pool.shutdowns.Value());
    EXPECT_EQ(0, pool.GetActiveThreads());
}

TEST(ThreadPool, forced_shutdown_gives_up_on_a_stuck_worker_after_the_time_out)
{
    // Outlives the pool and the test: the abandoned thread may still use it.
    static std::vector<Job *> *pKept = new std::vector<Job *>;
    Job *pStuck = BlockingJob();
    pKept->push_back(pStuck);
    pStuck->countsAsProcessed = false;
    {
        CTestPool pool(1, 1, 1, 5, INFINITE, 20, 20);
        pool.Start();
        ASSERT_TRUE(pool.initialised.WaitFor(1));  // counted as active before the item comes
        Dispatch(pool, pStuck);
        ASSERT_TRUE(pStuck->entered.Wait(kPromptly));

        const DWORD start = GetTickCount();
        pool.AwaitShutdown(200, true);
        const DWORD elapsed = GetTickCount() - start;

        EXPECT_GE(elapsed, 150u);  // not before the time-out: the worker never returned
        EXPECT_EQ(1, pool.stopped.Value());
        EXPECT_EQ(0, pool.GetActiveThreads());
        EXPECT_EQ(0, pool.GetProcessingThreads());
        EXPECT_FALSE(pStuck->left.Wait(0));
    }
    // The pool is gone. Where the thread was only abandoned it now returns from Process and
    // must end without touching the pool (the sanitizer builds watch for that).
#ifndef _WIN32
    pStuck->release.Set();
    pStuck->left.Wait(kPromptly);
#endif
    // Windows terminates the thread instead (taking effect in its own time): it stays blocked.
}

TEST(ThreadPool, shutdown_without_force_lets_busy_workers_finish)
{
    CTestPool pool(2, 1, 2, 5, INFINITE, 20, 20);
    pool.Start();
    ASSERT_TRUE(pool.initialised.WaitFor(2));
    Job job;
    job.release.Reset();
    Dispatch(pool, &job);
    ASSERT_TRUE(job.entered.Wait(kPromptly));
    job.release.Set();
    pool.AwaitShutdown(INFINITE, false);
    EXPECT_EQ(1, pool.processed.Value());
    EXPECT_EQ(2, pool.stopped.Value());
    EXPECT_EQ(0, pool.GetActiveThreads());
}
