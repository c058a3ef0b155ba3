// Events, mutexes, semaphores, waits, critical sections and interlocked operations.
//
// All functions are safe to call from any thread. Named objects share one namespace with every
// other named kernel object of this process (on Windows the namespace is the session's; here it
// reaches the threads of this one process only, which is all the program needs).
#pragma once

#include <cstddef>

#include "handle.h"
#include "types.h"

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#define SYNCHRONIZE 0x00100000u
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS 0x001F0003u
#define MUTEX_MODIFY_STATE 0x0001u
#define MUTEX_ALL_ACCESS 0x001F0001u
#define SEMAPHORE_MODIFY_STATE 0x0002u
#define SEMAPHORE_ALL_ACCESS 0x001F0003u

// Events. A set auto-reset event releases exactly one wait and turns non-signalled again.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
// Releases the waits in progress (all of them for a manual-reset event, one for an auto-reset
// event) and leaves the event non-signalled, whether or not anybody was waiting.
BOOL PulseEvent(HANDLE hEvent);

// Mutexes: owned by a thread, recursive; abandoned when the owner thread ends holding it.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL ReleaseMutex(HANDLE hMutex);

// Semaphores: a count between 0 and a maximum.
HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                        LONG lMaximumCount, LPCSTR lpName);
HANDLE OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);

// Waits. Time-outs are in milliseconds (0 tests without blocking, INFINITE never times out).
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Wait-any returns WAIT_OBJECT_0 + the lowest signalled index (WAIT_ABANDONED_0 + index for an
// abandoned mutex). Wait-all takes every object at once or none of them.
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds);

// Critical sections: recursive locks private to the process. The storage holds the lock
// itself, so a CRITICAL_SECTION can live anywhere a Windows one can.
typedef struct _CRITICAL_SECTION {
    alignas(std::max_align_t) unsigned char Lock[64];
    DWORD SpinCount;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Interlocked operations: full barriers, as on Windows.
inline LONG InterlockedIncrement(volatile LONG *Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG *Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG *Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(volatile LONG *Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG *Destination, LONG Exchange, LONG Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;  // the value found, whether or not it was replaced
}
inline PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange,
                                               PVOID Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}

namespace pelmora::platform {

struct WaitBlock;
struct ThreadRecord;

// Base of every object a wait can name. The state of all such objects is guarded by one
// dispatcher lock, so a wait can look at several objects at once. Internal to the layer.
class Waitable : public Object {
public:
    // Both are called with the dispatcher lock held. IsSignalledFor tells whether a wait by
    // `thread` would be satisfied now; Acquire takes the object for that wait (resets an
    // auto-reset event, counts a semaphore down, gives a mutex its owner) and returns true
    // when the object was an abandoned mutex.
    virtual bool IsSignalledFor(const ThreadRecord &thread) const = 0;
    virtual bool Acquire(ThreadRecord &thread) = 0;

private:
    friend class Dispatcher;
    WaitBlock *firstWaiter_ = nullptr;  // waits in progress on this object, oldest first
    WaitBlock *lastWaiter_ = nullptr;
};

// An object that turns signalled once, with a value, and stays so (thread handles).
class Completion : public Waitable {
public:
    // Signals the object with `value` and releases its waits; false when it was already done.
    bool Complete(DWORD value);
    // True once completed; `value` is then the completion value.
    bool IsComplete(DWORD &value) const;

    bool IsSignalledFor(const ThreadRecord &thread) const override;
    bool Acquire(ThreadRecord &thread) override;

private:
    bool done_ = false;
    DWORD value_ = 0;
};

// Abandons every mutex the calling thread owns (done by the thread's own end, and earlier by
// threads of ours so that their handle is signalled only after their mutexes are free).
void AbandonOwnedMutexes();

// The number of waits now blocked on the object a handle names (lets tests know that a
// thread is blocked before they signal).
size_t WaitsInProgress(HANDLE handle);

// The object of the calling thread, the one GetCurrentThread() names (kept by the threads).
std::shared_ptr<Waitable> CurrentThreadObject();

}  // namespace pelmora::platform
