#include "win32/ThreadPool.h"

#include "win32/Exception.h"

namespace Tarnwick {
namespace Win32 {

// Forced shutdown cannot kill a thread everywhere (where it cannot, the platform abandons the
// thread and it runs on). So a worker is "inside" while it does the pool's own bookkeeping and
// "outside" while it waits for work or runs the application's Initialise, Process or Shutdown.
// Giving up on the workers first waits until none is inside and holds new entries back; every
// worker is then outside and is marked abandoned. An abandoned worker that comes back inside
// finds the mark and ends at once, touching nothing of the pool, which may be gone by then.
// A worker passes the gate several times per item, so only a kill in progress touches events.
struct CThreadPool::WorkerGate {
    CCriticalSection lock;
    LONG inside = 0;
    bool killing = false;
    CManualResetEvent noneInside{true};  // set by the last worker out while killing
    CManualResetEvent notKilling{true};

    // False when the worker has been abandoned.
    bool Enter(const bool &abandoned)
    {
        for (;;) {
            {
                CCriticalSectionGuard guard(lock);
                if (abandoned)
                    return false;
                if (!killing) {
                    ++inside;
                    return true;
                }
            }
            notKilling.Wait();
        }
    }

    void Leave()
    {
        CCriticalSectionGuard guard(lock);
        if (--inside == 0 && killing)
            noneInside.Set();
    }

    void BeginKilling()
    {
        {
            CCriticalSectionGuard guard(lock);
            killing = true;
            notKilling.Reset();
            if (inside == 0)
                return;
            noneInside.Reset();
        }
        noneInside.Wait();
    }

    void EndKilling()
    {
        CCriticalSectionGuard guard(lock);
        killing = false;
        notKilling.Set();
    }
};

namespace {

// Workers the pool gave up on. Their objects are never freed, because their threads may still
// run in them; the list keeps them reachable.
std::atomic<CThreadPool::WorkerThread *> s_pAbandonedWorkers{nullptr};

}  // namespace

CThreadPool::CThreadPool(DWORD initialThreadCount, DWORD minThreadCount, DWORD maxThreadCount,
                         DWORD maxIdleThreadCount, DWORD maintenanceIntervalMs,
                         DWORD dispatchWaitMs, DWORD saturatedDispatchWaitMs)
    : m_shutdownEvent(false),
      m_itemTakenEvent(false),
      m_poolEmptyEvent(false),
      m_workPort(0),
      m_dispatchPort(0),
      m_activeThreads(0),
      m_processingThreads(0),
      m_initialThreadCount(initialThreadCount),
      m_minThreadCount(minThreadCount),
      m_maxThreadCount(maxThreadCount),
      m_maxIdleThreadCount(maxIdleThreadCount),
      m_maintenanceIntervalMs(maintenanceIntervalMs),
      m_dispatchWaitMs(dispatchWaitMs),
      m_saturatedDispatchWaitMs(saturatedDispatchWaitMs),
      m_pHead(nullptr),
      m_gate(std::make_shared<WorkerGate>())
{
    m_poolEmptyEvent.Set();
}

CThreadPool::~CThreadPool()
{
    try {
        const bool running = GetHandle() != INVALID_HANDLE_VALUE && !Wait(0);
        if (running || HasWorkers())
            AwaitShutdown();
    } catch (...) {
        // A destructor must not throw.
    }
}

void CThreadPool::Dispatch(ULONG_PTR completionKey, DWORD dwNumBytes, OVERLAPPED *pOverlapped)
{
    if (completionKey == 0)
        throw CException("CThreadPool::Dispatch()", "0 is an invalid value for completionKey");
    m_dispatchPort.PostStatus(completionKey, dwNumBytes, pOverlapped);
}

void CThreadPool::AwaitShutdown(DWORD timeoutMillis, bool forceTermination)
{
    m_shutdownEvent.Set();
    if (GetHandle() == INVALID_HANDLE_VALUE)
        return;  // never started: there is no thread and there are no workers

    // Wakes the pool thread from its wait for items; it sees the shutdown event and drops this.
    m_dispatchPort.PostStatus(0, 0, nullptr);

    if (!Wait(timeoutMillis) && forceTermination)
        KillWorkerThreads();
    Wait();
}

int CThreadPool::Run()
{
    try {
        for (DWORD i = 0; i < m_initialThreadCount; ++i)
            AddWorkerThread();

        DWORD lastCheck = GetTickCount();
        for (;;) {
            if (m_shutdownEvent.Wait(0))
                break;

            ULONG_PTR completionKey = 0;
            DWORD dwNumBytes = 0;
            OVERLAPPED *pOverlapped = nullptr;
            const bool taken = m_dispatchPort.GetStatus(&completionKey, &dwNumBytes, &pOverlapped,
                                                        m_maintenanceIntervalMs);
            if (m_shutdownEvent.Wait(0))
                break;

            if (taken) {
                ForwardToWorkers(completionKey, dwNumBytes, pOverlapped);
                if (GetTickCount() - lastCheck >= m_maintenanceIntervalMs) {
                    TrimIdleThreads();
                    lastCheck = GetTickCount();
                }
            } else {
                TrimIdleThreads();
            }
        }
    } catch (...) {
        // The pool reports nothing itself; its workers are still retired below.
    }

    try {
        // One stop item per listed worker: a worker that has just been started may not have
        // counted itself active yet, and without its stop item the pool would never be empty.
        RetireWorkerThreads(ListedWorkerCount());
        m_poolEmptyEvent.Wait();
        // The last worker signals the event while it holds the lock; once we have had the
        // lock too, no worker touches this pool any more.
        CCriticalSectionGuard lock(m_criticalSection);
    } catch (...) {
    }
    return 0;
}

void CThreadPool::ForwardToWorkers(ULONG_PTR completionKey, DWORD dwNumBytes,
                                   OVERLAPPED *pOverlapped)
{
    m_itemTakenEvent.Reset();
    m_workPort.PostStatus(completionKey, dwNumBytes, pOverlapped);

    DWORD timeout = m_dispatchWaitMs;
    if (static_cast<DWORD>(m_processingThreads.load()) == m_maxThreadCount)
        timeout += m_saturatedDispatchWaitMs;

    const HANDLE handles[2] = {m_itemTakenEvent.GetHandle(), m_shutdownEvent.GetHandle()};
    bool threadAdded = false;
    for (;;) {
        const DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeout);
        if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1)
            return;
        if (result != WAIT_TIMEOUT)
            throw CWin32Exception("CThreadPool::Dispatch() - WaitForMultipleObjects",
                                  GetLastError());

        // A worker still starting is not active yet, but it counts against the limit and will
        // take the item itself.
        const LONG active = m_activeThreads.load();
        if (!threadAdded && m_processingThreads.load() == active && ListedWorkerCount() == active &&
            static_cast<DWORD>(active) < m_maxThreadCount) {
            AddWorkerThread();
            threadAdded = true;
        }
    }
}

void CThreadPool::TrimIdleThreads()
{
    const LONG active = m_activeThreads.load();
    if (active <= static_cast<LONG>(m_minThreadCount))
        return;
    const LONG idle = active - m_processingThreads.load();
    const LONG maxIdle = static_cast<LONG>(m_maxIdleThreadCount);
    if (idle > maxIdle)
        RetireWorkerThreads((idle - maxIdle) / 2 + 1);
}

void CThreadPool::RetireWorkerThreads(LONG count)
{
    for (LONG i = 0; i < count; ++i)
        m_workPort.PostStatus(0, 0, nullptr);
}

void CThreadPool::AddWorkerThread()
{
    WorkerThread *pWorker = MakeWorkerThread(m_workPort, m_itemTakenEvent, *this);

    // Started under the lock: a worker unlinks and deletes itself under it, so it cannot do so
    // before Start has finished with the object.
    CCriticalSectionGuard lock(m_criticalSection);
    pWorker->m_pNext = m_pHead;
    pWorker->m_pPrev = nullptr;
    if (m_pHead)
        m_pHead->m_pPrev = pWorker;
    else
        m_poolEmptyEvent.Reset();
    m_pHead = pWorker;

    try {
        pWorker->Start();
    } catch (...) {
        UnlinkWorker(pWorker);
        delete pWorker;
        throw;
    }
}

// With the lock held.
void CThreadPool::UnlinkWorker(WorkerThread *pWorker)
{
    if (pWorker->m_pPrev)
        pWorker->m_pPrev->m_pNext = pWorker->m_pNext;
    else
        m_pHead = pWorker->m_pNext;
    if (pWorker->m_pNext)
        pWorker->m_pNext->m_pPrev = pWorker->m_pPrev;
    pWorker->m_pNext = nullptr;
    pWorker->m_pPrev = nullptr;
    if (!m_pHead)
        m_poolEmptyEvent.Set();
}

bool CThreadPool::HasWorkers() { return ListedWorkerCount() != 0; }

LONG CThreadPool::ListedWorkerCount()
{
    CCriticalSectionGuard lock(m_criticalSection);
    LONG count = 0;
    for (const WorkerThread *pWorker = m_pHead; pWorker; pWorker = pWorker->m_pNext)
        ++count;
    return count;
}

void CThreadPool::KillWorkerThreads()
{
    m_gate->BeginKilling();
    try {
        CCriticalSectionGuard lock(m_criticalSection);
        while (WorkerThread *pWorker = m_pHead) {
            pWorker->Terminate(0);
            {
                CCriticalSectionGuard gateLock(m_gate->lock);
                pWorker->m_abandoned = true;
            }
            if (pWorker->m_counted)
                --m_activeThreads;
            if (pWorker->m_processing)
                --m_processingThreads;
            UnlinkWorker(pWorker);

            // Kept, never freed: the thread may still be running in the object.
            WorkerThread *pAbandoned = s_pAbandonedWorkers.load();
            do {
                pWorker->m_pNext = pAbandoned;
            } while (!s_pAbandonedWorkers.compare_exchange_weak(pAbandoned, pWorker));

            try {
                OnThreadStopped();
            } catch (...) {
            }
        }
    } catch (...) {
        m_gate->EndKilling();
        throw;
    }
    m_gate->EndKilling();
}

CThreadPool::WorkerThread::WorkerThread(CIOCompletionPort &workPort, CEvent &itemTaken,
                                        CThreadPool &pool)
    : m_itemTakenEvent(itemTaken),
      m_workPort(workPort),
      m_pool(pool),
      m_pNext(nullptr),
      m_pPrev(nullptr),
      m_gate(pool.m_gate),
      m_abandoned(false),
      m_counted(false),
      m_processing(false)
{
}

CThreadPool::WorkerThread::~WorkerThread() = default;

bool CThreadPool::WorkerThread::Rejoin() { return m_gate->Enter(m_abandoned); }

void CThreadPool::WorkerThread::Depart() { m_gate->Leave(); }

template <class Call>
void CThreadPool::WorkerThread::Outside(Call call)
{
    m_gate->Leave();
    try {
        call();
    } catch (...) {
        if (!m_gate->Enter(m_abandoned))
            throw Abandoned();
        throw;
    }
    if (!m_gate->Enter(m_abandoned))
        throw Abandoned();
}

int CThreadPool::WorkerThread::Run()
{
    // The gate outlives the pool for as long as this thread needs it.
    const std::shared_ptr<WorkerGate> gate = m_gate;
    if (!gate->Enter(m_abandoned))
        return 0;

    try {
        ++m_pool.m_activeThreads;
        m_counted = true;
        m_pool.OnThreadStarted();

        bool initialised = false;
        Outside([&] { initialised = Initialise(); });
        if (initialised) {
            m_pool.OnThreadInitialised();
            for (;;) {
                ULONG_PTR completionKey = 0;
                DWORD dwNumBytes = 0;
                OVERLAPPED *pOverlapped = nullptr;
                Outside([&] { m_workPort.GetStatus(&completionKey, &dwNumBytes, &pOverlapped); });
                m_itemTakenEvent.Set();

                if (completionKey == 0) {
                    Outside([&] { Shutdown(); });
                    break;
                }

                try {
                    m_pool.OnReceivedMessage();
                } catch (...) {
                }
                ++m_pool.m_processingThreads;
                m_processing = true;
                try {
                    m_pool.OnProcessingStarted();
                } catch (...) {
                }
                try {
                    Outside([&] { Process(completionKey, dwNumBytes, pOverlapped); });
                } catch (const Abandoned &) {
                    throw;
                } catch (...) {
                    // A failing item does not end the worker.
                }
                m_processing = false;
                --m_pool.m_processingThreads;
                try {
                    m_pool.OnProcessingStopped();
                } catch (...) {
                }
            }
        }
    } catch (const Abandoned &) {
        return 0;  // the pool may be gone: touch nothing
    } catch (...) {
        // A failure outside the items (the wait for work, a notification) ends the worker.
    }

    Stop();
    return 0;
}

// The worker's end, inside the gate: counted as stopped, unlinked and deleted. OnThreadStopped
// comes before the unlink: once the last worker is unlinked the pool may be destroyed.
void CThreadPool::WorkerThread::Stop()
{
    const std::shared_ptr<WorkerGate> gate = m_gate;
    CThreadPool &pool = m_pool;

    --pool.m_activeThreads;
    m_counted = false;
    try {
        pool.OnThreadStopped();
    } catch (...) {
    }
    {
        CCriticalSectionGuard lock(pool.m_criticalSection);
        pool.UnlinkWorker(this);
        delete this;
    }
    gate->Leave();
}

}  // namespace Win32
}  // namespace Tarnwick
