#include "kernel.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "errors.h"
#include "thread.h"

namespace pelmora::platform {

class Mutant;

// One object named by a wait in progress; lives in the waiting thread's record.
struct WaitBlock {
    ThreadRecord *thread = nullptr;
    WaitBlock *prev = nullptr;
    WaitBlock *next = nullptr;
    Waitable *object = nullptr;
    bool linked = false;
};

// Per-thread wait state. Records are pooled and never freed, so a signaller may still wake a
// record after its wait has ended (even after its thread has gone): the owner of the record
// then sees a spurious wake-up, which every wait tolerates.
struct ThreadRecord {
    DWORD tid = 0;
    std::condition_variable wake;
    // The wait in progress, under the dispatcher lock.
    bool done = false;
    bool waitAll = false;
    DWORD count = 0;
    DWORD result = 0;
    Waitable *objects[MAXIMUM_WAIT_OBJECTS] = {};
    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
    // Mutexes this thread owns, abandoned when it ends.
    std::vector<std::shared_ptr<Mutant>> owned;
    ThreadRecord *nextFree = nullptr;
};

// Threads whose waits were satisfied under the lock; woken after it is released.
class WakeList {
public:
    void Add(ThreadRecord *record)
    {
        if (count_ < kInline)
            inline_[count_++] = record;
        else
            more_.push_back(record);
    }
    void WakeAll()
    {
        for (size_t i = 0; i < count_; ++i)
            inline_[i]->wake.notify_one();
        for (ThreadRecord *record : more_)
            record->wake.notify_one();
    }

private:
    static constexpr size_t kInline = 8;
    ThreadRecord *inline_[kInline];
    size_t count_ = 0;
    std::vector<ThreadRecord *> more_;
};

class Dispatcher {
public:
    static std::mutex &Lock()
    {
        static std::mutex *lock = new std::mutex;  // never destroyed: threads may outlive main
        return *lock;
    }

    // Completes the wait of `t` if it can be satisfied now: all objects are checked before any
    // is taken, so a wait-all changes nothing unless it takes everything.
    static bool TrySatisfy(ThreadRecord &t)
    {
        if (t.waitAll) {
            for (DWORD i = 0; i < t.count; ++i)
                if (!t.objects[i]->IsSignalledFor(t))
                    return false;
            DWORD abandoned = t.count;
            for (DWORD i = 0; i < t.count; ++i)
                if (t.objects[i]->Acquire(t) && abandoned == t.count)
                    abandoned = i;
            t.result = abandoned == t.count ? WAIT_OBJECT_0 : WAIT_ABANDONED_0 + abandoned;
            return true;
        }
        for (DWORD i = 0; i < t.count; ++i) {
            if (t.objects[i]->IsSignalledFor(t)) {
                t.result = (t.objects[i]->Acquire(t) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
                return true;
            }
        }
        return false;
    }

    // Registers the wait with each of its objects (once per object, even if named twice).
    static void Link(ThreadRecord &t)
    {
        for (DWORD i = 0; i < t.count; ++i) {
            WaitBlock &b = t.blocks[i];
            b.thread = &t;
            b.object = t.objects[i];
            b.linked = std::find(t.objects, t.objects + i, t.objects[i]) == t.objects + i;
            if (!b.linked)
                continue;
            Waitable &o = *b.object;
            b.next = nullptr;
            b.prev = o.lastWaiter_;
            if (o.lastWaiter_)
                o.lastWaiter_->next = &b;
            else
                o.firstWaiter_ = &b;
            o.lastWaiter_ = &b;
        }
    }

    static void Unlink(ThreadRecord &t)
    {
        for (DWORD i = 0; i < t.count; ++i) {
            WaitBlock &b = t.blocks[i];
            if (!b.linked)
                continue;
            Waitable &o = *b.object;
            (b.prev ? b.prev->next : o.firstWaiter_) = b.next;
            (b.next ? b.next->prev : o.lastWaiter_) = b.prev;
            b.prev = b.next = nullptr;
            b.linked = false;
        }
    }

    static size_t CountWaiters(const Waitable &object)
    {
        size_t count = 0;
        for (const WaitBlock *b = object.firstWaiter_; b; b = b->next)
            ++count;
        return count;
    }

    // `object` may have become signalled: completes the waits on it, oldest first, for as
    // long as they can be satisfied. A completed thread only leaves lists, and it has one
    // block in this list, so the next block stays valid.
    static void Release(Waitable &object, WakeList &wake)
    {
        for (WaitBlock *b = object.firstWaiter_; b;) {
            WaitBlock *next = b->next;
            ThreadRecord &t = *b->thread;
            if (TrySatisfy(t)) {
                Unlink(t);
                t.done = true;
                wake.Add(&t);
            }
            b = next;
        }
    }
};

namespace {

// The calling thread's record; given back to the pool when the thread ends.
struct RecordHolder {
    ThreadRecord *record = nullptr;
    ~RecordHolder();
};

thread_local RecordHolder tRecord;
ThreadRecord *gFreeRecords = nullptr;  // under the dispatcher lock

ThreadRecord &CurrentRecord()
{
    if (ThreadRecord *record = tRecord.record)
        return *record;
    ThreadRecord *record = nullptr;
    {
        std::lock_guard<std::mutex> guard(Dispatcher::Lock());
        if (gFreeRecords) {
            record = gFreeRecords;
            gFreeRecords = record->nextFree;
        }
    }
    if (!record)
        record = new ThreadRecord;
    record->tid = GetCurrentThreadId();
    tRecord.record = record;
    return *record;
}

RecordHolder::~RecordHolder()
{
    if (!record)
        return;
    AbandonOwnedMutexes();
    std::lock_guard<std::mutex> guard(Dispatcher::Lock());
    record->tid = 0;
    record->nextFree = gFreeRecords;
    gFreeRecords = record;
    record = nullptr;
}

class Event : public Waitable {
public:
    Event(bool manual, bool signalled) : manual_(manual), signalled_(signalled) {}
    bool IsSignalledFor(const ThreadRecord &) const override { return signalled_; }
    bool Acquire(ThreadRecord &) override
    {
        if (!manual_)
            signalled_ = false;
        return false;
    }

    bool manual_;
    bool signalled_;
};

class Semaphore : public Waitable {
public:
    Semaphore(LONG count, LONG maximum) : count_(count), maximum_(maximum) {}
    bool IsSignalledFor(const ThreadRecord &) const override { return count_ > 0; }
    bool Acquire(ThreadRecord &) override
    {
        --count_;
        return false;
    }

    LONG count_;
    LONG maximum_;
};

}  // namespace

class Mutant : public Waitable {
public:
    explicit Mutant(DWORD owner) : owner_(owner), recursion_(owner ? 1 : 0) {}
    bool IsSignalledFor(const ThreadRecord &t) const override
    {
        return owner_ == 0 || owner_ == t.tid;
    }
    bool Acquire(ThreadRecord &t) override
    {
        if (owner_ == t.tid) {
            ++recursion_;
            return false;
        }
        owner_ = t.tid;
        recursion_ = 1;
        t.owned.push_back(std::static_pointer_cast<Mutant>(shared_from_this()));
        bool abandoned = abandoned_;
        abandoned_ = false;
        return abandoned;
    }

    DWORD owner_;
    ULONG recursion_;
    bool abandoned_ = false;
};

void AbandonOwnedMutexes()
{
    ThreadRecord *t = tRecord.record;
    if (!t)
        return;
    std::vector<std::shared_ptr<Mutant>> owned;
    WakeList wake;
    {
        std::lock_guard<std::mutex> guard(Dispatcher::Lock());
        owned.swap(t->owned);
        for (const auto &m : owned) {
            m->owner_ = 0;
            m->recursion_ = 0;
            m->abandoned_ = true;
            Dispatcher::Release(*m, wake);
        }
    }
    wake.WakeAll();
}

bool Completion::Complete(DWORD value)
{
    WakeList wake;
    {
        std::lock_guard<std::mutex> guard(Dispatcher::Lock());
        if (done_)
            return false;
        done_ = true;
        value_ = value;
        Dispatcher::Release(*this, wake);
    }
    wake.WakeAll();
    return true;
}

bool Completion::IsComplete(DWORD &value) const
{
    std::lock_guard<std::mutex> guard(Dispatcher::Lock());
    if (done_)
        value = value_;
    return done_;
}

bool Completion::IsSignalledFor(const ThreadRecord &) const { return done_; }
bool Completion::Acquire(ThreadRecord &) { return false; }

namespace {

std::shared_ptr<Waitable> LookupWaitable(HANDLE handle)
{
    auto waitable = std::dynamic_pointer_cast<Waitable>(LookupHandle(handle));
    if (!waitable)
        SetLastError(ERROR_INVALID_HANDLE);
    return waitable;
}

// The objects of one wait, held for the whole wait so that closing a handle meanwhile frees
// nothing under it. Only the references named are built: most waits name one or two objects,
// and building and destroying all 64 would cost more than the wait itself.
class WaitReferences {
    using Ptr = std::shared_ptr<Waitable>;

public:
    WaitReferences() = default;
    WaitReferences(const WaitReferences &) = delete;
    WaitReferences &operator=(const WaitReferences &) = delete;
    ~WaitReferences()
    {
        for (DWORD i = 0; i < count_; ++i)
            slots_[i].ref.~Ptr();
    }

    // False when the handle names no waitable object.
    bool Add(HANDLE handle)
    {
        Ptr ref = LookupWaitable(handle);
        if (!ref)
            return false;
        new (&slots_[count_].ref) Ptr(std::move(ref));
        ++count_;
        return true;
    }

    Ptr &operator[](DWORD i) { return slots_[i].ref; }

private:
    // A slot's constructor builds nothing; Add builds the reference, the destructor ends it.
    union Slot {
        Slot() {}
        ~Slot() {}
        Ptr ref;
    };
    Slot slots_[MAXIMUM_WAIT_OBJECTS];
    DWORD count_ = 0;
};

DWORD Wait(DWORD count, const HANDLE *handles, bool waitAll, DWORD milliseconds)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    WaitReferences refs;
    for (DWORD i = 0; i < count; ++i) {
        if (!refs.Add(handles[i]))
            return WAIT_FAILED;
    }
    if (waitAll) {
        for (DWORD i = 1; i < count; ++i) {
            for (DWORD j = 0; j < i; ++j) {
                if (refs[i] == refs[j]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
    }

    ThreadRecord &t = CurrentRecord();
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(Dispatcher::Lock());
    t.waitAll = waitAll;
    t.count = count;
    t.done = false;
    for (DWORD i = 0; i < count; ++i)
        t.objects[i] = refs[i].get();
    if (Dispatcher::TrySatisfy(t))
        return t.result;
    if (milliseconds == 0)
        return WAIT_TIMEOUT;

    Dispatcher::Link(t);
    if (milliseconds == INFINITE) {
        while (!t.done)
            t.wake.wait(lock);
    } else {
        const auto deadline = start + std::chrono::milliseconds(milliseconds);
        while (!t.done) {
            if (t.wake.wait_until(lock, deadline) == std::cv_status::timeout && !t.done) {
                Dispatcher::Unlink(t);
                return WAIT_TIMEOUT;
            }
        }
    }
    return t.result;
}

// Creates an object, or opens the live one of the same name. Last error: 0, or
// ERROR_ALREADY_EXISTS when it was opened; ERROR_INVALID_HANDLE when the name belongs to an
// object of another type.
template <class T, class Make>
HANDLE CreateObject(LPCSTR name, Make make, std::shared_ptr<T> &object, bool &existed)
{
    existed = false;
    if (name && *name) {
        ObjectPtr found = CreateOrOpenNamed(
            name, [&] { return std::static_pointer_cast<Object>(make()); }, existed);
        object = std::dynamic_pointer_cast<T>(found);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    } else {
        object = make();
    }
    HANDLE handle = InsertHandle(object);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

template <class T>
HANDLE OpenObject(LPCSTR name)
{
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ObjectPtr found = FindNamed(name);
    if (!found) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    auto object = std::dynamic_pointer_cast<T>(found);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return InsertHandle(object);
}

}  // namespace

size_t WaitsInProgress(HANDLE handle)
{
    auto object = LookupWaitable(handle);
    if (!object)
        return 0;
    std::lock_guard<std::mutex> guard(Dispatcher::Lock());
    return Dispatcher::CountWaiters(*object);
}

namespace {

template <class T>
std::shared_ptr<T> LookupAs(HANDLE handle)
{
    auto object = std::dynamic_pointer_cast<T>(LookupHandle(handle));
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

// Changes an event under the dispatcher lock, then wakes the waits it completed.
template <class Change>
BOOL ChangeEvent(HANDLE handle, Change change)
{
    auto event = LookupAs<Event>(handle);
    if (!event)
        return FALSE;
    WakeList wake;
    {
        std::lock_guard<std::mutex> guard(Dispatcher::Lock());
        change(*event, wake);
    }
    wake.WakeAll();
    return TRUE;
}

std::recursive_mutex &LockOf(LPCRITICAL_SECTION section)
{
    return *std::launder(reinterpret_cast<std::recursive_mutex *>(section->Lock));
}

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::Lock),
              "CRITICAL_SECTION too small for its lock");
static_assert(alignof(std::recursive_mutex) <= alignof(std::max_align_t),
              "CRITICAL_SECTION storage misaligned for its lock");

}  // namespace
}  // namespace pelmora::platform

using namespace pelmora::platform;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    std::shared_ptr<Event> event;
    bool existed;
    return CreateObject<Event>(
        lpName, [&] { return std::make_shared<Event>(bManualReset != 0, bInitialState != 0); },
        event, existed);
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR lpName) { return OpenObject<Event>(lpName); }

BOOL SetEvent(HANDLE hEvent)
{
    return ChangeEvent(hEvent, [](Event &e, WakeList &wake) {
        e.signalled_ = true;
        Dispatcher::Release(e, wake);
    });
}

BOOL ResetEvent(HANDLE hEvent)
{
    return ChangeEvent(hEvent, [](Event &e, WakeList &) { e.signalled_ = false; });
}

BOOL PulseEvent(HANDLE hEvent)
{
    return ChangeEvent(hEvent, [](Event &e, WakeList &wake) {
        e.signalled_ = true;
        Dispatcher::Release(e, wake);
        e.signalled_ = false;
    });
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName)
{
    ThreadRecord &t = CurrentRecord();
    std::shared_ptr<Mutant> mutex;
    bool existed;
    // Made owned already, so that nobody who opens the name can take it first.
    HANDLE handle = CreateObject<Mutant>(
        lpName, [&] { return std::make_shared<Mutant>(bInitialOwner ? t.tid : 0); }, mutex,
        existed);
    if (handle && !existed && bInitialOwner) {
        std::lock_guard<std::mutex> guard(Dispatcher::Lock());
        t.owned.push_back(mutex);
    }
    return handle;
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR lpName) { return OpenObject<Mutant>(lpName); }

BOOL ReleaseMutex(HANDLE hMutex)
{
    auto mutex = LookupAs<Mutant>(hMutex);
    if (!mutex)
        return FALSE;
    ThreadRecord &t = CurrentRecord();
    WakeList wake;
    {
        std::lock_guard<std::mutex> guard(Dispatcher::Lock());
        if (mutex->owner_ != t.tid) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--mutex->recursion_ == 0) {
            mutex->owner_ = 0;
            auto it = std::find(t.owned.begin(), t.owned.end(), mutex);
            if (it != t.owned.end())
                t.owned.erase(it);
            Dispatcher::Release(*mutex, wake);
        }
    }
    wake.WakeAll();
    return TRUE;
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount,
                        LPCSTR lpName)
{
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<Semaphore> semaphore;
    bool existed;
    return CreateObject<Semaphore>(
        lpName, [&] { return std::make_shared<Semaphore>(lInitialCount, lMaximumCount); },
        semaphore, existed);
}

HANDLE OpenSemaphoreA(DWORD, BOOL, LPCSTR lpName) { return OpenObject<Semaphore>(lpName); }

BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount)
{
    auto semaphore = LookupAs<Semaphore>(hSemaphore);
    if (!semaphore)
        return FALSE;
    if (lReleaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WakeList wake;
    {
        std::lock_guard<std::mutex> guard(Dispatcher::Lock());
        LONG previous = semaphore->count_;
        if (lReleaseCount > semaphore->maximum_ - previous) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        semaphore->count_ = previous + lReleaseCount;
        if (lpPreviousCount)
            *lpPreviousCount = previous;
        Dispatcher::Release(*semaphore, wake);
    }
    wake.WakeAll();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return Wait(1, &hHandle, false, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds)
{
    return Wait(nCount, lpHandles, bWaitAll != 0, dwMilliseconds);
}

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    new (lpCriticalSection->Lock) std::recursive_mutex;
    lpCriticalSection->SpinCount = 0;
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount)
{
    InitializeCriticalSection(lpCriticalSection);
    lpCriticalSection->SpinCount = dwSpinCount;  // recorded only: the lock spins on its own
    return TRUE;
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    LockOf(lpCriticalSection).~recursive_mutex();
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    LockOf(lpCriticalSection).lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    LockOf(lpCriticalSection).unlock();
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    return LockOf(lpCriticalSection).try_lock() ? TRUE : FALSE;
}
