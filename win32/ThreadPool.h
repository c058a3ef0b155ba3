// A self-sizing pool of worker threads fed through completion ports.
//
// Dispatch() queues an item (a non-zero key, a byte count and a pointer, passed through
// untouched) on the dispatch port. The pool's own thread hands each item to the workers through
// the work port and waits a little to see whether one of them took it; when none did and every
// worker is busy it starts one more (at most one per item, never beyond maxThreadCount). Idle
// workers beyond maxIdleThreadCount are retired by stop items (key 0), never below
// minThreadCount.
//
// Dispatch may be called from any thread. The worker list is guarded by the pool's lock; the
// two thread counts change atomically and are read without a lock.
#pragma once

#include <atomic>
#include <memory>

#include "platform/win32.h"
#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/IOCompletionPort.h"
#include "win32/Thread.h"

namespace Tarnwick {
namespace Win32 {

class CThreadPool : public CThread {
public:
    class WorkerThread;

    CThreadPool(DWORD initialThreadCount, DWORD minThreadCount, DWORD maxThreadCount,
                DWORD maxIdleThreadCount, DWORD maintenanceIntervalMs, DWORD dispatchWaitMs,
                DWORD saturatedDispatchWaitMs);
    virtual ~CThreadPool();

    // Queues one item; never blocks on the workers. Key 0 is reserved for stopping workers.
    void Dispatch(ULONG_PTR completionKey, DWORD dwNumBytes = 0, OVERLAPPED *pOverlapped = 0);

    // Tells the pool to stop and waits up to the time-out for its thread; with forced termination
    // a pool that has not ended by then gives up on its workers; then waits for the thread.
    void AwaitShutdown(DWORD timeoutMillis = INFINITE, bool forceTermination = false);

    LONG GetActiveThreads() const { return m_activeThreads.load(); }
    LONG GetProcessingThreads() const { return m_processingThreads.load(); }

protected:
    // The shrink rule; the pool thread applies it on its own schedule.
    void TrimIdleThreads();

private:
    struct WorkerGate;

    int Run() override;

    // Run on the worker thread concerned.
    virtual void OnThreadStarted() {}
    virtual void OnThreadInitialised() {}
    virtual void OnProcessingStarted() {}
    virtual void OnReceivedMessage() {}
    virtual void OnProcessingStopped() {}
    virtual void OnThreadStopped() {}

    // A new worker of the application's class, not started.
    virtual WorkerThread *MakeWorkerThread(CIOCompletionPort &workPort, CEvent &itemTaken,
                                           CThreadPool &pool) = 0;

    void ForwardToWorkers(ULONG_PTR completionKey, DWORD dwNumBytes, OVERLAPPED *pOverlapped);
    void RetireWorkerThreads(LONG count);
    void AddWorkerThread();
    void KillWorkerThreads();
    void UnlinkWorker(WorkerThread *pWorker);
    bool HasWorkers();
    LONG ListedWorkerCount();

    CManualResetEvent m_shutdownEvent;
    CManualResetEvent m_itemTakenEvent;
    CManualResetEvent m_poolEmptyEvent;
    CCriticalSection m_criticalSection;
    CIOCompletionPort m_workPort;
    CIOCompletionPort m_dispatchPort;
    std::atomic<LONG> m_activeThreads;
    std::atomic<LONG> m_processingThreads;
    const DWORD m_initialThreadCount;
    const DWORD m_minThreadCount;
    const DWORD m_maxThreadCount;
    const DWORD m_maxIdleThreadCount;
    const DWORD m_maintenanceIntervalMs;
    const DWORD m_dispatchWaitMs;
    const DWORD m_saturatedDispatchWaitMs;
    WorkerThread *m_pHead;
    // Shared with every worker, so that a worker the pool gave up on can still find out that
    // it must not touch the pool again, even after the pool is gone.
    std::shared_ptr<WorkerGate> m_gate;
};

class CThreadPool::WorkerThread : public CThread {
public:
    WorkerThread(CIOCompletionPort &workPort, CEvent &itemTaken, CThreadPool &pool);
    virtual ~WorkerThread();

protected:
    // For Process, which runs where a forced shutdown may give up on this worker: between a
    // Rejoin that returned true and Depart the pool cannot give up on it, so what the pool's
    // owner shares with the worker stays whole meanwhile; nothing in between may wait without
    // limit. False once the pool has given up on the worker, which must then touch nothing
    // shared and return.
    bool Rejoin();
    void Depart();

private:
    friend class CThreadPool;
    struct Abandoned {};

    int Run() override;

    virtual bool Initialise() { return true; }
    virtual void Process(ULONG_PTR completionKey, DWORD dwNumBytes, OVERLAPPED *pOverlapped) = 0;
    virtual void Shutdown() {}

    // Runs one of the application's own calls outside the pool's bookkeeping, where a forced
    // shutdown may give up on this thread; throws Abandoned when it did.
    template <class Call>
    void Outside(Call call);
    void Stop();

    CEvent &m_itemTakenEvent;
    CIOCompletionPort &m_workPort;
    CThreadPool &m_pool;
    WorkerThread *m_pNext;
    WorkerThread *m_pPrev;
    std::shared_ptr<WorkerGate> m_gate;
    // Guarded by the gate's lock.
    bool m_abandoned;
    bool m_counted;
    bool m_processing;
};

}  // namespace Win32
}  // namespace Tarnwick
